// `file:` devices, kept inside the one folder the administrator allows for them. The
// server runs with more rights than the users who add printers: a device that could
// name any file would let them write any file the server may write. Without a folder
// (the default), every `file:` device is refused.
#ifndef GDI_PRINTERAPP_FILEDEVICE_H
#define GDI_PRINTERAPP_FILEDEVICE_H

#include <pappl/pappl.h>

#include <string>

namespace printerapp {

// Takes the `file:` scheme for this program's own checked device. Called first in main,
// before PAPPL registers its schemes (it keeps the first one of a name).
void RegisterFileDevice();

// The folder that `file:` devices must lie in; an empty path allows none. False (and
// none allowed) when the folder cannot be resolved.
bool SetFileDeviceFolder(const std::string &folder);

// Whether a printer may be made with this device URI: not a `file:` URI, or one whose
// path lies inside the allowed folder without a link or a "." or ".." on its way.
// `reason` says why not.
bool IsDeviceAllowed(const char *uri, std::string *reason);

// The driver callback with the device check in front: PAPPL asks it before it makes a
// printer (Create-Printer, the web interface, the saved state), and a false result
// refuses the printer.
bool CheckedDriverCallback(pappl_system_t *system, const char *driverName, const char *deviceUri,
                           const char *deviceId, pappl_pr_driver_data_t *data, ipp_t **attrs,
                           void *context);

}  // namespace printerapp

#endif
