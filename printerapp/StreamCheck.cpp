// The stream check over the stream reader gdidecode uses.
#include "printerapp/StreamCheck.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "tools/gdi_decode.h"

namespace printerapp {

namespace {

class BandDecoder : public gdidecode::Visitor {
public:
    bool OnRecord(const gdidecode::Record &record, std::string *error) override {
        (void)record;
        (void)error;
        records++;
        return true;
    }
    bool OnBandData(const gdidecode::Record &band, const uint8_t *data, size_t size,
                    std::string *error) override {
        if (gdidecode::DecodeBand(data, size, band.band.width, band.band.lines, &bits, error))
            return true;
        *error = "band " + std::to_string(band.band.index + 1) + " of page " +
                 std::to_string(band.page.pageNumber) + ": " + *error;
        return false;
    }
    size_t records = 0;

private:
    std::vector<uint8_t> bits;
};

bool Refuse(pappl_job_t *job, const std::string &why) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Not a valid printer stream: %s", why.c_str());
    papplJobSetMessage(job, "The document is not a whole, valid printer stream (%s)", why.c_str());
    return false;
}

}  // namespace

bool IsWholeValidStream(pappl_job_t *job) {
    const char *filename = papplJobGetFilename(job);
    FILE *file = filename != nullptr ? fopen(filename, "rbe") : nullptr;
    if (file == nullptr) {
        papplJobSetMessage(job, "The job's file cannot be read");
        return false;
    }
    gdidecode::FileSource source(file);
    BandDecoder decoder;
    gdidecode::ParseError error;
    const bool parsed = gdidecode::ParseStream(source, decoder, &error);
    const bool readFailed = source.Failed();
    fclose(file);
    if (readFailed) {
        papplJobSetMessage(job, "The job's file cannot be read");
        return false;
    }
    if (!parsed)
        return Refuse(job, "offset " + std::to_string(error.offset) + ": " + error.reason);
    if (decoder.records == 0)
        return Refuse(job, "it is empty");
    return true;
}

}  // namespace printerapp
