// A web page of each printer's jobs with their state messages: why a job was aborted,
// and which settings the driver changed, which PAPPL's own job list does not show.
#ifndef GDI_PRINTERAPP_JOBMESSAGESPAGE_H
#define GDI_PRINTERAPP_JOBMESSAGESPAGE_H

#include <pappl/pappl.h>

namespace printerapp {

// The page's title, which the strings files translate.
extern const char kJobMessagesTitle[];
// The heading of the page's message column, translated as well.
extern const char kJobMessageHeading[];

// Adds the page (PRINTER/messages) and a link to it on the printer's pages.
void AddJobMessagesPage(pappl_printer_t *printer);

}  // namespace printerapp

#endif
