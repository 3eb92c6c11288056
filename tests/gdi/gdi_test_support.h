// Helpers for the printer stream tests: capture of standard output through a pipe, a
// private spool directory, a captured diagnostic log, job options and page headers.
#ifndef GDI_TESTS_GDI_GDI_TEST_SUPPORT_H
#define GDI_TESTS_GDI_GDI_TEST_SUPPORT_H

#include <cups/raster.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options/QNVCUPSFilter.h"

namespace gditest {

// Sends file descriptor 1 into a pipe read by a thread of its own until Finish().
// With `gated`, the reader reads nothing until Open() (or a long safety timeout), so
// that a writer which waited for the reader would show.
class StdoutCapture {
public:
    explicit StdoutCapture(bool gated = false);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Lets a gated reader start reading.
    void Open();
    // Whether the gated reader started because its gate was opened (not by timeout).
    bool OpenedInTime() const { return openedInTime_; }
    // Restores standard output and returns everything written to it meanwhile.
    std::vector<unsigned char> Finish();

private:
    void ReadAll();

    int savedStdout_ = -1;
    int readEnd_ = -1;
    bool finished_ = false;
    std::thread reader_;
    std::vector<unsigned char> bytes_;
    std::mutex gateMutex_;
    std::condition_variable gateChanged_;
    bool gateOpen_;
    bool openedInTime_ = false;
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
