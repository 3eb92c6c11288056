// Formats of the diagnostic log, written into a memory stream.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

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

TEST_F(LogCapture, HexDumpBreaksAfterEveryEighthByte) {
    struct Case {
        unsigned count;
        const char *expected;
    };
    const unsigned char bytes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xab};
    const Case cases[] = {
        {0, "    \n"},
        {8, "    0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07 \n"},
        {9, "    0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07 \n    0x08 \n"},
        {10, "    0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07 \n    0x08 0x09 \n"},
    };
    for (const Case &c : cases) {
        const std::string before = Text();
        CPSDebugLogHexDump(bytes, c.count);
        EXPECT_EQ(Text().substr(before.size()), c.expected) << c.count;
    }
    CPSDebugLogHexDump(bytes + 10, 1);
    EXPECT_NE(Text().find("0xab \n"), std::string::npos);
}

TEST_F(LogCapture, AssertLineCarriesMicroseconds) {
    CPSDebugAssert_("value %d out of range", 7);
    const std::regex line(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{4,6} \()" + Pid() +
                          R"(\) ASSERT: value 7 out of range\n)");
    EXPECT_TRUE(std::regex_match(Text(), line)) << Text();
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
