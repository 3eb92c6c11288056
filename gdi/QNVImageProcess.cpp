// Brightness and contrast tone table for 8-bit grey lines (0 white .. 255 black).
#include "gdi/QNVImageProcess.h"

#include <cmath>
#include "gdi/ToneMap.h"

namespace {

constexpr double kBrightnessPerLevel = 2.55;
constexpr double kContrastPerLevel = 1.27;
constexpr long kMaxBrightnessOffset = 255;
constexpr long kMaxContrastStrength = 127;

// Truncates the exact product a * b toward zero and clamps it to lo .. hi; NaN gives lo.
// The product is never rounded before truncation: when the rounded product is a whole
// number, the sign of the rounding error (exact through fma) tells whether the exact
// product lies just below or above it. A rounded product that is not a whole number
// truncates like the exact one, as rounding cannot step over a whole number.
long TruncateExactProduct(double a, double b, long lo, long hi) {
    const double p = a * b;
    if (std::isnan(p)) {
        return lo;
    }
    if (p >= double(hi) + 1.0) {
        return hi;
    }
    if (p <= double(lo) - 1.0) {
        return lo;
    }
    double t = std::trunc(p);
    if (t == p) {
        const double error = std::fma(a, b, -p);
        if (p > 0 && error < 0) {
            t -= 1.0;
        } else if (p < 0 && error > 0) {
            t += 1.0;
        }
    }
    const long result = static_cast<long>(t);
    return result < lo ? lo : (result > hi ? hi : result);
}

long Clamp(long value, long lo, long hi) {
    return value < lo ? lo : (value > hi ? hi : value);
}

}  // namespace

QNVImageProcess::QNVImageProcess() {
    for (int i = 0; i < 256; ++i) {
        gammaLUT[i] = static_cast<uint16_t>(i);
    }
}

void QNVImageProcess::GenerateGrayGammaTable(int brightnessLevel, int contrastLevel) {
    InitGammaLUT(gammaLUT, 1.0f, brightnessLevel, contrastLevel);
}

void QNVImageProcess::InitGammaLUT(uint16_t *table, float gamma, int brightnessLevel,
                                   int contrastLevel) {
    if (table == nullptr) {
        return;
    }
    // Levels far outside the settings only reach the clamps of the curves.
    const long brightness = TruncateExactProduct(brightnessLevel, kBrightnessPerLevel,
                                                 -kMaxBrightnessOffset, kMaxBrightnessOffset);
    const long contrast = TruncateExactProduct(contrastLevel, kContrastPerLevel,
                                               -kMaxContrastStrength, kMaxContrastStrength);
    const double exponent = 1.0 / double(gamma);
    for (int i = 0; i < 256; ++i) {
        const int t = GetBrightness(i, brightness);
        const int u = GetContrast(t, contrast);
        const double base = std::pow(double(u) / 255.0, exponent);
        table[i] = static_cast<uint16_t>(TruncateExactProduct(255.0, base, 0, 255));
    }
    // Full black is mapped like the level just below it.
    table[255] = table[254];
}

int QNVImageProcess::GetBrightness(long value, long offset) {
    // Outside -255 .. 255 the divisor below would reach 0.
    const long b = Clamp(offset, -kMaxBrightnessOffset, kMaxBrightnessOffset);
    if (b == 0) {
        return static_cast<int>(value);
    }
    if (b > 0) {
        return static_cast<int>((value * 256) / (65536 / (256 - b)));
    }
    return static_cast<int>(value + ((255 - value) * 256) / (65536 / -b));
}

int QNVImageProcess::GetContrast(long value, long strength) {
    const long s = Clamp(value, 0, 255);
    // Beyond -127 .. 127 the exponent would turn negative.
    const long n = Clamp(strength, -kMaxContrastStrength, kMaxContrastStrength);
    if (n == 0) {
        return static_cast<int>(s);
    }
    const long m = s <= 127 ? s : 255 - s;
    long r;
    if (n == kMaxContrastStrength) {
        // Infinite steepness: a step at the middle.
        r = m == 127 ? 127 : 0;
    } else {
        const double k = n > 0 ? 127.0 / double(127 - n) : double(n + 127) / 127.0;
        r = TruncateExactProduct(127.0, std::pow(double(m) / 127.5, k), 0, 127);
    }
    return static_cast<int>(s <= 127 ? r : 255 - r);
}

void QNVImageProcess::InvertInput() {
    for (int low = 0, high = 255; low < high; ++low, --high) {
        const uint16_t entry = gammaLUT[low];
        gammaLUT[low] = gammaLUT[high];
        gammaLUT[high] = entry;
    }
}

void QNVImageProcess::AdjustGrayscaleLine(unsigned char *line, unsigned int length) {
    if (line == nullptr) {
        return;
    }
    MapGreyBytes(SelectedToneKernel(), gammaLUT, line, length);
}

void QNVImageProcess::AdjustGrayscaleLineTo(const unsigned char *from, unsigned char *to,
                                            unsigned int length) {
    if (from == nullptr || to == nullptr) {
        return;
    }
    MapGreyBytesTo(SelectedToneKernel(), gammaLUT, from, to, length);
}
