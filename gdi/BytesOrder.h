// Host to big-endian conversion for the multi-byte fields of the printer stream.
#ifndef GDI_GDI_BYTESORDER_H
#define GDI_GDI_BYTESORDER_H

#include <stdint.h>

// Returns the value rearranged so that, stored in memory as it is, its bytes are
// in big-endian order (most significant byte first).
uint16_t CFSwapInt16HostToBig(uint16_t value);
uint32_t CFSwapInt32HostToBig(uint32_t value);

// Stores the low 16 or all 32 bits of value at dst, most significant byte first.
void PutBigEndian16(unsigned char *dst, uint32_t value);
void PutBigEndian32(unsigned char *dst, uint32_t value);

#endif
