// Admission of streamed raster documents (PWG and Apple raster), which PAPPL 1.3.1 prints
// straight from the client's connection, one at a time per printer.
//
// PAPPL 1.3.1 answers such a document "busy" when the printer is printing, and on that
// answer aborts the new job holding the printer's lock while it waits for the system's.
// A Get-Printer-Attributes at that moment holds the system's lock and waits for the
// printer's: the whole server hangs. The application therefore gives the busy answer
// itself, before PAPPL makes or feeds a job, and admits one stream at a time: from its
// admission to the start of its job no other document is let in for that printer, so
// PAPPL never finds the printer busy once a stream is admitted.
#ifndef GDI_PRINTERAPP_STREAMADMISSION_H
#define GDI_PRINTERAPP_STREAMADMISSION_H

#include <pappl/pappl.h>

namespace printerapp {

// Called as a document request (Print-Job, Send-Document) is checked, with no PAPPL lock
// held: false when it has been answered (busy, or not accepting jobs) and must go no
// further. Other documents wait here while a stream is between admission and start.
bool AdmitDocument(pappl_client_t *client, const char *format);

// A streamed job's printing has begun (PAPPL has made it the printer's job).
void StreamStarted(pappl_printer_t *printer);

}  // namespace printerapp

#endif
