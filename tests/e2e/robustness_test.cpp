// The filter under cancellation, a closed output pipe and damaged or hostile input:
// the documented exit status, a clear message, a well-formed stream or none at all,
// and never a spool file left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/filter_process.h"
#include "tools/GreyRasterHeader.h"
#include "tests/e2e/raster_job.h"

namespace {

using gditest::FilterRequest;
using gditest::FilterRun;
using gditest::TestPage;

const std::string kModelOnePPD = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd";

bool WriteAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= (size_t)n;
    }
    return true;
}

gdidecode::ParsedStream ParseOrFail(const std::string &bytes) {
    gdidecode::ParsedStream stream;
    std::string why;
    EXPECT_TRUE(gditest::ParseStream(bytes, &stream, &why)) << why;
    return stream;
}

std::vector<unsigned> PageOrder(const gdidecode::ParsedStream &stream) {
    std::vector<unsigned> order;
    for (const auto &page : stream.pages)
        order.push_back(page.record.page.pageNumber);
    return order;
}

// ---- Cancellation ---------------------------------------------------------------

struct CancelCase {
    const char *name;
    const char *options;
    unsigned pages;
    unsigned pagesFedBeforeSignal;
    std::vector<unsigned> fullOrder;  // the pages in stream order had the job not been cancelled
};

void PrintTo(const CancelCase &c, std::ostream *os) {
    *os << c.name;
}

class CancelledJob : public ::testing::TestWithParam<CancelCase> {};

// Once SIGTERM is seen no further page goes out: the printer gets the pages that had
// gone out (whole, and whole duplex sheets), then the cancel command and the job end.
TEST_P(CancelledJob, EndsWithCancelCommandAndJobEnd) {
    const CancelCase &c = GetParam();
    gditest::ScratchDir scratch;
    const std::string raster = scratch / "job.ras";
    std::vector<TestPage> pages;
    for (unsigned i = 0; i < c.pages; ++i) {
        TestPage page;
        page.seed = i + 1;
        pages.push_back(page);
    }
    ASSERT_TRUE(gditest::WriteRasterJob(raster, pages));
    const std::string job = gditest::ReadFile(raster);
    // Uncompressed raster: the sync word, then a 1796-byte header and the pixels per page.
    const size_t pageBytes = 1796 + (size_t)pages[0].width * pages[0].height;
    ASSERT_EQ(job.size(), 4 + pageBytes * c.pages);

    FilterRequest request;
    request.args = {"queue", "1", "user", "t", "1", c.options};
    request.env = {{"PPD", kModelOnePPD}};
    request.feedInput = [&](int pid, int fd) {
        // A page is far larger than a pipe holds, so once it is written the filter has
        // read most of it and its signal handling is in place.
        const size_t head = 4 + pageBytes * c.pagesFedBeforeSignal;
        ASSERT_TRUE(WriteAll(fd, job.data(), head));
        kill(pid, SIGTERM);
        WriteAll(fd, job.data() + head, job.size() - head);  // it stops reading: may fail
    };
    FilterRun run = gditest::RunFilter(request);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("Detected SIGTERM"), std::string::npos);
    EXPECT_EQ(run.leftovers, "") << "left in the spool folder";
    if (run.out.empty())
        return;  // the signal came before anything went out: nothing is sent at all
    const gdidecode::ParsedStream stream = ParseOrFail(run.out);
    const std::vector<unsigned> order = PageOrder(stream);
    ASSERT_LE(order.size(), c.pagesFedBeforeSignal);
    EXPECT_TRUE(std::equal(order.begin(), order.end(), c.fullOrder.begin())) << run.err;
    ASSERT_EQ(stream.commands.size(), 1u);
    EXPECT_EQ(stream.commands[0], "GDIC CANCEL     ");
    EXPECT_TRUE(stream.hasJobEnd);
    EXPECT_EQ(run.out.substr(run.out.size() - 20), std::string("GDIC CANCEL     JIDG"));
}

const CancelCase kCancelCases[] = {
    {"SimplexAfterFirstPage", "", 4, 1, {1, 2, 3, 4}},
    {"DuplexDuringSecondPageOfFour", "Duplex=DuplexNoTumble", 4, 2, {2, 1, 4, 3}},
    {"DuplexDuringThirdPageOfFive", "Duplex=DuplexNoTumble", 5, 3, {2, 1, 4, 3, 6, 5}},
};

INSTANTIATE_TEST_SUITE_P(Signals, CancelledJob, ::testing::ValuesIn(kCancelCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ClosedOutput, FilterFinishesAndLeavesNoSpoolFile) {
    gditest::ScratchDir scratch;
    const std::string raster = scratch / "job.ras";
    std::vector<TestPage> pages(3);
    for (unsigned i = 0; i < 3; ++i)
        pages[i].seed = 7 + i;
    ASSERT_TRUE(gditest::WriteRasterJob(raster, pages));
    FilterRequest request;
    request.args = {"queue", "1", "user", "t", "1", "", raster};
    request.env = {{"PPD", kModelOnePPD}};
    request.readOutput = [](int fd, int) {
        char head[16];
        const ssize_t n = read(fd, head, sizeof head);
        return std::string(head, n > 0 ? (size_t)n : 0);  // then the reader goes away
    };
    FilterRun run = gditest::RunFilter(request);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.out.substr(0, 4), "GDIJ");
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    // The job is worked off; what the pipe took before the reader went is counted.
    EXPECT_NE(run.err.find("INFO: Printing page 3"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("The printer's end of the output is closed"), std::string::npos);
    EXPECT_EQ(run.leftovers, "") << "left in the spool folder";
}

// ---- Damaged and hostile input ---------------------------------------------------

// A grey page header as libcups would write it, with the fields a test overrides.
cups_page_header2_t GreyHeader(unsigned width, unsigned height) {
    return GreyRasterHeader(width, height);
}

// Uncompressed raster bytes, written directly so that libcups's writer cannot tidy
// up a header the test wants malformed.
std::string RawPage(const cups_page_header2_t &header, size_t pixelBytes) {
    std::string bytes(reinterpret_cast<const char *>(&header), sizeof header);
    for (size_t i = 0; i < pixelBytes; ++i)
        bytes.push_back((char)(i * 7 % 251));
    return bytes;
}

const std::string kSync = "3SaR";  // "RaS3" in the byte order of this machine

std::string GoodPage() {
    return RawPage(GreyHeader(64, 32), 64 * 32);
}

struct BadInputCase {
    const char *name;
    std::function<std::string()> input;
    int exitStatus;
    unsigned pagesPrinted;  // pages in a well-formed stream; 0: nothing at all
    const char *message;    // expected on standard error
};

void PrintTo(const BadInputCase &c, std::ostream *os) {
    *os << c.name;
}

cups_page_header2_t With(cups_page_header2_t header, void (*change)(cups_page_header2_t &)) {
    change(header);
    return header;
}

const BadInputCase kBadInputCases[] = {
    {"NotRaster", [] { return std::string("%PDF-1.4 this is not raster\n", 28); }, 1, 0,
     "ERROR: The job's data is not CUPS raster"},
    {"EmptyInput", [] { return std::string(); }, 1, 0, "ERROR: The job's data is not CUPS raster"},
    {"NoPages", [] { return kSync; }, 0, 0, "retValue: 1"},
    {"CutInsideFirstPage", [] { return kSync + GoodPage().substr(0, 1796 + 64 * 10 + 5); }, 1, 1,
     "ERROR: The job's raster data ended within page 1"},
    {"CutInsideSecondHeader", [] { return kSync + GoodPage() + GoodPage().substr(0, 700); }, 1, 1,
     "ERROR: The job's raster data is damaged after page 1"},
    {"GarbageAfterFirstPage", [] { return kSync + GoodPage() + std::string(4000, 'x'); }, 1, 1,
     "ERROR: The job's raster data is damaged after page 1"},
    {"ColourFirstPage",
     [] {
         return kSync + RawPage(With(GreyHeader(64, 32),
                                     [](cups_page_header2_t &h) {
                                         h.cupsBitsPerPixel = 24;
                                         h.cupsBytesPerLine = 64 * 3;
                                         h.cupsColorSpace = CUPS_CSPACE_RGB;
                                     }),
                                64 * 3 * 32);
     },
     1, 0, "ERROR: Page 1 is not 8-bit grey raster"},
    {"OneBitSecondPage",
     [] {
         return kSync + GoodPage() +
                RawPage(With(GreyHeader(64, 32),
                             [](cups_page_header2_t &h) {
                                 h.cupsBitsPerColor = 1;
                                 h.cupsBitsPerPixel = 1;
                                 h.cupsBytesPerLine = 8;
                             }),
                        8 * 32);
     },
     1, 1, "ERROR: Page 2 is not 8-bit grey raster"},
    {"BytesPerLineDoNotMatchWidth",
     [] {
         return kSync + RawPage(With(GreyHeader(64, 32),
                                     [](cups_page_header2_t &h) { h.cupsBytesPerLine = 80; }),
                                80 * 32);
     },
     1, 0, "bytes per line do not match a width of 64 pixels"},
    {"ZeroWidth",
     [] {
         return kSync + RawPage(With(GreyHeader(0, 32),
                                     [](cups_page_header2_t &h) { h.cupsBytesPerLine = 0; }),
                                0);
     },
     1, 0, "ERROR: The job's raster data is damaged after page 0"},
    {"ZeroHeight", [] { return kSync + RawPage(GreyHeader(64, 0), 0); }, 1, 0,
     "ERROR: The job's raster data is damaged after page 0"},
    {"HugeWidth", [] { return kSync + RawPage(GreyHeader(100000, 4), 0); }, 1, 0,
     "ERROR: Page 1 cannot be printed: page is larger than the printer can take"},
    {"HugeHeight", [] { return kSync + RawPage(GreyHeader(64, 4000000), 0); }, 1, 0,
     "ERROR: Page 1 cannot be printed: page is larger than the printer can take"},
    // 65,300 dots and the two margins fit 16 bits, but not once aligned to 128 dots.
    {"WidthThatAlignsPastTheField", [] { return kSync + RawPage(GreyHeader(65300, 4), 0); }, 1, 0,
     "ERROR: Page 1 cannot be printed: page is larger than the printer can take"},
    // Width and height fit their fields, and their product the page buffer's limit; the
    // width aligned to 128 dots does not.
    {"PageBufferBeyondTheLimit",
     [] { return kSync + GoodPage() + RawPage(GreyRasterHeader(6336, 65535, 600, 0), 0); }, 1, 1,
     "ERROR: Page 2 cannot be printed: page is larger than the printer can take"},
    {"HugeMarginsThatWouldWrap",
     [] {
         return kSync + RawPage(With(GreyHeader(64, 32),
                                     [](cups_page_header2_t &h) {
                                         h.Margins[0] = 0xFFFFFFF0u;
                                         h.PageSize[0] = 0;
                                     }),
                                64 * 32);
     },
     1, 0, "ERROR: Page 1 cannot be printed: page is larger than the printer can take"},
    {"MarginsWiderThanPaper",
     [] {
         return kSync + RawPage(With(GreyHeader(64, 32),
                                     [](cups_page_header2_t &h) { h.Margins[1] = 500; }),
                                64 * 32);
     },
     1, 0, "ERROR: Page 1 cannot be printed: margins are wider than the paper"},
    {"ColourSpaceNamingNoKnownSpace",
     [] {
         return kSync + RawPage(With(GreyHeader(64, 32),
                                     [](cups_page_header2_t &h) {
                                         const unsigned unknown = 0x47011213u;
                                         memcpy(&h.cupsColorSpace, &unknown, sizeof unknown);
                                     }),
                                64 * 32);
     },
     1, 0, "colour space 1191252499)"},
    {"TrueFalseFieldsOutOfRangeCountAsTrue",
     [] {
         return kSync + RawPage(With(GreyHeader(64, 32),
                                     [](cups_page_header2_t &h) {
                                         const unsigned odd = 0xFFFFu;
                                         memcpy(&h.Collate, &odd, sizeof odd);
                                         memcpy(&h.Duplex, &odd, sizeof odd);
                                         memcpy(&h.InsertSheet, &odd, sizeof odd);
                                         memcpy(&h.Orientation, &odd, sizeof odd);
                                     }),
                                64 * 32);
     },
     0, 1, "cupsPageHeader.Collate = 1"},
    {"ZeroResolution",
     [] {
         return kSync + GoodPage() +
                RawPage(
                    With(GreyHeader(64, 32), [](cups_page_header2_t &h) { h.HWResolution[1] = 0; }),
                    64 * 32);
     },
     1, 1, "ERROR: Page 2 cannot be printed: resolution is zero"},
};

class BadInput : public ::testing::TestWithParam<BadInputCase> {};

TEST_P(BadInput, GivesDocumentedStatusAndCleanOutput) {
    const BadInputCase &c = GetParam();
    gditest::ScratchDir scratch;
    const std::string path = scratch / "input";
    {
        const std::string bytes = c.input();
        FILE *file = fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
    FilterRequest request;
    request.args = {"queue", "1", "user", "t", "1", "Duplex=DuplexNoTumble"};
    request.env = {{"PPD", kModelOnePPD}};
    request.stdinPath = path;
    FilterRun run = gditest::RunFilter(request);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.leftovers, "") << "left in the spool folder";
    if (c.pagesPrinted == 0) {
        EXPECT_EQ(run.out.size(), 0u);
    } else {
        const gdidecode::ParsedStream stream = ParseOrFail(run.out);
        EXPECT_EQ(stream.pages.size(), c.pagesPrinted);
        EXPECT_TRUE(stream.hasJobEnd);
    }
}

INSTANTIATE_TEST_SUITE_P(Input, BadInput, ::testing::ValuesIn(kBadInputCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
