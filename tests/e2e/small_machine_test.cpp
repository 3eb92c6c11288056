// The filter as on a small 32-bit print server. In a small address space the largest
// page the printer takes, turned (its whole page buffer held at once), is refused
// cleanly when that memory cannot be had, and a normal A4 600-dpi job still prints
// whole. A job file beyond 2 GiB (a hundred uncompressed A4 pages) is read like any other.
//
// Natively the filter gets an address-space limit (RLIMIT_AS); built for another
// processor it runs in qemu-user, which is given the same size as the target's whole
// address space (-R), since qemu itself needs more than that. qemu-arm (32-bit ARM)
// cannot take a smaller space: it keeps the processor's helper page at the top of the
// 4 GiB, and stops on an assertion. There the A4 page is printed without a limit and the
// largest page is skipped.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gdi/QNVBlockBuffer.h"
#include "tests/e2e/raster_job.h"
#include "tests/support/filter_process.h"
#include "tools/GreyRasterHeader.h"

namespace {

using gditest::FilterRequest;
using gditest::FilterRun;
using gditest::TestPage;

const std::string kModelOnePPD = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd";

// Room for the filter, its libraries and an A4 page buffer (35 MB), not for the largest
// page buffer (415 MB).
constexpr unsigned long kAddressSpaceBytes = 256ul << 20;
static_assert(kMaxPageBufferBytes > kAddressSpaceBytes, "the largest page must not fit");

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerShadow = true;  // its shadow memory needs terabytes of addresses
#else
constexpr bool kSanitizerShadow = false;
#endif

std::string Emulator() {
    const char *emulator = getenv("GDI_TEST_EMULATOR");
    return emulator != nullptr ? emulator : "";
}

// Whether the filter can be run in a smaller address space here.
bool CanLimitAddressSpace() {
    const std::string emulator = Emulator();
    const std::string program = emulator.substr(0, emulator.find(' '));
    return program.size() < 8 || program.compare(program.size() - 8, 8, "qemu-arm") != 0;
}

// Runs inside the filter's supervisor before it starts the filter, which inherits it.
void LimitAddressSpace() {
    const std::string emulator = Emulator();
    if (emulator.find("qemu-") != std::string::npos) {
        const std::string limited = emulator + " -R " + std::to_string(kAddressSpaceBytes);
        setenv("GDI_TEST_EMULATOR", limited.c_str(), 1);
        return;
    }
    const rlimit limit = {kAddressSpaceBytes, kAddressSpaceBytes};
    setrlimit(RLIMIT_AS, &limit);
}

FilterRun RunLimited(const std::string &input, const std::string &options) {
    FilterRequest request;
    request.args = {"queue", "1", "user", "t", "1", options};
    request.env = {{"PPD", kModelOnePPD}};
    request.stdinPath = input;
    if (CanLimitAddressSpace())
        request.setup = LimitAddressSpace;
    return gditest::RunFilter(request);
}

// The header of the largest page the printer takes (no margins), followed by only a few
// of its lines: the filter must refuse it before it reads them.
bool WriteLargestPageStart(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    const unsigned width = 16896, height = 24576;  // width * height = kMaxPageBufferBytes
    static_assert(uint64_t(16896) * 24576 == kMaxPageBufferBytes, "the largest page");
    cups_page_header2_t header = GreyRasterHeader(width, height, 600, 0);
    bool ok = raster != nullptr && cupsRasterWriteHeader2(raster, &header) != 0;
    std::vector<unsigned char> line(width, 0x80);
    for (int y = 0; ok && y < 4; ++y)
        ok = cupsRasterWritePixels(raster, line.data(), width) == width;
    if (raster != nullptr)
        cupsRasterClose(raster);
    return close(fd) == 0 && ok;
}

gdidecode::ParsedStream Parse(const std::string &bytes) {
    gdidecode::ParsedStream stream;
    std::string why;
    EXPECT_TRUE(gditest::ParseStream(bytes, &stream, &why)) << why;
    return stream;
}

class SmallAddressSpace : public ::testing::Test {
protected:
    void SetUp() override {
        if (kSanitizerShadow)
            GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
    }
    gditest::ScratchDir scratch;
};

TEST_F(SmallAddressSpace, LargestTurnedPageIsRefusedWithAReasonAndAWholeStream) {
    if (!CanLimitAddressSpace())
        GTEST_SKIP() << "qemu-arm cannot give the filter an address space below 4 GiB";
    const std::string input = scratch / "largest.ras";
    ASSERT_TRUE(WriteLargestPageStart(input));
    const FilterRun run = RunLimited(input, "LongEdgeIsVertical=True");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    // Refused for its memory, not taken on and then found cut short.
    EXPECT_NE(run.err.find("ERROR: Page 1 could not be prepared (out of memory?)"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("ended within page 1"), std::string::npos) << run.err;
    EXPECT_EQ(run.leftovers, "") << "left in the spool folder";
    if (!run.out.empty()) {
        const gdidecode::ParsedStream stream = Parse(run.out);
        EXPECT_TRUE(stream.hasJobEnd);
    }
}

TEST_F(SmallAddressSpace, TurnedA4PageAt600DpiPrintsWhole) {
    TestPage page;
    page.width = 4760;  // A4 at 600 dpi within 12-point margins, as cupsfilter makes it
    page.height = 6817;
    const std::string input = scratch / "a4.ras";
    ASSERT_TRUE(gditest::WriteRasterJob(input, {page}));
    const FilterRun run = RunLimited(input, "LongEdgeIsVertical=True");
    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.leftovers, "") << "left in the spool folder";
    const gdidecode::ParsedStream stream = Parse(run.out);
    ASSERT_EQ(stream.pages.size(), 1u);
    EXPECT_TRUE(stream.hasJobEnd);
    gditest::Bitmap printed;
    std::string error;
    ASSERT_TRUE(gditest::DecodePage(stream.pages[0], &printed, &error)) << error;
    gditest::PrintSettings settings;
    settings.longEdge = true;
    const gditest::Bitmap expected = gditest::ExpectedPage(page, 1, settings);
    EXPECT_EQ(gditest::FirstDifference(expected, printed), "");
}

// A one-page job in a file that goes on, sparse, to 3 GiB: its offsets do not fit 31 bits.
// (A 32-bit kernel refuses to open such a file, and to write a spool file past 2 GiB,
// unless the program asks for 64-bit offsets; qemu on a 64-bit kernel does not, so the
// width of off_t is checked as well.)
TEST(LargeJobFile, IsReadPastTwoGibibytes) {
    EXPECT_EQ(sizeof(off_t), 8u) << "files beyond 2 GiB need 64-bit offsets";
    gditest::ScratchDir scratch;
    TestPage page;
    page.width = 64;
    page.height = 32;
    const std::string input = scratch / "large.ras";
    ASSERT_TRUE(gditest::WriteRasterJob(input, {page}));
    // truncate64, so that the test makes the file whatever the width of off_t.
    ASSERT_EQ(truncate64(input.c_str(), off64_t(3) << 30), 0) << "no sparse file of 3 GiB here";
    FilterRequest request;
    request.args = {"queue", "1", "user", "t", "1", "", input};
    request.env = {{"PPD", kModelOnePPD}};
    const FilterRun run = gditest::RunFilter(request);
    ASSERT_TRUE(run.started);
    // The page is printed; what follows it is zeros, which are no page header.
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("ERROR: The job's raster data is damaged after page 1"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.leftovers, "") << "left in the spool folder";
    const gdidecode::ParsedStream stream = Parse(run.out);
    EXPECT_EQ(stream.pages.size(), 1u);
    EXPECT_TRUE(stream.hasJobEnd);
}

}  // namespace
