// The revision rules' notes joined into sentences.
#include "options/RevisionNotes.h"

std::string JoinRevisionNotes(const QNVCUPSFilter &revised) {
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
