// Ordered-dither halftoning of 8-bit grey bands (0 white .. 255 black) into 1-bit bands.
//
// Two ways give the same bytes. RastHalftone cuts every line into runs of equal grey and
// pastes each run's ready-made level pattern (Paste1MappedMonoLineData). The compare
// kernels test 16 or 32 grey bytes at once against a row of thresholds laid out in
// advance, and pack the results straight into output bytes; their cost does not depend
// on how short the runs are. Both set the bit of pixel x on page line y exactly when
// its level is >= kDitherThresholdMatrix[y % 24][x % 24].
#include "gdi/Halftone.h"

#include <cstring>

#include "common/CpuFeatures.h"
#include "gdi/DitherTables.h"
#include "gdi/Paste.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define GDI_HALFTONE_X86 1
#include <immintrin.h>
#else
#define GDI_HALFTONE_X86 0
#endif

namespace {

constexpr unsigned int kBandLines = 256;
constexpr unsigned int kMaxField = 0xFFFF;  // the job's fields are 16-bit

unsigned int OutputRowBytes(unsigned int lineWidth) {
    return (lineWidth + 31) / 32 * 4;
}

// Each cell row's thresholds repeated over 96 pixels, the least common multiple of the
// cell width and the 16- and 32-byte compare widths: the thresholds of pixels x .. x + 31
// of a line are the 32 bytes at x % 96 of its row whenever x is a multiple of 32 (and
// likewise for 16 bytes).
constexpr unsigned int kThresholdSpan = 96;
struct ThresholdRows {
    alignas(32) unsigned char row[kDitherCellSize][kThresholdSpan];
};
constexpr ThresholdRows BuildThresholdRows() {
    ThresholdRows rows{};
    for (unsigned int r = 0; r < kDitherCellSize; ++r) {
        for (unsigned int x = 0; x < kThresholdSpan; ++x) {
            rows.row[r][x] = kDitherThresholdMatrix[r][x % kDitherCellSize];
        }
    }
    return rows;
}
constexpr ThresholdRows kThresholdRows = BuildThresholdRows();

// Output byte of the 8 pixels at `grey`, whose thresholds are at `thresholds`.
inline unsigned char PackEightPixels(const unsigned char *grey, const unsigned char *thresholds) {
    unsigned int bits = 0;
    for (int p = 0; p < 8; ++p) {
        bits = (bits << 1) | (grey[p] >= thresholds[p] ? 1u : 0u);
    }
    return static_cast<unsigned char>(bits);
}

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
                       unsigned int firstPageLine, unsigned char *output) {
    const unsigned int rowBytes = OutputRowBytes(lineWidth);
    for (unsigned int i = 0; i < lineCount; ++i) {
        const unsigned char *thresholds = kThresholdRows.row[(firstPageLine + i) % kDitherCellSize];
        unsigned char *out = output + size_t(i) * rowBytes;
        HalftoneLineTailSse2(grey + size_t(i) * lineWidth, thresholds, 0, lineWidth, out);
        std::memset(out + lineWidth / 8, 0, rowBytes - lineWidth / 8);
    }
}

__attribute__((target("avx2"))) void HalftoneLinesAvx2(const unsigned char *grey,
                                                       unsigned int lineWidth,
                                                       unsigned int lineCount,
                                                       unsigned int firstPageLine,
                                                       unsigned char *output) {
    const unsigned int rowBytes = OutputRowBytes(lineWidth);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i reverse8 = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                              7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    for (unsigned int i = 0; i < lineCount; ++i) {
        const unsigned char *thresholds = kThresholdRows.row[(firstPageLine + i) % kDitherCellSize];
        const unsigned char *line = grey + size_t(i) * lineWidth;
        unsigned char *out = output + size_t(i) * rowBytes;
        unsigned int x = 0;
        unsigned int phase = 0;  // x % 96
        for (; x + 32 <= lineWidth; x += 32) {
            const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(line + x));
            const __m256i t =
                _mm256_load_si256(reinterpret_cast<const __m256i *>(thresholds + phase));
            const __m256i dots = _mm256_cmpeq_epi8(_mm256_subs_epu8(t, g), zero);
            const uint32_t bits =
                static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_shuffle_epi8(dots, reverse8)));
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

    const unsigned int firstPageLine = unsigned(sorter->bandIndex) * kBandLines;
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
            return true;
#if GDI_HALFTONE_X86
        case HalftoneKernel::kSse2:
            return true;
        case HalftoneKernel::kAvx2:
            return CpuHasAvx2();
#endif
        default:
            return false;
    }
}

HalftoneKernel SelectedHalftoneKernel() {
    static const HalftoneKernel selected = [] {
        if (IsHalftoneKernelAvailable(HalftoneKernel::kAvx2)) {
            return HalftoneKernel::kAvx2;
        }
        if (IsHalftoneKernelAvailable(HalftoneKernel::kSse2)) {
            return HalftoneKernel::kSse2;
        }
        return HalftoneKernel::kRunPaste;
    }();
    return selected;
}

int ApplyGrayRasterHalftoneWith(HalftoneKernel kernel, const unsigned char *greyBand, int width,
                                int bandIndex, int lineCount, unsigned char *output) {
    if (greyBand == nullptr || output == nullptr || width < 0 || bandIndex < 0 || lineCount < 0 ||
        unsigned(width) > kMaxField || unsigned(bandIndex) > kMaxField ||
        unsigned(lineCount) > kMaxField) {
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
    switch (kernel) {
#if GDI_HALFTONE_X86
        case HalftoneKernel::kSse2:
            HalftoneLinesSse2(greyBand, sorter.lineWidth, sorter.lineCount,
                              unsigned(sorter.bandIndex) * kBandLines, output);
            return 1;
        case HalftoneKernel::kAvx2:
            HalftoneLinesAvx2(greyBand, sorter.lineWidth, sorter.lineCount,
                              unsigned(sorter.bandIndex) * kBandLines, output);
            return 1;
#endif
        default:
            return RastHalftone(&sorter, greyBand, output);
    }
}

int ApplyGrayRasterHalftone(const unsigned char *greyBand, int width, int bandIndex, int lineCount,
                            unsigned char *output) {
    return ApplyGrayRasterHalftoneWith(SelectedHalftoneKernel(), greyBand, width, bandIndex,
                                       lineCount, output);
}
