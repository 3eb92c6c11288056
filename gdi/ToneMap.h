// Mapping lines of grey bytes through a 256-entry tone table, with kernels for x86-64
// processors with byte permutes (AVX-512 VBMI) and for 64-bit ARM (NEON table lookups)
// chosen at run time, and a portable one for every other processor. (Sixteen 16-entry
// shuffles with AVX2 were measured no faster than the scalar lookups, so there is none.)
#ifndef GDI_GDI_TONEMAP_H
#define GDI_GDI_TONEMAP_H

#include <cstddef>
#include <cstdint>

// The ways a line can be mapped; all give the same bytes.
enum class ToneKernel {
    kScalar,      // one table lookup per byte: the reference the others are tested against
    kAvx512Vbmi,  // 64 bytes at once: two 128-entry byte permutes and a blend
    kPortable,    // a 256-byte copy of the table, 8 bytes read and written as one word
    kNeon,        // 16 bytes at once: four 64-entry table lookups (64-bit ARM)
};

// Whether this build and this processor can use the kernel.
bool IsToneKernelAvailable(ToneKernel kernel);

// The kernel used for tone mapping: the widest available one, else kPortable.
ToneKernel SelectedToneKernel();

// A short name of the kernel for reports ("AVX-512 VBMI", "portable", ...).
const char *ToneKernelName(ToneKernel kernel);

// Replaces each of the first `length` bytes of `line` by the low byte of table[byte].
// An unavailable kernel falls back to kScalar.
void MapGreyBytes(ToneKernel kernel, const uint16_t table[256], unsigned char *line, size_t length);

// Writes the low byte of table[from[i]] to to[i] for the first `length` bytes; `from` and
// `to` are the same line or do not overlap.
void MapGreyBytesTo(ToneKernel kernel, const uint16_t table[256], const unsigned char *from,
                    unsigned char *to, size_t length);

#endif
