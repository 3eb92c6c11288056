// The filter under the job control a print server exercises: cancels while the printer
// is slow or stalled, signals that end it, write errors on its output, memory limits,
// many jobs at once, page numbers beyond the stream's field, and damaged ends of the
// raster. Each case checks what the user sees: the exit status, the status lines, the
// stream the printer gets, and that no spool file is left.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/raster_job.h"
#include "tests/support/filter_process.h"
#include "tools/GreyRasterHeader.h"

namespace {

using gditest::FilterRequest;
using gditest::FilterRun;
using gditest::ParseStream;
using gditest::TestPage;

const std::string kModelOnePPD = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd";
const std::string kCancelAndEnd = "GDIC CANCEL     JIDG";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

double Now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

// A job of `count` pages that code large (noise), so its stream is far larger than a
// pipe holds.
std::string WriteLargeJob(const gditest::ScratchDir &scratch, unsigned count,
                          unsigned size = 1600) {
    std::vector<TestPage> pages(count);
    for (unsigned i = 0; i < count; ++i) {
        pages[i].width = pages[i].height = size;
        pages[i].seed = 3 + 4 * i;  // noise in the second quarter of every page
    }
    const std::string path = scratch / "large.ras";
    EXPECT_TRUE(gditest::WriteRasterJob(path, pages));
    return path;
}

FilterRequest Job(const std::string &raster, const char *options = "") {
    FilterRequest request;
    request.args = {"queue", "7", "user", "title", "1", options};
    if (!raster.empty())
        request.args.push_back(raster);
    request.env = {{"PPD", kModelOnePPD}};
    return request;
}

// Everything left in the pipe, up to its end.
std::string ReadToTheEnd(int fd) {
    std::string bytes;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, (size_t)got);
    return bytes;
}

// Reads the pipe at about `bytesPerSecond`; after `signalAfter` seconds (when not
// negative) sends `signal` to the filter. Returns what it read; *signalledAt and
// *endedAt tell when it signalled and when the pipe ended.
std::string ReadSlowly(int fd, int pid, double bytesPerSecond, double signalAfter, int signal,
                       double *signalledAt, double *endedAt) {
    const double start = Now();
    std::string bytes;
    bool signalled = signalAfter < 0;
    const size_t piece = (size_t)(bytesPerSecond / 10);
    std::vector<char> buffer(piece);
    for (;;) {
        if (!signalled && Now() - start >= signalAfter) {
            kill(pid, signal);
            *signalledAt = Now();
            signalled = true;
        }
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bytes.append(buffer.data(), (size_t)got);
        usleep(100000);
        if (Now() - start > 120)
            break;  // a filter that never ends fails the test below
    }
    *endedAt = Now();
    return bytes;
}

// ---- A cancel that comes while the pages go out -----------------------------------

// Printing to a printer that reads about 200 KB/s: the page work ends within a second,
// the cancel comes later. The printer gets whole pages, the cancel command and the job
// end, and the filter ends within a few seconds of the signal.
TEST(CancelWhilePagesGoOut, SlowPrinterGetsWholePagesThenTheCancel) {
    gditest::ScratchDir scratch;
    const std::string raster = WriteLargeJob(scratch, 8);
    FilterRequest request = Job(raster);
    double signalledAt = 0, endedAt = 0;
    request.readOutput = [&](int fd, int pid) {
        return ReadSlowly(fd, pid, 200000, 2.5, SIGTERM, &signalledAt, &endedAt);
    };
    const FilterRun run = gditest::RunFilter(request);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("INFO: Printing page 8"), std::string::npos) << "the page work ended";
    EXPECT_LT(endedAt - signalledAt, 5.0) << "the filter went on after the cancel";
    printf("the filter ended %.2f s after the signal\n", endedAt - signalledAt);
    EXPECT_EQ(run.leftovers, "");
    gdidecode::ParsedStream stream;
    std::string why;
    ASSERT_TRUE(ParseStream(run.out, &stream, &why)) << why;
    EXPECT_GT(stream.pages.size(), 0u);
    EXPECT_LT(stream.pages.size(), 8u);
    ASSERT_GE(run.out.size(), kCancelAndEnd.size());
    EXPECT_EQ(run.out.substr(run.out.size() - kCancelAndEnd.size()), kCancelAndEnd);
    // Only the pages that went out are counted.
    for (size_t page = 1; page <= 8; ++page) {
        const bool out = page <= stream.pages.size();
        EXPECT_EQ(run.err.find("PAGE: " + std::to_string(page) + " 1\n") != std::string::npos, out)
            << page;
    }
}

// A printer that reads nothing at all (a stalled USB or socket backend): the filter
// still ends within a few seconds of the cancel, and leaves no spool file.
TEST(CancelWhilePagesGoOut, StalledPrinterDoesNotHoldTheFilter) {
    gditest::ScratchDir scratch;
    const std::string raster = WriteLargeJob(scratch, 6);
    FilterRequest request = Job(raster);
    double signalledAt = 0, endedAt = 0;
    request.readOutput = [&](int fd, int pid) {
        usleep(1500000);  // the pages are made and spooled; the pipe is full
        kill(pid, SIGTERM);
        signalledAt = Now();
        struct pollfd p = {fd, POLLIN, 0};
        // Not reading: wait until the filter has closed its end.
        while (Now() - signalledAt < 30) {
            p.revents = 0;
            poll(&p, 1, 100);
            if (p.revents & POLLHUP)
                break;
        }
        endedAt = Now();
        return ReadToTheEnd(fd);
    };
    const FilterRun run = gditest::RunFilter(request);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_LT(endedAt - signalledAt, 8.0);
    printf("the filter ended %.2f s after the signal\n", endedAt - signalledAt);
    EXPECT_EQ(run.leftovers, "");
}

// A SIGTERM that comes while the options and the queue's PPD are being read is a cancel:
// the filter ends normally, having printed nothing.
TEST(CancelWhilePagesGoOut, SigtermWhileThePpdIsReadIsACancel) {
    gditest::ScratchDir scratch;
    const std::string fifo = scratch / "slow.ppd";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string raster = WriteLargeJob(scratch, 1, 200);
    FilterRequest request = Job(raster);
    request.env["PPD"] = fifo;
    request.whileRunning = [&](int pid) {
        usleep(300000);  // the filter waits in the PPD's open
        kill(pid, SIGTERM);
        usleep(100000);
        const std::string ppd = gditest::ReadFile(kModelOnePPD);
        // A filter that the signal killed no longer waits at the other end.
        int fd = -1;
        for (int i = 0; i < 100 && fd < 0; ++i) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                usleep(20000);
        }
        if (fd >= 0) {
            fcntl(fd, F_SETFL, O_WRONLY);
            if (write(fd, ppd.data(), ppd.size()) < 0)
                perror("write");
            close(fd);
        }
    };
    const FilterRun run = gditest::RunFilter(request);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("Detected SIGTERM"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

// ---- Write errors on the output ---------------------------------------------------

TEST(WriteErrors, FullDeviceFailsTheJob) {
    gditest::ScratchDir scratch;
    std::vector<TestPage> pages(3);
    ASSERT_TRUE(gditest::WriteRasterJob(scratch / "job.ras", pages));
    FilterRequest request = Job(scratch / "job.ras");
    request.stdoutPath = "/dev/full";
    const FilterRun run = gditest::RunFilter(request);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("ERROR: The printer stream could not be written: No space left on "
                           "device"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("PAGE:"), std::string::npos) << "no page reached the printer";
    EXPECT_EQ(run.leftovers, "");
}

TEST(WriteErrors, FileGrownPastItsLimitFailsTheJob) {
    gditest::ScratchDir scratch;
    const std::string raster = WriteLargeJob(scratch, 3, 800);
    FilterRequest request = Job(raster);
    request.stdoutPath = scratch / "capture.gdi";
    request.fileSizeLimit = 100000;  // the output file and the spool file alike
    const FilterRun run = gditest::RunFilter(request);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("ERROR: The printer stream could not be written: File too large"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.leftovers, "");
}

// A non-blocking pipe to a slow reader: nothing is dropped, the stream is the one a
// blocking pipe gets.
TEST(WriteErrors, NonBlockingPipeLosesNothing) {
    gditest::ScratchDir scratch;
    const std::string raster = WriteLargeJob(scratch, 3, 1000);
    const FilterRun plain = gditest::RunFilter(Job(raster, "Duplex=DuplexNoTumble"));
    ASSERT_EQ(plain.exitStatus, 0) << plain.err;
    FilterRequest request = Job(raster, "Duplex=DuplexNoTumble");
    request.nonBlockingOutput = true;
    double signalledAt = 0, endedAt = 0;
    request.readOutput = [&](int fd, int pid) {
        return ReadSlowly(fd, pid, 3000000, -1, 0, &signalledAt, &endedAt);
    };
    const FilterRun run = gditest::RunFilter(request);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    ASSERT_EQ(run.out.size(), plain.out.size());
    // The job header carries the time of day; everything after it is the same.
    EXPECT_TRUE(run.out.compare(120, std::string::npos, plain.out, 120, std::string::npos) == 0);
}

// ---- Out of memory --------------------------------------------------------------

// Under every address-space limit from the smallest at which the filter loads upwards,
// the job ends with status 0 or 1, never by a signal, and the printer gets nothing or a
// well-formed stream: the pages before the one that could not be made, then the job end.
TEST(OutOfMemory, EveryLimitGivesAStatusAndAWellFormedStream) {
    if (kAddressSanitizer)
        GTEST_SKIP() << "the address sanitizer's shadow memory does not fit an address limit";
    gditest::ScratchDir scratch;
    // Duplex: back sides are turned whole, so the limits meet whole-page buffers too.
    std::vector<TestPage> pages(3);
    for (TestPage &page : pages)
        page.width = 2400, page.height = 3000, page.seed += 2;
    ASSERT_TRUE(gditest::WriteRasterJob(scratch / "job.ras", pages));
    bool loaded = false;
    int lastStatus = -1;
    for (unsigned megabytes = 6; megabytes <= 90; megabytes += 3) {
        SCOPED_TRACE(std::to_string(megabytes) + " MB");
        FilterRequest request = Job(scratch / "job.ras", "Duplex=DuplexNoTumble");
        request.addressSpaceLimit = (unsigned long long)megabytes << 20;
        const FilterRun run = gditest::RunFilter(request);
        if (!loaded && run.exitStatus == 127)
            continue;  // the dynamic loader could not map the filter's libraries
        loaded = true;
        lastStatus = run.exitStatus;
        ASSERT_TRUE(run.exitStatus == 0 || run.exitStatus == 1) << run.exitStatus << run.err;
        if (run.exitStatus == 1) {
            EXPECT_NE(run.err.find("ERROR: "), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.leftovers, "");
        if (!run.out.empty()) {
            gdidecode::ParsedStream stream;
            std::string why;
            EXPECT_TRUE(ParseStream(run.out, &stream, &why)) << why;
            EXPECT_TRUE(stream.hasJobEnd);
        }
    }
    EXPECT_TRUE(loaded);
    EXPECT_EQ(lastStatus, 0) << "the job should print with 90 MB";
}

// ---- Signals that end the filter ------------------------------------------------

// Whatever ends the filter, SIGKILL included, no spool file is left: each is removed
// from its folder as soon as it is made.
TEST(OtherSignals, NoSignalLeavesASpoolFile) {
    gditest::ScratchDir scratch;
    const std::string raster = WriteLargeJob(scratch, 6);
    for (int signal : {SIGINT, SIGHUP, SIGQUIT, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        FilterRequest request = Job(raster);
        request.readOutput = [&](int fd, int pid) {
            usleep(1500000);  // stalled: the pages wait spooled
            kill(pid, signal);
            return ReadToTheEnd(fd);
        };
        const FilterRun run = gditest::RunFilter(request);
        EXPECT_EQ(run.exitStatus, 128 + signal) << run.err;
        EXPECT_EQ(run.leftovers, "");
    }
}

// ---- Status lines ---------------------------------------------------------------

// Many jobs at once, each logging from two threads: every PAGE line of every job
// arrives whole, on a line of its own.
TEST(StatusLines, ManyJobsAtOnceKeepEveryPageLineWhole) {
    gditest::ScratchDir scratch;
    constexpr unsigned kPages = 40;
    std::vector<TestPage> pages(kPages);
    for (unsigned i = 0; i < pages.size(); ++i) {
        pages[i].width = pages[i].height = 64;
        pages[i].seed = 1 + i;
    }
    ASSERT_TRUE(gditest::WriteRasterJob(scratch / "job.ras", pages));
    // Each job is run from a process of its own: the harness forks, and a fork from a
    // process with other threads may deadlock in the child's allocator (the address
    // sanitizer's does), so the jobs are started from this single thread.
    constexpr int kJobs = 40;
    std::vector<pid_t> children;
    for (int j = 0; j < kJobs; ++j) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const FilterRun run =
                gditest::RunFilter(Job(scratch / "job.ras", "Duplex=DuplexTumble"));
            const std::string errPath = scratch / ("job-" + std::to_string(j) + ".err");
            FILE *err = fopen(errPath.c_str(), "w");
            if (err == nullptr || fwrite(run.err.data(), 1, run.err.size(), err) != run.err.size())
                _exit(125);
            fclose(err);
            _exit(run.exitStatus);
        }
        children.push_back(child);
    }
    std::vector<FilterRun> runs(kJobs);
    for (int j = 0; j < kJobs; ++j) {
        int status = 0;
        while (waitpid(children[j], &status, 0) < 0 && errno == EINTR) {
        }
        runs[j].exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        runs[j].err = gditest::ReadFile(scratch / ("job-" + std::to_string(j) + ".err"));
    }
    for (int j = 0; j < kJobs; ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(runs[j].exitStatus, 0);
        std::istringstream lines(runs[j].err);
        std::vector<std::string> pageLines;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("PAGE:") != std::string::npos)
                pageLines.push_back(line);
        }
        std::vector<std::string> expected;
        for (unsigned page = 1; page <= kPages; ++page)
            expected.push_back("PAGE: " + std::to_string(page) + " 1");
        EXPECT_EQ(pageLines, expected);
    }
}

// ---- Page numbers ---------------------------------------------------------------

// The page header counts pages in 16 bits: the 65,536th page is refused like any page
// the printer cannot take, after the 65,535 before it.
TEST(PageNumbers, PageBeyondTheFieldIsRefused) {
    cups_page_header2_t header = GreyRasterHeader(8, 1);
    header.Margins[0] = header.Margins[1] = 0;
    std::string page(reinterpret_cast<const char *>(&header), sizeof header);
    page.append(header.cupsBytesPerLine, '\0');
    FilterRequest request = Job("");
    request.feedInput = [&](int, int fd) {
        const std::string sync = "3SaR";  // "RaS3" in this machine's byte order
        std::string batch;
        for (int i = 0; i < 256; ++i)
            batch += page;
        if (write(fd, sync.data(), sync.size()) != (ssize_t)sync.size())
            return;
        for (int i = 0; i < 65537 / 256; ++i) {
            if (write(fd, batch.data(), batch.size()) != (ssize_t)batch.size())
                return;
        }
        for (int i = 0; i < 65537 % 256; ++i) {
            if (write(fd, page.data(), page.size()) != (ssize_t)page.size())
                return;
        }
    };
    const FilterRun run = gditest::RunFilter(request);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.err.find("ERROR: Page 65536 cannot be printed: the printer counts the pages of "
                           "a job up to 65535"),
              std::string::npos);
    gdidecode::ParsedStream stream;
    std::string why;
    ASSERT_TRUE(ParseStream(run.out, &stream, &why)) << why;
    ASSERT_EQ(stream.pages.size(), 65535u);
    EXPECT_EQ(stream.pages.back().record.page.pageNumber, 65535);
    EXPECT_TRUE(stream.hasJobEnd);
}

// ---- The end of a damaged stream ------------------------------------------------

std::string RasterBytes(const gditest::ScratchDir &scratch, const std::vector<TestPage> &pages,
                        cups_mode_t mode) {
    const std::string path = scratch / "raster";
    EXPECT_TRUE(gditest::WriteRasterJob(path, pages, mode));
    return gditest::ReadFile(path);
}

struct DamagedEnd {
    const char *name;
    cups_mode_t mode;
    std::function<std::string(const std::string &one, const std::string &two)> damage;
};

// Compressed raster (CUPS and PWG) cut inside a page header or followed by garbage: the
// same as uncompressed raster, the pages before it, then the job end, and exit 1.
TEST(DamagedEnds, CompressedRasterEndsLikeUncompressed) {
    const DamagedEnd cases[] = {
        {"compressed, cut in the second header", CUPS_RASTER_WRITE_COMPRESSED,
         [](const std::string &one, const std::string &) { return one + one.substr(4, 700); }},
        {"compressed, garbage after the first page", CUPS_RASTER_WRITE_COMPRESSED,
         [](const std::string &one, const std::string &) { return one + std::string(90, 'x'); }},
        {"compressed, much garbage after the first page", CUPS_RASTER_WRITE_COMPRESSED,
         [](const std::string &one, const std::string &) { return one + std::string(9000, 'x'); }},
        {"PWG, cut in the second header", CUPS_RASTER_WRITE_PWG,
         [](const std::string &one, const std::string &two) {
             return two.substr(0, one.size() + 1000);
         }},
        {"uncompressed, cut in the second header", CUPS_RASTER_WRITE,
         [](const std::string &one, const std::string &) { return one + one.substr(4, 700); }},
    };
    gditest::ScratchDir scratch;
    TestPage page;
    page.colorSpace = CUPS_CSPACE_K;
    for (const DamagedEnd &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string one = RasterBytes(scratch, {page}, c.mode);
        const std::string two = RasterBytes(scratch, {page, page}, c.mode);
        const std::string input = scratch / "damaged";
        {
            FILE *f = fopen(input.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            const std::string bytes = c.damage(one, two);
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
        FilterRequest request = Job("");
        request.stdinPath = input;
        const FilterRun run = gditest::RunFilter(request);
        EXPECT_EQ(run.exitStatus, 1) << run.err;
        EXPECT_NE(run.err.find("ERROR: The job's raster data is damaged after page 1"),
                  std::string::npos)
            << run.err;
        gdidecode::ParsedStream stream;
        std::string why;
        ASSERT_TRUE(ParseStream(run.out, &stream, &why)) << why;
        EXPECT_EQ(stream.pages.size(), 1u);
        // The whole, undamaged stream ends cleanly.
        {
            FILE *f = fopen(input.c_str(), "wb");
            fwrite(two.data(), 1, two.size(), f);
            fclose(f);
        }
        const FilterRun whole = gditest::RunFilter(request);
        EXPECT_EQ(whole.exitStatus, 0) << whole.err;
    }
}

struct CutLine {
    const char *name;
    cups_mode_t mode;
    const char *options;
    unsigned pageNumber;  // the cut page: 2 is a duplex back side
};

// A raster line cut short by the end of the stream prints white, the cut line included,
// whichever way the page's rows are read: through libcups (compressed), straight from
// the input (uncompressed), as columns (long-edge feed) or into a page turned whole.
TEST(DamagedEnds, CutLinePrintsWhiteOnEveryReadingPath) {
    const CutLine cases[] = {
        {"through libcups", CUPS_RASTER_WRITE_COMPRESSED, "", 1},
        {"straight from the input", CUPS_RASTER_WRITE, "", 1},
        {"long-edge columns", CUPS_RASTER_WRITE, "LongEdgeIsVertical=True", 1},
        {"turned back side", CUPS_RASTER_WRITE, "Duplex=DuplexNoTumble", 2},
    };
    gditest::ScratchDir scratch;
    constexpr unsigned kRowsWhole = 37;
    for (const CutLine &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TestPage> pages(c.pageNumber);
        for (unsigned i = 0; i < pages.size(); ++i) {
            pages[i].width = 320;
            pages[i].height = 200;
            pages[i].seed = 5 + i;
        }
        const std::string whole = RasterBytes(scratch, pages, c.mode);
        std::string cut;
        if (c.mode == CUPS_RASTER_WRITE) {
            // Up to the middle of the row after the whole ones.
            const size_t pageBytes = 1796 + 320 * 200;
            cut =
                whole.substr(0, 4 + pageBytes * (c.pageNumber - 1) + 1796 + 320 * kRowsWhole + 160);
        } else {
            // Compressed rows have no fixed size: cut the stream of a page whose rows after
            // the whole ones are all one byte, which codes in a few bytes.
            std::vector<TestPage> short_pages = pages;
            short_pages.back().height = kRowsWhole;
            const std::string head = RasterBytes(scratch, short_pages, c.mode);
            cut = whole.substr(0, head.size() + 40);
        }
        const std::string input = scratch / "cut";
        {
            FILE *f = fopen(input.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            fwrite(cut.data(), 1, cut.size(), f);
            fclose(f);
        }
        FilterRequest request = Job("", c.options);
        request.stdinPath = input;
        const FilterRun run = gditest::RunFilter(request);
        EXPECT_EQ(run.exitStatus, 1) << run.err;
        EXPECT_NE(run.err.find("ERROR: The job's raster data ended within page " +
                               std::to_string(c.pageNumber)),
                  std::string::npos)
            << run.err;
        gdidecode::ParsedStream stream;
        std::string why;
        ASSERT_TRUE(ParseStream(run.out, &stream, &why)) << why;
        const gdidecode::ParsedPage *printed = nullptr;
        for (const gdidecode::ParsedPage &p : stream.pages) {
            if (p.record.page.pageNumber == c.pageNumber)
                printed = &p;
        }
        ASSERT_NE(printed, nullptr);
        gditest::Bitmap actual;
        ASSERT_TRUE(gditest::DecodePage(*printed, &actual, &why)) << why;
        gditest::PrintSettings settings;
        settings.longEdge = strstr(c.options, "LongEdge") != nullptr;
        settings.duplexStyle = strstr(c.options, "Duplex") != nullptr ? 1 : 0;
        TestPage expectedPage = pages.back();
        expectedPage.rowsArrived = kRowsWhole;
        const gditest::Bitmap expected =
            gditest::ExpectedPage(expectedPage, c.pageNumber, settings);
        EXPECT_EQ(gditest::FirstDifference(expected, actual), "");
    }
}

}  // namespace
