// Job options for a front end without a PPD: a model's number and defaults give the same
// settings as the filter takes from that model's PPD.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "options/QNVCUPSFilter.h"

namespace {

struct Settings {
    int paperSize;
    unsigned paperType, inputTray, duplexStyle;
    int brightness, contrast;
    bool longEdge, tonerSaving, edgeSmoothing;
    std::string title;
    bool operator==(const Settings &o) const {
        return paperSize == o.paperSize && paperType == o.paperType && inputTray == o.inputTray &&
               duplexStyle == o.duplexStyle && brightness == o.brightness &&
               contrast == o.contrast && longEdge == o.longEdge && tonerSaving == o.tonerSaving &&
               edgeSmoothing == o.edgeSmoothing && title == o.title;
    }
};

std::ostream &operator<<(std::ostream &os, const Settings &s) {
    return os << "size " << s.paperSize << " type " << s.paperType << " tray " << s.inputTray
              << " duplex " << s.duplexStyle << " brightness " << s.brightness << " contrast "
              << s.contrast << " long edge " << s.longEdge << " toner " << s.tonerSaving
              << " smoothing " << s.edgeSmoothing << " title " << s.title;
}

Settings Of(const QNVCUPSFilter &o) {
    return {o.GetPaperSize(),    o.GetPaperType(), o.GetInputTray(),       o.GetDuplexStyle(),
            o.GetBrightness(),   o.GetContrast(),  o.IsLongEdgeVertical(), o.IsTonerSaving(),
            o.IsEdgeSmoothing(), o.GetFileName()};
}

// The defaults of the shipped PPDs, as their Default... keywords say.
const char kShippedDefaults[] =
    "PageSize=A4 MediaType=Plain InputSlot=Automatic Duplex=None PBrightness=Level5 "
    "PContrast=Level5 TonerSave=False EdgeSmoothing=False LongEdgeIsVertical=False";

QNVCUPSFilter FromPpd(unsigned model, const char *jobOptions, const char *title) {
    const std::string ppd =
        std::string(GDI_SOURCE_DIR) + "/ppd/gdilsr" + std::to_string(model) + ".ppd";
    setenv("PPD", ppd.c_str(), 1);
    const char *argv[] = {"queue", "1", "user", title, "1", jobOptions};
    return QNVCUPSFilter(6, argv);
}

TEST(ModelOptions, SameSettingsAsThePpdOfTheModel) {
    const char *jobs[] = {"",
                          "PageSize=A5 InputSlot=Tray2",
                          "PageSize=A5 InputSlot=Tray1",
                          "PageSize=EnvDL Duplex=DuplexTumble",
                          "MediaType=Thick InputSlot=Manual Duplex=DuplexNoTumble",
                          "MediaType=OHP InputSlot=Tray1",
                          "PageSize=Letter LongEdgeIsVertical=True PBrightness=Level9",
                          "PageSize=Custom.4x6in TonerSave EdgeSmoothing=True PContrast=Level0",
                          "HalfLetter InputSlot=Manual PageSize=HalfLetter"};
    for (unsigned model : {1u, 2u}) {
        for (const char *job : jobs) {
            SCOPED_TRACE(std::to_string(model) + ": " + job);
            const Settings fromPpd = Of(FromPpd(model, job, "@report.pdf"));
            const Settings forModel =
                Of(QNVCUPSFilter::ForModel(model, kShippedDefaults, job, "@report.pdf"));
            EXPECT_EQ(forModel, fromPpd);
        }
    }
}

// The models differ in the trays that feed A5 long edge first.
TEST(ModelOptions, ModelDecidesTheA5TrayRule) {
    const QNVCUPSFilter one = QNVCUPSFilter::ForModel(1, "", "PageSize=A5 InputSlot=Tray2", "t");
    const QNVCUPSFilter two = QNVCUPSFilter::ForModel(2, "", "PageSize=A5 InputSlot=Tray2", "t");
    EXPECT_TRUE(one.IsLongEdgeVertical());
    EXPECT_FALSE(two.IsLongEdgeVertical());
    EXPECT_EQ(one.GetPaperSize(), 11);  // the size code stays unmarked
}

TEST(ModelOptions, JobOptionsOverrideTheDefaults) {
    const QNVCUPSFilter o =
        QNVCUPSFilter::ForModel(1, "PageSize=Letter PBrightness=Level2", "PBrightness=Level8", "");
    EXPECT_EQ(o.GetPaperSize(), 1);
    EXPECT_EQ(o.GetBrightness(), 45);
    EXPECT_EQ(o.GetRasterFileHandle(), 0);
}

}  // namespace
