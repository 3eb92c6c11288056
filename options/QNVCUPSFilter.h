// Job options: built-in defaults, then the queue's PPD defaults, then the job's
// option string, then the revision rules for combinations the printer cannot do.
#ifndef GDI_OPTIONS_QNVCUPSFILTER_H
#define GDI_OPTIONS_QNVCUPSFILTER_H

#include <stddef.h>

// One row of a keyword table.
struct _Str_ID {
    const char *name;
    int value;
};

extern const _Str_ID kPaperTypeArray[3];
extern const _Str_ID kInputTrayArray[6];
extern const _Str_ID kPaperSizeArray[32];
extern const _Str_ID kBrightnessArray[11];
extern const _Str_ID kContrastArray[11];
extern const _Str_ID kBOOLTypeArray[2];
extern const _Str_ID kDuplexArray[3];

extern const unsigned kPaperSizeListOnlyManualTray[7];
extern const unsigned kPaperSizeListNADuplex[9];
extern const unsigned kPaperTypeListNADuplex[2];
extern const unsigned kPaperSizeListNALongEdge[17];

// Length of a text, 0 for a null pointer.
int strLenth(const char *text);

class QNVCUPSFilter {
public:
    QNVCUPSFilter(int argc, const char **argv);
    QNVCUPSFilter(const QNVCUPSFilter &other);

    // The options of a job for a front end without a PPD: the model's number (as a PPD's
    // cupsModelNumber), its defaults (the PPD's default keywords as an option string,
    // e.g. "PageSize=A4 InputSlot=Automatic"), the job's options and its title, then the
    // revision rules, as the CUPS filter takes them from its PPD and arguments.
    static QNVCUPSFilter ForModel(unsigned modelNumber, const char *defaults,
                                  const char *jobOptions, const char *title);
    QNVCUPSFilter &operator=(const QNVCUPSFilter &) = default;
    virtual ~QNVCUPSFilter();

    bool Run(int argc, const char **argv);
    void SetDefaultOptions(const char *name);
    void SetDriverInfo(const char *name, const char *value);
    void SetOptions(const char *name, const char *value);
    void LoadOptions(const char *options);
    void ReviseOptions();
    int GetValueOfSTRIDArray(const char *value, const _Str_ID *table, int count);
    bool FoundFromArray(unsigned key, const unsigned *list, int count);

    const char *GetFileName() const { return fileName; }
    int GetRasterFileHandle() const { return rasterFileHandle; }
    // Why the job's input file could not be opened (an errno value; 0 when it was).
    int GetRasterOpenError() const { return rasterOpenError; }
    bool IsLongEdgeVertical() const { return longEdgeIsVertical; }
    bool IsDuplex() const { return duplexStyle != 0; }
    bool IsTonerSaving() const { return tonerSaving; }
    bool IsEdgeSmoothing() const { return edgeSmoothing; }
    unsigned GetPaperType() const { return paperType; }
    int GetPaperSize() const { return paperSize; }
    unsigned GetInputTray() const { return inputTray; }
    int GetBrightness() const { return brightness; }
    int GetContrast() const { return contrast; }
    unsigned GetDuplexStyle() const { return duplexStyle; }
    unsigned GetModelNumberIsOne() const { return modelNumberIsOne; }

    // What the revision rules changed in the job's options, one note per change in
    // words for the user (the option, what was asked, what is printed instead).
    static constexpr size_t kMaxRevisionNotes = 8;
    static constexpr size_t kRevisionNoteSize = 160;
    size_t GetRevisionNoteCount() const { return revisionNoteCount; }
    // The note at index, or null past the last one.
    const char *GetRevisionNote(size_t index) const {
        return index < revisionNoteCount ? revisionNotes[index] : nullptr;
    }

private:
    QNVCUPSFilter();
    void ClearSettings();
    void SetTitle(const char *title);
    void NoteRevision(const char *format, ...) __attribute__((format(printf, 2, 3)));

    char fileName[128];
    int rasterFileHandle;
    int rasterOpenError;
    unsigned paperType;
    int paperSize;
    unsigned inputTray;
    int brightness;
    int contrast;
    bool longEdgeIsVertical;
    bool edgeSmoothing;
    bool tonerSaving;
    unsigned duplexStyle;
    unsigned modelNumberIsOne;
    size_t revisionNoteCount;
    char revisionNotes[kMaxRevisionNotes][kRevisionNoteSize];
};

#endif
