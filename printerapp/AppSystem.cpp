// The system object of the printer application.
#include "printerapp/AppSystem.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "printerapp/AppStrings.h"
#include "printerapp/DocumentFilters.h"
#include "printerapp/FileDevice.h"
#include "printerapp/GdiDriver.h"
#include "printerapp/Instance.h"
#include "printerapp/StateFile.h"

namespace printerapp {

const char kAppName[] = "gdi-printer-app";

namespace {

const char kSystemName[] = "GDI Laser Printer Application";

pappl_loglevel_t LogLevel(const char *value) {
    static const struct {
        const char *name;
        pappl_loglevel_t level;
    } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                   {"error", PAPPL_LOGLEVEL_ERROR},
                   {"warn", PAPPL_LOGLEVEL_WARN},
                   {"info", PAPPL_LOGLEVEL_INFO},
                   {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto &level : kLevels) {
        if (value != nullptr && strcmp(value, level.name) == 0)
            return level.level;
    }
    return PAPPL_LOGLEVEL_WARN;
}

// The server options, as PAPPL's default system reads them.
pappl_soptions_t ServerOptions(const char *value) {
    pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
    static const struct {
        const char *name;
        pappl_soptions_t set;
        pappl_soptions_t clear;
    } kWords[] = {
        {"none", PAPPL_SOPTIONS_NONE, ~(pappl_soptions_t)0},
        {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
        {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
        {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
        {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, 0},
        {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
        {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
        {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
        {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
        {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
        {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0},
    };
    std::string words = value != nullptr ? value : "";
    size_t start = 0;
    while (start < words.size()) {
        size_t end = words.find(',', start);
        if (end == std::string::npos)
            end = words.size();
        const std::string word = words.substr(start, end - start);
        for (const auto &known : kWords) {
            if (word == known.name)
                options = (options & ~known.clear) | known.set;
        }
        start = end + 1;
    }
    return options;
}

bool MakeFolder(const std::string &path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

std::string DefaultSpoolDirectory() {
    if (getuid() == 0 && MakeFolder("/var/spool"))
        return std::string("/var/spool/") + kAppName;
    const char *home = getenv("HOME");
    if (home != nullptr && MakeFolder(std::string(home) + "/.config"))
        return std::string(home) + "/.config/" + kAppName + ".d";
    return std::string(papplGetTempDir()) + "/" + kAppName + std::to_string((int)getuid()) + ".d";
}

pappl_system_t *CreateSystem(int numOptions, cups_option_t *options, void *data) {
    (void)data;
    const char *port = cupsGetOption("server-port", numOptions, options);
    int portNumber = 0;
    if (port != nullptr) {
        char *end = nullptr;
        errno = 0;
        const long value = strtol(port, &end, 10);
        if (errno != 0 || end == port || *end != '\0' || value < 0 || value > 65535) {
            fprintf(stderr, "%s: Bad 'server-port' value.\n", kAppName);
            return nullptr;
        }
        portNumber = (int)value;
    }
    const char *spool = cupsGetOption("spool-directory", numOptions, options);
    const std::string spoolDirectory = spool != nullptr            ? spool
                                       : !InstanceFolder().empty() ? InstanceFolder()
                                                                   : DefaultSpoolDirectory();

    pappl_system_t *system =
        papplSystemCreate(ServerOptions(cupsGetOption("server-options", numOptions, options)),
                          kSystemName, portNumber, "_print,_universal", spoolDirectory.c_str(),
                          cupsGetOption("log-file", numOptions, options),
                          LogLevel(cupsGetOption("log-level", numOptions, options)),
                          cupsGetOption("auth-service", numOptions, options), false);
    if (system == nullptr)
        return nullptr;
    if (!SecureSystem(system, numOptions, options, spoolDirectory)) {
        papplSystemDelete(system);
        return nullptr;
    }

    // PAPPL 1.3's web pages fail on a system without footer text.
    papplSystemSetFooterHTML(system,
                             "GDI Laser Printer Application: the same driver as the CUPS filter "
                             "rastertogdi.");

    const char *hostName = cupsGetOption("server-hostname", numOptions, options);
    if (hostName != nullptr)
        papplSystemSetHostName(system, hostName);
    if (cupsGetOption("private-server", numOptions, options) == nullptr)
        papplSystemAddListeners(system, cupsGetOption("listen-hostname", numOptions, options));

    // The drivers before the state: the saved printers are made with them.
    papplSystemSetPrinterDrivers(system, (int)(sizeof(kDrivers) / sizeof(kDrivers[0])), kDrivers,
                                 nullptr, InstancePrinterCreated, CheckedDriverCallback, nullptr);
    AddLabelStrings(system);
    // The filters before the state too: a loaded printer lists the formats known then.
    AddDocumentFilters(system, FindGhostscript());

    // The state beside the jobs and the control socket: one folder holds an instance.
    UseStateFile(system, spoolDirectory + "/" + kAppName + ".state", spoolDirectory);
    return system;
}

}  // namespace printerapp
