// Host to big-endian conversion for the multi-byte fields of the printer stream.
#include "gdi/BytesOrder.h"

#include <string.h>

uint16_t CFSwapInt16HostToBig(uint16_t value) {
    const unsigned char bytes[2] = {(unsigned char)(value >> 8), (unsigned char)value};
    uint16_t result;
    memcpy(&result, bytes, sizeof(result));
    return result;
}

uint32_t CFSwapInt32HostToBig(uint32_t value) {
    const unsigned char bytes[4] = {(unsigned char)(value >> 24), (unsigned char)(value >> 16),
                                    (unsigned char)(value >> 8), (unsigned char)value};
    uint32_t result;
    memcpy(&result, bytes, sizeof(result));
    return result;
}

void PutBigEndian16(unsigned char *dst, uint32_t value) {
    const uint16_t big = CFSwapInt16HostToBig((uint16_t)value);
    memcpy(dst, &big, sizeof(big));
}

void PutBigEndian32(unsigned char *dst, uint32_t value) {
    const uint32_t big = CFSwapInt32HostToBig(value);
    memcpy(dst, &big, sizeof(big));
}
