// Bounded reads from IPP clients.
#include "printerapp/ClientReads.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <time.h>

namespace printerapp {

namespace {

// A streamed job is read on its client's own thread. After a cancel PAPPL still reads
// the rest of the client's document, to throw it away: that read does not wait either.
thread_local pappl_job_t *tStreamedJob = nullptr;
thread_local bool tStreamCancelled = false;

// The stretch of time a connection has waited without progress. libcups calls back once
// a second while a read or write waits; a read that gave up is often asked again at once,
// so a stretch goes on while the calls keep coming and the document has not moved on.
struct IdleStretch {
    http_t *http = nullptr;
    off_t remaining = -1;  // document bytes still to come
    time_t since = 0, last = 0;
};
thread_local IdleStretch tIdle;

// Called by libcups each second a read or write waits: true to wait on.
int KeepWaiting(http_t *http, void *data) {
    (void)data;
    if (tStreamCancelled || (tStreamedJob != nullptr && papplJobIsCanceled(tStreamedJob)))
        return 0;
    const time_t now = time(nullptr);
    const off_t remaining = httpGetRemaining(http);
    if (tIdle.http != http || tIdle.remaining != remaining || now - tIdle.last > 2) {
        tIdle.http = http;
        tIdle.remaining = remaining;
        tIdle.since = now;
    }
    tIdle.last = now;
    if (now - tIdle.since < kClientIdleSeconds)
        return 1;
    // PAPPL 1.3 reads a streamed page line by line whatever the reads give: a connection
    // given up reads as ended from now on, so every further read returns at once.
    shutdown(httpGetFd(http), SHUT_RD);
    return 0;
}

}  // namespace

void SetStreamedJob(pappl_job_t *job) {
    tStreamCancelled =
        job == nullptr && tStreamedJob != nullptr && papplJobIsCanceled(tStreamedJob);
    tStreamedJob = job;
}

}  // namespace printerapp

// PAPPL's accept of a client connection, with the connection's bound set.
extern "C" http_t *httpAcceptConnection(int fd, int blocking) {
    using Accept = http_t *(*)(int, int);
    static const Accept accept = reinterpret_cast<Accept>(dlsym(RTLD_NEXT, "httpAcceptConnection"));
    if (accept == nullptr)
        return nullptr;
    http_t *http = accept(fd, blocking);
    if (http != nullptr)
        httpSetTimeout(http, 1.0, printerapp::KeepWaiting, nullptr);
    return http;
}
