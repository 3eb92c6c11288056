// Notes for the job's state message on the settings the revision rules changed (a tray
// forced, two-sided printing turned off, ...), so that the user sees why the job did
// not print quite as asked.
#ifndef GDI_PRINTERAPP_REVISIONNOTES_H
#define GDI_PRINTERAPP_REVISIONNOTES_H

#include <string>

#include "options/QNVCUPSFilter.h"
#include "printerapp/ModelTable.h"

namespace printerapp {

// The notes, joined into one sentence list ("" when nothing changed), on what the
// revised options differ in from the settings the job asked for.
//
// The options layer is to give these notes itself (a note count and a note getter on
// QNVCUPSFilter); once it does, this is where they are read, one per revision.
std::string RevisionNotes(const JobRequest &requested, const QNVCUPSFilter &revised);

}  // namespace printerapp

#endif
