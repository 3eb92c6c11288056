// Runs the filter as CUPS would, as a child process, with a spool folder (TMPDIR) of its
// own, so that tests never disturb each other or a second checkout's tests running at
// the same time. Tests of the debug switch, which lives at a fixed path in /tmp, ask
// for a private /tmp (a mount namespace: root, or unprivileged user namespaces).
#ifndef GDI_TESTS_SUPPORT_FILTER_PROCESS_H
#define GDI_TESTS_SUPPORT_FILTER_PROCESS_H

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace gditest {

struct FilterRun {
    bool started = false;    // false: no private /tmp could be made (skip the test)
    int exitStatus = -1;     // exit status, or 128 + signal
    std::string out;         // standard output
    std::string err;         // standard error
    std::string inspection;  // what `inspect` returned, read inside the private /tmp
    std::string leftovers;   // names left in the filter's spool folder (or private /tmp)
    double seconds = 0;      // from the start of the filter to its end
};

struct FilterRequest {
    bool privateTmp = false;                 // run in a private /tmp (the debug switch tests)
    std::vector<std::string> args;           // argv[0] .. argv[n]
    std::map<std::string, std::string> env;  // added to a minimal environment
    std::string stdinPath = "/dev/null";
    std::function<void()> setup;           // runs first (inside the private /tmp, if any)
    std::function<std::string()> inspect;  // runs after the filter exits (there too)
    // Limits the filter's address space (bytes; 0: no limit), for out-of-memory tests,
    // and the size of the files it writes (bytes; 0: no limit).
    unsigned long long addressSpaceLimit = 0;
    unsigned long long fileSizeLimit = 0;
    // Runs in the parent while the filter runs, given the filter's pid.
    std::function<void(int pid)> whileRunning;
    // When set, the filter's standard input is a pipe and this writes it, given the
    // filter's pid and the write end (which it must not close; the runner does).
    std::function<void(int pid, int fd)> feedInput;
    // When set, the filter's standard output is a pipe whose read end the parent
    // drains with this (it gets the fd and the filter's pid, and returns the bytes read).
    std::function<std::string(int fd, int pid)> readOutput;
    // With readOutput: the filter's end of the pipe is non-blocking.
    bool nonBlockingOutput = false;
    // Without readOutput: standard output goes to this file (e.g. /dev/full) instead.
    std::string stdoutPath;
};

// Path of the filter under test ($RASTERTOGDI from CTest).
std::string FilterPath();

FilterRun RunFilter(const FilterRequest &request);

// The names in the private /tmp, apart from the folders bound into it: what a filter
// run left there. Call it from `inspect`.
std::string ListPrivateTmp();

// Whether this process may make a private /tmp, and why not.
bool CanMakePrivateTmp(std::string *why);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// A fresh directory below the build tree, removed by the destructor.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace gditest

#endif
