// The application's state file (its system settings, printers and jobs), in the format
// PAPPL's papplSystemLoadState reads.
//
// PAPPL 1.3.1's own papplSystemSaveState rewrites the file in place, so a crash, a kill or
// a full disk mid-write leaves it empty and every printer is lost; and it holds the
// system lock while it waits for each printer's lock, the reverse of the order a job's
// document-copy abort path takes them (printer, then system), so a save beside a job
// refused with server-error-busy deadlocks the server. The writer here makes the whole
// file in memory, takes one PAPPL lock at a time through PAPPL's accessors (never the
// system lock while it waits for a printer), writes a new file, syncs it and renames it
// over the old one.
#ifndef GDI_PRINTERAPP_STATEFILE_H
#define GDI_PRINTERAPP_STATEFILE_H

#include <pappl/pappl.h>

#include <string>
#include <vector>

namespace printerapp {

// Loads the state at `path` and saves it there from now on. Before loading, jobs that
// a crash or kill interrupted mid-run end aborted (aborted-by-system, their spool files
// removed: a document that brought the server down must not do it again at each start),
// and queued jobs whose files are gone end aborted too; once the server runs, queued
// jobs are started. `spoolDirectory` is where the jobs' files are.
void UseStateFile(pappl_system_t *system, const std::string &path,
                  const std::string &spoolDirectory);

// The state of `system` as the text of a state file; the attribute files of its queued
// jobs are written into `spoolDirectory` beside it.
std::string StateText(pappl_system_t *system, const std::string &spoolDirectory);

// Writes `text` to a new file beside `path`, syncs it and renames it over `path`; on any
// failure the old file stays as it was. False (and errno set) on failure.
bool ReplaceFile(const std::string &path, const std::string &text);

// A state text with interrupted and file-less jobs ended aborted.
struct RecoveredState {
    std::string text;
    std::vector<std::string> messages;     // one per job ended, for the log
    std::vector<std::string> removeFiles;  // the spool files of the jobs ended
};
RecoveredState RecoverJobs(const std::string &text, const std::string &spoolDirectory, long now);

}  // namespace printerapp

#endif
