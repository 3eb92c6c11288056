// Fuzz target: the raster input path. The input is a CUPS raster stream, optionally
// preceded by a line "#opts <job options>\n". The whole filter runs in this process on
// it, as main runs it: job options from the shipped PPD and the options line, then the
// page loop with every page read, toned, placed, turned, halftoned, compressed and
// spooled through spool files and the output thread to standard output (/dev/null).
//
// After every input: no spool file may be left, the spooler queue must be empty and
// no descriptor may stay open. With GDI_FUZZ_CHECK_OUTPUT=1 in the environment the
// output is kept and must be a well-formed printer stream as gdidecode reads it.
//
// Inputs whose pages would be larger than kMaxPagePixels (margins included, either
// orientation) are rejected before the run to keep each run short; large pages are
// covered by the end-to-end tests and the benchmark. Pages the filter refuses for
// their size are not rejected: the refusal is part of what is fuzzed.
#include <cups/raster.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "gdi/QNVBlockBuffer.h"
#include "tools/gdi_decode.h"

namespace {

constexpr uint64_t kMaxPagePixels = 4u << 20;
constexpr unsigned kMaxPages = 32;

bool gCheckOutput = false;

struct MemoryInput {
    const uint8_t *data;
    size_t size;
    size_t offset;
};

ssize_t ReadMemory(void *context, unsigned char *buffer, size_t length) {
    MemoryInput *in = static_cast<MemoryInput *>(context);
    const size_t n = std::min(length, in->size - in->offset);
    memcpy(buffer, in->data + in->offset, n);
    in->offset += n;
    return (ssize_t)n;
}

// Reads the raster the way the page loop does and tells whether it would make a page
// larger than kMaxPagePixels or more than kMaxPages pages. Stops where the page loop
// stops: at a page that is not 8-bit grey or whose geometry the loop refuses.
bool TooLargeForFuzzing(const uint8_t *data, size_t size) {
    MemoryInput input{data, size, 0};
    cups_raster_t *raster = cupsRasterOpenIO(ReadMemory, &input, CUPS_RASTER_READ);
    if (raster == nullptr)
        return false;
    bool tooLarge = false;
    unsigned pages = 0;
    std::vector<unsigned char> line;
    cups_page_header2_t h;
    while (cupsRasterReadHeader2(raster, &h)) {
        if (++pages > kMaxPages) {
            tooLarge = true;
            break;
        }
        // The colour space is any 32-bit value the stream holds, not necessarily one of
        // the enumeration's; it is read as the number it is.
        unsigned space;
        memcpy(&space, &h.cupsColorSpace, sizeof(space));
        const bool grey8 =
            h.cupsBitsPerColor == 8 && h.cupsBitsPerPixel == 8 &&
            (space == CUPS_CSPACE_K || space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW);
        if (!grey8 || h.cupsWidth == 0 || h.cupsBytesPerLine != h.cupsWidth ||
            h.HWResolution[0] == 0 || h.HWResolution[1] == 0)
            break;
        const uint64_t xMargin = (uint64_t)h.HWResolution[0] * h.Margins[0] / 72;
        const uint64_t yMargin = (uint64_t)h.HWResolution[1] * h.Margins[1] / 72;
        const uint64_t width = h.cupsWidth + 2 * xMargin, height = h.cupsHeight + 2 * yMargin;
        if (width > 0xFFFF || height > 0xFFFF || width * height > kMaxPageBufferBytes)
            break;  // refused by the page loop before anything is made
        // Long-edge feed exchanges width and height but keeps the margins.
        const uint64_t turned = (h.cupsHeight + 2 * xMargin) * (h.cupsWidth + 2 * yMargin);
        if (std::max(width * height, turned) > kMaxPagePixels) {
            tooLarge = true;
            break;
        }
        line.resize(h.cupsBytesPerLine);
        bool cut = false;
        for (unsigned y = 0; y < h.cupsHeight && !cut; ++y)
            cut = cupsRasterReadPixels(raster, line.data(), h.cupsBytesPerLine) == 0;
        if (cut)
            break;
    }
    cupsRasterClose(raster);
    return tooLarge;
}

}  // namespace

// libcups allocates a line buffer as large as a page header's bytes per line (up to
// 4 GiB) as it reads the header, before the filter sees it. Under AddressSanitizer such
// an allocation costs about a second (its shadow is written twice), so here it fails at
// once instead: libcups then reports the header as unreadable, a path the filter has to
// take for damaged headers anyway. The filter's own allocations in these runs stay far
// below the limit, as pages are capped at kMaxPagePixels.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=256";
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    (void)argc;
    (void)argv;
    gdifuzz::InitProcess("raster");
    const char *check = getenv("GDI_FUZZ_CHECK_OUTPUT");
    gCheckOutput = check != nullptr && strcmp(check, "1") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string options;
    const uint8_t *raster;
    size_t rasterSize;
    gdifuzz::SplitOptions(data, size, &options, &raster, &rasterSize);
    if (TooLargeForFuzzing(raster, rasterSize))
        return -1;

    const size_t openBefore = gdifuzz::OpenDescriptorCount();
    const gdifuzz::FilterResult result =
        gdifuzz::RunFilter(raster, rasterSize, options, "fuzz job", gCheckOutput);
    gdifuzz::CheckAfterRun(openBefore);

    if (gCheckOutput) {
        gdidecode::ParsedStream stream;
        gdidecode::ParseError error;
        if (!gdidecode::ParseBuffer(result.output.data(), result.output.size(), &stream, &error)) {
            gdifuzz::Fail(
                "the filter (result %d) wrote a stream gdidecode rejects at offset "
                "%llu: %s",
                result.succeeded ? 1 : 0, (unsigned long long)error.offset, error.reason.c_str());
        }
        if (!stream.records.empty() && !stream.hasJobEnd)
            gdifuzz::Fail("the filter's stream has no job end");
    }
    return 0;
}
