// The filter's front end as CUPS runs it: arguments, PPD, log destinations.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <vector>
#include <string>

#include "tests/support/filter_process.h"

namespace {

using gditest::FilterRequest;
using gditest::FilterRun;

const std::string kModelOnePPD = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd";

FilterRequest JobWithOptions(const std::string &options) {
    FilterRequest request;
    request.args = {"rastertogdi", "1", "user", "title", "1", options};
    request.env = {{"PPD", kModelOnePPD}};
    return request;
}

FilterRun RunOrSkip(const FilterRequest &request) {
    FilterRun run = gditest::RunFilter(request);
    return run;
}

// The debug switch and log live at fixed paths in /tmp: their tests run the filter in a
// private /tmp, which needs root.
FilterRequest InPrivateTmp(FilterRequest request) {
    request.privateTmp = true;
    return request;
}

#define SKIP_WITHOUT_PRIVATE_TMP(run)                                           \
    if (!(run).started) {                                                       \
        std::string why;                                                        \
        gditest::CanMakePrivateTmp(&why);                                       \
        GTEST_SKIP() << "the debug log tests need a private /tmp, and " << why; \
    }

bool HasLine(const std::string &log, const std::string &message) {
    size_t at = 0;
    while ((at = log.find(message, at)) != std::string::npos) {
        const bool endsLine = at + message.size() < log.size() && log[at + message.size()] == '\n';
        const bool afterStamp = at > 0 && log[at - 1] == ' ';
        if (endsLine && afterStamp)
            return true;
        at += message.size();
    }
    return false;
}

std::string Inspect(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return "missing";
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char mode[8];
    snprintf(mode, sizeof mode, "%o", st.st_mode & 0777);
    return std::string(mode) + "\n" + content;
}

TEST(FilterFrontEnd, LogsTheSettingsItTook) {
    FilterRun run = RunOrSkip(JobWithOptions("PageSize=A4 LongEdgeIsVertical=True"));
    ASSERT_TRUE(run.started);
    for (const char *line : {"Welcome to GDI filter process!", "QNVCUPSFilter is running!",
                             "ppd attr cupsModelNumber = 1", "Option PageSize = A4",
                             "Option LongEdgeIsVertical = True", "thePrintWeapon.PaperSize: 137",
                             "thePrintWeapon.PaperType: 0", "thePrintWeapon.Brightness: 0",
                             "thePrintWeapon.Contrast: 0", "thePrintWeapon.DuplexStyle: 0"}) {
        EXPECT_TRUE(HasLine(run.err, line)) << line << "\n" << run.err;
    }
    EXPECT_LT(run.err.find("thePrintWeapon.PaperSize"), run.err.find("thePrintWeapon.PaperType"));
}

TEST(FilterFrontEnd, FiveArgumentsAreNotEnough) {
    FilterRequest request = JobWithOptions("");
    request.args.pop_back();
    FilterRun run = RunOrSkip(request);
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(HasLine(run.err, "Not enough arguments")) << run.err;
    EXPECT_EQ(run.err.find("thePrintWeapon."), std::string::npos);
}

TEST(FilterFrontEnd, UnopenableInputFileIsLogged) {
    FilterRequest request = JobWithOptions("PageSize=A5");
    request.args.push_back("/nonexistent/job.ras");
    FilterRun run = RunOrSkip(request);
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(HasLine(run.err, "Unable to open argv[6]")) << run.err;
    EXPECT_EQ(run.err.find("Option PageSize"), std::string::npos);
    // The user is told which file and why, and nothing else is made of it.
    EXPECT_NE(run.err.find("\nERROR: Unable to open the job's file /nonexistent/job.ras: No such "
                           "file or directory\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("not CUPS raster"), std::string::npos) << run.err;
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
    // A line break in the name does not make a status line of its own.
    request.args.back() = "/nonexistent/a\nPAGE: 9 1";
    const FilterRun named = RunOrSkip(request);
    EXPECT_NE(named.err.find("ERROR: Unable to open the job's file /nonexistent/a?PAGE: 9 1: "),
              std::string::npos)
        << named.err;
    EXPECT_EQ(named.err.find("\nPAGE: 9 1"), std::string::npos) << named.err;
}

TEST(FilterFrontEnd, MissingPpdKeepsBuiltInDefaults) {
    FilterRequest request = JobWithOptions("PageSize=Letter");
    request.env = {{"PPD", "/nonexistent/queue.ppd"}};
    FilterRun run = RunOrSkip(request);
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(HasLine(run.err, "can't open PPD file!")) << run.err;
    EXPECT_TRUE(HasLine(run.err, "thePrintWeapon.PaperSize: 1")) << run.err;
}

TEST(DebugLogDestination, WithoutSwitchFileLogGoesToStandardError) {
    FilterRequest request = InPrivateTmp(JobWithOptions(""));
    request.inspect = [] { return Inspect("/tmp/CUPSDebug.log"); };
    FilterRun run = RunOrSkip(request);
    SKIP_WITHOUT_PRIVATE_TMP(run);
    EXPECT_TRUE(HasLine(run.err, "Welcome to GDI filter process!"));
    EXPECT_EQ(run.inspection, "missing");
}

TEST(DebugLogDestination, SwitchFileAppendsToLogFileWithMode0666) {
    FilterRequest request = InPrivateTmp(JobWithOptions("PageSize=Legal"));
    request.setup = [] {
        std::ofstream("/tmp/gdidebug");
        std::ofstream("/tmp/CUPSDebug.log") << "earlier job\n";
        chmod("/tmp/CUPSDebug.log", 0600);
    };
    request.inspect = [] { return Inspect("/tmp/CUPSDebug.log"); };
    FilterRun run = RunOrSkip(request);
    SKIP_WITHOUT_PRIVATE_TMP(run);
    ASSERT_EQ(run.inspection.rfind("666\nearlier job\n", 0), 0u) << run.inspection;
    EXPECT_TRUE(HasLine(run.inspection, "thePrintWeapon.PaperSize: 5"));
    EXPECT_EQ(run.err.find("Welcome to GDI filter process!"), std::string::npos) << run.err;
}

TEST(DebugLogDestination, SwitchFileCreatesMissingLogFile) {
    FilterRequest request = InPrivateTmp(JobWithOptions(""));
    request.setup = [] { mkdir("/tmp/gdidebug", 0755); };  // any kind of file switches
    request.inspect = [] { return Inspect("/tmp/CUPSDebug.log"); };
    FilterRun run = RunOrSkip(request);
    SKIP_WITHOUT_PRIVATE_TMP(run);
    EXPECT_EQ(run.inspection.rfind("666\n", 0), 0u) << run.inspection;
    EXPECT_TRUE(HasLine(run.inspection, "Welcome to GDI filter process!"));
}

struct UnsafeLogCase {
    const char *name;
    std::function<void()> plant;  // what somebody left at the log file's path
    const char *watched;          // a file the filter must not touch
    const char *reason;           // the refusal the filter gives
};

void PrintTo(const UnsafeLogCase &c, std::ostream *os) {
    *os << c.name;
}

class UnsafeLogFile : public ::testing::TestWithParam<UnsafeLogCase> {};

TEST_P(UnsafeLogFile, FallsBackToStandardErrorAndTouchesNothing) {
    FilterRequest request = InPrivateTmp(JobWithOptions(""));
    request.setup = [] {
        std::ofstream("/tmp/gdidebug");
        std::ofstream("/tmp/victim") << "keep";
        chmod("/tmp/victim", 0600);
    };
    auto plant = GetParam().plant;
    auto setup = request.setup;
    request.setup = [setup, plant] {
        setup();
        plant();
    };
    const char *watched = GetParam().watched;
    request.inspect = [watched] { return Inspect(watched); };
    FilterRun run = RunOrSkip(request);
    SKIP_WITHOUT_PRIVATE_TMP(run);
    EXPECT_NE(run.err.find(std::string("DEBUG: Unable to open debug log for writing, switching "
                                       "to stderr: ") +
                           GetParam().reason),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(HasLine(run.err, "Welcome to GDI filter process!"));
    EXPECT_EQ(run.inspection, "600\nkeep");
}

// A file at the log's path that belongs to another user, as a root-run filter would
// otherwise append to it.
void PlantOtherUsersLog() {
    std::ofstream("/tmp/CUPSDebug.log") << "keep";
    chmod("/tmp/CUPSDebug.log", 0600);
    if (chown("/tmp/CUPSDebug.log", 65534, 65534) != 0)
        perror("chown");
}

const UnsafeLogCase kUnsafeLogCases[] = {
    {"SymbolicLink",
     [] {
         if (symlink("/tmp/victim", "/tmp/CUPSDebug.log") != 0)
             perror("symlink");
     },
     "/tmp/victim", "Too many levels of symbolic links"},
    {"HardLink",
     [] {
         if (link("/tmp/victim", "/tmp/CUPSDebug.log") != 0)
             perror("link");
     },
     "/tmp/victim", "/tmp/CUPSDebug.log is refused: it has more than one link"},
    {"Directory", [] { mkdir("/tmp/CUPSDebug.log", 0755); }, "/tmp/victim", "Is a directory"},
    {"Fifo", [] { mkfifo("/tmp/CUPSDebug.log", 0666); }, "/tmp/victim",
     "No such device or address"},  // a FIFO nobody reads: the open itself fails
    {"OtherUsersFile", PlantOtherUsersLog, "/tmp/CUPSDebug.log",
     "/tmp/CUPSDebug.log is refused: it belongs to another user"},
};

INSTANTIATE_TEST_SUITE_P(LogFile, UnsafeLogFile, ::testing::ValuesIn(kUnsafeLogCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A pseudo-terminal's other end, to run the filter with a terminal on standard input.
class Terminal {
public:
    Terminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            path_ = ptsname(master_);
    }
    ~Terminal() {
        if (master_ >= 0)
            close(master_);
    }
    const std::string &Path() const { return path_; }

private:
    int master_ = -1;
    std::string path_;
};

// Run by hand at a terminal, the filter says how it is called instead of waiting for
// raster on the terminal; with its standard input not a terminal, as CUPS runs it,
// nothing changes.
TEST(FilterFrontEnd, UsageAtATerminal) {
    Terminal terminal;
    ASSERT_FALSE(terminal.Path().empty());
    const std::vector<std::vector<std::string>> calls = {
        {"rastertogdi"}, {"rastertogdi", "--help"}, {"rastertogdi", "1", "user", "title"}};
    for (const auto &args : calls) {
        SCOPED_TRACE(args.size());
        FilterRequest request = JobWithOptions("");
        request.args = args;
        request.stdinPath = terminal.Path();
        const FilterRun run = RunOrSkip(request);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.err, "Usage: rastertogdi job-id user title copies options [file]\n");
        EXPECT_EQ(run.out, "");
    }
    FilterRequest request = JobWithOptions("");
    request.args = {"rastertogdi", "1", "user", "title"};  // standard input: /dev/null
    const FilterRun run = RunOrSkip(request);
    EXPECT_EQ(run.err.find("Usage:"), std::string::npos);
    EXPECT_TRUE(HasLine(run.err, "Not enough arguments")) << run.err;
}

// Each change the revision rules make to the job's options is told to the user, as one
// warning CUPS keeps as the job's message; a job that then fails ends with its error.
TEST(FilterFrontEnd, RevisedOptionsAreToldAsOneWarning) {
    const FilterRun run = RunOrSkip(JobWithOptions("PageSize=EnvDL Duplex=DuplexTumble"));
    std::vector<std::string> status;
    std::istringstream lines(run.err);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("INFO: ", 0) == 0 || line.rfind("WARNING: ", 0) == 0 ||
            line.rfind("ERROR: ", 0) == 0)
            status.push_back(line);
    }
    ASSERT_GE(status.size(), 2u) << run.err;
    EXPECT_EQ(status[0].rfind("WARNING: Paper Source", 0), 0u) << run.err;
    EXPECT_NE(status[0].find(". Duplex (two-sided, short edge) is not available"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(status.back().rfind("ERROR: ", 0), 0u) << "an empty input fails\n" << run.err;
    const FilterRun plain = RunOrSkip(JobWithOptions("PageSize=A4"));
    EXPECT_EQ(plain.err.find("WARNING: "), std::string::npos) << "no rule changed anything";
}

}  // namespace
