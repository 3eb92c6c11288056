// Stream writer: records, fields, page order and band records, read back through the
// stream decoder from what reaches standard output.
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gdi/BytesOrder.h"
#include "gdi/QNVGDIFilter.h"
#include "tools/gdi_decode.h"
#include "tests/gdi/gdi_test_support.h"

namespace {

using gdidecode::ParsedStream;
using gdidecode::RecordType;
using gditest::LogCapture;
using gditest::MakeOptions;
using gditest::MakePageHeader;
using gditest::SpoolDirectory;

const unsigned char *const kCancel = CancelCMD;

// Fills a page buffer; the default leaves it white.
using PageFiller = std::function<void(QNVBlockBuffer *page, unsigned pageNumber)>;

// Drives the writer as the raster page loop does, including the completion of a
// duplex job (single page, or a blank page after an odd page count).
void RunJob(QNVCUPSFilter &options, const JobPorts &ports,
            const std::vector<cups_page_header_s> &pages, const PageFiller &fill = nullptr) {
    QNVGDIFilter writer(options, ports);
    unsigned number = 0;
    for (const cups_page_header_s &header : pages) {
        ++number;
        if (number == 1) {
            ASSERT_TRUE(writer.SendJobHeader(header));
        }
        ASSERT_TRUE(writer.SendPageHeader(header, number));
        if (fill)
            fill(writer.GetPageBuffer(), number);
        EXPECT_TRUE(writer.SendPageData());
        writer.SendPageEnd();
    }
    if (options.IsDuplex() && number == 1) {
        writer.SendSinglePage();
    } else if (options.IsDuplex() && number % 2 == 1) {
        writer.SetBlankPageAppended(true);
        ASSERT_TRUE(writer.SendPageHeader(pages.back(), number + 1));
        EXPECT_TRUE(writer.SendPageData());
        writer.SendPageEnd();
        writer.SetBlankPageAppended(false);
    }
    writer.SendJobEnd();
}

::testing::AssertionResult Parses(const std::vector<unsigned char> &bytes, ParsedStream *stream) {
    gdidecode::ParseError error;
    if (gdidecode::ParseBuffer(bytes.data(), bytes.size(), stream, &error)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "malformed at offset " << error.offset << ": " << error.reason;
}

// Runs `job` with a sink of its own and returns the bytes that reached it.
std::vector<unsigned char> Capture(const std::function<void(const JobPorts &)> &job) {
    gditest::TestPorts io;
    job(io.ports());
    return io.sink.Bytes();
}

class StreamWriterTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(spool_.Entries().empty()); }
    SpoolDirectory spool_;
};

struct OrderCase {
    bool duplex;
    unsigned pages;
    std::vector<std::pair<unsigned, unsigned>> expected;  // page number, page flags
};

TEST_F(StreamWriterTest, PageOrderAndFlags) {
    const std::vector<OrderCase> cases = {
        {false, 1, {{1, 0x01}}},
        {false, 2, {{1, 0x01}, {2, 0x01}}},
        {false, 3, {{1, 0x01}, {2, 0x01}, {3, 0x01}}},
        {false, 5, {{1, 0x01}, {2, 0x01}, {3, 0x01}, {4, 0x01}, {5, 0x01}}},
        {true, 1, {{1, 0x01}}},
        {true, 2, {{2, 0x0D}, {1, 0x05}}},
        {true, 3, {{2, 0x0D}, {1, 0x05}, {4, 0x2D}, {3, 0x05}}},
        {true, 4, {{2, 0x0D}, {1, 0x05}, {4, 0x0D}, {3, 0x05}}},
        {true, 5, {{2, 0x0D}, {1, 0x05}, {4, 0x0D}, {3, 0x05}, {6, 0x2D}, {5, 0x05}}},
    };
    for (const OrderCase &c : cases) {
        SCOPED_TRACE((c.duplex ? "duplex, " : "simplex, ") + std::to_string(c.pages) + " pages");
        QNVCUPSFilter options = MakeOptions("order", c.duplex ? "Duplex=DuplexNoTumble" : "");
        ASSERT_EQ(c.duplex, options.IsDuplex());
        const std::vector<cups_page_header_s> pages(c.pages, MakePageHeader(300, 300));
        const std::vector<unsigned char> bytes =
            Capture([&](const JobPorts &ports) { RunJob(options, ports, pages); });
        ParsedStream stream;
        ASSERT_TRUE(Parses(bytes, &stream));
        ASSERT_EQ(c.expected.size(), stream.pages.size());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(c.expected[i].first, stream.pages[i].record.page.pageNumber) << i;
            EXPECT_EQ(c.expected[i].second, stream.pages[i].record.page.flags) << i;
            EXPECT_EQ(2u, stream.pages[i].bands.size());
        }
        const bool singlePage = c.duplex && c.pages == 1;
        ASSERT_EQ(singlePage ? 2u : 1u, stream.jobHeaders.size());
        EXPECT_EQ(c.duplex ? 0x0200 : 0x0000, stream.jobHeaders[0].mode);
        if (singlePage) {
            EXPECT_EQ(0x0000, stream.jobHeaders[1].mode);
            // Job header, page, job header, job end.
            EXPECT_EQ(RecordType::kJobHeader, stream.records[stream.records.size() - 2].type);
        }
        EXPECT_TRUE(stream.hasJobEnd);
        EXPECT_EQ(RecordType::kJobEnd, stream.records.back().type);
        EXPECT_TRUE(stream.commands.empty());
    }
}

TEST_F(StreamWriterTest, JobHeaderFields) {
    struct Case {
        const char *options;
        bool collate;
        unsigned copies;
        uint16_t mode;
        uint8_t tonerSaving, edgeSmoothing;
    };
    const Case cases[] = {
        {"", false, 1, 0x0000, 0, 0},
        {"TonerSave=True", true, 3, 0x0008, 1, 0},
        {"Duplex=DuplexTumble EdgeSmoothing=True", false, 2, 0x0200, 0, 1},
        {"Duplex=DuplexNoTumble TonerSave=True EdgeSmoothing=True", true, 70000, 0x0208, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        QNVCUPSFilter options = MakeOptions("fields", c.options);
        cups_page_header_s header = MakePageHeader(256, 16);
        header.Collate = c.collate ? CUPS_TRUE : CUPS_FALSE;
        header.NumCopies = c.copies;
        const uint32_t before = date();
        const std::vector<unsigned char> bytes = Capture([&](const JobPorts &ports) {
            RunJob(options, ports, {header, header});
        });
        const uint32_t after = date();
        ParsedStream stream;
        ASSERT_TRUE(Parses(bytes, &stream));
        const gdidecode::JobHeaderInfo &job = stream.jobHeaders.at(0);
        EXPECT_EQ(c.mode, job.mode);
        EXPECT_EQ((uint16_t)c.copies, job.copies);  // the low 16 bits
        EXPECT_EQ(c.tonerSaving, job.tonerSaving);
        EXPECT_EQ(c.edgeSmoothing, job.edgeSmoothing);
        EXPECT_TRUE(job.dateStamp == before || job.dateStamp == after) << std::hex << job.dateStamp;
        const std::vector<unsigned char> expectedStart = {'G', 'D', 'I', 'J', 0, 0, 0, 120, 0, 100};
        EXPECT_TRUE(std::equal(expectedStart.begin(), expectedStart.end(), bytes.begin()));
        const unsigned char constants[] = {0x01, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00};
        EXPECT_EQ(0, memcmp(constants, bytes.data() + 32, sizeof(constants)));
    }
}

TEST_F(StreamWriterTest, JobNameField) {
    const std::string longName(70, 'n');
    const std::string exactName = std::string(63, 'e') + "E";
    const struct {
        std::string title;
        std::string field;  // expected name bytes before the zero fill
    } cases[] = {{"TenBytes!!", "TenBytes!!"},
                 {exactName, exactName},
                 {longName, longName.substr(0, 64)},
                 {"", ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title);
        QNVCUPSFilter options = MakeOptions(c.title.c_str(), "");
        const std::vector<unsigned char> bytes = Capture(
            [&](const JobPorts &ports) { RunJob(options, ports, {MakePageHeader(128, 1)}); });
        ASSERT_GE(bytes.size(), 120u);
        std::vector<unsigned char> field(bytes.begin() + 56, bytes.begin() + 120);
        std::vector<unsigned char> expected(c.field.begin(), c.field.end());
        expected.resize(64, 0);
        EXPECT_EQ(expected, field);
    }
}

TEST(DateStamp, PacksLocalDateAndTime) {
    struct Case {
        int year, month, day, hour, minute, second;  // month 1-12
        uint32_t stamp;
    };
    const Case cases[] = {
        {2025, 6, 15, 13, 30, 20, 0x7AAD53CD},
        {2044, 1, 1, 0, 0, 0, 0x08000000},  // the year field wraps to 0
        {1980, 12, 31, 23, 59, 59, 0xFD80EF77},
        {2016, 12, 31, 23, 59, 60, 0xFDA4F777},  // a leap second: 60 / 2 = 30
        {1979, 3, 2, 1, 2, 3, 0x113F0841},       // before 1980: modulo 64
    };
    for (const Case &c : cases) {
        struct tm local;
        memset(&local, 0, sizeof(local));
        local.tm_year = c.year - 1900;
        local.tm_mon = c.month - 1;
        local.tm_mday = c.day;
        local.tm_hour = c.hour;
        local.tm_min = c.minute;
        local.tm_sec = c.second;
        EXPECT_EQ(c.stamp, PackDateStamp(local)) << c.year << "-" << c.month << "-" << c.day;
    }
    struct tm example;
    memset(&example, 0, sizeof(example));
    example.tm_year = 125, example.tm_mon = 5, example.tm_mday = 15;
    example.tm_hour = 13, example.tm_min = 30, example.tm_sec = 20;
    unsigned char bytes[4];
    PutBigEndian32(bytes, PackDateStamp(example));
    const unsigned char expected[4] = {0x7A, 0xAD, 0x53, 0xCD};
    EXPECT_EQ(0, memcmp(expected, bytes, 4));
}

TEST(Micrometres, RoundsThroughSinglePrecision) {
    const std::pair<unsigned, uint32_t> cases[] = {
        {612, 215900}, {792, 279400}, {595, 209902}, {842, 297038},
        {0, 0},        {72, 25400},   {1, 352},      {0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.second, PointsToMicrometres(c.first)) << c.first;
}

TEST(BytesOrder, BigEndianInMemory) {
    const uint16_t s = CFSwapInt16HostToBig(0x1234);
    const uint32_t l = CFSwapInt32HostToBig(0x12345678);
    const unsigned char *sb = reinterpret_cast<const unsigned char *>(&s);
    const unsigned char *lb = reinterpret_cast<const unsigned char *>(&l);
    EXPECT_EQ(0x12, sb[0]);
    EXPECT_EQ(0x34, sb[1]);
    EXPECT_EQ(0x12, lb[0]);
    EXPECT_EQ(0x78, lb[3]);
    unsigned char field[2];
    PutBigEndian16(field, 0x12345);  // the low 16 bits
    EXPECT_EQ(0x23, field[0]);
    EXPECT_EQ(0x45, field[1]);
}

TEST_F(StreamWriterTest, PageGeometryAndPaperSize) {
    QNVCUPSFilter options =
        MakeOptions("geometry", "PageSize=Letter InputSlot=Manual MediaType=Thick");
    cups_page_header_s header = MakePageHeader(4760, 100, 600, 12);
    header.PageSize[0] = 612;
    header.PageSize[1] = 792;
    std::vector<unsigned char> bytes;
    {
        gditest::TestPorts io;
        QNVGDIFilter writer(options, io.ports());
        ASSERT_TRUE(writer.SendJobHeader(header));
        ASSERT_TRUE(writer.SendPageHeader(header, 1));
        EXPECT_EQ(100u, writer.GetxMarginBytes());
        EXPECT_EQ(100u, writer.GetyMarginLines());
        EXPECT_EQ(4992u, writer.GetAlignedBitWidth());
        EXPECT_EQ(624u, writer.GetAlignedRowBytes());
        ASSERT_NE(nullptr, writer.GetPageBuffer());
        EXPECT_EQ(4992u, writer.GetPageBuffer()->GetWidth());
        EXPECT_EQ(300u, writer.GetPageBuffer()->GetHeight());
        EXPECT_TRUE(writer.SendPageData());
        writer.SendPageEnd();
        EXPECT_EQ(nullptr, writer.GetPageBuffer());
        writer.SendJobEnd();
        bytes = io.sink.Bytes();
    }
    ParsedStream stream;
    ASSERT_TRUE(Parses(bytes, &stream));
    const gdidecode::PageHeaderInfo &page = stream.pages.at(0).record.page;
    EXPECT_EQ(1, page.paperSize);  // Letter
    EXPECT_EQ(1, page.inputTray);  // Manual
    EXPECT_EQ(1, page.paperType);  // Thick
    EXPECT_EQ(4992, page.width);
    EXPECT_EQ(300, page.height);
    EXPECT_EQ(2, page.bandCount);
    EXPECT_EQ(215900u, page.paperWidthUm);
    EXPECT_EQ(279400u, page.paperLengthUm);
}

TEST(AlignedBitWidth, RoundsToBytesThen128Dots) {
    QNVCUPSFilter options = MakeOptions("align", "");
    gditest::TestPorts io;
    QNVGDIFilter writer(options, io.ports());
    const std::pair<unsigned, unsigned> cases[] = {
        {0, 0}, {1, 128}, {128, 128}, {129, 256}, {4960, 4992}, {65408, 65408}, {65409, 65536}};
    for (const auto &c : cases) {
        EXPECT_EQ(c.second, writer.AlignedBitWidth(c.first)) << c.first;
        EXPECT_EQ(c.second / 8, writer.GetAlignedRowBytes()) << c.first;
    }
}

TEST_F(StreamWriterTest, BandsFollowPageHeight) {
    const unsigned heights[] = {0, 1, 255, 256, 257, 300, 512, 7016};
    for (unsigned height : heights) {
        SCOPED_TRACE("height " + std::to_string(height));
        QNVCUPSFilter options = MakeOptions("bands", "");
        LogCapture log;
        const std::vector<unsigned char> bytes = Capture(
            [&](const JobPorts &ports) { RunJob(options, ports, {MakePageHeader(200, height)}); });
        ParsedStream stream;
        ASSERT_TRUE(Parses(bytes, &stream));
        const gdidecode::ParsedPage &page = stream.pages.at(0);
        const unsigned bands = (height + 255) / 256;
        EXPECT_EQ(height, page.record.page.height);
        EXPECT_EQ(256, page.record.page.width);
        ASSERT_EQ(bands, page.record.page.bandCount);
        ASSERT_EQ(bands, page.bands.size());
        unsigned lines = 0;
        for (unsigned i = 0; i < bands; ++i) {
            const gdidecode::BandInfo &band = page.bands[i].record.band;
            const unsigned expectedLines = i + 1 < bands ? 256 : height - 256 * i;
            EXPECT_EQ(expectedLines, band.lines) << i;
            EXPECT_EQ((i == 0 ? 1u : 0u) | (i + 1 == bands ? 2u : 0u), band.flags) << i;
            EXPECT_EQ(page.record.page.width, band.width);
            EXPECT_EQ(band.dataLength, page.bands[i].data.size());
            lines += band.lines;
        }
        EXPECT_EQ(height, lines);
        EXPECT_EQ((int)bands, log.Count("==Band Data=="));
        EXPECT_EQ(1, log.Count("==Page Data=="));
        EXPECT_EQ(1, log.Count("==End Page=="));
        EXPECT_EQ(1, log.Count("==End Job=="));
    }
}

TEST_F(StreamWriterTest, PageWithMoreThan126BandsComesOutWhole) {
    QNVCUPSFilter options = MakeOptions("tall", "");
    const std::vector<unsigned char> bytes = Capture(
        [&](const JobPorts &ports) { RunJob(options, ports, {MakePageHeader(128, 40000)}); });
    ParsedStream stream;
    ASSERT_TRUE(Parses(bytes, &stream));
    EXPECT_EQ(157u, stream.pages.at(0).bands.size());
}

TEST_F(StreamWriterTest, PageBeyondRecordFieldsIsRefused) {
    const struct {
        unsigned width, height, marginPoints;
    } refused[] = {{65409, 1, 0},
                   {65536, 1, 0},
                   {128, 65536, 0},
                   {128, 65400, 72},  // the margins push the height past 65535
                   {0xFFFFFFFFu, 1, 0}};
    for (const auto &c : refused) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        QNVCUPSFilter options = MakeOptions("huge", "");
        LogCapture log;
        const std::vector<unsigned char> bytes = Capture([&](const JobPorts &ports) {
            QNVGDIFilter writer(options, ports);
            const cups_page_header_s header =
                MakePageHeader(c.width, c.height, 600, c.marginPoints);
            ASSERT_TRUE(writer.SendJobHeader(header));
            EXPECT_FALSE(writer.SendPageHeader(header, 1));
            EXPECT_EQ(nullptr, writer.GetPageBuffer());
            writer.SendPageEnd();
            writer.SendJobEnd();
        });
        EXPECT_NE(std::string::npos, log.Text().find("does not fit the page header"));
        ParsedStream stream;
        ASSERT_TRUE(Parses(bytes, &stream));  // job header and job end only
        EXPECT_TRUE(stream.pages.empty());
    }
    // The widest page that fits.
    QNVCUPSFilter options = MakeOptions("wide", "");
    const std::vector<unsigned char> bytes =
        Capture([&](const JobPorts &ports) { RunJob(options, ports, {MakePageHeader(65408, 2)}); });
    ParsedStream stream;
    ASSERT_TRUE(Parses(bytes, &stream));
    EXPECT_EQ(65408, stream.pages.at(0).record.page.width);
}

// The command is stored behind the held odd page and goes out with it.
TEST_F(StreamWriterTest, CommandWhilePageHeldFollowsThatPage) {
    QNVCUPSFilter options = MakeOptions("held", "Duplex=DuplexNoTumble");
    const cups_page_header_s header = MakePageHeader(128, 10);
    const std::vector<unsigned char> bytes = Capture([&](const JobPorts &ports) {
        QNVGDIFilter writer(options, ports);
        writer.SendJobHeader(header);
        writer.SendPageHeader(header, 1);
        writer.SendPageData();
        writer.SendPageEnd();
        writer.SendGDICommand(kCancel, kGDICancelCommandSize);
        writer.SendPageHeader(header, 2);
        writer.SendPageData();
        writer.SendPageEnd();
        writer.SendJobEnd();
    });
    ParsedStream stream;
    ASSERT_TRUE(Parses(bytes, &stream));
    std::vector<std::string> order;
    for (const gdidecode::Record &r : stream.records) {
        if (r.type == RecordType::kPageHeader)
            order.push_back("P" + std::to_string(r.page.pageNumber));
        if (r.type == RecordType::kCommand)
            order.push_back("C");
        if (r.type == RecordType::kJobEnd)
            order.push_back("E");
    }
    EXPECT_EQ((std::vector<std::string>{"P2", "P1", "C", "E"}), order);
}

// A duplex job stopped right after an odd page: the held page and the cancel command
// behind it still reach the printer, ahead of the job end marker.
TEST_F(StreamWriterTest, JobEndReleasesHeldPageBeforeEndMarker) {
    QNVCUPSFilter options = MakeOptions("stopped", "Duplex=DuplexNoTumble");
    const cups_page_header_s header = MakePageHeader(128, 300);
    LogCapture log;
    const std::vector<unsigned char> bytes = Capture([&](const JobPorts &ports) {
        QNVGDIFilter writer(options, ports);
        writer.SendJobHeader(header);
        for (unsigned page = 1; page <= 3; ++page) {
            writer.SendPageHeader(header, page);
            writer.SendPageData();
            writer.SendPageEnd();
        }
        writer.SendGDICommand(kCancel, kGDICancelCommandSize);
        EXPECT_EQ(1, writer.SendJobEnd());
    });
    ParsedStream stream;
    ASSERT_TRUE(Parses(bytes, &stream));
    ASSERT_EQ(3u, stream.pages.size());
    EXPECT_EQ(3, stream.pages[2].record.page.pageNumber);
    EXPECT_EQ(0x05, stream.pages[2].record.page.flags);
    EXPECT_EQ(2u, stream.pages[2].bands.size());
    ASSERT_EQ(1u, stream.commands.size());
    EXPECT_EQ(RecordType::kCommand, stream.records[stream.records.size() - 2].type);
    EXPECT_EQ(RecordType::kJobEnd, stream.records.back().type);
    EXPECT_EQ(1, log.Count("Releasing the held page before the job end"));
}

TEST_F(StreamWriterTest, NothingIsWrittenOutsideAJob) {
    QNVCUPSFilter options = MakeOptions("cancelled", "Duplex=DuplexNoTumble");
    const std::vector<unsigned char> bytes = Capture([&](const JobPorts &ports) {
        QNVGDIFilter writer(options, ports);
        EXPECT_EQ(0, writer.SendGDICommand(kCancel, kGDICancelCommandSize));
        EXPECT_FALSE(writer.SendData(kCancel, kGDICancelCommandSize));
        EXPECT_EQ(0, writer.SendSinglePage());
        EXPECT_EQ(0, writer.SendJobEnd());
        // A page without a job: its header cannot be stored, so it is not begun.
        EXPECT_FALSE(writer.SendPageHeader(MakePageHeader(128, 10), 2));
        writer.SendPageEnd();
    });
    EXPECT_TRUE(bytes.empty());
}

TEST_F(StreamWriterTest, BlankPageFlagOnlyOnTheAppendedPage) {
    QNVCUPSFilter options = MakeOptions("blank", "Duplex=DuplexTumble");
    const std::vector<unsigned char> bytes = Capture([&](const JobPorts &ports) {
        RunJob(options, ports, std::vector<cups_page_header_s>(3, MakePageHeader(128, 20)));
    });
    ParsedStream stream;
    ASSERT_TRUE(Parses(bytes, &stream));
    ASSERT_EQ(4u, stream.pages.size());
    for (const gdidecode::ParsedPage &page : stream.pages) {
        EXPECT_EQ(page.record.page.pageNumber == 4, (page.record.page.flags & 0x20) != 0);
    }
    EXPECT_EQ(0x2D, stream.pages[2].record.page.flags);
}

}  // namespace
