// A page's geometry in device dots, worked out once from its CUPS page header and used
// both to decide whether the printer can take the page and to lay out its records.
#ifndef GDI_GDI_PAGEGEOMETRY_H
#define GDI_GDI_PAGEGEOMETRY_H

#include <cups/raster.h>
#include <stdint.h>

// The largest page the filter accepts, in bytes of one 8-bit-per-dot page buffer: the
// largest paper of the size table (12 x 18 in) at 1200 dpi with margins of up to 1 in
// on every side, in either orientation: 14 in wide is 16800 dots, aligned to 16896;
// 20 in high is 24000 lines, rounded up to 24576 (the turned page, 24064 x 16800,
// is smaller).
constexpr uint64_t kMaxPageBufferBytes = 16896ull * 24576ull;

struct PageGeometry {
    uint32_t xMarginDots = 0;      // HWResolution[0] x Margins[0] / 72
    uint32_t yMarginLines = 0;     // HWResolution[1] x Margins[1] / 72
    uint32_t pageWidthDots = 0;    // cupsWidth and both x margins
    uint32_t pageHeightLines = 0;  // cupsHeight and both y margins
    uint32_t alignedBitWidth = 0;  // page width rounded up to whole bytes, then to 128 dots
    uint32_t alignedRowBytes = 0;  // alignedBitWidth / 8
    uint32_t bandCount = 0;        // 256-line bands of the page height
    // Whether the page fits the stream's 16-bit fields and the page buffer limit; the
    // other fields are only meaningful when it does.
    bool fits = false;

    // The geometry of a page whose header (as the stream writer gets it) is `header`,
    // in 64-bit arithmetic so that no header can wrap it.
    static PageGeometry Of(const cups_page_header_s &header);

    uint64_t PageBufferBytes() const { return (uint64_t)alignedBitWidth * pageHeightLines; }
    // Lines in band `band`: 256, or fewer in the last band.
    uint32_t BandLines(uint32_t band) const;
};

// The dot count rounded up to a whole byte, then to the 128-dot line alignment.
uint64_t AlignTo128(uint64_t dots);

#endif
