// Whole jobs through the filter: synthetic CUPS raster in, the printer stream out,
// every page decoded and compared bit for bit with an independent rendering.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/filter_process.h"
#include "tests/e2e/raster_job.h"

namespace {

using gditest::Bitmap;
using gditest::FilterRequest;
using gditest::FilterRun;
using gditest::PrintSettings;
using gditest::TestPage;

const std::string kModelOnePPD = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd";

struct JobCase {
    const char *name;
    const char *options;
    PrintSettings settings;
    std::vector<TestPage> pages;
    std::vector<unsigned> streamOrder;  // page numbers as they must reach the printer
    unsigned paperSizeCode;
    cups_mode_t mode = CUPS_RASTER_WRITE;
    // When set, the raster comes through a pipe in pieces of this many bytes, a little
    // apart, so that reads end inside rows and inside page headers.
    size_t pipePieceBytes = 0;
};

// Writes the file to fd in pieces of `piece` bytes with a short pause after each.
void FeedInPieces(const std::string &path, size_t piece, int fd) {
    const std::string bytes = gditest::ReadFile(path);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        const size_t count = std::min(piece, bytes.size() - at);
        for (size_t done = 0; done < count;) {
            const ssize_t wrote = write(fd, bytes.data() + at + done, count - done);
            if (wrote <= 0)
                return;
            done += (size_t)wrote;
        }
        usleep(20);
    }
}

void PrintTo(const JobCase &c, std::ostream *os) {
    *os << c.name;
}

TestPage Page(unsigned seed, unsigned width = 640, unsigned height = 480) {
    TestPage page;
    page.seed = seed;
    page.width = width;
    page.height = height;
    return page;
}

std::vector<JobCase> JobCases() {
    std::vector<JobCase> cases;
    cases.push_back({"SimplexOnePage", "", {}, {Page(1)}, {1}, 9});
    {
        JobCase c{"SimplexThreePagesWhiteIsHighGrey", "PageSize=Letter", {}, {}, {1, 2, 3}, 1};
        for (unsigned i = 0; i < 3; ++i) {
            c.pages.push_back(Page(10 + i, 333, 270));
            c.pages.back().colorSpace = i == 1 ? CUPS_CSPACE_SW : CUPS_CSPACE_W;
        }
        cases.push_back(c);
    }
    cases.push_back({"DuplexNoTumbleThreePagesGetsBlankFourth",
                     "Duplex=DuplexNoTumble",
                     {0, 0, false, 1},
                     {Page(21), Page(22), Page(23)},
                     {2, 1, 4, 3},
                     9});
    cases.push_back({"DuplexTumbleLongEdgeTurnsBackSides",
                     "Duplex=DuplexTumble LongEdgeIsVertical=True",
                     {0, 0, true, 2},
                     {Page(31, 601, 803), Page(32, 601, 803)},
                     {2, 1},
                     137});
    cases.push_back({"DuplexTumbleShortEdgeTurnsNothing",
                     "Duplex=DuplexTumble",
                     {0, 0, false, 2},
                     {Page(41), Page(42), Page(43), Page(44)},
                     {2, 1, 4, 3},
                     9});
    cases.push_back({"DuplexNoTumbleLongEdgeTurnsNothing",
                     "Duplex=DuplexNoTumble LongEdgeIsVertical=True",
                     {0, 0, true, 1},
                     {Page(51, 300, 200), Page(52, 300, 200)},
                     {2, 1},
                     137});
    cases.push_back({"DuplexFivePages",
                     "Duplex=DuplexNoTumble",
                     {0, 0, false, 1},
                     {Page(61, 200, 150), Page(62, 200, 150), Page(63, 200, 150),
                      Page(64, 200, 150), Page(65, 200, 150)},
                     {2, 1, 4, 3, 6, 5},
                     9});
    cases.push_back({"DuplexOnePageIsSentSimplex",
                     "Duplex=DuplexNoTumble",
                     {0, 0, false, 1},
                     {Page(71)},
                     {1},
                     9});
    cases.push_back({"LongEdgeSimplexTurnsQuarter",
                     "LongEdgeIsVertical=True",
                     {0, 0, true, 0},
                     {Page(81, 600, 800)},
                     {1},
                     137});
    {
        JobCase c{"UnequalMarginsPlaceRowsBelowTopMargin", "", {}, {Page(91, 500, 300)}, {1}, 9};
        c.pages[0].marginPoints[0] = 6;
        c.pages[0].marginPoints[1] = 30;
        cases.push_back(c);
        JobCase l{"UnequalMarginsLongEdge",
                  "LongEdgeIsVertical=True",
                  {0, 0, true, 0},
                  {Page(92, 500, 300)},
                  {1},
                  137};
        l.pages[0].marginPoints[0] = 30;
        l.pages[0].marginPoints[1] = 6;
        cases.push_back(l);
    }
    cases.push_back({"BrightnessAndContrast",
                     "PBrightness=Level8 PContrast=Level3",
                     {45, -30, false, 0},
                     {Page(101), Page(102)},
                     {1, 2},
                     9});
    {
        JobCase c{"BandSeamsWithoutMargins", "PageSize=Custom.4x6in", {}, {}, {1}, 255};
        c.pages.push_back(Page(111, 256, 769));
        c.pages[0].marginPoints[0] = 0;
        c.pages[0].marginPoints[1] = 0;
        cases.push_back(c);
    }
    {
        JobCase c{"CompressedRaster", "", {}, {Page(121), Page(122)}, {1, 2}, 9};
        c.mode = CUPS_RASTER_WRITE_COMPRESSED;
        cases.push_back(c);
    }
    {
        JobCase c{"PipeInOddPieces", "", {}, {Page(131, 641, 97), Page(132, 640, 480)}, {1, 2}, 9};
        c.pipePieceBytes = 997;
        cases.push_back(c);
        JobCase w{"PipeInOddPiecesWhiteIsHighGrey", "", {}, {Page(133, 333, 270)}, {1}, 9};
        w.pages[0].colorSpace = CUPS_CSPACE_W;
        w.pipePieceBytes = 61;
        cases.push_back(w);
        JobCase d{"DuplexBackSideUnequalMarginsOddWidthThroughPipe",
                  "Duplex=DuplexNoTumble",
                  {0, 0, false, 1},
                  {Page(136, 333, 301), Page(137, 333, 301)},
                  {2, 1},
                  9};
        for (TestPage &page : d.pages) {
            page.marginPoints[0] = 6;
            page.marginPoints[1] = 30;
        }
        d.pipePieceBytes = 997;
        cases.push_back(d);
        // Pages of over 1 MiB reuse one page buffer: a front side after a turned back
        // side finds the turned page's bytes where its own margins are.
        JobCase big{"DuplexLargePagesReuseTheBuffer",
                    "Duplex=DuplexNoTumble",
                    {0, 0, false, 1},
                    {Page(161, 1200, 900), Page(162, 1200, 900), Page(163, 1200, 900)},
                    {2, 1, 4, 3},
                    9};
        for (TestPage &page : big.pages)
            page.marginPoints[0] = 6;
        cases.push_back(big);
        // A top margin longer than a band: the first bands carry no rows at all.
        JobCase tall{"TopMarginLongerThanABand",
                     "",
                     {},
                     {Page(164, 700, 600), Page(165, 700, 600)},
                     {1, 2},
                     9};
        for (TestPage &page : tall.pages)
            page.marginPoints[1] = 40;
        cases.push_back(tall);
        JobCase z{"PipeInPiecesCompressed", "", {}, {Page(134), Page(135)}, {1, 2}, 9};
        z.mode = CUPS_RASTER_WRITE_COMPRESSED;
        z.pipePieceBytes = 4001;
        cases.push_back(z);
    }
    return cases;
}

class WholeJob : public ::testing::TestWithParam<JobCase> {};

TEST_P(WholeJob, EveryPageArrivesAsRendered) {
    const JobCase &job = GetParam();
    gditest::ScratchDir scratch;
    const std::string raster = scratch / "job.ras";
    ASSERT_TRUE(gditest::WriteRasterJob(raster, job.pages, job.mode));

    FilterRequest request;
    request.args = {"queue", "42", "user", "synthetic job", "1", job.options};
    if (job.pipePieceBytes != 0) {
        request.feedInput = [&](int, int fd) { FeedInPieces(raster, job.pipePieceBytes, fd); };
    } else {
        request.args.push_back(raster);
    }
    request.env = {{"PPD", kModelOnePPD}};
    FilterRun run = gditest::RunFilter(request);
    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.leftovers, "") << "left in the spool folder";

    gdidecode::ParsedStream stream;
    gdidecode::ParseError error;
    ASSERT_TRUE(gdidecode::ParseBuffer(reinterpret_cast<const uint8_t *>(run.out.data()),
                                       run.out.size(), &stream, &error))
        << "offset " << error.offset << ": " << error.reason;
    EXPECT_TRUE(stream.hasJobEnd);
    ASSERT_FALSE(stream.jobHeaders.empty());
    EXPECT_EQ(stream.jobHeaders[0].name, "synthetic job");
    EXPECT_EQ(stream.jobHeaders[0].mode, job.settings.duplexStyle != 0 ? 0x0200 : 0x0000);

    ASSERT_EQ(stream.pages.size(), job.streamOrder.size());
    for (size_t i = 0; i < stream.pages.size(); ++i) {
        const gdidecode::ParsedPage &page = stream.pages[i];
        const unsigned number = page.record.page.pageNumber;
        SCOPED_TRACE("page " + std::to_string(number));
        EXPECT_EQ(number, job.streamOrder[i]);
        EXPECT_EQ(page.record.page.paperSize, job.paperSizeCode);
        const bool blank = number > job.pages.size();
        EXPECT_EQ((page.record.page.flags & 0x20) != 0, blank);
        Bitmap actual;
        std::string decodeError;
        ASSERT_TRUE(gditest::DecodePage(page, &actual, &decodeError)) << decodeError;
        const Bitmap expected =
            blank ? gditest::ExpectedBlankPage(job.pages.back(), job.settings)
                  : gditest::ExpectedPage(job.pages[number - 1], number, job.settings);
        EXPECT_EQ(gditest::FirstDifference(expected, actual), "");
    }

    // CUPS counts every page sent, the appended blank page too.
    for (unsigned n = 1; n <= job.streamOrder.size(); ++n) {
        EXPECT_NE(run.err.find("PAGE: " + std::to_string(n) + " 1\n"), std::string::npos) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, WholeJob, ::testing::ValuesIn(JobCases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(WholeJobHeader, CarriesCopiesCollateAndDuplexMode) {
    gditest::ScratchDir scratch;
    const std::string raster = scratch / "job.ras";
    TestPage page = Page(5, 128, 64);
    page.numCopies = 3;
    page.collate = 1;
    ASSERT_TRUE(gditest::WriteRasterJob(raster, {page, page}));
    FilterRequest request;
    request.args = {"queue", "1", "user", "t", "3", "Duplex=DuplexTumble TonerSave", raster};
    request.env = {{"PPD", kModelOnePPD}};
    FilterRun run = gditest::RunFilter(request);
    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    gdidecode::ParsedStream stream;
    gdidecode::ParseError error;
    ASSERT_TRUE(gdidecode::ParseBuffer(reinterpret_cast<const uint8_t *>(run.out.data()),
                                       run.out.size(), &stream, &error))
        << error.reason;
    ASSERT_EQ(stream.jobHeaders.size(), 1u);
    EXPECT_EQ(stream.jobHeaders[0].copies, 3);
    EXPECT_EQ(stream.jobHeaders[0].mode, 0x0208);
    EXPECT_EQ(stream.jobHeaders[0].tonerSaving, 1);
    EXPECT_NE(run.err.find("PAGE: 2 3\n"), std::string::npos) << run.err;
}

}  // namespace

// A page cut short after a full page of the same size: the page buffer the first page
// left behind is reused, and what did not arrive of the second page must print white,
// whether the raster came from a file or, in odd pieces, through a pipe.
TEST(CutJob, RowsThatDidNotArriveAreWhiteAfterAFullPage) {
    const TestPage first = Page(141, 1200, 900), second = Page(142, 1200, 900);
    const unsigned arrivedRows = 300, yMarginLines = 100;  // 12 pt at 600 dpi
    for (size_t piece : {size_t(0), size_t(1009)}) {
        SCOPED_TRACE(piece == 0 ? "file" : "pipe");
        gditest::ScratchDir scratch;
        const std::string raster = scratch / "job.ras";
        ASSERT_TRUE(gditest::WriteRasterJob(raster, {first, second}));
        const size_t pageBytes = 1796 + (size_t)first.width * first.height;
        ASSERT_EQ(truncate(raster.c_str(),
                           (off_t)(4 + pageBytes + 1796 + arrivedRows * second.width + 37)),
                  0);

        FilterRequest request;
        request.args = {"queue", "42", "user", "cut job", "1", ""};
        if (piece != 0)
            request.feedInput = [&](int, int fd) { FeedInPieces(raster, piece, fd); };
        else
            request.args.push_back(raster);
        request.env = {{"PPD", kModelOnePPD}};
        FilterRun run = gditest::RunFilter(request);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitStatus, 1) << run.err;

        gdidecode::ParsedStream stream;
        gdidecode::ParseError error;
        ASSERT_TRUE(gdidecode::ParseBuffer(reinterpret_cast<const uint8_t *>(run.out.data()),
                                           run.out.size(), &stream, &error))
            << "offset " << error.offset << ": " << error.reason;
        ASSERT_EQ(stream.pages.size(), 2u);
        Bitmap expected = gditest::ExpectedPage(second, 2, {});
        const size_t rowBytes = expected.width / 8;
        std::fill(expected.bits.begin() + (yMarginLines + arrivedRows) * rowBytes,
                  expected.bits.end(), 0);
        Bitmap actual;
        std::string decodeError;
        ASSERT_TRUE(gditest::DecodePage(stream.pages[1], &actual, &decodeError)) << decodeError;
        EXPECT_EQ(gditest::FirstDifference(expected, actual), "");
    }
}
