// The application's state file: written whole and renamed into place, recovered after a
// crash.
#include "printerapp/StateFile.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace printerapp {

namespace {

struct Keyword {
    unsigned bit;
    const char *name;
};

const Keyword kColorModes[] = {{PAPPL_COLOR_MODE_AUTO, "auto"},
                               {PAPPL_COLOR_MODE_AUTO_MONOCHROME, "auto-monochrome"},
                               {PAPPL_COLOR_MODE_BI_LEVEL, "bi-level"},
                               {PAPPL_COLOR_MODE_COLOR, "color"},
                               {PAPPL_COLOR_MODE_MONOCHROME, "monochrome"},
                               {PAPPL_COLOR_MODE_PROCESS_MONOCHROME, "process-monochrome"}};
const Keyword kContents[] = {{PAPPL_CONTENT_AUTO, "auto"},
                             {PAPPL_CONTENT_GRAPHIC, "graphic"},
                             {PAPPL_CONTENT_PHOTO, "photo"},
                             {PAPPL_CONTENT_TEXT, "text"},
                             {PAPPL_CONTENT_TEXT_AND_GRAPHIC, "text-and-graphic"}};
const Keyword kScalings[] = {{PAPPL_SCALING_AUTO, "auto"},
                             {PAPPL_SCALING_AUTO_FIT, "auto-fit"},
                             {PAPPL_SCALING_FILL, "fill"},
                             {PAPPL_SCALING_FIT, "fit"},
                             {PAPPL_SCALING_NONE, "none"}};
const Keyword kSides[] = {{PAPPL_SIDES_ONE_SIDED, "one-sided"},
                          {PAPPL_SIDES_TWO_SIDED_LONG_EDGE, "two-sided-long-edge"},
                          {PAPPL_SIDES_TWO_SIDED_SHORT_EDGE, "two-sided-short-edge"}};
const Keyword kIdentifyActions[] = {{PAPPL_IDENTIFY_ACTIONS_DISPLAY, "display"},
                                    {PAPPL_IDENTIFY_ACTIONS_FLASH, "flash"},
                                    {PAPPL_IDENTIFY_ACTIONS_SOUND, "sound"},
                                    {PAPPL_IDENTIFY_ACTIONS_SPEAK, "speak"}};
const Keyword kLabelModes[] = {{PAPPL_LABEL_MODE_APPLICATOR, "applicator"},
                               {PAPPL_LABEL_MODE_CUTTER, "cutter"},
                               {PAPPL_LABEL_MODE_CUTTER_DELAYED, "cutter-delayed"},
                               {PAPPL_LABEL_MODE_KIOSK, "kiosk"},
                               {PAPPL_LABEL_MODE_PEEL_OFF, "peel-off"},
                               {PAPPL_LABEL_MODE_PEEL_OFF_PREPEEL, "peel-off-prepeel"},
                               {PAPPL_LABEL_MODE_REWIND, "rewind"},
                               {PAPPL_LABEL_MODE_RFID, "rfid"},
                               {PAPPL_LABEL_MODE_TEAR_OFF, "tear-off"}};
const Keyword kTrackings[] = {{PAPPL_MEDIA_TRACKING_CONTINUOUS, "continuous"},
                              {PAPPL_MEDIA_TRACKING_GAP, "gap"},
                              {PAPPL_MEDIA_TRACKING_MARK, "mark"},
                              {PAPPL_MEDIA_TRACKING_WEB, "web"}};

// The keyword of the lowest bit set in `bits` ("" for none): PAPPL's loader reads one.
template <size_t N>
std::string KeywordOf(const Keyword (&table)[N], unsigned bits) {
    for (const Keyword &keyword : table) {
        if ((bits & keyword.bit) != 0)
            return keyword.name;
    }
    return "";
}

// A value on one line of its own: line breaks and other control characters become spaces.
std::string OneLine(const char *value) {
    std::string out = value != nullptr ? value : "";
    for (char &c : out) {
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = ' ';
    }
    return out;
}

// "name value" lines and "name key="value" ..." lines.
class StateWriter {
public:
    void Line(const char *name, const std::string &value) {
        if (!value.empty())
            out << name << ' ' << value << '\n';
    }
    void Number(const char *name, long value) { out << name << ' ' << value << '\n'; }
    void Flag(const char *name) { out << name << '\n'; }

    // Options in the quoting cupsParseOptions undoes; a name starting with '<' opens a block.
    void Options(const char *name, const cups_option_t *options, int count) {
        out << name;
        for (int i = 0; i < count; ++i) {
            out << ' ' << options[i].name << "=\"";
            for (const char *c = options[i].value; *c != '\0'; ++c) {
                if (*c == '\\' || *c == '"')
                    out << '\\';
                out << ((unsigned char)*c < 0x20 ? ' ' : *c);
            }
            out << '"';
        }
        out << (name[0] == '<' ? ">\n" : "\n");
    }

    std::string Text() const { return out.str(); }

private:
    std::ostringstream out;
};

// cups_option_t arrays, freed with their owner.
class OptionList {
public:
    OptionList() = default;
    explicit OptionList(const char *text) { count = cupsParseOptions(text, 0, &options); }
    OptionList(const OptionList &) = delete;
    OptionList &operator=(const OptionList &) = delete;
    ~OptionList() { cupsFreeOptions(count, options); }

    void Add(const char *name, const std::string &value) {
        count = cupsAddOption(name, value.c_str(), count, &options);
    }
    void AddNumber(const char *name, long value) { Add(name, std::to_string(value)); }
    void Remove(const char *name) { count = cupsRemoveOption(name, count, &options); }
    const char *Get(const char *name) const { return cupsGetOption(name, count, options); }
    long Number(const char *name, long fallback) const {
        const char *value = Get(name);
        return value != nullptr ? strtol(value, nullptr, 10) : fallback;
    }

    void Write(StateWriter &writer, const char *name) const {
        writer.Options(name, options, count);
    }

private:
    cups_option_t *options = nullptr;
    int count = 0;
};

void WriteContact(StateWriter &writer, const pappl_contact_t &contact) {
    OptionList options;
    if (contact.name[0] != '\0')
        options.Add("name", contact.name);
    if (contact.email[0] != '\0')
        options.Add("email", contact.email);
    if (contact.telephone[0] != '\0')
        options.Add("telephone", contact.telephone);
    options.Write(writer, "Contact");
}

void WriteMediaCol(StateWriter &writer, const char *name, const pappl_media_col_t &media) {
    OptionList options;
    const struct {
        const char *key;
        int value;
    } kNumbers[] = {{"bottom", media.bottom_margin},    {"left", media.left_margin},
                    {"left-offset", media.left_offset}, {"right", media.right_margin},
                    {"width", media.size_width},        {"length", media.size_length},
                    {"top", media.top_margin},          {"top-offset", media.top_offset}};
    for (const auto &number : kNumbers) {
        if (number.value != 0)
            options.AddNumber(number.key, number.value);
    }
    if (media.size_name[0] != '\0')
        options.Add("name", media.size_name);
    if (media.source[0] != '\0')
        options.Add("source", media.source);
    if (media.tracking != 0)
        options.Add("tracking", KeywordOf(kTrackings, media.tracking));
    if (media.type[0] != '\0')
        options.Add("type", media.type);
    options.Write(writer, name);
}

void WriteSystem(StateWriter &writer, pappl_system_t *system) {
    char buffer[1024];
    writer.Line("DNSSDName", OneLine(papplSystemGetDNSSDName(system, buffer, sizeof(buffer))));
    writer.Line("Location", OneLine(papplSystemGetLocation(system, buffer, sizeof(buffer))));
    writer.Line("GeoLocation", OneLine(papplSystemGetGeoLocation(system, buffer, sizeof(buffer))));
    writer.Line("Organization",
                OneLine(papplSystemGetOrganization(system, buffer, sizeof(buffer))));
    writer.Line("OrganizationalUnit",
                OneLine(papplSystemGetOrganizationalUnit(system, buffer, sizeof(buffer))));
    pappl_contact_t contact;
    WriteContact(writer, *papplSystemGetContact(system, &contact));
    writer.Line("AdminGroup", OneLine(papplSystemGetAdminGroup(system, buffer, sizeof(buffer))));
    writer.Line("DefaultPrintGroup",
                OneLine(papplSystemGetDefaultPrintGroup(system, buffer, sizeof(buffer))));
    writer.Line("Password", OneLine(papplSystemGetPassword(system, buffer, sizeof(buffer))));
    writer.Number("DefaultPrinterID", papplSystemGetDefaultPrinterID(system));
    int maxWidth = 0, maxHeight = 0;
    const size_t maxSize = papplSystemGetMaxImageSize(system, &maxWidth, &maxHeight);
    writer.Line("MaxImageSize", std::to_string(maxSize) + " " + std::to_string(maxWidth) + " " +
                                    std::to_string(maxHeight));
    writer.Number("NextPrinterID", papplSystemGetNextPrinterID(system));
    writer.Line("UUID", OneLine(papplSystemGetUUID(system)));
}

// The job-creation attributes a queued job keeps over a restart (its own id, URI and
// state PAPPL makes again when it loads the job).
const char *const kJobTemplate[] = {"copies",
                                    "finishings",
                                    "finishings-col",
                                    "job-hold-until",
                                    "job-priority",
                                    "job-sheets",
                                    "media",
                                    "media-col",
                                    "multiple-document-handling",
                                    "orientation-requested",
                                    "output-bin",
                                    "page-ranges",
                                    "print-color-mode",
                                    "print-content-optimize",
                                    "print-darkness",
                                    "print-quality",
                                    "print-scaling",
                                    "print-speed",
                                    "printer-resolution",
                                    "sides",
                                    "document-name-supplied"};

// The attribute file PAPPL's loader reads for a queued job, written as a new file and
// renamed into place like the state.
void SaveJobAttributes(pappl_job_t *job, const pappl_pr_driver_data_t &driver,
                       const char *directory) {
    char path[1024];
    const int fd = papplJobOpenFile(job, path, sizeof(path), directory, "ipp", "r");
    if (fd >= 0)
        close(fd);
    std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(ippNew(), ippDelete);
    auto copy = [&](const char *name) {
        ipp_attribute_t *attr = papplJobGetAttribute(job, name);
        if (attr != nullptr)
            ippCopyAttribute(attrs.get(), attr, 0);
    };
    for (const char *name : kJobTemplate)
        copy(name);
    for (int i = 0; i < driver.num_vendor; ++i)
        copy(driver.vendor[i]);
    const std::string temporary = std::string(path) + ".new";
    const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    const bool written = ippWriteFile(out, attrs.get()) == IPP_STATE_DATA && fsync(out) == 0;
    if (close(out) != 0 || !written || rename(temporary.c_str(), path) != 0)
        unlink(temporary.c_str());
}

struct JobContext {
    pappl_printer_t *printer;
    StateWriter *writer;
    const pappl_pr_driver_data_t *driver;
    const char *directory;
};

// Called by PAPPL with the printer's lock held: takes only the job's own lock.
void WriteJob(pappl_job_t *job, void *data) {
    JobContext &context = *static_cast<JobContext *>(data);
    OptionList options;
    options.AddNumber("id", papplJobGetID(job));
    options.Add("name", OneLine(papplJobGetName(job)));
    options.Add("username", OneLine(papplJobGetUsername(job)));
    options.Add("format", OneLine(papplJobGetFormat(job)));
    const char *filename = papplJobGetFilename(job);
    if (filename != nullptr)
        options.Add("filename", filename);
    // A job asked to stop that has not ended yet ends canceled (PAPPL says "canceled" of
    // aborted jobs too).
    ipp_jstate_t state = papplJobGetState(job);
    if (state < IPP_JSTATE_STOPPED && papplJobIsCanceled(job))
        state = IPP_JSTATE_CANCELED;
    // A job "processing" on a stopped printer is one PAPPL 1.3 holds while it tries to
    // reach the printer again: nothing of it has printed, and it starts anew next time.
    if (state == IPP_JSTATE_PROCESSING &&
        papplPrinterGetState(context.printer) == IPP_PSTATE_STOPPED)
        state = IPP_JSTATE_PENDING;
    options.AddNumber("state", state);
    if (papplJobGetReasons(job) != 0)
        options.AddNumber("state_reasons", (long)papplJobGetReasons(job));
    const struct {
        const char *key;
        long value;
    } kNumbers[] = {{"created", (long)papplJobGetTimeCreated(job)},
                    {"processing", (long)papplJobGetTimeProcessed(job)},
                    {"completed", (long)papplJobGetTimeCompleted(job)},
                    {"impressions", papplJobGetImpressions(job)},
                    {"imcompleted", papplJobGetImpressionsCompleted(job)}};
    for (const auto &number : kNumbers) {
        if (number.value != 0)
            options.AddNumber(number.key, number.value);
    }
    if (state < IPP_JSTATE_STOPPED) {
        SaveJobAttributes(job, *context.driver, context.directory);
    } else {
        char path[1024];
        papplJobOpenFile(job, path, sizeof(path), context.directory, "ipp", "x");
    }
    options.Write(*context.writer, "Job");
}

void WriteDriverDefaults(StateWriter &writer, pappl_printer_t *printer,
                         const pappl_pr_driver_data_t &data) {
    if (data.identify_default != 0)
        writer.Line("identify-actions-default", KeywordOf(kIdentifyActions, data.identify_default));
    writer.Line("label-mode-configured", KeywordOf(kLabelModes, data.mode_configured));
    if (data.tear_offset_configured != 0)
        writer.Number("label-tear-offset-configured", data.tear_offset_configured);
    WriteMediaCol(writer, "media-col-default", data.media_default);
    for (int i = 0; i < data.num_source && i < PAPPL_MAX_SOURCE; ++i) {
        if (data.media_ready[i].size_name[0] != '\0')
            WriteMediaCol(writer, ("media-col-ready" + std::to_string(i)).c_str(),
                          data.media_ready[i]);
    }
    if (data.orient_default != 0)
        writer.Line("orientation-requested-default",
                    ippEnumString("orientation-requested", (int)data.orient_default));
    if (data.bin_default > 0 && data.bin_default < data.num_bin)
        writer.Line("output-bin-default", data.bin[data.bin_default]);
    writer.Line("print-color-mode-default", KeywordOf(kColorModes, data.color_default));
    writer.Line("print-content-optimize-default", KeywordOf(kContents, data.content_default));
    if (data.darkness_default != 0)
        writer.Number("print-darkness-default", data.darkness_default);
    if (data.quality_default != 0)
        writer.Line("print-quality-default", ippEnumString("print-quality", data.quality_default));
    writer.Line("print-scaling-default", KeywordOf(kScalings, data.scaling_default));
    if (data.speed_default != 0)
        writer.Number("print-speed-default", data.speed_default);
    if (data.darkness_configured != 0)
        writer.Number("printer-darkness-configured", data.darkness_configured);
    writer.Line("sides-default", KeywordOf(kSides, data.sides_default));
    if (data.x_default != 0)
        writer.Line("printer-resolution-default",
                    std::to_string(data.x_default) + "x" + std::to_string(data.y_default) + "dpi");
    std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer),
                                                       ippDelete);
    for (int i = 0; i < data.num_vendor; ++i) {
        const std::string name = std::string(data.vendor[i]) + "-default";
        char value[1024] = "";
        ippAttributeString(ippFindAttribute(attrs.get(), name.c_str(), IPP_TAG_ZERO), value,
                           sizeof(value));
        writer.Line(name.c_str(), OneLine(value));
    }
}

void WritePrinter(StateWriter &writer, pappl_printer_t *printer, const char *directory) {
    char buffer[1024];
    OptionList head;
    head.AddNumber("id", papplPrinterGetID(printer));
    head.Add("name", OneLine(papplPrinterGetName(printer)));
    head.Add("did", OneLine(papplPrinterGetDeviceID(printer)));
    head.Add("uri", OneLine(papplPrinterGetDeviceURI(printer)));
    head.Add("driver", OneLine(papplPrinterGetDriverName(printer)));
    head.Write(writer, "<Printer");
    writer.Line("DNSSDName", OneLine(papplPrinterGetDNSSDName(printer, buffer, sizeof(buffer))));
    writer.Line("Location", OneLine(papplPrinterGetLocation(printer, buffer, sizeof(buffer))));
    writer.Line("GeoLocation",
                OneLine(papplPrinterGetGeoLocation(printer, buffer, sizeof(buffer))));
    writer.Line("Organization",
                OneLine(papplPrinterGetOrganization(printer, buffer, sizeof(buffer))));
    writer.Line("OrganizationalUnit",
                OneLine(papplPrinterGetOrganizationalUnit(printer, buffer, sizeof(buffer))));
    pappl_contact_t contact;
    WriteContact(writer, *papplPrinterGetContact(printer, &contact));
    if (papplPrinterIsHoldingNewJobs(printer))
        writer.Flag("HoldNewJobs");
    writer.Line("PrintGroup", OneLine(papplPrinterGetPrintGroup(printer, buffer, sizeof(buffer))));
    writer.Number("MaxActiveJobs", papplPrinterGetMaxActiveJobs(printer));
    writer.Number("MaxCompletedJobs", papplPrinterGetMaxCompletedJobs(printer));
    writer.Number("NextJobId", papplPrinterGetNextJobID(printer));
    writer.Number("ImpressionsCompleted", papplPrinterGetImpressionsCompleted(printer));
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    WriteDriverDefaults(writer, printer, data);
    JobContext context{printer, &writer, &data, directory};
    papplPrinterIterateAllJobs(printer, WriteJob, &context, 1, 0);
    writer.Flag("</Printer>");
}

// The printers' ids, read with the system lock held and no printer's lock taken (PAPPL
// takes a printer's lock before the system's on a job's abort path).
void CollectPrinterId(pappl_printer_t *printer, void *data) {
    static_cast<std::vector<int> *>(data)->push_back(papplPrinterGetID(printer));
}

std::vector<int> PrinterIds(pappl_system_t *system) {
    std::vector<int> ids;
    papplSystemIteratePrinters(system, CollectPrinterId, &ids);
    return ids;
}

struct SaveContext {
    std::string path;
    std::string directory;
};

// The state is written without holding PAPPL's system lock (see StateText), so nothing
// would keep a printer from being freed while it is written: deleting a printer waits
// for a save in progress, and a save for a deletion.
std::recursive_mutex &PrinterDeletionLock() {
    static std::recursive_mutex lock;
    return lock;
}

bool SaveCallback(pappl_system_t *system, void *data) {
    const SaveContext &context = *static_cast<const SaveContext *>(data);
    std::unique_lock<std::recursive_mutex> noDeletion(PrinterDeletionLock());
    const std::string text = StateText(system, context.directory);
    noDeletion.unlock();
    if (!ReplaceFile(context.path, text)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "Unable to save the state to '%s': %s; the state saved before stays.",
                 context.path.c_str(), strerror(errno));
        return false;
    }
    papplLog(system, PAPPL_LOGLEVEL_DEBUG, "Saved the state to '%s'.", context.path.c_str());
    return true;
}

bool ReadFile(const std::string &path, std::string *text) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char buffer[8192];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        text->append(buffer, got);
    const bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

// The attribute file PAPPL keeps beside a queued job: "p<printer>j<job>-<name>.ipp".
std::string FindJobAttributes(const std::string &directory, long printerId, long jobId) {
    char prefix[64];
    snprintf(prefix, sizeof(prefix), "p%05ldj%09ld-", printerId, jobId);
    struct CloseDir {
        void operator()(DIR *dir) const { closedir(dir); }
    };
    std::unique_ptr<DIR, CloseDir> folder(opendir(directory.c_str()));
    if (folder == nullptr)
        return "";
    while (const dirent *entry = readdir(folder.get())) {
        const size_t length = strlen(entry->d_name);
        if (strncmp(entry->d_name, prefix, strlen(prefix)) == 0 && length > 4 &&
            strcmp(entry->d_name + length - 4, ".ipp") == 0)
            return directory + "/" + entry->d_name;
    }
    return "";
}

std::string BaseName(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A job's document or attribute file in the spool folder: "p<printer>j<job>-...".
bool IsJobFile(const char *name) {
    unsigned printer = 0, job = 0;
    int length = 0;
    return sscanf(name, "p%5uj%9u-%n", &printer, &job, &length) == 2 && length == 17;
}

// The files of jobs accepted after the last save before a crash: no job owns them now.
void RemoveUnrecordedFiles(const std::string &directory, const std::set<std::string> &kept,
                           RecoveredState *result) {
    struct CloseDir {
        void operator()(DIR *dir) const { closedir(dir); }
    };
    std::unique_ptr<DIR, CloseDir> folder(opendir(directory.c_str()));
    if (folder == nullptr)
        return;
    while (const dirent *entry = readdir(folder.get())) {
        if (!IsJobFile(entry->d_name) || kept.count(entry->d_name) != 0)
            continue;
        const std::string path = directory + "/" + entry->d_name;
        result->messages.push_back("The spool file '" + path +
                                   "' belongs to no job the server had saved when it stopped "
                                   "unexpectedly: it is removed.");
        result->removeFiles.push_back(path);
    }
}

bool Exists(const char *path) {
    struct stat info;
    return path != nullptr && stat(path, &info) == 0;
}

// Queued jobs are started once the server runs, from a thread of its own: the timer that
// starts it holds the system lock, and starting a job takes a printer's.
void StartQueuedJobs(pappl_system_t *system) {
    for (int id : PrinterIds(system)) {
        pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
        if (printer == nullptr || papplPrinterGetNumberOfActiveJobs(printer) == 0)
            continue;
        pappl_job_t *first = nullptr;
        papplPrinterIterateActiveJobs(
            printer, [](pappl_job_t *job, void *data) { *static_cast<pappl_job_t **>(data) = job; },
            &first, 1, 1);
        // Releasing a job that is not held leaves it as it is, then looks for a job to run.
        if (first != nullptr)
            papplJobRelease(first, nullptr);
    }
}

// SIGTERM and SIGINT: PAPPL 1.3's own handler, and when the signal came.
struct sigaction paplStop[2];
std::atomic<long> stopAskedAt{0};

void OnStopSignal(int signal) {
    long unset = 0;
    stopAskedAt.compare_exchange_strong(unset, (long)time(nullptr));
    const struct sigaction &pappl = paplStop[signal == SIGINT ? 1 : 0];
    if ((pappl.sa_flags & SA_SIGINFO) == 0 && pappl.sa_handler != SIG_DFL &&
        pappl.sa_handler != SIG_IGN)
        pappl.sa_handler(signal);
}

// Installed once the server runs, over the handlers PAPPL installs as it starts.
void WatchStopSignals() {
    struct sigaction ours;
    memset(&ours, 0, sizeof(ours));
    ours.sa_handler = OnStopSignal;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    sigaction(SIGTERM, &ours, &paplStop[0]);
    sigaction(SIGINT, &ours, &paplStop[1]);
}

bool StartQueuesTimer(pappl_system_t *system, void *data) {
    (void)data;
    WatchStopSignals();
    std::thread(StartQueuedJobs, system).detach();
    return false;  // once
}

// Whether every job left waits on a stopped printer (PAPPL stops a printer it cannot
// reach): read without the printers' locks, as the timer that asks holds the system's.
struct WaitingJobs {
    int jobs = 0;
    bool onlyStopped = true;
};

void CountWaitingJobs(pappl_printer_t *printer, void *data) {
    WaitingJobs &waiting = *static_cast<WaitingJobs *>(data);
    const int jobs = papplPrinterGetNumberOfActiveJobs(printer);
    waiting.jobs += jobs;
    if (papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING ||
        (jobs > 0 && papplPrinterGetState(printer) != IPP_PSTATE_STOPPED))
        waiting.onlyStopped = false;
}

SaveContext saveContext;  // the system keeps it for its whole life

// PAPPL 1.3 waits at SIGTERM until no job is left, 60 s at most, also for jobs on a
// printer it stopped, which never print before someone starts the printer again: those
// keep their place in the state for the next start, and the server ends now.
void StopWithWaitingJobs(pappl_system_t *system, int jobs) {
    if (SaveCallback(system, &saveContext)) {
        papplLog(system, PAPPL_LOGLEVEL_INFO,
                 "Stopping with %d jobs waiting for stopped printers: they stay queued for the "
                 "next start.",
                 jobs);
        _exit(0);
    }
}

bool KeepSavesTimely(pappl_system_t *system, void *data) {
    (void)data;
    static bool stopping = false;
    const long askedAt = stopAskedAt.load();
    // A moment for PAPPL's own end, which comes within a second when no job is left.
    if (stopping || askedAt == 0 || time(nullptr) - askedAt < 2)
        return true;
    WaitingJobs waiting;
    papplSystemIteratePrinters(system, CountWaitingJobs, &waiting);
    if (waiting.jobs > 0 && waiting.onlyStopped) {
        stopping = true;
        // Saving takes the printers' locks: not from here, where the system's is held.
        std::thread(StopWithWaitingJobs, system, waiting.jobs).detach();
    }
    return true;  // again in a second
}

// Sub-commands such as drivers make a system of their own, from the same state, while
// the server may run: only the first process to use a state folder may decide that its
// jobs were interrupted. It holds the folder's lock for its whole life.
bool FirstToUseState(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true;  // the descriptor stays open: the lock ends with the process
}

}  // namespace

}  // namespace printerapp

// PAPPL 1.3 frees a printer as soon as Delete-Printer (or the web page, or the end of its
// last job) removes it. Every caller in PAPPL goes through this exported name, so the
// program's own comes first and keeps a deletion out of a save in progress.
extern "C" void papplPrinterDelete(pappl_printer_t *printer) {
    using Delete = void (*)(pappl_printer_t *);
    static const Delete papplsOwn =
        reinterpret_cast<Delete>(dlsym(RTLD_NEXT, "papplPrinterDelete"));
    if (papplsOwn == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> noSave(printerapp::PrinterDeletionLock());
    papplsOwn(printer);
}

namespace printerapp {

std::string StateText(pappl_system_t *system, const std::string &spoolDirectory) {
    StateWriter writer;
    WriteSystem(writer, system);
    for (int id : PrinterIds(system)) {
        pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
        if (printer != nullptr && !papplPrinterIsDeleted(printer))
            WritePrinter(writer, printer, spoolDirectory.c_str());
    }
    return writer.Text();
}

bool ReplaceFile(const std::string &path, const std::string &text) {
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        done += (size_t)wrote;
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        errno = error != 0 ? error : ENOSPC;
        return false;
    }
    // The rename itself is kept once the folder is synced.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

RecoveredState RecoverJobs(const std::string &text, const std::string &spoolDirectory, long now) {
    RecoveredState result;
    std::istringstream lines(text);
    std::string line;
    long printerId = 0;
    std::ostringstream out;
    std::set<std::string> kept;  // the names of the files of the jobs that stay queued
    while (std::getline(lines, line)) {
        if (line.compare(0, 9, "<Printer ") == 0) {
            std::string head = line.substr(9);
            if (!head.empty() && head.back() == '>')
                head.pop_back();
            printerId = OptionList(head.c_str()).Number("id", 0);
        }
        if (line.compare(0, 4, "Job ") != 0) {
            out << line << '\n';
            continue;
        }
        OptionList job(line.c_str() + 4);
        const long id = job.Number("id", 0);
        const long state = job.Number("state", IPP_JSTATE_PENDING);
        const char *file = job.Get("filename");
        const std::string attributes = FindJobAttributes(spoolDirectory, printerId, id);
        const char *why = nullptr;
        if (state == IPP_JSTATE_PROCESSING)
            why = "was printing when the server stopped unexpectedly";
        else if (state < IPP_JSTATE_STOPPED && (!Exists(file) || attributes.empty()))
            why = "lost its document or its settings when the server stopped unexpectedly";
        if (why == nullptr) {
            // Finished jobs keep their documents where the printer preserves them.
            kept.insert(BaseName(file != nullptr ? file : ""));
            kept.insert(BaseName(attributes));
            out << line << '\n';
            continue;
        }
        char message[256];
        snprintf(message, sizeof(message), "Job %ld %s: it ends aborted.", id, why);
        result.messages.push_back(message);
        if (file != nullptr)
            result.removeFiles.push_back(file);
        if (!attributes.empty())
            result.removeFiles.push_back(attributes);
        job.Remove("filename");
        job.AddNumber("state", IPP_JSTATE_ABORTED);
        job.AddNumber("state_reasons",
                      job.Number("state_reasons", 0) | (long)PAPPL_JREASON_ABORTED_BY_SYSTEM);
        job.AddNumber("completed", now);
        StateWriter one;
        job.Write(one, "Job");
        out << one.Text();
    }
    result.text = out.str();
    RemoveUnrecordedFiles(spoolDirectory, kept, &result);
    return result;
}

void UseStateFile(pappl_system_t *system, const std::string &path,
                  const std::string &spoolDirectory) {
    const bool first = FirstToUseState(path);
    if (first)
        unlink((path + ".new").c_str());  // a save a crash cut short
    std::string text;
    if (first && ReadFile(path, &text)) {
        const RecoveredState recovered = RecoverJobs(text, spoolDirectory, (long)time(nullptr));
        for (const std::string &message : recovered.messages)
            papplLog(system, PAPPL_LOGLEVEL_WARN, "%s", message.c_str());
        if (!recovered.messages.empty()) {
            if (ReplaceFile(path, recovered.text)) {
                for (const std::string &file : recovered.removeFiles)
                    unlink(file.c_str());
            } else {
                papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to update the state in '%s': %s",
                         path.c_str(), strerror(errno));
            }
        }
    }
    papplSystemLoadState(system, path.c_str());
    saveContext = SaveContext{path, spoolDirectory};
    papplSystemSetSaveCallback(system, SaveCallback, &saveContext);
    papplSystemAddTimerCallback(system, time(nullptr), 0, StartQueuesTimer, nullptr);
    // PAPPL's main loop saves a change when it next wakes, which may be 30 s on: waking it
    // every second keeps what a crash can lose to the last second. It also ends a server
    // asked to stop whose jobs all wait for stopped printers.
    papplSystemAddTimerCallback(system, time(nullptr) + 1, 1, KeepSavesTimely, nullptr);
}

}  // namespace printerapp
