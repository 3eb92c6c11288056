// The PAPPL device, job cancel and job status as the driver core's ports.
#include "printerapp/AppPorts.h"

#include <errno.h>
#include <string.h>

#include "printerapp/SocketDevice.h"

namespace printerapp {

namespace {

// PAPPL's device writes take a size_t but give an ssize_t; a piece at a time keeps
// every count representable.
constexpr size_t kWritePiece = 1 << 20;

}  // namespace

DeviceSink::DeviceSink(pappl_device_t *device, pappl_job_t *job) : device(device), startBytes(0) {
    startBytes = deviceBytesWritten();
    SetSocketJob(device, job);
}

DeviceSink::~DeviceSink() {
    EndJob();
}

void DeviceSink::EndJob() {
    if (ended)
        return;
    ended = true;
    EndSocketJob(device);
}

size_t DeviceSink::deviceBytesWritten() const {
    if (device == nullptr)
        return 0;
    pappl_devmetrics_t metrics;
    memset(&metrics, 0, sizeof(metrics));
    papplDeviceGetMetrics(device, &metrics);
    return metrics.write_bytes;
}

bool DeviceSink::Flush() {
    if (device == nullptr)
        return true;
    papplDeviceFlush(device);
    return deviceBytesWritten() - startBytes >= accepted;
}

ByteSink::Result DeviceSink::Write(const unsigned char *data, size_t size) {
    Result result;
    while (size > 0) {
        const size_t piece = size < kWritePiece ? size : kWritePiece;
        errno = 0;
        const ssize_t written = papplDeviceWrite(device, data, piece);
        if (written < 0 || (size_t)written != piece) {
            result.status = errno == EPIPE       ? Status::kClosed
                            : errno == ECANCELED ? Status::kAbandoned
                                                 : Status::kFailed;
            result.error = errno != 0 ? errno : EIO;
            return result;
        }
        data += piece;
        size -= piece;
        accepted += piece;
    }
    return result;
}

bool JobCancel::IsCancelled() {
    return papplJobIsCanceled(job);
}

JobStatus::JobStatus(pappl_job_t *job, std::string notes) : job(job), notes(std::move(notes)) {
    if (!this->notes.empty())
        setMessage(nullptr);
}

void JobStatus::PageDone(unsigned page, unsigned copies) {
    const unsigned count = copies > 0 ? copies : 1;
    {
        std::lock_guard<std::mutex> guard(lock);
        impressions += count;
    }
    papplJobSetImpressionsCompleted(job, (int)count);
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Page %u (%u copies) has gone to the printer", page,
                count);
}

void JobStatus::Info(const char *message) {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%s", message);
    setMessage(message);
}

void JobStatus::Error(const char *message) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!firstError.empty())
            return;  // the first error says why the job failed; the rest follow from it
        firstError = message;
    }
    papplJobSetMessage(job, "%s", message);
}

unsigned JobStatus::Impressions() const {
    std::lock_guard<std::mutex> guard(lock);
    return impressions;
}

void JobStatus::FinalMessage(const char *message) {
    setMessage(message);
}

// The message, then the notes: "Printing page 2. Printed one-sided: ...".
void JobStatus::setMessage(const char *message) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!firstError.empty())
            return;  // an error stays the message
    }
    if (message == nullptr || message[0] == '\0') {
        papplJobSetMessage(job, "%s", notes.c_str());
    } else if (notes.empty()) {
        papplJobSetMessage(job, "%s", message);
    } else {
        papplJobSetMessage(job, "%s. %s", message, notes.c_str());
    }
}

}  // namespace printerapp
