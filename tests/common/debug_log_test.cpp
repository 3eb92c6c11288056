// Formats of the diagnostic log, written into a memory stream.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/CUPSDebug.h"

namespace {

// Points the log at a memory stream for the life of the fixture.
class LogCapture : public ::testing::Test {
protected:
    void SetUp() override {
        stream_ = open_memstream(&buffer_, &size_);
        ASSERT_NE(stream_, nullptr);
        gDebugFile = stream_;
    }
    void TearDown() override {
        gDebugFile = nullptr;
        fclose(stream_);
        free(buffer_);
    }
    std::string Text() {
        fflush(stream_);
        return std::string(buffer_, size_);
    }

    FILE *stream_ = nullptr;
    char *buffer_ = nullptr;
    size_t size_ = 0;
};

std::string Pid() {
    return std::to_string(getpid());
}

TEST_F(LogCapture, LineHasTimeStampPidAndMessage) {
    CPSDebugLog("thePrintWeapon.PaperSize: %d", 137);
    const std::regex line(R"(\d\d/\d\d/\d{4} \d\d:\d\d\.00[0-5]\d \()" + Pid() +
                          R"(\) thePrintWeapon\.PaperSize: 137\n)");
    EXPECT_TRUE(std::regex_match(Text(), line)) << Text();
}

TEST_F(LogCapture, EachCallIsOneLine) {
    CPSDebugLog("first");
    CPSDebugLog("second %s", "line");
    const std::string text = Text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find(" first\n"), std::string::npos);
    EXPECT_NE(text.find(" second line\n"), std::string::npos);
}

TEST_F(LogCapture, AssertLineCarriesMicroseconds) {
    CPSDebugAssert_("value %d out of range", 7);
    const std::regex line(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{4,6} \()" + Pid() +
                          R"(\) ASSERT: value 7 out of range\n)");
    EXPECT_TRUE(std::regex_match(Text(), line)) << Text();
}

// Lines written by many threads at once into a file arrive whole, none cut into another
// (each is one write of the whole line).
TEST(DebugLog, ConcurrentLinesStayWhole) {
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    FILE *saved = gDebugFile;
    gDebugFile = file;
    constexpr int kThreads = 8, kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string filler(40 + 13 * t, (char)('a' + t));
            for (int i = 0; i < kLines; ++i)
                CPSDebugLog("thread %d line %d %s end", t, i, filler.c_str());
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    gDebugFile = saved;
    rewind(file);
    const std::regex whole(
        R"(\d\d/\d\d/\d{4} \d\d:\d\d\.\d{4} \(\d+\) thread (\d) line \d+ ([a-h]+) end)");
    int lines = 0;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, file) != nullptr) {
        std::string line(buffer);
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
        const int t = std::stoi(match[1]);
        EXPECT_EQ(match[2].str(), std::string(40 + 13 * t, (char)('a' + t)));
        ++lines;
    }
    fclose(file);
    EXPECT_EQ(lines, kThreads * kLines);
}

// On standard error the log's lines are CUPS debug messages.
TEST(DebugLog, StandardErrorLinesCarryTheDebugPrefix) {
    FILE *saved = gDebugFile;
    gDebugFile = stderr;
    testing::internal::CaptureStderr();
    CPSDebugLog("hello %d", 5);
    const std::string text = testing::internal::GetCapturedStderr();
    gDebugFile = saved;
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(DEBUG: \d\d/\d\d/\d{4} .* hello 5\n)")))
        << text;
}

TEST(DebugLog, NoDestinationWritesNothing) {
    gDebugFile = nullptr;
    EXPECT_EQ(CPSDebugLog("dropped %d", 1), 0);
    EXPECT_EQ(gDebugFile, nullptr);  // logging never chooses a destination by itself
}

TEST(DebugLog, DebugEndKeepsStandardError) {
    gDebugFile = stderr;
    DebugEnd();
    EXPECT_EQ(gDebugFile, stderr);
    gDebugFile = nullptr;
}

TEST(DebugLog, OutputTmpFileWritesAndTruncates) {
    const std::string path = std::string(GDI_BINARY_DIR) + "/outputtmpfile-" + Pid() + ".bin";
    OutputTmpFile(path.c_str(), "abcdef", 6);
    OutputTmpFile(path.c_str(), "xy", 2);
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "xy");
    unlink(path.c_str());
    OutputTmpFile("/nonexistent/dir/file", "x", 1);  // a failed open is ignored
}

}  // namespace
