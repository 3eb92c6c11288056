// The instance's folder, control socket and server rules.
#include "printerapp/Instance.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdint.h>

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
std::string gSocketFolder;  // gFolder, or a short private folder of its own (see below)
bool gLoopbackOnly = false;
bool gServer = false;  // the server sub-command, not another that makes a system

// A 64-bit FNV-1a hash: the name of an instance's socket folder when its own folder's
// path is too long for a socket.
uint64_t PathHash(const std::string &path) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : path) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

// Where the control socket is. A socket's path holds at most 107 bytes; an instance whose
// folder is deeper (a test's in a build tree, say) has its socket in a folder of its own
// below /run (root) or /tmp, named after the instance's folder and the user.
std::string SocketFolder(const std::string &folder) {
    const size_t longest = sizeof(((struct sockaddr_un *)nullptr)->sun_path) - 1;
    if (folder.size() + strlen(kAppName) + 6 <= longest)
        return folder;
    char name[96];
    snprintf(name, sizeof(name), "%s/%s-%u-%016llx", getuid() == 0 ? "/run" : "/tmp", kAppName,
             (unsigned)getuid(), (unsigned long long)PathHash(folder));
    return name;
}

// Makes the socket folder when it is not the instance's own: a folder of this user's
// alone, or the server does not start (somebody else's there would get the socket).
bool MakeSocketFolder(const std::string &folder) {
    if (folder == gFolder)
        return true;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 077) == 0;
}

// At the server's end its own socket goes, and a socket folder of its own with it.
void RemoveSocket() {
    const std::string socket = gSocketFolder + "/" + kAppName + ".sock";
    unlink(socket.c_str());
    if (gSocketFolder != gFolder)
        rmdir(gSocketFolder.c_str());
}

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
    gServer = server;
    const char *given = server ? CommandLineOption(argc, argv, "spool-directory") : nullptr;
    if (given == nullptr)
        given = getenv(kInstanceVariable);
    gFolder = given != nullptr && *given != '\0' ? given : DefaultSpoolDirectory();
    gSocketFolder = SocketFolder(gFolder);
    // PAPPL 1.3 puts a root server's control socket, and looks for it, in SNAP_COMMON
    // when that is set, in /run (one socket for every instance) when not. A server of
    // another user listens in its folder too (SecureSystem); a sub-command of another
    // user looks there after its own per-user place, which TMPDIR chooses.
    setenv("SNAP_COMMON", gSocketFolder.c_str(), 1);
    if (!server && getuid() != 0 && access(gFolder.c_str(), W_OK) == 0)
        setenv("TMPDIR", gFolder.c_str(), 1);
    RegisterFileDevice();
}

const std::string &InstanceFolder() {
    return gFolder;
}

namespace {

// The control socket lets everybody who reaches it do everything: its folder is the
// server user's alone. PAPPL makes a root server's socket itself (where SNAP_COMMON
// says); another user's server gets one here, for root's sub-commands.
bool PrepareControlSocket(pappl_system_t *system, const std::string &folder) {
    if (chmod(folder.c_str(), 0700) != 0)
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Cannot make the folder '%s' private: %s",
                 folder.c_str(), strerror(errno));
    if (folder != gFolder) {
        gFolder = folder;
        gSocketFolder = SocketFolder(folder);
        setenv("SNAP_COMMON", gSocketFolder.c_str(), 1);
    }
    if (!MakeSocketFolder(gSocketFolder)) {
        fprintf(stderr, "%s: The control socket's folder '%s' is not this user's alone.\n",
                kAppName, gSocketFolder.c_str());
        return false;
    }
    atexit(RemoveSocket);
    if (getuid() != 0) {
        const std::string socket = gSocketFolder + "/" + kAppName + ".sock";
        papplSystemAddListeners(system, socket.c_str());
    }
    return true;
}

}  // namespace

bool SecureSystem(pappl_system_t *system, int numOptions, cups_option_t *options,
                  const std::string &folder) {
    if (gServer && !PrepareControlSocket(system, folder))
        return false;
    const bool privateServer = cupsGetOption("private-server", numOptions, options) != nullptr;

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
