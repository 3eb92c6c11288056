// The models, their paper table, trays and media types, and the job option string.
#include "printerapp/ModelTable.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "options/QNVCUPSFilter.h"

namespace printerapp {

// The paper table of ppd/gdi-laser.drv. Sizes without a PWG name of their own get a
// self-describing one ("oe_" for inch sizes, "om_" for metric ones).
const Paper kPapers[] = {
    {"A4", "iso_a4_210x297mm", 595, 842},
    {"Letter", "na_letter_8.5x11in", 612, 792},
    {"Legal", "na_legal_8.5x14in", 612, 1008},
    {"HalfLetter", "na_invoice_5.5x8.5in", 396, 612},
    {"Executive", "na_executive_7.25x10.5in", 522, 756},
    {"A3", "iso_a3_297x420mm", 842, 1191},
    {"A5", "iso_a5_148x210mm", 420, 595},
    {"B4", "jis_b4_257x364mm", 729, 1032},
    {"JISB5", "jis_b5_182x257mm", 516, 729},
    {"Foolscap", "om_folio_210x330mm", 595, 935},
    {"Folio", "na_foolscap_8.5x13in", 612, 936},
    {"10x14", "na_10x14_10x14in", 720, 1008},
    {"Ledger", "na_ledger_11x17in", 792, 1224},
    {"GovernmentLG", "oe_government-legal_8.5x13in", 612, 936},
    {"Env10", "na_number-10_4.125x9.5in", 297, 684},
    {"EnvDL", "iso_dl_110x220mm", 312, 624},
    {"EnvC5", "iso_c5_162x229mm", 459, 649},
    {"EnvC6", "iso_c6_114x162mm", 323, 459},
    {"Monarch", "na_monarch_3.875x7.5in", 279, 540},
    {"Postcard", "jpn_hagaki_100x148mm", 284, 419},
    {"DoublePostcard", "jpn_oufuku_148x200mm", 420, 567},
    {"A6", "iso_a6_105x148mm", 297, 420},
    {"B6", "jis_b6_128x182mm", 363, 516},
    {"8K", "om_8k_270x390mm", 765, 1106},
    {"16K", "om_16k_195x270mm", 553, 765},
    {"FS", "oe_fs_8.5x13in", 612, 936},
    {"GLT", "oe_government-letter_8x10.5in", 576, 756},
    {"EngQuatro", "na_govt-letter_8x10in", 576, 720},
    {"11x14", "na_edp_11x14in", 792, 1008},
    {"12x18", "na_arch-b_12x18in", 864, 1296},
    {"11x15", "na_11x15_11x15in", 792, 1080},
};
const size_t kPaperCount = sizeof(kPapers) / sizeof(kPapers[0]);

const NamePair kSources[] = {
    {"auto", "Automatic"}, {"manual", "Manual"}, {"tray-1", "Tray1"},
    {"tray-2", "Tray2"},   {"tray-3", "Tray3"},  {"tray-4", "Tray4"},
};
const size_t kSourceCount = sizeof(kSources) / sizeof(kSources[0]);

const NamePair kMediaTypes[] = {
    {"stationery", "Plain"},
    {"stationery-heavyweight", "Thick"},
    {"transparency", "OHP"},
};
const size_t kMediaTypeCount = sizeof(kMediaTypes) / sizeof(kMediaTypes[0]);

const Model kModels[2] = {
    {"gdi_laser_1", "Generic GDI Laser Model 1", 1},
    {"gdi_laser_2", "Generic GDI Laser Model 2", 2},
};

const char kBrightnessAttr[] = "gdi-brightness";
const char kContrastAttr[] = "gdi-contrast";
const char kTonerSaveAttr[] = "gdi-toner-save";
const char kEdgeSmoothingAttr[] = "gdi-edge-smoothing";
const char kLongEdgeFeedAttr[] = "gdi-long-edge-feed";

namespace {

// Points in hundredths of millimetres: 2540 / 72 per point.
long PointsToHmm(unsigned points) {
    return ((long)points * 2540 + 36) / 72;
}

// Within a point (35 hundredths of a millimetre).
bool Near(long a, long b) {
    return labs(a - b) <= 36;
}

// The job options' own level keywords (brightness and contrast share them).
const char *LevelKeyword(int level) {
    static_assert(sizeof(kBrightnessArray) / sizeof(kBrightnessArray[0]) == 2 * kLevelRange + 1,
                  "one brightness keyword per level");
    if (level < -kLevelRange)
        level = -kLevelRange;
    if (level > kLevelRange)
        level = kLevelRange;
    return kBrightnessArray[level + kLevelRange].name;
}

const char *Bool(bool on) {
    return on ? "True" : "False";
}

const char *DuplexKeyword(Sides sides) {
    switch (sides) {
        case Sides::kTwoSidedLongEdge:
            return "DuplexNoTumble";
        case Sides::kTwoSidedShortEdge:
            return "DuplexTumble";
        case Sides::kOneSided:
            break;
    }
    return "None";
}

}  // namespace

const Model *ModelForDriver(const char *driverName) {
    if (driverName == nullptr)
        return nullptr;
    for (const Model &model : kModels) {
        if (strcmp(model.driverName, driverName) == 0)
            return &model;
    }
    return nullptr;
}

const Paper *PaperForPwgName(const char *pwgName) {
    if (pwgName == nullptr)
        return nullptr;
    for (size_t i = 0; i < kPaperCount; ++i) {
        if (strcmp(kPapers[i].pwgName, pwgName) == 0)
            return &kPapers[i];
    }
    return nullptr;
}

const Paper *PaperForSize(int widthHmm, int lengthHmm) {
    for (size_t i = 0; i < kPaperCount; ++i) {
        const long w = PointsToHmm(kPapers[i].widthPoints);
        const long h = PointsToHmm(kPapers[i].heightPoints);
        if ((Near(w, widthHmm) && Near(h, lengthHmm)) || (Near(w, lengthHmm) && Near(h, widthHmm)))
            return &kPapers[i];
    }
    return nullptr;
}

bool IsCustomSizeInRange(int widthHmm, int lengthHmm) {
    return widthHmm + 36 >= PointsToHmm(kMinCustomWidthPoints) &&
           widthHmm <= PointsToHmm(kMaxCustomWidthPoints) + 36 &&
           lengthHmm + 36 >= PointsToHmm(kMinCustomHeightPoints) &&
           lengthHmm <= PointsToHmm(kMaxCustomHeightPoints) + 36;
}

const char *KeywordFor(const NamePair *table, size_t count, const char *ipp) {
    if (ipp == nullptr)
        return nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (strcmp(table[i].ipp, ipp) == 0)
            return table[i].keyword;
    }
    return nullptr;
}

const char *ModelDefaultOptions() {
    return "PageSize=A4 MediaType=Plain InputSlot=Automatic Duplex=None PBrightness=Level5 "
           "PContrast=Level5 TonerSave=False EdgeSmoothing=False LongEdgeIsVertical=False";
}

std::string PaperKeyword(const JobRequest &request) {
    const Paper *paper = PaperForPwgName(request.mediaName.c_str());
    if (paper == nullptr)
        paper = PaperForSize(request.widthHmm, request.lengthHmm);
    if (paper != nullptr)
        return paper->keyword;
    // A size of its own, in points as a PPD's custom size is given.
    char custom[64];
    snprintf(custom, sizeof(custom), "Custom.%ldx%ld", ((long)request.widthHmm * 72 + 1270) / 2540,
             ((long)request.lengthHmm * 72 + 1270) / 2540);
    return custom;
}

std::string JobOptionString(const JobRequest &request) {
    const char *slot = KeywordFor(kSources, kSourceCount, request.source.c_str());
    const char *type = KeywordFor(kMediaTypes, kMediaTypeCount, request.mediaType.c_str());
    std::string options = "PageSize=" + PaperKeyword(request);
    options += " InputSlot=";
    options += slot != nullptr ? slot : "Automatic";
    options += " MediaType=";
    options += type != nullptr ? type : "Plain";
    options += " Duplex=";
    options += DuplexKeyword(request.sides);
    options += " PBrightness=";
    options += LevelKeyword(request.brightness);
    options += " PContrast=";
    options += LevelKeyword(request.contrast);
    options += " TonerSave=";
    options += Bool(request.tonerSave);
    options += " EdgeSmoothing=";
    options += Bool(request.edgeSmoothing);
    options += " LongEdgeIsVertical=";
    options += Bool(request.longEdgeFeed);
    return options;
}

}  // namespace printerapp
