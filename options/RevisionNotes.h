// The revision rules' notes as one text for a front end's status line or job message.
#ifndef GDI_OPTIONS_REVISIONNOTES_H
#define GDI_OPTIONS_REVISIONNOTES_H

#include <string>

#include "options/QNVCUPSFilter.h"

// The notes, one sentence each, joined: "A. B." ("" when the rules changed nothing).
std::string JoinRevisionNotes(const QNVCUPSFilter &revised);

#endif
