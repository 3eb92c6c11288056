// Runs of jobs, one each.
#include "printerapp/JobRuns.h"

#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace printerapp {

namespace {

// A job by its printer's number and its own, which PAPPL never gives twice in one
// system (a job's or a printer's address can be a later one's).
using JobKey = std::pair<int, int>;

// A second run of a job comes while the first still runs or just after it; the outcomes
// of this many of the last jobs are kept for it.
constexpr size_t kFinishedKept = 256;

struct Runs {
    std::mutex lock;
    std::condition_variable changed;
    std::map<JobKey, bool> active;              // jobs being printed
    std::map<JobKey, bool> finished;            // jobs printed, and whether they printed
    std::deque<JobKey> finishOrder;             // the keys of `finished`, oldest first
    std::map<pappl_printer_t *, int> printing;  // the job each printer prints now

    void recordFinished(const JobKey &key, bool printed) {
        if (finished.count(key) == 0)
            finishOrder.push_back(key);
        finished[key] = printed;
        while (finishOrder.size() > kFinishedKept) {
            finished.erase(finishOrder.front());
            finishOrder.pop_front();
        }
    }
};

Runs &TheRuns() {
    static Runs runs;
    return runs;
}

JobKey KeyOf(pappl_job_t *job) {
    return JobKey(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
}

}  // namespace

JobRun::JobRun(pappl_job_t *job) : job(job) {
    Runs &runs = TheRuns();
    const JobKey key = KeyOf(job);
    std::unique_lock<std::mutex> guard(runs.lock);
    if (runs.active.count(key) == 0 && runs.finished.count(key) == 0) {
        runs.active[key] = true;
        guard.unlock();
        takeTurn();
        return;
    }
    duplicate = true;
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "The job was started a second time; this run waits for the first");
    runs.changed.wait(guard, [&] { return runs.active.count(key) == 0; });
    const auto done = runs.finished.find(key);
    outcome = done != runs.finished.end() && done->second;
    finished = true;
}

JobRun::~JobRun() {
    if (!finished)
        Finish(false);
}

void JobRun::takeTurn() {
    Runs &runs = TheRuns();
    pappl_printer_t *printer = papplJobGetPrinter(job);
    std::unique_lock<std::mutex> guard(runs.lock);
    const auto busy = runs.printing.find(printer);
    if (busy != runs.printing.end()) {
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Started while job %d prints; waits for it",
                    busy->second);
        runs.changed.wait(guard, [&] { return runs.printing.count(printer) == 0; });
    }
    runs.printing[printer] = papplJobGetID(job);
    haveTurn = true;
}

void JobRun::endTurn() {
    if (ownDevice != nullptr) {
        papplDeviceClose(ownDevice);
        ownDevice = nullptr;
    }
    if (!haveTurn)
        return;
    haveTurn = false;
    Runs &runs = TheRuns();
    {
        std::lock_guard<std::mutex> guard(runs.lock);
        runs.printing.erase(papplJobGetPrinter(job));
    }
    runs.changed.notify_all();
}

pappl_device_t *JobRun::Device(pappl_device_t *given) {
    pappl_printer_t *printer = papplJobGetPrinter(job);
    const char *uri = papplPrinterGetDeviceURI(printer);
    if (uri == nullptr || strncmp(uri, "file:", 5) != 0)
        return given;
    if (ownDevice == nullptr)
        ownDevice = papplDeviceOpen(uri, papplJobGetName(job), papplLogDevice,
                                    papplPrinterGetSystem(printer));
    return ownDevice;
}

bool JobRun::Finish(bool printed) {
    if (finished)
        return outcome;
    finished = true;
    outcome = printed;
    endTurn();
    Runs &runs = TheRuns();
    const JobKey key = KeyOf(job);
    {
        std::lock_guard<std::mutex> guard(runs.lock);
        runs.active.erase(key);
        runs.recordFinished(key, printed);
    }
    runs.changed.notify_all();
    return printed;
}

bool CanceledBeforeItBegan(pappl_job_t *job) {
    if (papplJobGetFilename(job) != nullptr)
        return false;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The job was canceled before it began printing");
    papplJobCancel(job);
    return true;
}

bool AwaitStreamedRun(pappl_job_t *job) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "The job was started a second time; this run waits for the first");
    Runs &runs = TheRuns();
    const JobKey key = KeyOf(job);
    // The first run is the client's connection: it has the job from its first page to its
    // end; a job it gave up on before its first page ends without it, as its state shows.
    // A run that shows neither for a minute is over too.
    int idleChecks = 0;
    std::unique_lock<std::mutex> guard(runs.lock);
    for (;;) {
        const auto done = runs.finished.find(key);
        if (done != runs.finished.end())
            return done->second;
        const bool active = runs.active.count(key) != 0;
        if (!active && papplJobGetState(job) >= IPP_JSTATE_CANCELED)
            return papplJobGetState(job) == IPP_JSTATE_COMPLETED;
        idleChecks = active ? 0 : idleChecks + 1;
        if (idleChecks > 600)
            return false;
        runs.changed.wait_for(guard, std::chrono::milliseconds(100));
    }
}

}  // namespace printerapp
