// Writes the seed corpora of the fuzz targets: small raster jobs made with libcups (the
// raster target), option strings with the shipped PPDs and variants of them (the options
// target), bands of typical page content (the JBIG target), and printer streams the
// filter itself writes for the raster seeds (the gdidecode target).
//
// Usage: fuzz_seeds OUTPUT_DIR PPD_DIR
#include <cups/raster.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string gOut;
unsigned gWritten = 0;

void Save(const std::string &target, const std::string &name, const Bytes &bytes) {
    const std::string path = gOut + "/" + target + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        fprintf(stderr, "fuzz_seeds: cannot write %s: %s\n", path.c_str(), strerror(errno));
        exit(1);
    }
    fclose(f);
    ++gWritten;
}

Bytes Text(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

Bytes ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string s = all.str();
    if (s.empty()) {
        fprintf(stderr, "fuzz_seeds: cannot read %s\n", path.c_str());
        exit(1);
    }
    return Text(s);
}

// ---------------------------------------------------------------------------------------
// Raster jobs.

struct Page {
    unsigned width = 120;
    unsigned height = 80;
    unsigned bitsPerColor = 8;
    cups_cspace_t colorSpace = CUPS_CSPACE_K;
    unsigned resolution = 600;
    unsigned margins = 12;
    bool duplex = false;
    unsigned seed = 1;
};

ssize_t Append(void *context, unsigned char *buffer, size_t length) {
    Bytes *out = static_cast<Bytes *>(context);
    out->insert(out->end(), buffer, buffer + length);
    return (ssize_t)length;
}

unsigned char Pixel(const Page &page, unsigned x, unsigned y) {
    // A ramp, a solid block and a few glyph-like strokes.
    if (x > page.width / 2 && x < page.width / 2 + 10 && y > 5 && y < page.height - 5)
        return 255;
    if (y % 17 < 3 && x % 31 < 20)
        return 255;
    return (unsigned char)((x * 255 / std::max(1u, page.width - 1) + y * 7 + page.seed * 50) &
                           0xFF);
}

Bytes Raster(const std::vector<Page> &pages, cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED) {
    Bytes bytes;
    cups_raster_t *raster = cupsRasterOpenIO(Append, &bytes, mode);
    if (raster == nullptr) {
        fprintf(stderr, "fuzz_seeds: libcups cannot write raster\n");
        exit(1);
    }
    for (const Page &page : pages) {
        cups_page_header2_t h;
        memset(&h, 0, sizeof(h));
        h.HWResolution[0] = h.HWResolution[1] = page.resolution;
        h.Margins[0] = h.Margins[1] = page.margins;
        h.PageSize[0] = 595;
        h.PageSize[1] = 842;
        h.ImagingBoundingBox[0] = h.ImagingBoundingBox[1] = page.margins;
        h.ImagingBoundingBox[2] = 595 - page.margins;
        h.ImagingBoundingBox[3] = 842 - page.margins;
        h.NumCopies = 1;
        h.Duplex = page.duplex ? CUPS_TRUE : CUPS_FALSE;
        h.cupsWidth = page.width;
        h.cupsHeight = page.height;
        h.cupsBitsPerColor = page.bitsPerColor;
        h.cupsBitsPerPixel = page.bitsPerColor;
        h.cupsBytesPerLine = (page.width * page.bitsPerColor + 7) / 8;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsColorSpace = page.colorSpace;
        h.cupsNumColors = 1;
        strcpy(h.cupsPageSizeName, "A4");
        if (!cupsRasterWriteHeader2(raster, &h)) {
            fprintf(stderr, "fuzz_seeds: libcups refuses a page header\n");
            exit(1);
        }
        Bytes line(h.cupsBytesPerLine);
        for (unsigned y = 0; y < page.height; ++y) {
            for (unsigned x = 0; x < h.cupsBytesPerLine; ++x)
                line[x] = Pixel(page, x, y);
            cupsRasterWritePixels(raster, line.data(), h.cupsBytesPerLine);
        }
    }
    cupsRasterClose(raster);
    return bytes;
}

Bytes WithOptions(const std::string &options, const Bytes &raster) {
    Bytes bytes = Text("#opts " + options + "\n");
    bytes.insert(bytes.end(), raster.begin(), raster.end());
    return bytes;
}

struct RasterSeed {
    std::string name;
    Bytes bytes;
};

std::vector<RasterSeed> RasterSeeds() {
    Page plain;
    Page white = plain;
    white.colorSpace = CUPS_CSPACE_W;
    Page swhite = plain;
    swhite.colorSpace = CUPS_CSPACE_SW;
    Page tall = plain;
    tall.width = 40;
    tall.height = 600;  // three bands
    tall.seed = 2;
    Page wide = plain;
    wide.width = 3000;
    wide.height = 4;
    Page tiny = plain;
    tiny.width = 1;
    tiny.height = 1;
    tiny.margins = 0;
    Page lowRes = plain;
    lowRes.resolution = 72;
    lowRes.margins = 100;
    Page oneBit = plain;
    oneBit.bitsPerColor = 1;
    Page sixteen = plain;
    sixteen.bitsPerColor = 16;
    Page duplexPage = plain;
    duplexPage.duplex = true;
    Page second = plain;
    second.seed = 3;
    second.width = 64;
    second.height = 300;

    std::vector<RasterSeed> seeds;
    seeds.push_back({"one-page", Raster({plain})});
    seeds.push_back({"one-page-uncompressed", Raster({plain}, CUPS_RASTER_WRITE)});
    seeds.push_back({"white-is-high", Raster({white, swhite})});
    seeds.push_back({"three-sizes", Raster({plain, tall, second})});
    seeds.push_back({"wide-and-tiny", Raster({wide, tiny, lowRes})});
    seeds.push_back({"no-pages", Raster({})});
    seeds.push_back({"one-bit-after-a-page", Raster({plain, oneBit})});
    seeds.push_back({"sixteen-bit", Raster({sixteen})});
    seeds.push_back({"duplex-odd", WithOptions("Duplex=DuplexNoTumble",
                                               Raster({duplexPage, duplexPage, second}))});
    seeds.push_back({"duplex-one-page", WithOptions("Duplex=DuplexNoTumble", Raster({plain}))});
    seeds.push_back({"tumble-long-edge", WithOptions("Duplex=DuplexTumble LongEdgeIsVertical=True",
                                                     Raster({duplexPage, tall, second, plain}))});
    seeds.push_back({"long-edge", WithOptions("LongEdgeIsVertical=True PageSize=Letter",
                                              Raster({plain, second}))});
    seeds.push_back(
        {"tone-and-toner", WithOptions("PBrightness=Level9 PContrast=Level1 TonerSave=True "
                                       "EdgeSmoothing=True MediaType=Thick InputSlot=Tray2",
                                       Raster({plain, white}))});
    Bytes cut = Raster({plain, second});
    cut.resize(cut.size() - cut.size() / 5);
    seeds.push_back({"cut-inside-a-page", cut});
    Bytes cutHeader = Raster({plain, second});
    const Bytes first = Raster({plain});
    cutHeader.resize(first.size() + 700);
    seeds.push_back({"cut-page-header", cutHeader});
    Bytes garbage = Raster({plain});
    const Bytes junk = Text("this is not a page header, just some bytes after the page");
    garbage.insert(garbage.end(), junk.begin(), junk.end());
    seeds.push_back({"garbage-after-a-page", garbage});
    return seeds;
}

// ---------------------------------------------------------------------------------------
// Bands for the JBIG target: two bytes of bytes-per-line minus one, a capacity byte,
// then the band.

Bytes Band(uint32_t bytesPerLine, uint8_t capacity, uint32_t lines, int kind, uint32_t seed) {
    Bytes bytes = {(uint8_t)((bytesPerLine - 1) & 0xFF), (uint8_t)((bytesPerLine - 1) >> 8),
                   capacity};
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t y = 0; y < lines; ++y) {
        for (uint32_t x = 0; x < bytesPerLine; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            uint8_t b = 0;
            switch (kind) {
                case 0:  // blank
                    break;
                case 1:  // black
                    b = 0xFF;
                    break;
                case 2:  // noise
                    b = (uint8_t)state;
                    break;
                case 3:  // strokes of text
                    b = (y % 24 < 14 && (x % 5 == 1 || (y % 24 < 3 && x % 5 < 4))) ? 0x3C : 0;
                    break;
                default:  // a halftone screen of a ramp
                    b = (uint8_t)(((x * 8 * 255 / (bytesPerLine * 8)) > ((y * 37 + x * 11) % 255))
                                      ? (0xAA >> (y & 1))
                                      : 0);
                    break;
            }
            bytes.push_back(b);
        }
    }
    return bytes;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: fuzz_seeds OUTPUT_DIR PPD_DIR\n");
        return 2;
    }
    gOut = argv[1];
    const std::string ppdDir = argv[2];
    gdifuzz::InitProcess("seeds");
    mkdir(gOut.c_str(), 0755);
    for (const char *target : {"raster", "options", "jbig", "gdidecode"})
        mkdir((gOut + "/" + target).c_str(), 0755);

    const std::vector<RasterSeed> rasters = RasterSeeds();
    for (const RasterSeed &seed : rasters) {
        Save("raster", seed.name, seed.bytes);
        // What the filter sends for it is a seed of the stream reader.
        std::string options;
        const uint8_t *raster;
        size_t size;
        gdifuzz::SplitOptions(seed.bytes.data(), seed.bytes.size(), &options, &raster, &size);
        const gdifuzz::FilterResult result =
            gdifuzz::RunFilter(raster, size, options, "seed", true);
        if (!result.output.empty())
            Save("gdidecode", seed.name + ".gdi", result.output);
    }
    Save("gdidecode", "empty", Bytes());

    const Bytes model1 = ReadFile(ppdDir + "/gdilsr1.ppd");
    const Bytes model2 = ReadFile(ppdDir + "/gdilsr2.ppd");
    auto optionsSeed = [](const std::string &title, const std::string &options, const Bytes *ppd) {
        Bytes bytes = Text(title);
        bytes.push_back(0);
        const Bytes o = Text(options);
        bytes.insert(bytes.end(), o.begin(), o.end());
        if (ppd != nullptr) {
            bytes.push_back(0);
            bytes.insert(bytes.end(), ppd->begin(), ppd->end());
        }
        return bytes;
    };
    auto replaced = [](const Bytes &ppd, const std::string &from, const std::string &to) {
        std::string s(ppd.begin(), ppd.end());
        const size_t at = s.find(from);
        if (at != std::string::npos)
            s.replace(at, from.size(), to);
        return Text(s);
    };
    const Bytes duplexDefault =
        replaced(model1, "*DefaultDuplex: None", "*DefaultDuplex: DuplexTumble");
    const Bytes letterDefault =
        replaced(replaced(model2, "*DefaultPageSize: A4", "*DefaultPageSize: Legal"),
                 "*DefaultInputSlot: Automatic", "*DefaultInputSlot: Manual");
    const Bytes longEdgeDefault = replaced(
        replaced(model1, "*DefaultLongEdgeIsVertical: False", "*DefaultLongEdgeIsVertical: True"),
        "*DefaultMediaType: Plain", "*DefaultMediaType: OHP");
    Save("options", "model1-defaults", optionsSeed("report.pdf", "", &model1));
    Save("options", "model2-duplex-letter",
         optionsSeed("@title", "Duplex=DuplexNoTumble media=Letter", &model2));
    Save("options", "ppd-duplex-default",
         optionsSeed("t", "PageSize=A5 InputSlot=Tray1", &duplexDefault));
    Save("options", "ppd-legal-manual", optionsSeed("t", "Duplex=DuplexNoTumble", &letterDefault));
    Save("options", "ppd-long-edge-ohp",
         optionsSeed("t", "Duplex=DuplexTumble PageSize=EnvDL", &longEdgeDefault));
    Save("options", "shipped-ppd-many",
         optionsSeed("a long job title that does not fit into the job header's name field at all "
                     "because it goes on and on",
                     "PageSize=HalfLetter InputSlot=Manual MediaType=Thick PBrightness=Level0 "
                     "PContrast=Level10 TonerSave=True EdgeSmoothing=True "
                     "LongEdgeIsVertical=True Duplex=DuplexNoTumble",
                     nullptr));
    Save("options", "shipped-ppd-quoted",
         optionsSeed("q",
                     "media='A6' PaperType=OHP Duplex=\"DuplexTumble\" "
                     "PBrightness=Level7 {nested=1} PageSize=Custom.200x300",
                     nullptr));
    const Bytes emptyPPD;
    Save("options", "empty-ppd", optionsSeed("t", "Duplex=DuplexNoTumble", &emptyPPD));

    const uint32_t widths[] = {1, 3, 78, 624};
    int kind = 0;
    for (uint32_t bpl : widths) {
        for (int k = 0; k < 5; ++k, ++kind) {
            const uint32_t lines = std::min<uint32_t>(256, 24000 / bpl);
            const uint8_t capacity = (uint8_t)(k == 0 ? 255 : k * 40);
            Save("jbig", "band-" + std::to_string(bpl) + "-" + std::to_string(k),
                 Band(bpl, capacity, lines, kind % 5, bpl + (uint32_t)k));
        }
    }
    Bytes partial = Band(10, 0, 3, 2, 9);
    partial.insert(partial.end(), {0x81, 0x42, 0x24});  // a trailing partial line
    Save("jbig", "partial-line", partial);

    printf("fuzz_seeds: %u seed files in %s\n", gWritten, gOut.c_str());
    return 0;
}
