// Fuzz target: the job options string and the queue's PPD. The input is
// "<job title>\0<job options>\0<PPD bytes>"; a missing title or options part is empty,
// a missing PPD part means the shipped PPD. The PPD bytes are written to a file that
// $PPD names, and the filter's job options are built from them and argv as main builds
// them. Then a small three-page raster job runs through the whole page loop with those
// options; its output must be a well-formed printer stream with every page of the job
// (and the blank page a duplex job of odd length gets), and no spool file may be left.
#include <cups/ppd.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/lsan_interface.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "tools/GreyRasterHeader.h"
#include "tools/gdi_decode.h"

// The PPD calls are marked deprecated in libcups, yet they are how the filter reads its
// queue's PPD; the check here uses the same one.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

constexpr unsigned kJobPages = 3;
std::vector<uint8_t> gRaster;
std::string gPPDPath;

ssize_t AppendBytes(void *context, unsigned char *buffer, size_t length) {
    std::vector<uint8_t> *out = static_cast<std::vector<uint8_t> *>(context);
    out->insert(out->end(), buffer, buffer + length);
    return (ssize_t)length;
}

// Three small 8-bit grey pages at 600 dpi with the usual 12-point margins.
std::vector<uint8_t> MakeJob() {
    std::vector<uint8_t> bytes;
    cups_raster_t *raster = cupsRasterOpenIO(AppendBytes, &bytes, CUPS_RASTER_WRITE_COMPRESSED);
    if (raster == nullptr)
        gdifuzz::Fail("libcups cannot write raster");
    const unsigned width = 96, height = 64;
    std::vector<unsigned char> line(width);
    for (unsigned page = 0; page < kJobPages; ++page) {
        cups_page_header2_t h = GreyRasterHeader(width, height);
        if (!cupsRasterWriteHeader2(raster, &h))
            gdifuzz::Fail("libcups refuses a page header");
        for (unsigned y = 0; y < height; ++y) {
            for (unsigned x = 0; x < width; ++x)
                line[x] = (unsigned char)((x * 3 + y * 5 + page * 40) & 0xFF);
            cupsRasterWritePixels(raster, line.data(), width);
        }
    }
    cupsRasterClose(raster);
    return bytes;
}

void WriteFile(const std::string &path, const uint8_t *data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        gdifuzz::Fail("cannot write %s", path.c_str());
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            gdifuzz::Fail("cannot write %s", path.c_str());
        done += (size_t)n;
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    (void)argc;
    (void)argv;
    gdifuzz::InitProcess("options");
    gPPDPath = gdifuzz::WorkDir() + "/job.ppd";
    gRaster = MakeJob();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *end = data + size;
    const uint8_t *titleEnd = static_cast<const uint8_t *>(memchr(data, 0, size));
    const std::string title(reinterpret_cast<const char *>(data),
                            titleEnd != nullptr ? (size_t)(titleEnd - data) : size);
    std::string options;
    const uint8_t *ppd = nullptr;
    size_t ppdSize = 0;
    if (titleEnd != nullptr) {
        const uint8_t *optionsStart = titleEnd + 1;
        const uint8_t *optionsEnd =
            static_cast<const uint8_t *>(memchr(optionsStart, 0, (size_t)(end - optionsStart)));
        options.assign(reinterpret_cast<const char *>(optionsStart),
                       (size_t)((optionsEnd != nullptr ? optionsEnd : end) - optionsStart));
        if (optionsEnd != nullptr) {
            ppd = optionsEnd + 1;
            ppdSize = (size_t)(end - ppd);
        }
    }
    bool libcupsLeaks = false;
    if (ppd != nullptr) {
        WriteFile(gPPDPath, ppd, ppdSize);
        setenv("PPD", gPPDPath.c_str(), 1);
        // libcups keeps some of what it parsed from certain malformed PPDs even after
        // ppdClose. Whether it does for this one is found out by opening and closing it
        // here; the filter's run on such a PPD is not checked for leaks, every other
        // run is.
        const size_t before = __sanitizer_get_current_allocated_bytes();
        __lsan_disable();
        ppd_file_t *opened = ppdOpenFile(gPPDPath.c_str());
        if (opened != nullptr)
            ppdClose(opened);
        __lsan_enable();
        libcupsLeaks = __sanitizer_get_current_allocated_bytes() > before;
    } else {
        setenv("PPD", gdifuzz::ShippedPPD(), 1);
    }

    const size_t openBefore = gdifuzz::OpenDescriptorCount();
    if (libcupsLeaks)
        __lsan_disable();
    const gdifuzz::FilterResult result =
        gdifuzz::RunFilter(gRaster.data(), gRaster.size(), options, title, true);
    if (libcupsLeaks)
        __lsan_enable();
    gdifuzz::CheckAfterRun(openBefore);

    if (!result.succeeded)
        gdifuzz::Fail("the job failed with options \"%s\"", options.c_str());
    gdidecode::ParsedStream stream;
    gdidecode::ParseError error;
    if (!gdidecode::ParseBuffer(result.output.data(), result.output.size(), &stream, &error)) {
        gdifuzz::Fail("options \"%s\": gdidecode rejects the stream at offset %llu: %s",
                      options.c_str(), (unsigned long long)error.offset, error.reason.c_str());
    }
    const size_t expectedPages = kJobPages + (result.duplex && kJobPages % 2 == 1 ? 1 : 0);
    if (!stream.hasJobEnd || stream.pages.size() != expectedPages) {
        gdifuzz::Fail("options \"%s\": %zu pages%s, expected %zu", options.c_str(),
                      stream.pages.size(), stream.hasJobEnd ? "" : " and no job end",
                      expectedPages);
    }
    return 0;
}
