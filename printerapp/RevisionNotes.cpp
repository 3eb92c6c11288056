// The revision rules' notes, joined for the job's state message.
#include "printerapp/RevisionNotes.h"

#include "options/RevisionNotes.h"

namespace printerapp {

std::string RevisionNotes(const QNVCUPSFilter &revised) {
    return JoinRevisionNotes(revised);
}

}  // namespace printerapp
