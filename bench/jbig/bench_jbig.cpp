// Band compression speed on a 600-dpi A4 page (4992 x 7016 dots, 28 bands of up to 256
// lines): djz_Compress against JBIG-KIT's T.85 encoder with the same parameters (LRLTWO,
// L0 = 256, MX = 0, no typical prediction), on a blank, a text-like and a photo-like page.
// Checks that both produce the same bytes (apart from the header's order byte and our
// padding) and prints milliseconds per page and the speed ratio.
//
// Usage: bench_jbig [repeats] [blank|text|photo|noise ...] [--ours-only | --jbigkit-only]
//                   [--portable-contexts] [--step by-line|branching|branch-free]
// --portable-contexts makes our encoder use the portable context kernel even where the
// processor has a faster one, to compare the two. --step fixes the coder's coding step
// (by default it is chosen per line).
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <jbig85.h>
}

#include "jbig/jbigInternal.h"
#include "jbig/jbigcompress.h"

namespace {

constexpr uint32_t kWidth = 4992;
constexpr uint32_t kHeight = 7016;
constexpr uint32_t kBytesPerLine = kWidth / 8;
constexpr uint32_t kBandLines = 256;

using Bytes = std::vector<unsigned char>;

struct Page {
    std::string name;
    Bytes bits;  // kHeight lines of kBytesPerLine bytes
};

double nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void setPixel(Bytes &bits, uint32_t x, uint32_t y) {
    bits[static_cast<size_t>(y) * kBytesPerLine + x / 8] |=
        static_cast<unsigned char>(0x80 >> (x % 8));
}

void fillRect(Bytes &bits, int x0, int y0, int w, int h) {
    for (int y = std::max(y0, 0); y < std::min<int>(y0 + h, kHeight); ++y) {
        for (int x = std::max(x0, 0); x < std::min<int>(x0 + w, kWidth); ++x) {
            setPixel(bits, static_cast<uint32_t>(x), static_cast<uint32_t>(y));
        }
    }
}

Page blankPage() {
    return {"blank", Bytes(static_cast<size_t>(kBytesPerLine) * kHeight, 0)};
}

// Dots set at random, one in two: the busiest content there is.
Page noisePage() {
    Page page{"noise", Bytes(static_cast<size_t>(kBytesPerLine) * kHeight, 0)};
    std::mt19937 rng(4242);
    for (unsigned char &byte : page.bits)
        byte = static_cast<unsigned char>(rng());
    return page;
}

// Paragraphs of 11-point-like text: lines every 100 dots, glyphs 30 to 70 dots high built
// from strokes 6 to 9 dots wide, words and paragraph gaps, 300-dot margins.
Page textPage() {
    Page page{"text", Bytes(static_cast<size_t>(kBytesPerLine) * kHeight, 0)};
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> glyphWidth(26, 46), stroke(6, 9), kind(0, 6),
        wordLength(1, 9), lineEnd(0, 900), paragraphLines(3, 12);
    const int margin = 300, pitch = 100, xHeight = 42, ascender = 66;
    int linesLeft = paragraphLines(rng);
    for (int base = margin + ascender; base < static_cast<int>(kHeight) - margin; base += pitch) {
        if (linesLeft-- == 0) {  // paragraph gap
            linesLeft = paragraphLines(rng);
            continue;
        }
        const int right = static_cast<int>(kWidth) - margin - (linesLeft == 0 ? lineEnd(rng) : 0);
        int x = margin;
        while (x < right) {
            const int letters = wordLength(rng);
            for (int i = 0; i < letters && x < right; ++i) {
                const int w = glyphWidth(rng), s = stroke(rng);
                switch (kind(rng)) {
                    case 0:  // o
                        fillRect(page.bits, x, base - xHeight, w, s);
                        fillRect(page.bits, x, base - s, w, s);
                        fillRect(page.bits, x, base - xHeight, s, xHeight);
                        fillRect(page.bits, x + w - s, base - xHeight, s, xHeight);
                        break;
                    case 1:  // l
                        fillRect(page.bits, x + w / 3, base - ascender, s, ascender);
                        break;
                    case 2:  // n
                        fillRect(page.bits, x, base - xHeight, s, xHeight);
                        fillRect(page.bits, x, base - xHeight, w, s);
                        fillRect(page.bits, x + w - s, base - xHeight, s, xHeight);
                        break;
                    case 3:  // e
                        fillRect(page.bits, x, base - xHeight, w, s);
                        fillRect(page.bits, x, base - xHeight / 2, w, s);
                        fillRect(page.bits, x, base - s, w, s);
                        fillRect(page.bits, x, base - xHeight, s, xHeight);
                        break;
                    case 4:  // v
                        for (int k = 0; k < xHeight; ++k) {
                            fillRect(page.bits, x + k * w / (2 * xHeight), base - xHeight + k, s,
                                     1);
                            fillRect(page.bits, x + w - s - k * w / (2 * xHeight),
                                     base - xHeight + k, s, 1);
                        }
                        break;
                    case 5:  // i
                        fillRect(page.bits, x + w / 3, base - ascender + 4, s, s);
                        fillRect(page.bits, x + w / 3, base - xHeight, s, xHeight);
                        break;
                    default:  // d
                        fillRect(page.bits, x, base - xHeight, w - s, s);
                        fillRect(page.bits, x, base - s, w - s, s);
                        fillRect(page.bits, x, base - xHeight, s, xHeight);
                        fillRect(page.bits, x + w - s, base - ascender, s, ascender);
                        break;
                }
                x += w + 8;
            }
            x += 28;
        }
    }
    return page;
}

// A smooth grey ramp with noise, halftoned with a 24 x 24 clustered-dot threshold screen.
Page photoPage() {
    // Threshold of each cell position: the rank of a dot-shaped spot function.
    constexpr int kCell = 24;
    std::vector<std::pair<double, int>> spots;
    for (int y = 0; y < kCell; ++y) {
        for (int x = 0; x < kCell; ++x) {
            const double fx = cos(2 * M_PI * (x + 0.5) / kCell),
                         fy = cos(2 * M_PI * (y + 0.5) / kCell);
            spots.push_back({-(fx + fy) + 1e-6 * (y * kCell + x), y * kCell + x});
        }
    }
    std::sort(spots.begin(), spots.end());
    int threshold[kCell * kCell];
    for (int rank = 0; rank < kCell * kCell; ++rank) {
        threshold[spots[rank].second] = rank * 256 / (kCell * kCell);
    }

    Page page{"photo", Bytes(static_cast<size_t>(kBytesPerLine) * kHeight, 0)};
    std::mt19937 rng(777);
    std::uniform_int_distribution<int> noise(-24, 24);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            const double ramp = 255.0 * (0.65 * x / kWidth + 0.35 * y / kHeight);
            const double wave = 40.0 * sin(x / 310.0) * cos(y / 430.0);
            const int grey = std::clamp(static_cast<int>(ramp + wave) + noise(rng), 0, 255);
            if (grey > threshold[(y % kCell) * kCell + x % kCell]) {
                setPixel(page.bits, x, y);
            }
        }
    }
    return page;
}

struct Band {
    const unsigned char *bits;
    uint32_t lines;
};

std::vector<Band> bandsOf(const Page &page) {
    std::vector<Band> bands;
    for (uint32_t first = 0; first < kHeight; first += kBandLines) {
        bands.push_back({page.bits.data() + static_cast<size_t>(first) * kBytesPerLine,
                         std::min(kBandLines, kHeight - first)});
    }
    return bands;
}

// Our band compressor; the destination is as large as the raw band, grown when a band
// does not fit.
double runOurs(const std::vector<Band> &bands, const JBIGEncoderSetup &setup,
               std::vector<Bytes> *out) {
    Bytes destination(static_cast<size_t>(kBytesPerLine) * kBandLines);
    out->assign(bands.size(), Bytes());
    const double start = nowMs();
    for (size_t i = 0; i < bands.size(); ++i) {
        const uint32_t bandBytes = bands[i].lines * kBytesPerLine;
        uint32_t length =
            djz_CompressWith(bands[i].bits, bandBytes, destination.data(),
                             static_cast<uint32_t>(destination.size()), kBytesPerLine, &setup);
        if (length > destination.size()) {
            destination.resize(length);
            length = djz_CompressWith(bands[i].bits, bandBytes, destination.data(), length,
                                      kBytesPerLine, &setup);
        }
        (*out)[i].assign(destination.begin(), destination.begin() + length);
    }
    return nowMs() - start;
}

void collect(unsigned char *start, size_t len, void *file) {
    Bytes *out = static_cast<Bytes *>(file);
    out->insert(out->end(), start, start + len);
}

double runJbigKit(const std::vector<Band> &bands, std::vector<Bytes> *out) {
    Bytes zero(kBytesPerLine, 0);
    out->assign(bands.size(), Bytes());
    for (Bytes &bytes : *out) {
        bytes.reserve(static_cast<size_t>(kBytesPerLine) * kBandLines);
    }
    const double start = nowMs();
    for (size_t i = 0; i < bands.size(); ++i) {
        struct jbg85_enc_state s;
        jbg85_enc_init(&s, kWidth, bands[i].lines, collect, &(*out)[i]);
        jbg85_enc_options(&s, JBG_LRLTWO, kBandLines, 0);
        unsigned char *lines = const_cast<unsigned char *>(bands[i].bits);
        for (uint32_t y = 0; y < bands[i].lines; ++y) {
            unsigned char *line = lines + static_cast<size_t>(y) * kBytesPerLine;
            jbg85_enc_lineout(&s, line, y >= 1 ? line - kBytesPerLine : zero.data(),
                              y >= 2 ? line - 2 * kBytesPerLine : zero.data());
        }
    }
    return nowMs() - start;
}

// Our padded band equals JBIG-KIT's BIE apart from the order byte, followed by zeros.
bool sameBytes(const std::vector<Bytes> &ours, const std::vector<Bytes> &reference) {
    for (size_t i = 0; i < ours.size(); ++i) {
        const Bytes &a = ours[i];
        const Bytes &b = reference[i];
        if (a.size() < b.size() || a.size() - b.size() >= 32 || a.size() < 20 || a[18] != 0x03) {
            return false;
        }
        for (size_t k = 0; k < b.size(); ++k) {
            if (k != 18 && a[k] != b[k]) {
                return false;
            }
        }
        if (std::any_of(a.begin() + b.size(), a.end(), [](unsigned char c) { return c != 0; })) {
            return false;
        }
    }
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    int repeats = 5;
    bool runOursToo = true, runReference = true, portableContexts = false;
    int codingStep = kJbigCodingByLine;
    std::vector<std::string> selected;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ours-only") {
            runReference = false;
        } else if (arg == "--jbigkit-only") {
            runOursToo = false;
        } else if (arg == "--portable-contexts") {
            portableContexts = true;
        } else if (arg == "--step" && i + 1 < argc) {
            const std::string step = argv[++i];
            codingStep = step == "branching"     ? kJbigCodingBranching
                         : step == "branch-free" ? kJbigCodingBranchFree
                                                 : kJbigCodingByLine;
        } else if (!arg.empty() && isdigit(static_cast<unsigned char>(arg[0]))) {
            repeats = std::max(1, atoi(arg.c_str()));
        } else {
            selected.push_back(arg);
        }
    }
    if (selected.empty()) {
        selected = {"blank", "text", "photo"};
    }

    printf("600-dpi A4 page: %u x %u dots, %u-line bands, median of %d runs\n", kWidth, kHeight,
           kBandLines, repeats);
    JBIGEncoderSetup setup = OvtJBIGDefaultSetup();
    setup.contextKernel = portableContexts ? kJbigContextsPortable : kJbigContextsFastest;
    setup.codingStep = codingStep;
    const int kernel = jbigResolveContextKernel(setup.contextKernel);
    printf("context kernel: %s\n", jbigContextKernelName(kernel));
    printf("%-6s %12s %14s %8s %12s %s\n", "page", "ours ms", "JBIG-KIT ms", "ratio", "coded bytes",
           "bytes equal");
    bool allEqual = true;
    for (const std::string &name : selected) {
        const Page page = name == "text"    ? textPage()
                          : name == "photo" ? photoPage()
                          : name == "noise" ? noisePage()
                                            : blankPage();
        const std::vector<Band> bands = bandsOf(page);
        std::vector<Bytes> ours, reference;
        std::vector<double> oursMs, referenceMs;
        for (int r = 0; r < repeats; ++r) {
            if (runOursToo) {
                oursMs.push_back(runOurs(bands, setup, &ours));
            }
            if (runReference) {
                referenceMs.push_back(runJbigKit(bands, &reference));
            }
        }
        size_t codedBytes = 0;
        for (const Bytes &band : ours) {
            codedBytes += band.size();
        }
        if (runOursToo && runReference) {
            const bool equal = sameBytes(ours, reference);
            allEqual = allEqual && equal;
            printf("%-6s %12.2f %14.2f %7.1fx %12zu %s\n", page.name.c_str(), median(oursMs),
                   median(referenceMs), median(referenceMs) / median(oursMs), codedBytes,
                   equal ? "yes" : "NO");
        } else if (runOursToo) {
            printf("%-6s %12.2f %14s %8s %12zu %s\n", page.name.c_str(), median(oursMs), "-", "-",
                   codedBytes, "-");
        } else {
            printf("%-6s %12s %14.2f %8s %12s %s\n", page.name.c_str(), "-", median(referenceMs),
                   "-", "-", "-");
        }
    }
    return allEqual ? 0 : 1;
}
