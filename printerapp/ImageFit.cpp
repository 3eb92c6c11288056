// Placing and scaling a picture for the page.
#include "printerapp/ImageFit.h"

#include <stdint.h>

#include <new>

namespace printerapp {

namespace {

bool IsQuarterTurn(Turn turn) {
    return turn == Turn::kLeft || turn == Turn::kRight;
}

Turn TurnFor(int orientation, unsigned imageWidth, unsigned imageHeight, const PageArea &page) {
    switch (orientation) {
        case kOrientPortrait:
            return Turn::kNone;
        case kOrientLandscape:
            return Turn::kLeft;
        case kOrientReverseLandscape:
            return Turn::kRight;
        case kOrientReversePortrait:
            return Turn::kHalf;
        default:
            return imageWidth > imageHeight && page.width < page.height ? Turn::kLeft : Turn::kNone;
    }
}

// `value` x `times` / `by`, at least 1.
unsigned Scaled(unsigned value, unsigned times, unsigned by) {
    const uint64_t scaled = (uint64_t)value * times / by;
    return scaled == 0 ? 1 : (unsigned)scaled;
}

}  // namespace

bool PlaceImage(const PageArea &page, unsigned imageWidth, unsigned imageHeight, int orientation,
                ImagePlace *place) {
    if (imageWidth == 0 || imageHeight == 0 || (uint64_t)page.left + page.right >= page.width ||
        (uint64_t)page.top + page.bottom >= page.height)
        return false;
    const unsigned areaWidth = page.width - page.left - page.right;
    const unsigned areaHeight = page.height - page.top - page.bottom;
    place->turn = TurnFor(orientation, imageWidth, imageHeight, page);
    // The picture's size as it lies on the page.
    const unsigned wide = IsQuarterTurn(place->turn) ? imageHeight : imageWidth;
    const unsigned high = IsQuarterTurn(place->turn) ? imageWidth : imageHeight;
    place->width = areaWidth;
    place->height = Scaled(areaWidth, high, wide);
    if (place->height > areaHeight) {
        place->height = areaHeight;
        place->width = Scaled(areaHeight, wide, high);
        if (place->width > areaWidth)
            place->width = areaWidth;
    }
    place->left = page.left + (areaWidth - place->width) / 2;
    place->top = page.top + (areaHeight - place->height) / 2;
    return true;
}

void NeededSize(const ImagePlace &place, unsigned *width, unsigned *height) {
    *width = IsQuarterTurn(place.turn) ? place.height : place.width;
    *height = IsQuarterTurn(place.turn) ? place.width : place.height;
}

bool FittedImage::Begin(const ImagePlace &where, unsigned width, unsigned height) {
    place = where;
    sourceHeight = height;
    nextLine = nextRow = 0;
    lines = IsQuarterTurn(place.turn) ? place.width : place.height;
    const unsigned across = IsQuarterTurn(place.turn) ? place.height : place.width;
    try {
        pixels.assign((size_t)place.width * place.height, 255);
        sourceColumn.resize(across);
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (unsigned i = 0; i < across; ++i)
        sourceColumn[i] = (unsigned)((uint64_t)i * width / across);
    return true;
}

void FittedImage::AddRow(const unsigned char *row) {
    if (nextRow >= sourceHeight)
        return;
    // Line k of the place shows row k x rows / lines: each line takes the last row at or
    // before its own position, so rows arrive once and lines are written once.
    while (nextLine < lines && (uint64_t)nextLine * sourceHeight / lines == nextRow)
        putLine(nextLine++, row);
    ++nextRow;
}

void FittedImage::putLine(unsigned line, const unsigned char *row) {
    const unsigned width = place.width, height = place.height;
    const size_t across = sourceColumn.size();
    switch (place.turn) {
        case Turn::kNone: {
            unsigned char *to = &pixels[(size_t)line * width];
            for (size_t j = 0; j < across; ++j)
                to[j] = row[sourceColumn[j]];
            break;
        }
        case Turn::kHalf: {
            unsigned char *to = &pixels[(size_t)(height - 1 - line) * width];
            for (size_t j = 0; j < across; ++j)
                to[width - 1 - j] = row[sourceColumn[j]];
            break;
        }
        case Turn::kLeft:  // the row's left end at the page's bottom
            for (size_t j = 0; j < across; ++j)
                pixels[(height - 1 - j) * width + line] = row[sourceColumn[j]];
            break;
        case Turn::kRight:  // the row's left end at the page's top
            for (size_t j = 0; j < across; ++j)
                pixels[j * width + (width - 1 - line)] = row[sourceColumn[j]];
            break;
    }
}

}  // namespace printerapp
