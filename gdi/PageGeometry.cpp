// Page geometry from a CUPS page header.
#include "gdi/PageGeometry.h"

#include "gdi/GdiStream.h"

namespace {

constexpr uint64_t kPointsPerInch = 72;

}  // namespace

uint64_t AlignTo128(uint64_t dots) {
    const uint64_t bytesWide = (dots + 7) / 8 * 8;
    return (bytesWide + 127) / 128 * 128;
}

PageGeometry PageGeometry::Of(const cups_page_header_s &header) {
    const uint64_t xMargin = (uint64_t)header.HWResolution[0] * header.Margins[0] / kPointsPerInch;
    const uint64_t yMargin = (uint64_t)header.HWResolution[1] * header.Margins[1] / kPointsPerInch;
    const uint64_t width = header.cupsWidth + 2 * xMargin;
    const uint64_t height = header.cupsHeight + 2 * yMargin;
    const uint64_t aligned = AlignTo128(width);
    PageGeometry g;
    g.fits = aligned <= kGDIMaxPageDots && height <= kGDIMaxPageDots &&
             aligned * height <= kMaxPageBufferBytes;
    if (!g.fits)
        return g;
    g.xMarginDots = (uint32_t)xMargin;
    g.yMarginLines = (uint32_t)yMargin;
    g.pageWidthDots = (uint32_t)width;
    g.pageHeightLines = (uint32_t)height;
    g.alignedBitWidth = (uint32_t)aligned;
    g.alignedRowBytes = g.alignedBitWidth / 8;
    g.bandCount = (g.pageHeightLines + kGDIBandLines - 1) / kGDIBandLines;
    return g;
}

uint32_t PageGeometry::BandLines(uint32_t band) const {
    if (band >= bandCount)
        return 0;
    return band + 1 == bandCount ? pageHeightLines - kGDIBandLines * band : kGDIBandLines;
}
