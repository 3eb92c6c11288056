// What the driver core needs of the front end that drives it: where the printer stream
// goes, whether the job goes on, and where its status lines go. The core knows nothing
// of processes: the CUPS filter answers from its standard output and signal flag, a
// printer application from its device and job, a test from collected bytes.
#ifndef GDI_GDI_JOBPORTS_H
#define GDI_GDI_JOBPORTS_H

#include <stddef.h>

// Where the printer stream goes. Called from the spooler's output thread only.
class ByteSink {
public:
    enum class Status {
        kWritten,    // every byte was taken
        kClosed,     // the reader went away (a closed pipe); nothing more can be written
        kFailed,     // a write error; `error` tells which (an errno value)
        kAbandoned,  // the job was cancelled while the reader took nothing; bytes dropped
    };
    struct Result {
        Status status = Status::kWritten;
        int error = 0;
    };
    virtual ~ByteSink() = default;
    // Writes all `size` bytes, waiting as long as the reader is slow.
    virtual Result Write(const unsigned char *data, size_t size) = 0;
};

// Asked between pages and before each spooled page goes out.
class JobControl {
public:
    virtual ~JobControl() = default;
    virtual bool IsCancelled() = 0;
};

// The job's status lines. Safe to call from any thread.
class StatusReporter {
public:
    virtual ~StatusReporter() = default;
    // A page has gone out to the printer (CUPS: "PAGE: page copies").
    virtual void PageDone(unsigned page, unsigned copies) = 0;
    // Progress for the user (CUPS: "INFO: ...").
    virtual void Info(const char *message) = 0;
    // Why the job failed (CUPS: "ERROR: ...").
    virtual void Error(const char *message) = 0;
};

// The three together, as a job is given them. None may be null.
struct JobPorts {
    ByteSink *sink;
    JobControl *control;
    StatusReporter *reporter;
};

// Reports a failure: the message goes to the diagnostic log and, as the job's error, to
// the reporter.
void ReportJobError(StatusReporter &reporter, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Reports progress to the log and the reporter.
void ReportJobInfo(StatusReporter &reporter, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#endif
