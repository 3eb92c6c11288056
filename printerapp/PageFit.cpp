// Fitting rendered pages to the filter's layout of their paper.
#include "printerapp/PageFit.h"

#include <string.h>

#include <algorithm>

namespace printerapp {

namespace {

// The PPDs' HWMargins and ImageableArea: 12 points on every side.
constexpr unsigned kMarginPoints = 12;

// Points at `dpi` in whole dots, rounded to the nearest, as Ghostscript sizes the raster.
unsigned PointsToDots(unsigned points, unsigned dpi) {
    return (unsigned)(((unsigned long long)points * dpi * 2 + 72) / 144);
}

unsigned MarginDots(unsigned points, unsigned dpi) {
    return (unsigned)((unsigned long long)points * dpi / 72);
}

}  // namespace

PageFit::PageFit(const cups_page_header_s &rendered, unsigned widthPoints, unsigned heightPoints)
    : header(rendered), sourceWidth(rendered.cupsWidth) {
    const unsigned xdpi = rendered.HWResolution[0], ydpi = rendered.HWResolution[1];
    if (xdpi == 0 || ydpi == 0 || widthPoints <= 2 * kMarginPoints ||
        heightPoints <= 2 * kMarginPoints || rendered.cupsBitsPerPixel != 8)
        return;  // the core refuses or reports such a page as it is
    header.PageSize[0] = widthPoints;
    header.PageSize[1] = heightPoints;
    header.Margins[0] = header.Margins[1] = kMarginPoints;
    header.cupsWidth = PointsToDots(widthPoints - 2 * kMarginPoints, xdpi);
    header.cupsHeight = PointsToDots(heightPoints - 2 * kMarginPoints, ydpi);
    header.cupsBytesPerLine = header.cupsWidth;
    dx = (long)MarginDots(kMarginPoints, xdpi) - (long)MarginDots(rendered.Margins[0], xdpi);
    dy = (long)MarginDots(kMarginPoints, ydpi) - (long)MarginDots(rendered.Margins[1], ydpi);
    fitted.assign(header.cupsWidth, 0);
}

long PageFit::TargetRow(unsigned y) const {
    const long row = (long)y - dy;
    return row >= 0 && row < (long)header.cupsHeight ? row : -1;
}

const unsigned char *PageFit::White() {
    fitted.resize(header.cupsWidth);
    std::fill(fitted.begin(), fitted.end(), header.cupsColorSpace == CUPS_CSPACE_K ? 0 : 255);
    return fitted.data();
}

const unsigned char *PageFit::Fit(const unsigned char *row) {
    if (fitted.empty())
        return row;
    White();
    const long from = std::max(0L, -dx);  // first core column the rendering has
    const long to = std::min((long)fitted.size(), (long)sourceWidth - dx);
    if (to > from)
        memcpy(fitted.data() + from, row + from + dx, (size_t)(to - from));
    return fitted.data();
}

}  // namespace printerapp
