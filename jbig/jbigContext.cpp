// Scan conversion and two-line-template context generation.
//
// Line buffers hold a line in 8-byte groups of 64 pixels, each group stored byte-reversed so
// that a little-endian 64-bit load yields the group with its first pixel in the most
// significant bit. Behind the line's last (possibly partial) group follows at least one
// group of zeros, so a 64-bit window may always read one group ahead.
#include <string.h>

#include <initializer_list>

#include "common/ByteWords.h"
#include "common/CpuFeatures.h"
#include "jbig/jbigInternal.h"

#define JBIG_CONTEXTS_X86 GDI_CPU_X86
#if JBIG_CONTEXTS_X86
#include <emmintrin.h>
#include <immintrin.h>
#define JBIG_CONTEXTS_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif
#if GDI_CPU_NEON
#include <arm_neon.h>
#endif

namespace {

// The group of 64 pixels stored at group, first pixel in bit 63.
inline uint64_t loadGroup(const unsigned char *group) {
    return LoadLittle64(group);
}

inline void storeGroup(unsigned char *group, uint64_t pixels) {
    StoreLittle64(group, pixels);
}

// Eight source bytes as a big-endian value: the first pixel in bit 63.
inline uint64_t loadSourceGroup(const unsigned char *bytes) {
    uint64_t value;
    memcpy(&value, bytes, sizeof(value));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return value;
#else
    return __builtin_bswap64(value);
#endif
}

inline uint32_t wordSum(uint64_t pixels) {
    return static_cast<uint32_t>(pixels >> 32) + static_cast<uint32_t>(pixels);
}

// 64 pixels of a line buffer starting at pixel first, first pixel in bit 63.
inline uint64_t pixelWindow(const unsigned char *line, size_t first) {
    const unsigned char *group = line + (first / 64) * 8;
    const unsigned offset = static_cast<unsigned>(first % 64);
    return (loadGroup(group) << offset) | ((loadGroup(group + 8) >> 1) >> (63 - offset));
}

inline void storeFlag(unsigned char *flags, uint32_t word, uint32_t value) {
    memcpy(flags + 4 * static_cast<size_t>(word), &value, sizeof(value));
}

// Entries of `count` consecutive pixels. upper holds the line above from 3 pixels before the
// first of them, lower the current line from 4 pixels before it, both first pixel in bit 63.
// Entry bits 10..5 are the line above at x-3..x+2, bits 4..0 the current line at x-4..x.
inline void makeEntries(uint64_t upper, uint64_t lower, uint16_t *out, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
        out[k] =
            static_cast<uint16_t>(((upper >> (53 - k)) & 0x7E0) | ((lower >> (59 - k)) & 0x1F));
    }
}

// Any processor: the 32 entries in four steps of 8, in 16-bit lanes. Entry 8s + r takes
// the line above at bits 58 - 8s - r .. 63 - 8s - r and the current line at bits
// 59 - 8s - r .. 63 - 8s - r, all within the 16-bit window of each line from bit 48 - 8s
// up. Shifting a window left by r (a multiplication by a constant per lane, its bits
// beyond 16 dropped) puts them at bits 10 .. 15 and 11 .. 15, and one fixed shift right
// each into place. The 8 lanes of a step share the windows and differ only in that
// constant, so compilers make each step a handful of vector operations.
// A step's 8 lanes as one vector of the compiler's (SSE2 on x86-64, NEON on ARM; plain
// words where the processor has no vectors).
typedef uint16_t EntryLanes __attribute__((vector_size(16)));

inline EntryLanes everyLane(uint64_t window) {
    const uint16_t value = static_cast<uint16_t>(window);
    return EntryLanes{value, value, value, value, value, value, value, value};
}

inline void makeEntries32Portable(uint64_t upper, uint64_t lower, uint16_t *out) {
    const EntryLanes powers = {1, 2, 4, 8, 16, 32, 64, 128};
    for (int step = 0; step < 4; ++step) {
        const EntryLanes above = powers * everyLane(upper >> (48 - 8 * step));
        const EntryLanes current = powers * everyLane(lower >> (48 - 8 * step));
        const EntryLanes entries = ((above >> 5) & 0x7E0) | (current >> 11);
        memcpy(out + 8 * step, &entries, sizeof entries);
    }
}

struct PortableEntries {
    static void make32(uint64_t upper, uint64_t lower, uint16_t *out) {
        makeEntries32Portable(upper, lower, out);
    }
};

#if GDI_CPU_NEON
// As the portable form, with the windows shifted right by 13 - r and 19 - r in one
// per-lane shift (a negative count shifts right).
struct NeonEntries {
    static void make32(uint64_t upper, uint64_t lower, uint16_t *out) {
        static const int32_t kAboveShifts[8] = {-13, -12, -11, -10, -9, -8, -7, -6};
        static const int32_t kCurrentShifts[8] = {-19, -18, -17, -16, -15, -14, -13, -12};
        const int32x4_t aboveLow = vld1q_s32(kAboveShifts), aboveHigh = vld1q_s32(kAboveShifts + 4);
        const int32x4_t currentLow = vld1q_s32(kCurrentShifts);
        const int32x4_t currentHigh = vld1q_s32(kCurrentShifts + 4);
        const uint32x4_t aboveMask = vdupq_n_u32(0x7E0), currentMask = vdupq_n_u32(0x1F);
        for (int step = 0; step < 4; ++step) {
            const uint32x4_t above = vdupq_n_u32(static_cast<uint32_t>(upper >> (40 - 8 * step)));
            const uint32x4_t current = vdupq_n_u32(static_cast<uint32_t>(lower >> (40 - 8 * step)));
            const uint32x4_t low =
                vorrq_u32(vandq_u32(vshlq_u32(above, aboveLow), aboveMask),
                          vandq_u32(vshlq_u32(current, currentLow), currentMask));
            const uint32x4_t high =
                vorrq_u32(vandq_u32(vshlq_u32(above, aboveHigh), aboveMask),
                          vandq_u32(vshlq_u32(current, currentHigh), currentMask));
            vst1q_u16(out + 8 * step, vcombine_u16(vmovn_u32(low), vmovn_u32(high)));
        }
    }
};
#endif

#if JBIG_CONTEXTS_X86
// The 16-pixel windows that start at the first four byte boundaries of a 64-pixel window,
// as two vectors with every 16-bit lane doubled: dword m of `pairs` holds bytes m and m + 1,
// dword m of `thirds` holds byte m + 2 in the upper half of each lane.
struct ByteWindows {
    __m128i pairs;
    __m128i thirds;
};

inline ByteWindows byteWindows(uint64_t pixels) {
    const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(__builtin_bswap64(pixels)));
    const __m128i pairs = _mm_unpacklo_epi8(_mm_srli_si128(bytes, 1), bytes);
    const __m128i thirds = _mm_unpacklo_epi8(_mm_setzero_si128(), _mm_srli_si128(bytes, 2));
    return {_mm_unpacklo_epi16(pairs, pairs), _mm_unpacklo_epi16(thirds, thirds)};
}

// Lane r: the 16-pixel window starting r pixels after byte boundary `step`, made as
// (two bytes << r) | (third byte << r >> 8) with two 16-bit multiplications by 2^r.
template <int step>
inline __m128i shiftedWindows(const ByteWindows &w, __m128i powers) {
    constexpr int kBroadcast = step * 0x55;
    return _mm_or_si128(_mm_mullo_epi16(_mm_shuffle_epi32(w.pairs, kBroadcast), powers),
                        _mm_mulhi_epu16(_mm_shuffle_epi32(w.thirds, kBroadcast), powers));
}

template <int step>
inline void makeEntries8(const ByteWindows &upper, const ByteWindows &lower, __m128i powers,
                         uint16_t *out) {
    const __m128i entries =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi16(shiftedWindows<step>(upper, powers), 5),
                                   _mm_set1_epi16(0x7E0)),
                     _mm_srli_epi16(shiftedWindows<step>(lower, powers), 11));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * step), entries);
}

struct Sse2Entries {
    static void make32(uint64_t upper, uint64_t lower, uint16_t *out) {
        const __m128i powers = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
        const ByteWindows u = byteWindows(upper);
        const ByteWindows l = byteWindows(lower);
        makeEntries8<0>(u, l, powers, out);
        makeEntries8<1>(u, l, powers, out);
        makeEntries8<2>(u, l, powers, out);
        makeEntries8<3>(u, l, powers, out);
    }
};

// A group's 32 entries in one 512-bit register, one 16-bit lane per entry, picked out of
// the two 64-pixel windows with byte-granular bit field extraction (vpmultishiftqb): every
// 64-bit lane holds a copy of the window, and each byte of the result takes the 8 bits
// that start at its own bit offset. Entry k's low byte takes the current line from bit
// 59 - k, so that its bits 0..4 are pixels x..x-4; its high byte takes the line above from
// bit 56 - k, so that its bits 2..7 are pixels x+2..x-3. Shifting the lane right by 5 puts
// the line above at bits 5..10, and a bitwise select keeps those over bits 0..4 of the
// unshifted lane.
struct EntryBitOffsets {
    unsigned char bytes[64];
};

constexpr EntryBitOffsets entryBitOffsets() {
    EntryBitOffsets offsets{};
    for (int k = 0; k < 32; ++k) {
        offsets.bytes[2 * k] = static_cast<unsigned char>(59 - k);
        offsets.bytes[2 * k + 1] = static_cast<unsigned char>(56 - k);
    }
    return offsets;
}

alignas(64) constexpr EntryBitOffsets kEntryBitOffsets = entryBitOffsets();

struct VbmiEntries {
    JBIG_CONTEXTS_VBMI static void make32(uint64_t upper, uint64_t lower, uint16_t *out) {
        const __m512i offsets = _mm512_load_si512(kEntryBitOffsets.bytes);
        // The zero-masking form: the plain one leaves GCC warning about its undefined
        // pass-through operand.
        const __m512i lowBytes = _mm512_maskz_multishift_epi64_epi8(
            ~0ull, offsets, _mm512_set1_epi64(static_cast<long long>(lower)));
        const __m512i both =
            _mm512_mask_multishift_epi64_epi8(lowBytes, 0xAAAAAAAAAAAAAAAAull, offsets,
                                              _mm512_set1_epi64(static_cast<long long>(upper)));
        // Bits 5..15 from the shifted lane (11..15 are 0 there), bits 0..4 from `both`.
        const __m512i entries = _mm512_ternarylogic_epi64(
            _mm512_srli_epi16(both, 5), both, _mm512_set1_epi16(static_cast<short>(0xFFE0)), 0xE4);
        _mm512_storeu_si512(out, entries);
    }
};
#endif

// The groups of 32 after the lead entries. A full group whose template neighbourhood is
// all 0 (line above from 3 pixels before the group to 2 after it, current line from 4
// pixels before it to its end) has only 0 entries: it is flagged 0 and not stored, without
// making its entries.
template <typename Entries>
__attribute__((always_inline)) inline void makeGroups(const unsigned char *above,
                                                      const unsigned char *line,
                                                      unsigned char *flags, uint16_t *out,
                                                      uint32_t rest) {
    const uint32_t fullGroups = rest / 32;
    size_t start = 5;
    for (uint32_t group = 0; group < fullGroups; ++group, start += 32) {
        const uint64_t upper = pixelWindow(above, start - 3);
        const uint64_t lower = pixelWindow(line, start - 4);
        if ((upper >> 27) == 0 && (lower >> 28) == 0) {
            storeFlag(flags, group ^ 1, 0);
            continue;
        }
        storeFlag(flags, group ^ 1, 1);
        Entries::make32(upper, lower, out);
        out += 32;
    }
    const uint32_t tail = rest % 32;
    if (tail > 0) {
        storeFlag(flags, fullGroups ^ 1, 1);
        makeEntries(pixelWindow(above, start - 3), pixelWindow(line, start - 4), out, tail);
    }
}

void makeGroupsPortable(const unsigned char *above, const unsigned char *line, unsigned char *flags,
                        uint16_t *out, uint32_t rest) {
    makeGroups<PortableEntries>(above, line, flags, out, rest);
}

#if JBIG_CONTEXTS_X86
void makeGroupsSse2(const unsigned char *above, const unsigned char *line, unsigned char *flags,
                    uint16_t *out, uint32_t rest) {
    makeGroups<Sse2Entries>(above, line, flags, out, rest);
}

JBIG_CONTEXTS_VBMI void makeGroupsVbmi(const unsigned char *above, const unsigned char *line,
                                       unsigned char *flags, uint16_t *out, uint32_t rest) {
    makeGroups<VbmiEntries>(above, line, flags, out, rest);
}
#endif

#if GDI_CPU_NEON
void makeGroupsNeon(const unsigned char *above, const unsigned char *line, unsigned char *flags,
                    uint16_t *out, uint32_t rest) {
    makeGroups<NeonEntries>(above, line, flags, out, rest);
}
#endif

int fastestKernel() {
    for (int kernel : {kJbigContextsVbmi, kJbigContextsSse2, kJbigContextsNeon}) {
        if (jbigContextKernelAvailable(kernel))
            return kernel;
    }
    return kJbigContextsPortable;
}

}  // namespace

extern "C" uint64_t byteswap_ulonglong_little(uint64_t value) {
    return HostToLittle64(value);
}

extern "C" uint32_t jbigScanConvert(JBIGEncoderState *state) {
    const size_t lineBytes = (static_cast<size_t>(state->width) + 7) / 8;
    const size_t fullGroups = lineBytes / 8;
    const size_t partialBytes = lineBytes % 8;
    const unsigned char *src = state->source;
    unsigned char *dst = state->currentLine;
    uint32_t sum = 0;
    uint64_t any = 0;  // OR of all pixels: the checksum can be 0 for a line that is not
    for (size_t i = 0; i < fullGroups; ++i) {
        const uint64_t pixels = loadSourceGroup(src + 8 * i);
        storeGroup(dst + 8 * i, pixels);
        sum += wordSum(pixels);
        any |= pixels;
    }
    // The last partial group (or a zero group), completed with zeros: only the bytes that
    // belong to the line are read.
    uint64_t pixels = 0;
    for (size_t j = 0; j < partialBytes; ++j) {
        pixels |= static_cast<uint64_t>(src[8 * fullGroups + j]) << (56 - 8 * j);
    }
    storeGroup(dst + 8 * fullGroups, pixels);
    sum += wordSum(pixels);
    any |= pixels;
    storeGroup(dst + 8 * fullGroups + 8, 0);
    state->lineZero = any == 0 ? 1 : 0;
    return sum;
}

extern "C" uint32_t jbig_2LineTemplate_getContext(JBIGContextRegisters *r) {
    const int32_t x = r->_debug_currentPixel;
    r->_debug_currentPixel = x + 1;
    if ((x & 7) == 0) {
        if (r->_debug_upperByteCount == 0) {
            r->_debug_upperQuad = loadGroup(r->_debug_upperP);
            r->_debug_upperP += 8;
            r->_debug_upperByteCount = 8;
        }
        r->_debug_upper |= static_cast<uint32_t>(r->_debug_upperQuad >> 56);
        r->_debug_upperQuad <<= 8;
        --r->_debug_upperByteCount;
        if (r->_debug_lowerByteCount == 0) {
            r->_debug_lowerQuad = loadGroup(r->_debug_lowerP);
            r->_debug_lowerP += 8;
            r->_debug_lowerByteCount = 8;
        }
        r->_debug_lower |= static_cast<uint32_t>(r->_debug_lowerQuad >> 56);
        r->_debug_lowerQuad <<= 8;
        --r->_debug_lowerByteCount;
    }
    r->_debug_upper <<= 1;
    r->_debug_lower <<= 1;
    return ((r->_debug_upper >> 9) & 0x7E0) | ((r->_debug_lower >> 8) & 0x1F);
}

extern "C" void jbigGen_2LineTemplate_c_code(JBIGEncoderState *state) {
    const unsigned char *above = state->previousLine;
    const unsigned char *line = state->currentLine;

    // Reset the registers; the line above runs one byte ahead of the current line, which
    // brings x + 1 and x + 2 into reach.
    JBIGContextRegisters *r = &state->contextRegisters;
    const uint64_t first = loadGroup(above);
    r->_debug_lowerByteCount = 0;
    r->_debug_lowerP = line;
    r->_debug_upperP = above + 8;
    r->_debug_upperByteCount = 7;
    r->_debug_upperQuad = first << 8;
    r->_debug_upper = static_cast<uint32_t>(first >> 56) << 8;
    r->_debug_lower = 0;
    r->_debug_currentPixel = 0;

    uint16_t *out = state->contextBuffer + (state->options & 1);
    const uint32_t width = state->width;
    const uint32_t lead = width < 5 ? width : 5;
    for (uint32_t i = 0; i < lead; ++i) {
        *out++ = static_cast<uint16_t>(jbig_2LineTemplate_getContext(r));
    }
    if (width <= 5) {
        return;
    }

    const uint32_t rest = width - 5;
    switch (state->contextKernel) {
#if JBIG_CONTEXTS_X86
        case kJbigContextsVbmi:
            makeGroupsVbmi(above, line, state->scratchLine, out, rest);
            return;
        case kJbigContextsSse2:
            makeGroupsSse2(above, line, state->scratchLine, out, rest);
            return;
#endif
#if GDI_CPU_NEON
        case kJbigContextsNeon:
            makeGroupsNeon(above, line, state->scratchLine, out, rest);
            return;
#endif
        default:
            makeGroupsPortable(above, line, state->scratchLine, out, rest);
            return;
    }
}

extern "C" int jbigContextKernelAvailable(int kernel) {
    switch (kernel) {
        case kJbigContextsPortable:
            return 1;
        case kJbigContextsVbmi:
            return CpuHasAvx512Vbmi() ? 1 : 0;
        case kJbigContextsSse2:
            return CpuHasSse2() ? 1 : 0;
        case kJbigContextsNeon:
            return CpuHasNeon() ? 1 : 0;
        default:
            return 0;
    }
}

extern "C" const char *jbigContextKernelName(int kernel) {
    switch (kernel) {
        case kJbigContextsVbmi:
            return "AVX-512 VBMI";
        case kJbigContextsSse2:
            return "SSE2";
        case kJbigContextsNeon:
            return "NEON";
        default:
            return "portable";
    }
}

extern "C" int jbigResolveContextKernel(int kernel) {
    if (kernel == kJbigContextsFastest)
        return fastestKernel();
    return jbigContextKernelAvailable(kernel) ? kernel : kJbigContextsPortable;
}
