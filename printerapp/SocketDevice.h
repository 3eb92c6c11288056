// Socket printers (socket://host[:port], port 9100 when none is given) on connections
// of the application's own. PAPPL 1.3 keeps a socket device open from one job to the
// next while jobs are queued, so back-to-back jobs travel over one connection, and its
// writes wait without bound for a printer that stops reading. Here every job has a
// connection of its own, opened for the job and closed at its end (the CUPS socket
// backend does the same); a connection that failed is made anew for the next job; a
// write gives up when the printer takes nothing for a while, or when the job is
// cancelled.
#ifndef GDI_PRINTERAPP_SOCKETDEVICE_H
#define GDI_PRINTERAPP_SOCKETDEVICE_H

#include <pappl/pappl.h>

namespace printerapp {

// Seconds a connection attempt, a write the printer takes nothing of, and the wait for
// the printer to close its end after a job may each last.
constexpr int kConnectSeconds = 30;
constexpr int kStalledWriteSeconds = 120;
constexpr int kJobEndSeconds = 30;

// Puts the application's socket:// devices in place of PAPPL's. Called before PAPPL's
// own schemes are registered (RegisterFileDevice does that) and before any device is used.
void UseOwnSocketDevices();

// The job whose cancel ends a stalled write on `device` (null: none). Any device may be
// given; only the application's socket devices take note.
void SetSocketJob(pappl_device_t *device, pappl_job_t *job);
// Ends the job's connection on a socket device: the printer is told the job is over and
// given a bounded while to close its end. The next write opens a new connection.
void EndSocketJob(pappl_device_t *device);

}  // namespace printerapp

#endif
