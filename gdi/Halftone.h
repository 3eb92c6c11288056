// Ordered-dither halftoning of 8-bit grey bands (0 white .. 255 black) into 1-bit bands.
#ifndef GDI_GDI_HALFTONE_H
#define GDI_GDI_HALFTONE_H

#include <cstddef>
#include <cstdint>

struct SorterDC_s;

// Writes the dots of one run of equal grey into one output row.
typedef void (*PasteRunProc)(SorterDC_s *sorter, unsigned char *outRow, const unsigned char *level,
                             unsigned int pageLine, uint16_t firstPixel, uint16_t pixelCount);

// One band's halftoning job, built afresh for every band.
struct SorterDC_s {
    const unsigned char *pMapDitherTbl;  // level patterns: MapDitherTblMono
    uint16_t patternRowBytes;            // bytes of one pattern row of one level (3)
    uint16_t levelBytes;                 // bytes of one level's whole pattern (72)
    uint16_t cellSize;                   // cell width and height in pixels (24)
    uint16_t lineWidth;                  // pixels per line, a multiple of 8; grey line stride
    uint16_t lineCount;                  // lines in the band
    uint16_t bandIndex;                  // the band's index within its page
    PasteRunProc pfnPaste;               // Paste1MappedMonoLineData
};

// Halftones lineCount lines of `width` grey bytes (width rounded down to a multiple
// of 8) into rows of ((width + 31) / 32) * 4 bytes; bandIndex places the band's first
// line at page line bandIndex * 256 in the screen. The result is not used.
int ApplyGrayRasterHalftone(const unsigned char *greyBand, int width, int bandIndex, int lineCount,
                            unsigned char *output);

// Halftones the band described by `sorter` run by run, through sorter->pfnPaste, after
// clearing the output. Always returns 1.
int RastHalftone(SorterDC_s *sorter, const unsigned char *greyBand, unsigned char *output);

// The ways a band can be halftoned; all give the same bytes.
enum class HalftoneKernel {
    kRunPaste,  // RastHalftone: runs of equal grey, pasted from the level patterns
    kSse2,      // 16 grey bytes compared at once with a row of thresholds (x86-64)
    kAvx2,      // 32 grey bytes at once (x86-64 processors with AVX2)
    kPortable,  // 8 grey bytes at once in one 64-bit word (any processor)
    kNeon,      // 64 grey bytes at once (64-bit ARM)
};

// Whether this build and this processor can use the kernel.
bool IsHalftoneKernelAvailable(HalftoneKernel kernel);

// The kernel ApplyGrayRasterHalftone uses: the widest available one, else kPortable.
HalftoneKernel SelectedHalftoneKernel();

// A short name of the kernel for reports ("AVX2", "portable", ...).
const char *HalftoneKernelName(HalftoneKernel kernel);

// The screen's thresholds as the compare kernels read them: each cell row repeated over
// 160 bytes.
constexpr unsigned int kHalftoneScreenRowBytes = 160;
struct HalftoneScreen {
    alignas(32) unsigned char row[24][kHalftoneScreenRowBytes];
};

// The screen for grey levels as the page holds them.
const HalftoneScreen &PlainHalftoneScreen();

// Whether a tone table can be folded into the screen: it keeps 0 at 0 (white paper, and
// the zero bytes of margins and missing rows, stay white), never decreases, and maps 255
// like 254. Then toned level >= threshold m exactly when the level before toning reaches
// the lowest level that the table maps to m or above, so one compare does both.
bool CanFoldTone(const uint16_t table[256]);
// Builds the screen for levels before `table`; false (screen untouched) when it cannot be
// folded. Lines halftoned with it must have passed through ClampForFoldedScreen.
bool FoldToneIntoScreen(const uint16_t table[256], HalftoneScreen *screen);
// Copies `length` grey bytes with 255 made 254 (which a foldable table maps alike), so
// that a threshold of 255 in a folded screen is one no level reaches. `from` and `to` are
// the same line or do not overlap. Returns false when every byte was 0 (white).
bool ClampForFoldedScreen(const unsigned char *from, unsigned char *to, size_t length);

// ApplyGrayRasterHalftone with a chosen kernel; an unavailable kernel falls back to
// kRunPaste. With `folded`, the band holds levels before the tone table that screen was
// folded with (kRunPaste then works as kPortable). Returns 0, writing nothing, for a null
// band or output, a negative argument, or a width, line count or band index beyond 65535.
int ApplyGrayRasterHalftoneWith(HalftoneKernel kernel, const unsigned char *greyBand, int width,
                                int bandIndex, int lineCount, unsigned char *output,
                                const HalftoneScreen *folded = nullptr);

#endif
