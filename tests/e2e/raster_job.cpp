#include "tests/e2e/raster_job.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "gdi/DitherTables.h"
#include "tools/GreyRasterHeader.h"
#include "gdi/QNVImageProcess.h"

namespace gditest {

namespace {

uint32_t Mix(uint32_t v) {
    v ^= v >> 16;
    v *= 0x7feb352d;
    v ^= v >> 15;
    v *= 0x846ca68b;
    v ^= v >> 16;
    return v;
}

unsigned MarginDots(unsigned resolution, unsigned points) {
    return resolution * points / 72;
}

unsigned Align128(unsigned width) {
    return ((width + 7) / 8 * 8 + 127) & ~127u;
}

std::vector<unsigned char> ToneTable(const PrintSettings &settings) {
    QNVImageProcess tone;
    tone.GenerateGrayGammaTable(settings.brightness, settings.contrast);
    std::vector<unsigned char> table(256);
    for (unsigned i = 0; i < 256; ++i)
        table[i] = (unsigned char)i;
    tone.AdjustGrayscaleLine(table.data(), 256);
    return table;
}

// The grey page buffer the printer's page is screened from.
struct GreyPage {
    unsigned width, height;
    std::vector<unsigned char> dots;
    unsigned char &At(unsigned x, unsigned y) { return dots[(size_t)y * width + x]; }
};

bool TurnsBackSide(unsigned pageNumber, const PrintSettings &settings) {
    if (pageNumber % 2 != 0)
        return false;
    return (settings.duplexStyle == 1 && !settings.longEdge) ||
           (settings.duplexStyle == 2 && settings.longEdge);
}

GreyPage EmptyPage(const TestPage &page, const PrintSettings &settings) {
    const unsigned xMargin = MarginDots(page.resolution[0], page.marginPoints[0]);
    const unsigned yMargin = MarginDots(page.resolution[1], page.marginPoints[1]);
    const unsigned printedWidth = settings.longEdge ? page.height : page.width;
    const unsigned printedHeight = settings.longEdge ? page.width : page.height;
    GreyPage grey;
    grey.width = Align128(printedWidth + 2 * xMargin);
    grey.height = printedHeight + 2 * yMargin;
    grey.dots.assign((size_t)grey.width * grey.height, 0);
    return grey;
}

Bitmap Screen(GreyPage &grey, unsigned pageNumber, const PrintSettings &settings) {
    if (TurnsBackSide(pageNumber, settings))
        std::reverse(grey.dots.begin(), grey.dots.end());
    Bitmap bitmap;
    bitmap.width = grey.width;
    bitmap.height = grey.height;
    bitmap.bits.assign((size_t)grey.width / 8 * grey.height, 0);
    for (unsigned y = 0; y < grey.height; ++y) {
        for (unsigned x = 0; x < grey.width; ++x) {
            if (grey.At(x, y) >= kDitherThresholdMatrix[y % 24][x % 24]) {
                bitmap.bits[(size_t)y * (grey.width / 8) + x / 8] |=
                    (unsigned char)(0x80 >> (x % 8));
            }
        }
    }
    return bitmap;
}

}  // namespace

unsigned char SourcePixel(const TestPage &page, unsigned x, unsigned y) {
    const unsigned band = (x * 4) / std::max(1u, page.width);
    switch ((band + page.seed) % 4) {
        case 0:
            return (unsigned char)((x + y * 3 + page.seed * 17) & 0xFF);  // ramps
        case 1:
            return (unsigned char)Mix(x * 7919u + y * 104729u + page.seed);  // noise
        case 2:
            return ((x / 9 + y / 13 + page.seed) % 3 == 0) ? 255 : 0;  // glyph-like blocks
        default:
            return (unsigned char)(page.seed * 40 + y / 8);  // flat areas
    }
}

bool WriteRasterJob(const std::string &path, const std::vector<TestPage> &pages, cups_mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    cups_raster_t *raster = cupsRasterOpen(fd, mode);
    bool ok = raster != nullptr;
    for (const TestPage &page : pages) {
        if (!ok)
            break;
        cups_page_header2_t header = GreyRasterHeader(page.width, page.height);
        header.HWResolution[0] = page.resolution[0];
        header.HWResolution[1] = page.resolution[1];
        header.Margins[0] = page.marginPoints[0];
        header.Margins[1] = page.marginPoints[1];
        header.PageSize[0] =
            page.width * 72 / std::max(1u, page.resolution[0]) + 2 * page.marginPoints[0];
        header.PageSize[1] =
            page.height * 72 / std::max(1u, page.resolution[1]) + 2 * page.marginPoints[1];
        header.NumCopies = page.numCopies;
        header.Collate = page.collate ? CUPS_TRUE : CUPS_FALSE;
        header.cupsColorSpace = page.colorSpace;
        ok = cupsRasterWriteHeader2(raster, &header) != 0;
        std::vector<unsigned char> line(page.width);
        for (unsigned y = 0; ok && y < page.height; ++y) {
            for (unsigned x = 0; x < page.width; ++x)
                line[x] = SourcePixel(page, x, y);
            ok = cupsRasterWritePixels(raster, line.data(), page.width) == page.width;
        }
    }
    if (raster != nullptr)
        cupsRasterClose(raster);
    close(fd);
    return ok;
}

Bitmap ExpectedPage(const TestPage &page, unsigned pageNumber, const PrintSettings &settings) {
    const std::vector<unsigned char> tone = ToneTable(settings);
    const bool whiteIsHigh = page.colorSpace == CUPS_CSPACE_W || page.colorSpace == CUPS_CSPACE_SW;
    const unsigned xMargin = MarginDots(page.resolution[0], page.marginPoints[0]);
    const unsigned yMargin = MarginDots(page.resolution[1], page.marginPoints[1]);
    GreyPage grey = EmptyPage(page, settings);
    for (unsigned row = 0; row < std::min(page.height, page.rowsArrived); ++row) {
        for (unsigned col = 0; col < page.width; ++col) {
            unsigned char level = SourcePixel(page, col, row);
            if (whiteIsHigh)
                level = (unsigned char)(255 - level);
            level = tone[level];
            if (settings.longEdge) {
                // Long-edge feed turns the page a quarter counter-clockwise: the top
                // row becomes the left column, read from the bottom up.
                grey.At(xMargin + row, yMargin + page.width - 1 - col) = level;
            } else {
                grey.At(xMargin + col, yMargin + row) = level;
            }
        }
    }
    return Screen(grey, pageNumber, settings);
}

Bitmap ExpectedBlankPage(const TestPage &lastPage, const PrintSettings &settings) {
    GreyPage grey = EmptyPage(lastPage, settings);
    return Screen(grey, 2, settings);
}

bool DecodePage(const gdidecode::ParsedPage &page, Bitmap *bitmap, std::string *error) {
    bitmap->width = page.record.page.width;
    bitmap->height = page.record.page.height;
    bitmap->bits.assign((size_t)bitmap->width / 8 * bitmap->height, 0);
    for (const gdidecode::ParsedBand &band : page.bands) {
        std::vector<uint8_t> bits;
        if (!gdidecode::DecodeBand(band.data.data(), band.data.size(), band.record.band.width,
                                   band.record.band.lines, &bits, error)) {
            return false;
        }
        const size_t offset = (size_t)band.record.band.firstLine * (bitmap->width / 8);
        if (offset + bits.size() > bitmap->bits.size()) {
            *error = "band beyond the page";
            return false;
        }
        std::copy(bits.begin(), bits.end(), bitmap->bits.begin() + (long)offset);
    }
    return true;
}

std::string FirstDifference(const Bitmap &expected, const Bitmap &actual) {
    if (expected.width != actual.width || expected.height != actual.height) {
        return "size " + std::to_string(actual.width) + "x" + std::to_string(actual.height) +
               " instead of " + std::to_string(expected.width) + "x" +
               std::to_string(expected.height);
    }
    for (unsigned y = 0; y < expected.height; ++y) {
        for (unsigned x = 0; x < expected.width; ++x) {
            if (expected.Get(x, y) != actual.Get(x, y)) {
                return std::to_string(x) + "," + std::to_string(y);
            }
        }
    }
    return "";
}

bool ParseStream(const std::string &bytes, gdidecode::ParsedStream *stream, std::string *why) {
    gdidecode::ParseError error;
    if (gdidecode::ParseBuffer(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                               stream, &error))
        return true;
    *why = "offset " + std::to_string(error.offset) + ": " + error.reason;
    return false;
}

}  // namespace gditest
