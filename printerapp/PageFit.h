// The pages the application renders itself (PDF, JPEG, PNG) laid out as the CUPS filter
// lays out the same paper: the queue's PPD gives the filter a raster of the paper less
// 12 points on every side, rounded to whole dots, with those margins around it. A page
// rendered on the whole paper (as PAPPL and Ghostscript here do, each rounding the paper
// its own way) is cut to that raster, so one paper gives one page size in dots, one
// margin and one band layout whichever front end prints it.
#ifndef GDI_PRINTERAPP_PAGEFIT_H
#define GDI_PRINTERAPP_PAGEFIT_H

#include <cups/raster.h>

#include <vector>

namespace printerapp {

class PageFit {
public:
    // The layout of a page whose rendered header is `rendered`, on paper of the given size
    // in points (the PPDs' size of that paper).
    PageFit(const cups_page_header_s &rendered, unsigned widthPoints, unsigned heightPoints);

    // The header the driver core gets.
    const cups_page_header_s &Header() const { return header; }
    // The row of the core's raster that rendered row `y` becomes, or -1 when it lies in
    // the margins.
    long TargetRow(unsigned y) const;
    // Rendered row -> the core's row: the columns in the margins are left out, those
    // the rendering lacks are white.
    const unsigned char *Fit(const unsigned char *row);
    // A white row of the core's raster, for rows above the rendering.
    const unsigned char *White();

private:
    cups_page_header_s header;
    long dx = 0, dy = 0;  // rendered column/row = core column/row + dx/dy
    unsigned sourceWidth = 0;
    std::vector<unsigned char> fitted;
};

}  // namespace printerapp

#endif
