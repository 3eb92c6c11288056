// Pasting the dot pattern of one run of equal grey into a 1-bit output row.
#ifndef GDI_GDI_PASTE_H
#define GDI_GDI_PASTE_H

#include <cstdint>

#include "gdi/Halftone.h"

// Writes the pixels firstPixel .. firstPixel + pixelCount - 1 of `outRow` with the
// pattern of grey level *level on page line pageLine; the row's other bits are kept.
void Paste1MappedMonoLineData(SorterDC_s *sorter, unsigned char *outRow, const unsigned char *level,
                              unsigned int pageLine, uint16_t firstPixel, uint16_t pixelCount);

#endif
