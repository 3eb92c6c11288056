// A renderer (Ghostscript) as a child process whose standard output the job reads, kept
// within bounds: each page must come within a time limit, its messages within a size
// limit, and it is stopped (its whole process group, politely first) when the job is
// cancelled or the server shuts down. It dies with the thread that started it, so a
// server that is killed leaves no renderer behind.
#ifndef GDI_PRINTERAPP_RENDERPROCESS_H
#define GDI_PRINTERAPP_RENDERPROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace printerapp {

struct RenderLimits {
    int pageSeconds = 120;              // the longest wait for the next page
    long long logBytes = 1 << 20;       // the most the renderer may write to its message file
    long long memoryBytes = 2ll << 30;  // its address space at most
};

// The limits, from $GDI_RENDER_PAGE_SECONDS and $GDI_RENDER_LOG_BYTES where they are set
// to positive numbers.
RenderLimits RenderLimitsFromEnvironment();

// Notes a SIGTERM for ShutdownAsked() and hands the signal on to the handler there was.
// PAPPL 1.3 keeps a SIGTERM to itself and waits a minute for running jobs before it ends;
// a render that sees the note ends its job at once. Called once PAPPL's handler is in
// place (from a job); later calls do nothing.
void WatchForShutdown();
bool ShutdownAsked();

class RenderProcess {
public:
    enum class Stop { kNone, kAsked, kTimedOut };

    explicit RenderProcess(const RenderLimits &limits) : limits(limits) {}
    ~RenderProcess() { (void)Wait(true); }
    RenderProcess(const RenderProcess &) = delete;
    RenderProcess &operator=(const RenderProcess &) = delete;

    // Starts `command` (its program by path) with standard input /dev/null and its
    // messages to `errorFd` (a file; -1: none); false when it could not be started. The
    // size limit holds for every file it writes.
    bool Start(const std::vector<std::string> &command, int errorFd);
    // Reads up to `size` bytes of the output; fewer at its end, when `stop()` says so or
    // when the page's time is up (Stopped() then says which).
    size_t Read(unsigned char *to, size_t size, const std::function<bool()> &stop);
    // A page has come: the next one has its own time.
    void PageDone();
    Stop Stopped() const { return stopped; }
    // Ends the process, stopping it first when `kill`; its exit status, or -1 when it did
    // not exit by itself (TermSignal() then tells the signal).
    int Wait(bool kill);
    int TermSignal() const { return termSignal; }
    const RenderLimits &Limits() const { return limits; }

private:
    void terminate();
    int reap();

    RenderLimits limits;
    pid_t pid = -1;
    int output = -1;
    long long deadlineMs = 0;
    Stop stopped = Stop::kNone;
    int termSignal = 0;
};

}  // namespace printerapp

#endif
