// Every paper size, tray and media type the shipped PPDs offer maps to a code of the
// printer stream: a choice the keyword tables did not know would silently print as
// code 0 (no size, the automatic tray, plain paper).
#include <gtest/gtest.h>
#include <cups/ppd.h>
#include <stdlib.h>
#include <strings.h>

#include <string>
#include <thread>
#include <vector>

#include "options/QNVCUPSFilter.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct Keyword {
    const char *option;
    const _Str_ID *table;
    int rows;
};

const Keyword kKeywords[] = {
    {"PageSize", kPaperSizeArray, 32}, {"PageRegion", kPaperSizeArray, 32},
    {"InputSlot", kInputTrayArray, 6}, {"MediaType", kPaperTypeArray, 3},
    {"Duplex", kDuplexArray, 3},       {"PBrightness", kBrightnessArray, 11},
    {"PContrast", kContrastArray, 11},
};

bool InTable(const char *choice, const Keyword &keyword) {
    for (int i = 0; i < keyword.rows; ++i) {
        if (strcasecmp(keyword.table[i].name, choice) == 0)
            return true;
    }
    return false;
}

TEST(ShippedPpds, EveryChoiceMapsToAKnownCode) {
    for (const char *model : {"gdilsr1.ppd", "gdilsr2.ppd"}) {
        SCOPED_TRACE(model);
        const std::string path = std::string(GDI_SOURCE_DIR) + "/ppd/" + model;
        ppd_file_t *ppd = ppdOpenFile(path.c_str());
        ASSERT_NE(ppd, nullptr);
        int sizes = 0;
        for (const Keyword &keyword : kKeywords) {
            ppd_option_t *option = ppdFindOption(ppd, keyword.option);
            ASSERT_NE(option, nullptr) << keyword.option;
            for (int i = 0; i < option->num_choices; ++i) {
                const char *choice = option->choices[i].choice;
                EXPECT_TRUE(InTable(choice, keyword)) << keyword.option << " " << choice;
                sizes += strcmp(keyword.option, "PageSize") == 0;
            }
        }
        // The custom size goes in as Custom.WxH, which the table takes as "Custom".
        EXPECT_TRUE(ppd->variable_sizes);
        const char *argv[] = {"queue", "1", "user", "t", "1", "PageSize=Custom.300x500"};
        setenv("PPD", path.c_str(), 1);
        EXPECT_EQ(QNVCUPSFilter(6, argv).GetPaperSize(), 255);
        EXPECT_GE(sizes, 30);  // the whole paper table is offered
        ppdClose(ppd);
    }
}

}  // namespace

namespace {

// The option and choice texts of a shipped PPD as a print dialog shows them in a
// language: libcups keeps the language of each thread, so each language gets a thread.
std::vector<std::string> LocalizedTexts(const std::string &path, const char *lang) {
    std::vector<std::string> texts;
    setenv("LANG", lang, 1);
    std::thread reader([&] {
        ppd_file_t *ppd = ppdOpenFile(path.c_str());
        if (ppd == nullptr)
            return;
        ppdLocalize(ppd);
        for (const char *name : {"MediaType", "InputSlot", "PBrightness", "PContrast", "TonerSave",
                                 "EdgeSmoothing", "LongEdgeIsVertical"}) {
            const ppd_option_t *option = ppdFindOption(ppd, name);
            if (option == nullptr)
                continue;
            texts.push_back(option->text);
            for (int i = 0; i < option->num_choices; ++i)
                texts.push_back(option->choices[i].text);
        }
        ppdClose(ppd);
    });
    reader.join();
    unsetenv("LANG");
    return texts;
}

}  // namespace

// A print dialog shows the driver's own options in the user's language: every text that
// has words is another in each of the other languages.
TEST(ShippedPpds, DialogsShowTheDriversOptionsInEachLanguage) {
    const std::string path = std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr1.ppd";
    const std::vector<std::string> english = LocalizedTexts(path, "C");
    ASSERT_EQ(english.size(), 44u);  // 7 options, 3 + 6 + 11 + 11 + 2 + 2 + 2 choices
    EXPECT_EQ(english[0], "Media Type");
    for (const char *lang :
         {"de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "it_IT.UTF-8", "ja_JP.UTF-8"}) {
        const std::vector<std::string> texts = LocalizedTexts(path, lang);
        ASSERT_EQ(texts.size(), english.size()) << lang;
        for (size_t i = 0; i < texts.size(); ++i) {
            const bool hasWords =
                english[i].find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos;
            if (hasWords && english[i] != "0 (normal)") {  // the same word in several
                EXPECT_NE(texts[i], english[i]) << lang;
            }
        }
    }
}
