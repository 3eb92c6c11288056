// The printer application's side of a job on the driver core: the stream goes to the
// printer's device, a cancel is asked of the job, and status goes into the job's
// state message and its count of impressions.
#ifndef GDI_PRINTERAPP_APPPORTS_H
#define GDI_PRINTERAPP_APPPORTS_H

#include <pappl/pappl.h>

#include <mutex>
#include <string>

#include "gdi/JobPorts.h"

namespace printerapp {

// Writes to the PAPPL device the job was given (usb://, socket://, file://). PAPPL
// buffers small writes; the job end flushes them. A cancel of `job` ends a write the
// printer does not take.
class DeviceSink : public ByteSink {
public:
    DeviceSink(pappl_device_t *device, pappl_job_t *job);
    ~DeviceSink() override;
    DeviceSink(const DeviceSink &) = delete;
    DeviceSink &operator=(const DeviceSink &) = delete;
    Result Write(const unsigned char *data, size_t size) override;
    // Sends what PAPPL still holds of the stream; false when the device did not take
    // every byte the job gave it (PAPPL's own flush does not tell).
    bool Flush();
    // The job is over on the device: a socket printer's connection ends with it.
    void EndJob();

private:
    size_t deviceBytesWritten() const;

    pappl_device_t *device;
    size_t startBytes;    // the device's count of bytes written before the job
    size_t accepted = 0;  // bytes the job has given
    bool ended = false;
};

// A job cancelled through IPP (Cancel-Job, the web page, the cancel sub-command).
class JobCancel : public JobControl {
public:
    explicit JobCancel(pappl_job_t *job) : job(job) {}
    bool IsCancelled() override;

private:
    pappl_job_t *job;
};

// Progress and errors in the job's state message, pages gone out to the printer in
// job-impressions-completed. The notes on settings the revision rules changed stay in
// the message behind whatever it says.
class JobStatus : public StatusReporter {
public:
    JobStatus(pappl_job_t *job, std::string notes);
    void PageDone(unsigned page, unsigned copies) override;
    void Info(const char *message) override;
    void Error(const char *message) override;

    // Impressions counted so far through PageDone.
    unsigned Impressions() const;
    // Sets the message the finished job keeps.
    void FinalMessage(const char *message);

private:
    void setMessage(const char *message);

    pappl_job_t *job;
    const std::string notes;
    mutable std::mutex lock;
    std::string firstError;
    unsigned impressions = 0;
};

}  // namespace printerapp

#endif
