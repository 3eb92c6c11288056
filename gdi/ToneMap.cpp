// Mapping lines of grey bytes through a 256-entry tone table.
#include "gdi/ToneMap.h"

#include <cstring>
#include <initializer_list>

#include "common/ByteWords.h"
#include "common/CpuFeatures.h"

#define GDI_TONE_X86 GDI_CPU_X86
#if GDI_TONE_X86
#include <immintrin.h>
#endif
#if GDI_CPU_NEON
#include <arm_neon.h>
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

// The low bytes of the table's entries, the only part a line takes.
struct ByteTable {
    unsigned char bytes[256];
};

ByteTable LowBytes(const uint16_t *table) {
    ByteTable low;
    for (int i = 0; i < 256; ++i) {
        low.bytes[i] = static_cast<unsigned char>(table[i]);
    }
    return low;
}

// Whether the 64 bytes at `bytes` are all equal.
inline bool AllEqual64(const unsigned char *bytes) {
    Bytes16 v[4];
    std::memcpy(v, bytes, sizeof v);
    const unsigned char b = bytes[0];
    const Bytes16 first = {b, b, b, b, b, b, b, b, b, b, b, b, b, b, b, b};
    const Bytes16 differ = (v[0] ^ first) | (v[1] ^ first) | (v[2] ^ first) | (v[3] ^ first);
    uint64_t halves[2];
    std::memcpy(halves, &differ, sizeof halves);
    return (halves[0] | halves[1]) == 0;
}

// Any processor: the line is read 64 bytes at a time as 8 words. Printed pages are mostly
// runs of one grey (white paper, black type, flat fills), so 64 or 8 equal bytes are toned
// as a whole, with one lookup and one store; any other word byte by byte, through a
// 256-byte table that stays in the first-level cache. One test per 64 or 8 bytes, none per
// byte. `from` and `to` may be the same line: each byte is read before it is written.
void MapPortable(const uint16_t *table, const unsigned char *from, unsigned char *to,
                 size_t length) {
    constexpr uint64_t kEveryByte = 0x0101010101010101ull;
    const ByteTable low = LowBytes(table);
    size_t i = 0;
    for (; i + 64 <= length; i += 64) {
        if (AllEqual64(from + i)) {
            std::memset(to + i, low.bytes[from[i]], 64);
            continue;
        }
        for (int w = 0; w < 8; ++w) {
            const size_t at = i + 8 * w;
            const uint64_t grey = LoadLittle64(from + at);
            const uint64_t byte = grey & 0xFF;
            if (grey == byte * kEveryByte) {
                StoreLittle64(to + at, low.bytes[byte] * kEveryByte);
                continue;
            }
            for (int b = 0; b < 8; ++b) {
                to[at + b] = low.bytes[from[at + b]];
            }
        }
    }
    for (; i + 8 <= length; i += 8) {
        const uint64_t grey = LoadLittle64(from + i);
        const uint64_t first = grey & 0xFF;
        if (grey == first * kEveryByte) {
            StoreLittle64(to + i, low.bytes[first] * kEveryByte);
            continue;
        }
        for (int b = 0; b < 8; ++b) {
            to[i + b] = low.bytes[from[i + b]];
        }
    }
    for (; i < length; ++i) {
        to[i] = low.bytes[from[i]];
    }
}

#if GDI_CPU_NEON

// 16 bytes through the table held as four 64-byte quarters: tbl looks the bytes below 64
// up in the first quarter (the others give 0), and each tbx looks up the bytes in the
// next 64 and keeps the result of the others.
inline uint8x16_t MapBytes16(const uint8x16x4_t *quarters, uint8x16_t grey) {
    const uint8x16_t step = vdupq_n_u8(64);
    uint8x16_t toned = vqtbl4q_u8(quarters[0], grey);
    grey = vsubq_u8(grey, step);
    toned = vqtbx4q_u8(toned, quarters[1], grey);
    grey = vsubq_u8(grey, step);
    toned = vqtbx4q_u8(toned, quarters[2], grey);
    grey = vsubq_u8(grey, step);
    return vqtbx4q_u8(toned, quarters[3], grey);
}

void MapNeon(const uint16_t *table, const unsigned char *from, unsigned char *to, size_t length) {
    const ByteTable low = LowBytes(table);
    uint8x16x4_t quarters[4];
    for (int q = 0; q < 4; ++q) {
        quarters[q] = vld1q_u8_x4(low.bytes + 64 * q);
    }
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        const uint8x16_t a = MapBytes16(quarters, vld1q_u8(from + i));
        const uint8x16_t b = MapBytes16(quarters, vld1q_u8(from + i + 16));
        vst1q_u8(to + i, a);
        vst1q_u8(to + i + 16, b);
    }
    for (; i + 16 <= length; i += 16) {
        vst1q_u8(to + i, MapBytes16(quarters, vld1q_u8(from + i)));
    }
    for (; i < length; ++i) {
        to[i] = low.bytes[from[i]];
    }
}

#endif  // GDI_CPU_NEON

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
        case ToneKernel::kPortable:
            return true;
        case ToneKernel::kAvx512Vbmi:
            return CpuHasAvx512Vbmi();
        case ToneKernel::kNeon:
            return CpuHasNeon();
        default:
            return false;
    }
}

const char *ToneKernelName(ToneKernel kernel) {
    switch (kernel) {
        case ToneKernel::kScalar:
            return "scalar";
        case ToneKernel::kAvx512Vbmi:
            return "AVX-512 VBMI";
        case ToneKernel::kPortable:
            return "portable";
        case ToneKernel::kNeon:
            return "NEON";
    }
    return "unknown";
}

ToneKernel SelectedToneKernel() {
    static const ToneKernel selected = [] {
        for (ToneKernel kernel : {ToneKernel::kAvx512Vbmi, ToneKernel::kNeon}) {
            if (IsToneKernelAvailable(kernel))
                return kernel;
        }
        return ToneKernel::kPortable;
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
#if GDI_CPU_NEON
        case ToneKernel::kNeon:
            MapNeon(table, from, to, length);
            return;
#endif
        case ToneKernel::kPortable:
            MapPortable(table, from, to, length);
            return;
        default:
            MapScalar(table, from, to, length);
            return;
    }
}
