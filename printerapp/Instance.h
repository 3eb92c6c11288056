// One instance of the server: its folder (spool, state and control socket together),
// who reaches it, and how it is announced. The folder is the server's spool folder
// (-o spool-directory), or for a sub-command the one GDI_PRINTER_APP_SPOOL names, or
// the default one of the user (root: /var/spool/gdi-printer-app).
#ifndef GDI_PRINTERAPP_INSTANCE_H
#define GDI_PRINTERAPP_INSTANCE_H

#include <pappl/pappl.h>

#include <string>

namespace printerapp {

// The environment variable that names the instance a sub-command talks to.
extern const char kInstanceVariable[];

// Called first in main: finds the instance's folder and has PAPPL's control socket (the
// server's and the sub-commands') in it, and takes the `file:` scheme.
void PrepareInstance(int argc, char *argv[]);

// The instance's folder as PrepareInstance found it.
const std::string &InstanceFolder();

// The server's limits and rules, once its system exists: the folder closed to everybody
// but the server's user, the control socket in it, the administrator, the allowed
// `file:` devices, the client limits, and no DNS-SD on a loopback-only server. False
// when an option is wrong (the server does not start).
bool SecureSystem(pappl_system_t *system, int numOptions, cups_option_t *options,
                  const std::string &folder);

// The printer-created callback with the instance's own work after the driver's.
void InstancePrinterCreated(pappl_printer_t *printer, void *context);

}  // namespace printerapp

#endif
