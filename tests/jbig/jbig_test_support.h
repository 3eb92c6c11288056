// Test images, our encoder driven through its entry points, and JBIG-KIT's T.85 encoder and
// decoder as the independent reference.
#ifndef GDI_TESTS_JBIG_JBIG_TEST_SUPPORT_H
#define GDI_TESTS_JBIG_JBIG_TEST_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "jbig/ovtJBIG.h"

namespace jbigtest {

using Bytes = std::vector<unsigned char>;

// 1-bit image, first pixel in the most significant bit, bits beyond the width 0.
struct Bitmap {
    uint32_t width = 0;
    uint32_t height = 0;
    size_t bytesPerLine = 0;
    Bytes bits;

    Bitmap() = default;
    Bitmap(uint32_t w, uint32_t h);
    bool get(uint32_t x, uint32_t y) const;
    void set(uint32_t x, uint32_t y, bool value = true);
    const unsigned char *line(uint32_t y) const { return bits.data() + y * bytesPerLine; }
    unsigned char *line(uint32_t y) { return bits.data() + y * bytesPerLine; }
    void clearTailBits();  // zeroes the bits beyond the width in every line
};

enum class Content {
    kEmpty,
    kFull,
    kRandom,     // density = probability of a 1
    kText,       // sparse glyph-like strokes in text lines
    kHalftone,   // ordered dither of a gradient
    kFfLines,    // lines of 0xFF bytes mixed with random and empty lines
    kDotGrid,    // isolated dots over white (context 0 sees mostly 1s), then white
    kVertical,   // vertical bars: many lines equal to the line above
    kBlankRuns,  // runs of blank lines between lines of dots, spans, random bytes (density)
                 // and lines whose checksum is 0
};

Bitmap makeImage(Content content, uint32_t width, uint32_t height, double density, uint32_t seed);
std::string contentName(Content content);

struct EncodeOptions {
    uint32_t stripeLines = 256;
    bool typicalPrediction = false;
    uint32_t blockSize = 0x8000;      // block size the write callback hands out
    std::vector<uint32_t> addCounts;  // lines per OvtJBIGImageBandAdd call; empty: all at once
    uint32_t maxWidthSlack = 0;       // encoder created for width + slack
    int codingStep = kJbigCodingByLine;
};

struct EncodeResult {
    Bytes bie;
    int beginResult = 0;
    int addResult = 0;
    int endResult = 0;
    uint32_t callbackCalls = 0;
    uint32_t busyLines = 0;   // lines coded with the branch-free step
    uint32_t quietLines = 0;  // lines coded with the branching step
};

// Codes the image with our encoder (OvtJBIGEncoderInit .. OvtJBIGEncoderDeinit).
EncodeResult encodeOurs(const Bitmap &image, const EncodeOptions &options);

// Codes the image with JBIG-KIT's T.85 encoder (LRLTWO, MX 0, the given L0).
Bytes encodeJbigKit(const Bitmap &image, uint32_t stripeLines, bool typicalPrediction);

// Decodes a BIE with JBIG-KIT's T.85 decoder. Returns false on a decoder error.
bool decodeJbigKit(const Bytes &bie, Bitmap *image, std::string *error);

// Copy of a BIE with the order byte of the header set to 0, as JBIG-KIT writes it.
Bytes withOrderByteCleared(const Bytes &bie);

std::string hex(const Bytes &bytes, size_t first = 0, size_t count = SIZE_MAX);

// An encoder allocator that refuses the allocation numbered `failing` (0 the first; -1
// none) and counts the blocks not given back.
class FailingAllocator {
public:
    explicit FailingAllocator(int failing) : failing_(failing) {}
    JBIGEncoderSetup setup(int contextKernel = kJbigContextsFastest);
    bool allFreed() const { return outstanding_ == 0; }
    int allocations() const { return calls_; }

private:
    static void *allocate(void *self, size_t size, int zeroFill);
    static void release(void *self, void *block);
    int failing_;
    int calls_ = 0;
    int outstanding_ = 0;
};

}  // namespace jbigtest

#endif
