// Band encoding: every band of a page, decoded back with JBIG-KIT, shows the page's
// grey levels halftoned by the threshold rule at its page lines; and the gdidecode
// tool lists and decodes a stream the writer produced.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gdi/BandCoder.h"
#include "gdi/DitherTables.h"
#include "gdi/GdiJob.h"
#include "gdi/QNVGDIFilter.h"
#include "tools/gdi_decode.h"
#include "tests/gdi/gdi_test_support.h"

namespace {

using gditest::MakeOptions;
using gditest::MakePageHeader;
using gditest::SpoolDirectory;

using GreyAt = std::function<unsigned char(unsigned x, unsigned y)>;

struct Job {
    std::vector<unsigned char> bytes;
    gdidecode::ParsedStream stream;
};

// Runs a job of the given pages (each filled from `grey`) and parses its stream.
::testing::AssertionResult RunAndParse(const char *optionsText,
                                       const std::vector<cups_page_header_s> &pages,
                                       const GreyAt &grey, Job *job) {
    QNVCUPSFilter options = MakeOptions("bands", optionsText);
    {
        gditest::TestPorts io;
        QNVGDIFilter writer(options, io.ports());
        unsigned number = 0;
        for (const cups_page_header_s &header : pages) {
            ++number;
            if (number == 1)
                writer.SendJobHeader(header);
            if (!writer.SendPageHeader(header, number)) {
                return ::testing::AssertionFailure() << "page header " << number;
            }
            QNVBlockBuffer *page = writer.GetPageBuffer();
            for (unsigned y = 0; y < page->GetHeight(); ++y) {
                unsigned char *line = page->GetLinePtr(y);
                for (unsigned x = 0; x < page->GetWidth(); ++x)
                    line[x] = grey(x, y);
            }
            if (!writer.SendPageData())
                return ::testing::AssertionFailure() << "page data";
            writer.SendPageEnd();
        }
        if (options.IsDuplex() && number % 2 == 1 && number > 1) {
            writer.SetBlankPageAppended(true);
            writer.SendPageHeader(pages.back(), number + 1);
            writer.SendPageData();
            writer.SendPageEnd();
            writer.SetBlankPageAppended(false);
        }
        writer.SendJobEnd();
        job->bytes = io.sink.Bytes();
    }
    gdidecode::ParseError error;
    if (!gdidecode::ParseBuffer(job->bytes.data(), job->bytes.size(), &job->stream, &error)) {
        return ::testing::AssertionFailure() << "offset " << error.offset << ": " << error.reason;
    }
    return ::testing::AssertionSuccess();
}

// Decodes every band of the page and compares each dot with the threshold rule.
void ExpectPageMatches(const gdidecode::ParsedPage &page, const GreyAt &grey) {
    const unsigned width = page.record.page.width;
    for (const gdidecode::ParsedBand &band : page.bands) {
        std::vector<uint8_t> bits;
        std::string error;
        ASSERT_TRUE(gdidecode::DecodeBand(band.data.data(), band.data.size(), width,
                                          band.record.band.lines, &bits, &error))
            << "band " << band.record.band.index << ": " << error;
        unsigned mismatches = 0;
        for (unsigned row = 0; row < band.record.band.lines; ++row) {
            const unsigned y = band.record.band.firstLine + row;
            for (unsigned x = 0; x < width; ++x) {
                const bool black = (bits[(size_t)row * (width / 8) + x / 8] >> (7 - x % 8)) & 1;
                const bool expected = grey(x, y) >= kDitherThresholdMatrix[y % 24][x % 24];
                if (black != expected && ++mismatches <= 3) {
                    ADD_FAILURE() << "page " << page.record.page.pageNumber << " dot " << x << ","
                                  << y;
                }
            }
        }
        EXPECT_EQ(0u, mismatches) << "band " << band.record.band.index;
    }
}

class BandEncodingTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(spool_.Entries().empty()); }
    SpoolDirectory spool_;
};

TEST_F(BandEncodingTest, UniformPagesDecodeToUniformBits) {
    for (unsigned level : {0u, 255u}) {
        SCOPED_TRACE("level " + std::to_string(level));
        Job job;
        const GreyAt grey = [level](unsigned, unsigned) { return (unsigned char)level; };
        ASSERT_TRUE(RunAndParse("", {MakePageHeader(384, 300)}, grey, &job));
        for (const gdidecode::ParsedBand &band : job.stream.pages.at(0).bands) {
            std::vector<uint8_t> bits;
            std::string error;
            ASSERT_TRUE(gdidecode::DecodeBand(band.data.data(), band.data.size(), 384,
                                              band.record.band.lines, &bits, &error))
                << error;
            EXPECT_EQ(std::vector<uint8_t>(48u * band.record.band.lines, level ? 0xFF : 0x00),
                      bits);
        }
    }
}

// Grey areas of several levels across band boundaries: the bands must carry the
// screen at their own page lines (band 1 starts at cell row 256 mod 24 = 16).
TEST_F(BandEncodingTest, BandsCarryTheScreenAtTheirPageLines) {
    const GreyAt grey = [](unsigned x, unsigned y) {
        return (unsigned char)((x / 40) * 23 + (y / 100) * 41 + ((x ^ y) % 7));
    };
    for (unsigned height : {1u, 255u, 257u, 300u, 512u, 1000u}) {
        SCOPED_TRACE("height " + std::to_string(height));
        Job job;
        ASSERT_TRUE(RunAndParse("", {MakePageHeader(500, height)}, grey, &job));
        ExpectPageMatches(job.stream.pages.at(0), grey);
    }
}

// Random black and white dots, which code to more bytes than the raw band:
// the band must still come out whole.
TEST_F(BandEncodingTest, BandLargerThanItsRawSizeComesOutWhole) {
    const GreyAt grey = [](unsigned x, unsigned y) {
        uint32_t h = x * 2654435761u ^ (y + 0x9E3779B9u) * 2246822519u;
        h ^= h >> 15;
        h *= 2246822519u;
        h ^= h >> 13;
        return (unsigned char)((h >> 8) & 1 ? 255 : 0);  // black or white at random
    };
    Job job;
    ASSERT_TRUE(RunAndParse("", {MakePageHeader(1024, 600)}, grey, &job));
    const gdidecode::ParsedPage &page = job.stream.pages.at(0);
    ExpectPageMatches(page, grey);
    bool grown = false;
    for (const gdidecode::ParsedBand &band : page.bands) {
        grown = grown || band.record.band.dataLength > 128u * 256u;
    }
    EXPECT_TRUE(grown) << "no band coded beyond its raw size; the growth path was not taken";
}

// The bytes of a one-page job whose first `windowBands` bands are made one at a time in
// a separate window and sent from there; SendPageData sends the rest from the page.
std::vector<unsigned char> PageSentFromWindow(const cups_page_header_s &header, const GreyAt &grey,
                                              unsigned windowBands, unsigned *pageLines = nullptr) {
    QNVCUPSFilter options = MakeOptions("bands", "");
    gditest::TestPorts io;
    QNVGDIFilter writer(options, io.ports());
    writer.SendJobHeader(header);
    EXPECT_TRUE(writer.SendPageHeader(header, 1));
    QNVBlockBuffer *page = writer.GetPageBuffer();
    const unsigned width = page->GetWidth(), height = page->GetHeight();
    if (pageLines != nullptr)
        *pageLines = height;
    std::vector<unsigned char> window((size_t)width * 256, 0xEE);
    for (unsigned band = 0; band < windowBands; ++band) {
        for (unsigned y = band * 256; y < std::min(height, band * 256 + 256); ++y) {
            for (unsigned x = 0; x < width; ++x)
                window[(size_t)(y - band * 256) * width + x] = grey(x, y);
        }
        EXPECT_EQ(writer.SendNextBand(window.data()), band < writer.GetBandCount()) << band;
    }
    for (unsigned y = 0; y < height; ++y) {
        unsigned char *line = page->GetLinePtr(y);
        for (unsigned x = 0; x < width; ++x)
            line[x] = y < windowBands * 256 ? 0x77 : grey(x, y);  // sent bands are not read
    }
    EXPECT_TRUE(writer.SendPageData());
    writer.SendPageEnd();
    writer.SendJobEnd();
    return io.sink.Bytes();
}

// The stream from the first page header on: the job header carries the time of day.
std::vector<unsigned char> PagesOf(const std::vector<unsigned char> &stream) {
    if (stream.size() < kGDIJobHeaderSize)
        return {};
    return std::vector<unsigned char>(stream.begin() + kGDIJobHeaderSize, stream.end());
}

TEST_F(BandEncodingTest, BandsSentFromAWindowGiveTheSameStream) {
    const cups_page_header_s header = MakePageHeader(700, 1000);
    const GreyAt grey = [](unsigned x, unsigned y) {
        return (unsigned char)((x * 7 + y * 3) & 0xFF);
    };
    unsigned lines = 0;
    const std::vector<unsigned char> whole = PageSentFromWindow(header, grey, 0, &lines);
    ASSERT_GT(lines % 256, 0u) << "the last band should be short";
    ASSERT_GT(PagesOf(whole).size(), 0u);
    const unsigned bands = (lines + 255) / 256;
    // One band, all but the last, all of them (the short last one too), and one more
    // than the page has, which is refused and changes nothing.
    for (unsigned windowBands : {1u, bands - 1, bands, bands + 1}) {
        SCOPED_TRACE(windowBands);
        EXPECT_EQ(PagesOf(PageSentFromWindow(header, grey, windowBands)), PagesOf(whole));
    }
    Job job;
    job.bytes = whole;
    gdidecode::ParseError error;
    ASSERT_TRUE(gdidecode::ParseBuffer(job.bytes.data(), job.bytes.size(), &job.stream, &error));
    ASSERT_EQ(job.stream.pages.size(), 1u);
    EXPECT_EQ(job.stream.pages[0].bands.size(), bands);
    ExpectPageMatches(job.stream.pages[0], grey);
}

// Text-like areas, noise that makes the coder busy, and white paper, so that bands take
// very different times to code and finish out of order on several threads.
unsigned char MixedGrey(unsigned x, unsigned y, unsigned page) {
    if ((y / 300 + page) % 3 == 0)
        return 0;
    if ((y / 300 + page) % 3 == 1)
        return ((x / 9) % 4 == 0 && (y / 13) % 2 == 0) ? 255 : 0;
    uint32_t h = (x + 1) * 2654435761u ^ (y + 7 * page) * 2246822519u;
    h ^= h >> 13;
    return (unsigned char)(h * 2246822519u >> 24);
}

// The pages of a whole job made on `threads` coding threads (the job header, which
// carries the time of day, left out).
std::vector<unsigned char> WholeJobOn(unsigned threads, const char *optionsText) {
    gditest::TestPorts io;
    {
        GdiJob job(MakeOptions("threads", optionsText), io.ports());
        job.SetCoderThreads(threads);
        const cups_page_header_s header = MakePageHeader(900, 1400, 600, 8);
        std::vector<unsigned char> row(900);
        for (unsigned page = 1; page <= 3; ++page) {
            EXPECT_EQ(job.StartPage(header), GdiJob::PageStart::kStarted);
            for (unsigned y = 0; y < 1400; ++y) {
                for (unsigned x = 0; x < 900; ++x)
                    row[x] = MixedGrey(x, y, page);
                job.PutRow(row.data());
            }
            EXPECT_TRUE(job.EndPage()) << "page " << page;
        }
        EXPECT_TRUE(job.Finish());
    }
    return PagesOf(io.sink.Bytes());
}

// Simplex pages made in a band window, duplex back sides turned in a whole page buffer
// and the blank page that completes the duplex job.
TEST_F(BandEncodingTest, WholeJobGivesTheSameBytesOnAnyNumberOfThreads) {
    for (const char *optionsText : {"", "Duplex=DuplexNoTumble"}) {
        SCOPED_TRACE(optionsText);
        const std::vector<unsigned char> single = WholeJobOn(1, optionsText);
        ASSERT_GT(single.size(), 3u * kGDIPageHeaderSize);
        for (unsigned threads : {2u, 8u})
            EXPECT_TRUE(WholeJobOn(threads, optionsText) == single) << threads << " threads";
    }
}

// The variable only limits: it never asks for more threads than processors, and text
// that is not a whole number from 1 up leaves the processor count.
TEST(BandCoderThreads, FollowProcessorsAndTheLimit) {
    const struct {
        unsigned processors;
        const char *limit;
        unsigned threads;
    } cases[] = {{4, nullptr, 4}, {4, "2", 2},  {4, "1", 1}, {2, "8", 2},     {4, "0", 4},
                 {4, "-1", 4},    {4, "2x", 4}, {4, "", 4},  {0, nullptr, 1}, {64, nullptr, 16}};
    for (const auto &c : cases) {
        EXPECT_EQ(BandCoderThreadsFor(c.processors, c.limit), c.threads)
            << c.processors << " " << (c.limit != nullptr ? c.limit : "(unset)");
    }
}

// Refuses the allocations of the encoders after the first `budget`, from any thread.
struct FailingMemory {
    static void *Allocate(void *context, size_t size, int zeroFill) {
        std::atomic<int> *left = static_cast<std::atomic<int> *>(context);
        if (left->fetch_sub(1) <= 0)
            return nullptr;
        return zeroFill ? calloc(1, size) : malloc(size);
    }
    static void Release(void *, void *block) { free(block); }
};

// A band whose coding runs out of memory fails its page, on one thread or several; the
// pages before it go out whole and the job's stream stays well formed.
TEST_F(BandEncodingTest, BandOutOfMemoryFailsItsPageCleanly) {
    for (unsigned threads : {1u, 2u, 8u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        std::atomic<int> left{1000};
        QNVCUPSFilter options = MakeOptions("bands", "");
        gditest::TestPorts io;
        {
            QNVGDIFilter writer(options, io.ports());
            writer.SetCoderThreads(threads);
            JBIGEncoderSetup setup = OvtJBIGDefaultSetup();
            setup.allocator = {FailingMemory::Allocate, FailingMemory::Release, &left};
            writer.SetEncoderSetup(setup);
            const cups_page_header_s header = MakePageHeader(512, 3000);
            writer.SendJobHeader(header);
            for (unsigned page = 1; page <= 2; ++page) {
                ASSERT_TRUE(writer.SendPageHeader(header, page));
                QNVBlockBuffer *buffer = writer.GetPageBuffer();
                for (unsigned y = 0; y < buffer->GetHeight(); ++y)
                    memset(buffer->GetLinePtr(y), (int)(y * 7), buffer->GetWidth());
                if (page == 2)
                    left = 30;  // runs out within the second page
                const bool sent = writer.SendPageData();
                EXPECT_EQ(sent, page == 1);
                if (!sent)
                    writer.DiscardPage();
                writer.SendPageEnd();
            }
            writer.SendJobEnd();
        }
        const std::vector<unsigned char> bytes = io.sink.Bytes();
        gdidecode::ParsedStream stream;
        gdidecode::ParseError error;
        ASSERT_TRUE(gdidecode::ParseBuffer(bytes.data(), bytes.size(), &stream, &error))
            << error.reason;
        ASSERT_EQ(stream.pages.size(), 1u);
        EXPECT_EQ(stream.pages[0].bands.size(), 12u);
    }
}

TEST_F(BandEncodingTest, DuplexPagesDecodeAfterReordering) {
    const GreyAt grey = [](unsigned x, unsigned y) { return (unsigned char)((x + 3 * y) & 0xFF); };
    Job job;
    ASSERT_TRUE(RunAndParse("Duplex=DuplexNoTumble",
                            std::vector<cups_page_header_s>(3, MakePageHeader(256, 400)), grey,
                            &job));
    ASSERT_EQ(4u, job.stream.pages.size());
    for (const gdidecode::ParsedPage &page : job.stream.pages) {
        if (page.record.page.pageNumber == 4) {
            ExpectPageMatches(page, [](unsigned, unsigned) { return (unsigned char)0; });
        } else {
            ExpectPageMatches(page, grey);
        }
    }
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int RunTool(const std::string &arguments, std::string *out) {
    // Through the emulator when the tests run on another processor's build.
    const char *emulator = getenv("GDI_TEST_EMULATOR");
    const std::string command = std::string(emulator != nullptr ? emulator : "") + " " +
                                GDI_BINARY_DIR + "/tools/gdidecode " + arguments;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t got;
    out->clear();
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        out->append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(BandEncodingTest, GdidecodeListsAndDecodesAWriterStream) {
    const GreyAt grey = [](unsigned x, unsigned y) { return (unsigned char)((x * y) & 0xFF); };
    Job job;
    ASSERT_TRUE(RunAndParse("Duplex=DuplexNoTumble",
                            std::vector<cups_page_header_s>(3, MakePageHeader(300, 520)), grey,
                            &job));
    const std::string dir = spool_.Path() + "/decoded";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    const std::string streamPath = dir + "/job.gdi";
    {
        std::ofstream out(streamPath, std::ios::binary);
        out.write(reinterpret_cast<const char *>(job.bytes.data()),
                  (std::streamsize)job.bytes.size());
    }

    std::string listing;
    ASSERT_EQ(0, RunTool("--decode " + dir + " " + streamPath + " 2>&1", &listing)) << listing;
    std::istringstream lines(listing);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line))
        all.push_back(line);
    ASSERT_EQ(job.stream.records.size() + 1, all.size()) << listing;
    EXPECT_NE(std::string::npos, all[0].find("GDIJ job header"));
    EXPECT_NE(std::string::npos, all[1].find("GDIP page 2"));
    EXPECT_NE(std::string::npos, all.back().find("stream OK"));
    EXPECT_NE(std::string::npos, all.back().find("4 page(s), 12 band(s)"));

    for (unsigned number = 1; number <= 4; ++number) {
        char name[32];
        snprintf(name, sizeof(name), "/page-%04u", number);
        const std::string pbm = ReadFile(dir + name + ".pbm");
        const std::string header = "P4\n384 520\n";
        ASSERT_EQ(header.size() + 48u * 520u, pbm.size()) << name;
        EXPECT_EQ(header, pbm.substr(0, header.size()));
        // The first line of page 1 is at page line 0.
        if (number != 4) {
            for (unsigned x = 0; x < 384; ++x) {
                const bool black = (pbm[header.size() + x / 8] >> (7 - x % 8)) & 1;
                EXPECT_EQ(grey(x, 0) >= kDitherThresholdMatrix[0][x % 24], black) << x;
            }
        }
        const std::string png = ReadFile(dir + name + ".png");
        if (!png.empty()) {
            EXPECT_EQ("\x89PNG", png.substr(0, 4));
        }
        unlink((dir + name + ".pbm").c_str());
        unlink((dir + name + ".png").c_str());
    }

    // Cut short in the middle of a band: reported with its offset, exit status 1.
    {
        std::ofstream out(streamPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(job.bytes.data()), 400);
    }
    std::string errors;
    EXPECT_EQ(1, RunTool("-q " + streamPath + " 2>&1 >/dev/null", &errors));
    EXPECT_NE(std::string::npos, errors.find("gdidecode: offset 400 (0x190): input ends inside"))
        << errors;
    unlink(streamPath.c_str());
    rmdir(dir.c_str());
}

}  // namespace
