// Scan conversion, checksums and two-line-template context generation: buffer layout, the
// entries and group flags against a pixel-by-pixel model and against the shift-register
// path, and the background groups left out.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <random>

#include "tests/jbig/jbig_test_support.h"
#include "jbig/jbigInternal.h"
#include "jbig/ovtJBIG.h"

using namespace jbigtest;

namespace {

void noOutput(void *, unsigned char **, uint32_t *) {}

struct EncoderDeleter {
    void operator()(JBIGEncoderState *state) const { OvtJBIGEncoderDeinit(state); }
};
using Encoder = std::unique_ptr<JBIGEncoderState, EncoderDeleter>;

constexpr uint16_t kUntouchedEntry = 0xEEEE;
constexpr unsigned char kUntouchedByte = 0xEE;

// An encoder holding `above` as the line above and `line` as the current line, with the
// context buffer and the flag area filled with marker values.
// The kernel the encoders that prepare() makes use.
int gPreparedKernel = jbigResolveContextKernel(kJbigContextsFastest);

Encoder prepare(const Bitmap &above, const Bitmap &line, bool typicalPrediction) {
    Encoder state(OvtJBIGEncoderInit(line.width, typicalPrediction ? 0 : 1, noOutput, nullptr));
    state->contextKernel = gPreparedKernel;
    state->width = line.width;
    // Each source line in an allocation of exactly its bytes, so reading past it shows.
    std::unique_ptr<unsigned char[]> copy(new unsigned char[line.bytesPerLine + 1]);
    memcpy(copy.get(), above.line(0), line.bytesPerLine);
    state->source = copy.get();
    jbigScanConvert(state.get());
    std::swap(state->currentLine, state->previousLine);
    memcpy(copy.get(), line.line(0), line.bytesPerLine);
    jbigScanConvert(state.get());
    state->source = nullptr;
    for (uint32_t i = 0; i <= line.width; ++i) {
        state->contextBuffer[i] = kUntouchedEntry;
    }
    memset(state->scratchLine, kUntouchedByte, ((line.width + 63) & ~63u) + 192);
    return state;
}

uint32_t flagWord(const JBIGEncoderState *state, uint32_t word) {
    uint32_t value;
    memcpy(&value, state->scratchLine + 4 * word, 4);
    return value;
}

// All entries of the line, expanding groups that were left out as 32 zero entries.
std::vector<uint16_t> expandedEntries(const JBIGEncoderState *state) {
    const uint16_t *stored = state->contextBuffer + (state->options & 1);
    const uint32_t lead = std::min<uint32_t>(state->width, 5);
    std::vector<uint16_t> all(stored, stored + lead);
    stored += lead;
    const uint32_t rest = state->width > 5 ? state->width - 5 : 0;
    for (uint32_t g = 0; g * 32 < rest; ++g) {
        const uint32_t count = std::min<uint32_t>(32, rest - 32 * g);
        const uint32_t flag = flagWord(state, g ^ 1);
        EXPECT_TRUE(flag == 0 || flag == 1) << "group " << g;
        EXPECT_TRUE(count == 32 || flag == 1) << "short group " << g << " left out";
        for (uint32_t k = 0; k < count; ++k) {
            all.push_back(flag ? *stored++ : 0);
        }
    }
    return all;
}

// The entry of pixel x, straight from the pixels.
uint16_t modelEntry(const Bitmap &above, const Bitmap &line, uint32_t x) {
    auto pixel = [](const Bitmap &b, int64_t px) {
        return px >= 0 && px < b.width && b.get(static_cast<uint32_t>(px), 0) ? 1u : 0u;
    };
    uint32_t entry = 0;
    for (int d = -3; d <= 2; ++d) {
        entry = (entry << 1) | pixel(above, static_cast<int64_t>(x) + d);
    }
    for (int d = -4; d <= 0; ++d) {
        entry = (entry << 1) | pixel(line, static_cast<int64_t>(x) + d);
    }
    return static_cast<uint16_t>(entry);
}

// The entries from the shift registers, one pixel at a time, after the reset that starts
// every line.
std::vector<uint16_t> registerEntries(const JBIGEncoderState *state) {
    const uint64_t first = byteswap_ulonglong_little([&] {
        uint64_t v;
        memcpy(&v, state->previousLine, 8);
        return v;
    }());
    JBIGContextRegisters r{};
    r._debug_lowerByteCount = 0;
    r._debug_lowerP = state->currentLine;
    r._debug_upperP = state->previousLine + 8;
    r._debug_upperByteCount = 7;
    r._debug_upperQuad = first << 8;
    r._debug_upper = static_cast<uint32_t>(first >> 56) << 8;
    r._debug_lower = 0;
    r._debug_currentPixel = 0;
    std::vector<uint16_t> entries;
    for (uint32_t x = 0; x < state->width; ++x) {
        entries.push_back(static_cast<uint16_t>(jbig_2LineTemplate_getContext(&r)));
    }
    return entries;
}

// The context kernels this processor has, each given in turn to the encoders that
// prepare() makes; the fastest again when the object goes.
struct EachKernel {
    std::vector<int> kernels;
    EachKernel() {
        for (int kernel :
             {kJbigContextsPortable, kJbigContextsVbmi, kJbigContextsSse2, kJbigContextsNeon}) {
            if (jbigContextKernelAvailable(kernel)) {
                kernels.push_back(kernel);
            }
        }
    }
    ~EachKernel() { gPreparedKernel = jbigResolveContextKernel(kJbigContextsFastest); }
    EachKernel(const EachKernel &) = delete;
    EachKernel &operator=(const EachKernel &) = delete;
    static std::string use(int kernel) {
        EXPECT_EQ(jbigResolveContextKernel(kernel), kernel);
        gPreparedKernel = kernel;
        switch (kernel) {
            case kJbigContextsVbmi:
                return "VBMI kernel";
            case kJbigContextsSse2:
                return "SSE2 kernel";
            case kJbigContextsNeon:
                return "NEON kernel";
            default:
                return "portable kernel";
        }
    }
};

Bitmap randomLine(uint32_t width, double density, std::mt19937 &rng) {
    Bitmap line(width, 1);
    std::bernoulli_distribution bit(density);
    for (uint32_t x = 0; x < width; ++x) {
        line.set(x, 0, bit(rng));
    }
    return line;
}

}  // namespace

TEST(JbigScanConvert, LayoutAndChecksum) {
    struct Case {
        uint32_t width;
        std::vector<unsigned char> bytes;
        uint32_t checksum;
        std::vector<unsigned char> stored;  // up to the end of the zero group(s)
    };
    const Case cases[] = {
        {40,
         {0x01, 0x02, 0x03, 0x04, 0x05},
         0x06020304,
         {0, 0, 0, 0x05, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}},
        {1, {0x80}, 0x80000000, {0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0}},
        {64, {1, 2, 3, 4, 5, 6, 7, 8}, 0x01020304 + 0x05060708, {8, 7, 6, 5, 4, 3, 2, 1,
                                                                 0, 0, 0, 0, 0, 0, 0, 0,
                                                                 0, 0, 0, 0, 0, 0, 0, 0}},
        {72,
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0},
         0xFFFFFFFE + 0xC0000000,
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,
          0,    0,    0,    0xC0, 0,    0,    0,    0,    0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.width);
        Encoder state(OvtJBIGEncoderInit(c.width, 1, noOutput, nullptr));
        state->width = c.width;
        memset(state->currentLine, kUntouchedByte, ((c.width + 63) & ~63u) + 192);
        std::unique_ptr<unsigned char[]> source(new unsigned char[c.bytes.size()]);
        memcpy(source.get(), c.bytes.data(), c.bytes.size());
        state->source = source.get();
        EXPECT_EQ(jbigScanConvert(state.get()), c.checksum);
        EXPECT_EQ(hex(Bytes(state->currentLine, state->currentLine + c.stored.size())),
                  hex(c.stored));
    }
}

// The zero flag sees every pixel of the line, including those of the last partial group
// and lines whose wrapping checksum is 0, and is reset by a blank line after a line of
// content.
TEST(JbigScanConvert, ZeroFlag) {
    struct Case {
        uint32_t width;
        std::vector<unsigned char> bytes;
        uint8_t zero;
    };
    const Case cases[] = {
        {1, {0x00}, 1},
        {1, {0x80}, 0},
        {64, std::vector<unsigned char>(8, 0), 1},
        {64, {0, 0, 0, 0, 0, 0, 0, 0x01}, 0},
        {72, {0, 0, 0, 0, 0, 0, 0, 0, 0x80}, 0},
        {72, std::vector<unsigned char>(9, 0), 1},
        {64, {0x80, 0, 0, 0, 0x80, 0, 0, 0}, 0},  // checksum 0
        {200,
         {0x80, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01},
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(hex(c.bytes));
        Encoder state(OvtJBIGEncoderInit(c.width, 1, noOutput, nullptr));
        state->width = c.width;
        std::unique_ptr<unsigned char[]> source(new unsigned char[c.bytes.size()]);
        memcpy(source.get(), c.bytes.data(), c.bytes.size());
        state->lineZero = 1 - c.zero;
        state->source = source.get();
        jbigScanConvert(state.get());
        EXPECT_EQ(state->lineZero, c.zero);
    }
}

TEST(JbigScanConvert, ByteswapReadsLittleEndian) {
    const unsigned char stored[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint64_t value;
    memcpy(&value, stored, 8);
    EXPECT_EQ(byteswap_ulonglong_little(value), 0x0807060504030201ull);
}

// Lines of 1 to 5 pixels have lead entries only and write no group flag.
TEST(JbigContext, ShortLinesLeadOnly) {
    std::mt19937 rng(1);
    for (uint32_t width = 1; width <= 5; ++width) {
        for (bool tp : {false, true}) {
            const Bitmap above = randomLine(width, 0.5, rng), line = randomLine(width, 0.5, rng);
            Encoder state = prepare(above, line, tp);
            jbigGen_2LineTemplate_c_code(state.get());
            for (uint32_t x = 0; x < width; ++x) {
                EXPECT_EQ(state->contextBuffer[x + (tp ? 1 : 0)], modelEntry(above, line, x));
            }
            EXPECT_EQ(state->contextBuffer[0], tp ? kUntouchedEntry : modelEntry(above, line, 0));
            for (int i = 0; i < 16; ++i) {
                EXPECT_EQ(state->scratchLine[i], kUntouchedByte);
            }
        }
    }
}

TEST(JbigContext, GroupFlagsForShortAndBackgroundGroups) {
    // Width 6: five lead entries and one group of one entry, flag word 1.
    {
        Bitmap blank(6, 1);
        Encoder state = prepare(blank, blank, false);
        jbigGen_2LineTemplate_c_code(state.get());
        EXPECT_EQ(flagWord(state.get(), 1), 1u);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(state->contextBuffer[i], 0);
        }
        EXPECT_EQ(state->contextBuffer[6], kUntouchedEntry);
    }
    // Width 69, all 0: both groups of the chunk left out, only the lead entries stored.
    {
        Bitmap blank(69, 1);
        Encoder state = prepare(blank, blank, false);
        jbigGen_2LineTemplate_c_code(state.get());
        EXPECT_EQ(flagWord(state.get(), 1), 0u);
        EXPECT_EQ(flagWord(state.get(), 0), 0u);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(state->contextBuffer[i], 0);
        }
        EXPECT_EQ(state->contextBuffer[5], kUntouchedEntry);
    }
    // Width 37, all 0: the one full group is left out; one pixel among its pixels stores
    // all 32 entries.
    {
        Bitmap blank(37, 1);
        Encoder state = prepare(blank, blank, false);
        jbigGen_2LineTemplate_c_code(state.get());
        EXPECT_EQ(flagWord(state.get(), 1), 0u);
        EXPECT_EQ(state->contextBuffer[5], kUntouchedEntry);

        Bitmap dot(37, 1);
        dot.set(30, 0);
        Encoder stored = prepare(blank, dot, false);
        jbigGen_2LineTemplate_c_code(stored.get());
        EXPECT_EQ(flagWord(stored.get(), 1), 1u);
        for (uint32_t x = 0; x < 37; ++x) {
            EXPECT_EQ(stored->contextBuffer[x], modelEntry(blank, dot, x)) << x;
        }
    }
}

// A pixel of the line above reaches the entries of columns x-2 to x+3, a pixel of the
// current line those of x to x+4, in the first full group and in a later one, with each
// context kernel.
TEST(JbigContext, TemplatePositions) {
    EachKernel each;
    for (int kernel : each.kernels) {
        SCOPED_TRACE(EachKernel::use(kernel));
        // The dot in the first full group (x = 10) and in a later one (x = 170).
        for (uint32_t at : {10u, 170u}) {
            Bitmap blank(256, 1), dot(256, 1);
            dot.set(at, 0);
            {
                Encoder state = prepare(dot, blank, false);
                jbigGen_2LineTemplate_c_code(state.get());
                const std::vector<uint16_t> entries = expandedEntries(state.get());
                for (uint32_t x = 0; x < 256; ++x) {
                    const uint16_t expected = (x + 2 >= at && x <= at + 3)
                                                  ? static_cast<uint16_t>(1u << (x + 7 - at))
                                                  : 0;
                    EXPECT_EQ(entries[x], expected) << x;
                }
            }
            {
                Encoder state = prepare(blank, dot, false);
                jbigGen_2LineTemplate_c_code(state.get());
                const std::vector<uint16_t> entries = expandedEntries(state.get());
                for (uint32_t x = 0; x < 256; ++x) {
                    const uint16_t expected =
                        (x >= at && x <= at + 4) ? static_cast<uint16_t>(1u << (x - at)) : 0;
                    EXPECT_EQ(entries[x], expected) << x;
                }
            }
        }
    }
}

// Random line pairs of every width up to 300 and beyond, with each context kernel: the
// stored entries and flags give the model's entries, the shift-register path gives the
// same, and exactly the groups of 32 zero entries are left out.
TEST(JbigContext, MatchesPixelModelAndRegisters) {
    std::mt19937 rng(42);
    std::vector<uint32_t> widths;
    for (uint32_t w = 1; w <= 300; ++w) {
        widths.push_back(w);
    }
    for (uint32_t w : {511u, 512u, 513u, 1000u, 2001u, 4992u}) {
        widths.push_back(w);
    }
    const double densities[] = {0.0, 0.003, 0.03, 0.5, 0.97, 1.0};
    EachKernel each;
    for (int kernel : each.kernels) {
        SCOPED_TRACE(EachKernel::use(kernel));
        for (uint32_t width : widths) {
            for (double density : densities) {
                SCOPED_TRACE(std::to_string(width) + " " + std::to_string(density));
                const bool tp = (width + static_cast<uint32_t>(density * 100)) % 2 == 0;
                const Bitmap above = randomLine(width, density, rng);
                const Bitmap line = randomLine(width, density / 2, rng);
                Encoder state = prepare(above, line, tp);
                jbigGen_2LineTemplate_c_code(state.get());
                const std::vector<uint16_t> entries = expandedEntries(state.get());
                ASSERT_EQ(entries.size(), width);
                for (uint32_t x = 0; x < width; ++x) {
                    ASSERT_EQ(entries[x], modelEntry(above, line, x)) << "pixel " << x;
                }
                ASSERT_EQ(registerEntries(state.get()), entries);
                for (uint32_t g = 0; g + 1 <= (width > 5 ? (width - 5) / 32 : 0); ++g) {
                    bool allZero = true;
                    for (uint32_t k = 0; k < 32; ++k) {
                        allZero = allZero && entries[5 + 32 * g + k] == 0;
                    }
                    ASSERT_EQ(flagWord(state.get(), g ^ 1), allZero ? 0u : 1u) << "group " << g;
                }
            }
        }
    }
}
