// gdi-printer-app: an IPP Everywhere printer application for the GDI laser printers,
// on PAPPL's main loop and the same driver core as the CUPS filter rastertogdi.
#include <malloc.h>
#include <pappl/pappl.h>
#include <signal.h>

#include "printerapp/AppSystem.h"
#include "printerapp/DeviceListing.h"
#include "printerapp/FileDevice.h"
#include "printerapp/GdiDriver.h"
#include "printerapp/Instance.h"
#include "printerapp/SocketDevice.h"

#ifndef GDI_VERSION
#define GDI_VERSION "1.0.0"
#endif

int main(int argc, char *argv[]) {
    // A printer that goes away mid-job is an error of that job, not the end of the server.
    signal(SIGPIPE, SIG_IGN);
    // As in the filter: page-sized buffers stay in the heap from page to page.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    // Our socket devices first, then the instance: it registers the other device schemes,
    // our file devices among them, before the listing guard would make PAPPL register its
    // own; then the server and the devices sub-command list printers without Avahi too.
    printerapp::UseOwnSocketDevices();
    printerapp::PrepareInstance(argc, argv);
    printerapp::GuardDnsSdListing();
    return papplMainloop(argc, argv, GDI_VERSION, nullptr,
                         (int)(sizeof(printerapp::kDrivers) / sizeof(printerapp::kDrivers[0])),
                         printerapp::kDrivers, nullptr, printerapp::CheckedDriverCallback, nullptr,
                         nullptr, printerapp::CreateSystem, nullptr, nullptr);
}
