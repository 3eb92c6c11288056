// Bounded reads from IPP clients.
#include "printerapp/ClientReads.h"

#include <dlfcn.h>
#include <time.h>

namespace printerapp {

namespace {

// A streamed job is read on its client's own thread. After a cancel PAPPL still reads
// the rest of the client's document, to throw it away: that read does not wait either.
thread_local pappl_job_t *tStreamedJob = nullptr;
thread_local bool tStreamCancelled = false;

// Called by libcups each second a read or write waits: true to wait on.
int KeepWaiting(http_t *http, void *data) {
    (void)data;
    if (tStreamCancelled || (tStreamedJob != nullptr && papplJobIsCanceled(tStreamedJob)))
        return 0;
    return time(nullptr) - httpGetActivity(http) < kClientIdleSeconds;
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
