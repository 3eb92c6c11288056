// A printer application job on the driver core.
#include "printerapp/AppJob.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "printerapp/RevisionNotes.h"

namespace printerapp {

// The version-1 header is the start of the version-2 one, field for field.
static_assert(offsetof(cups_page_header2_t, cupsWidth) == offsetof(cups_page_header_t, cupsWidth),
              "page header layouts");
static_assert(offsetof(cups_page_header2_t, cupsRowStep) ==
                  offsetof(cups_page_header_t, cupsRowStep),
              "page header layouts");
static_assert(sizeof(cups_page_header2_t) > sizeof(cups_page_header_t), "page header layouts");

namespace {

Sides SidesOf(pappl_sides_t sides) {
    switch (sides) {
        case PAPPL_SIDES_TWO_SIDED_LONG_EDGE:
            return Sides::kTwoSidedLongEdge;
        case PAPPL_SIDES_TWO_SIDED_SHORT_EDGE:
            return Sides::kTwoSidedShortEdge;
        default:
            return Sides::kOneSided;
    }
}

// A vendor setting: the job's value, else the printer's default, as text.
std::string VendorValue(const pappl_pr_options_t *options, ipp_t *driverAttrs, const char *name) {
    const char *value = cupsGetOption(name, options->num_vendor, options->vendor);
    if (value != nullptr)
        return value;
    char defaultName[128];
    snprintf(defaultName, sizeof(defaultName), "%s-default", name);
    ipp_attribute_t *attr = ippFindAttribute(driverAttrs, defaultName, IPP_TAG_ZERO);
    if (attr == nullptr)
        return "";
    char text[256];
    ippAttributeString(attr, text, sizeof(text));
    return text;
}

bool IsTrue(const std::string &value) {
    return value == "true" || value == "on" || value == "yes";
}

int Level(const std::string &value) {
    const long level = strtol(value.c_str(), nullptr, 10);
    return level < -kLevelRange ? -kLevelRange : level > kLevelRange ? kLevelRange : (int)level;
}

// The printer takes paper up to the PPDs' MaxSize; a point more is rounding.
bool IsBeyondThePrinter(const cups_page_header2_t &header, double *widthPoints,
                        double *heightPoints) {
    const double x = header.HWResolution[0] != 0 ? 72.0 / header.HWResolution[0] : 0;
    const double y = header.HWResolution[1] != 0 ? 72.0 / header.HWResolution[1] : 0;
    *widthPoints =
        std::max<double>(header.PageSize[0], header.cupsWidth * x + 2.0 * header.Margins[0]);
    *heightPoints =
        std::max<double>(header.PageSize[1], header.cupsHeight * y + 2.0 * header.Margins[1]);
    return *widthPoints > kMaxCustomWidthPoints + 1 || *heightPoints > kMaxCustomHeightPoints + 1;
}

// "Printed 1 page", "Cancelled after 3 pages".
std::string PagesMessage(const char *what, unsigned pages) {
    char message[96];
    snprintf(message, sizeof(message), "%s%s %u page%s", what,
             strcmp(what, "Cancelled") == 0 ? " after" : "", pages, pages == 1 ? "" : "s");
    return message;
}

}  // namespace

JobRequest RequestOf(pappl_job_t *job, const pappl_pr_options_t *options) {
    JobRequest request;
    request.mediaName = options->media.size_name;
    request.widthHmm = options->media.size_width;
    request.lengthHmm = options->media.size_length;
    request.source = options->media.source;
    request.mediaType = options->media.type;
    request.sides = SidesOf(options->sides);
    ipp_t *driverAttrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
    request.brightness = Level(VendorValue(options, driverAttrs, kBrightnessAttr));
    request.contrast = Level(VendorValue(options, driverAttrs, kContrastAttr));
    request.tonerSave = IsTrue(VendorValue(options, driverAttrs, kTonerSaveAttr));
    request.edgeSmoothing = IsTrue(VendorValue(options, driverAttrs, kEdgeSmoothingAttr));
    request.longEdgeFeed = IsTrue(VendorValue(options, driverAttrs, kLongEdgeFeedAttr));
    ippDelete(driverAttrs);
    return request;
}

JobCopies CopiesOf(pappl_job_t *job, const pappl_pr_options_t *options) {
    JobCopies copies;
    // The job header carries the count in 16 bits; IPP allows no more than PAPPL's
    // copies-supported upper bound, far below it.
    copies.count = options->copies > 1 ? (unsigned)std::min(options->copies, 0xFFFF) : 1;
    ipp_attribute_t *handling = papplJobGetAttribute(job, "multiple-document-handling");
    const char *keyword = handling != nullptr ? ippGetString(handling, 0, nullptr) : nullptr;
    const bool uncollated =
        keyword != nullptr && strcmp(keyword, "separate-documents-uncollated-copies") == 0;
    copies.collate = copies.count > 1 && !uncollated;
    return copies;
}

cups_page_header_s VersionOneHeader(const cups_page_header2_t &header) {
    cups_page_header_s v1;
    memcpy(&v1, &header, sizeof(v1));
    return v1;
}

std::unique_ptr<AppJob> AppJob::Begin(pappl_job_t *job, const pappl_pr_options_t *options,
                                      pappl_device_t *device) {
    const Model *model = ModelForDriver(papplPrinterGetDriverName(papplJobGetPrinter(job)));
    if (model == nullptr) {
        papplJobSetMessage(job, "The printer's driver is not one of this application's");
        return nullptr;
    }
    const JobRequest request = RequestOf(job, options);
    const std::string jobOptions = JobOptionString(request);
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Driver options: %s", jobOptions.c_str());
    const QNVCUPSFilter revised = QNVCUPSFilter::ForModel(model->modelNumber, ModelDefaultOptions(),
                                                          jobOptions.c_str(), papplJobGetName(job));
    std::unique_ptr<AppJob> appJob(new (std::nothrow) AppJob(
        job, device, revised, RevisionNotes(revised), CopiesOf(job, options)));
    if (appJob == nullptr || appJob->core == nullptr) {
        papplJobSetMessage(job, "No memory to begin the job");
        return nullptr;
    }
    appJob->fitToPaper(options);
    return appJob;
}

// PWG and Apple raster are the client's rendering: printed as they come, as the filter
// prints the same raster. The rest is rendered here, on the job's paper.
void AppJob::fitToPaper(const pappl_pr_options_t *options) {
    const char *format = papplJobGetFormat(job);
    if (format == nullptr || strcmp(format, "image/pwg-raster") == 0 ||
        strcmp(format, "image/urf") == 0)
        return;
    const int width = options->media.size_width, length = options->media.size_length;
    const Paper *paper = PaperForSize(width, length);
    unsigned w = paper != nullptr ? paper->widthPoints : (unsigned)((width * 72L + 1270) / 2540);
    unsigned h = paper != nullptr ? paper->heightPoints : (unsigned)((length * 72L + 1270) / 2540);
    if ((width > length) != (w > h))
        std::swap(w, h);
    paperWidthPoints = w;
    paperHeightPoints = h;
}

AppJob::AppJob(pappl_job_t *job, pappl_device_t *device, const QNVCUPSFilter &options,
               std::string notes, JobCopies copies)
    : job(job),
      device(device),
      sink(device, job),
      control(job),
      status(job, std::move(notes)),
      copies(copies) {
    const JobPorts ports = {&sink, &control, &status};
    core.reset(new (std::nothrow) GdiJob(options, ports));
}

bool AppJob::StartPage(const cups_page_header2_t &header) {
    if (failed)
        return false;
    if (pageOpen)
        EndPage();
    rowsPut = 0;
    coreRows = 0;
    sourceRows = header.cupsHeight;
    double width, height;
    if (IsBeyondThePrinter(header, &width, &height)) {
        Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
             "Page %u is larger than the printer can take: %.0f x %.0f points, the printer takes "
             "up to %u x %u",
             core->PagesSent() + 1, width, height, kMaxCustomWidthPoints, kMaxCustomHeightPoints);
        pageRefused = true;
        return false;
    }
    fit.reset();
    if (paperWidthPoints != 0)
        fit.reset(new (std::nothrow)
                      PageFit(VersionOneHeader(header), paperWidthPoints, paperHeightPoints));
    // The job's copies go into the job header, made from the first page's header.
    cups_page_header_s page = fit != nullptr ? fit->Header() : VersionOneHeader(header);
    page.NumCopies = copies.count;
    page.Collate = copies.collate ? CUPS_TRUE : CUPS_FALSE;
    switch (core->StartPage(page)) {
        case GdiJob::PageStart::kStarted:
            pageOpen = true;
            ++pagesStarted;
            return true;
        case GdiJob::PageStart::kRefused:
            pageRefused = true;
            failed = true;
            return false;
        case GdiJob::PageStart::kFailed:
            failed = true;
            return false;
        case GdiJob::PageStart::kCancelled:
            break;
    }
    return false;
}

bool AppJob::PutRow(const unsigned char *row) {
    if (!pageOpen)
        return false;
    if (fit == nullptr) {
        if (!core->PutRow(row))
            return false;
        ++rowsPut;
        return true;
    }
    const long target = fit->TargetRow(rowsPut++);
    if (target < 0)
        return true;  // in the margins
    while ((long)coreRows < target) {
        if (!core->PutRow(fit->White()))
            return false;
        ++coreRows;
    }
    ++coreRows;
    return core->PutRow(fit->Fit(row));
}

bool AppJob::EndPage() {
    if (!pageOpen)
        return false;
    pageOpen = false;
    const bool sent = core->EndPage();
    if (!sent) {
        failed = true;
        return false;
    }
    if (rowsPut < sourceRows && !papplJobIsCanceled(job)) {
        Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document's raster data ended within page %u",
             core->PagesSent());
        return false;
    }
    return true;
}

void AppJob::Fail(pappl_jreason_t reason, const char *format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    ReportJobError(status, "%s", message);
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    core->Fail();
    failed = true;
}

bool AppJob::Finish() {
    const bool printed = finishJob();
    if (run != nullptr)
        run->Finish(printed);
    return printed;
}

bool AppJob::finishJob() {
    if (pageOpen)
        EndPage();
    bool done = core->Finish();
    if (!sink.Flush() && !core->IsCancelled() && !papplJobIsCanceled(job)) {
        ReportJobError(status, "The printer stream could not be written to the end");
        done = false;
    }
    sink.EndJob();
    // Every page has been reported now: the job's count is the pages that went out,
    // whatever PAPPL counted on its way.
    papplJobSetImpressionsCompleted(
        job, (int)status.Impressions() - papplJobGetImpressionsCompleted(job));
    if (core->IsCancelled() || papplJobIsCanceled(job)) {
        status.FinalMessage(PagesMessage("Cancelled", status.Impressions()).c_str());
        return true;
    }
    if (!done || failed) {
        papplJobSetReasons(job,
                           pageRefused ? PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR
                                       : PAPPL_JREASON_ABORTED_BY_SYSTEM,
                           PAPPL_JREASON_NONE);
        return false;
    }
    status.FinalMessage(PagesMessage("Printed", status.Impressions()).c_str());
    return true;
}

}  // namespace printerapp
