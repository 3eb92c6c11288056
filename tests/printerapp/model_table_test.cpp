// The printer application's model table: paper names and sizes, the job option string
// and the notes on what the revision rules changed.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "options/QNVCUPSFilter.h"
#include "printerapp/AppStrings.h"
#include "printerapp/ModelTable.h"
#include "printerapp/RevisionNotes.h"

using namespace printerapp;

namespace {

long PointsToHmm(unsigned points) {
    return ((long)points * 2540 + 36) / 72;
}

QNVCUPSFilter Revised(unsigned model, const JobRequest &request) {
    return QNVCUPSFilter::ForModel(model, ModelDefaultOptions(), JobOptionString(request).c_str(),
                                   "title");
}

JobRequest A4Request() {
    JobRequest request;
    request.mediaName = "iso_a4_210x297mm";
    request.widthHmm = 21000;
    request.lengthHmm = 29700;
    request.source = "auto";
    request.mediaType = "stationery";
    return request;
}

}  // namespace

TEST(ModelTable, EveryPwgNameGivesThePapersOwnSize) {
    for (size_t i = 0; i < kPaperCount; ++i) {
        const Paper &paper = kPapers[i];
        pwg_media_t *media = pwgMediaForPWG(paper.pwgName);
        ASSERT_NE(media, nullptr) << paper.pwgName;
        EXPECT_LE(labs(media->width - PointsToHmm(paper.widthPoints)), 36) << paper.pwgName;
        EXPECT_LE(labs(media->length - PointsToHmm(paper.heightPoints)), 36) << paper.pwgName;
    }
}

TEST(ModelTable, EveryPaperHasItsOwnNameAndAKeywordOfTheOptions) {
    for (size_t i = 0; i < kPaperCount; ++i) {
        bool known = false;
        for (const _Str_ID &row : kPaperSizeArray)
            known = known || std::string(row.name) == kPapers[i].keyword;
        EXPECT_TRUE(known) << kPapers[i].keyword;
        for (size_t j = i + 1; j < kPaperCount; ++j)
            EXPECT_STRNE(kPapers[i].pwgName, kPapers[j].pwgName);
        EXPECT_EQ(PaperForPwgName(kPapers[i].pwgName), &kPapers[i]);
    }
}

TEST(ModelTable, PaperKeywordComesFromTheNameThenTheSizeThenIsCustom) {
    struct Case {
        const char *name;
        int width, length;
        const char *keyword;
    } cases[] = {
        {"na_letter_8.5x11in", 21590, 27940, "Letter"},
        {"", 21000, 29700, "A4"},              // a size without a name
        {"", 29700, 21000, "A4"},              // turned
        {"custom_x", 21000, 29700, "A4"},      // an unknown name of a known size
        {"", 10000, 20000, "Custom.283x567"},  // points, rounded
    };
    for (const Case &c : cases) {
        JobRequest request;
        request.mediaName = c.name;
        request.widthHmm = c.width;
        request.lengthHmm = c.length;
        EXPECT_EQ(PaperKeyword(request), c.keyword) << c.name << " " << c.width << "x" << c.length;
    }
}

TEST(ModelTable, CustomRangeIsThePpdsMinAndMaxSize) {
    EXPECT_TRUE(IsCustomSizeInRange(7620, 12700));    // 3 x 5 in
    EXPECT_TRUE(IsCustomSizeInRange(30480, 45720));   // 12 x 18 in
    EXPECT_FALSE(IsCustomSizeInRange(7000, 12700));   // narrower
    EXPECT_FALSE(IsCustomSizeInRange(30480, 47000));  // longer
}

TEST(ModelTable, JobSettingsReachTheDriverOptions) {
    JobRequest request = A4Request();
    request.source = "tray-2";
    request.sides = Sides::kTwoSidedShortEdge;
    request.brightness = 2;
    request.contrast = -5;
    request.tonerSave = true;
    request.edgeSmoothing = true;
    const QNVCUPSFilter options = Revised(1, request);
    EXPECT_EQ(options.GetPaperSize(), 9);  // A4
    EXPECT_EQ(options.GetInputTray(), 3u);
    EXPECT_EQ(options.GetDuplexStyle(), 2u);
    EXPECT_EQ(options.GetBrightness(), 30);  // Level7
    EXPECT_EQ(options.GetContrast(), -75);   // Level0
    EXPECT_TRUE(options.IsTonerSaving());
    EXPECT_TRUE(options.IsEdgeSmoothing());
    EXPECT_FALSE(options.IsLongEdgeVertical());
    EXPECT_EQ(options.GetModelNumberIsOne(), 1u);
    EXPECT_EQ(Revised(2, request).GetModelNumberIsOne(), 0u);
}

TEST(ModelTable, LevelsOutsideTheRangeAreHeldAtItsEnds) {
    JobRequest request = A4Request();
    request.brightness = 99;
    request.contrast = -99;
    const QNVCUPSFilter options = Revised(1, request);
    EXPECT_EQ(options.GetBrightness(), 75);
    EXPECT_EQ(options.GetContrast(), -75);
}

TEST(RevisionNotes, EachRevisionOfTheRulesIsNoted) {
    struct Case {
        const char *what;
        const char *media;
        const char *source;
        const char *type;
        Sides sides;
        const char *note;  // a part of the notes, or "" for none
    } cases[] = {
        {"plain A4", "iso_a4_210x297mm", "auto", "stationery", Sides::kOneSided, ""},
        {"envelope from a tray", "na_number-10_4.125x9.5in", "tray-1", "stationery",
         Sides::kOneSided, "printing from Manual Feed"},
        {"duplex from the manual tray", "iso_a4_210x297mm", "manual", "stationery",
         Sides::kTwoSidedLongEdge, "one-sided"},
        {"thick paper from a tray", "iso_a4_210x297mm", "tray-1", "stationery-heavyweight",
         Sides::kOneSided, "printing as Plain Paper"},
        {"duplex postcard", "jpn_hagaki_100x148mm", "manual", "stationery",
         Sides::kTwoSidedShortEdge, "one-sided"},
        {"A5 in tray 1 of model 1", "iso_a5_148x210mm", "tray-1", "stationery", Sides::kOneSided,
         "fed long edge first"},
    };
    for (const Case &c : cases) {
        JobRequest request;
        request.mediaName = c.media;
        request.source = c.source;
        request.mediaType = c.type;
        request.sides = c.sides;
        const std::string notes = RevisionNotes(Revised(1, request));
        if (c.note[0] == '\0') {
            EXPECT_EQ(notes, "") << c.what;
        } else {
            EXPECT_NE(notes.find(c.note), std::string::npos) << c.what << ": " << notes;
        }
    }
}

namespace {

// "key" = "text"; lines of a strings file, in their order.
std::vector<std::pair<std::string, std::string>> StringsPairs(const std::string &file) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::istringstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        const size_t middle = line.find("\" = \"");
        if (line.size() > 8 && line[0] == '"' && middle != std::string::npos)
            pairs.emplace_back(line.substr(1, middle - 1),
                               line.substr(middle + 5, line.size() - middle - 7));
    }
    return pairs;
}

// The text a PPD gives a choice in a language: "*PBrightness Level0/-5 (darkest):" in
// English, "*de.PBrightness Level0/-5 (am dunkelsten):" in German.
std::string PpdChoiceText(const std::string &ppd, const std::string &language,
                          const std::string &option, const std::string &choice) {
    const std::string prefix =
        (language == "en" ? "*" : "*" + language + ".") + option + " " + choice + "/";
    const size_t at = ppd.find("\n" + prefix);
    if (at == std::string::npos)
        return "";
    const size_t start = at + 1 + prefix.size();
    return ppd.substr(start, ppd.find(':', start) - start);
}

}  // namespace

// Every label and value has a text in every language, and the levels and switches are
// worded as the PPDs word the same choices in that language.
TEST(LabelStrings, EveryLanguageWordsEverySettingAsThePpdsDo) {
    std::ifstream in(std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd");
    const std::string ppd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(ppd.empty());
    const auto english = StringsPairs(StringsFile("en"));
    ASSERT_EQ(english.size(), 2u * (1 + 2 * kLevelRange + 1) + 3u * 3 + 2);
    const struct {
        const char *attr, *option;
    } kSame[] = {{kBrightnessAttr, "PBrightness"},
                 {kContrastAttr, "PContrast"},
                 {kTonerSaveAttr, "TonerSave"},
                 {kEdgeSmoothingAttr, "EdgeSmoothing"},
                 {kLongEdgeFeedAttr, "LongEdgeIsVertical"}};
    for (size_t i = 0; i < kLabelLanguageCount; ++i) {
        const std::string language = kLabelLanguages[i];
        const auto pairs = StringsPairs(StringsFile(language.c_str()));
        ASSERT_EQ(pairs.size(), english.size()) << language;
        for (size_t k = 0; k < pairs.size(); ++k) {
            EXPECT_EQ(pairs[k].first, english[k].first) << language;
            EXPECT_FALSE(pairs[k].second.empty()) << language << " " << pairs[k].first;
            const bool isLabel = pairs[k].first.find('.') == std::string::npos;
            if (language != "en" && isLabel && pairs[k].first != "Message") {
                EXPECT_NE(pairs[k].second, english[k].second) << language << " is English";
            }
        }
        for (const auto &pair : pairs) {
            for (const auto &same : kSame) {
                const std::string prefix = std::string(same.attr) + ".";
                if (pair.first.rfind(prefix, 0) != 0)
                    continue;
                const std::string value = pair.first.substr(prefix.size());
                const std::string choice =
                    value == "true"    ? "True"
                    : value == "false" ? "False"
                                       : "Level" + std::to_string(std::stoi(value) + kLevelRange);
                EXPECT_EQ(pair.second, PpdChoiceText(ppd, language, same.option, choice))
                    << language << " " << pair.first;
            }
        }
    }
    EXPECT_EQ(StringsFile("xx"), "");
}
