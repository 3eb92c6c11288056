// Reading and checking of the GDI printer stream.
#include "tools/gdi_decode.h"

extern "C" {
#include <jbig.h>
}
#include <stdarg.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace gdidecode {

namespace {

// The stream's format, written down here a second time on purpose: the reader checks
// what the filter writes, so it takes nothing from the filter's own definitions
// (gdi/GdiStream.h). A change to the format has to be made in both.
const uint8_t kJobHeaderTag[4] = {'G', 'D', 'I', 'J'};
const uint8_t kPageHeaderTag[4] = {'G', 'D', 'I', 'P'};
const uint8_t kBandTag[4] = {'G', 'D', 'I', 'B'};
const uint8_t kCommandTag[4] = {'G', 'D', 'I', 'C'};
const uint8_t kJobEndTag[4] = {'J', 'I', 'D', 'G'};
const char kCancelCommand[] = "GDIC CANCEL     ";

constexpr uint16_t kModeDuplex = 0x0200;
constexpr uint16_t kModeCollate = 0x0008;
constexpr uint8_t kFlagAlways = 0x01;
constexpr uint8_t kFlagDuplex = 0x04;
constexpr uint8_t kFlagEven = 0x08;
constexpr uint8_t kFlagBlank = 0x20;
constexpr uint32_t kBandFirst = 1;
constexpr uint32_t kBandLast = 2;

uint16_t Be16(const uint8_t *p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}
uint32_t Be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

bool AllZero(const uint8_t *p, size_t count) {
    return std::all_of(p, p + count, [](uint8_t b) { return b == 0; });
}

// Printable form of raw bytes for messages.
std::string Printable(const uint8_t *p, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '"' && p[i] != '\\') {
            text += (char)p[i];
        } else {
            text += Format("\\x%02X", p[i]);
        }
    }
    return text;
}

// Largest band data accepted: twice the band's uncompressed size plus room for the
// image header; a JBIG coder never expands a band that far.
uint64_t BandDataBound(unsigned width, unsigned lines) {
    return (uint64_t)(width / 8) * lines * 2 + 1024;
}

class Parser {
public:
    Parser(ByteSource &source, Visitor &visitor, ParseError *error)
        : source_(source), visitor_(visitor), error_(error) {}

    bool Run();

private:
    bool Fail(uint64_t offset, const std::string &reason) {
        if (error_ != nullptr) {
            error_->offset = offset;
            error_->reason = reason;
        }
        return false;
    }
    // Reads exactly count bytes; reports a truncated record otherwise.
    bool ReadExactly(uint8_t *destination, size_t count, const char *what) {
        const size_t got = count == 0 ? 0 : source_.Read(destination, count);
        offset_ += got;
        if (got != count) {
            return Fail(offset_,
                        Format("input ends inside %s (%zu of %zu bytes)", what, got, count));
        }
        return true;
    }
    bool Deliver(const Record &record, uint64_t at) {
        std::string reason;
        if (!visitor_.OnRecord(record, &reason))
            return Fail(at, reason);
        return true;
    }

    void StartNextJob();
    bool JobHeader(uint64_t at, const uint8_t *tag);
    bool PageHeader(uint64_t at, const uint8_t *tag);
    bool Band(uint64_t at, const uint8_t *tag);
    bool Command(uint64_t at, const uint8_t *tag);
    bool JobEnd(uint64_t at);
    bool CheckPageOrder(uint64_t at, const PageHeaderInfo &page);
    bool CheckEnd(uint64_t at);

    ByteSource &source_;
    Visitor &visitor_;
    ParseError *error_;
    uint64_t offset_ = 0;

    bool haveJob_ = false;
    JobHeaderInfo job_;
    bool duplex_ = false;
    bool ended_ = false;
    bool cancelSeen_ = false;

    // Current page: open from its header until its last band.
    bool inPage_ = false;
    PageHeaderInfo page_;
    uint32_t bandsSeen_ = 0;
    uint32_t linesSeen_ = 0;
    uint32_t pagesSeen_ = 0;
    std::vector<uint8_t> bandData_;

    // Page order. Simplex: the last page number. Duplex: pages 1 .. pairBase_ form
    // complete pairs; evenPending_ when the even page of the next pair came and its odd
    // partner has not.
    uint32_t lastPage_ = 0;
    uint32_t pairBase_ = 0;
    bool evenPending_ = false;
    bool evenWasBlank_ = false;
    bool noMorePages_ = false;
    bool loneOddPage_ = false;  // an odd page without its even partner: a stopped job
    bool cancelAfterLoneOdd_ = false;
    bool singlePage_ = false;  // a one-page duplex job printed as a simplex page
    bool repeatHeaderSeen_ = false;
};

bool Parser::Run() {
    for (;;) {
        uint8_t tag[4];
        const uint64_t at = offset_;
        const size_t got = source_.Read(tag, sizeof(tag));
        offset_ += got;
        if (got == 0) {
            if (at == 0)
                return true;  // an empty stream: a job with no page
            return CheckEnd(at);
        }
        // A capture of a printer's port may hold one job after another.
        if (ended_ && got == sizeof(tag) && memcmp(tag, kJobHeaderTag, 4) == 0)
            StartNextJob();
        if (ended_)
            return Fail(at, "data after the job end marker");
        if (got < sizeof(tag))
            return Fail(at, Format("input ends inside a record tag (%zu bytes)", got));
        if (!haveJob_ && memcmp(tag, kJobHeaderTag, 4) != 0) {
            return Fail(at, Format("stream does not begin with a job header (tag \"%s\")",
                                   Printable(tag, 4).c_str()));
        }
        bool ok;
        if (memcmp(tag, kJobHeaderTag, 4) == 0) {
            ok = JobHeader(at, tag);
        } else if (memcmp(tag, kPageHeaderTag, 4) == 0) {
            ok = PageHeader(at, tag);
        } else if (memcmp(tag, kBandTag, 4) == 0) {
            ok = Band(at, tag);
        } else if (memcmp(tag, kCommandTag, 4) == 0) {
            ok = Command(at, tag);
        } else if (memcmp(tag, kJobEndTag, 4) == 0) {
            ok = JobEnd(at);
        } else {
            return Fail(at, Format("unknown record tag \"%s\"", Printable(tag, 4).c_str()));
        }
        if (!ok)
            return false;
    }
}

// Every check starts afresh for the next job of a capture.
void Parser::StartNextJob() {
    haveJob_ = false;
    job_ = JobHeaderInfo();
    duplex_ = ended_ = cancelSeen_ = inPage_ = false;
    page_ = PageHeaderInfo();
    bandsSeen_ = linesSeen_ = pagesSeen_ = lastPage_ = pairBase_ = 0;
    evenPending_ = evenWasBlank_ = noMorePages_ = loneOddPage_ = false;
    cancelAfterLoneOdd_ = singlePage_ = repeatHeaderSeen_ = false;
}

bool Parser::JobHeader(uint64_t at, const uint8_t *tag) {
    uint8_t raw[kJobHeaderSize];
    memcpy(raw, tag, 4);
    if (!ReadExactly(raw + 4, sizeof(raw) - 4, "a job header"))
        return false;
    if (inPage_) {
        return Fail(at, Format("job header inside page %u after band %u of %u", page_.pageNumber,
                               bandsSeen_, page_.bandCount));
    }
    if (Be32(raw + 4) != kJobHeaderSize) {
        return Fail(at + 4, Format("job header length %u, expected 120", Be32(raw + 4)));
    }
    if (Be16(raw + 8) != 100)
        return Fail(at + 8, Format("job header field 8 is %u, expected 100", Be16(raw + 8)));
    if (raw[12] > 1)
        return Fail(at + 12, Format("toner saving %u is not 0 or 1", raw[12]));
    if (raw[13] > 1)
        return Fail(at + 13, Format("edge smoothing %u is not 0 or 1", raw[13]));
    const uint16_t mode = Be16(raw + 16);
    if ((mode & ~(kModeDuplex | kModeCollate)) != 0) {
        return Fail(at + 16, Format("job mode word 0x%04X has unknown bits", mode));
    }
    if (!AllZero(raw + 14, 2) || !AllZero(raw + 18, 2) || !AllZero(raw + 24, 8) ||
        !AllZero(raw + 38, 18)) {
        return Fail(at, "job header reserved fields are not zero");
    }
    if (Be16(raw + 32) != 256 || Be16(raw + 34) != 2 || Be16(raw + 36) != 1) {
        return Fail(at + 32, "job header constants at offset 32 are not 256, 2, 1");
    }
    // The name field holds the name's bytes followed by zero bytes only.
    size_t nameLength = 0;
    while (nameLength < 64 && raw[56 + nameLength] != 0)
        ++nameLength;
    if (!AllZero(raw + 56 + nameLength, 64 - nameLength)) {
        return Fail(at + 56 + nameLength, "job name is followed by non-zero bytes");
    }

    Record record;
    record.type = RecordType::kJobHeader;
    record.offset = at;
    record.size = kJobHeaderSize;
    JobHeaderInfo &info = record.job;
    info.copies = Be16(raw + 10);
    info.tonerSaving = raw[12];
    info.edgeSmoothing = raw[13];
    info.mode = mode;
    info.dateStamp = Be32(raw + 20);
    info.name.assign(reinterpret_cast<const char *>(raw + 56), nameLength);
    std::copy(raw, raw + kJobHeaderSize, info.raw.begin());

    if (!haveJob_) {
        haveJob_ = true;
        job_ = info;
        duplex_ = (mode & kModeDuplex) != 0;
    } else {
        // A second job header only closes a one-page duplex job printed as simplex.
        if (!singlePage_ || repeatHeaderSeen_) {
            return Fail(at, "second job header outside the one-page duplex case");
        }
        if (mode != 0)
            return Fail(at + 16,
                        Format("second job header has mode word 0x%04X, expected 0", mode));
        std::array<uint8_t, kJobHeaderSize> expected = job_.raw;
        expected[16] = expected[17] = 0;
        if (expected != info.raw)
            return Fail(at, "second job header differs from the first beyond its mode word");
        repeatHeaderSeen_ = true;
    }
    return Deliver(record, at);
}

bool Parser::CheckPageOrder(uint64_t at, const PageHeaderInfo &page) {
    const unsigned number = page.pageNumber;
    const bool blank = (page.flags & kFlagBlank) != 0;
    if (noMorePages_)
        return Fail(at + 34, Format("page %u after the last page of the job", number));
    if (cancelSeen_ && !blank) {
        return Fail(at + 34, Format("page %u follows the cancel command", number));
    }
    if (!duplex_) {
        if (page.flags != kFlagAlways) {
            return Fail(at + 33,
                        Format("page flags 0x%02X in a simplex job, expected 0x01", page.flags));
        }
        if (number != lastPage_ + 1) {
            return Fail(at + 34, Format("page %u follows page %u", number, lastPage_));
        }
        lastPage_ = number;
        return true;
    }
    if (page.flags == kFlagAlways) {
        // The only page of a duplex job, marked as a single page.
        if (number != 1 || pairBase_ != 0 || evenPending_) {
            return Fail(at + 33, Format("page %u of a duplex job has simplex flags 0x01", number));
        }
        singlePage_ = true;
        noMorePages_ = true;
        return true;
    }
    if ((page.flags & kFlagDuplex) == 0) {
        return Fail(at + 33, Format("page flags 0x%02X in a duplex job lack 0x04", page.flags));
    }
    const bool even = number % 2 == 0;
    if (even != ((page.flags & kFlagEven) != 0)) {
        return Fail(at + 33, Format("page %u has flags 0x%02X: the even-page flag is %s", number,
                                    page.flags, even ? "missing" : "set on an odd page"));
    }
    if (!evenPending_) {
        if (number == pairBase_ + 2) {
            evenPending_ = true;
            evenWasBlank_ = blank;
            return true;
        }
        if (number == pairBase_ + 1) {
            // Its even partner never came: allowed only for a job stopped by a cancel,
            // which then follows this page.
            loneOddPage_ = true;
            noMorePages_ = true;
            return true;
        }
        return Fail(at + 34,
                    Format("page %u out of duplex order: expected page %u", number, pairBase_ + 2));
    }
    if (number != pairBase_ + 1) {
        return Fail(at + 34, Format("page %u out of duplex order: expected page %u after page %u",
                                    number, pairBase_ + 1, pairBase_ + 2));
    }
    pairBase_ += 2;
    evenPending_ = false;
    if (evenWasBlank_)
        noMorePages_ = true;
    return true;
}

bool Parser::PageHeader(uint64_t at, const uint8_t *tag) {
    uint8_t raw[kPageHeaderSize];
    memcpy(raw, tag, 4);
    if (!ReadExactly(raw + 4, sizeof(raw) - 4, "a page header"))
        return false;
    if (inPage_) {
        return Fail(at, Format("page header inside page %u after band %u of %u", page_.pageNumber,
                               bandsSeen_, page_.bandCount));
    }
    if (Be32(raw + 4) != kPageHeaderSize) {
        return Fail(at + 4, Format("page header length %u, expected 64", Be32(raw + 4)));
    }
    if (raw[11] != 0 || !AllZero(raw + 16, 16) || !AllZero(raw + 36, 18)) {
        return Fail(at, "page header reserved fields are not zero");
    }
    if (raw[32] != 1)
        return Fail(at + 32, Format("page header field 32 is %u, expected 1", raw[32]));

    Record record;
    record.type = RecordType::kPageHeader;
    record.offset = at;
    record.size = kPageHeaderSize;
    PageHeaderInfo &page = record.page;
    page.paperSize = raw[8];
    page.inputTray = raw[9];
    page.paperType = raw[10];
    page.width = Be16(raw + 12);
    page.height = Be16(raw + 14);
    page.flags = raw[33];
    page.pageNumber = Be16(raw + 34);
    page.bandCount = Be16(raw + 54);
    page.paperWidthUm = Be32(raw + 56);
    page.paperLengthUm = Be32(raw + 60);
    std::copy(raw, raw + kPageHeaderSize, page.raw.begin());

    if (page.width % 128 != 0) {
        return Fail(at + 12, Format("line width %u is not a multiple of 128", page.width));
    }
    const unsigned expectedBands = (page.height + kBandLines - 1) / kBandLines;
    if (page.bandCount != expectedBands) {
        return Fail(at + 54, Format("band count %u for a page of %u lines, expected %u",
                                    page.bandCount, page.height, expectedBands));
    }
    if (page.bandCount > 0 && page.width == 0)
        return Fail(at + 12, "page with bands has line width 0");
    if ((page.flags & kFlagAlways) == 0 ||
        (page.flags & ~(kFlagAlways | kFlagDuplex | kFlagEven | kFlagBlank)) != 0) {
        return Fail(at + 33, Format("page flags 0x%02X are not valid", page.flags));
    }
    if ((page.flags & kFlagBlank) != 0 && (page.flags & kFlagEven) == 0) {
        return Fail(at + 33, Format("blank page flag on page %u without the even duplex flags",
                                    page.pageNumber));
    }
    if (page.pageNumber == 0)
        return Fail(at + 34, "page number 0");
    if (!CheckPageOrder(at, page))
        return false;

    ++pagesSeen_;
    page_ = page;
    bandsSeen_ = 0;
    linesSeen_ = 0;
    inPage_ = page.bandCount > 0;
    return Deliver(record, at);
}

bool Parser::Band(uint64_t at, const uint8_t *tag) {
    uint8_t raw[kBandHeaderSize];
    memcpy(raw, tag, 4);
    if (!ReadExactly(raw + 4, sizeof(raw) - 4, "a band record"))
        return false;
    if (!inPage_)
        return Fail(at, "band record outside a page");
    Record record;
    record.type = RecordType::kBand;
    record.offset = at;
    record.page = page_;
    BandInfo &band = record.band;
    band.flags = Be32(raw + 4);
    band.dataLength = Be32(raw + 8);
    band.width = Be16(raw + 24);
    band.lines = Be16(raw + 26);
    band.index = bandsSeen_;
    band.firstLine = linesSeen_;
    record.size = kBandHeaderSize + (uint64_t)band.dataLength;

    const bool last = bandsSeen_ + 1 == page_.bandCount;
    const uint32_t expectedFlags = (bandsSeen_ == 0 ? kBandFirst : 0) | (last ? kBandLast : 0);
    if (band.flags != expectedFlags) {
        return Fail(at + 4, Format("band %u of %u has flags %u, expected %u", bandsSeen_,
                                   page_.bandCount, band.flags, expectedFlags));
    }
    if (!AllZero(raw + 12, 12) || !AllZero(raw + 28, 4)) {
        return Fail(at, "band record reserved fields are not zero");
    }
    if (band.width != page_.width) {
        return Fail(at + 24, Format("band width %u differs from the page width %u", band.width,
                                    page_.width));
    }
    const unsigned expectedLines = last ? page_.height - linesSeen_ : kBandLines;
    if (band.lines != expectedLines) {
        return Fail(at + 26, Format("band %u has %u lines, expected %u", bandsSeen_, band.lines,
                                    expectedLines));
    }
    if (band.dataLength < kJbigHeaderSize || (band.dataLength - kJbigHeaderSize) % 32 != 0) {
        return Fail(at + 8,
                    Format("band data length %u is not 20 + a multiple of 32", band.dataLength));
    }
    if (band.dataLength > BandDataBound(band.width, band.lines)) {
        return Fail(at + 8, Format("band data length %u is too large for %u x %u dots",
                                   band.dataLength, band.width, band.lines));
    }
    if (!Deliver(record, at))
        return false;

    try {
        bandData_.resize(band.dataLength);
    } catch (const std::bad_alloc &) {
        return Fail(at + 8, "no memory for the band data");
    }
    const uint64_t dataAt = offset_;
    if (!ReadExactly(bandData_.data(), band.dataLength, "band data"))
        return false;
    std::string reason;
    if (!visitor_.OnBandData(record, bandData_.data(), band.dataLength, &reason)) {
        return Fail(dataAt, reason);
    }
    ++bandsSeen_;
    linesSeen_ += band.lines;
    if (last)
        inPage_ = false;
    return true;
}

bool Parser::Command(uint64_t at, const uint8_t *tag) {
    uint8_t raw[kCommandSize];
    memcpy(raw, tag, 4);
    if (!ReadExactly(raw + 4, sizeof(raw) - 4, "a command"))
        return false;
    if (inPage_) {
        return Fail(at, Format("command inside page %u after band %u of %u", page_.pageNumber,
                               bandsSeen_, page_.bandCount));
    }
    if (memcmp(raw, kCancelCommand, kCommandSize) != 0) {
        return Fail(at, Format("unknown command \"%s\"", Printable(raw, kCommandSize).c_str()));
    }
    cancelSeen_ = true;
    if (loneOddPage_)
        cancelAfterLoneOdd_ = true;
    Record record;
    record.type = RecordType::kCommand;
    record.offset = at;
    record.size = kCommandSize;
    record.command.assign(reinterpret_cast<const char *>(raw), kCommandSize);
    return Deliver(record, at);
}

bool Parser::JobEnd(uint64_t at) {
    if (inPage_) {
        return Fail(at, Format("job end marker inside page %u after band %u of %u",
                               page_.pageNumber, bandsSeen_, page_.bandCount));
    }
    if (loneOddPage_ && !cancelAfterLoneOdd_) {
        return Fail(at, Format("duplex page %u has no even partner and no cancel command follows",
                               pairBase_ + 1));
    }
    if (evenPending_ && !(evenWasBlank_ && cancelSeen_)) {
        return Fail(at, Format("duplex page %u has no odd partner", pairBase_ + 2));
    }
    if (singlePage_ && !repeatHeaderSeen_) {
        return Fail(at, "one-page duplex job lacks its second job header");
    }
    ended_ = true;
    Record record;
    record.type = RecordType::kJobEnd;
    record.offset = at;
    record.size = 4;
    return Deliver(record, at);
}

bool Parser::CheckEnd(uint64_t at) {
    if (ended_)
        return true;
    if (inPage_) {
        return Fail(at, Format("input ends inside page %u after band %u of %u", page_.pageNumber,
                               bandsSeen_, page_.bandCount));
    }
    return Fail(at, "input ends without the job end marker");
}

// Keeps every record and band in memory.
class Collector : public Visitor {
public:
    explicit Collector(ParsedStream *stream) : stream_(stream) {}
    bool OnRecord(const Record &record, std::string *error) override {
        (void)error;
        stream_->records.push_back(record);
        switch (record.type) {
            case RecordType::kJobHeader:
                stream_->jobHeaders.push_back(record.job);
                break;
            case RecordType::kPageHeader:
                stream_->pages.push_back(ParsedPage{record, {}});
                break;
            case RecordType::kBand:
                stream_->pages.back().bands.push_back(ParsedBand{record, {}});
                break;
            case RecordType::kCommand:
                stream_->commands.push_back(record.command);
                break;
            case RecordType::kJobEnd:
                stream_->hasJobEnd = true;
                break;
        }
        return true;
    }
    bool OnBandData(const Record &band, const uint8_t *data, size_t size,
                    std::string *error) override {
        (void)band;
        (void)error;
        stream_->pages.back().bands.back().data.assign(data, data + size);
        return true;
    }

private:
    ParsedStream *stream_;
};

}  // namespace

size_t MemorySource::Read(uint8_t *destination, size_t count) {
    const size_t available = size_ - position_;
    const size_t n = std::min(count, available);
    if (n > 0)
        memcpy(destination, data_ + position_, n);
    position_ += n;
    return n;
}

size_t FileSource::Read(uint8_t *destination, size_t count) {
    size_t total = 0;
    while (total < count) {
        const size_t got = fread(destination + total, 1, count - total, file_);
        total += got;
        if (got == 0) {
            if (ferror(file_))
                failed_ = true;
            break;
        }
    }
    return total;
}

bool ParseStream(ByteSource &source, Visitor &visitor, ParseError *error) {
    Parser parser(source, visitor, error);
    return parser.Run();
}

bool ParseBuffer(const uint8_t *data, size_t size, ParsedStream *stream, ParseError *error) {
    *stream = ParsedStream();
    MemorySource source(data, size);
    Collector collector(stream);
    try {
        return ParseStream(source, collector, error);
    } catch (const std::bad_alloc &) {
        if (error != nullptr)
            error->reason = "no memory to keep the stream";
        return false;
    }
}

bool DecodeBand(const uint8_t *data, size_t size, unsigned width, unsigned lines,
                std::vector<uint8_t> *bits, std::string *error) {
    auto fail = [error](const std::string &reason) {
        if (error != nullptr)
            *error = reason;
        return false;
    };
    if (width == 0 || width % 8 != 0 || lines == 0)
        return fail("band has no dots");
    if (size < kJbigHeaderSize)
        return fail("band data shorter than a JBIG header");
    // The image header must describe exactly this band, in one plane at full
    // resolution, with a fixed height; the decoder is limited to that size.
    if (data[0] != 0 || data[1] != 0 || data[2] != 1) {
        return fail(Format("JBIG header has DL %u, D %u, P %u; expected 0, 0, 1", data[0], data[1],
                           data[2]));
    }
    if (Be32(data + 4) != width || Be32(data + 8) != lines) {
        return fail(Format("JBIG image is %u x %u, the band is %u x %u", Be32(data + 4),
                           Be32(data + 8), width, lines));
    }
    if ((data[19] & JBG_VLENGTH) != 0)
        return fail("JBIG image has a variable length");

    struct jbg_dec_state state;
    jbg_dec_init(&state);
    jbg_dec_maxsize(&state, width, lines);
    size_t consumed = 0;
    const int result = jbg_dec_in(&state, const_cast<unsigned char *>(data), size, &consumed);
    bool ok = false;
    if (result == JBG_EAGAIN) {
        fail("band data ends before its JBIG image is complete");
    } else if (result != JBG_EOK) {
        fail(Format("JBIG decoder: %s", jbg_strerror(result)));
    } else if (!AllZero(data + consumed, size - consumed)) {
        fail(Format("non-zero bytes after the JBIG image at band data offset %zu", consumed));
    } else if (jbg_dec_getwidth(&state) != width || jbg_dec_getheight(&state) != lines ||
               jbg_dec_getsize(&state) != (size_t)width / 8 * lines) {
        fail("decoded JBIG image has the wrong size");
    } else {
        const unsigned char *image = jbg_dec_getimage(&state, 0);
        try {
            bits->assign(image, image + (size_t)width / 8 * lines);
            ok = true;
        } catch (const std::bad_alloc &) {
            fail("no memory for the decoded band");
        }
    }
    jbg_dec_free(&state);
    return ok;
}

DateFields UnpackDateStamp(uint32_t stamp) {
    DateFields fields;
    fields.day = stamp >> 27 & 0x1F;
    fields.month = (stamp >> 23 & 0x0F) + 1;
    fields.year = 1980 + (stamp >> 16 & 0x3F);
    fields.second = (stamp >> 11 & 0x1F) * 2;
    fields.minute = stamp >> 5 & 0x3F;
    fields.hour = stamp & 0x1F;
    return fields;
}

std::string DescribeRecord(const Record &record) {
    const std::string at = Format("%08llX  ", (unsigned long long)record.offset);
    switch (record.type) {
        case RecordType::kJobHeader: {
            const JobHeaderInfo &job = record.job;
            const DateFields d = UnpackDateStamp(job.dateStamp);
            std::string mode;
            if (job.mode & kModeDuplex)
                mode += " duplex";
            if (job.mode & kModeCollate)
                mode += " collate";
            if (mode.empty())
                mode = " simplex";
            return at + Format(
                            "GDIJ job header  copies=%u toner-save=%u edge-smoothing=%u "
                            "mode=0x%04X (%s) date=%04u-%02u-%02u %02u:%02u:%02u name=\"%s\"",
                            job.copies, job.tonerSaving, job.edgeSmoothing, job.mode,
                            mode.c_str() + 1, d.year, d.month, d.day, d.hour, d.minute, d.second,
                            Printable(reinterpret_cast<const uint8_t *>(job.name.data()),
                                      job.name.size())
                                .c_str());
        }
        case RecordType::kPageHeader: {
            const PageHeaderInfo &page = record.page;
            std::string flags;
            if (page.flags & kFlagDuplex)
                flags += page.flags & kFlagEven ? " duplex-even" : " duplex-odd";
            if (page.flags & kFlagBlank)
                flags += " blank";
            if (flags.empty())
                flags = " simplex";
            return at + Format(
                            "GDIP page %u  size=%u tray=%u type=%u width=%u height=%u bands=%u "
                            "flags=0x%02X (%s) paper=%ux%u um",
                            page.pageNumber, page.paperSize, page.inputTray, page.paperType,
                            page.width, page.height, page.bandCount, page.flags, flags.c_str() + 1,
                            page.paperWidthUm, page.paperLengthUm);
        }
        case RecordType::kBand: {
            const BandInfo &band = record.band;
            return at + Format(
                            "GDIB band %u/%u of page %u  lines=%u-%u width=%u flags=%u%s%s "
                            "data=%u",
                            band.index + 1, record.page.bandCount, record.page.pageNumber,
                            band.firstLine, band.firstLine + band.lines - 1, band.width, band.flags,
                            band.flags & kBandFirst ? " first" : "",
                            band.flags & kBandLast ? " last" : "", band.dataLength);
        }
        case RecordType::kCommand:
            return at + Format("GDIC command \"%s\"",
                               Printable(reinterpret_cast<const uint8_t *>(record.command.data()),
                                         record.command.size())
                                   .c_str());
        case RecordType::kJobEnd:
            return at + "JIDG job end";
    }
    return at;
}

}  // namespace gdidecode
