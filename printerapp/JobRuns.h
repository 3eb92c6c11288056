// One run per job, one job at a time per printer. PAPPL 1.3's check for the next job to
// print looks whether the printer is busy before it locks the printer: when two checks
// come at once (a job ending as another is submitted), both can start a thread, for the
// same job or for two jobs of one printer. A second run of a job must not print it again,
// nor end it while the first still writes to the printer: it waits for the first and
// gives its outcome. A second job waits for its turn. PAPPL closes a file device at the
// end of every run, whichever job's run that is: a run that ends while another prints
// (one of a job canceled before it began, say) would close the device under it. A job
// on a file device therefore writes to a device of its own.
#ifndef GDI_PRINTERAPP_JOBRUNS_H
#define GDI_PRINTERAPP_JOBRUNS_H

#include <pappl/pappl.h>

namespace printerapp {

class JobRun {
public:
    // Claims the job for this run, or, when another run has it or had it, waits until
    // that one is over. A run that claimed its job then waits for the printer's turn.
    explicit JobRun(pappl_job_t *job);
    ~JobRun();
    JobRun(const JobRun &) = delete;
    JobRun &operator=(const JobRun &) = delete;

    // Whether another run printed the job; Outcome() is then that run's.
    bool IsDuplicate() const { return duplicate; }
    bool Outcome() const { return outcome; }
    // This run's outcome; the run is over.
    bool Finish(bool printed);
    // The device to print on: `given`, or one of this run's own when the printer's
    // device is a file (null when that cannot be opened).
    pappl_device_t *Device(pappl_device_t *given);

private:
    void takeTurn();
    void endTurn();

    pappl_job_t *job;
    bool haveTurn = false;
    pappl_device_t *ownDevice = nullptr;
    bool duplicate = false;
    bool outcome = false;
    bool finished = false;
};

// Whether the job's document is gone: PAPPL 1.3 starts the thread of a job it is about
// to print before it marks the job as printing, and a cancel that comes in between ends
// the still pending job and removes its document, after which the thread runs it anyway.
// Such a job is canceled again, now as a printing one, so that it ends as canceled.
bool CanceledBeforeItBegan(pappl_job_t *job);

// Prints a job in a run of its own: `print(device)` prints it on the device to print on,
// unless another run of the job printed it, or the job was canceled before its run
// began. The outcome of the run that printed it.
template <typename Print>
bool PrintOnce(pappl_job_t *job, pappl_device_t *device, Print print) {
    JobRun run(job);
    if (run.IsDuplicate())
        return run.Outcome();
    if (CanceledBeforeItBegan(job))
        return run.Finish(true);  // as a job canceled while it prints: ended, no failure
    pappl_device_t *output = run.Device(device);
    return run.Finish(output != nullptr && print(output));
}

// A run of a streamed (PWG or Apple) raster job that PAPPL started a second time: the
// client's connection prints it; this run waits until that is over. Its outcome.
bool AwaitStreamedRun(pappl_job_t *job);

}  // namespace printerapp

#endif
