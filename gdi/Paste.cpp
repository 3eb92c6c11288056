// Pasting the dot pattern of one run of equal grey into a 1-bit output row.
#include "gdi/Paste.h"

#include "gdi/DitherTables.h"

void Paste1MappedMonoLineData(SorterDC_s *sorter, unsigned char *outRow, const unsigned char *level,
                              unsigned int pageLine, uint16_t firstPixel, uint16_t pixelCount) {
    if (pixelCount == 0) {
        return;
    }
    const unsigned int cellSize = sorter->cellSize;
    const unsigned int rowBytes = sorter->patternRowBytes;
    const unsigned int x0 = firstPixel;
    const unsigned int x1 = x0 + pixelCount - 1;

    // The pattern row of this level for the page line; since the cell is a whole number
    // of bytes wide, pattern byte k covers the same pixels as destination byte x0 / 8.
    const unsigned char *pattern =
        sorter->pMapDitherTbl + *level * sorter->levelBytes + (pageLine % cellSize) * rowBytes;
    unsigned int k = (x0 % cellSize) / 8;
    unsigned char *dest = outRow + x0 / 8;
    const unsigned char head = pHead1b[x0 % 8];
    const unsigned char tail = pTail1b[x1 % 8];

    if (x0 / 8 == x1 / 8) {
        const unsigned char keep = head | tail;
        *dest = static_cast<unsigned char>((pattern[k] & ~keep) | (*dest & keep));
        return;
    }

    unsigned int left = pixelCount;
    if (head != 0) {
        *dest = static_cast<unsigned char>((pattern[k] & ~head) | (*dest & head));
        ++dest;
        k = k + 1 == rowBytes ? 0 : k + 1;
        left = pixelCount + x0 % 8 - 8;
    }
    for (unsigned int n = left / 8; n != 0; --n) {
        *dest++ = pattern[k];
        k = k + 1 == rowBytes ? 0 : k + 1;
    }
    if (tail != 0) {
        *dest = static_cast<unsigned char>((pattern[k] & ~tail) | (*dest & tail));
    }
}
