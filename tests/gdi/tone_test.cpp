// Tone table: values at the settings, the curves' rules and the line mapping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "gdi/QNVImageProcess.h"
#include "gdi/ToneMap.h"

namespace {

constexpr int kLevels[] = {-75, -60, -45, -30, -15, 0, 15, 30, 45, 60, 75};
// Brightness offset and contrast strength of each level, in the order of kLevels.
constexpr long kOffsets[] = {-191, -152, -114, -76, -38, 0, 38, 76, 114, 152, 191};
constexpr long kStrengths[] = {-95, -76, -57, -38, -19, 0, 19, 38, 57, 76, 95};

// The tone table as seen through AdjustGrayscaleLine.
std::vector<unsigned char> ToneTable(int brightness, int contrast) {
    QNVImageProcess process;
    process.GenerateGrayGammaTable(brightness, contrast);
    std::vector<unsigned char> line(256);
    for (int i = 0; i < 256; ++i) {
        line[i] = static_cast<unsigned char>(i);
    }
    process.AdjustGrayscaleLine(line.data(), 256);
    return line;
}

TEST(ToneTable, ValuesAtTheSettings) {
    struct Case {
        int brightness, contrast;
        std::vector<std::pair<int, int>> mapping;
    };
    const std::vector<Case> cases = {
        {0,
         0,
         {{0, 0},
          {1, 0},
          {2, 1},
          {31, 30},
          {32, 31},
          {33, 33},
          {34, 33},
          {64, 63},
          {66, 66},
          {127, 127},
          {128, 127},
          {200, 199},
          {253, 253},
          {254, 254},
          {255, 254}}},
        {75, 0, {{0, 0}, {64, 15}, {128, 31}, {192, 47}, {254, 63}, {255, 63}}},
        {-75, 0, {{0, 190}, {64, 206}, {128, 222}, {192, 239}, {254, 254}, {255, 254}}},
        {-75, -75, {{0, 148}, {64, 156}, {128, 165}, {192, 180}, {254, 217}, {255, 217}}},
        {75, -75, {{0, 0}, {64, 75}, {128, 88}, {192, 99}, {254, 106}, {255, 106}}},
        {75, 75, {{0, 0}, {64, 0}, {128, 0}, {192, 1}, {254, 7}, {255, 7}}},
        {-75, 75, {{0, 247}, {64, 253}, {128, 255}, {192, 255}, {254, 255}, {255, 255}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "brightness " << c.brightness << " contrast " << c.contrast);
        const std::vector<unsigned char> table = ToneTable(c.brightness, c.contrast);
        for (const auto &m : c.mapping) {
            EXPECT_EQ(table[m.first], m.second) << "level " << m.first;
        }
    }
}

TEST(ToneTable, NeutralSettingsLoseOneLevelWhereTheQuotientRoundsDown) {
    const std::vector<unsigned char> table = ToneTable(0, 0);
    int lowered = 0;
    for (int i = 0; i < 255; ++i) {
        EXPECT_TRUE(table[i] == i || table[i] == i - 1) << i;
        lowered += table[i] == i - 1;
    }
    EXPECT_EQ(lowered, 143);
    for (int i = 1; i <= 32; ++i) {
        EXPECT_EQ(table[i], i - 1) << i;
    }
    for (int i : {0, 33, 66, 127, 252, 253, 254}) {
        EXPECT_EQ(table[i], i) << i;
    }
}

TEST(ToneTable, EverySettingKeepsTheRangeAndMapsBlackLikeTheLevelBelow) {
    for (int brightness : kLevels) {
        for (int contrast : kLevels) {
            uint16_t table[256];
            QNVImageProcess::InitGammaLUT(table, 1.0f, brightness, contrast);
            for (int i = 0; i < 256; ++i) {
                ASSERT_LE(table[i], 255) << brightness << "/" << contrast << " at " << i;
            }
            EXPECT_EQ(table[255], table[254]) << brightness << "/" << contrast;
            // Both curves never decrease, so neither does the table.
            for (int i = 1; i < 256; ++i) {
                EXPECT_LE(table[i - 1], table[i]) << brightness << "/" << contrast << " at " << i;
            }
        }
    }
}

// Each level turns into the listed offset and strength: the table equals the curves at
// those values followed by the gamma-1 step, 255 * (u / 255 as a double), truncated
// after an exact product.
TEST(ToneTable, LevelsTurnIntoTheListedOffsetsAndStrengths) {
    // The exact product in integers, on every processor (a long double has 64 mantissa
    // bits on x86 but only 53 on 32-bit ARM): the quotient is mantissa * 2^(exponent - 53)
    // with a 53-bit mantissa, and 255 times that mantissa fits 61 bits.
    auto gammaOne = [](int u) {
        const double quotient = double(u) / 255.0;
        if (quotient == 0.0)
            return 0;
        int exponent = 0;
        const double fraction = std::frexp(quotient, &exponent);  // in [0.5, 1)
        const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
        const int shift = 53 - exponent;
        return shift >= 64 ? 0 : static_cast<int>((255 * mantissa) >> shift);
    };
    for (size_t b = 0; b < std::size(kLevels); ++b) {
        for (size_t c = 0; c < std::size(kLevels); ++c) {
            const std::vector<unsigned char> table = ToneTable(kLevels[b], kLevels[c]);
            for (int i = 0; i < 255; ++i) {
                const int t = QNVImageProcess::GetBrightness(i, kOffsets[b]);
                const int expected = gammaOne(QNVImageProcess::GetContrast(t, kStrengths[c]));
                ASSERT_EQ(table[i], expected)
                    << "brightness " << kLevels[b] << " contrast " << kLevels[c] << " at " << i;
            }
        }
    }
}

TEST(ToneTable, OffsetsForSixtyAreNotRoundedUp) {
    // 60 * 2.55 rounds to 153.0 as a double, but the exact product truncates to 152;
    // the offsets differ at level 254: 254 * 256 / 630 = 103 against / 636 = 102.
    EXPECT_EQ(QNVImageProcess::GetBrightness(254, 152), 103);
    EXPECT_EQ(QNVImageProcess::GetBrightness(254, 153), 102);
    uint16_t lighter[256], darker[256];
    QNVImageProcess::InitGammaLUT(lighter, 1.0f, 60, 0);
    QNVImageProcess::InitGammaLUT(darker, 1.0f, -60, 0);
    // The gamma step keeps 103 (103 / 255 does not round down); 153 would give at most 102.
    EXPECT_EQ(lighter[254], 103);
    // -152: 0 + 255 * 256 / 431 = 151; -153 would give 255 * 256 / 428 = 152.
    EXPECT_EQ(QNVImageProcess::GetBrightness(0, -152), 151);
    EXPECT_EQ(darker[0], 151);
}

TEST(ToneCurves, BrightnessAtTheEndsOfTheRange) {
    struct Case {
        long value, offset;
        int result;
    };
    const Case cases[] = {{255, 0, 255},   {17, 0, 17},    {255, 191, 64},   {0, 191, 0},
                          {255, 38, 217},  {0, -191, 190}, {255, -191, 255}, {0, -38, 37},
                          {128, 114, 71},  {255, 255, 0},  {0, -255, 254},   {100, 300, 0},
                          {100, -300, 254}};
    for (const Case &c : cases) {
        EXPECT_EQ(QNVImageProcess::GetBrightness(c.value, c.offset), c.result)
            << c.value << " with " << c.offset;
    }
}

TEST(ToneCurves, ContrastClampsItsInputAndIsPointSymmetric) {
    for (long n : {-127L, -95L, -38L, -1L, 0L, 1L, 19L, 76L, 95L, 126L, 127L}) {
        EXPECT_EQ(QNVImageProcess::GetContrast(-5, n), QNVImageProcess::GetContrast(0, n)) << n;
        EXPECT_EQ(QNVImageProcess::GetContrast(300, n), QNVImageProcess::GetContrast(255, n)) << n;
        for (long s = 0; s <= 255; ++s) {
            const int r = QNVImageProcess::GetContrast(s, n);
            ASSERT_GE(r, 0);
            ASSERT_LE(r, 255);
            ASSERT_EQ(QNVImageProcess::GetContrast(255 - s, n), 255 - r) << s << " at " << n;
            // Values stay on their side of the middle.
            ASSERT_EQ(r <= 127, s <= 127) << s << " at " << n;
        }
    }
    EXPECT_EQ(QNVImageProcess::GetContrast(-5, 0), 0);
    EXPECT_EQ(QNVImageProcess::GetContrast(300, 0), 255);
}

TEST(ToneCurves, ContrastAtItsLimits) {
    struct Case {
        long value, strength;
        int result;
    };
    const Case cases[] = {
        // Infinite steepness: a step at the middle.
        {127, 127, 127},
        {126, 127, 0},
        {0, 127, 0},
        {128, 127, 128},
        {129, 127, 255},
        // No steepness at all: everything moves to the middle.
        {0, -127, 127},
        {100, -127, 127},
        {255, -127, 128},
        // m / 127.5 stays below 1, so even level 127 comes out lower.
        {127, 95, 125},
        {127, 1, 126},
        // Beyond the limits the strength is held at them.
        {126, 500, 0},
        {0, -500, 127},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(QNVImageProcess::GetContrast(c.value, c.strength), c.result)
            << c.value << " with " << c.strength;
    }
}

TEST(ToneLine, MapsExactlyTheGivenLength) {
    QNVImageProcess process;
    process.GenerateGrayGammaTable(-45, 30);
    const std::vector<unsigned char> table = ToneTable(-45, 30);
    std::vector<unsigned char> source(300);
    for (size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<unsigned char>(i * 89 + 7);
    }
    for (unsigned int length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 299u, 300u}) {
        std::vector<unsigned char> line = source;
        process.AdjustGrayscaleLine(line.data(), length);
        for (size_t i = 0; i < line.size(); ++i) {
            ASSERT_EQ(line[i], i < length ? table[source[i]] : source[i])
                << "length " << length << " at " << i;
        }
    }
}

TEST(ToneLine, EveryKernelMapsLikeTheTable) {
    std::mt19937 random(17);
    uint16_t table[256];
    // Entries above 255 show that only the low byte is taken.
    for (auto &entry : table) {
        entry = static_cast<uint16_t>(random());
    }
    std::vector<unsigned char> source(4992 + 200);
    for (auto &byte : source) {
        byte = static_cast<unsigned char>(random());
    }
    const uint8_t lowByte = 0xFF;
    for (ToneKernel kernel :
         {ToneKernel::kScalar, ToneKernel::kAvx512Vbmi, ToneKernel::kPortable, ToneKernel::kNeon}) {
        if (!IsToneKernelAvailable(kernel)) {
            continue;
        }
        for (size_t length :
             {size_t(0), size_t(1), size_t(7), size_t(8), size_t(9), size_t(15), size_t(16),
              size_t(17), size_t(31), size_t(32), size_t(33), size_t(63), size_t(64), size_t(65),
              size_t(127), size_t(4992), source.size() - 7}) {
            std::vector<unsigned char> line = source;
            MapGreyBytes(kernel, table, line.data() + 3, length);
            // The copying form writes the same bytes into another line and leaves its
            // source and the bytes around the target alone.
            std::vector<unsigned char> copy(source.size(), 0xA5);
            MapGreyBytesTo(kernel, table, source.data() + 3, copy.data() + 3, length);
            for (size_t i = 0; i < line.size(); ++i) {
                const bool mapped = i >= 3 && i < 3 + length;
                const unsigned char toned = table[source[i]] & lowByte;
                ASSERT_EQ(line[i], mapped ? toned : source[i])
                    << "kernel " << int(kernel) << " length " << length << " at " << i;
                ASSERT_EQ(copy[i], mapped ? toned : 0xA5)
                    << "copying, kernel " << int(kernel) << " length " << length << " at " << i;
            }
        }
    }
    EXPECT_TRUE(IsToneKernelAvailable(SelectedToneKernel()));
}

TEST(ToneLine, UnbuiltTableLeavesLinesAlone) {
    QNVImageProcess process;
    std::vector<unsigned char> line(256);
    for (int i = 0; i < 256; ++i) {
        line[i] = static_cast<unsigned char>(255 - i);
    }
    std::vector<unsigned char> before = line;
    process.AdjustGrayscaleLine(line.data(), 256);
    EXPECT_EQ(line, before);
}

TEST(ToneTable, FarLevelsAndOddGammasStayInRange) {
    struct Case {
        float gamma;
        int brightness, contrast;
    };
    const Case cases[] = {{1.0f, 100000, -100000},
                          {1.0f, -2147483647, 2147483647},
                          {0.0f, 0, 0},
                          {-1.0f, 15, 15},
                          {2.2f, 0, 0},
                          {std::nanf(""), 0, 0}};
    for (const Case &c : cases) {
        uint16_t table[256];
        QNVImageProcess::InitGammaLUT(table, c.gamma, c.brightness, c.contrast);
        for (int i = 0; i < 256; ++i) {
            ASSERT_LE(table[i], 255) << c.gamma << " " << c.brightness << " " << c.contrast;
        }
    }
    // Gamma 2.2 lifts the middle: 255 * (127 / 255)^(1 / 2.2) = 185.6.
    uint16_t table[256];
    QNVImageProcess::InitGammaLUT(table, 2.2f, 0, 0);
    EXPECT_EQ(table[127], 185);
}

}  // namespace
