// The printer application's drivers: the two models' capabilities as PAPPL driver data
// and IPP attributes, and PAPPL's raster callbacks over the driver core.
#ifndef GDI_PRINTERAPP_GDIDRIVER_H
#define GDI_PRINTERAPP_GDIDRIVER_H

#include <pappl/pappl.h>

namespace printerapp {

// The printer-specific document format: a printer stream as it is sent to the printer,
// printed as it is.
extern const char kStreamFormat[];

// The drivers, as papplMainloop takes them.
extern pappl_pr_driver_t kDrivers[2];

// PAPPL's driver callback: fills the driver data and attributes of a model.
bool DriverCallback(pappl_system_t *system, const char *driverName, const char *deviceUri,
                    const char *deviceId, pappl_pr_driver_data_t *data, ipp_t **attrs,
                    void *context);

// PAPPL's printer creation callback: what a new (or reloaded) printer needs besides its
// driver data.
void PrinterCreated(pappl_printer_t *printer, void *context);

}  // namespace printerapp

#endif
