// One streamed raster document at a time per printer, answered busy before PAPPL sees it.
#include "printerapp/StreamAdmission.h"

#include <string.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace printerapp {

namespace {

using Clock = std::chrono::steady_clock;

// A stream is admitted and its job started within milliseconds; an admission that never
// gets that far (the client went away, the job could not be made) lapses after this.
constexpr std::chrono::milliseconds kAdmissionLapses{2000};

struct Admissions {
    std::mutex lock;
    std::condition_variable started;
    std::map<pappl_printer_t *, Clock::time_point> pending;  // admitted, not yet started

    // Whether a stream admitted on the printer has still to start; lapsed ones are removed.
    bool hasPending(pappl_printer_t *printer) {
        const auto admitted = pending.find(printer);
        if (admitted == pending.end())
            return false;
        if (Clock::now() - admitted->second < kAdmissionLapses)
            return true;
        pending.erase(admitted);
        return false;
    }
};

Admissions &TheAdmissions() {
    static Admissions admissions;
    return admissions;
}

bool IsStreamedFormat(const char *format) {
    return format != nullptr &&
           (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0);
}

// Jobs of the printer other than the one the request adds its document to.
int OtherActiveJobs(pappl_client_t *client, pappl_printer_t *printer) {
    const int active = papplPrinterGetNumberOfActiveJobs(printer);
    return papplClientGetOperation(client) == IPP_OP_SEND_DOCUMENT ? active - 1 : active;
}

// A spooled document waits until an admitted stream has started (or lapsed), so that its
// job cannot become the printer's job in between.
void AwaitAdmittedStream(pappl_printer_t *printer) {
    Admissions &admissions = TheAdmissions();
    std::unique_lock<std::mutex> guard(admissions.lock);
    while (admissions.hasPending(printer))
        admissions.started.wait_for(guard, std::chrono::milliseconds(20));
}

}  // namespace

bool AdmitDocument(pappl_client_t *client, const char *format) {
    pappl_printer_t *printer = papplClientGetPrinter(client);
    const ipp_op_t operation = papplClientGetOperation(client);
    if (printer == nullptr || (operation != IPP_OP_PRINT_JOB && operation != IPP_OP_SEND_DOCUMENT))
        return true;
    if (!IsStreamedFormat(format)) {
        AwaitAdmittedStream(printer);
        return true;
    }
    if (papplPrinterIsHoldingNewJobs(printer)) {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS,
                              "Currently holding new jobs.");
        return false;
    }
    // Read before our lock is taken: PAPPL's printer lock is never taken under it.
    const bool printerBusy = OtherActiveJobs(client, printer) > 0;
    Admissions &admissions = TheAdmissions();
    {
        std::lock_guard<std::mutex> guard(admissions.lock);
        if (!printerBusy && !admissions.hasPending(printer)) {
            admissions.pending[printer] = Clock::now();
            return true;
        }
    }
    papplClientRespondIPP(client, IPP_STATUS_ERROR_BUSY, "Currently printing another job.");
    return false;
}

void StreamStarted(pappl_printer_t *printer) {
    Admissions &admissions = TheAdmissions();
    {
        std::lock_guard<std::mutex> guard(admissions.lock);
        admissions.pending.erase(printer);
    }
    admissions.started.notify_all();
}

}  // namespace printerapp
