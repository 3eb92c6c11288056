// Mapping lines of grey bytes through a 256-entry tone table.
#include "gdi/ToneMap.h"

#include "common/CpuFeatures.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define GDI_TONE_X86 1
#include <immintrin.h>
#else
#define GDI_TONE_X86 0
#endif

namespace {

// `from` and `to` are the same line or lines that do not overlap.
void MapScalar(const uint16_t *table, const unsigned char *from, unsigned char *to, size_t length) {
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        const unsigned char a = from[i], b = from[i + 1], c = from[i + 2], d = from[i + 3];
        to[i] = static_cast<unsigned char>(table[a]);
        to[i + 1] = static_cast<unsigned char>(table[b]);
        to[i + 2] = static_cast<unsigned char>(table[c]);
        to[i + 3] = static_cast<unsigned char>(table[d]);
    }
    for (; i < length; ++i) {
        to[i] = static_cast<unsigned char>(table[from[i]]);
    }
}

#if GDI_TONE_X86

#define GDI_TONE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// 64 grey bytes through the table held as four registers of low bytes.
GDI_TONE_AVX512 inline __m512i MapBytes64(const __m512i *quarters, __m512i grey) {
    const __m512i lower = _mm512_permutex2var_epi8(quarters[0], grey, quarters[1]);
    const __m512i upper = _mm512_permutex2var_epi8(quarters[2], grey, quarters[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(grey), lower, upper);
}

// The table's low bytes as four 64-byte registers; each byte's low 7 bits pick an entry
// from one half of the table with vpermi2b, and its top bit picks the half.
GDI_TONE_AVX512 void MapAvx512Vbmi(const uint16_t *table, const unsigned char *from,
                                   unsigned char *to, size_t length) {
    // Entries 64q .. 64q + 63 are two registers of 16-bit words; a byte permute picks
    // their low (even) bytes into one register.
    alignas(64) unsigned char evenBytes[64];
    for (int j = 0; j < 64; ++j) {
        evenBytes[j] = static_cast<unsigned char>(2 * j);
    }
    const __m512i even = _mm512_load_si512(evenBytes);
    __m512i quarters[4];
    for (int q = 0; q < 4; ++q) {
        quarters[q] = _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 64 * q), even,
                                               _mm512_loadu_si512(table + 64 * q + 32));
    }
    size_t i = 0;
    for (; i + 64 <= length; i += 64) {
        _mm512_storeu_si512(to + i, MapBytes64(quarters, _mm512_loadu_si512(from + i)));
    }
    if (i < length) {
        // The last bytes of the line through masked loads and stores, which touch
        // nothing beyond it.
        const __mmask64 rest = (__mmask64(1) << (length - i)) - 1;
        _mm512_mask_storeu_epi8(to + i, rest,
                                MapBytes64(quarters, _mm512_maskz_loadu_epi8(rest, from + i)));
    }
}

#endif  // GDI_TONE_X86

}  // namespace

bool IsToneKernelAvailable(ToneKernel kernel) {
    switch (kernel) {
        case ToneKernel::kScalar:
            return true;
#if GDI_TONE_X86
        case ToneKernel::kAvx512Vbmi:
            return CpuHasAvx512Vbmi();
#endif
        default:
            return false;
    }
}

ToneKernel SelectedToneKernel() {
    static const ToneKernel selected = [] {
        return IsToneKernelAvailable(ToneKernel::kAvx512Vbmi) ? ToneKernel::kAvx512Vbmi
                                                              : ToneKernel::kScalar;
    }();
    return selected;
}

void MapGreyBytes(ToneKernel kernel, const uint16_t table[256], unsigned char *line,
                  size_t length) {
    MapGreyBytesTo(kernel, table, line, line, length);
}

void MapGreyBytesTo(ToneKernel kernel, const uint16_t table[256], const unsigned char *from,
                    unsigned char *to, size_t length) {
    if (!IsToneKernelAvailable(kernel)) {
        kernel = ToneKernel::kScalar;
    }
    switch (kernel) {
#if GDI_TONE_X86
        case ToneKernel::kAvx512Vbmi:
            MapAvx512Vbmi(table, from, to, length);
            return;
#endif
        default:
            MapScalar(table, from, to, length);
            return;
    }
}
