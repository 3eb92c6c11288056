// Job options: PPD defaults, argument checks, the option string and the revision rules.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "options/QNVCUPSFilter.h"

namespace {

const std::string kModelOnePPD = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd";
const std::string kModelTwoPPD = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr2.ppd";
const std::string kThickLetterPPD =
    std::string(GDI_SOURCE_DIR) + "/tests/options/data/thick-letter.ppd";

// Builds the options the way CUPS starts the filter: printer, job, user, title,
// copies, options [, file], with the queue's PPD in $PPD ("" for none).
QNVCUPSFilter MakeOptions(const std::string &ppd, std::vector<const char *> args) {
    if (ppd.empty()) {
        setenv("PPD", "/nonexistent/queue.ppd", 1);
    } else {
        setenv("PPD", ppd.c_str(), 1);
    }
    return QNVCUPSFilter((int)args.size(), args.data());
}

QNVCUPSFilter WithJobOptions(const std::string &ppd, const char *options) {
    return MakeOptions(ppd, {"queue", "1", "user", "title", "1", options});
}

struct Expected {
    int paperSize;
    unsigned paperType;
    unsigned inputTray;
    unsigned duplexStyle;
    bool longEdge;
};

struct OptionCase {
    const char *name;
    const char *ppd;  // "1", "2" or "" for no PPD
    const char *options;
    Expected expected;
};

std::string PPDFor(const char *which) {
    if (std::string(which) == "1")
        return kModelOnePPD;
    if (std::string(which) == "2")
        return kModelTwoPPD;
    return "";
}

void PrintTo(const OptionCase &c, std::ostream *os) {
    *os << c.name;
}

class JobOptionsTable : public ::testing::TestWithParam<OptionCase> {};

TEST_P(JobOptionsTable, ResolvesToExpectedSettings) {
    const OptionCase &c = GetParam();
    QNVCUPSFilter options = WithJobOptions(PPDFor(c.ppd), c.options);
    EXPECT_EQ(options.GetPaperSize(), c.expected.paperSize);
    EXPECT_EQ(options.GetPaperType(), c.expected.paperType);
    EXPECT_EQ(options.GetInputTray(), c.expected.inputTray);
    EXPECT_EQ(options.GetDuplexStyle(), c.expected.duplexStyle);
    EXPECT_EQ(options.IsLongEdgeVertical(), c.expected.longEdge);
    EXPECT_EQ(options.IsDuplex(), c.expected.duplexStyle != 0);
}

const OptionCase kOptionCases[] = {
    {"PpdDefaultsOnly", "1", "", {9, 0, 0, 0, false}},
    {"NoPpdLeavesSizeUnset", "", "", {254, 0, 0, 0, false}},
    {"A4LongEdgeGetsMark", "1", "PageSize=A4 LongEdgeIsVertical=True", {137, 0, 0, 0, true}},
    {"CustomSize", "1", "PageSize=Custom.4x6in", {255, 0, 0, 0, false}},
    {"CustomSizeLongEdgeNotMarked",
     "1",
     "PageSize=custom.100x150mm LongEdgeIsVertical=true",
     {255, 0, 0, 0, true}},
    {"MediaKeywordAlsoSetsSize", "1", "media=Letter", {1, 0, 0, 0, false}},
    {"UnknownSizeGivesZero", "1", "PageSize=Tabloid", {0, 0, 0, 0, false}},
    {"KeywordsIgnoreCase", "1", "pagesize=a5 DUPLEX=duplexnotumble", {11, 0, 0, 1, false}},
    {"UnknownKeywordIgnored", "1", "Frobnicate=Yes PageSize=Legal", {5, 0, 0, 0, false}},
    {"EnvelopeForcesManualNoDuplex",
     "1",
     "PageSize=EnvDL Duplex=DuplexTumble InputSlot=Tray1",
     {27, 0, 1, 0, false}},
    {"ThickFromTrayBecomesPlain", "1", "MediaType=Thick InputSlot=Tray1", {9, 0, 2, 0, false}},
    {"ThickManualKeptNoDuplex",
     "1",
     "MediaType=Thick InputSlot=Manual Duplex=DuplexTumble",
     {9, 1, 1, 0, false}},
    {"OhpManualNoDuplex", "1", "MediaType=OHP InputSlot=Manual", {9, 2, 1, 0, false}},
    {"DuplexOnPlainA4", "1", "Duplex=DuplexTumble", {9, 0, 0, 2, false}},
    {"HalfLetterRefusesDuplex",
     "1",
     "PageSize=HalfLetter Duplex=DuplexNoTumble",
     {6, 0, 0, 0, false}},
    {"MarkedSizeEscapesDuplexRule",
     "1",
     "PageSize=HalfLetter LongEdgeIsVertical=True Duplex=DuplexNoTumble",
     {134, 0, 0, 1, true}},
    {"A5Tray2ModelOneTurnsLongEdgeOn", "1", "PageSize=A5 InputSlot=Tray2", {11, 0, 3, 0, true}},
    {"A5Tray2ModelTwoStaysShortEdge", "2", "PageSize=A5 InputSlot=Tray2", {11, 0, 3, 0, false}},
    {"A5Tray1ModelTwoTurnsLongEdgeOn", "2", "PageSize=A5 InputSlot=Tray1", {11, 0, 2, 0, true}},
    {"HalfLetterTray1ModelOne", "1", "PageSize=HalfLetter InputSlot=Tray1", {6, 0, 2, 0, true}},
    {"A5AutomaticUnchanged", "1", "PageSize=A5", {11, 0, 0, 0, false}},
    {"BadValueStoresZero", "1", "Duplex=Sometimes InputSlot=Tray9", {9, 0, 0, 0, false}},
};

INSTANTIATE_TEST_SUITE_P(Options, JobOptionsTable, ::testing::ValuesIn(kOptionCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(JobOptions, BareBooleanOptionsSetFlags) {
    QNVCUPSFilter options = WithJobOptions(kModelOnePPD, "TonerSave EdgeSmoothing");
    EXPECT_TRUE(options.IsTonerSaving());
    EXPECT_TRUE(options.IsEdgeSmoothing());
    EXPECT_FALSE(options.IsLongEdgeVertical());
}

TEST(JobOptions, BrightnessAndContrastLevels) {
    QNVCUPSFilter options = WithJobOptions(kModelOnePPD, "PBrightness=Level0 PContrast=Level10");
    EXPECT_EQ(options.GetBrightness(), -75);
    EXPECT_EQ(options.GetContrast(), 75);
}

TEST(JobOptions, PpdDefaultsApplyAndJobOptionsOverrideThem) {
    QNVCUPSFilter defaults = WithJobOptions(kThickLetterPPD, "");
    EXPECT_EQ(defaults.GetPaperSize(), 1);   // DefaultPageSize Letter
    EXPECT_EQ(defaults.GetPaperType(), 1u);  // Thick kept: the default tray is Manual
    EXPECT_EQ(defaults.GetInputTray(), 1u);
    EXPECT_EQ(defaults.GetBrightness(), 45);
    EXPECT_TRUE(defaults.IsTonerSaving());

    QNVCUPSFilter overridden =
        WithJobOptions(kThickLetterPPD, "PageSize=A4 InputSlot=Tray1 TonerSave=False");
    EXPECT_EQ(overridden.GetPaperSize(), 9);
    EXPECT_EQ(overridden.GetPaperType(), 0u);  // special media only from the manual tray
    EXPECT_FALSE(overridden.IsTonerSaving());
}

TEST(JobOptions, SixArgumentsReadStandardInput) {
    QNVCUPSFilter options = WithJobOptions(kModelOnePPD, "PageSize=Letter");
    EXPECT_EQ(options.GetRasterFileHandle(), 0);
    EXPECT_EQ(options.GetPaperSize(), 1);
}

TEST(JobOptions, FiveArgumentsSkipJobOptions) {
    QNVCUPSFilter options =
        MakeOptions(kThickLetterPPD, {"queue", "1", "user", "title", "PageSize=A4"});
    EXPECT_EQ(options.GetRasterFileHandle(), 0);
    EXPECT_EQ(options.GetPaperSize(), 1);   // PPD default only
    EXPECT_EQ(options.GetPaperType(), 1u);  // no revision either
    EXPECT_STREQ(options.GetFileName(), "title");
}

TEST(JobOptions, SevenArgumentsOpenTheInputFile) {
    QNVCUPSFilter options = MakeOptions(
        kModelOnePPD, {"queue", "1", "user", "t", "1", "PageSize=A5", kThickLetterPPD.c_str()});
    EXPECT_GT(options.GetRasterFileHandle(), 0);
    EXPECT_EQ(options.GetPaperSize(), 11);
    close(options.GetRasterFileHandle());
}

TEST(JobOptions, UnopenableInputFileSkipsJobOptions) {
    QNVCUPSFilter options = MakeOptions(
        kModelOnePPD, {"queue", "1", "user", "t", "1", "PageSize=A5", "/nonexistent/job.ras"});
    EXPECT_EQ(options.GetRasterFileHandle(), -1);
    EXPECT_EQ(options.GetPaperSize(), 9);
}

TEST(JobOptions, TitleLosesLeadingAtSignAndIsCutTo127) {
    EXPECT_STREQ(WithJobOptions("", "").GetFileName(), "title");
    QNVCUPSFilter at = MakeOptions("", {"queue", "1", "user", "@report.pdf", "1", ""});
    EXPECT_STREQ(at.GetFileName(), "report.pdf");
    const std::string longTitle(200, 'x');
    QNVCUPSFilter cut = MakeOptions("", {"queue", "1", "user", longTitle.c_str(), "1", ""});
    EXPECT_EQ(std::string(cut.GetFileName()), std::string(127, 'x'));
}

TEST(JobOptions, CopiesCarryEverySetting) {
    QNVCUPSFilter original =
        WithJobOptions(kModelOnePPD, "PageSize=Legal Duplex=DuplexTumble TonerSave=True");
    QNVCUPSFilter copy(original);
    EXPECT_EQ(copy.GetPaperSize(), 5);
    EXPECT_EQ(copy.GetDuplexStyle(), 2u);
    EXPECT_TRUE(copy.IsTonerSaving());
    EXPECT_STREQ(copy.GetFileName(), "title");
}

// What the revision rules tell the user: one note per changed option, in the words of
// the print dialog, naming what was asked and what is printed instead.
struct NoteCase {
    const char *name;
    const char *ppd;
    const char *options;
    std::vector<std::string> notes;
};

void PrintTo(const NoteCase &c, std::ostream *os) {
    *os << c.name;
}

std::vector<std::string> NotesOf(const QNVCUPSFilter &options) {
    std::vector<std::string> notes;
    for (size_t i = 0; i < options.GetRevisionNoteCount(); ++i)
        notes.push_back(options.GetRevisionNote(i));
    EXPECT_EQ(options.GetRevisionNote(options.GetRevisionNoteCount()), nullptr);
    return notes;
}

class RevisionNotesTable : public ::testing::TestWithParam<NoteCase> {};

TEST_P(RevisionNotesTable, OneNotePerChangedOption) {
    const NoteCase &c = GetParam();
    EXPECT_EQ(NotesOf(WithJobOptions(PPDFor(c.ppd), c.options)), c.notes);
}

const NoteCase kNoteCases[] = {
    {"PlainJobHasNone", "1", "PageSize=Letter Duplex=DuplexNoTumble InputSlot=Tray2", {}},
    {"PpdDefaultsHaveNone", "1", "", {}},
    {"EnvelopeFromTrayWithDuplex",
     "1",
     "PageSize=EnvDL InputSlot=Tray1 Duplex=DuplexTumble",
     {"Paper Source Tray 1 is not available for Envelope DL paper; printing from Manual Feed",
      "Duplex (two-sided, short edge) is not available for Envelope DL paper; printing "
      "one-sided"}},
    {"SmallCardFromAutomatic",
     "2",
     "PageSize=A6",
     {"Paper Source Automatic is not available for A6 paper; printing from Manual Feed"}},
    {"EnvelopeFromManualHasNone", "1", "PageSize=Monarch InputSlot=Manual", {}},
    {"SizeWithoutDuplex",
     "1",
     "PageSize=HalfLetter Duplex=DuplexNoTumble",
     {"Duplex (two-sided, long edge) is not available for Half Letter paper; printing "
      "one-sided"}},
    {"DuplexFromManualTray",
     "1",
     "InputSlot=Manual Duplex=DuplexNoTumble",
     {"Duplex (two-sided, long edge) is not available with the manual tray; printing "
      "one-sided"}},
    // Thick paper keeps its type only from the manual tray, which has turned duplex off
    // already: one note, not a second one for the paper type.
    {"ThickFromManualWithDuplex",
     "1",
     "MediaType=Thick InputSlot=Manual Duplex=DuplexTumble",
     {"Duplex (two-sided, short edge) is not available with the manual tray; printing "
      "one-sided"}},
    {"ThickFromTray",
     "1",
     "MediaType=Thick InputSlot=Tray1",
     {"Media Type Thick Paper is only fed from the manual tray, not from Tray 1; printing as "
      "Plain Paper"}},
    {"TransparencyFromAutomaticStaysDuplex",
     "2",
     "MediaType=OHP Duplex=DuplexNoTumble",
     {"Media Type Transparency is only fed from the manual tray, not from Automatic; printing "
      "as Plain Paper"}},
    {"A5FeedTurnedOnModelOne",
     "1",
     "PageSize=A5 InputSlot=Tray2",
     {"Feed Long Edge First Off: A5 paper from Tray 2 is fed long edge first on this model; "
      "printing with Feed Long Edge First On"}},
    {"A5SameTrayModelTwoHasNone", "2", "PageSize=A5 InputSlot=Tray2", {}},
    {"HalfLetterFeedTurnedOnModelTwo",
     "2",
     "PageSize=HalfLetter InputSlot=Tray1",
     {"Feed Long Edge First Off: Half Letter paper from Tray 1 is fed long edge first on this "
      "model; printing with Feed Long Edge First On"}},
};

INSTANTIATE_TEST_SUITE_P(Options, RevisionNotesTable, ::testing::ValuesIn(kNoteCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The option string marks a long-edge size before the rules see it, so the rule for
// sizes that never feed long edge first is met only by options set one by one.
TEST(RevisionNotes, LongEdgeRefusedForLargeSize) {
    QNVCUPSFilter options =
        MakeOptions(kModelOnePPD, {"queue", "1", "user", "title", "PageSize=A4"});
    options.SetOptions("PageSize", "A3");
    options.SetOptions("LongEdgeIsVertical", "True");
    options.ReviseOptions();
    EXPECT_FALSE(options.IsLongEdgeVertical());
    EXPECT_EQ(NotesOf(options), std::vector<std::string>{"Feed Long Edge First is not available "
                                                         "for A3 paper; feeding it short edge "
                                                         "first"});
}

TEST(RevisionNotes, JobWithoutRevisionHasNone) {
    QNVCUPSFilter options =
        MakeOptions(kThickLetterPPD, {"queue", "1", "user", "title", "InputSlot=Tray1"});
    EXPECT_EQ(options.GetRevisionNoteCount(), 0u);
    EXPECT_EQ(options.GetRevisionNote(0), nullptr);
}

TEST(RevisionNotes, CopiesKeepThemAndANewRunStartsAfresh) {
    QNVCUPSFilter options = WithJobOptions(kModelOnePPD, "InputSlot=Manual Duplex=DuplexTumble");
    ASSERT_EQ(options.GetRevisionNoteCount(), 1u);
    QNVCUPSFilter copy(options);
    EXPECT_EQ(NotesOf(copy), NotesOf(options));

    const char *plain[] = {"queue", "1", "user", "title", "1", "PageSize=A4"};
    ASSERT_TRUE(options.Run(6, plain));
    EXPECT_EQ(options.GetRevisionNoteCount(), 0u);
    EXPECT_EQ(copy.GetRevisionNoteCount(), 1u);
}

struct LookupCase {
    const char *value;
    int expected;
};

TEST(KeywordLookup, MatchesIgnoringCaseAndCustomPrefix) {
    QNVCUPSFilter options = WithJobOptions("", "");
    const LookupCase cases[] = {
        {"A4", 9},           {"a4", 9},   {"LETTER", 1}, {"Custom.4x6in", 255},
        {"CUSTOMIZED", 255}, {"Cust", 0}, {"", 0},       {"11x15", 46},
        {"A44", 0}};
    for (const LookupCase &c : cases) {
        EXPECT_EQ(options.GetValueOfSTRIDArray(c.value, kPaperSizeArray, 32), c.expected)
            << c.value;
    }
}

}  // namespace
