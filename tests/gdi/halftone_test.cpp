// Halftoning: the screen's tables, the run paste, and every kernel against the plain rule
// (a dot exactly where the level is >= the threshold of the pixel's place in the cell).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/CpuFeatures.h"
#include "gdi/DitherTables.h"
#include "gdi/Halftone.h"
#include "gdi/Paste.h"
#include "gdi/QNVImageProcess.h"

namespace {

using Bytes = std::vector<unsigned char>;

bool RuleDot(unsigned int level, unsigned int pageLine, unsigned int x) {
    return level >= kDitherThresholdMatrix[pageLine % 24][x % 24];
}

bool BitAt(const unsigned char *row, unsigned int x) {
    return (row[x / 8] >> (7 - x % 8)) & 1;
}

unsigned int RowBytes(unsigned int lineWidth) {
    return (lineWidth + 31) / 32 * 4;
}

// Dot of cell pixel (r, c) in the stored pattern of `level`.
bool PatternDot(unsigned int level, unsigned int r, unsigned int c) {
    return BitAt(MapDitherTblMono.data() + level * kDitherLevelBytes + r * kDitherPatternRowBytes,
                 c);
}

// Checks a halftoned band against the rule: every pixel of every line, and zero bits
// from the line width up to the end of each row.
void ExpectRule(const Bytes &grey, int width, int bandIndex, int lineCount, const Bytes &out) {
    const unsigned int lineWidth = unsigned(width) & ~7u;
    const unsigned int rowBytes = RowBytes(lineWidth);
    ASSERT_GE(out.size(), size_t(lineCount) * rowBytes);
    for (int i = 0; i < lineCount; ++i) {
        const unsigned int pageLine = unsigned(bandIndex) * 256 + unsigned(i);
        const unsigned char *row = out.data() + size_t(i) * rowBytes;
        for (unsigned int x = 0; x < rowBytes * 8; ++x) {
            const bool expected =
                x < lineWidth && RuleDot(grey[size_t(i) * lineWidth + x], pageLine, x);
            ASSERT_EQ(BitAt(row, x), expected)
                << "band " << bandIndex << " line " << i << " pixel " << x << " level "
                << (x < lineWidth ? int(grey[size_t(i) * lineWidth + x]) : -1);
        }
    }
}

// Halftones with `kernel` into an output of exactly the band's size, pre-filled with
// bytes the halftoning must overwrite.
Bytes Halftone(HalftoneKernel kernel, const Bytes &grey, int width, int bandIndex, int lineCount,
               const HalftoneScreen *folded = nullptr) {
    Bytes out(size_t(lineCount) * RowBytes(unsigned(width) & ~7u), 0xA5);
    EXPECT_EQ(ApplyGrayRasterHalftoneWith(kernel, grey.data(), width, bandIndex, lineCount,
                                          out.data(), folded),
              1);
    return out;
}

// A band of runs of random levels with random lengths (1 to maxRun pixels).
Bytes RandomRuns(std::mt19937 &random, size_t bytes, unsigned int maxRun) {
    Bytes grey(bytes);
    std::uniform_int_distribution<int> level(0, 255), length(1, int(maxRun));
    for (size_t x = 0; x < bytes;) {
        const size_t end = std::min(bytes, x + size_t(length(random)));
        std::fill(grey.begin() + long(x), grey.begin() + long(end),
                  static_cast<unsigned char>(level(random)));
        x = end;
    }
    return grey;
}

const char *KernelName(HalftoneKernel kernel) {
    switch (kernel) {
        case HalftoneKernel::kRunPaste:
            return "RunPaste";
        case HalftoneKernel::kSse2:
            return "Sse2";
        case HalftoneKernel::kAvx2:
            return "Avx2";
        case HalftoneKernel::kPortable:
            return "Portable";
        case HalftoneKernel::kNeon:
            return "Neon";
    }
    return "Unknown";
}

const HalftoneKernel kAllKernels[] = {HalftoneKernel::kRunPaste, HalftoneKernel::kSse2,
                                      HalftoneKernel::kAvx2, HalftoneKernel::kPortable,
                                      HalftoneKernel::kNeon};

// ---------------------------------------------------------------- the screen's tables

TEST(DitherTables, EveryThresholdFromOneTo255Occurs) {
    std::set<int> values;
    for (const auto &row : kDitherThresholdMatrix) {
        values.insert(std::begin(row), std::end(row));
    }
    EXPECT_EQ(values.size(), 255u);
    EXPECT_EQ(*values.begin(), 1);
    EXPECT_EQ(*values.rbegin(), 255);
}

TEST(DitherTables, LevelOneSetsOnlyThresholdOnePixelsInSixRows) {
    std::set<unsigned int> rows;
    for (unsigned int r = 0; r < 24; ++r) {
        for (unsigned int c = 0; c < 24; ++c) {
            EXPECT_EQ(PatternDot(1, r, c), kDitherThresholdMatrix[r][c] == 1) << r << "," << c;
            if (PatternDot(1, r, c)) {
                rows.insert(r);
            }
        }
    }
    EXPECT_EQ(rows, (std::set<unsigned int>{0, 4, 8, 12, 16, 20}));
}

TEST(DitherTables, Level254LeavesExactlyThreePixelsClear) {
    std::set<std::pair<unsigned int, unsigned int>> clear;
    for (unsigned int r = 0; r < 24; ++r) {
        for (unsigned int c = 0; c < 24; ++c) {
            if (!PatternDot(254, r, c)) {
                clear.insert({r, c});
            }
        }
    }
    EXPECT_EQ(clear, (std::set<std::pair<unsigned int, unsigned int>>{{0, 12}, {12, 16}, {20, 0}}));
}

TEST(DitherTables, PatternsFollowTheMatrixAndGrowWithTheLevel) {
    const unsigned char *table = MapDitherTblMono.data();
    for (unsigned int i = 0; i < kDitherLevelBytes; ++i) {
        EXPECT_EQ(table[i], 0x00) << "level 0 byte " << i;
        EXPECT_EQ(table[255 * kDitherLevelBytes + i], 0xFF) << "level 255 byte " << i;
    }
    for (unsigned int level = 1; level < 256; ++level) {
        for (unsigned int i = 0; i < kDitherLevelBytes; ++i) {
            const unsigned char lower = table[(level - 1) * kDitherLevelBytes + i];
            const unsigned char here = table[level * kDitherLevelBytes + i];
            ASSERT_EQ(lower & ~here, 0) << "level " << level << " byte " << i;
        }
        for (unsigned int r = 0; r < 24; ++r) {
            for (unsigned int c = 0; c < 24; ++c) {
                ASSERT_EQ(PatternDot(level, r, c), RuleDot(level, r, c)) << level;
            }
        }
    }
}

TEST(DitherTables, EdgeMasksSplitEachByteAroundItsPixel) {
    for (unsigned int k = 0; k < 8; ++k) {
        const unsigned int pixel = 0x80u >> k;
        EXPECT_EQ(pHead1b[k] & pTail1b[k], 0) << k;
        EXPECT_EQ(pHead1b[k] & pixel, 0u) << k;
        EXPECT_EQ(pTail1b[k] & pixel, 0u) << k;
        EXPECT_EQ(pHead1b[k] | pTail1b[k] | pixel, 0xFFu) << k;
        // The head marks the bits above the pixel: pixels before it.
        EXPECT_LT(pTail1b[k], pixel) << k;
    }
}

// ---------------------------------------------------------------- pasting one run

TEST(PasteRun, ChangesExactlyItsOwnBits) {
    SorterDC_s sorter;
    std::memset(&sorter, 0, sizeof sorter);
    sorter.pMapDitherTbl = MapDitherTblMono.data();
    sorter.patternRowBytes = 3;
    sorter.levelBytes = 72;
    sorter.cellSize = 24;
    sorter.lineWidth = 128;
    sorter.lineCount = 1;
    sorter.pfnPaste = Paste1MappedMonoLineData;

    std::mt19937 random(7);
    for (unsigned char level : {0, 1, 77, 128, 254, 255}) {
        for (unsigned int pageLine : {0u, 5u, 23u, 256u, 1000u}) {
            // Every first pixel over two cells, every length up to two cells and a byte.
            for (unsigned int x0 = 0; x0 < 48; ++x0) {
                for (unsigned int n = 1; n <= 56; ++n) {
                    Bytes before(16);
                    for (auto &b : before) {
                        b = static_cast<unsigned char>(random());
                    }
                    Bytes row = before;
                    Paste1MappedMonoLineData(&sorter, row.data(), &level, pageLine,
                                             static_cast<uint16_t>(x0), static_cast<uint16_t>(n));
                    for (unsigned int x = 0; x < 128; ++x) {
                        const bool inRun = x >= x0 && x < x0 + n;
                        ASSERT_EQ(BitAt(row.data(), x),
                                  inRun ? RuleDot(level, pageLine, x) : BitAt(before.data(), x))
                            << "level " << int(level) << " line " << pageLine << " run " << x0
                            << "+" << n << " pixel " << x;
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------- whole bands, every kernel

class HalftoneKernels : public testing::TestWithParam<HalftoneKernel> {
protected:
    void SetUp() override {
        if (!IsHalftoneKernelAvailable(GetParam())) {
            GTEST_SKIP() << KernelName(GetParam()) << " is not available here";
        }
    }
};

TEST_P(HalftoneKernels, UniformBandsFollowTheRule) {
    const int width = 200;
    for (int level : {0, 1, 2, 23, 100, 127, 128, 200, 253, 254, 255}) {
        for (int bandIndex : {0, 1, 7}) {
            SCOPED_TRACE(testing::Message() << "level " << level << " band " << bandIndex);
            const Bytes grey(size_t(width) * 50, static_cast<unsigned char>(level));
            const Bytes out = Halftone(GetParam(), grey, width, bandIndex, 50);
            ExpectRule(grey, width, bandIndex, 50, out);
            if (level == 0 || level == 255) {
                for (int i = 0; i < 50; ++i) {
                    for (unsigned int b = 0; b < 25; ++b) {
                        ASSERT_EQ(out[size_t(i) * 28 + b], level == 0 ? 0x00 : 0xFF);
                    }
                }
            }
        }
    }
}

TEST_P(HalftoneKernels, RandomLinesFollowTheRule) {
    std::mt19937 random(11);
    struct Case {
        const char *name;
        int width;
        unsigned int maxRun;
    };
    const Case cases[] = {
        {"noise", 1024, 1},
        {"short runs", 992, 5},
        {"text-like runs", 4992, 60},
        {"long runs", 640, 400},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes grey = RandomRuns(random, size_t(c.width) * 64, c.maxRun);
        ExpectRule(grey, c.width, 2, 64, Halftone(GetParam(), grey, c.width, 2, 64));
    }
}

TEST_P(HalftoneKernels, RunsStartingAndEndingAtEveryBitPosition) {
    // One line per run: a run of level 180 on level 40, from every first pixel in three
    // bytes to every last pixel in the four bytes that follow.
    const int width = 128;
    Bytes grey;
    int lines = 0;
    for (int x0 = 0; x0 < 24; ++x0) {
        for (int x1 = x0; x1 < x0 + 32; ++x1) {
            Bytes line(width, 40);
            std::fill(line.begin() + x0 + 16, line.begin() + x1 + 17, 180);
            grey.insert(grey.end(), line.begin(), line.end());
            ++lines;
        }
    }
    ASSERT_LE(lines, 65535);
    ExpectRule(grey, width, 0, lines, Halftone(GetParam(), grey, width, 0, lines));
}

TEST_P(HalftoneKernels, WidthsRoundDownToWholeBytes) {
    std::mt19937 random(3);
    for (int width : {0, 7, 8, 9, 16, 24, 31, 32, 40, 48, 56, 63, 64, 72, 96, 100, 129, 1001}) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        const unsigned int lineWidth = unsigned(width) & ~7u;
        // The band is read as lines of the rounded width, one after the other.
        const Bytes grey = RandomRuns(random, size_t(lineWidth) * 30 + 8, 3);
        const size_t size = size_t(30) * RowBytes(lineWidth);
        Bytes out(size + 64, 0x5A);
        EXPECT_EQ(ApplyGrayRasterHalftoneWith(GetParam(), grey.data(), width, 3, 30, out.data()),
                  1);
        ExpectRule(grey, width, 3, 30, out);
        EXPECT_TRUE(std::all_of(out.begin() + long(size), out.end(), [](unsigned char b) {
            return b == 0x5A;
        })) << "bytes beyond the band were written";
    }
}

TEST_P(HalftoneKernels, BandsOfAPageJoinWithoutASeam) {
    // A page of 600 lines: bands of 256, 256 and a short last band of 88 lines, each
    // halftoned on its own from its place in the page.
    const int width = 256;
    const int height = 600;
    std::mt19937 random(5);
    for (bool uniform : {true, false}) {
        SCOPED_TRACE(uniform ? "uniform" : "random runs");
        const Bytes page = uniform ? Bytes(size_t(width) * height, 90)
                                   : RandomRuns(random, size_t(width) * height, 9);
        const unsigned int rowBytes = RowBytes(width);
        Bytes bitmap;
        for (int band = 0; band * 256 < height; ++band) {
            const int lines = std::min(256, height - band * 256);
            const Bytes grey(page.begin() + long(band) * 256 * width,
                             page.begin() + long(band * 256 + lines) * width);
            const Bytes out = Halftone(GetParam(), grey, width, band, lines);
            ExpectRule(grey, width, band, lines, out);
            bitmap.insert(bitmap.end(), out.begin(), out.end());
        }
        ASSERT_EQ(bitmap.size(), size_t(height) * rowBytes);
        if (uniform) {
            // The pattern repeats every 24 lines, across the band seams too, and every
            // 24 pixels (3 bytes) along a line.
            for (int y = 0; y + 24 < height; ++y) {
                ASSERT_EQ(std::memcmp(&bitmap[size_t(y) * rowBytes],
                                      &bitmap[size_t(y + 24) * rowBytes], rowBytes),
                          0)
                    << "line " << y;
                ASSERT_EQ(std::memcmp(&bitmap[size_t(y) * rowBytes],
                                      &bitmap[size_t(y) * rowBytes + 3], rowBytes - 3),
                          0)
                    << "line " << y;
            }
        }
    }
}

TEST_P(HalftoneKernels, RefusesArgumentsItCannotHold) {
    Bytes grey(64, 200), out(64, 0x33);
    struct Case {
        const char *name;
        const unsigned char *grey;
        int width, bandIndex, lineCount;
        unsigned char *out;
    };
    const Case cases[] = {
        {"no band", nullptr, 32, 0, 1, out.data()},
        {"no output", grey.data(), 32, 0, 1, nullptr},
        {"negative width", grey.data(), -8, 0, 1, out.data()},
        {"negative band", grey.data(), 32, -1, 1, out.data()},
        {"negative lines", grey.data(), 32, 0, -1, out.data()},
        {"width beyond 16 bits", grey.data(), 65536, 0, 1, out.data()},
        {"band beyond 16 bits", grey.data(), 32, 65536, 1, out.data()},
        {"lines beyond 16 bits", grey.data(), 32, 0, 65536, out.data()},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ApplyGrayRasterHalftoneWith(GetParam(), c.grey, c.width, c.bandIndex, c.lineCount,
                                              c.out),
                  0)
            << c.name;
        EXPECT_EQ(out, Bytes(64, 0x33)) << c.name;
    }
    // No lines: nothing to write, and a success.
    EXPECT_EQ(ApplyGrayRasterHalftoneWith(GetParam(), grey.data(), 32, 0, 0, out.data()), 1);
    EXPECT_EQ(out, Bytes(64, 0x33));
}

// Every brightness and contrast setting gives a non-decreasing tone table; those that keep
// white paper white (brightness 0 and lighter, and a few darker ones with high contrast)
// fold into the screen, and halftoning the
// clamped levels with the folded screen gives the bytes of toning first.
TEST_P(HalftoneKernels, ToneFoldedIntoTheScreenGivesTheBytesOfToningFirst) {
    std::mt19937 random(17);
    const int width = 384, lines = 48;
    Bytes grey = RandomRuns(random, size_t(width) * lines, 7);
    for (int level = 0; level < 256; ++level)
        grey[size_t(level) * 3] = grey[size_t(level) * 3 + 1] = static_cast<unsigned char>(level);
    unsigned folded = 0;
    for (int brightness = -75; brightness <= 75; brightness += 15) {
        for (int contrast = -75; contrast <= 75; contrast += 15) {
            SCOPED_TRACE(testing::Message()
                         << "brightness " << brightness << " contrast " << contrast);
            QNVImageProcess tone;
            tone.GenerateGrayGammaTable(brightness, contrast);
            const uint16_t *table = tone.GetTable();
            EXPECT_TRUE(std::is_sorted(table, table + 256));
            HalftoneScreen screen;
            const bool foldable = FoldToneIntoScreen(table, &screen);
            EXPECT_EQ(foldable, table[0] == 0);
            EXPECT_TRUE(foldable || brightness < 0);
            if (!foldable)
                continue;
            ++folded;
            Bytes toned(grey.size()), clamped(grey.size());
            tone.AdjustGrayscaleLineTo(grey.data(), toned.data(), unsigned(grey.size()));
            ClampForFoldedScreen(grey.data(), clamped.data(), clamped.size());
            for (int bandIndex : {0, 5}) {
                ASSERT_EQ(Halftone(GetParam(), clamped, width, bandIndex, lines, &screen),
                          Halftone(GetParam(), toned, width, bandIndex, lines))
                    << "band " << bandIndex;
            }
        }
    }
    EXPECT_GE(folded, 6u * 11u);
    // The clamp tells white lines from the others, the last byte of a vector or of the
    // tail included.
    for (size_t length : {0, 1, 63, 64, 65, 200}) {
        for (size_t inkAt = 0; inkAt <= length; ++inkAt) {
            Bytes line(length, 0), out(length, 0xA5);
            if (inkAt < length)
                line[inkAt] = 1;
            EXPECT_EQ(ClampForFoldedScreen(line.data(), out.data(), length), inkAt < length)
                << length << " " << inkAt;
            EXPECT_EQ(out, line);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, HalftoneKernels, testing::ValuesIn(kAllKernels),
                         [](const testing::TestParamInfo<HalftoneKernel> &info) {
                             return std::string(KernelName(info.param));
                         });

TEST(HalftoneKernelChoice, CompareKernelsGiveTheRunPasteBytes) {
    std::mt19937 random(13);
    const int width = 4992;
    const int lines = 256;
    const Bytes bands[] = {
        Bytes(size_t(width) * lines, 0),
        RandomRuns(random, size_t(width) * lines, 1),
        RandomRuns(random, size_t(width) * lines, 40),
    };
    for (const Bytes &grey : bands) {
        for (int bandIndex : {0, 1, 27}) {
            const Bytes reference =
                Halftone(HalftoneKernel::kRunPaste, grey, width, bandIndex, lines);
            for (HalftoneKernel kernel : kAllKernels) {
                if (IsHalftoneKernelAvailable(kernel)) {
                    EXPECT_EQ(Halftone(kernel, grey, width, bandIndex, lines), reference)
                        << KernelName(kernel) << " band " << bandIndex;
                }
            }
            Bytes chosen(reference.size(), 0xA5);
            EXPECT_EQ(ApplyGrayRasterHalftone(grey.data(), width, bandIndex, lines, chosen.data()),
                      1);
            EXPECT_EQ(chosen, reference);
        }
    }
}

TEST(HalftoneKernelChoice, TheWidestAvailableKernelIsChosen) {
    EXPECT_TRUE(IsHalftoneKernelAvailable(HalftoneKernel::kRunPaste));
    const HalftoneKernel chosen = SelectedHalftoneKernel();
    EXPECT_TRUE(IsHalftoneKernelAvailable(chosen));
    EXPECT_TRUE(IsHalftoneKernelAvailable(HalftoneKernel::kPortable));
    if (IsHalftoneKernelAvailable(HalftoneKernel::kAvx2)) {
        EXPECT_EQ(chosen, HalftoneKernel::kAvx2);
    } else if (IsHalftoneKernelAvailable(HalftoneKernel::kSse2)) {
        EXPECT_EQ(chosen, HalftoneKernel::kSse2);
    } else if (IsHalftoneKernelAvailable(HalftoneKernel::kNeon)) {
        EXPECT_EQ(chosen, HalftoneKernel::kNeon);
    } else {
        EXPECT_EQ(chosen, HalftoneKernel::kPortable);
    }
    // The vector kernels every processor of their kind has, unless only the portable
    // kernels are wanted.
    if (!CpuPortableKernelsOnly()) {
#if defined(__x86_64__)
        EXPECT_TRUE(IsHalftoneKernelAvailable(HalftoneKernel::kSse2));
#elif defined(__aarch64__)
        EXPECT_TRUE(IsHalftoneKernelAvailable(HalftoneKernel::kNeon));
#endif
    }
}

}  // namespace
