// The printer application's system: PAPPL's standard server options, the spool and
// state files, the document filters and the names of the driver's own settings.
#ifndef GDI_PRINTERAPP_APPSYSTEM_H
#define GDI_PRINTERAPP_APPSYSTEM_H

#include <pappl/pappl.h>

#include <string>

namespace printerapp {

extern const char kAppName[];  // the program's base name, as PAPPL names its files

// papplMainloop's system callback. It takes the options PAPPL's default system takes
// (server-port, listen-hostname, server-hostname, spool-directory, log-file, log-level,
// server-options, admin-group, auth-service, private-server) and the instance's own
// (file-device-directory, max-clients, connections-per-client). The application's state
// is kept in the spool folder, so that one folder holds all of an instance.
pappl_system_t *CreateSystem(int numOptions, cups_option_t *options, void *data);

// Where the spool folder is when none is given: as PAPPL's default system has it.
std::string DefaultSpoolDirectory();

}  // namespace printerapp

#endif
