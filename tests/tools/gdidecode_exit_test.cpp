// gdidecode as a program: what each kind of input and failure ends with, on standard
// error and in the exit status (0 well formed, 1 malformed or empty, 2 usage or I/O).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "tests/tools/stream_builder.h"

namespace {

using namespace gditest;

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void WriteFile(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
}

bool IsDirectory(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct ExitCase {
    const char *name;
    // Sets up the work folder and returns gdidecode's arguments and redirections, with
    // WORK standing for the folder.
    std::function<std::string(const std::string &work)> prepare;
    int status;
    const char *stderrHas;  // "" to check nothing
    const char *stdoutHas;
    std::function<bool(const std::string &work)> after;  // null: nothing to check
};

void PrintTo(const ExitCase &c, std::ostream *os) {
    *os << c.name;
}

const Bytes &GoodStream() {
    static const Bytes stream =
        Cat({JobHeader(0), Page(1, 1, 128, 300), Page(2, 1, 128, 20), kEnd});
    return stream;
}

std::string WithGoodStream(const std::string &work, const std::string &arguments) {
    WriteFile(work + "/job.gdi", GoodStream());
    return arguments;
}

class GdidecodeExit : public ::testing::TestWithParam<ExitCase> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gdidecode-exit.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        work_ = pattern;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + work_ + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }

    int Run(const std::string &arguments) {
        std::string expanded = arguments;
        for (size_t at; (at = expanded.find("WORK")) != std::string::npos;)
            expanded.replace(at, 4, work_);
        // The case's own redirections come last and so win over these. A build for
        // another processor runs the tool through its emulator.
        const char *emulator = getenv("GDI_TEST_EMULATOR");
        const std::string command = std::string(emulator != nullptr ? emulator : "") + " '" +
                                    GDI_DECODE_PROGRAM + "' >'" + work_ + "/stdout' 2>'" + work_ +
                                    "/stderr' " + expanded;
        const int status = system(command.c_str());
        stdout_ = ReadFile(work_ + "/stdout");
        stderr_ = ReadFile(work_ + "/stderr");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string work_, stdout_, stderr_;
};

TEST_P(GdidecodeExit, EndsWithItsStatusAndMessage) {
    const ExitCase &c = GetParam();
    const std::string arguments = c.prepare(work_);
    EXPECT_EQ(c.status, Run(arguments)) << "stderr: " << stderr_;
    EXPECT_NE(std::string::npos, stderr_.find(c.stderrHas)) << stderr_;
    EXPECT_NE(std::string::npos, stdout_.find(c.stdoutHas)) << stdout_;
    if (c.after) {
        EXPECT_TRUE(c.after(work_));
    }
}

const ExitCase kExitCases[] = {
    {"WellFormedStream", [](const std::string &w) { return WithGoodStream(w, "WORK/job.gdi"); }, 0,
     "", "stream OK: ", nullptr},
    {"DecodeMakesTheFolderAndThoseAbove",
     [](const std::string &w) { return WithGoodStream(w, "--no-png -d WORK/a/b WORK/job.gdi"); }, 0,
     "", "every band decoded",
     [](const std::string &w) {
         return ReadFile(w + "/a/b/page-0002.pbm").size() == strlen("P4\n128 20\n") + 16 * 20;
     }},
    {"DecodeIntoAnExistingFolder",
     [](const std::string &w) { return WithGoodStream(w, "-q -d WORK WORK/job.gdi"); }, 0, "",
     "stream OK", [](const std::string &w) { return !ReadFile(w + "/page-0001.pbm").empty(); }},
    {"CaptureOfTwoJobs",
     [](const std::string &w) {
         WriteFile(w + "/two.gdi", Cat({GoodStream(), JobHeader(0), Page(1, 1, 128, 5), kEnd}));
         return "--no-png -d WORK WORK/two.gdi";
     },
     0, "", "job 2: 1 page(s)\nstream OK: 6056 bytes, 2 job(s)",
     [](const std::string &w) {
         return !ReadFile(w + "/page-0002.pbm").empty() &&
                ReadFile(w + "/job-02-page-0001.pbm").size() == strlen("P4\n128 5\n") + 16 * 5;
     }},
    {"MalformedStream",
     [](const std::string &w) {
         WriteFile(w + "/cut.gdi", Bytes(GoodStream().begin(), GoodStream().begin() + 200));
         return "WORK/cut.gdi";
     },
     1, "gdidecode: offset 200 (0xC8): input ends inside", "", nullptr},
    {"EmptyFile",
     [](const std::string &w) {
         WriteFile(w + "/empty.gdi", {});
         return "WORK/empty.gdi";
     },
     1, "gdidecode: no records: ", "", nullptr},
    {"EmptyStandardInput", [](const std::string &) { return "- </dev/null"; }, 1,
     "gdidecode: no records: standard input is empty", "", nullptr},
    {"EmptyInputStillMakesTheFolder", [](const std::string &) { return "-d WORK/new </dev/null"; },
     1, "no records", "", [](const std::string &w) { return IsDirectory(w + "/new"); }},
    {"MissingInput", [](const std::string &) { return "WORK/nothing.gdi"; }, 2,
     "gdidecode: I/O error: cannot open ", "", nullptr},
    {"InputIsAFolder", [](const std::string &) { return "WORK"; }, 2,
     "gdidecode: I/O error: cannot read ", "", nullptr},
    {"FolderCannotBeMade",
     [](const std::string &w) { return WithGoodStream(w, "-d WORK/job.gdi/pages WORK/job.gdi"); },
     2, "gdidecode: I/O error: cannot create directory ", "", nullptr},
    {"PageFileCannotBeWritten",
     [](const std::string &w) {
         mkdir((w + "/page-0001.pbm").c_str(), 0700);
         return WithGoodStream(w, "-d WORK WORK/job.gdi");
     },
     2, "gdidecode: I/O error: cannot create ", "", nullptr},
    {"ListingCannotBeWritten",
     [](const std::string &w) { return WithGoodStream(w, "WORK/job.gdi >/dev/full"); }, 2,
     "gdidecode: I/O error: cannot write the listing", "", nullptr},
    {"UnknownOption", [](const std::string &) { return "--frobnicate"; }, 2, "Usage: gdidecode", "",
     nullptr},
    {"TwoInputs", [](const std::string &) { return "a.gdi b.gdi"; }, 2, "Usage: gdidecode", "",
     nullptr},
    {"Help", [](const std::string &) { return "--help"; }, 0, "", "Exit status: 0", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Gdidecode, GdidecodeExit, ::testing::ValuesIn(kExitCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
