// The CUPS filter's side of a job: the printer stream goes to standard output, status
// lines to standard error as CUPS reads them, and SIGTERM cancels.
#ifndef GDI_FILTER_FILTERPORTS_H
#define GDI_FILTER_FILTERPORTS_H

#include <stddef.h>

#include "gdi/JobPorts.h"

// Writes to a file descriptor that may be a pipe to a slow or stalled backend, a socket,
// a file or a device. A slow reader is waited for; a write that would block is waited
// out and retried (also on a descriptor set non-blocking), never dropped. A reader that
// takes nothing for a few seconds after the job was cancelled is given up on, so that a
// cancel ends the filter even when the printer has stopped reading.
class FdSink : public ByteSink {
public:
    FdSink(int fd, JobControl *control);
    Result Write(const unsigned char *data, size_t size) override;

    // How long a cancelled job waits for a reader that takes nothing, in milliseconds.
    static constexpr int kCancelGraceMs = 3000;

private:
    bool IsWritable(int timeoutMs) const;
    size_t NextPiece(size_t wanted) const;
    bool WaitUntilWritable(long long *cancelSeenMs, long long lastProgressMs);

    int fd;
    JobControl *control;
    bool isPipe = false;
    bool isSocket = false;
};

// CUPS status lines on standard error, each written whole in one write, so that lines
// written by several threads at once never mix.
class CupsStatusReporter : public StatusReporter {
public:
    void PageDone(unsigned page, unsigned copies) override;
    void Info(const char *message) override;
    void Error(const char *message) override;
};

// Writes one whole line to standard error in one write.
void WriteStatusLine(const char *prefix, const char *message);

#endif
