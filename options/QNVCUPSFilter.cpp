// Job options of one print job.
#include "options/QNVCUPSFilter.h"

#include <cups/cups.h>
#include <cups/ppd.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "common/CUPSDebug.h"

// CUPS marks its PPD calls deprecated, yet queues of raster drivers still hand
// their filters a PPD, and these calls are how a filter reads it.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

const _Str_ID kPaperTypeArray[3] = {{"Plain", 0}, {"OHP", 2}, {"Thick", 1}};

const _Str_ID kInputTrayArray[6] = {{"Automatic", 0}, {"Manual", 1}, {"Tray1", 2},
                                    {"Tray2", 3},     {"Tray3", 4},  {"Tray4", 5}};

const _Str_ID kPaperSizeArray[32] = {{"Letter", 1},
                                     {"Legal", 5},
                                     {"HalfLetter", 6},
                                     {"Executive", 7},
                                     {"A3", 8},
                                     {"A4", 9},
                                     {"A5", 11},
                                     {"B4", 12},
                                     {"JISB5", 13},
                                     {"Foolscap", 14},
                                     {"Folio", 15},
                                     {"10x14", 121},
                                     {"Ledger", 17},
                                     {"GovernmentLG", 18},
                                     {"Env10", 20},
                                     {"EnvDL", 27},
                                     {"EnvC5", 28},
                                     {"EnvC6", 31},
                                     {"Monarch", 37},
                                     {"Postcard", 43},
                                     {"DoublePostcard", 69},
                                     {"A6", 70},
                                     {"B6", 88},
                                     {"8K", 92},
                                     {"16K", 93},
                                     {"FS", 16},
                                     {"GLT", 122},
                                     {"EngQuatro", 123},
                                     {"11x14", 124},
                                     {"12x18", 125},
                                     {"11x15", 46},
                                     {"Custom", 255}};

#define LEVEL_ROWS                                                                       \
    {"Level0", -75}, {"Level1", -60}, {"Level2", -45}, {"Level3", -30}, {"Level4", -15}, \
        {"Level5", 0}, {"Level6", 15}, {"Level7", 30}, {"Level8", 45}, {"Level9", 60}, { \
        "Level10", 75                                                                    \
    }
const _Str_ID kBrightnessArray[11] = {LEVEL_ROWS};
const _Str_ID kContrastArray[11] = {LEVEL_ROWS};
#undef LEVEL_ROWS

const _Str_ID kBOOLTypeArray[2] = {{"True", 1}, {"False", 0}};

const _Str_ID kDuplexArray[3] = {{"None", 0}, {"DuplexNoTumble", 1}, {"DuplexTumble", 2}};

const unsigned kPaperSizeListOnlyManualTray[7] = {88, 70, 20, 37, 27, 28, 31};
const unsigned kPaperSizeListNADuplex[9] = {88, 6, 43, 69, 20, 37, 27, 28, 31};
const unsigned kPaperTypeListNADuplex[2] = {1, 2};
const unsigned kPaperSizeListNALongEdge[17] = {8,  12, 88, 70, 17, 5,  16, 14, 15,
                                               18, 92, 43, 20, 37, 27, 28, 31};

namespace {

constexpr int kNotSet = 254;
constexpr int kCustomPaperSize = 255;
constexpr int kLongEdgeMark = 128;
constexpr unsigned kTrayManual = 1, kTrayTray1 = 2, kTrayTray2 = 3, kTrayTray3 = 4, kTrayTray4 = 5;
constexpr int kHalfLetter = 6, kA5 = 11;

// The texts the print dialog shows for the choices (the PPD's), for the revision notes.
struct ChoiceText {
    int value;
    const char *text;
};

const ChoiceText kPaperSizeTexts[] = {{1, "Letter"},
                                      {5, "Legal"},
                                      {6, "Half Letter"},
                                      {7, "Executive"},
                                      {8, "A3"},
                                      {9, "A4"},
                                      {11, "A5"},
                                      {12, "B4 (JIS)"},
                                      {13, "B5 (JIS)"},
                                      {14, "Foolscap"},
                                      {15, "Folio"},
                                      {121, "10 x 14 in"},
                                      {17, "Ledger"},
                                      {18, "Government Legal"},
                                      {20, "Envelope #10"},
                                      {27, "Envelope DL"},
                                      {28, "Envelope C5"},
                                      {31, "Envelope C6"},
                                      {37, "Envelope Monarch"},
                                      {43, "Postcard"},
                                      {69, "Double Postcard"},
                                      {70, "A6"},
                                      {88, "B6 (JIS)"},
                                      {92, "8K"},
                                      {93, "16K"},
                                      {16, "FS"},
                                      {122, "Government Letter"},
                                      {123, "English Quarto"},
                                      {124, "11 x 14 in"},
                                      {125, "12 x 18 in"},
                                      {46, "11 x 15 in"},
                                      {255, "custom size"}};
const ChoiceText kInputTrayTexts[] = {{0, "Automatic"}, {1, "Manual Feed"}, {2, "Tray 1"},
                                      {3, "Tray 2"},    {4, "Tray 3"},      {5, "Tray 4"}};
const ChoiceText kPaperTypeTexts[] = {{0, "Plain Paper"}, {1, "Thick Paper"}, {2, "Transparency"}};
const ChoiceText kDuplexTexts[] = {
    {0, "one-sided"}, {1, "two-sided, long edge"}, {2, "two-sided, short edge"}};

template <size_t N>
const char *TextOf(const ChoiceText (&table)[N], long value) {
    for (const ChoiceText &row : table) {
        if (row.value == value)
            return row.text;
    }
    return "the chosen setting";
}

const char *OnOff(bool on) {
    return on ? "On" : "Off";
}

// CUPS hands every filter its queue's PPD in $PPD; asking the scheduler is the
// fallback for running the filter by hand.
const char *FindPPDFile(const char *printer) {
    const char *fromEnvironment = getenv("PPD");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0')
        return fromEnvironment;
    if (printer == nullptr)
        return nullptr;
    return cupsGetPPD(printer);
}

}  // namespace

int strLenth(const char *text) {
    return text == nullptr ? 0 : (int)strlen(text);
}

QNVCUPSFilter::QNVCUPSFilter(int argc, const char **argv) {
    (void)Run(argc, argv);
}

QNVCUPSFilter::QNVCUPSFilter(const QNVCUPSFilter &other) = default;

QNVCUPSFilter::QNVCUPSFilter() {
    ClearSettings();
}

QNVCUPSFilter QNVCUPSFilter::ForModel(unsigned modelNumber, const char *defaults,
                                      const char *jobOptions, const char *title) {
    QNVCUPSFilter options;
    char number[16];
    snprintf(number, sizeof(number), "%u", modelNumber);
    options.SetDriverInfo("cupsModelNumber", number);
    cups_option_t *list = nullptr;
    const int count = cupsParseOptions(defaults != nullptr ? defaults : "", 0, &list);
    for (int i = 0; i < count; ++i)
        options.SetOptions(list[i].name, list[i].value);
    cupsFreeOptions(count, list);
    options.SetTitle(title);
    options.LoadOptions(jobOptions != nullptr ? jobOptions : "");
    options.ReviseOptions();
    return options;
}

void QNVCUPSFilter::ClearSettings() {
    memset(fileName, 0, sizeof(fileName));
    rasterFileHandle = 0;
    rasterOpenError = 0;
    paperType = kNotSet;
    paperSize = kNotSet;
    inputTray = 0;
    brightness = 0;
    contrast = 0;
    longEdgeIsVertical = false;
    edgeSmoothing = false;
    tonerSaving = false;
    duplexStyle = 0;
    modelNumberIsOne = 0;
    revisionNoteCount = 0;
    memset(revisionNotes, 0, sizeof(revisionNotes));
}

// The job title without a leading at sign, cut to 127 characters.
void QNVCUPSFilter::SetTitle(const char *title) {
    if (title == nullptr)
        return;
    if (title[0] == '@')
        ++title;
    strncpy(fileName, title, sizeof(fileName) - 1);
    fileName[sizeof(fileName) - 1] = '\0';
}

QNVCUPSFilter::~QNVCUPSFilter() {}

bool QNVCUPSFilter::Run(int argc, const char **argv) {
    CPSDebugLog("QNVCUPSFilter is running!");
    ClearSettings();

    SetDefaultOptions(argc > 0 ? argv[0] : nullptr);

    bool result = false;
    if (argc > 6) {
        rasterFileHandle = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (rasterFileHandle == -1) {
            rasterOpenError = errno;
            CPSDebugLog("Unable to open argv[6]");
        } else {
            result = true;
        }
    } else if (argc == 6) {
        result = true;
    } else {
        CPSDebugLog("Not enough arguments");
    }

    if (argc > 3)
        SetTitle(argv[3]);

    if (result) {
        LoadOptions(argv[5]);
        ReviseOptions();
    }
    return result;
}

void QNVCUPSFilter::SetDefaultOptions(const char *name) {
    const char *path = FindPPDFile(name);
    if (path == nullptr) {
        CPSDebugLog("No PPD file!");
        CPSDebugLog("can't open PPD file!");
        return;
    }
    ppd_file_t *ppd = ppdOpenFile(path);
    if (ppd == nullptr) {
        CPSDebugLog("can't open PPD file!");
        return;
    }
    static const char kDefaultPrefix[] = "Default";
    const size_t prefixLength = sizeof(kDefaultPrefix) - 1;
    for (int i = 0; i < ppd->num_attrs; ++i) {
        const ppd_attr_t *attr = ppd->attrs[i];
        const char *value = attr->value != nullptr ? attr->value : "";
        CPSDebugLog("ppd attr %s = %s", attr->name, value);
        if (strncmp(attr->name, kDefaultPrefix, prefixLength) == 0) {
            SetOptions(attr->name + prefixLength, value);
        } else {
            SetDriverInfo(attr->name, value);
        }
    }
    ppdClose(ppd);
}

void QNVCUPSFilter::SetDriverInfo(const char *name, const char *value) {
    if (name == nullptr || value == nullptr)
        return;
    if (strcasecmp(name, "cupsModelNumber") == 0) {
        modelNumberIsOne = strtol(value, nullptr, 10) == 1 ? 1 : 0;
    }
}

void QNVCUPSFilter::SetOptions(const char *name, const char *value) {
    if (name == nullptr || value == nullptr)
        return;
    auto is = [name](const char *keyword) { return strcasecmp(name, keyword) == 0; };
    if (is("PaperType") || is("MediaType")) {
        paperType = (unsigned)GetValueOfSTRIDArray(value, kPaperTypeArray, 3);
    } else if (is("InputSlot")) {
        inputTray = (unsigned)GetValueOfSTRIDArray(value, kInputTrayArray, 6);
    } else if (is("media") || is("PageSize")) {
        paperSize = GetValueOfSTRIDArray(value, kPaperSizeArray, 32);
    } else if (is("PBrightness")) {
        brightness = GetValueOfSTRIDArray(value, kBrightnessArray, 11);
    } else if (is("PContrast")) {
        contrast = GetValueOfSTRIDArray(value, kContrastArray, 11);
    } else if (is("LongEdgeIsVertical")) {
        longEdgeIsVertical = GetValueOfSTRIDArray(value, kBOOLTypeArray, 2) != 0;
    } else if (is("EdgeSmoothing")) {
        edgeSmoothing = GetValueOfSTRIDArray(value, kBOOLTypeArray, 2) != 0;
    } else if (is("TonerSave")) {
        tonerSaving = GetValueOfSTRIDArray(value, kBOOLTypeArray, 2) != 0;
    } else if (is("Duplex")) {
        duplexStyle = (unsigned)GetValueOfSTRIDArray(value, kDuplexArray, 3);
    }
}

int QNVCUPSFilter::GetValueOfSTRIDArray(const char *value, const _Str_ID *table, int count) {
    if (value == nullptr || table == nullptr || count <= 0)
        return 0;
    const char *text = strncasecmp(value, "Custom", 6) == 0 ? "Custom" : value;
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(table[i].name, text) == 0)
            return table[i].value;
    }
    return 0;
}

bool QNVCUPSFilter::FoundFromArray(unsigned key, const unsigned *list, int count) {
    if (list == nullptr)
        return false;
    for (int i = 0; i < count; ++i) {
        if (list[i] == key)
            return true;
    }
    return false;
}

void QNVCUPSFilter::LoadOptions(const char *options) {
    cups_option_t *list = nullptr;
    int count = cupsParseOptions(options, 0, &list);
    for (int i = 0; i < count; ++i) {
        CPSDebugLog("Option %s = %s", list[i].name, list[i].value);
        SetOptions(list[i].name, list[i].value);
    }
    cupsFreeOptions(count, list);

    if (longEdgeIsVertical && paperSize != kCustomPaperSize)
        paperSize += kLongEdgeMark;

    CPSDebugLog("thePrintWeapon.PaperSize: %d", paperSize);
    CPSDebugLog("thePrintWeapon.PaperType: %d", (int)paperType);
    CPSDebugLog("thePrintWeapon.Brightness: %d", brightness);
    CPSDebugLog("thePrintWeapon.Contrast: %d", contrast);
    CPSDebugLog("thePrintWeapon.DuplexStyle: %d", (int)duplexStyle);
}

void QNVCUPSFilter::NoteRevision(const char *format, ...) {
    if (revisionNoteCount >= kMaxRevisionNotes)
        return;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(revisionNotes[revisionNoteCount], kRevisionNoteSize, format, arguments);
    va_end(arguments);
    CPSDebugLog("Revised: %s", revisionNotes[revisionNoteCount]);
    ++revisionNoteCount;
}

// Each rule below is followed by a note when it changed what the job asked for.
void QNVCUPSFilter::ReviseOptions() {
    const unsigned size = (unsigned)paperSize;
    const char *const sizeText = TextOf(kPaperSizeTexts, paperSize);

    // Sizes the printer cannot feed long edge first.
    const bool longEdgeAsked = longEdgeIsVertical;
    if (FoundFromArray(size, kPaperSizeListNALongEdge, 17))
        longEdgeIsVertical = false;
    if (longEdgeIsVertical != longEdgeAsked) {
        NoteRevision(
            "Feed Long Edge First is not available for %s paper; feeding it short "
            "edge first",
            sizeText);
    }

    // Envelopes and the smallest cards only feed from the manual tray.
    const unsigned trayAsked = inputTray;
    if (FoundFromArray(size, kPaperSizeListOnlyManualTray, 7))
        inputTray = kTrayManual;
    if (inputTray != trayAsked) {
        NoteRevision("Paper Source %s is not available for %s paper; printing from Manual Feed",
                     TextOf(kInputTrayTexts, trayAsked), sizeText);
    }

    // HalfLetter and A5 lie long edge first in some trays, depending on the model.
    const bool feedAsked = longEdgeIsVertical;
    if (paperSize == kHalfLetter || paperSize == kA5) {
        const bool modelOne = modelNumberIsOne == 1;
        if ((modelOne && (inputTray == kTrayTray1 || inputTray == kTrayTray2)) ||
            (!modelOne && inputTray == kTrayTray1)) {
            longEdgeIsVertical = true;
        } else if ((modelOne && (inputTray == kTrayTray3 || inputTray == kTrayTray4)) ||
                   (!modelOne && (inputTray == kTrayTray2 || inputTray == kTrayTray3)) ||
                   (paperSize == kHalfLetter && inputTray == kTrayManual)) {
            longEdgeIsVertical = false;
        }
    }
    if (longEdgeIsVertical != feedAsked) {
        NoteRevision(
            "Feed Long Edge First %s: %s paper from %s is fed %s edge first on this "
            "model; printing with Feed Long Edge First %s",
            OnOff(feedAsked), sizeText, TextOf(kInputTrayTexts, inputTray),
            longEdgeIsVertical ? "long" : "short", OnOff(longEdgeIsVertical));
    }

    const unsigned duplexAsked = duplexStyle;
    if (FoundFromArray(size, kPaperSizeListNADuplex, 9))
        duplexStyle = 0;
    if (duplexStyle != duplexAsked) {
        NoteRevision("Duplex (%s) is not available for %s paper; printing one-sided",
                     TextOf(kDuplexTexts, duplexAsked), sizeText);
    }

    // Special media only from the manual tray, and the manual tray never duplexes.
    const unsigned duplexBeforeTray = duplexStyle;
    const unsigned typeAsked = paperType;
    if (inputTray == kTrayManual) {
        duplexStyle = 0;
    } else {
        paperType = 0;
    }
    if (duplexStyle != duplexBeforeTray) {
        NoteRevision("Duplex (%s) is not available with the manual tray; printing one-sided",
                     TextOf(kDuplexTexts, duplexBeforeTray));
    }
    if (paperType != typeAsked) {
        NoteRevision(
            "Media Type %s is only fed from the manual tray, not from %s; printing as "
            "Plain Paper",
            TextOf(kPaperTypeTexts, typeAsked), TextOf(kInputTrayTexts, inputTray));
    }

    const unsigned duplexBeforeType = duplexStyle;
    if (FoundFromArray(paperType, kPaperTypeListNADuplex, 2))
        duplexStyle = 0;
    if (duplexStyle != duplexBeforeType) {
        NoteRevision("Duplex (%s) is not available with %s; printing one-sided",
                     TextOf(kDuplexTexts, duplexBeforeType), TextOf(kPaperTypeTexts, paperType));
    }
}
