// Ordered-dither halftoning of 8-bit grey bands (0 white .. 255 black) into 1-bit bands.
//
// Two ways give the same bytes. RastHalftone cuts every line into runs of equal grey and
// pastes each run's ready-made level pattern (Paste1MappedMonoLineData). The compare
// kernels test 8 (any processor, in one 64-bit word), 16 or 32 (SSE2, AVX2) or 64 (NEON)
// grey bytes at once against a row of thresholds laid out in advance, and pack the
// results straight into output bytes; their cost does not depend on how short the runs
// are. Both set the bit of pixel x on page line y exactly when its level is
// >= kDitherThresholdMatrix[y % 24][x % 24].
#include "gdi/Halftone.h"

#include <cstring>
#include <initializer_list>

#include "common/ByteWords.h"
#include "common/CpuFeatures.h"
#include "gdi/DitherTables.h"
#include "gdi/GdiStream.h"
#include "gdi/Paste.h"

#define GDI_HALFTONE_X86 GDI_CPU_X86
#if GDI_HALFTONE_X86
#include <immintrin.h>
#endif
#if GDI_CPU_NEON
#include <arm_neon.h>
#endif

namespace {

unsigned int OutputRowBytes(unsigned int lineWidth) {
    return (lineWidth + 31) / 32 * 4;
}

// Each cell row's thresholds repeated over 96 pixels, the least common multiple of the
// cell width and the 8-, 16- and 32-byte compare widths: the thresholds of pixels
// x .. x + 31 of a line are the 32 bytes at x % 96 of its row whenever x is a multiple
// of 32 (and likewise for 8 and 16 bytes). A row goes on for 64 bytes more, so that the
// 64 thresholds from any multiple of 32 below 96 are in one piece too.
constexpr unsigned int kThresholdSpan = 96;
static_assert(kHalftoneScreenRowBytes == kThresholdSpan + 64, "rows hold 64 bytes beyond a span");
constexpr HalftoneScreen BuildThresholdRows() {
    HalftoneScreen rows{};
    for (unsigned int r = 0; r < kDitherCellSize; ++r) {
        for (unsigned int x = 0; x < kHalftoneScreenRowBytes; ++x) {
            rows.row[r][x] = kDitherThresholdMatrix[r][x % kDitherCellSize];
        }
    }
    return rows;
}
constexpr HalftoneScreen kThresholdRows = BuildThresholdRows();

// Output byte of the 8 pixels at `grey`, whose thresholds are at `thresholds`.
inline unsigned char PackEightPixels(const unsigned char *grey, const unsigned char *thresholds) {
    unsigned int bits = 0;
    for (int p = 0; p < 8; ++p) {
        bits = (bits << 1) | (grey[p] >= thresholds[p] ? 1u : 0u);
    }
    return static_cast<unsigned char>(bits);
}

// Output byte of the 8 pixels of `g` against the 8 thresholds of `t` (first pixel in the
// lowest byte), without a branch: bit 7 of every byte of `low` is set when the pixel's
// low 7 bits are >= the threshold's (the top bits forced to 1 and 0 keep the byte
// subtractions from borrowing across bytes), and the top bits of the two bytes decide
// where they differ. A multiplication then gathers the 8 top bits, the first pixel's
// into bit 7 of the byte.
inline unsigned char PackEightPixelsWord(uint64_t g, uint64_t t) {
    constexpr uint64_t kTop = 0x8080808080808080ull;
    const uint64_t low = (g | kTop) - (t & ~kTop);
    const uint64_t atLeast = ((g & ~t) | (~(g ^ t) & low)) & kTop;
    return static_cast<unsigned char>(((atLeast >> 7) * 0x8040201008040201ull) >> 56);
}

// White (0) is below every threshold and black (255) reaches every one (they are
// 1 .. 255), so 8 white or 8 black pixels, most of a printed page, need no comparing.
inline unsigned char HalftoneWord(uint64_t pixels, const unsigned char *thresholds) {
    if (pixels == 0 || pixels == ~uint64_t(0))
        return static_cast<unsigned char>(pixels);
    return PackEightPixelsWord(pixels, LoadLittle64(thresholds));
}

// The output byte of 8 compare results (bytes of all ones or all zeros, the first pixel's
// lowest): a multiplication gathers one bit of each into the top byte, the first
// pixel's into bit 7.
inline unsigned char GatherDots(uint64_t dots) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    dots = __builtin_bswap64(dots);
#endif
    return static_cast<unsigned char>(((dots & 0x0101010101010101ull) * 0x8040201008040201ull) >>
                                      56);
}

// 64 pixels of mixed grey against the 64 thresholds at `thresholds`: 16 compared at once.
inline void HalftoneSixtyFour(const Bytes16 *pixels, const unsigned char *thresholds,
                              unsigned char *out) {
    for (int q = 0; q < 4; ++q) {
        Bytes16 levels;
        std::memcpy(&levels, thresholds + 16 * q, sizeof levels);
        const auto dots = pixels[q] >= levels;
        uint64_t halves[2];
        std::memcpy(halves, &dots, sizeof halves);
        out[2 * q] = GatherDots(halves[0]);
        out[2 * q + 1] = GatherDots(halves[1]);
    }
}

// Pixels from x (a multiple of 8) up to lineWidth (a multiple of 8): 64 at a time, where
// one test finds all of them white or all black, then 8 at a time.
inline void HalftoneLineTailPortable(const unsigned char *grey, const unsigned char *thresholds,
                                     unsigned int x, unsigned int lineWidth, unsigned char *out) {
    unsigned int phase = x % kThresholdSpan;  // a multiple of 8
    for (; x + 64 <= lineWidth; x += 64) {
        Bytes16 pixels[4];
        std::memcpy(pixels, grey + x, sizeof pixels);
        const Bytes16 any = pixels[0] | pixels[1] | pixels[2] | pixels[3];
        const Bytes16 all = pixels[0] & pixels[1] & pixels[2] & pixels[3];
        uint64_t anyHalves[2], allHalves[2];
        std::memcpy(anyHalves, &any, sizeof anyHalves);
        std::memcpy(allHalves, &all, sizeof allHalves);
        if ((anyHalves[0] | anyHalves[1]) == 0) {
            std::memset(out + x / 8, 0, 8);
        } else if ((allHalves[0] & allHalves[1]) == ~uint64_t(0)) {
            std::memset(out + x / 8, 0xFF, 8);
        } else {  // phase + 64 stays within the row's 160 bytes
            HalftoneSixtyFour(pixels, thresholds + phase, out + x / 8);
        }
        phase = phase >= 32 ? phase - 32 : phase + 64;  // (phase + 64) % 96
    }
    for (; x < lineWidth; x += 8) {
        out[x / 8] = HalftoneWord(LoadLittle64(grey + x), thresholds + phase);
        phase = phase == kThresholdSpan - 8 ? 0 : phase + 8;
    }
}

void HalftoneLinesPortable(const unsigned char *grey, unsigned int lineWidth,
                           unsigned int lineCount, unsigned int firstPageLine,
                           unsigned char *output, const HalftoneScreen &screen) {
    const unsigned int rowBytes = OutputRowBytes(lineWidth);
    for (unsigned int i = 0; i < lineCount; ++i) {
        const unsigned char *thresholds = screen.row[(firstPageLine + i) % kDitherCellSize];
        unsigned char *out = output + size_t(i) * rowBytes;
        HalftoneLineTailPortable(grey + size_t(i) * lineWidth, thresholds, 0, lineWidth, out);
        std::memset(out + lineWidth / 8, 0, rowBytes - lineWidth / 8);
    }
}

#if GDI_CPU_NEON

// 64 pixels at a time: the compare gives 0xFF per dot, each byte keeps the weight of its
// bit within its output byte, and three rounds of pairwise additions sum every 8 weights
// into the output bytes, in order.
void HalftoneLinesNeon(const unsigned char *grey, unsigned int lineWidth, unsigned int lineCount,
                       unsigned int firstPageLine, unsigned char *output,
                       const HalftoneScreen &screen) {
    const unsigned int rowBytes = OutputRowBytes(lineWidth);
    static const uint8_t kWeights[16] = {128, 64, 32, 16, 8, 4, 2, 1, 128, 64, 32, 16, 8, 4, 2, 1};
    const uint8x16_t weights = vld1q_u8(kWeights);
    for (unsigned int i = 0; i < lineCount; ++i) {
        const unsigned char *thresholds = screen.row[(firstPageLine + i) % kDitherCellSize];
        const unsigned char *line = grey + size_t(i) * lineWidth;
        unsigned char *out = output + size_t(i) * rowBytes;
        unsigned int x = 0;
        unsigned int phase = 0;  // x % 96, a multiple of 32
        for (; x + 64 <= lineWidth; x += 64) {
            uint8x16_t dots[4];
            for (int q = 0; q < 4; ++q) {
                const uint8x16_t g = vld1q_u8(line + x + 16 * q);
                const uint8x16_t t = vld1q_u8(thresholds + phase + 16 * q);
                dots[q] = vandq_u8(vcgeq_u8(g, t), weights);
            }
            const uint8x16_t pairs =
                vpaddq_u8(vpaddq_u8(dots[0], dots[1]), vpaddq_u8(dots[2], dots[3]));
            vst1_u8(out + x / 8, vget_low_u8(vpaddq_u8(pairs, pairs)));
            phase = phase >= 32 ? phase - 32 : phase + 64;  // (phase + 64) % 96
        }
        HalftoneLineTailPortable(line, thresholds, x, lineWidth, out);
        std::memset(out + lineWidth / 8, 0, rowBytes - lineWidth / 8);
    }
}

#endif  // GDI_CPU_NEON

#if GDI_HALFTONE_X86

// Reverses the byte order within each 8-byte group, so that after movemask the first
// pixel of a group lands in the most significant bit of its output byte.
inline __m128i ReverseBytesInGroupsOf8(__m128i v) {
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(0, 1, 2, 3));
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(0, 1, 2, 3));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// Pixels from x (a multiple of 16) up to lineWidth, 16 at a time, then 8.
inline void HalftoneLineTailSse2(const unsigned char *grey, const unsigned char *thresholds,
                                 unsigned int x, unsigned int lineWidth, unsigned char *out) {
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= lineWidth; x += 16) {
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i *>(grey + x));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(g, zero)) == 0xFFFF) {
            std::memset(out + x / 8, 0, 2);  // white paper sets no dot
            continue;
        }
        const __m128i t =
            _mm_load_si128(reinterpret_cast<const __m128i *>(thresholds + x % kThresholdSpan));
        // t - g saturates to 0 exactly when g >= t.
        const __m128i dots = _mm_cmpeq_epi8(_mm_subs_epu8(t, g), zero);
        const uint16_t bits =
            static_cast<uint16_t>(_mm_movemask_epi8(ReverseBytesInGroupsOf8(dots)));
        std::memcpy(out + x / 8, &bits, 2);
    }
    if (x < lineWidth) {
        out[x / 8] = PackEightPixels(grey + x, thresholds + x % kThresholdSpan);
    }
}

void HalftoneLinesSse2(const unsigned char *grey, unsigned int lineWidth, unsigned int lineCount,
                       unsigned int firstPageLine, unsigned char *output,
                       const HalftoneScreen &screen) {
    const unsigned int rowBytes = OutputRowBytes(lineWidth);
    for (unsigned int i = 0; i < lineCount; ++i) {
        const unsigned char *thresholds = screen.row[(firstPageLine + i) % kDitherCellSize];
        unsigned char *out = output + size_t(i) * rowBytes;
        HalftoneLineTailSse2(grey + size_t(i) * lineWidth, thresholds, 0, lineWidth, out);
        std::memset(out + lineWidth / 8, 0, rowBytes - lineWidth / 8);
    }
}

__attribute__((target("avx2"))) void HalftoneLinesAvx2(
    const unsigned char *grey, unsigned int lineWidth, unsigned int lineCount,
    unsigned int firstPageLine, unsigned char *output, const HalftoneScreen &screen) {
    const unsigned int rowBytes = OutputRowBytes(lineWidth);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i reverse8 = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                              7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    for (unsigned int i = 0; i < lineCount; ++i) {
        const unsigned char *thresholds = screen.row[(firstPageLine + i) % kDitherCellSize];
        const unsigned char *line = grey + size_t(i) * lineWidth;
        unsigned char *out = output + size_t(i) * rowBytes;
        unsigned int x = 0;
        unsigned int phase = 0;  // x % 96
        for (; x + 32 <= lineWidth; x += 32) {
            const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(line + x));
            uint32_t bits = 0;  // white paper sets no dot
            if (!_mm256_testz_si256(g, g)) {
                const __m256i t =
                    _mm256_load_si256(reinterpret_cast<const __m256i *>(thresholds + phase));
                const __m256i dots = _mm256_cmpeq_epi8(_mm256_subs_epu8(t, g), zero);
                bits = static_cast<uint32_t>(
                    _mm256_movemask_epi8(_mm256_shuffle_epi8(dots, reverse8)));
            }
            std::memcpy(out + x / 8, &bits, 4);
            phase = phase == 2 * 32 ? 0 : phase + 32;
        }
        HalftoneLineTailSse2(line, thresholds, x, lineWidth, out);
        std::memset(out + lineWidth / 8, 0, rowBytes - lineWidth / 8);
    }
}

#endif  // GDI_HALFTONE_X86

}  // namespace

int RastHalftone(SorterDC_s *sorter, const unsigned char *greyBand, unsigned char *output) {
    const unsigned int lineWidth = sorter->lineWidth;
    const unsigned int rowBytes = OutputRowBytes(lineWidth);
    std::memset(output, 0, size_t(sorter->lineCount) * rowBytes);

    const unsigned int firstPageLine = unsigned(sorter->bandIndex) * kGDIBandLines;
    for (unsigned int i = 0; i < sorter->lineCount; ++i) {
        const unsigned char *line = greyBand + size_t(i) * lineWidth;
        unsigned char *outRow = output + size_t(i) * rowBytes;
        unsigned int x = 0;
        while (x < lineWidth) {
            const unsigned int start = x;
            const unsigned char level = line[x];
            do {
                ++x;
            } while (x < lineWidth && line[x] == level);
            sorter->pfnPaste(sorter, outRow, line + start, firstPageLine + i,
                             static_cast<uint16_t>(start), static_cast<uint16_t>(x - start));
        }
    }
    return 1;
}

bool IsHalftoneKernelAvailable(HalftoneKernel kernel) {
    switch (kernel) {
        case HalftoneKernel::kRunPaste:
        case HalftoneKernel::kPortable:
            return true;
        case HalftoneKernel::kSse2:
            return CpuHasSse2();
        case HalftoneKernel::kAvx2:
            return CpuHasAvx2();
        case HalftoneKernel::kNeon:
            return CpuHasNeon();
        default:
            return false;
    }
}

const char *HalftoneKernelName(HalftoneKernel kernel) {
    switch (kernel) {
        case HalftoneKernel::kRunPaste:
            return "run paste";
        case HalftoneKernel::kSse2:
            return "SSE2";
        case HalftoneKernel::kAvx2:
            return "AVX2";
        case HalftoneKernel::kPortable:
            return "portable";
        case HalftoneKernel::kNeon:
            return "NEON";
    }
    return "unknown";
}

HalftoneKernel SelectedHalftoneKernel() {
    static const HalftoneKernel selected = [] {
        for (HalftoneKernel kernel :
             {HalftoneKernel::kAvx2, HalftoneKernel::kSse2, HalftoneKernel::kNeon}) {
            if (IsHalftoneKernelAvailable(kernel))
                return kernel;
        }
        return HalftoneKernel::kPortable;
    }();
    return selected;
}

const HalftoneScreen &PlainHalftoneScreen() {
    return kThresholdRows;
}

bool CanFoldTone(const uint16_t table[256]) {
    if (table[0] != 0 || table[255] != table[254])
        return false;
    for (int level = 1; level < 256; ++level) {
        if (table[level] < table[level - 1])
            return false;
    }
    return true;
}

// Threshold m becomes the lowest level whose toned value reaches it, or 255 when none
// does: a clamped line holds no 255, so that threshold is never reached.
bool FoldToneIntoScreen(const uint16_t table[256], HalftoneScreen *screen) {
    if (!CanFoldTone(table))
        return false;
    unsigned char folded[256];
    unsigned level = 0;
    for (unsigned m = 0; m < 256; ++m) {
        while (level < 255 && table[level] < m)
            ++level;
        folded[m] = static_cast<unsigned char>(level);
    }
    for (unsigned int r = 0; r < kDitherCellSize; ++r) {
        for (unsigned int x = 0; x < kHalftoneScreenRowBytes; ++x)
            screen->row[r][x] = folded[kThresholdRows.row[r][x]];
    }
    return true;
}

// 64 bytes a step through the compiler's vectors; the copy runs at the speed of memcpy,
// and noting whether anything but white passed costs one OR a vector.
bool ClampForFoldedScreen(const unsigned char *from, unsigned char *to, size_t length) {
    const Bytes16 black = {255, 255, 255, 255, 255, 255, 255, 255,
                           255, 255, 255, 255, 255, 255, 255, 255};
    Bytes16 ink = {};
    size_t i = 0;
    for (; i + 64 <= length; i += 64) {
        Bytes16 v[4];
        std::memcpy(v, from + i, sizeof v);
        for (Bytes16 &bytes : v) {
            ink |= bytes;
            bytes += reinterpret_cast<Bytes16>(bytes == black);  // all ones (-1) where 255
        }
        std::memcpy(to + i, v, sizeof v);
    }
    uint64_t halves[2];
    std::memcpy(halves, &ink, sizeof halves);
    unsigned char tail = 0;
    for (; i < length; ++i) {
        tail |= from[i];
        to[i] = from[i] < 254 ? from[i] : 254;
    }
    return (halves[0] | halves[1] | tail) != 0;
}

int ApplyGrayRasterHalftoneWith(HalftoneKernel kernel, const unsigned char *greyBand, int width,
                                int bandIndex, int lineCount, unsigned char *output,
                                const HalftoneScreen *folded) {
    if (greyBand == nullptr || output == nullptr || width < 0 || bandIndex < 0 || lineCount < 0 ||
        unsigned(width) > kGDIMaxPageDots || unsigned(bandIndex) > kGDIMaxPageDots ||
        unsigned(lineCount) > kGDIMaxPageDots) {
        return 0;
    }
    SorterDC_s sorter;
    std::memset(&sorter, 0, sizeof sorter);
    sorter.pMapDitherTbl = MapDitherTblMono.data();
    sorter.patternRowBytes = kDitherPatternRowBytes;
    sorter.levelBytes = kDitherLevelBytes;
    sorter.cellSize = kDitherCellSize;
    sorter.lineWidth = static_cast<uint16_t>(width & ~7);
    sorter.lineCount = static_cast<uint16_t>(lineCount);
    sorter.bandIndex = static_cast<uint16_t>(bandIndex);
    sorter.pfnPaste = Paste1MappedMonoLineData;

    if (!IsHalftoneKernelAvailable(kernel)) {
        kernel = HalftoneKernel::kRunPaste;
    }
    // The level patterns are those of the plain screen.
    if (folded != nullptr && kernel == HalftoneKernel::kRunPaste)
        kernel = HalftoneKernel::kPortable;
    const HalftoneScreen &screen = folded != nullptr ? *folded : kThresholdRows;
    switch (kernel) {
#if GDI_HALFTONE_X86
        case HalftoneKernel::kSse2:
            HalftoneLinesSse2(greyBand, sorter.lineWidth, sorter.lineCount,
                              unsigned(sorter.bandIndex) * kGDIBandLines, output, screen);
            return 1;
        case HalftoneKernel::kAvx2:
            HalftoneLinesAvx2(greyBand, sorter.lineWidth, sorter.lineCount,
                              unsigned(sorter.bandIndex) * kGDIBandLines, output, screen);
            return 1;
#endif
#if GDI_CPU_NEON
        case HalftoneKernel::kNeon:
            HalftoneLinesNeon(greyBand, sorter.lineWidth, sorter.lineCount,
                              unsigned(sorter.bandIndex) * kGDIBandLines, output, screen);
            return 1;
#endif
        case HalftoneKernel::kPortable:
            HalftoneLinesPortable(greyBand, sorter.lineWidth, sorter.lineCount,
                                  unsigned(sorter.bandIndex) * kGDIBandLines, output, screen);
            return 1;
        default:
            return RastHalftone(&sorter, greyBand, output);
    }
}

int ApplyGrayRasterHalftone(const unsigned char *greyBand, int width, int bandIndex, int lineCount,
                            unsigned char *output) {
    return ApplyGrayRasterHalftoneWith(SelectedHalftoneKernel(), greyBand, width, bandIndex,
                                       lineCount, output);
}
