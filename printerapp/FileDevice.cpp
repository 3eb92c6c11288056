// The checked `file:` device. Every path is resolved from an allowed place downwards, one
// folder at a time with openat and O_NOFOLLOW, when the printer is made and again each
// time the device is opened: a link put into the folder after the check leads nowhere.
#include "printerapp/FileDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

#include "printerapp/GdiDriver.h"

// PAPPL 1.3 adds its schemes in one go the first time a device is used, and only when no
// scheme exists yet; once ours is in, the network and USB schemes are added here.
extern "C" void _papplDeviceAddNetworkSchemes(void);
extern "C" void _papplDeviceAddUSBScheme(void);

namespace printerapp {

namespace {

// An owned descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            if (fd >= 0)
                close(fd);
            fd = other.release();
        }
        return *this;
    }
    int get() const { return fd; }
    int release() {
        const int kept = fd;
        fd = -1;
        return kept;
    }
    bool valid() const { return fd >= 0; }

private:
    int fd;
};

// An allowed place: a folder (devices anywhere below it) or one device or file.
struct Place {
    std::string path;  // resolved, without links
    bool folder;
};

std::mutex gPlacesLock;
std::vector<Place> gPlaces;

std::vector<Place> Places() {
    std::lock_guard<std::mutex> guard(gPlacesLock);
    return gPlaces;
}

// What a `file:` URI names: the allowed place, the path's parts below it, and the
// extension PAPPL's own device gives the job files it makes in a folder.
struct Target {
    Place place;
    std::vector<std::string> parts;
    std::string ext = "prn";
};

std::vector<std::string> SplitPath(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool IsPlainExtension(const char *ext) {
    if (*ext == '\0' || strlen(ext) > 16)
        return false;
    for (const char *c = ext; *c != '\0'; ++c) {
        const bool alnum =
            (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

bool ParseTarget(const char *uri, Target *target, std::string *reason) {
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass,
                        sizeof(userpass), host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK) {
        *reason = "the device URI is not a valid URI";
        return false;
    }
    char *options = strchr(resource, '?');
    if (options != nullptr) {
        *options++ = '\0';
        if (strncmp(options, "ext=", 4) == 0 && IsPlainExtension(options + 4))
            target->ext = options + 4;
    }
    if (resource[0] != '/') {
        *reason = "a file device needs an absolute path";
        return false;
    }
    const std::vector<std::string> parts = SplitPath(resource);
    for (const std::string &part : parts) {
        if (part == "." || part == "..") {
            *reason = "a file device's path may not contain \".\" or \"..\"";
            return false;
        }
    }
    for (const Place &place : Places()) {
        const std::vector<std::string> own = SplitPath(place.path);
        if (parts.size() < own.size() || !std::equal(own.begin(), own.end(), parts.begin()))
            continue;
        if (parts.size() > own.size() && !place.folder)
            continue;
        target->place = place;
        target->parts.assign(parts.begin() + (long)own.size(), parts.end());
        return true;
    }
    *reason = Places().empty() ? "file devices are not allowed on this server"
                               : "the file is outside the folder allowed for file devices";
    return false;
}

// Opens the folders of the target's path below its allowed place, all but the last part,
// never through a link.
Fd OpenParents(const Target &target, std::string *reason) {
    Fd dir(open(target.place.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        *reason = "the allowed folder cannot be opened: " + std::string(strerror(errno));
        return Fd();
    }
    for (size_t i = 0; i + 1 < target.parts.size(); ++i) {
        Fd next(openat(dir.get(), target.parts[i].c_str(),
                       O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            *reason = "\"" + target.parts[i] + "\" is not a folder inside the allowed folder";
            return Fd();
        }
        dir = std::move(next);
    }
    return dir;
}

// What the last part is: a folder, a file, a device, nothing yet, or something a device
// may not be (a link, say).
enum class Kind { kFolder, kFile, kDevice, kMissing, kRefused };

Kind KindOf(int dir, const std::string &name) {
    struct stat info;
    if (fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Kind::kMissing : Kind::kRefused;
    if (S_ISDIR(info.st_mode))
        return Kind::kFolder;
    if (S_ISREG(info.st_mode))
        return Kind::kFile;
    if (S_ISCHR(info.st_mode))
        return Kind::kDevice;
    return Kind::kRefused;
}

// A regular file with one name: a second (hard) link could be a file outside the folder.
bool IsSingleFile(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// The name PAPPL's own device gives a job's file in a folder, made safe as a file name.
std::string JobFileName(const char *jobName, const std::string &ext) {
    std::string name = jobName != nullptr && *jobName != '\0' ? jobName : "job";
    for (char &c : name) {
        const unsigned char u = (unsigned char)c;
        if (u < ' ' || u == 0x7f || (u & 0x80) != 0 || c == '/')
            c = '_';
    }
    if (name == "." || name == "..")
        name = "job";
    return name + "." + ext;
}

Fd OpenJobFile(int folder, const char *jobName, const std::string &ext, std::string *reason) {
    Fd fd(openat(folder, JobFileName(jobName, ext).c_str(),
                 O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid() || !IsSingleFile(fd.get()) || ftruncate(fd.get(), 0) != 0) {
        *reason = "the job's file cannot be made in the device folder";
        return Fd();
    }
    return fd;
}

// Opens the device a target names for writing, as PAPPL's own file device would: a job
// file of its own in a folder, a file appended to, a device as it is.
Fd OpenTarget(const Target &target, const char *jobName, std::string *reason) {
    if (target.parts.empty()) {
        // The allowed place itself (resolved when it was set).
        if (target.place.folder) {
            Fd folder(open(target.place.path.c_str(), O_DIRECTORY | O_CLOEXEC));
            return folder.valid() ? OpenJobFile(folder.get(), jobName, target.ext, reason) : Fd();
        }
        Fd fd(open(target.place.path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid())
            *reason = "the device cannot be opened: " + std::string(strerror(errno));
        return fd;
    }
    Fd dir = OpenParents(target, reason);
    if (!dir.valid())
        return Fd();
    const std::string &last = target.parts.back();
    switch (KindOf(dir.get(), last)) {
        case Kind::kFolder: {
            Fd folder(openat(dir.get(), last.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            return folder.valid() ? OpenJobFile(folder.get(), jobName, target.ext, reason) : Fd();
        }
        case Kind::kFile:
        case Kind::kMissing: {
            Fd fd(openat(dir.get(), last.c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
            if (!fd.valid() || !IsSingleFile(fd.get())) {
                *reason = "\"" + last + "\" cannot be opened as a file of the device folder";
                return Fd();
            }
            return fd;
        }
        case Kind::kDevice: {
            Fd fd(openat(dir.get(), last.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
            if (!fd.valid())
                *reason = "the device cannot be opened: " + std::string(strerror(errno));
            return fd;
        }
        case Kind::kRefused:
            break;
    }
    *reason = "\"" + last + "\" is a link or a file that is not a device";
    return Fd();
}

// The check when a printer is made: the way down must hold, and the last part be a
// folder, a file, a device or not there yet (it is made at the first job).
bool CheckTarget(const Target &target, std::string *reason) {
    if (target.parts.empty())
        return true;
    Fd dir = OpenParents(target, reason);
    if (!dir.valid())
        return false;
    if (KindOf(dir.get(), target.parts.back()) == Kind::kRefused) {
        *reason = "\"" + target.parts.back() + "\" is a link or a file that is not a device";
        return false;
    }
    return true;
}

struct OpenFile {
    int fd;
};

bool DeviceOpen(pappl_device_t *device, const char *uri, const char *name) {
    Target target;
    std::string reason;
    Fd fd;
    if (ParseTarget(uri, &target, &reason))
        fd = OpenTarget(target, name, &reason);
    if (!fd.valid()) {
        papplDeviceError(device, "Refused file device '%s': %s", uri, reason.c_str());
        return false;
    }
    papplDeviceSetData(device, new OpenFile{fd.release()});
    return true;
}

void DeviceClose(pappl_device_t *device) {
    std::unique_ptr<OpenFile> file(static_cast<OpenFile *>(papplDeviceGetData(device)));
    papplDeviceSetData(device, nullptr);
    if (file != nullptr)
        close(file->fd);
}

ssize_t DeviceWrite(pappl_device_t *device, const void *buffer, size_t bytes) {
    const OpenFile *file = static_cast<const OpenFile *>(papplDeviceGetData(device));
    if (file == nullptr)
        return -1;
    const char *data = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < bytes) {
        const ssize_t written = write(file->fd, data + done, bytes - done);
        if (written < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (written <= 0)
            return -1;
        done += (size_t)written;
    }
    return (ssize_t)done;
}

}  // namespace

void RegisterFileDevice() {
    papplDeviceAddScheme("file", PAPPL_DEVTYPE_FILE, nullptr, DeviceOpen, DeviceClose, nullptr,
                         DeviceWrite, nullptr, nullptr);
    _papplDeviceAddNetworkSchemes();
    _papplDeviceAddUSBScheme();
}

bool SetFileDeviceFolder(const std::string &folders) {
    std::vector<Place> places;
    bool allResolved = true;
    size_t start = 0;
    while (start < folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string entry = folders.substr(start, end - start);
        start = end + 1;
        if (entry.empty())
            continue;
        char resolved[PATH_MAX];
        struct stat info;
        if (realpath(entry.c_str(), resolved) == nullptr || stat(resolved, &info) != 0 ||
            strcmp(resolved, "/") == 0) {
            allResolved = false;
            continue;
        }
        places.push_back(Place{resolved, S_ISDIR(info.st_mode)});
    }
    if (!allResolved)
        places.clear();
    std::lock_guard<std::mutex> guard(gPlacesLock);
    gPlaces = places;
    return allResolved;
}

bool IsDeviceAllowed(const char *uri, std::string *reason) {
    if (uri == nullptr || strncmp(uri, "file:", 5) != 0)
        return true;
    Target target;
    return ParseTarget(uri, &target, reason) && CheckTarget(target, reason);
}

bool CheckedDriverCallback(pappl_system_t *system, const char *driverName, const char *deviceUri,
                           const char *deviceId, pappl_pr_driver_data_t *data, ipp_t **attrs,
                           void *context) {
    std::string reason;
    if (!IsDeviceAllowed(deviceUri, &reason)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Refused the device '%s': %s",
                 deviceUri != nullptr ? deviceUri : "", reason.c_str());
        return false;
    }
    return DriverCallback(system, driverName, deviceUri, deviceId, data, attrs, context);
}

}  // namespace printerapp
