// Standard output as the job's byte sink, and CUPS status lines.
#include "filter/FilterPorts.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "common/WriteAll.h"

namespace {

// Pieces written at once to a file or device.
constexpr size_t kWriteChunk = 1 << 20;
// How often a wait for a writable descriptor looks at the job's cancellation.
constexpr int kPollIntervalMs = 200;

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

FdSink::FdSink(int fd, JobControl *control) : fd(fd), control(control) {
    struct stat st;
    if (fstat(fd, &st) == 0) {
        isPipe = S_ISFIFO(st.st_mode);
        isSocket = S_ISSOCK(st.st_mode);
    }
}

// Whether the descriptor takes bytes now; waits up to `timeoutMs` for it.
bool FdSink::IsWritable(int timeoutMs) const {
    struct pollfd p;
    p.fd = fd;
    p.events = POLLOUT;
    p.revents = 0;
    return poll(&p, 1, timeoutMs) > 0;
}

// How many of `wanted` bytes to write at once. A pipe that polls writable has room for
// at least one page of bytes, which a write of at most PIPE_BUF bytes then never waits
// for: the filter never blocks in a write, so a cancel always gets through. A socket is
// written without waiting; a file or device takes large pieces.
size_t FdSink::NextPiece(size_t wanted) const {
    if (isPipe)
        return IsWritable(0) ? std::min<size_t>(wanted, PIPE_BUF) : 0;
    return std::min(wanted, kWriteChunk);
}

// Waits for the descriptor to take bytes again. False when the job was cancelled and the
// reader has taken nothing for the grace time since.
bool FdSink::WaitUntilWritable(long long *cancelSeenMs, long long lastProgressMs) {
    if (IsWritable(kPollIntervalMs))
        return true;
    if (control != nullptr && control->IsCancelled()) {
        const long long now = NowMs();
        if (*cancelSeenMs < 0)
            *cancelSeenMs = now;
        if (now - std::max(*cancelSeenMs, lastProgressMs) >= kCancelGraceMs)
            return false;
    }
    return true;
}

ByteSink::Result FdSink::Write(const unsigned char *data, size_t size) {
    Result result;
    long long cancelSeenMs = -1;
    long long lastProgressMs = NowMs();
    while (size > 0) {
        const size_t piece = NextPiece(size);
        ssize_t written = -1;
        if (piece == 0) {
            errno = EAGAIN;
        } else if (isSocket) {
            written = send(fd, data, piece, MSG_DONTWAIT);
        } else {
            written = write(fd, data, piece);
        }
        if (written > 0) {
            data += written;
            size -= (size_t)written;
            lastProgressMs = NowMs();
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitUntilWritable(&cancelSeenMs, lastProgressMs)) {
                result.status = Status::kAbandoned;
                return result;
            }
            continue;
        }
        result.error = errno;
        result.status = errno == EPIPE ? Status::kClosed : Status::kFailed;
        return result;
    }
    return result;
}

void WriteStatusLine(const char *prefix, const char *message) {
    char line[2048];
    int length = snprintf(line, sizeof(line) - 1, "%s%s", prefix, message);
    if (length < 0)
        return;
    if ((size_t)length > sizeof(line) - 2)
        length = (int)sizeof(line) - 2;
    line[length++] = '\n';
    WriteAll(STDERR_FILENO, line, (size_t)length);  // errors of stderr itself are ignored
}

void CupsStatusReporter::PageDone(unsigned page, unsigned copies) {
    char message[64];
    snprintf(message, sizeof(message), "%u %u", page, copies);
    WriteStatusLine("PAGE: ", message);
}

void CupsStatusReporter::Info(const char *message) {
    WriteStatusLine("INFO: ", message);
}

void CupsStatusReporter::Error(const char *message) {
    WriteStatusLine("ERROR: ", message);
}
