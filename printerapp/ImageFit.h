// A picture fitted to the page: where it goes and how it is turned, and its pixels scaled
// to that place as the picture's rows arrive. Only the placed picture is held, never the
// picture itself, so the memory a picture takes is bounded by the page, whatever size the
// picture claims.
#ifndef GDI_PRINTERAPP_IMAGEFIT_H
#define GDI_PRINTERAPP_IMAGEFIT_H

#include <stddef.h>

#include <vector>

namespace printerapp {

// How the picture is turned on the page: a quarter turn counter-clockwise (kLeft, the
// picture's top to the page's left side), clockwise (kRight), or half a turn.
enum class Turn { kNone, kLeft, kRight, kHalf };

// The page in dots and the margins the picture stays within.
struct PageArea {
    unsigned width = 0, height = 0;
    unsigned left = 0, top = 0, right = 0, bottom = 0;
};

// The picture on the page, in dots: its box as printed (turned) and its turn.
struct ImagePlace {
    unsigned left = 0, top = 0, width = 0, height = 0;
    Turn turn = Turn::kNone;
};

// IPP's orientation-requested numbers; any other value lets the picture's shape decide.
constexpr int kOrientPortrait = 3, kOrientLandscape = 4, kOrientReverseLandscape = 5,
              kOrientReversePortrait = 6;

// The largest box of the picture's proportions within the margins, centred; a picture
// wider than high on an upright page is turned when no orientation is asked for. False
// when the margins leave no room or the picture has no size.
bool PlaceImage(const PageArea &page, unsigned imageWidth, unsigned imageHeight, int orientation,
                ImagePlace *place);

// The picture's size in pixels that gives every dot of the place a pixel of its own (the
// place's box turned back): a reader that can decode at a smaller scale needs no more.
void NeededSize(const ImagePlace &place, unsigned *width, unsigned *height);

class FittedImage {
public:
    // Prepares for `sourceHeight` rows of `sourceWidth` grey pixels (255 white); false
    // when there is no memory for the place.
    bool Begin(const ImagePlace &place, unsigned sourceWidth, unsigned sourceHeight);
    // The picture's next row, top to bottom.
    void AddRow(const unsigned char *row);
    // Row `y` of the place, `place.width` bytes; rows the picture never gave are white.
    const unsigned char *Row(unsigned y) const { return &pixels[(size_t)y * place.width]; }
    const ImagePlace &Place() const { return place; }

private:
    void putLine(unsigned line, const unsigned char *row);

    ImagePlace place;
    unsigned sourceHeight = 0;
    std::vector<unsigned char> pixels;
    std::vector<unsigned> sourceColumn;  // for each dot along a line, the row's pixel
    unsigned lines = 0;                  // lines the rows fill: rows, or turned, columns
    unsigned nextLine = 0;
    unsigned nextRow = 0;
};

}  // namespace printerapp

#endif
