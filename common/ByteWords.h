// Lines of bytes taken eight or sixteen at a time, the same on every byte order.
#ifndef GDI_COMMON_BYTEWORDS_H
#define GDI_COMMON_BYTEWORDS_H

#include <stdint.h>
#include <string.h>

// A word of this processor as a little-endian one, and back (the same operation).
inline uint64_t HostToLittle64(uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap64(word);
#else
    return word;
#endif
}

// Eight bytes as one word, the first byte lowest whatever the byte order.
inline uint64_t LoadLittle64(const unsigned char *bytes) {
    uint64_t word;
    memcpy(&word, bytes, sizeof word);
    return HostToLittle64(word);
}

// The inverse of LoadLittle64.
inline void StoreLittle64(unsigned char *bytes, uint64_t word) {
    word = HostToLittle64(word);
    memcpy(bytes, &word, sizeof word);
}

// 16 bytes as one vector of the compiler's (SSE2 on x86-64, NEON on ARM, plain words
// where the processor has no vectors).
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

#endif
