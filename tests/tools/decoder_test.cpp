// Stream decoder: accepts well-formed streams, reports each kind of malformed stream
// at the right offset, decodes bands, and survives arbitrary bytes.
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/stream_builder.h"
#include "tools/gdi_decode.h"

namespace {

using namespace gditest;

bool Parse(const Bytes &bytes, gdidecode::ParseError *error,
           gdidecode::ParsedStream *stream = nullptr) {
    gdidecode::ParsedStream local;
    return gdidecode::ParseBuffer(bytes.data(), bytes.size(), stream ? stream : &local, error);
}

TEST(GdiDecoder, AcceptsWellFormedStreams) {
    const struct {
        const char *name;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"simplex", Cat({JobHeader(0), Page(1, 1, 128, 300), Page(2, 1, 128, 1), kEnd})},
        {"page without bands", Cat({JobHeader(8), Page(1, 1, 0, 0), kEnd})},
        {"duplex pairs", Cat({JobHeader(0x200), Page(2, 0x0D, 128, 10), Page(1, 0x05, 128, 10),
                              Page(4, 0x2D, 128, 10), Page(3, 0x05, 128, 10), kEnd})},
        {"one-page duplex", Cat({JobHeader(0x208), Page(1, 0x01, 128, 10), JobHeader(0), kEnd})},
        {"stopped after an odd page",
         Cat({JobHeader(0x200), Page(2, 0x0D, 128, 10), Page(1, 0x05, 128, 10),
              Page(3, 0x05, 128, 10), kCancel, kEnd})},
        {"blank page after a cancel",
         Cat({JobHeader(0x200), Page(2, 0x0D, 128, 10), Page(1, 0x05, 128, 10), kCancel,
              Page(4, 0x2D, 128, 10), kEnd})},
        {"simplex cancel", Cat({JobHeader(0), Page(1, 1, 128, 10), kCancel, kEnd})},
        {"a capture of jobs one after another",
         Cat({JobHeader(0x208), Page(1, 0x01, 128, 10), JobHeader(0), kEnd, JobHeader(0x200),
              Page(2, 0x0D, 128, 10), Page(1, 0x05, 128, 10), kEnd, JobHeader(0),
              Page(1, 1, 128, 10), kEnd})},
    };
    for (const auto &c : cases) {
        gdidecode::ParseError error;
        EXPECT_TRUE(Parse(c.bytes, &error))
            << c.name << ": " << error.offset << " " << error.reason;
    }
}

TEST(GdiDecoder, ReportsMalformedStreamsAtTheirOffset) {
    const Bytes job = JobHeader(0);
    const Bytes page1 = Page(1, 1, 128, 300);
    const size_t p1 = 120;         // offset of page 1
    const size_t band0 = p1 + 64;  // its first band record
    Bytes badLength = job;
    Put32(badLength, 4, 121);
    Bytes badName = JobHeader(0, "abc");
    badName[100] = 'x';
    Bytes badMode = JobHeader(0x0001);
    Bytes badFlags = page1;
    badFlags[64 + 7] = 3;  // first band claims to be the last as well
    Bytes badWidth = page1;
    Put16(badWidth, 64 + 24, 256);
    Bytes badLines = page1;
    Put16(badLines, 64 + 26, 255);
    Bytes badBandCount = PageHeader(1, 1, 128, 300);
    Put16(badBandCount, 54, 3);
    Bytes oddWidth = PageHeader(1, 1, 130, 0);
    Bytes reserved = page1;
    reserved[64 + 30] = 1;
    Bytes badPadding = Page(1, 1, 128, 1);
    badPadding.back() = 1;  // last padding byte of the only band
    const Bytes oddPage = Page(1, 5, 128, 1);
    Bytes hugeBand = PageHeader(1, 1, 128, 1);
    {
        Bytes band = BandRecord(3, 128, 1, Bytes(20, 0));
        Put32(band, 8, 20 + 32 * 1000);
        hugeBand.insert(hugeBand.end(), band.begin(), band.end());
    }

    const struct {
        const char *name;
        Bytes bytes;
        uint64_t offset;
        const char *reason;
    } cases[] = {
        {"wrong first record", Cat({page1, kEnd}), 0, "does not begin with a job header"},
        {"short tag", Bytes{'G', 'D'}, 0, "input ends inside a record tag"},
        {"job header length", Cat({badLength, kEnd}), 4, "job header length 121"},
        {"truncated job header", Bytes(job.begin(), job.begin() + 50), 50,
         "input ends inside a job header"},
        {"name tail", Cat({badName, kEnd}), 59, "job name is followed by non-zero bytes"},
        {"mode bits", Cat({badMode, kEnd}), 16, "unknown bits"},
        {"unknown tag", Cat({job, Bytes{'X', 'Y', 'Z', 'W'}}), 120, "unknown record tag \"XYZW\""},
        {"no end marker", Cat({job, page1}), 120 + page1.size(), "without the job end marker"},
        {"data after end", Cat({job, page1, kEnd, Bytes{0}}), 124 + page1.size(),
         "data after the job end marker"},
        {"page after end", Cat({job, page1, kEnd, page1}), 124 + page1.size(),
         "data after the job end marker"},
        {"next job cut short", Cat({job, page1, kEnd, job, page1}), 244 + 2 * page1.size(),
         "without the job end marker"},
        {"next job checked afresh", Cat({job, page1, kEnd, job, Page(2, 1, 128, 300), kEnd}),
         244 + page1.size() + 34, "page 2 follows page 0"},
        {"band flags", Cat({job, badFlags, kEnd}), band0 + 4, "has flags 3, expected 1"},
        {"band width", Cat({job, badWidth, kEnd}), band0 + 24, "differs from the page width"},
        {"band lines", Cat({job, badLines, kEnd}), band0 + 26, "has 255 lines, expected 256"},
        {"band count", Cat({job, badBandCount, kEnd}), p1 + 54, "band count 3"},
        {"width alignment", Cat({job, oddWidth, kEnd}), p1 + 12, "not a multiple of 128"},
        {"band reserved", Cat({job, reserved, kEnd}), band0, "reserved fields are not zero"},
        {"band too large", Cat({job, hugeBand, kEnd}), p1 + 64 + 8, "too large"},
        {"end inside page", Cat({job, Bytes(page1.begin(), page1.begin() + 64), kEnd}), p1 + 64,
         "job end marker inside page 1"},
        {"band outside page", Cat({job, Bytes(page1.begin() + 64, page1.end()), kEnd}), p1,
         "band record outside a page"},
        {"simplex page skipped", Cat({job, page1, Page(3, 1, 128, 1), kEnd}),
         p1 + page1.size() + 34, "page 3 follows page 1"},
        {"duplex flags in simplex", Cat({job, Page(1, 5, 128, 1), kEnd}), p1 + 33,
         "in a simplex job"},
        {"odd page first", Cat({JobHeader(0x200), oddPage, Page(2, 0x0D, 128, 1), kEnd}),
         p1 + oddPage.size() + 34, "page 2 after the last page"},
        {"lone odd page", Cat({JobHeader(0x200), oddPage, kEnd}), p1 + oddPage.size(),
         "no even partner"},
        {"even flag on odd page", Cat({JobHeader(0x200), Page(1, 0x0D, 128, 1), kEnd}), p1 + 33,
         "set on an odd page"},
        {"blank flag on odd page", Cat({JobHeader(0x200), Page(1, 0x25, 128, 1), kEnd}), p1 + 33,
         "blank page flag"},
        {"second header in simplex", Cat({job, page1, job, kEnd}), p1 + page1.size(),
         "second job header"},
        {"unknown command",
         Cat({job,
              Bytes{'G', 'D', 'I', 'C', ' ', 'S', 'T', 'O', 'P', ' ', ' ', ' ', ' ', ' ', ' ', ' '},
              kEnd}),
         120, "unknown command"},
    };
    for (const auto &c : cases) {
        gdidecode::ParseError error;
        EXPECT_FALSE(Parse(c.bytes, &error)) << c.name;
        EXPECT_EQ(c.offset, error.offset) << c.name << ": " << error.reason;
        EXPECT_NE(std::string::npos, error.reason.find(c.reason))
            << c.name << ": got \"" << error.reason << "\"";
    }
    // Band data cut short: reported at the end of the input, inside the band data.
    const Bytes cut = Cat({job, Bytes(page1.begin(), page1.begin() + 64 + 32 + 10)});
    gdidecode::ParseError error;
    EXPECT_FALSE(Parse(cut, &error));
    EXPECT_EQ(cut.size(), error.offset);
    EXPECT_NE(std::string::npos, error.reason.find("input ends inside band data"));
}

TEST(GdiDecoder, DecodesBandsAndRejectsBadImages) {
    const unsigned width = 256, lines = 40;
    const Bytes bits = BandBits(width, lines, 5);
    const Bytes coded = EncodeBand(bits, width, lines);
    Bytes decoded;
    std::string error;
    ASSERT_TRUE(gdidecode::DecodeBand(coded.data(), coded.size(), width, lines, &decoded, &error))
        << error;
    EXPECT_EQ(bits, decoded);

    Bytes wrongSize = coded;
    EXPECT_FALSE(gdidecode::DecodeBand(wrongSize.data(), wrongSize.size(), width, lines + 1,
                                       &decoded, &error));
    EXPECT_NE(std::string::npos, error.find("JBIG image is 256 x 40, the band is 256 x 41"));

    Bytes padded = coded;
    padded.insert(padded.end(), 32, 0);
    padded.back() = 7;
    EXPECT_FALSE(
        gdidecode::DecodeBand(padded.data(), padded.size(), width, lines, &decoded, &error));
    EXPECT_NE(std::string::npos, error.find("non-zero bytes after the JBIG image"));

    const Bytes cut(coded.begin(), coded.begin() + 24);
    EXPECT_FALSE(gdidecode::DecodeBand(cut.data(), cut.size(), width, lines, &decoded, &error));
    EXPECT_NE(std::string::npos, error.find("ends before its JBIG image is complete"));

    Bytes planes = coded;
    planes[2] = 2;
    EXPECT_FALSE(
        gdidecode::DecodeBand(planes.data(), planes.size(), width, lines, &decoded, &error));
    EXPECT_NE(std::string::npos, error.find("expected 0, 0, 1"));
}

TEST(GdiDecoder, DateStampAndListing) {
    const gdidecode::DateFields d = gdidecode::UnpackDateStamp(0x7AAD53CD);
    EXPECT_EQ(2025u, d.year);
    EXPECT_EQ(6u, d.month);
    EXPECT_EQ(15u, d.day);
    EXPECT_EQ(13u, d.hour);
    EXPECT_EQ(30u, d.minute);
    EXPECT_EQ(20u, d.second);
    gdidecode::ParsedStream stream;
    gdidecode::ParseError error;
    ASSERT_TRUE(
        Parse(Cat({JobHeader(0x208, "report"), Page(1, 1, 128, 10), JobHeader(0, "report"), kEnd}),
              &error, &stream));
    ASSERT_EQ(5u, stream.records.size());
    EXPECT_EQ(
        "00000000  GDIJ job header  copies=1 toner-save=0 edge-smoothing=0 mode=0x0208 "
        "(duplex collate) date=2025-06-15 13:30:20 name=\"report\"",
        gdidecode::DescribeRecord(stream.records[0]));
    EXPECT_EQ(
        "00000078  GDIP page 1  size=9 tray=0 type=0 width=128 height=10 bands=1 "
        "flags=0x01 (simplex) paper=209902x297038 um",
        gdidecode::DescribeRecord(stream.records[1]));
    EXPECT_NE(
        std::string::npos,
        gdidecode::DescribeRecord(stream.records[2]).find("GDIB band 1/1 of page 1  lines=0-9"));
    char end[32];
    snprintf(end, sizeof(end), "%08llX  JIDG job end",
             (unsigned long long)stream.records[4].offset);
    EXPECT_EQ(end, gdidecode::DescribeRecord(stream.records[4]));
}

// Flipped, cut and inserted bytes: the parser and the band decoder must reject or
// accept without reading or writing out of bounds (checked under the sanitizers).
TEST(GdiDecoder, SurvivesDamagedStreams) {
    const Bytes valid =
        Cat({JobHeader(0x200), Page(2, 0x0D, 256, 300), Page(1, 0x05, 256, 300), kCancel, kEnd});
    std::mt19937 random(12345);
    unsigned accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = valid;
        const int edits = 1 + (int)(random() % 4);
        for (int e = 0; e < edits && !damaged.empty(); ++e) {
            const size_t at = random() % damaged.size();
            switch (random() % 4) {
                case 0:
                    damaged[at] ^= (uint8_t)(1u << (random() % 8));
                    break;
                case 1:
                    damaged[at] = (uint8_t)random();
                    break;
                case 2:
                    damaged.resize(at);
                    break;
                default:
                    damaged.insert(damaged.begin() + at, (uint8_t)random());
                    break;
            }
        }
        gdidecode::ParsedStream stream;
        gdidecode::ParseError error;
        if (!Parse(damaged, &error, &stream)) {
            EXPECT_LE(error.offset, damaged.size());
            EXPECT_FALSE(error.reason.empty());
            continue;
        }
        ++accepted;
        for (const gdidecode::ParsedPage &page : stream.pages) {
            for (const gdidecode::ParsedBand &band : page.bands) {
                Bytes bits;
                std::string reason;
                gdidecode::DecodeBand(band.data.data(), band.data.size(), band.record.band.width,
                                      band.record.band.lines, &bits, &reason);
            }
        }
    }
    // Damage inside band data leaves the records intact, so some streams still parse.
    EXPECT_GT(accepted, 0u);

    // The band decoder alone, with damage concentrated on the JBIG image header.
    const Bytes band = EncodeBand(BandBits(256, 200, 3), 256, 200);
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = band;
        const int edits = 1 + (int)(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const size_t at = round % 2 ? random() % 24 : random() % damaged.size();
            damaged[at] = (uint8_t)random();
        }
        Bytes bits;
        std::string reason;
        if (!gdidecode::DecodeBand(damaged.data(), damaged.size(), 256, 200, &bits, &reason)) {
            EXPECT_FALSE(reason.empty());
        } else {
            EXPECT_EQ(32u * 200u, bits.size());
        }
    }
}

}  // namespace
