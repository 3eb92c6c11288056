// Fuzz target: the JBIG band compressor. Input: two bytes for the bytes per line
// (1 .. 8192), one byte choosing the first destination capacity, then the band's bits.
// djz_Compress codes the band; JBIG-KIT must decode the result back to exactly the
// band's lines. The grow-and-retry contract is checked on the way: a destination too
// small gets the needed length back and not a byte written (not even within its
// capacity), the grown destination gets the same length, nothing is written beyond a
// capacity, the length is 20 + 32 k and the bytes after JBIG-KIT's image are zero.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

extern "C" {
#include <jbig.h>
}

#include "fuzz/FuzzSupport.h"
#include "jbig/jbigcompress.h"

namespace {

constexpr unsigned char kCanary = 0xA5;
constexpr size_t kGuard = 64;

bool Untouched(const std::vector<unsigned char> &bytes, size_t from) {
    return std::all_of(bytes.begin() + (long)from, bytes.end(),
                       [](unsigned char c) { return c == kCanary; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return -1;
    const uint32_t bytesPerLine = 1 + ((uint32_t)data[0] | (uint32_t)data[1] << 8) % 8192;
    const uint8_t capacityChoice = data[2];
    const uint8_t *band = data + 3;
    const uint32_t bandBytes = (uint32_t)(size - 3);
    const uint32_t lines = bandBytes / bytesPerLine;  // a trailing partial line is ignored

    // First call: a destination of 0 .. 255 x 32 bytes, or the raw band size.
    const uint32_t firstCapacity =
        capacityChoice == 255 ? bandBytes + 64 : (uint32_t)capacityChoice * 32 / 4;
    std::vector<unsigned char> first(firstCapacity + kGuard, kCanary);
    const uint32_t needed =
        djz_Compress(band, bandBytes, first.data(), firstCapacity, bytesPerLine);
    if (needed == 0)
        gdifuzz::Fail("djz_Compress failed: %u lines of %u bytes", lines, bytesPerLine);
    if (needed < 20 || (needed - 20) % 32 != 0)
        gdifuzz::Fail("coded length %u is not 20 + 32 k", needed);
    if (!Untouched(first, needed <= firstCapacity ? firstCapacity : 0)) {
        gdifuzz::Fail("djz_Compress wrote %s (capacity %u, length %u)",
                      needed <= firstCapacity ? "beyond the capacity" : "into a too small buffer",
                      firstCapacity, needed);
    }

    std::vector<unsigned char> coded;
    if (needed <= firstCapacity) {
        coded.assign(first.begin(), first.begin() + needed);
    } else {
        std::vector<unsigned char> grown(needed + kGuard, kCanary);
        const uint32_t again = djz_Compress(band, bandBytes, grown.data(), needed, bytesPerLine);
        if (again != needed)
            gdifuzz::Fail("second call gave %u bytes, the first asked for %u", again, needed);
        if (!Untouched(grown, needed))
            gdifuzz::Fail("djz_Compress wrote beyond a capacity of %u", needed);
        coded.assign(grown.begin(), grown.begin() + needed);
    }

    if (lines == 0)
        return 0;  // an image without lines: nothing for a decoder to give back
    jbg_dec_state state;
    jbg_dec_init(&state);
    jbg_dec_maxsize(&state, bytesPerLine * 8, lines);
    size_t consumed = 0;
    const int status = jbg_dec_in(&state, coded.data(), coded.size(), &consumed);
    if (status != JBG_EOK) {
        gdifuzz::Fail("JBIG-KIT cannot decode %u lines of %u bytes: %s", lines, bytesPerLine,
                      jbg_strerror(status));
    }
    if (!std::all_of(coded.begin() + (long)consumed, coded.end(),
                     [](unsigned char c) { return c == 0; }))
        gdifuzz::Fail("non-zero bytes after the JBIG image");
    if (jbg_dec_getwidth(&state) != bytesPerLine * 8 || jbg_dec_getheight(&state) != lines)
        gdifuzz::Fail("decoded image has the wrong size");
    const size_t bytes = (size_t)bytesPerLine * lines;
    if (jbg_dec_getsize(&state) != bytes || memcmp(jbg_dec_getimage(&state, 0), band, bytes) != 0) {
        const unsigned char *image = jbg_dec_getimage(&state, 0);
        size_t at = 0;
        while (at < bytes && image[at] == band[at])
            ++at;
        gdifuzz::Fail(
            "decoded band differs from the input at line %zu byte %zu (%u lines of %u "
            "bytes)",
            at / bytesPerLine, at % bytesPerLine, lines, bytesPerLine);
    }
    jbg_dec_free(&state);
    return 0;
}
