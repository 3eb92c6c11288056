// PDF through Ghostscript, and PAPPL's image readers with a reason when they fail.
#include "printerapp/DocumentFilters.h"

#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "printerapp/AppJob.h"
#include "printerapp/GdiDriver.h"
#include "printerapp/JobRuns.h"

extern char **environ;

namespace printerapp {

namespace {

constexpr int kResolution = 600;
// The widest and highest page the core can describe (its 16-bit fields).
constexpr unsigned kMaxPageDots = 0xFFFF;
// Bytes of a PGM header at most, its comment lines included.
constexpr size_t kMaxPgmHeader = 1024;

// Reads up to `size` bytes, fewer only at the end of the input or on an error.
size_t ReadFully(int fd, unsigned char *to, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, to + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += (size_t)got;
    }
    return done;
}

// Ghostscript as a child process whose standard output is read by the job.
class RenderProcess {
public:
    ~RenderProcess() { Stop(); }
    bool Start(const std::vector<std::string> &command, int errorFd) {
        int pipes[2];
        if (pipe2(pipes, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipes[1], 1);
        if (errorFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
        std::vector<char *> argv;
        for (const std::string &word : command)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipes[1]);
        if (spawned != 0) {
            close(pipes[0]);
            pid = -1;
            return false;
        }
        output = pipes[0];
        return true;
    }
    int Output() const { return output; }
    // Ends the process (stopping it first when `kill`); its exit status, -1 when it did
    // not exit normally.
    int Wait(bool kill) {
        if (output >= 0) {
            close(output);
            output = -1;
        }
        if (pid < 0)
            return -1;
        if (kill)
            ::kill(pid, SIGTERM);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Stop() {
        if (pid >= 0)
            (void)Wait(true);
    }

private:
    pid_t pid = -1;
    int output = -1;
};

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
    PgmPages(int fd, AppJob &appJob, const cups_page_header2_t &base)
        : fd(fd), appJob(appJob), base(base) {}
    // False when a page could not be printed; `*pages` counts those that were.
    bool PrintAll(pappl_job_t *job, unsigned *pages);

private:
    int readHeader(unsigned *width, unsigned *height);
    bool printPage(unsigned width, unsigned height);

    int fd;
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
        if (ReadFully(fd, header + have, 1) != 1)
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
        if (ReadFully(fd, row.data(), width) != width)
            break;
        appJob.PutRow(row.data());
    }
    return appJob.EndPage() && y == height;
}

bool PgmPages::PrintAll(pappl_job_t *job, unsigned *pages) {
    *pages = 0;
    for (;;) {
        if (papplJobIsCanceled(job))
            return true;
        unsigned width = 0, height = 0;
        const int got = readHeader(&width, &height);
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
    }
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

    ErrorLog log(job);
    RenderProcess render;
    if (!render.Start(command, log.Fd())) {
        appJob->Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "The PDF renderer (%s) could not be started",
                     ghostscript->c_str());
        appJob->Finish();
        return false;
    }
    unsigned pages = 0;
    const bool printed = PgmPages(render.Output(), *appJob, base).PrintAll(job, &pages);
    const int exitStatus = render.Wait(!printed || papplJobIsCanceled(job));
    if (printed && !papplJobIsCanceled(job) && (exitStatus != 0 || pages == 0)) {
        const std::string reason = log.LastLine();
        appJob->Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PDF document could not be read%s%s",
                     reason.empty() ? "" : ": ", reason.c_str());
    }
    return appJob->Finish() && printed;
}

// PAPPL's own reader of a format, called by a filter that explains its failures.
struct ImageReader {
    pappl_mime_filter_cb_t read;
    const char *what;
};

bool ReadImage(pappl_job_t *job, pappl_device_t *device, const ImageReader *reader);

bool FilterImage(pappl_job_t *job, pappl_device_t *device, void *data) {
    const auto *reader = static_cast<const ImageReader *>(data);
    return PrintOnce(job, device,
                     [&](pappl_device_t *output) { return ReadImage(job, output, reader); });
}

bool ReadImage(pappl_job_t *job, pappl_device_t *device, const ImageReader *reader) {
    if (reader->read(job, device, nullptr))
        return true;
    const char *message = papplJobGetMessage(job);
    if (message != nullptr && message[0] != '\0')
        return false;  // the job began, and its message says how it ended
    const pappl_jreason_t reasons = papplJobGetReasons(job);
    if (reasons & PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR) {
        papplJobSetMessage(job, "The %s image is too large to print", reader->what);
    } else {
        papplJobSetMessage(job, "The document could not be read as a %s image", reader->what);
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    }
    return false;
}

// Streamed raster never comes through a filter: only a second run of such a job does.
bool SecondRunOfStreamedRaster(pappl_job_t *job, pappl_device_t *device, void *data) {
    (void)device;
    (void)data;
    return AwaitStreamedRun(job);
}

void AddImageFilter(pappl_system_t *system, const char *format, const char *symbol,
                    ImageReader *reader) {
    // PAPPL's readers are not part of its documented interface; where a PAPPL does not
    // have them, its own filters print the images, without the explanation.
    void *read = dlsym(RTLD_DEFAULT, symbol);
    if (read == nullptr)
        return;
    reader->read = reinterpret_cast<pappl_mime_filter_cb_t>(read);
    papplSystemAddMIMEFilter(system, format, kStreamFormat, FilterImage, reader);
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
    std::vector<std::string> command = {ghostscript,
                                        "-q",
                                        "-dSAFER",
                                        "-dBATCH",
                                        "-dNOPAUSE",
                                        "-dNOINTERPOLATE",
                                        "-sstdout=%stderr",
                                        "-sDEVICE=pgmraw",
                                        resolution,
                                        width,
                                        height,
                                        "-dFIXEDMEDIA",
                                        "-dPDFFitPage"};
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

void AddDocumentFilters(pappl_system_t *system, const std::string &ghostscript) {
    static ImageReader jpeg = {nullptr, "JPEG"};
    static ImageReader png = {nullptr, "PNG"};
    papplSystemAddMIMEFilter(system, "image/pwg-raster", kStreamFormat, SecondRunOfStreamedRaster,
                             nullptr);
    papplSystemAddMIMEFilter(system, "image/urf", kStreamFormat, SecondRunOfStreamedRaster,
                             nullptr);
    AddImageFilter(system, "image/jpeg", "_papplJobFilterJPEG", &jpeg);
    AddImageFilter(system, "image/png", "_papplJobFilterPNG", &png);
    if (ghostscript.empty()) {
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Ghostscript was not found: PDF is not printed");
        return;
    }
    static std::string program;
    program = ghostscript;
    papplSystemAddMIMEFilter(system, "application/pdf", kStreamFormat, FilterPdf, &program);
}

}  // namespace printerapp
