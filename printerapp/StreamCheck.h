// A printer stream sent as it is (application/vnd.gdi-laser-stream) goes to the printer
// only when it is a whole, valid stream: any other bytes under that name (a PDF, half a
// stream) would reach the printer as they are and come out as garbage, or as nothing
// while the job reports success.
#ifndef GDI_PRINTERAPP_STREAMCHECK_H
#define GDI_PRINTERAPP_STREAMCHECK_H

#include <pappl/pappl.h>

namespace printerapp {

// Reads the job's file as gdidecode does: every record, its order and fields, and every
// band's JBIG image decoded. False, with the job's message saying where the stream
// is wrong, when it is not a whole stream.
bool IsWholeValidStream(pappl_job_t *job);

}  // namespace printerapp

#endif
