// The two printer models as a printer application offers them: the paper table, the
// trays and media types by their IPP names beside the keywords the job options use,
// and the keyword option string a job's IPP settings give. Pure data and functions,
// shared by the driver set-up, the job path and the tests.
#ifndef GDI_PRINTERAPP_MODELTABLE_H
#define GDI_PRINTERAPP_MODELTABLE_H

#include <stddef.h>

#include <string>

namespace printerapp {

// A paper size of the printer: its option keyword, its PWG media name and its size in
// points (as the PPDs list it).
struct Paper {
    const char *keyword;
    const char *pwgName;
    unsigned widthPoints;
    unsigned heightPoints;
};

// An IPP keyword beside the job option keyword it stands for.
struct NamePair {
    const char *ipp;
    const char *keyword;
};

extern const Paper kPapers[];
extern const size_t kPaperCount;
extern const NamePair kSources[];  // media-source -> InputSlot
extern const size_t kSourceCount;
extern const NamePair kMediaTypes[];  // media-type -> MediaType
extern const size_t kMediaTypeCount;

// The range of custom sizes the printer takes, in points (the PPDs' MinSize, MaxSize).
constexpr unsigned kMinCustomWidthPoints = 216;
constexpr unsigned kMinCustomHeightPoints = 360;
constexpr unsigned kMaxCustomWidthPoints = 864;
constexpr unsigned kMaxCustomHeightPoints = 1296;
// The printer's margins on every side: 12 points, in hundredths of millimetres.
constexpr int kMarginHundredthsMm = 423;

struct Model {
    const char *driverName;    // PAPPL driver name
    const char *makeAndModel;  // printer-make-and-model
    unsigned modelNumber;      // the PPDs' cupsModelNumber
};
extern const Model kModels[2];
// The model of a driver name, or null.
const Model *ModelForDriver(const char *driverName);

// The paper of a PWG media name, or null.
const Paper *PaperForPwgName(const char *pwgName);
// The paper of a size in hundredths of millimetres, either way round, to within a
// point; or null.
const Paper *PaperForSize(int widthHmm, int lengthHmm);
// Whether a size in hundredths of millimetres lies in the custom size range.
bool IsCustomSizeInRange(int widthHmm, int lengthHmm);

// The job option keyword of an IPP value in a table, or null.
const char *KeywordFor(const NamePair *table, size_t count, const char *ipp);

enum class Sides { kOneSided, kTwoSidedLongEdge, kTwoSidedShortEdge };

// What a job asks for in IPP terms, each value the job's own or the printer's default.
struct JobRequest {
    std::string mediaName;  // PWG media name ("" when the job gave only a size)
    int widthHmm = 0;       // media size, hundredths of millimetres
    int lengthHmm = 0;
    std::string source;     // media-source
    std::string mediaType;  // media-type
    Sides sides = Sides::kOneSided;
    int brightness = 0;  // -5 .. 5
    int contrast = 0;    // -5 .. 5
    bool tonerSave = false;
    bool edgeSmoothing = false;
    bool longEdgeFeed = false;
};

// The model's defaults as the PPDs give them, as a job option string.
const char *ModelDefaultOptions();
// The job option keyword of the job's paper: the table's keyword, or Custom.WxH (in
// points) for a size the table does not have.
std::string PaperKeyword(const JobRequest &request);
// The job's settings as a job option string (PageSize=A4 InputSlot=Tray1 ...), for
// QNVCUPSFilter::ForModel.
std::string JobOptionString(const JobRequest &request);

// Vendor attribute names of the driver's own settings.
extern const char kBrightnessAttr[];
extern const char kContrastAttr[];
extern const char kTonerSaveAttr[];
extern const char kEdgeSmoothingAttr[];
extern const char kLongEdgeFeedAttr[];
constexpr int kLevelRange = 5;  // brightness and contrast run from -5 to 5

}  // namespace printerapp

#endif
