// The counted accept(). The connections of a client are remembered by descriptor and
// socket inode: a descriptor that was closed, or reused for another socket, no longer
// matches and is dropped from the count, so nothing has to see PAPPL close them.
#include "printerapp/ClientLimits.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace printerapp {

namespace {

struct Connection {
    int fd;
    ino_t inode;
};

// Every this many connections, clients that hold none any more are forgotten.
constexpr unsigned kSweepEvery = 1024;

std::atomic<int> gLimit{0};
std::mutex gLock;
std::map<std::string, std::vector<Connection>> gClients;
unsigned gSinceSweep = 0;

// The client's address without its port; empty for a local socket.
std::string ClientKey(int fd) {
    struct sockaddr_storage peer;
    socklen_t length = sizeof(peer);
    memset(&peer, 0, sizeof(peer));
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &length) != 0)
        return std::string();
    if (peer.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const struct sockaddr_in *>(&peer);
        return std::string(reinterpret_cast<const char *>(&in->sin_addr), sizeof(in->sin_addr));
    }
    if (peer.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(&peer);
        return std::string(reinterpret_cast<const char *>(&in6->sin6_addr), sizeof(in6->sin6_addr));
    }
    return std::string();
}

bool IsOpen(const Connection &connection) {
    struct stat info;
    return fstat(connection.fd, &info) == 0 && S_ISSOCK(info.st_mode) &&
           info.st_ino == connection.inode;
}

void DropClosed(std::vector<Connection> *connections) {
    std::vector<Connection> open;
    for (const Connection &connection : *connections) {
        if (IsOpen(connection))
            open.push_back(connection);
    }
    connections->swap(open);
}

void SweepLocked() {
    for (auto it = gClients.begin(); it != gClients.end();) {
        DropClosed(&it->second);
        it = it->second.empty() ? gClients.erase(it) : std::next(it);
    }
}

}  // namespace

void SetConnectionsPerClient(int limit) {
    gLimit = limit > 0 ? limit : 0;
}

bool AdmitConnection(int fd) {
    const int limit = gLimit;
    if (limit == 0)
        return true;
    const std::string key = ClientKey(fd);
    struct stat info;
    if (key.empty() || fstat(fd, &info) != 0)
        return true;
    std::lock_guard<std::mutex> guard(gLock);
    if (++gSinceSweep >= kSweepEvery) {
        gSinceSweep = 0;
        SweepLocked();
    }
    std::vector<Connection> &connections = gClients[key];
    DropClosed(&connections);
    if (connections.size() >= (size_t)limit)
        return false;
    connections.push_back(Connection{fd, info.st_ino});
    return true;
}

}  // namespace printerapp

// The accept() of libcups's httpAcceptConnection, which PAPPL's listeners use: the C
// library's, then the count. A connection beyond its client's limit is closed before
// PAPPL sees it (PAPPL logs that it could not accept it).
extern "C" int accept(int fd, struct sockaddr *address, socklen_t *length) {
    using AcceptFunction = int (*)(int, struct sockaddr *, socklen_t *);
    static const AcceptFunction next = reinterpret_cast<AcceptFunction>(dlsym(RTLD_NEXT, "accept"));
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int client = next(fd, address, length);
    if (client >= 0 && !printerapp::AdmitConnection(client)) {
        close(client);
        errno = ECONNABORTED;
        return -1;
    }
    return client;
}
