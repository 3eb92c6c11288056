// The instance's folder, control socket and server rules.
#include "printerapp/Instance.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "printerapp/AccessPolicy.h"
#include "printerapp/AppSystem.h"
#include "printerapp/ClientLimits.h"
#include "printerapp/FileDevice.h"
#include "printerapp/GdiDriver.h"

namespace printerapp {

const char kInstanceVariable[] = "GDI_PRINTER_APP_SPOOL";

namespace {

// A client holds a few connections at a time (a browser six, CUPS one or two); this many
// leave room for all of them and keep one client from taking the server's whole limit.
constexpr int kConnectionsPerClient = 32;

std::string gFolder;
bool gLoopbackOnly = false;

// The value of "-o NAME=VALUE" (or "-oNAME=VALUE") on the command line, if given.
const char *CommandLineOption(int argc, char *argv[], const char *name) {
    const size_t length = strlen(name);
    for (int i = 1; i < argc; ++i) {
        const char *value = nullptr;
        if (strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            value = argv[++i];
        else if (strncmp(argv[i], "-o", 2) == 0)
            value = argv[i] + 2;
        if (value != nullptr && strncmp(value, name, length) == 0 && value[length] == '=')
            return value + length + 1;
    }
    return nullptr;
}

bool IsLoopbackName(const char *name) {
    if (name == nullptr)
        return false;
    return strcmp(name, "localhost") == 0 || strncmp(name, "127.", 4) == 0 ||
           strcmp(name, "::1") == 0 || strcmp(name, "[::1]") == 0;
}

bool ParseCount(const char *text, int *count) {
    if (text == nullptr)
        return true;
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 32768)
        return false;
    *count = (int)value;
    return true;
}

}  // namespace

void PrepareInstance(int argc, char *argv[]) {
    const bool server = argc > 1 && strcmp(argv[1], "server") == 0;
    const char *given = server ? CommandLineOption(argc, argv, "spool-directory") : nullptr;
    if (given == nullptr)
        given = getenv(kInstanceVariable);
    gFolder = given != nullptr && *given != '\0' ? given : DefaultSpoolDirectory();
    // PAPPL 1.3 puts a root server's control socket, and looks for it, in SNAP_COMMON
    // when that is set, in /run (one socket for every instance) when not. A server of
    // another user listens in its folder too (SecureSystem); a sub-command of another
    // user looks there after its own per-user place, which TMPDIR chooses.
    setenv("SNAP_COMMON", gFolder.c_str(), 1);
    if (!server && getuid() != 0 && access(gFolder.c_str(), W_OK) == 0)
        setenv("TMPDIR", gFolder.c_str(), 1);
    RegisterFileDevice();
}

const std::string &InstanceFolder() {
    return gFolder;
}

bool SecureSystem(pappl_system_t *system, int numOptions, cups_option_t *options,
                  const std::string &folder) {
    // The control socket lets everybody who reaches it do everything: its folder is the
    // server user's alone.
    if (chmod(folder.c_str(), 0700) != 0)
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Cannot make the folder '%s' private: %s",
                 folder.c_str(), strerror(errno));
    const bool privateServer = cupsGetOption("private-server", numOptions, options) != nullptr;
    if (getuid() != 0) {
        const std::string socket = folder + "/" + kAppName + ".sock";
        papplSystemAddListeners(system, socket.c_str());
    }

    ApplyAccessPolicy(system, cupsGetOption("admin-group", numOptions, options),
                      cupsGetOption("auth-service", numOptions, options));

    const char *files = cupsGetOption("file-device-directory", numOptions, options);
    if (!SetFileDeviceFolder(files != nullptr ? files : "")) {
        fprintf(stderr, "%s: Bad 'file-device-directory' value '%s'.\n", kAppName, files);
        return false;
    }

    int maxClients = 0;
    int perClient = kConnectionsPerClient;
    if (!ParseCount(cupsGetOption("max-clients", numOptions, options), &maxClients) ||
        !ParseCount(cupsGetOption("connections-per-client", numOptions, options), &perClient)) {
        fprintf(stderr, "%s: Bad 'max-clients' or 'connections-per-client' value.\n", kAppName);
        return false;
    }
    if (maxClients > 0)
        papplSystemSetMaxClients(system, maxClients);
    SetConnectionsPerClient(perClient);

    // What listens only on the loopback is not announced to the network.
    const char *listen = cupsGetOption("listen-hostname", numOptions, options);
    gLoopbackOnly = privateServer || IsLoopbackName(listen);
    if (gLoopbackOnly)
        papplSystemSetDNSSDName(system, nullptr);
    return true;
}

void InstancePrinterCreated(pappl_printer_t *printer, void *context) {
    PrinterCreated(printer, context);
    if (gLoopbackOnly)
        papplPrinterSetDNSSDName(printer, nullptr);
}

}  // namespace printerapp
