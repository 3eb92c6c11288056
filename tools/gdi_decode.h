// Reading and checking of the GDI printer stream, shared by the gdidecode tool and
// the tests: a streaming record parser with a visitor, a collector that keeps a whole
// stream in memory, and the JBIG decoding of one band.
#ifndef GDI_TOOLS_GDI_DECODE_H
#define GDI_TOOLS_GDI_DECODE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <array>
#include <string>
#include <vector>

namespace gdidecode {

constexpr size_t kJobHeaderSize = 120;
constexpr size_t kPageHeaderSize = 64;
constexpr size_t kBandHeaderSize = 32;
constexpr size_t kCommandSize = 16;
constexpr unsigned kBandLines = 256;
constexpr size_t kJbigHeaderSize = 20;

struct JobHeaderInfo {
    uint16_t copies = 0;
    uint8_t tonerSaving = 0;
    uint8_t edgeSmoothing = 0;
    uint16_t mode = 0;  // 0x0200 duplex, 0x0008 collate
    uint32_t dateStamp = 0;
    std::string name;  // up to 64 bytes, without the trailing zero bytes
    std::array<uint8_t, kJobHeaderSize> raw{};
};

struct PageHeaderInfo {
    uint8_t paperSize = 0;
    uint8_t inputTray = 0;
    uint8_t paperType = 0;
    uint16_t width = 0;   // aligned bit width, dots
    uint16_t height = 0;  // lines
    uint8_t flags = 0;
    uint16_t pageNumber = 0;
    uint16_t bandCount = 0;
    uint32_t paperWidthUm = 0;
    uint32_t paperLengthUm = 0;
    std::array<uint8_t, kPageHeaderSize> raw{};
};

struct BandInfo {
    uint32_t flags = 0;  // 1 first band, 2 last band
    uint32_t dataLength = 0;
    uint16_t width = 0;
    uint16_t lines = 0;
    uint32_t index = 0;      // band number within its page
    uint32_t firstLine = 0;  // page line of the band's first line
};

enum class RecordType { kJobHeader, kPageHeader, kBand, kCommand, kJobEnd };

struct Record {
    RecordType type = RecordType::kJobEnd;
    uint64_t offset = 0;
    uint64_t size = 0;  // bytes of the record, band data included
    JobHeaderInfo job;
    PageHeaderInfo page;  // for bands: the page they belong to
    BandInfo band;
    std::string command;  // the 16 command bytes
};

struct ParseError {
    uint64_t offset = 0;
    std::string reason;
};

// Supplies the stream's bytes. Read returns the count delivered, fewer than asked
// only at the end of the input.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual size_t Read(uint8_t *destination, size_t count) = 0;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t Read(uint8_t *destination, size_t count) override;

private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

class FileSource : public ByteSource {
public:
    explicit FileSource(FILE *file) : file_(file) {}
    size_t Read(uint8_t *destination, size_t count) override;
    bool Failed() const { return failed_; }

private:
    FILE *file_;
    bool failed_ = false;
};

// Receives the records of a stream as they are checked. A callback that returns false
// stops the parse; the reason it puts into *error is reported at the record's offset.
class Visitor {
public:
    virtual ~Visitor() = default;
    virtual bool OnRecord(const Record &record, std::string *error) {
        (void)record;
        (void)error;
        return true;
    }
    // The compressed data of a band, after its record was reported.
    virtual bool OnBandData(const Record &band, const uint8_t *data, size_t size,
                            std::string *error) {
        (void)band;
        (void)data;
        (void)size;
        (void)error;
        return true;
    }
};

// Reads and checks a whole stream: record tags and lengths, constant fields, page
// flags and numbers, the duplex page order, band flags, widths and line counts, the
// band data padding, and the job end marker as the last record. An empty input is a
// valid, empty stream. Memory use is bounded by the largest band the page allows.
bool ParseStream(ByteSource &source, Visitor &visitor, ParseError *error);

struct ParsedBand {
    Record record;
    std::vector<uint8_t> data;
};

struct ParsedPage {
    Record record;
    std::vector<ParsedBand> bands;
};

// A whole stream kept in memory.
struct ParsedStream {
    std::vector<Record> records;
    std::vector<JobHeaderInfo> jobHeaders;
    std::vector<ParsedPage> pages;  // in stream order
    std::vector<std::string> commands;
    bool hasJobEnd = false;
};

bool ParseBuffer(const uint8_t *data, size_t size, ParsedStream *stream, ParseError *error);

// Decodes one band's data (a JBIG image of `width` dots and `lines` lines followed by
// zero padding) into rows of width / 8 bytes, most significant bit first, 1 = black.
bool DecodeBand(const uint8_t *data, size_t size, unsigned width, unsigned lines,
                std::vector<uint8_t> *bits, std::string *error);

struct DateFields {
    unsigned day, month, year, hour, minute, second;  // month 1-12, full year
};
// Unpacks a job header date stamp; the year is taken as 1980 + field.
DateFields UnpackDateStamp(uint32_t stamp);

// One line of the listing for a record, without line feed.
std::string DescribeRecord(const Record &record);

}  // namespace gdidecode

#endif
