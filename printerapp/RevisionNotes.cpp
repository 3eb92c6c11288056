// The revision rules' notes, joined for the job's state message.
#include "printerapp/RevisionNotes.h"

namespace printerapp {

std::string RevisionNotes(const QNVCUPSFilter &revised) {
    std::string notes;
    for (size_t i = 0; i < revised.GetRevisionNoteCount(); ++i) {
        if (!notes.empty())
            notes += ". ";
        notes += revised.GetRevisionNote(i);
    }
    if (!notes.empty())
        notes += ".";
    return notes;
}

}  // namespace printerapp
