// Notes for the job's state message on the settings the revision rules changed (a tray
// forced, two-sided printing turned off, ...), so that the user sees why the job did
// not print quite as asked.
#ifndef GDI_PRINTERAPP_REVISIONNOTES_H
#define GDI_PRINTERAPP_REVISIONNOTES_H

#include <string>

#include "options/QNVCUPSFilter.h"

namespace printerapp {

// The notes the revision rules left in the job's options, one per change, joined into
// one list of sentences ("" when nothing changed).
std::string RevisionNotes(const QNVCUPSFilter &revised);

}  // namespace printerapp

#endif
