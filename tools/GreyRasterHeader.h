// The page header of an 8-bit grey CUPS raster page, as the test jobs, the fuzz seeds
// and the benchmark write them through libcups.
#ifndef GDI_TOOLS_GREYRASTERHEADER_H
#define GDI_TOOLS_GREYRASTERHEADER_H

#include <cups/raster.h>
#include <string.h>

// `width` x `height` dots of 8-bit grey (colour space K, 0 white) at `dpi`, with
// `marginPoints` on every side of an A4 sheet, one copy; the caller changes the rest.
inline cups_page_header2_t GreyRasterHeader(unsigned width, unsigned height, unsigned dpi = 600,
                                            unsigned marginPoints = 12) {
    cups_page_header2_t h;
    memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = dpi;
    h.Margins[0] = h.Margins[1] = marginPoints;
    h.PageSize[0] = 595;
    h.PageSize[1] = 842;
    h.NumCopies = 1;
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = 8;
    h.cupsBitsPerPixel = 8;
    h.cupsBytesPerLine = width;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;
    h.cupsNumColors = 1;
    return h;
}

#endif
