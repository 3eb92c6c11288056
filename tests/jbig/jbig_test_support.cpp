#include "tests/jbig/jbig_test_support.h"

#include <stdlib.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>

extern "C" {
#include <jbig85.h>
}

#include "jbig/ovtJBIG.h"

namespace jbigtest {

Bitmap::Bitmap(uint32_t w, uint32_t h)
    : width(w),
      height(h),
      bytesPerLine((static_cast<size_t>(w) + 7) / 8),
      bits(bytesPerLine * h, 0) {}

bool Bitmap::get(uint32_t x, uint32_t y) const {
    return (line(y)[x / 8] >> (7 - x % 8)) & 1;
}

void Bitmap::set(uint32_t x, uint32_t y, bool value) {
    unsigned char &byte = line(y)[x / 8];
    const unsigned char mask = static_cast<unsigned char>(0x80 >> (x % 8));
    byte = value ? (byte | mask) : (byte & ~mask);
}

void Bitmap::clearTailBits() {
    if (width % 8 == 0 || bytesPerLine == 0) {
        return;
    }
    const unsigned char keep = static_cast<unsigned char>(0xFF << (8 - width % 8));
    for (uint32_t y = 0; y < height; ++y) {
        line(y)[bytesPerLine - 1] &= keep;
    }
}

namespace {

void drawRect(Bitmap *image, int64_t x0, int64_t y0, int64_t w, int64_t h) {
    for (int64_t y = std::max<int64_t>(y0, 0); y < std::min<int64_t>(y0 + h, image->height); ++y) {
        for (int64_t x = std::max<int64_t>(x0, 0); x < std::min<int64_t>(x0 + w, image->width);
             ++x) {
            image->set(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
        }
    }
}

// Lines of "words" made of glyph-like boxes of strokes, with gaps between lines and words.
void drawText(Bitmap *image, std::mt19937 &rng) {
    const int64_t pitch = 50, glyphHeight = 30, margin = 12;
    std::uniform_int_distribution<int> glyphWidth(14, 26), stroke(3, 5), kind(0, 5),
        wordLength(2, 9), gap(4, 8);
    for (int64_t top = margin; top < static_cast<int64_t>(image->height); top += pitch) {
        int64_t x = margin;
        while (x < static_cast<int64_t>(image->width) - margin) {
            const int letters = wordLength(rng);
            for (int i = 0; i < letters && x < static_cast<int64_t>(image->width); ++i) {
                const int64_t w = glyphWidth(rng), s = stroke(rng);
                switch (kind(rng)) {
                    case 0:  // o
                        drawRect(image, x, top + 10, w, s);
                        drawRect(image, x, top + glyphHeight - s, w, s);
                        drawRect(image, x, top + 10, s, glyphHeight - 10);
                        drawRect(image, x + w - s, top + 10, s, glyphHeight - 10);
                        break;
                    case 1:  // l
                        drawRect(image, x + w / 2, top, s, glyphHeight);
                        break;
                    case 2:  // n
                        drawRect(image, x, top + 10, s, glyphHeight - 10);
                        drawRect(image, x, top + 10, w, s);
                        drawRect(image, x + w - s, top + 10, s, glyphHeight - 10);
                        break;
                    case 3:  // e-ish
                        drawRect(image, x, top + 10, w, s);
                        drawRect(image, x, top + 19, w, s);
                        drawRect(image, x, top + glyphHeight - s, w, s);
                        drawRect(image, x, top + 10, s, glyphHeight - 10);
                        break;
                    case 4:  // diagonal stroke
                        for (int64_t k = 0; k < glyphHeight; ++k) {
                            drawRect(image, x + k * w / glyphHeight, top + k, s, 1);
                        }
                        break;
                    default:  // dot and stem
                        drawRect(image, x + w / 3, top, s, s);
                        drawRect(image, x + w / 3, top + 10, s, glyphHeight - 10);
                        break;
                }
                x += w + gap(rng) / 2;
            }
            x += 3 * gap(rng);
        }
    }
}

// Runs of 1 to 60 blank lines alternate with runs of 1 to 5 lines of: a dot at the first
// pixel, the last pixel or anywhere, a span of 1 to 400 pixels, random bytes of the given
// density, or 0x80 bytes at offsets 0 and 4 (a line whose wrapping checksum is 0).
void drawBlankRuns(Bitmap *image, double density, std::mt19937 &rng) {
    const uint32_t width = image->width;
    if (width == 0) {
        return;
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<uint32_t> blankLines(1, 60), contentLines(1, 5), kind(0, 5),
        column(0, width - 1), spanLength(1, 400);
    uint32_t y = 0;
    while (y < image->height) {
        y += blankLines(rng);
        for (uint32_t n = contentLines(rng); n > 0 && y < image->height; --n, ++y) {
            switch (kind(rng)) {
                case 0:
                    image->set(0, y);
                    break;
                case 1:
                    image->set(width - 1, y);
                    break;
                case 2:
                    image->set(column(rng), y);
                    break;
                case 3: {
                    const uint32_t first = column(rng);
                    const uint32_t last = std::min(width - 1, first + spanLength(rng) - 1);
                    for (uint32_t x = first; x <= last; ++x) {
                        image->set(x, y);
                    }
                    break;
                }
                case 4:
                    for (uint32_t x = 0; x < width; ++x) {
                        image->set(x, y, unit(rng) < density);
                    }
                    break;
                default:
                    if (image->bytesPerLine >= 5) {
                        image->line(y)[0] = 0x80;
                        image->line(y)[4] = 0x80;
                    } else {
                        image->set(width / 2, y);
                    }
                    break;
            }
        }
    }
}

}  // namespace

Bitmap makeImage(Content content, uint32_t width, uint32_t height, double density, uint32_t seed) {
    Bitmap image(width, height);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    switch (content) {
        case Content::kEmpty:
            break;
        case Content::kFull:
            std::fill(image.bits.begin(), image.bits.end(), 0xFF);
            break;
        case Content::kRandom:
            for (uint32_t y = 0; y < height; ++y) {
                for (uint32_t x = 0; x < width; ++x) {
                    if (unit(rng) < density) {
                        image.set(x, y);
                    }
                }
            }
            break;
        case Content::kText:
            drawText(&image, rng);
            break;
        case Content::kHalftone: {
            static const int kBayer[8][8] = {
                {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};
            for (uint32_t y = 0; y < height; ++y) {
                for (uint32_t x = 0; x < width; ++x) {
                    const double grey =
                        64.0 * (x + 0.5 * y) / (width + 0.5 * height + 1) + 8.0 * (unit(rng) - 0.5);
                    if (grey > kBayer[y % 8][x % 8]) {
                        image.set(x, y);
                    }
                }
            }
            break;
        }
        case Content::kFfLines:
            for (uint32_t y = 0; y < height; ++y) {
                const double kindOf = unit(rng);
                for (size_t i = 0; i < image.bytesPerLine; ++i) {
                    unsigned char byte = 0;
                    if (kindOf < 0.4) {
                        byte = 0xFF;
                    } else if (kindOf >= 0.6) {
                        byte = unit(rng) < 0.5 ? 0xFF : static_cast<unsigned char>(rng());
                    }
                    image.line(y)[i] = byte;
                }
            }
            break;
        case Content::kDotGrid:
            for (uint32_t y = 0; y < height * 2 / 3; y += 2) {
                for (uint32_t x = 0; x < width; x += 6) {
                    if (unit(rng) < density) {
                        image.set(x, y);
                    }
                }
            }
            break;
        case Content::kVertical: {
            std::vector<unsigned char> pattern(image.bytesPerLine);
            for (uint32_t y = 0; y < height; ++y) {
                if (y % 37 == 0) {
                    for (auto &byte : pattern) {
                        byte = unit(rng) < density ? static_cast<unsigned char>(rng()) : 0;
                    }
                }
                std::copy(pattern.begin(), pattern.end(), image.line(y));
            }
            break;
        }
        case Content::kBlankRuns:
            drawBlankRuns(&image, density, rng);
            break;
    }
    image.clearTailBits();
    return image;
}

std::string contentName(Content content) {
    switch (content) {
        case Content::kEmpty:
            return "empty";
        case Content::kFull:
            return "full";
        case Content::kRandom:
            return "random";
        case Content::kText:
            return "text";
        case Content::kHalftone:
            return "halftone";
        case Content::kFfLines:
            return "fflines";
        case Content::kDotGrid:
            return "dotgrid";
        case Content::kVertical:
            return "vertical";
        case Content::kBlankRuns:
            return "blankruns";
    }
    return "?";
}

namespace {

struct Collector {
    uint32_t blockSize;
    Bytes block;
    Bytes out;
    uint32_t calls = 0;
};

void collect(void *user, unsigned char **blockPointer, uint32_t *blockSize) {
    Collector *c = static_cast<Collector *>(user);
    ++c->calls;
    if (*blockPointer != nullptr) {
        c->out.insert(c->out.end(), *blockPointer, *blockPointer + *blockSize);
    }
    c->block.assign(c->blockSize, 0xA5);
    *blockPointer = c->block.data();
    *blockSize = c->blockSize;
}

void jbigKitOut(unsigned char *start, size_t len, void *file) {
    Bytes *out = static_cast<Bytes *>(file);
    out->insert(out->end(), start, start + len);
}

struct DecodeTarget {
    Bitmap *image;
    uint32_t linesSeen = 0;
    bool bad = false;
};

int jbigKitLineOut(const struct jbg85_dec_state *, unsigned char *start, size_t len,
                   unsigned long y, void *file) {
    DecodeTarget *t = static_cast<DecodeTarget *>(file);
    if (y >= t->image->height || len != t->image->bytesPerLine) {
        t->bad = true;
        return 0;
    }
    memcpy(t->image->line(static_cast<uint32_t>(y)), start, len);
    ++t->linesSeen;
    return 0;
}

}  // namespace

EncodeResult encodeOurs(const Bitmap &image, const EncodeOptions &options) {
    EncodeResult result;
    Collector collector{options.blockSize, {}, {}};
    JBIGEncoderSetup setup = OvtJBIGDefaultSetup();
    setup.codingStep = options.codingStep;
    JBIGEncoderState *state =
        OvtJBIGEncoderInitWith(image.width + options.maxWidthSlack,
                               options.typicalPrediction ? 0 : 1, collect, &collector, &setup);
    if (state == nullptr) {
        result.beginResult = -2;
        return result;
    }
    const JBIGImageSize size = {image.width, image.height};
    result.beginResult = OvtJBIGImageBegin(state, &size, options.stripeLines);
    uint32_t y = 0;
    for (uint32_t count : options.addCounts) {
        count = std::min(count, image.height - y);
        const int rc = OvtJBIGImageBandAdd(state, image.height ? image.line(y) : nullptr, count,
                                           static_cast<int32_t>(image.bytesPerLine));
        result.addResult = result.addResult ? result.addResult : rc;
        y += count;
    }
    if (y < image.height) {
        const int rc = OvtJBIGImageBandAdd(state, image.line(y), image.height - y,
                                           static_cast<int32_t>(image.bytesPerLine));
        result.addResult = result.addResult ? result.addResult : rc;
    }
    result.endResult = OvtJBIGImageEnd(state);
    result.busyLines = state->busyLines;
    result.quietLines = state->quietLines;
    OvtJBIGEncoderDeinit(state);
    result.bie = std::move(collector.out);
    result.callbackCalls = collector.calls;
    return result;
}

Bytes encodeJbigKit(const Bitmap &image, uint32_t stripeLines, bool typicalPrediction) {
    Bytes out;
    struct jbg85_enc_state s;
    jbg85_enc_init(&s, image.width, image.height, jbigKitOut, &out);
    jbg85_enc_options(&s, JBG_LRLTWO | (typicalPrediction ? JBG_TPBON : 0), stripeLines, 0);
    Bytes zero(image.bytesPerLine, 0);
    Bytes lines[3] = {zero, zero, zero};
    for (uint32_t y = 0; y < image.height; ++y) {
        Bytes &current = lines[y % 3];
        current.assign(image.line(y), image.line(y) + image.bytesPerLine);
        unsigned char *previous = y >= 1 ? lines[(y + 2) % 3].data() : zero.data();
        unsigned char *previous2 = y >= 2 ? lines[(y + 1) % 3].data() : zero.data();
        jbg85_enc_lineout(&s, current.data(), previous, previous2);
    }
    return out;
}

bool decodeJbigKit(const Bytes &bie, Bitmap *image, std::string *error) {
    if (bie.size() < 20) {
        *error = "BIE shorter than its header";
        return false;
    }
    const uint32_t width =
        (uint32_t{bie[4]} << 24) | (uint32_t{bie[5]} << 16) | (uint32_t{bie[6]} << 8) | bie[7];
    const uint32_t height =
        (uint32_t{bie[8]} << 24) | (uint32_t{bie[9]} << 16) | (uint32_t{bie[10]} << 8) | bie[11];
    *image = Bitmap(width, height);
    DecodeTarget target{image};
    Bytes lineBuffer(3 * std::max<size_t>(image->bytesPerLine, 1));
    struct jbg85_dec_state s;
    jbg85_dec_init(&s, lineBuffer.data(), lineBuffer.size(), jbigKitLineOut, &target);
    Bytes data = bie;
    size_t offset = 0;
    int rc = JBG_EAGAIN;
    while (offset < data.size()) {
        size_t used = 0;
        rc = jbg85_dec_in(&s, data.data() + offset, data.size() - offset, &used);
        offset += used;
        if (rc != JBG_EOK_INTR) {
            break;
        }
    }
    if (rc == JBG_EAGAIN) {
        rc = jbg85_dec_end(&s);
    }
    if (rc != JBG_EOK || target.bad || target.linesSeen != height) {
        char text[160];
        snprintf(text, sizeof(text), "decoder result %d (%s), %u of %u lines%s", rc,
                 jbg85_strerror(rc), target.linesSeen, height, target.bad ? ", bad line" : "");
        *error = text;
        return false;
    }
    return true;
}

Bytes withOrderByteCleared(const Bytes &bie) {
    Bytes copy = bie;
    if (copy.size() > 18) {
        copy[18] = 0;
    }
    return copy;
}

std::string hex(const Bytes &bytes, size_t first, size_t count) {
    std::string text;
    char piece[4];
    for (size_t i = first; i < bytes.size() && i - first < count; ++i) {
        snprintf(piece, sizeof(piece), "%02X ", bytes[i]);
        text += piece;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

JBIGEncoderSetup FailingAllocator::setup(int contextKernel) {
    JBIGEncoderSetup result = OvtJBIGDefaultSetup();
    result.allocator.allocate = allocate;
    result.allocator.release = release;
    result.allocator.context = this;
    result.contextKernel = contextKernel;
    return result;
}

void *FailingAllocator::allocate(void *self, size_t size, int zeroFill) {
    FailingAllocator *a = static_cast<FailingAllocator *>(self);
    if (a->calls_++ == a->failing_)
        return nullptr;
    void *block = zeroFill ? calloc(1, size) : malloc(size);
    if (block != nullptr)
        ++a->outstanding_;
    return block;
}

void FailingAllocator::release(void *self, void *block) {
    --static_cast<FailingAllocator *>(self)->outstanding_;
    free(block);
}

}  // namespace jbigtest
