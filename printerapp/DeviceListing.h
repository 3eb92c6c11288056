// Listing printers ("Add Printer" page, the devices sub-command, Find-Devices) on a
// machine without an Avahi daemon.
#ifndef GDI_PRINTERAPP_DEVICELISTING_H
#define GDI_PRINTERAPP_DEVICELISTING_H

namespace printerapp {

// PAPPL 1.3.1 aborts the whole process (an Avahi assertion) when a device listing
// that includes DNS-SD printers runs while no Avahi daemon answers, and leaves its
// DNS-SD lock held when the daemon is gone but D-Bus is there. This puts a listing
// step of ours in front of PAPPL's DNS-SD one: when Avahi does not answer, it lists
// the other kinds of devices itself, says why DNS-SD printers are missing, and ends
// the listing before PAPPL's DNS-SD step. Call once, before the main loop.
void GuardDnsSdListing();

// Whether an Avahi daemon answers on the system bus right now.
bool AvahiAnswers();

}  // namespace printerapp

#endif
