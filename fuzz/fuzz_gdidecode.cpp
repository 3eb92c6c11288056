// Fuzz target: gdidecode's stream reader on any bytes. The whole-buffer parser and the
// streaming parser must agree; every band of a stream that parses is decoded, and every
// record is described as the listing does.
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "tools/gdi_decode.h"

namespace {

class CountingVisitor : public gdidecode::Visitor {
public:
    bool OnRecord(const gdidecode::Record &record, std::string *error) override {
        (void)error;
        ++records;
        (void)gdidecode::DescribeRecord(record);
        return true;
    }
    bool OnBandData(const gdidecode::Record &band, const uint8_t *data, size_t size,
                    std::string *error) override {
        (void)band;
        (void)error;
        bandBytes += size;
        if (size > 0)
            checksum += data[0] + data[size - 1];
        return true;
    }
    size_t records = 0;
    size_t bandBytes = 0;
    unsigned checksum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    gdidecode::ParsedStream stream;
    gdidecode::ParseError bufferError;
    const bool parsed = gdidecode::ParseBuffer(data, size, &stream, &bufferError);

    gdidecode::MemorySource source(data, size);
    CountingVisitor visitor;
    gdidecode::ParseError streamError;
    const bool streamed = gdidecode::ParseStream(source, visitor, &streamError);
    if (parsed != streamed || (!parsed && bufferError.offset != streamError.offset)) {
        gdifuzz::Fail(
            "whole-buffer parse %d (offset %llu: %s), streaming parse %d (offset %llu: "
            "%s)",
            parsed, (unsigned long long)bufferError.offset, bufferError.reason.c_str(), streamed,
            (unsigned long long)streamError.offset, streamError.reason.c_str());
    }
    if (!parsed)
        return 0;
    if (visitor.records != stream.records.size())
        gdifuzz::Fail("%zu records streamed, %zu kept", visitor.records, stream.records.size());

    for (const gdidecode::ParsedPage &page : stream.pages) {
        for (const gdidecode::ParsedBand &band : page.bands) {
            std::vector<uint8_t> bits;
            std::string error;
            if (gdidecode::DecodeBand(band.data.data(), band.data.size(), band.record.band.width,
                                      band.record.band.lines, &bits, &error) &&
                bits.size() != (size_t)band.record.band.width / 8 * band.record.band.lines) {
                gdifuzz::Fail("a decoded band has %zu bytes for %u x %u dots", bits.size(),
                              band.record.band.width, band.record.band.lines);
            }
        }
    }
    for (const gdidecode::Record &record : stream.records)
        (void)gdidecode::DescribeRecord(record);
    return 0;
}
