// One job of the printer application on the driver core: the job's IPP settings become
// the core's options, PAPPL's pages and lines go to the core, and how the job ended
// goes into its state, reasons and message.
#ifndef GDI_PRINTERAPP_APPJOB_H
#define GDI_PRINTERAPP_APPJOB_H

#include <cups/raster.h>
#include <pappl/pappl.h>

#include <memory>
#include <string>

#include "gdi/GdiJob.h"
#include "printerapp/AppPorts.h"
#include "printerapp/JobRuns.h"
#include "printerapp/ModelTable.h"
#include "printerapp/PageFit.h"

namespace printerapp {

// The job's settings: each the job's own value, or the printer's default.
JobRequest RequestOf(pappl_job_t *job, const pappl_pr_options_t *options);

// The version-1 page header the core reads: the first part of PAPPL's version-2 header.
cups_page_header_s VersionOneHeader(const cups_page_header2_t &header);

// The copies a job asks for, and whether each copy is the whole document in order
// (collated) or each page so many times over.
struct JobCopies {
    unsigned count = 1;
    bool collate = false;
};
// The job's `copies` and `multiple-document-handling`, whatever the document's own
// page headers say: the printer makes the copies the job header asks for.
JobCopies CopiesOf(pappl_job_t *job, const pappl_pr_options_t *options);

class AppJob {
public:
    // Begins the job on `device`; null when the printer's model is unknown or there is no
    // memory (reported in the job's message).
    static std::unique_ptr<AppJob> Begin(pappl_job_t *job, const pappl_pr_options_t *options,
                                         pappl_device_t *device);
    AppJob(const AppJob &) = delete;
    AppJob &operator=(const AppJob &) = delete;

    // Begins a page; false when the job cannot go on (refused, failed or cancelled).
    bool StartPage(const cups_page_header2_t &header);
    // One row of the page, as many bytes as the page's header gives a line.
    bool PutRow(const unsigned char *row);
    // Ends the page. A page whose rows did not all arrive is printed as far as it came,
    // and the job fails (the document was cut short), as the CUPS filter does.
    bool EndPage();
    // Ends the job: true when it printed or was cancelled. Leaves the job's message
    // and reasons saying how it ended.
    bool Finish();

    // Fails the job for a reason the front end found before the core saw the page.
    void Fail(pappl_jreason_t reason, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    bool PageStarted() const { return pagesStarted > 0; }
    unsigned PagesStarted() const { return pagesStarted; }
    bool Failed() const { return failed; }
    // The pages the document says it has (0: it does not say).
    void ExpectPages(unsigned pages) { expectedPages = pages; }
    unsigned ExpectedPages() const { return expectedPages; }
    // The run that has the job (PAPPL may start a job twice); Finish ends it.
    void SetRun(std::unique_ptr<JobRun> run) { this->run = std::move(run); }

private:
    AppJob(pappl_job_t *job, pappl_device_t *device, const QNVCUPSFilter &options,
           std::string notes, JobCopies copies);
    void fitToPaper(const pappl_pr_options_t *options);
    bool finishJob();

    pappl_job_t *job;
    pappl_device_t *device;
    DeviceSink sink;
    JobCancel control;
    JobStatus status;
    std::unique_ptr<GdiJob> core;
    std::unique_ptr<JobRun> run;
    JobCopies copies;
    // Pages the application renders itself are fitted to the filter's layout of the
    // paper (in points, 0 for pages that come as the client rendered them).
    unsigned paperWidthPoints = 0, paperHeightPoints = 0;
    std::unique_ptr<PageFit> fit;
    unsigned sourceRows = 0;  // rows of the page as rendered
    unsigned coreRows = 0;    // rows handed to the core
    unsigned pagesStarted = 0;
    unsigned expectedPages = 0;
    unsigned rowsPut = 0;
    bool pageOpen = false;
    bool pageRefused = false;
    bool failed = false;
};

}  // namespace printerapp

#endif
