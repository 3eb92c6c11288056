// PDF through Ghostscript, JPEG and PNG through our own readers, and the formats a job may have.
#include "printerapp/DocumentFilters.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "printerapp/AppJob.h"
#include "printerapp/FormatCheck.h"
#include "printerapp/GdiDriver.h"
#include "printerapp/ImageDocuments.h"
#include "printerapp/JobRuns.h"
#include "printerapp/RenderProcess.h"

namespace printerapp {

namespace {

constexpr int kResolution = 600;
// The widest and highest page the core can describe (its 16-bit fields).
constexpr unsigned kMaxPageDots = 0xFFFF;
// Bytes of a PGM header at most, its comment lines included.
constexpr size_t kMaxPgmHeader = 1024;

// Bytes at the start of a PDF file within which its "%PDF-" header must stand.
constexpr size_t kPdfHeaderWithin = 1024;

// A file in the spool folder for Ghostscript's messages, removed with the job.
class ErrorLog {
public:
    explicit ErrorLog(pappl_job_t *job) {
        fd = papplJobOpenFile(job, path, sizeof(path), nullptr, "log", "w");
    }
    ~ErrorLog() {
        if (fd >= 0) {
            close(fd);
            unlink(path);
        }
    }
    int Fd() const { return fd; }
    // The log's last line, for the job's message: read from the log's end.
    std::string LastLine() const {
        char text[4096];
        const int in = open(path, O_RDONLY | O_CLOEXEC);
        if (in < 0)
            return "";
        struct stat st;
        const off_t size = fstat(in, &st) == 0 ? st.st_size : 0;
        const off_t from = size > (off_t)sizeof(text) - 1 ? size - (off_t)(sizeof(text) - 1) : 0;
        const ssize_t got = pread(in, text, sizeof(text) - 1, from);
        close(in);
        if (got <= 0)
            return "";
        text[got] = '\0';
        char *end = text + got;
        while (end > text && isspace((unsigned char)end[-1]))
            *--end = '\0';
        char *start = strrchr(text, '\n');
        return start != nullptr ? start + 1 : text;
    }

private:
    char path[1024] = "";
    int fd = -1;
};

// Reads the PGM pages Ghostscript writes and prints each through the job.
class PgmPages {
public:
    PgmPages(pappl_job_t *job, RenderProcess &render, AppJob &appJob,
             const cups_page_header2_t &base)
        : job(job), render(render), appJob(appJob), base(base) {}
    // False when a page could not be printed; `*pages` counts those that were.
    bool PrintAll(unsigned *pages);
    // Fails the job for the reason the renderer was stopped, if it was.
    void ExplainStop();

private:
    int readHeader(unsigned *width, unsigned *height);
    bool printPage(unsigned width, unsigned height);
    size_t read(unsigned char *to, size_t size) {
        return render.Read(to, size, [this] { return papplJobIsCanceled(job) || ShuttingDown(); });
    }
    bool ShuttingDown() const {
        return ShutdownAsked() ||
               papplSystemIsShutdown(papplPrinterGetSystem(papplJobGetPrinter(job)));
    }

    pappl_job_t *job;
    RenderProcess &render;
    AppJob &appJob;
    const cups_page_header2_t base;
};

// 1 with the page's size read, 0 at the end of the output, -1 for bytes that are no page.
int PgmPages::readHeader(unsigned *width, unsigned *height) {
    unsigned char header[kMaxPgmHeader];
    size_t have = 0;
    for (;;) {
        if (have == sizeof(header))
            return -1;
        if (read(header + have, 1) != 1)
            return have == 0 ? 0 : -1;
        ++have;
        const long size = ParsePgmHeader(header, have, kMaxPageDots, width, height);
        if (size < 0)
            return -1;
        if (size > 0)
            return 1;
    }
}

bool PgmPages::printPage(unsigned width, unsigned height) {
    cups_page_header2_t header = base;
    header.cupsWidth = width;
    header.cupsHeight = height;
    header.cupsBytesPerLine = width;
    header.cupsBitsPerColor = 8;
    header.cupsBitsPerPixel = 8;
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsColorSpace = CUPS_CSPACE_SW;  // PGM: 0 is black, 255 white
    header.cupsNumColors = 1;
    header.HWResolution[0] = header.HWResolution[1] = kResolution;
    if (!appJob.StartPage(header))
        return false;
    std::vector<unsigned char> row(width);
    unsigned y = 0;
    for (; y < height; ++y) {
        if (read(row.data(), width) != width)
            break;
        appJob.PutRow(row.data());
    }
    if (y < height)
        ExplainStop();  // before the page's end reports it cut short
    return appJob.EndPage() && y == height;
}

void PgmPages::ExplainStop() {
    switch (render.Stopped()) {
        case RenderProcess::Stop::kTimedOut:
            appJob.Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                        "The PDF renderer took more than %d seconds for a page",
                        render.Limits().pageSeconds);
            break;
        case RenderProcess::Stop::kAsked:
            if (!papplJobIsCanceled(job) && ShuttingDown())
                appJob.Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM,
                            "The printer application is shutting down");
            break;
        case RenderProcess::Stop::kNone:
            break;
    }
}

bool PgmPages::PrintAll(unsigned *pages) {
    *pages = 0;
    for (;;) {
        if (papplJobIsCanceled(job))
            return true;
        unsigned width = 0, height = 0;
        const int got = readHeader(&width, &height);
        if (render.Stopped() != RenderProcess::Stop::kNone) {
            ExplainStop();
            return papplJobIsCanceled(job);
        }
        if (got == 0)
            return true;
        if (got < 0) {
            appJob.Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                        "The PDF renderer gave no page after page %u", *pages);
            return false;
        }
        if (!printPage(width, height))
            return false;
        ++*pages;
        render.PageDone();
    }
}

// Whether the file has the header every PDF file starts with, near its start. Anything
// else would be run by Ghostscript as a PostScript program.
bool LooksLikePdf(const char *path) {
    char start[kPdfHeaderWithin + 1];
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t got = read(fd, start, kPdfHeaderWithin);
    close(fd);
    if (got < 5)
        return false;
    start[got] = '\0';
    return memmem(start, (size_t)got, "%PDF-", 5) != nullptr;
}

bool RenderPdf(pappl_job_t *job, pappl_device_t *device, const std::string *ghostscript);

bool FilterPdf(pappl_job_t *job, pappl_device_t *device, void *data) {
    const auto *ghostscript = static_cast<const std::string *>(data);
    return PrintOnce(job, device,
                     [&](pappl_device_t *output) { return RenderPdf(job, output, ghostscript); });
}

bool RenderPdf(pappl_job_t *job, pappl_device_t *device, const std::string *ghostscript) {
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
    if (options == nullptr)
        return false;
    std::unique_ptr<AppJob> appJob = AppJob::Begin(job, options, device);
    if (appJob == nullptr) {
        papplJobDeletePrintOptions(options);
        return false;
    }
    cups_page_header2_t base = options->header;
    base.NumCopies = options->copies > 1 ? (unsigned)options->copies : 1;
    base.Collate = base.NumCopies > 1 ? CUPS_TRUE : CUPS_FALSE;
    const unsigned last = options->last_page >= (unsigned)INT32_MAX ? 0 : options->last_page;
    const std::vector<std::string> command = GhostscriptCommand(
        *ghostscript, papplJobGetFilename(job), options->media.size_width * 72.0 / 2540.0,
        options->media.size_length * 72.0 / 2540.0, options->first_page, last);
    papplJobDeletePrintOptions(options);

    if (!LooksLikePdf(papplJobGetFilename(job))) {
        appJob->Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document is not a PDF file");
        appJob->Finish();
        return false;
    }
    WatchForShutdown();
    ErrorLog log(job);
    RenderProcess render(RenderLimitsFromEnvironment());
    if (!render.Start(command, log.Fd())) {
        appJob->Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "The PDF renderer (%s) could not be started",
                     ghostscript->c_str());
        appJob->Finish();
        return false;
    }
    unsigned pages = 0;
    PgmPages output(job, render, *appJob, base);
    const bool printed = output.PrintAll(&pages);
    const int exitStatus = render.Wait(!printed || papplJobIsCanceled(job));
    if (printed && !papplJobIsCanceled(job)) {
        output.ExplainStop();  // a renderer that would not end after its last page
        if (render.TermSignal() == SIGXFSZ) {
            appJob->Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                         "The PDF renderer wrote more than %lld bytes of messages",
                         render.Limits().logBytes);
        } else if (exitStatus != 0 || pages == 0) {
            const std::string reason = log.LastLine();
            appJob->Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                         "The PDF document could not be read%s%s", reason.empty() ? "" : ": ",
                         reason.c_str());
        }
    }
    return appJob->Finish() && printed;
}

// Streamed raster never comes through a filter: only a second run of such a job does.
bool SecondRunOfStreamedRaster(pappl_job_t *job, pappl_device_t *device, void *data) {
    (void)device;
    (void)data;
    return AwaitStreamedRun(job);
}

}  // namespace

namespace {

// Skips white space and comments ("# ..." to the end of the line) from `at`; false
// when the data end within them.
bool SkipSpace(const unsigned char *data, size_t size, size_t *at) {
    while (*at < size) {
        if (data[*at] == '#') {
            while (*at < size && data[*at] != '\n')
                ++*at;
            if (*at == size)
                return false;
        } else if (!isspace(data[*at])) {
            return true;
        }
        ++*at;
    }
    return false;
}

}  // namespace

long ParsePgmHeader(const unsigned char *data, size_t size, unsigned maxDots, unsigned *width,
                    unsigned *height) {
    if (size >= 1 && data[0] != 'P')
        return -1;
    if (size >= 2 && data[1] != '5')
        return -1;
    unsigned long values[3] = {0, 0, 0};
    size_t at = 2;
    for (unsigned long &value : values) {
        if (at < size && !isspace(data[at]) && data[at] != '#')
            return -1;
        if (!SkipSpace(data, size, &at))
            return 0;
        const size_t digits = at;
        while (at < size && isdigit(data[at])) {
            value = value * 10 + (unsigned long)(data[at] - '0');
            if (value > 0xFFFFFFFFul)
                return -1;
            ++at;
        }
        if (at == size)
            return 0;
        if (at == digits)
            return -1;
    }
    // One white space character ends the header; the pixels follow it.
    if (!isspace(data[at]))
        return -1;
    if (values[2] != 255 || values[0] == 0 || values[1] == 0 || values[0] > maxDots ||
        values[1] > maxDots)
        return -1;
    *width = (unsigned)values[0];
    *height = (unsigned)values[1];
    return (long)at + 1;
}

std::vector<std::string> GhostscriptCommand(const std::string &ghostscript, const char *pdf,
                                            double widthPoints, double heightPoints, unsigned first,
                                            unsigned last) {
    char width[64], height[64], resolution[32];
    snprintf(width, sizeof(width), "-dDEVICEWIDTHPOINTS=%.2f", widthPoints);
    snprintf(height, sizeof(height), "-dDEVICEHEIGHTPOINTS=%.2f", heightPoints);
    snprintf(resolution, sizeof(resolution), "-r%d", kResolution);
    std::vector<std::string> command = {
        ghostscript, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
        // in memory, not in temporary files beside its log
        "-sBandListStorage=memory", "-sstdout=%stderr", "-sDEVICE=pgmraw", resolution, width,
        height, "-dFIXEDMEDIA", "-dPDFFitPage"};
    if (first > 1)
        command.push_back("-dFirstPage=" + std::to_string(first));
    if (last > 0)
        command.push_back("-dLastPage=" + std::to_string(last));
    command.push_back("-sOutputFile=-");
    command.push_back("-f");
    command.push_back(pdf != nullptr ? pdf : "");
    return command;
}

std::string FindGhostscript() {
    const char *configured = getenv("GDI_GHOSTSCRIPT");
    if (configured != nullptr)
        return configured;
    const char *path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = folders.find(':', start);
        const std::string folder =
            folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string candidate = (folder.empty() ? "." : folder) + "/gs";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return "";
}

namespace {

// The format of a document sent as "application/octet-stream" that PAPPL does not know
// by its first bytes: a printer stream starts with its job header.
const char *StreamByItsStart(const unsigned char *header, size_t size, void *data) {
    (void)data;
    return size >= 4 && memcmp(header, "GDIJ", 4) == 0 ? kStreamFormat : nullptr;
}

}  // namespace

void AddDocumentFilters(pappl_system_t *system, const std::string &ghostscript) {
    papplSystemSetMIMECallback(system, StreamByItsStart, nullptr);
    papplSystemAddMIMEFilter(system, "image/pwg-raster", kStreamFormat, SecondRunOfStreamedRaster,
                             nullptr);
    papplSystemAddMIMEFilter(system, "image/urf", kStreamFormat, SecondRunOfStreamedRaster,
                             nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", kStreamFormat, FilterJpeg, nullptr);
    papplSystemAddMIMEFilter(system, "image/png", kStreamFormat, FilterPng, nullptr);
    std::vector<std::string> formats = {"image/pwg-raster", "image/urf", kStreamFormat,
                                        "image/jpeg", "image/png"};
    if (ghostscript.empty() || access(ghostscript.c_str(), X_OK) != 0) {
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Ghostscript was not found%s%s: PDF is not printed",
                 ghostscript.empty() ? "" : " at ", ghostscript.c_str());
        SetPrintableFormats(formats);
        return;
    }
    static std::string program;
    program = ghostscript;
    papplSystemAddMIMEFilter(system, "application/pdf", kStreamFormat, FilterPdf, &program);
    formats.push_back("application/pdf");
    SetPrintableFormats(formats);
}

}  // namespace printerapp
