// A listing step in front of PAPPL's DNS-SD one, for machines without Avahi.
#include "printerapp/DeviceListing.h"

#include <dlfcn.h>
#include <pappl/pappl.h>

namespace printerapp {

namespace {

// PAPPL orders URI schemes by name and lists them in that order, stopping at the first
// step that says "stop": this name comes before PAPPL's own "dnssd".
const char kGuardScheme[] = "dns-sd-guard";

// Avahi's client library is in the process already (PAPPL links it); it is looked up
// rather than linked, so that the application builds and runs the same where PAPPL
// uses another DNS-SD library (then there is nothing to guard).
struct AvahiCalls {
    using PollNew = void *(*)();
    using PollGet = const void *(*)(void *);
    using PollFree = void (*)(void *);
    using Callback = void (*)(void *, int, void *);
    using ClientNew = void *(*)(const void *, int, Callback, void *, int *);
    using ClientFree = void (*)(void *);

    PollNew pollNew = reinterpret_cast<PollNew>(dlsym(RTLD_DEFAULT, "avahi_simple_poll_new"));
    PollGet pollGet = reinterpret_cast<PollGet>(dlsym(RTLD_DEFAULT, "avahi_simple_poll_get"));
    PollFree pollFree = reinterpret_cast<PollFree>(dlsym(RTLD_DEFAULT, "avahi_simple_poll_free"));
    ClientNew clientNew = reinterpret_cast<ClientNew>(dlsym(RTLD_DEFAULT, "avahi_client_new"));
    ClientFree clientFree = reinterpret_cast<ClientFree>(dlsym(RTLD_DEFAULT, "avahi_client_free"));

    bool Present() const {
        return pollNew != nullptr && pollGet != nullptr && pollFree != nullptr &&
               clientNew != nullptr && clientFree != nullptr;
    }
};

void IgnoreClientState(void *, int, void *) {}

bool GuardList(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t errorCb, void *errorData) {
    if (AvahiAnswers())
        return false;  // PAPPL's own DNS-SD step runs next
    if (errorCb != nullptr)
        errorCb("No Avahi daemon answers: network printers found through DNS-SD are not listed.",
                errorData);
    // Every kind but DNS-SD (this step is of that kind too, so it is not called again).
    // A step is not told which kinds were asked for: a Find-Devices request for some
    // kinds only gets the others too while Avahi is away. PAPPL's listing holds a read
    // lock that this nested listing takes again, which its (reader-first) lock allows.
    papplDeviceList((pappl_devtype_t)(PAPPL_DEVTYPE_ALL & ~PAPPL_DEVTYPE_DNS_SD), cb, data, errorCb,
                    errorData);
    return true;  // the listing ends here, before PAPPL's DNS-SD step
}

bool GuardOpen(pappl_device_t *device, const char *uri, const char *name) {
    (void)name;
    papplDeviceError(device, "'%s' is no printer.", uri);
    return false;
}

void GuardClose(pappl_device_t *device) {
    (void)device;
}

ssize_t GuardRead(pappl_device_t *device, void *buffer, size_t bytes) {
    (void)device, (void)buffer, (void)bytes;
    return -1;
}

ssize_t GuardWrite(pappl_device_t *device, const void *buffer, size_t bytes) {
    (void)device, (void)buffer, (void)bytes;
    return -1;
}

}  // namespace

bool AvahiAnswers() {
    static const AvahiCalls avahi;
    if (!avahi.Present())
        return true;
    void *poll = avahi.pollNew();
    if (poll == nullptr)
        return false;
    int error = 0;
    // Without AVAHI_CLIENT_NO_FAIL (flags 0) the client fails unless the daemon is there.
    void *client = avahi.clientNew(avahi.pollGet(poll), 0, IgnoreClientState, nullptr, &error);
    if (client != nullptr)
        avahi.clientFree(client);
    avahi.pollFree(poll);
    return client != nullptr;
}

void GuardDnsSdListing() {
    // A listing of no kind makes PAPPL register its own schemes first: it registers them
    // only while it knows of none.
    papplDeviceList((pappl_devtype_t)0, nullptr, nullptr, nullptr, nullptr);
    papplDeviceAddScheme(kGuardScheme, PAPPL_DEVTYPE_DNS_SD, GuardList, GuardOpen, GuardClose,
                         GuardRead, GuardWrite, nullptr, nullptr);
}

}  // namespace printerapp
