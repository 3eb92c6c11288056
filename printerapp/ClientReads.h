// Reads from IPP clients that cannot wait for ever. PAPPL 1.3 reads a client's requests
// and documents on a blocking connection without a time limit (and offers no hook for its
// IPP operations but unknown ones): a client that sends half a job and stops holds its
// job, and a streamed raster job the printer, for good. The application therefore takes
// libcups' httpAcceptConnection, through which PAPPL accepts every client, and gives each
// connection a bound: a read or write gives up when the client has taken or sent nothing
// for a while, or at once when the streamed job the connection carries is cancelled. The
// job then ends as a document cut short, or as cancelled.
#ifndef GDI_PRINTERAPP_CLIENTREADS_H
#define GDI_PRINTERAPP_CLIENTREADS_H

#include <pappl/pappl.h>

namespace printerapp {

// Seconds a client may send or take nothing in the middle of a request or document.
constexpr int kClientIdleSeconds = 60;

// The streamed raster job the calling thread reads from its client, from its start to
// its end (null); its cancel ends a read that waits, also the reading of the rest of its
// document after its end.
void SetStreamedJob(pappl_job_t *job);

}  // namespace printerapp

#endif
