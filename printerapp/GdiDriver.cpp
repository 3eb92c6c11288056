// The drivers and the raster callbacks.
#include "printerapp/GdiDriver.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "printerapp/AppJob.h"
#include "printerapp/AppStrings.h"
#include "printerapp/AppPorts.h"
#include "printerapp/JobMessagesPage.h"
#include "printerapp/ClientReads.h"
#include "printerapp/JobRuns.h"
#include "printerapp/StreamAdmission.h"
#include "printerapp/ModelTable.h"
#include "printerapp/StreamCheck.h"

namespace printerapp {

const char kStreamFormat[] = "application/vnd.gdi-laser-stream";

pappl_pr_driver_t kDrivers[2] = {
    {kModels[0].driverName, kModels[0].makeAndModel, nullptr, nullptr},
    {kModels[1].driverName, kModels[1].makeAndModel, nullptr, nullptr},
};

namespace {

constexpr int kResolution = 600;

AppJob *JobOf(pappl_job_t *job) {
    return static_cast<AppJob *>(papplJobGetData(job));
}

// PWG and Apple raster arrive as a stream PAPPL reads itself; other documents are
// rendered by a filter that calls the raster callbacks with a header of its own.
bool IsStreamedRaster(pappl_job_t *job) {
    const char *format = papplJobGetFormat(job);
    return format != nullptr &&
           (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0);
}

// PAPPL counts a page as done when it starts one (streamed raster) or after it ended
// one (images). The driver counts the pages that have gone out to the printer instead,
// so PAPPL's own count is taken back.
void TakeBackPapplCount(pappl_job_t *job) {
    papplJobSetImpressionsCompleted(job, -1);
}

// PAPPL hands the driver the client's own page header only when the client sent 8 bits
// or more per pixel; otherwise it keeps the header it made from the job's settings and
// passes the client's narrower lines as they are. Such a page is told by its header
// being exactly the one PAPPL makes.
bool IsPapplsOwnHeader(pappl_job_t *job, const pappl_pr_options_t *options) {
    pappl_pr_options_t *own =
        papplJobCreatePrintOptions(job, (unsigned)papplJobGetImpressions(job), false);
    if (own == nullptr)
        return false;
    const bool same = memcmp(&own->header, &options->header, sizeof(own->header)) == 0;
    papplJobDeletePrintOptions(own);
    return same;
}

// A client's raster page the printer can print as it is: 600 dpi, the printer's only
// resolution (a page of another one would come out at the wrong size). The first page
// also tells how many pages the document has, where the client says.
bool IsPrintableRaster(const cups_page_header2_t &header, unsigned page, AppJob *appJob) {
    if (header.HWResolution[0] != kResolution || header.HWResolution[1] != kResolution) {
        appJob->Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                     "Page %u is raster of %u x %u dpi: the printer prints %d dpi raster only",
                     page, header.HWResolution[0], header.HWResolution[1], kResolution);
        return false;
    }
    if (page == 1)
        appJob->ExpectPages(header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount]);
    return true;
}

// A streamed document that ended before the pages its first page announced: PAPPL 1.3
// ends a job at a page header it cannot read as at the document's end.
void ExplainMissingPages(pappl_job_t *job, AppJob *appJob) {
    if (papplJobIsCanceled(job) || appJob->Failed() ||
        appJob->PagesStarted() >= appJob->ExpectedPages())
        return;
    appJob->Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 "The document's raster data is damaged after page %u of %u",
                 appJob->PagesStarted(), appJob->ExpectedPages());
}

bool StartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    if (papplJobGetData(job) != nullptr)
        return false;  // a second run of a job that is being printed (see JobRun)
    // A streamed job's run begins here; the filters' runs begin in the filters, which
    // hand this callback the device to print on.
    std::unique_ptr<JobRun> run;
    if (IsStreamedRaster(job)) {
        StreamStarted(papplJobGetPrinter(job));
        run.reset(new JobRun(job));
        if (run->IsDuplicate())
            return false;
        device = run->Device(device);
        if (device == nullptr)
            return false;
    }
    std::unique_ptr<AppJob> appJob = AppJob::Begin(job, options, device);
    if (appJob == nullptr)
        return false;
    if (run != nullptr)
        appJob->SetRun(std::move(run));
    papplJobSetData(job, appJob.release());
    if (IsStreamedRaster(job))
        SetStreamedJob(job);  // until EndJob, which PAPPL calls for every started job
    return true;
}

bool StartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
               unsigned page) {
    (void)device;
    AppJob *appJob = JobOf(job);
    if (appJob == nullptr)
        return false;
    if (IsStreamedRaster(job)) {
        TakeBackPapplCount(job);
        if (IsPapplsOwnHeader(job, options)) {
            appJob->Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                         "Page %u is not 8-bit grey raster: the printer takes sgray_8 or black_8",
                         page);
            return false;
        }
        if (!IsPrintableRaster(options->header, page, appJob))
            return false;
    }
    return appJob->StartPage(options->header);
}

bool WriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned y,
               const unsigned char *line) {
    (void)options;
    (void)device;
    (void)y;
    AppJob *appJob = JobOf(job);
    return appJob != nullptr && appJob->PutRow(line);
}

bool EndPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page) {
    (void)options;
    (void)device;
    (void)page;
    AppJob *appJob = JobOf(job);
    if (appJob == nullptr || !appJob->EndPage())
        return false;
    if (!IsStreamedRaster(job))
        TakeBackPapplCount(job);  // PAPPL adds the page when this returns true
    return true;
}

// Why PAPPL stopped a streamed raster job before the driver saw a page of it.
void ExplainPapplRefusal(pappl_job_t *job, AppJob *appJob) {
    if (appJob->PageStarted() || papplJobGetState(job) != IPP_JSTATE_ABORTED)
        return;
    const pappl_jreason_t reasons = papplJobGetReasons(job);
    if (reasons & PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR) {
        appJob->Fail(PAPPL_JREASON_NONE,
                     "The document's raster is in colour: the printer takes 8-bit grey raster "
                     "(sgray_8 or black_8)");
    } else if (reasons & PAPPL_JREASON_DOCUMENT_FORMAT_ERROR) {
        appJob->Fail(PAPPL_JREASON_NONE,
                     "The document's raster data is damaged or laid out in a way the printer "
                     "does not take");
    }
}

bool EndJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    (void)options;
    (void)device;
    std::unique_ptr<AppJob> appJob(JobOf(job));
    papplJobSetData(job, nullptr);
    if (IsStreamedRaster(job))
        SetStreamedJob(nullptr);
    if (appJob == nullptr)
        return false;
    if (IsStreamedRaster(job)) {
        ExplainPapplRefusal(job, appJob.get());
        if (appJob->PageStarted())
            ExplainMissingPages(job, appJob.get());
    }
    return appJob->Finish();
}

bool CopyStream(pappl_job_t *job, pappl_device_t *device);

// A printer stream printed as it is (made by the CUPS filter, say).
bool PrintStream(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    (void)options;
    // Checked in the job's run: a job canceled before its run began has no file any more.
    return PrintOnce(job, device, [job](pappl_device_t *output) {
        return IsWholeValidStream(job) && CopyStream(job, output);
    });
}

bool CopyStream(pappl_job_t *job, pappl_device_t *device) {
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplJobSetMessage(job, "The job's file cannot be read");
        return false;
    }
    // Through the job's device sink, whose flush tells whether the device took every
    // byte; a read error ends the job as one the file could not be read for.
    DeviceSink sink(device, job);
    unsigned char buffer[65536];
    bool written = true;
    ssize_t got;
    while (true) {
        got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (sink.Write(buffer, (size_t)got).status != ByteSink::Status::kWritten) {
            written = false;
            break;
        }
    }
    const bool readWhole = !written || got == 0;
    close(fd);
    written = sink.Flush() && written;
    sink.EndJob();
    if (!written)
        papplJobSetMessage(job, "The printer stream could not be written to the printer");
    else if (!readWhole)
        papplJobSetMessage(job, "The job's file cannot be read");
    return written && readWhole;
}

// The printer has no light, display or sound of its own: identifying it shows in the
// application's log.
void Identify(pappl_printer_t *printer, pappl_identify_actions_t actions, const char *message) {
    (void)actions;
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s",
                    message != nullptr ? message : "this printer");
}

void FillMedia(pappl_pr_driver_data_t *data) {
    data->num_media = 0;
    for (size_t i = 0; i < kPaperCount; ++i)
        data->media[data->num_media++] = kPapers[i].pwgName;
    data->media[data->num_media++] = "custom_min_3x5in";
    data->media[data->num_media++] = "custom_max_12x18in";
    data->left_right = kMarginHundredthsMm;
    data->bottom_top = kMarginHundredthsMm;

    // PAPPL 1.3 adds "auto" to media-source-supported itself: the driver names the others.
    data->num_source = 0;
    for (size_t i = 0; i < kSourceCount; ++i) {
        if (strcmp(kSources[i].ipp, "auto") != 0)
            data->source[data->num_source++] = kSources[i].ipp;
    }
    data->num_type = (int)kMediaTypeCount;
    for (size_t i = 0; i < kMediaTypeCount; ++i)
        data->type[i] = kMediaTypes[i].ipp;

    pwg_media_t *a4 = pwgMediaForPWG(kPapers[0].pwgName);
    for (int i = 0; i < data->num_source; ++i) {
        pappl_media_col_t &ready = data->media_ready[i];
        memset(&ready, 0, sizeof(ready));
        snprintf(ready.size_name, sizeof(ready.size_name), "%s", kPapers[0].pwgName);
        ready.size_width = a4 != nullptr ? a4->width : 21000;
        ready.size_length = a4 != nullptr ? a4->length : 29700;
        ready.bottom_margin = ready.top_margin = kMarginHundredthsMm;
        ready.left_margin = ready.right_margin = kMarginHundredthsMm;
        snprintf(ready.source, sizeof(ready.source), "%s", data->source[i]);
        snprintf(ready.type, sizeof(ready.type), "%s", data->type[0]);
    }
    data->media_default = data->media_ready[0];
    snprintf(data->media_default.source, sizeof(data->media_default.source), "auto");
}

void FillVendorAttributes(pappl_pr_driver_data_t *data, ipp_t *attrs) {
    static const char *const kVendor[] = {kBrightnessAttr, kContrastAttr, kTonerSaveAttr,
                                          kEdgeSmoothingAttr, kLongEdgeFeedAttr};
    data->num_vendor = 0;
    for (const char *name : kVendor)
        data->vendor[data->num_vendor++] = name;

    int levels[2 * kLevelRange + 1];
    for (int i = 0; i <= 2 * kLevelRange; ++i)
        levels[i] = i - kLevelRange;
    for (const char *name : {kBrightnessAttr, kContrastAttr}) {
        char attr[128];
        snprintf(attr, sizeof(attr), "%s-supported", name);
        ippAddIntegers(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, attr, 2 * kLevelRange + 1, levels);
        snprintf(attr, sizeof(attr), "%s-default", name);
        ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, attr, 0);
    }
    for (const char *name : {kTonerSaveAttr, kEdgeSmoothingAttr, kLongEdgeFeedAttr}) {
        char attr[128];
        snprintf(attr, sizeof(attr), "%s-supported", name);
        ippAddBoolean(attrs, IPP_TAG_PRINTER, attr, 1);
        snprintf(attr, sizeof(attr), "%s-default", name);
        ippAddBoolean(attrs, IPP_TAG_PRINTER, attr, 0);
    }
}

// Attributes IPP Everywhere asks of every printer that PAPPL does not give itself. The
// rendering intent is the renderer's own choice; PAPPL takes no overrides, so a job
// that gives them prints every page with the job's own settings.
void FillConformanceAttributes(ipp_t *attrs) {
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    static const char *const kOverrides[] = {"document-number", "pages"};
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "overrides-supported", 2,
                  nullptr, kOverrides);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
                 "print-rendering-intent-default", nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
                 "print-rendering-intent-supported", nullptr, "auto");
}

}  // namespace

void PrinterCreated(pappl_printer_t *printer, void *context) {
    (void)context;
    // The printer tells the application nothing of its toner: the supply is listed with
    // its level unknown, set once when the printer is made (or loaded), as it never
    // changes.
    pappl_supply_t toner;
    memset(&toner, 0, sizeof(toner));
    toner.color = PAPPL_SUPPLY_COLOR_BLACK;
    snprintf(toner.description, sizeof(toner.description), "Black Toner");
    toner.is_consumed = true;
    toner.level = -1;
    toner.type = PAPPL_SUPPLY_TYPE_TONER;
    papplPrinterSetSupplies(printer, 1, &toner);
    AddJobMessagesPage(printer);
}

bool DriverCallback(pappl_system_t *system, const char *driverName, const char *deviceUri,
                    const char *deviceId, pappl_pr_driver_data_t *data, ipp_t **attrs,
                    void *context) {
    (void)deviceUri;
    (void)deviceId;
    (void)context;
    const Model *model = ModelForDriver(driverName);
    if (model == nullptr)
        return false;

    data->rstartjob_cb = StartJob;
    data->rstartpage_cb = StartPage;
    data->rwriteline_cb = WriteLine;
    data->rendpage_cb = EndPage;
    data->rendjob_cb = EndJob;
    data->printfile_cb = PrintStream;
    data->identify_cb = Identify;
    data->format = kStreamFormat;
    snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model->makeAndModel);
    data->ppm = 20;
    data->kind = PAPPL_KIND_DOCUMENT | PAPPL_KIND_ENVELOPE | PAPPL_KIND_POSTCARD;
    // IPP asks for a default orientation; portrait is the paper's own.
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->scaling_default = PAPPL_SCALING_AUTO;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;

    // The core takes 8-bit grey only; colour documents are printed in grey.
    data->color_supported = PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_AUTO_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8 | PAPPL_PWG_RASTER_TYPE_BLACK_8;
    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = kResolution;
    data->x_default = data->y_default = kResolution;

    // Back sides arrive as the front sides do; the core turns them for the printer.
    data->duplex = PAPPL_DUPLEX_NORMAL;
    data->sides_supported =
        PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    FillMedia(data);

    data->has_supplies = true;
    if (*attrs == nullptr)
        *attrs = ippNew();
    FillVendorAttributes(data, *attrs);
    FillConformanceAttributes(*attrs);
    FillStringsAttributes(system, *attrs);
    return true;
}

}  // namespace printerapp
