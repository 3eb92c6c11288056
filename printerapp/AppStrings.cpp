// The labels of the driver's own settings and their translations.
#include "printerapp/AppStrings.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "printerapp/JobMessagesPage.h"
#include "printerapp/ModelTable.h"

namespace printerapp {

const char *const kLabelLanguages[] = {"en", "de", "fr", "es", "it", "ja"};
const size_t kLabelLanguageCount = sizeof(kLabelLanguages) / sizeof(kLabelLanguages[0]);

namespace {

constexpr size_t kLanguages = sizeof(kLabelLanguages) / sizeof(kLabelLanguages[0]);

// One text in every language, in the order of kLabelLanguages.
struct Text {
    const char *in[kLanguages];
};

// A level setting: its label, and the words at its ends and middle, as the PPDs say them.
struct LevelSetting {
    const char *attr;
    Text label;
    Text lowest;
    Text highest;
};

struct SwitchSetting {
    const char *attr;
    Text label;
};

const LevelSetting kLevelSettings[] = {
    {kBrightnessAttr,
     {{"Brightness: -5 darkest ... +5 lightest", "Helligkeit: -5 am dunkelsten ... +5 am hellsten",
       "Luminosité : -5 le plus sombre ... +5 le plus clair",
       "Brillo: -5 más oscuro ... +5 más claro", "Luminosità: -5 più scuro ... +5 più chiaro",
       "明るさ: -5 最も暗い ... +5 最も明るい"}},
     {{"darkest", "am dunkelsten", "le plus sombre", "más oscuro", "più scuro", "最も暗い"}},
     {{"lightest", "am hellsten", "le plus clair", "más claro", "più chiaro", "最も明るい"}}},
    {kContrastAttr,
     {{"Contrast: -5 lowest ... +5 highest", "Kontrast: -5 am niedrigsten ... +5 am höchsten",
       "Contraste : -5 le plus faible ... +5 le plus fort", "Contraste: -5 mínimo ... +5 máximo",
       "Contrasto: -5 minimo ... +5 massimo", "コントラスト: -5 最低 ... +5 最高"}},
     {{"lowest", "am niedrigsten", "le plus faible", "mínimo", "minimo", "最低"}},
     {{"highest", "am höchsten", "le plus fort", "máximo", "massimo", "最高"}}},
};

const SwitchSetting kSwitchSettings[] = {
    {kTonerSaveAttr,
     {{"Toner saving (lighter print, less toner)", "Tonersparmodus (hellerer Druck, weniger Toner)",
       "Économie de toner (impression plus claire, moins de toner)",
       "Ahorro de tóner (impresión más clara, menos tóner)",
       "Risparmio toner (stampa più chiara, meno toner)",
       "トナー節約 (薄い印刷、トナー使用量が少ない)"}}},
    {kEdgeSmoothingAttr,
     {{"Edge smoothing (smoother edges of text and lines)",
       "Kantenglättung (glattere Ränder von Text und Linien)",
       "Lissage des contours (bords plus lisses du texte et des traits)",
       "Suavizado de bordes (bordes más suaves en texto y líneas)",
       "Smussatura dei bordi (bordi più morbidi di testo e linee)",
       "エッジスムージング (文字や線の輪郭を滑らかにする)"}}},
    {kLongEdgeFeedAttr,
     {{"Feed long edge first (the page is turned by 90 degrees)",
       "Lange Kante zuerst einziehen (die Seite wird um 90 Grad gedreht)",
       "Alimentation bord long en premier (la page est tournée de 90 degrés)",
       "Alimentar por el borde largo (la página se gira 90 grados)",
       "Alimentazione dal lato lungo (la pagina viene ruotata di 90 gradi)",
       "長辺から給紙 (ページを90度回転)"}}},
};

// The texts of the job messages page that PAPPL's own strings do not have.
const struct {
    const char *key;
    Text text;
} kPageTexts[] = {
    {kJobMessagesTitle,
     {{"Job Messages", "Auftragsmeldungen", "Messages des travaux", "Mensajes de los trabajos",
       "Messaggi dei lavori", "ジョブのメッセージ"}}},
    {kJobMessageHeading, {{"Message", "Meldung", "Message", "Mensaje", "Messaggio", "メッセージ"}}},
};

const Text kNormal = {{"normal", "normal", "normal", "normal", "normale", "標準"}};
const Text kOn = {{"On", "Ein", "Activé", "Activado", "Attivo", "オン"}};
const Text kOff = {{"Off", "Aus", "Désactivé", "Desactivado", "Disattivo", "オフ"}};

int LanguageIndex(const char *language) {
    for (size_t i = 0; i < kLanguages; ++i) {
        if (strcmp(language, kLabelLanguages[i]) == 0)
            return (int)i;
    }
    return -1;
}

// A strings file quotes its texts; none of ours holds a quote or backslash.
void AddPair(std::string *file, const std::string &key, const std::string &text) {
    *file += "\"" + key + "\" = \"" + text + "\";\n";
}

// "-5 (darkest)", "-4", ..., "0 (normal)", "+1", ..., "+5 (lightest)", as the PPDs number them.
std::string LevelText(int level, const LevelSetting &setting, int language) {
    char number[8];
    snprintf(number, sizeof(number), level > 0 ? "+%d" : "%d", level);
    const char *word = level == -kLevelRange  ? setting.lowest.in[language]
                       : level == kLevelRange ? setting.highest.in[language]
                       : level == 0           ? kNormal.in[language]
                                              : nullptr;
    return word != nullptr ? std::string(number) + " (" + word + ")" : number;
}

}  // namespace

std::string StringsFile(const char *language) {
    const int index = LanguageIndex(language);
    if (index < 0)
        return "";
    std::string file;
    for (const LevelSetting &setting : kLevelSettings) {
        AddPair(&file, setting.attr, setting.label.in[index]);
        for (int level = -kLevelRange; level <= kLevelRange; ++level)
            AddPair(&file, std::string(setting.attr) + "." + std::to_string(level),
                    LevelText(level, setting, index));
    }
    for (const SwitchSetting &setting : kSwitchSettings) {
        AddPair(&file, setting.attr, setting.label.in[index]);
        AddPair(&file, std::string(setting.attr) + ".true", kOn.in[index]);
        AddPair(&file, std::string(setting.attr) + ".false", kOff.in[index]);
    }
    for (const auto &page : kPageTexts)
        AddPair(&file, page.key, page.text.in[index]);
    return file;
}

std::string StringsPath(const char *language) {
    return std::string("/strings/gdi-printer-app-") + language + ".strings";
}

// PAPPL 1.3 adds printer-strings-languages-supported to the printer's own attributes once
// more on every Get-Printer-Attributes while any strings resource names its language, and
// IPP clients then reject the answer for the duplicate. So each file is added with its
// language only long enough for PAPPL to take its labels for the web pages, and is then
// served under the same path as a file without a language; the languages and the files'
// address are told by the driver's own attributes (FillStringsAttributes), once.
void AddLabelStrings(pappl_system_t *system) {
    static std::vector<std::string> files;  // PAPPL keeps pointers to the texts
    static std::vector<std::string> paths;
    if (!files.empty())
        return;
    files.reserve(kLanguages);
    paths.reserve(kLanguages);
    for (const char *language : kLabelLanguages) {
        files.push_back(StringsFile(language));
        paths.push_back(StringsPath(language));
        papplSystemAddStringsData(system, paths.back().c_str(), language, files.back().c_str());
        papplSystemRemoveResource(system, paths.back().c_str());
        papplSystemAddResourceData(system, paths.back().c_str(), "text/strings",
                                   files.back().c_str(), files.back().size());
    }
}

void FillStringsAttributes(pappl_system_t *system, ipp_t *attrs) {
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_LANGUAGE),
                  "printer-strings-languages-supported", (int)kLanguages, nullptr, kLabelLanguages);
    // A fixed attribute cannot follow each request's language and host name: it names the
    // English file for a client on this machine (a CUPS queue); the other languages are
    // beside it, at StringsPath.
    if (papplSystemGetHostPort(system) <= 0)
        return;  // a server without listeners
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof(uri), "http", nullptr, "localhost",
                    papplSystemGetHostPort(system), StringsPath(kLabelLanguages[0]).c_str());
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_URI, "printer-strings-uri", nullptr, uri);
}

}  // namespace printerapp
