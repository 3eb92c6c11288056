// The 24 x 24 ordered-dither screen: its threshold matrix, the ready-made dot patterns of
// every grey level, and the edge masks used when pasting a run of pixels.
#ifndef GDI_GDI_DITHERTABLES_H
#define GDI_GDI_DITHERTABLES_H

#include <array>
#include <cstddef>

constexpr unsigned int kDitherCellSize = 24;        // cell width and height in pixels
constexpr unsigned int kDitherPatternRowBytes = 3;  // one cell row of one level
constexpr unsigned int kDitherLevelBytes = kDitherCellSize * kDitherPatternRowBytes;
constexpr std::size_t kDitherTableBytes = 256 * kDitherLevelBytes;

// Threshold of the pixel at cell row r, column c: a pixel of grey level g (0 white ..
// 255 black) is a dot exactly when g >= kDitherThresholdMatrix[r][c]. Every value
// 1 .. 255 occurs, so level 0 sets no dot and level 255 every dot.
// clang-format off
inline constexpr unsigned char kDitherThresholdMatrix[kDitherCellSize][kDitherCellSize] = {
  {  4,  18,  68, 206, 248, 229, 159,  27,   1,  12,  64, 218, 255, 239, 164,  31,   2,  16,  67, 210, 251, 233, 161,  33},
  { 11,  26,  83, 187, 240, 220, 144,  40,   5,  20,  76, 194, 246, 228, 150,  43,   8,  23,  80, 190, 242, 223, 146,  45},
  { 63,  75, 111, 134, 165, 151, 111,  84,  58,  69, 103, 142, 172, 158, 122,  87,  61,  72, 107, 137, 168, 154, 115,  90},
  {201, 184, 131,  54,  36,  48,  96, 177, 199, 183, 129,  52,  35,  46,  92, 179, 202, 185, 132,  53,  35,  47,  94, 178},
  {253, 237, 163,  30,   2,  15,  66, 212, 252, 235, 162,  28,   1,  13,  65, 216, 254, 238, 163,  28,   1,  14,  65, 215},
  {244, 225, 149,  42,   7,  22,  79, 191, 243, 224, 147,  40,   5,  20,  77, 193, 245, 226, 149,  41,   6,  21,  78, 192},
  {170, 156, 119,  86,  60,  71, 107, 138, 168, 155, 116,  84,  59,  70, 104, 141, 171, 157, 120,  85,  59,  70, 105, 140},
  { 34,  46,  92, 179, 203, 186, 132,  56,  38,  50, 100, 175, 196, 181, 126,  56,  38,  49,  98, 175, 197, 181, 127,  52},
  {  1,  12,  64, 217, 254, 239, 164,  32,   3,  17,  68, 207, 249, 231, 160,  31,   2,  17,  67, 209, 250, 232, 160,  27},
  {  5,  20,  77, 194, 246, 227, 150,  44,  10,  25,  82, 188, 241, 221, 145,  43,   9,  24,  81, 189, 242, 222, 145,  40},
  { 58,  69, 103, 141, 172, 157, 121,  88,  62,  74, 110, 135, 166, 152, 112,  88,  62,  73, 108, 136, 167, 153, 113,  84},
  {195, 180, 125,  54,  37,  48,  96, 176, 198, 183, 129,  51,  33,  45,  90, 179, 205, 187, 134,  57,  39,  50, 100, 174},
  {248, 230, 159,  30,   2,  16,  66, 211, 251, 234, 161,  26,   1,  11,  63, 219, 255, 240, 164,  32,   3,  18,  68, 206},
  {241, 221, 144,  43,   8,  23,  80, 191, 243, 224, 147,  39,   4,  19,  75, 194, 247, 228, 151,  44,  10,  25,  82, 188},
  {165, 152, 112,  87,  61,  72, 107, 137, 168, 154, 115,  83,  58,  69, 102, 143, 173, 159, 123,  89,  62,  74, 110, 134},
  { 35,  46,  93, 178, 201, 185, 131,  53,  35,  47,  94, 178, 200, 184, 130,  54,  36,  47,  95, 177, 199, 183, 130,  53},
  {  1,  13,  65, 215, 254, 237, 163,  29,   1,  14,  65, 214, 253, 236, 162,  29,   2,  15,  66, 213, 252, 236, 162,  28},
  {  6,  21,  77, 193, 244, 226, 149,  42,   7,  21,  78, 192, 244, 225, 148,  42,   7,  22,  79, 191, 243, 225, 148,  41},
  { 59,  70, 104, 141, 171, 156, 119,  85,  60,  71, 105, 139, 170, 156, 118,  86,  60,  71, 106, 139, 169, 155, 117,  85},
  {204, 187, 133,  55,  37,  49,  98, 176, 197, 182, 128,  56,  38,  50,  99, 175, 196, 181, 126,  51,  34,  45,  91, 179},
  {255, 240, 164,  31,   2,  16,  67, 210, 251, 232, 161,  31,   3,  17,  68, 208, 250, 231, 160,  26,   1,  12,  64, 218},
  {247, 228, 150,  43,   9,  24,  81, 190, 242, 223, 146,  44,   9,  24,  81, 189, 241, 221, 145,  39,   5,  19,  76, 194},
  {173, 158, 122,  87,  62,  73, 108, 137, 167, 153, 114,  88,  62,  73, 109, 136, 166, 153, 113,  83,  58,  69, 102, 143},
  { 39,  50, 101, 174, 195, 180, 124,  51,  34,  46,  91, 179, 203, 186, 133,  55,  37,  49,  97, 176, 198, 182, 128,  57},
};
// clang-format on

// Dot pattern of level g, cell row r: the 3 bytes at g * kDitherLevelBytes +
// r * kDitherPatternRowBytes hold the 24 pixels of the row, most significant bit first.
constexpr std::array<unsigned char, kDitherTableBytes> BuildMapDitherTblMono() {
    std::array<unsigned char, kDitherTableBytes> table{};
    for (unsigned int level = 0; level < 256; ++level) {
        for (unsigned int row = 0; row < kDitherCellSize; ++row) {
            for (unsigned int col = 0; col < kDitherCellSize; ++col) {
                if (level >= kDitherThresholdMatrix[row][col]) {
                    const std::size_t at =
                        level * kDitherLevelBytes + row * kDitherPatternRowBytes + col / 8;
                    table[at] = static_cast<unsigned char>(table[at] | (0x80u >> (col % 8)));
                }
            }
        }
    }
    return table;
}

// The patterns of all 256 levels, built at compile time.
extern const std::array<unsigned char, kDitherTableBytes> MapDitherTblMono;

// Masks of the destination bits a paste keeps, indexed by the pixel's position within
// its byte: pHead1b[k] marks the pixels before pixel k, pTail1b[k] those after it.
inline constexpr unsigned char pHead1b[8] = {0x00, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};
inline constexpr unsigned char pTail1b[8] = {0x7F, 0x3F, 0x1F, 0x0F, 0x07, 0x03, 0x01, 0x00};

#endif
