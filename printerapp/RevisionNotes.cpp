// Notes on the revision rules' changes, found by comparing the asked-for settings with
// the revised options.
#include "printerapp/RevisionNotes.h"

#include <string.h>
#include <strings.h>

namespace printerapp {

namespace {

int ValueOf(const char *keyword, const _Str_ID *table, int count) {
    for (int i = 0; i < count; ++i) {
        if (keyword != nullptr && strcasecmp(table[i].name, keyword) == 0)
            return table[i].value;
    }
    return 0;
}

void Add(std::string *notes, const char *note) {
    if (!notes->empty())
        *notes += " ";
    *notes += note;
}

unsigned RequestedDuplexStyle(Sides sides) {
    return sides == Sides::kTwoSidedLongEdge ? 1u : sides == Sides::kTwoSidedShortEdge ? 2u : 0u;
}

}  // namespace

std::string RevisionNotes(const JobRequest &requested, const QNVCUPSFilter &revised) {
    std::string notes;
    const char *slot = KeywordFor(kSources, kSourceCount, requested.source.c_str());
    const unsigned tray = (unsigned)ValueOf(slot, kInputTrayArray, 6);
    if (revised.GetInputTray() != tray && revised.GetInputTray() == 1)
        Add(&notes, "Fed from the manual tray: this paper feeds only from there.");
    const char *type = KeywordFor(kMediaTypes, kMediaTypeCount, requested.mediaType.c_str());
    const unsigned paperType = (unsigned)ValueOf(type, kPaperTypeArray, 3);
    if (paperType != 0 && revised.GetPaperType() == 0)
        Add(&notes, "Printed as plain paper: special media feed only from the manual tray.");
    if (RequestedDuplexStyle(requested.sides) != 0 && revised.GetDuplexStyle() == 0)
        Add(&notes,
            "Printed one-sided: the printer cannot print both sides of this paper, media type "
            "or tray.");
    if (requested.longEdgeFeed != revised.IsLongEdgeVertical())
        Add(&notes, revised.IsLongEdgeVertical()
                        ? "Fed long edge first: this paper lies that way in this tray."
                        : "Fed short edge first: this paper cannot be fed long edge first here.");
    return notes;
}

}  // namespace printerapp
