// Synthetic CUPS raster jobs written through libcups, and the page the printer should
// print for them, worked out independently of the filter's own page handling.
#ifndef GDI_TESTS_E2E_RASTER_JOB_H
#define GDI_TESTS_E2E_RASTER_JOB_H

#include <cups/raster.h>

#include <string>
#include <vector>

#include "tools/gdi_decode.h"

namespace gditest {

struct TestPage {
    unsigned width = 640;  // pixels
    unsigned height = 480;
    cups_cspace_t colorSpace = CUPS_CSPACE_K;
    unsigned marginPoints[2] = {12, 12};
    unsigned resolution[2] = {600, 600};
    unsigned numCopies = 1;
    unsigned collate = 0;
    unsigned seed = 1;
    // Rows of the page that reach the filter; the printed page is white below them.
    unsigned rowsArrived = 0xFFFFFFFFu;
};

// Grey level (0 white .. 255 black in the page's own colour space) of a pixel:
// gradients, noise and solid blocks, different on every page.
unsigned char SourcePixel(const TestPage &page, unsigned x, unsigned y);

// Writes the pages as a CUPS raster stream; false when libcups refuses.
bool WriteRasterJob(const std::string &path, const std::vector<TestPage> &pages,
                    cups_mode_t mode = CUPS_RASTER_WRITE);

struct PrintSettings {
    int brightness = 0;  // levels -75 .. 75
    int contrast = 0;
    bool longEdge = false;
    unsigned duplexStyle = 0;  // 0 none, 1 no tumble, 2 tumble
};

// A 1-bit page as the printer receives it: rows of width / 8 bytes.
struct Bitmap {
    unsigned width = 0;  // the aligned line width
    unsigned height = 0;
    std::vector<unsigned char> bits;
    bool Get(unsigned x, unsigned y) const {
        return (bits[(size_t)y * (width / 8) + x / 8] >> (7 - x % 8)) & 1;
    }
};

// The page the filter must send for `page` as page number `pageNumber` of the job:
// toned, placed with its margins, turned for long-edge feed and duplex back sides,
// and screened with the plain threshold rule.
Bitmap ExpectedPage(const TestPage &page, unsigned pageNumber, const PrintSettings &settings);

// The blank page appended to an odd duplex job.
Bitmap ExpectedBlankPage(const TestPage &lastPage, const PrintSettings &settings);

// Decodes every band of a page of a parsed stream.
bool DecodePage(const gdidecode::ParsedPage &page, Bitmap *bitmap, std::string *error);

// Index of the first differing pixel as "x,y", or "" when the bitmaps are equal.
std::string FirstDifference(const Bitmap &expected, const Bitmap &actual);

// Parses a printer stream with gdidecode's parser; on failure `why` tells where and why.
bool ParseStream(const std::string &bytes, gdidecode::ParsedStream *stream, std::string *why);

}  // namespace gditest

#endif
