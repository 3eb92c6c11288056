// Times the raster work on one 600-dpi A4 page held as 8-bit grey (4992 dots by 7016
// lines, about 35 MB): the tone mapping of every line and the halftoning of every band,
// for a text-like, a photo-like and a blank page, against a memcpy of the same bytes in
// the same run. Prints the median milliseconds per page and the ratio to the memcpy.
//
// Usage: bench_raster [repetitions]   (default 15)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gdi/Halftone.h"
#include "gdi/QNVImageProcess.h"
#include "gdi/ToneMap.h"

namespace {

constexpr unsigned int kWidth = 4992;  // aligned bit width of A4 at 600 dpi with margins
constexpr unsigned int kHeight = 7016;
constexpr unsigned int kRowBytes = kWidth / 8;
constexpr unsigned int kBandLines = 256;
constexpr size_t kPageBytes = size_t(kWidth) * kHeight;

using Page = std::vector<unsigned char>;

// White paper with lines of text: black glyph stems and bars with grey edges, in a
// 100-dot margin.
Page TextPage() {
    Page page(kPageBytes, 0);
    std::mt19937 random(1);
    const unsigned int margin = 100, linePitch = 100, glyphHeight = 64, glyphPitch = 52;
    for (unsigned int top = margin; top + glyphHeight < kHeight - margin; top += linePitch) {
        for (unsigned int left = margin; left + glyphPitch < kWidth - margin; left += glyphPitch) {
            if (random() % 7 == 0) {
                continue;  // a space
            }
            auto fill = [&](unsigned int x0, unsigned int y0, unsigned int w, unsigned int h) {
                for (unsigned int y = y0; y < y0 + h; ++y) {
                    unsigned char *line = &page[size_t(y) * kWidth];
                    std::memset(line + x0, 255, w);
                    line[x0 - 1] = std::max<unsigned char>(line[x0 - 1], 96);
                    line[x0 + w] = std::max<unsigned char>(line[x0 + w], 96);
                }
            };
            const unsigned int strokes = 2 + random() % 3;
            for (unsigned int s = 0; s < strokes; ++s) {
                if (random() % 2) {
                    fill(left + 2 + random() % 36, top, 8, glyphHeight);  // stem
                } else {
                    fill(left + 2, top + random() % (glyphHeight - 8), 42, 8);  // bar
                }
            }
        }
    }
    return page;
}

// Smooth ramps in both directions with noise on top: short runs everywhere.
Page PhotoPage() {
    Page page(kPageBytes);
    std::mt19937 random(2);
    for (unsigned int y = 0; y < kHeight; ++y) {
        for (unsigned int x = 0; x < kWidth; ++x) {
            const int ramp = int(x * 160 / kWidth + y * 95 / kHeight);
            const int noise = int(random() % 17) - 8;
            page[size_t(y) * kWidth + x] =
                static_cast<unsigned char>(std::clamp(ramp + noise, 0, 255));
        }
    }
    return page;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double TimeMs(const std::function<void()> &work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

struct Measure {
    std::string name;
    std::function<void()> work;
    double targetRatio;  // 0: no target
    std::vector<double> samples;
};

}  // namespace

int main(int argc, char **argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;

    const Page text = TextPage(), photo = PhotoPage(), blank(kPageBytes, 0);
    Page source = photo, copy(kPageBytes, 1), toned = photo;
    std::vector<unsigned char> band(size_t(kRowBytes) * kBandLines, 1);
    volatile unsigned int sink = 0;

    QNVImageProcess tone;
    tone.GenerateGrayGammaTable(15, 15);

    auto halftonePage = [&](const Page &page, HalftoneKernel kernel) {
        for (unsigned int b = 0; b * kBandLines < kHeight; ++b) {
            const unsigned int lines = std::min(kBandLines, kHeight - b * kBandLines);
            ApplyGrayRasterHalftoneWith(kernel, page.data() + size_t(b) * kBandLines * kWidth,
                                        int(kWidth), int(b), int(lines), band.data());
            sink = sink + band[b % band.size()];
        }
    };

    // As the band encoder does it: ApplyGrayRasterHalftone on every band.
    auto halftonePageInUse = [&](const Page &page) {
        for (unsigned int b = 0; b * kBandLines < kHeight; ++b) {
            const unsigned int lines = std::min(kBandLines, kHeight - b * kBandLines);
            ApplyGrayRasterHalftone(page.data() + size_t(b) * kBandLines * kWidth, int(kWidth),
                                    int(b), int(lines), band.data());
            sink = sink + band[b % band.size()];
        }
    };

    std::vector<Measure> measures;
    measures.push_back({"memcpy of the page",
                        [&] {
                            std::memcpy(copy.data(), source.data(), kPageBytes);
                            sink = sink + copy[kPageBytes / 2];
                        },
                        0,
                        {}});
    const ToneKernel toneInUse = SelectedToneKernel();
    for (ToneKernel kernel :
         {ToneKernel::kAvx512Vbmi, ToneKernel::kNeon, ToneKernel::kPortable, ToneKernel::kScalar}) {
        if (!IsToneKernelAvailable(kernel)) {
            continue;
        }
        uint16_t table[256];
        QNVImageProcess::InitGammaLUT(table, 1.0f, 15, 15);
        std::string name = std::string("tone mapping, every line, ") + ToneKernelName(kernel) +
                           (kernel == toneInUse ? " (in use)" : "");
        measures.push_back(
            {name,
             [&, table, kernel] {
                 for (unsigned int y = 0; y < kHeight; ++y) {
                     if (kernel == toneInUse) {
                         tone.AdjustGrayscaleLine(toned.data() + size_t(y) * kWidth, kWidth);
                     } else {
                         MapGreyBytes(kernel, table, toned.data() + size_t(y) * kWidth, kWidth);
                     }
                 }
                 sink = sink + toned[kPageBytes / 3];
             },
             kernel == toneInUse ? 3.0 : 0.0,
             {}});
    }
    // What a tone table folded into the screen leaves of the tone pass.
    measures.push_back({"clamp for a folded screen, every line",
                        [&] {
                            for (unsigned int y = 0; y < kHeight; ++y) {
                                unsigned char *line = toned.data() + size_t(y) * kWidth;
                                ClampForFoldedScreen(line, line, kWidth);
                            }
                            sink = sink + toned[kPageBytes / 3];
                        },
                        0.0,
                        {}});
    const HalftoneKernel selected = SelectedHalftoneKernel();
    struct PageKind {
        const char *name;
        const Page *page;
        double target;
    };
    const PageKind kinds[] = {{"text", &text, 2}, {"photo", &photo, 4}, {"blank", &blank, 2}};
    for (HalftoneKernel kernel :
         {HalftoneKernel::kAvx2, HalftoneKernel::kSse2, HalftoneKernel::kNeon,
          HalftoneKernel::kPortable, HalftoneKernel::kRunPaste}) {
        if (!IsHalftoneKernelAvailable(kernel)) {
            continue;
        }
        for (const PageKind &kind : kinds) {
            std::string name = std::string("halftone ") + kind.name + " page, " +
                               HalftoneKernelName(kernel) + (kernel == selected ? " (in use)" : "");
            const Page *page = kind.page;
            measures.push_back({name,
                                [&, page, kernel] {
                                    if (kernel == selected) {
                                        halftonePageInUse(*page);
                                    } else {
                                        halftonePage(*page, kernel);
                                    }
                                },
                                kernel == selected ? kind.target : 0,
                                {}});
        }
    }

    // Interleave the measures so that each sees the same machine state.
    for (int r = 0; r < repetitions + 1; ++r) {
        for (Measure &m : measures) {
            const double ms = TimeMs(m.work);
            if (r > 0) {  // the first round warms caches and pages
                m.samples.push_back(ms);
            }
        }
    }

    const double floor = Median(measures[0].samples);
    std::printf("A4 page at 600 dpi, 8-bit grey: %u x %u = %.1f MB; median of %d runs\n", kWidth,
                kHeight, kPageBytes / 1e6, repetitions);
    std::printf("%-44s %10s %10s %8s\n", "operation", "ms/page", "x memcpy", "target");
    for (const Measure &m : measures) {
        const double ms = Median(m.samples);
        char target[32] = "";
        if (m.targetRatio > 0) {
            std::snprintf(target, sizeof target, "<= %.0f %s", m.targetRatio,
                          ms / floor <= m.targetRatio ? "ok" : "MISSED");
        }
        std::printf("%-44s %10.2f %10.2f %8s\n", m.name.c_str(), ms, ms / floor, target);
    }
    return sink == 0xFFFFFFFFu ? 1 : 0;
}
