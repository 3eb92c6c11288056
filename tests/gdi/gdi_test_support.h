// Helpers for the driver core tests: a sink, control and reporter for a job, a private
// spool directory, a captured diagnostic log, job options and page headers.
#ifndef GDI_TESTS_GDI_GDI_TEST_SUPPORT_H
#define GDI_TESTS_GDI_GDI_TEST_SUPPORT_H

#include <cups/raster.h>

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gdi/JobPorts.h"
#include "options/QNVCUPSFilter.h"

namespace gditest {

// A sink that collects the bytes a job's output thread writes. With `gated`, Write waits
// until Open() (or a long safety timeout), so that a writer which waited for the reader
// would show. FailAfter(n, error) makes the write that reaches byte n fail with `error`
// (EPIPE: the reader went away), keeping the bytes before it.
class CollectingSink : public ByteSink {
public:
    explicit CollectingSink(bool gated = false) : gateOpen_(!gated) {}
    Result Write(const unsigned char *data, size_t size) override;

    void Open();
    // Whether a gated write went ahead because its gate was opened (not by timeout).
    bool OpenedInTime() const { return openedInTime_; }
    void FailAfter(size_t bytes, int error);
    // Every Write returns kAbandoned from now on, taking nothing.
    void Abandon() { abandon_ = true; }
    std::vector<unsigned char> Bytes();
    size_t Writes();
    // Waits until a write has come in (and waits at the gate, when there is one).
    void WaitForWriter();

private:
    std::mutex mutex_;
    std::condition_variable gateChanged_;
    bool gateOpen_;
    bool openedInTime_ = true;
    std::vector<unsigned char> bytes_;
    size_t writes_ = 0;
    size_t entered_ = 0;
    size_t failAt_ = SIZE_MAX;
    int failError_ = 0;
    std::atomic<bool> abandon_{false};
};

// A job control whose answer a test sets; counts how often it was asked.
class TestControl : public JobControl {
public:
    bool IsCancelled() override {
        ++asked_;
        return cancelled_.load();
    }
    void Cancel() { cancelled_ = true; }
    int Asked() const { return asked_.load(); }

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<int> asked_{0};
};

// Records the status lines, as CUPS would see them ("PAGE: 2 1", "INFO: ...").
class RecordingReporter : public StatusReporter {
public:
    void PageDone(unsigned page, unsigned copies) override;
    void Info(const char *message) override;
    void Error(const char *message) override;
    std::vector<std::string> Lines();
    // The page numbers of the PAGE lines, in order.
    std::vector<unsigned> Pages();

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A sink, control and reporter for one job.
struct TestPorts {
    explicit TestPorts(bool gated = false) : sink(gated) {}
    CollectingSink sink;
    TestControl control;
    RecordingReporter reporter;
    JobPorts ports() { return {&sink, &control, &reporter}; }
};

// A private, empty TMPDIR for the spool files of one test; removed at the end.
class SpoolDirectory {
public:
    SpoolDirectory();
    ~SpoolDirectory();
    const std::string &Path() const { return path_; }
    // Names of the files in the directory.
    std::vector<std::string> Entries() const;

private:
    std::string path_;
    std::string savedTmpdir_;
    bool hadTmpdir_ = false;
};

// Points the diagnostic log at a temporary file; set it up before any output thread
// starts and read it after every store is gone.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::string Text() const;
    // Number of lines ending with `message`.
    int Count(const std::string &message) const;

private:
    FILE *file_;
    FILE *saved_;
};

// Job options as a filter run gets them, with no PPD.
QNVCUPSFilter MakeOptions(const char *title, const char *options);

// An 8-bit grey page header: width x height pixels, resolution and margins.
cups_page_header_s MakePageHeader(unsigned width, unsigned height, unsigned dpi = 600,
                                  unsigned marginPoints = 0);

std::vector<unsigned char> Bytes(const std::string &text);

}  // namespace gditest

#endif
