// The renderer's process.
#include "printerapp/RenderProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

extern char **environ;

namespace printerapp {

namespace {

// How often a waiting read looks at the job, and how long a renderer has to end after
// SIGTERM before it is killed.
constexpr int kPollMs = 200;
constexpr int kGraceMs = 2000;

volatile sig_atomic_t gShutdownAsked = 0;
struct sigaction gPreviousTerm;

void NoteTerm(int sig) {
    gShutdownAsked = 1;
    if (gPreviousTerm.sa_handler == SIG_IGN)
        return;
    if (gPreviousTerm.sa_handler == SIG_DFL) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    gPreviousTerm.sa_handler(sig);
}

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

long long PositiveNumber(const char *name, long long otherwise) {
    const char *text = getenv(name);
    if (text == nullptr)
        return otherwise;
    char *end = nullptr;
    const long long value = strtoll(text, &end, 10);
    return end != text && *end == '\0' && value > 0 ? value : otherwise;
}

// In the child, before exec: only calls that are safe after fork in a threaded process.
[[noreturn]] void RunChild(char *const argv[], int outputFd, int errorFd,
                           const RenderLimits &limits, pid_t parent) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);  // the thread that started it is already gone
    const int input = open("/dev/null", O_RDONLY);
    if (input < 0 || dup2(input, 0) < 0 || dup2(outputFd, 1) < 0)
        _exit(127);
    const int messages = errorFd >= 0 ? errorFd : open("/dev/null", O_WRONLY);
    if (messages < 0 || dup2(messages, 2) < 0)
        _exit(127);
    struct rlimit size;
    size.rlim_cur = size.rlim_max = (rlim_t)limits.logBytes;
    setrlimit(RLIMIT_FSIZE, &size);
    size.rlim_cur = size.rlim_max = (rlim_t)limits.memoryBytes;
    setrlimit(RLIMIT_AS, &size);
    // The server ignores or blocks signals the renderer must obey.
    signal(SIGXFSZ, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv, environ);
    _exit(127);
}

}  // namespace

RenderLimits RenderLimitsFromEnvironment() {
    RenderLimits limits;
    limits.pageSeconds = (int)PositiveNumber("GDI_RENDER_PAGE_SECONDS", limits.pageSeconds);
    limits.logBytes = PositiveNumber("GDI_RENDER_LOG_BYTES", limits.logBytes);
    return limits;
}

void WatchForShutdown() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction note;
        note.sa_handler = NoteTerm;
        sigemptyset(&note.sa_mask);
        note.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &note, &gPreviousTerm);
    });
}

bool ShutdownAsked() {
    return gShutdownAsked != 0;
}

bool RenderProcess::Start(const std::vector<std::string> &command, int errorFd) {
    if (command.empty())
        return false;
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) != 0)
        return false;
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0)
        RunChild(argv.data(), pipes[1], errorFd, limits, parent);
    close(pipes[1]);
    if (pid < 0) {
        close(pipes[0]);
        return false;
    }
    setpgid(pid, pid);  // also here, so a kill of the group cannot come before the child's
    output = pipes[0];
    PageDone();
    return true;
}

void RenderProcess::PageDone() {
    deadlineMs = NowMs() + (long long)limits.pageSeconds * 1000;
}

size_t RenderProcess::Read(unsigned char *to, size_t size, const std::function<bool()> &stop) {
    size_t done = 0;
    while (done < size && output >= 0 && stopped == Stop::kNone) {
        if (stop()) {
            stopped = Stop::kAsked;
            break;
        }
        const long long left = deadlineMs - NowMs();
        if (left <= 0) {
            stopped = Stop::kTimedOut;
            break;
        }
        struct pollfd ready = {output, POLLIN, 0};
        const int polled = poll(&ready, 1, (int)(left < kPollMs ? left : kPollMs));
        if (polled < 0 && errno != EINTR)
            break;
        if (polled <= 0)
            continue;
        const ssize_t got = read(output, to + done, size - done);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        done += (size_t)got;
    }
    return done;
}

namespace {

// Whether the child has ended, without reaping it (its process group stays its own).
bool HasEnded(pid_t pid) {
    siginfo_t info;
    info.si_pid = 0;
    return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

void Pause() {
    struct timespec pause = {0, 20 * 1000000};
    nanosleep(&pause, nullptr);
}

}  // namespace

int RenderProcess::reap() {
    // Whatever the renderer started in its group goes with it.
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    if (WIFSIGNALED(status))
        termSignal = WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RenderProcess::terminate() {
    kill(-pid, SIGTERM);
    const long long until = NowMs() + kGraceMs;
    while (!HasEnded(pid) && NowMs() < until)
        Pause();
    (void)reap();
}

int RenderProcess::Wait(bool kill) {
    if (output >= 0) {
        close(output);
        output = -1;
    }
    if (pid < 0)
        return -1;
    // A renderer that has given its last page still has the page's time to end.
    while (!kill && stopped == Stop::kNone && !HasEnded(pid)) {
        if (ShutdownAsked())
            stopped = Stop::kAsked;
        else if (NowMs() >= deadlineMs)
            stopped = Stop::kTimedOut;
        else
            Pause();
    }
    if (kill || stopped != Stop::kNone) {
        terminate();
        return -1;
    }
    return reap();
}

}  // namespace printerapp
