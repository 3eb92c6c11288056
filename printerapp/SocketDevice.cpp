// The application's socket:// devices.
#include "printerapp/SocketDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <set>
#include <string>

namespace printerapp {

namespace {

// How often a wait looks whether its job was cancelled.
constexpr int kTickMs = 250;
constexpr int kDefaultPort = 9100;
constexpr double kReadSeconds = 10;

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

struct SocketPrinter {
    std::string host;
    std::string port;
    std::mutex lock;  // the connection: a job's output thread writes, its job thread ends it
    int fd = -1;
    std::atomic<pappl_job_t *> job{nullptr};

    bool cancelled() const {
        pappl_job_t *current = job.load();
        return current != nullptr && papplJobIsCanceled(current);
    }
};

// The devices that are the application's: only their data is a SocketPrinter.
std::mutex gPrintersLock;
std::set<SocketPrinter *> gPrinters;

SocketPrinter *PrinterOf(pappl_device_t *device) {
    if (device == nullptr)
        return nullptr;
    auto *printer = static_cast<SocketPrinter *>(papplDeviceGetData(device));
    std::lock_guard<std::mutex> guard(gPrintersLock);
    return gPrinters.count(printer) != 0 ? printer : nullptr;
}

void CloseConnection(SocketPrinter *printer) {
    if (printer->fd >= 0)
        close(printer->fd);
    printer->fd = -1;
}

// Waits until `fd` is ready for `events`, `seconds` at most, looking at the job's cancel
// every tick: 1 ready, 0 timed out, -1 cancelled or failed (errno says which).
int WaitFor(SocketPrinter *printer, int fd, short events, double seconds) {
    const double deadline = Now() + seconds;
    for (;;) {
        if (printer->cancelled()) {
            errno = ECANCELED;
            return -1;
        }
        const double left = deadline - Now();
        if (left <= 0)
            return 0;
        struct pollfd wait = {fd, events, 0};
        const int ms = left * 1000 < kTickMs ? (int)(left * 1000) + 1 : kTickMs;
        const int ready = poll(&wait, 1, ms);
        if (ready > 0)
            return 1;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

// One address: a non-blocking connection within the connect bound; the socket or -1.
int ConnectTo(SocketPrinter *printer, const struct addrinfo *address, double seconds) {
    const int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address->ai_protocol);
    if (fd < 0)
        return -1;
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0)
        return fd;
    int error = errno;
    if (error == EINPROGRESS) {
        const int ready = WaitFor(printer, fd, POLLOUT, seconds);
        socklen_t size = sizeof(error);
        if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
            return fd;
        error = ready == 0 ? ETIMEDOUT : ready < 0 ? errno : error;
    }
    close(fd);
    errno = error;
    return -1;
}

bool Connect(pappl_device_t *device, SocketPrinter *printer) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *addresses = nullptr;
    const int found = getaddrinfo(printer->host.c_str(), printer->port.c_str(), &hints, &addresses);
    if (found != 0) {
        papplDeviceError(device, "Unable to look up printer '%s': %s", printer->host.c_str(),
                         gai_strerror(found));
        return false;
    }
    const double deadline = Now() + kConnectSeconds;
    int error = ETIMEDOUT;
    for (const struct addrinfo *a = addresses; a != nullptr && printer->fd < 0; a = a->ai_next) {
        const double left = deadline - Now();
        if (left <= 0)
            break;
        printer->fd = ConnectTo(printer, a, left);
        error = errno;
        if (error == ECANCELED)
            break;
    }
    freeaddrinfo(addresses);
    if (printer->fd >= 0)
        return true;
    papplDeviceError(device, "Unable to connect to printer '%s:%s': %s", printer->host.c_str(),
                     printer->port.c_str(), strerror(error));
    errno = error;
    return false;
}

bool OpenDevice(pappl_device_t *device, const char *uri, const char *name) {
    (void)name;
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass,
                        sizeof(userpass), host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK ||
        host[0] == '\0') {
        papplDeviceError(device, "Bad printer address '%s'", uri);
        return false;
    }
    auto *printer = new (std::nothrow) SocketPrinter;
    if (printer == nullptr)
        return false;
    printer->host = host;
    printer->port = std::to_string(port > 0 ? port : kDefaultPort);
    // Connecting now lets PAPPL hold the queue, and try again, while the printer is off.
    if (!Connect(device, printer)) {
        delete printer;
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(gPrintersLock);
        gPrinters.insert(printer);
    }
    papplDeviceSetData(device, printer);
    return true;
}

// Tells the printer the job is over (no more data) and waits, bounded, until it has
// closed its end: what it sends back meanwhile is read and dropped.
void EndConnection(SocketPrinter *printer) {
    if (printer->fd < 0)
        return;
    shutdown(printer->fd, SHUT_WR);
    const double deadline = Now() + kJobEndSeconds;
    char drain[4096];
    for (;;) {
        const double left = deadline - Now();
        if (left <= 0)
            break;
        struct pollfd wait = {printer->fd, POLLIN, 0};
        const int ready = poll(&wait, 1, left * 1000 < kTickMs ? (int)(left * 1000) + 1 : kTickMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t got = recv(printer->fd, drain, sizeof(drain), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            break;
    }
    CloseConnection(printer);
}

void CloseDevice(pappl_device_t *device) {
    SocketPrinter *printer = PrinterOf(device);
    if (printer == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(gPrintersLock);
        gPrinters.erase(printer);
    }
    {
        std::lock_guard<std::mutex> guard(printer->lock);
        EndConnection(printer);
    }
    papplDeviceSetData(device, nullptr);
    delete printer;
}

ssize_t WriteDevice(pappl_device_t *device, const void *buffer, size_t bytes) {
    SocketPrinter *printer = PrinterOf(device);
    if (printer == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(printer->lock);
    // A job after one whose connection ended or failed opens one of its own.
    if (printer->fd < 0 && !Connect(device, printer))
        return -1;
    const char *data = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < bytes) {
        const int ready = WaitFor(printer, printer->fd, POLLOUT, kStalledWriteSeconds);
        ssize_t sent = -1;
        if (ready == 1)
            sent = send(printer->fd, data + done, bytes - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += (size_t)sent;
            continue;
        }
        if (ready == 1 && sent < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        int error = ready == 0 ? ETIMEDOUT : errno;
        if (ready == 0) {
            papplDeviceError(device, "The printer took no data for %d seconds",
                             kStalledWriteSeconds);
        } else if (error != ECANCELED) {
            papplDeviceError(device, "Unable to write to printer: %s", strerror(error));
        }
        // What went out was part of a job: the printer sees the connection end with it.
        CloseConnection(printer);
        errno = error;
        return -1;
    }
    return (ssize_t)bytes;
}

ssize_t ReadDevice(pappl_device_t *device, void *buffer, size_t bytes) {
    SocketPrinter *printer = PrinterOf(device);
    if (printer == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(printer->lock);
    if (printer->fd < 0)
        return -1;
    const int ready = WaitFor(printer, printer->fd, POLLIN, kReadSeconds);
    if (ready != 1)
        return ready == 0 ? 0 : -1;
    return recv(printer->fd, buffer, bytes, MSG_DONTWAIT);
}

}  // namespace

void UseOwnSocketDevices() {
    // The first scheme of a name stays: ours goes in before PAPPL's network schemes.
    papplDeviceAddScheme("socket", PAPPL_DEVTYPE_SOCKET, nullptr, OpenDevice, CloseDevice,
                         ReadDevice, WriteDevice, nullptr, nullptr);
}

void SetSocketJob(pappl_device_t *device, pappl_job_t *job) {
    SocketPrinter *printer = PrinterOf(device);
    if (printer != nullptr)
        printer->job.store(job);
}

void EndSocketJob(pappl_device_t *device) {
    SocketPrinter *printer = PrinterOf(device);
    if (printer == nullptr)
        return;
    std::lock_guard<std::mutex> guard(printer->lock);
    EndConnection(printer);
    printer->job.store(nullptr);
}

}  // namespace printerapp
