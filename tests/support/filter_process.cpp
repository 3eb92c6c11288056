#include "tests/support/filter_process.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace gditest {

namespace {

constexpr int kNoPrivateTmp = 77;

std::atomic<int> gScratchCounter{0};

// The checkout and build folders, which the filter and the tests need to reach even
// when they lie below /tmp themselves.
std::vector<std::string> FoldersToKeep() {
    std::vector<std::string> folders;
    for (const char *folder : {GDI_SOURCE_DIR, GDI_BINARY_DIR}) {
        char resolved[PATH_MAX];
        if (realpath(folder, resolved) != nullptr)
            folders.push_back(resolved);
    }
    return folders;
}

// The name, directly below /tmp, of a kept folder that lies below /tmp ("" if none).
std::string TopLevelNameBelowTmp(const std::string &folder) {
    if (folder.rfind("/tmp/", 0) != 0)
        return "";
    const std::string rest = folder.substr(5);
    return rest.substr(0, rest.find('/'));
}

// Gives this process a /tmp of its own: a fresh tmpfs, with the kept folders that lie
// below the real /tmp bound back into place.
bool MakePrivateTmp() {
    const std::vector<std::string> keep = FoldersToKeep();  // resolved while still visible
    if (unshare(CLONE_NEWNS) != 0)
        return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    // Held open (in this namespace) so the real /tmp stays reachable once covered.
    const int realTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (realTmp < 0)
        return false;
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return false;
    for (const std::string &folder : keep) {
        if (TopLevelNameBelowTmp(folder).empty())
            continue;
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        const std::string hidden =
            "/proc/self/fd/" + std::to_string(realTmp) + "/" + folder.substr(5);
        if (mount(hidden.c_str(), folder.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return false;
    }
    close(realTmp);
    return true;
}

void WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

std::vector<char *> CStrings(std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (std::string &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Names in a folder, space-separated.
std::string ListFolder(const std::string &path) {
    std::string names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names += name + " ";
        }
        closedir(dir);
    }
    return names;
}

double SecondsSince(const struct timespec &start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

// The command that runs a program built for another processor ($GDI_TEST_EMULATOR from
// CTest, words separated by spaces), empty for a native build.
std::vector<std::string> EmulatorWords() {
    std::vector<std::string> words;
    std::istringstream in(getenv("GDI_TEST_EMULATOR") != nullptr ? getenv("GDI_TEST_EMULATOR")
                                                                 : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Runs `program` with `args` (argv[0] first), through the emulator when there is one;
// qemu is told to hand the program the same argv[0]. Returns only on failure.
void ExecProgram(const std::string &program, std::vector<std::string> args, char *const envp[]) {
    std::vector<std::string> emulator = EmulatorWords();
    if (!emulator.empty() && !args.empty()) {
        if (emulator[0].find("qemu-") != std::string::npos)
            emulator.insert(emulator.end(), {"-0", args[0]});
        emulator.push_back(program);
        args.erase(args.begin());
        args.insert(args.begin(), emulator.begin(), emulator.end());
    }
    std::vector<char *> argv = CStrings(args);
    if (emulator.empty())
        execve(program.c_str(), argv.data(), envp);
    else
        execvpe(emulator[0].c_str(), argv.data(), envp);  // found on this process's PATH
}

int StatusOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::string FilterPath() {
    const char *path = getenv("RASTERTOGDI");
    return path != nullptr ? path : "rastertogdi";
}

std::string ListPrivateTmp() {
    std::set<std::string> skeleton;
    for (const std::string &folder : FoldersToKeep())
        skeleton.insert(TopLevelNameBelowTmp(folder));
    std::string names;
    if (DIR *dir = opendir("/tmp")) {
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && skeleton.count(name) == 0)
                names += name + " ";
        }
        closedir(dir);
    }
    return names;
}

bool CanMakePrivateTmp(std::string *why) {
    const pid_t child = fork();
    if (child < 0) {
        *why = "fork failed";
        return false;
    }
    if (child == 0)
        _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    *why = "a private /tmp (mount namespace) needs root";
    return false;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

ScratchDir::ScratchDir() {
    path_ = std::string(GDI_BINARY_DIR) + "/test-scratch/" + std::to_string(getpid()) + "-" +
            std::to_string(gScratchCounter++);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

FilterRun RunFilter(const FilterRequest &request) {
    ScratchDir scratch;
    const std::string outPath = scratch / "stdout";
    const std::string errPath = scratch / "stderr";
    const std::string inspectPath = scratch / "inspection";
    const std::string leftoversPath = scratch / "leftovers";
    const std::string secondsPath = scratch / "seconds";
    const std::string spool = scratch / "tmp";
    mkdir(spool.c_str(), 0700);

    int outPipe[2] = {-1, -1};
    if (request.readOutput && pipe(outPipe) != 0)
        return {};
    if (request.readOutput && request.nonBlockingOutput)
        fcntl(outPipe[1], F_SETFL, fcntl(outPipe[1], F_GETFL) | O_NONBLOCK);
    int inPipe[2] = {-1, -1};
    if (request.feedInput && pipe(inPipe) != 0)
        return {};

    pid_t supervisor = fork();
    if (supervisor < 0)
        return {};
    if (supervisor == 0) {
        // Supervisor: owns the private /tmp, if any, runs the filter, then inspects.
        if (request.privateTmp && !MakePrivateTmp())
            _exit(kNoPrivateTmp);
        if (request.setup)
            request.setup();
        int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string outFile = request.stdoutPath.empty() ? outPath : request.stdoutPath;
        int outFd = request.readOutput ? outPipe[1]
                                       : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int inFd = request.feedInput ? inPipe[0] : open(request.stdinPath.c_str(), O_RDONLY);
        if (request.feedInput)
            close(inPipe[1]);
        if (errFd < 0 || outFd < 0 || inFd < 0)
            _exit(126);
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        pid_t filter = fork();
        if (filter == 0) {
            dup2(inFd, 0);
            dup2(outFd, 1);
            dup2(errFd, 2);
            if (request.readOutput)
                close(outPipe[0]);
            std::vector<std::string> args = request.args;
            std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C"};
            if (!request.privateTmp && request.env.count("TMPDIR") == 0)
                env.push_back("TMPDIR=" + spool);
            for (const auto &[name, value] : request.env)
                env.push_back(name + "=" + value);
            std::vector<char *> envp = CStrings(env);
            if (request.addressSpaceLimit != 0) {
                struct rlimit limit;
                limit.rlim_cur = limit.rlim_max = (rlim_t)request.addressSpaceLimit;
                setrlimit(RLIMIT_AS, &limit);
            }
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);  // a filter ended by SIGQUIT leaves no core file
            if (request.fileSizeLimit != 0) {
                struct rlimit limit;
                limit.rlim_cur = limit.rlim_max = (rlim_t)request.fileSizeLimit;
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            ExecProgram(FilterPath(), args, envp.data());
            _exit(127);
        }
        if (request.readOutput) {
            close(outPipe[0]);
            close(outPipe[1]);
        }
        // Tell the parent the filter's pid, so it can signal the filter while it runs.
        {
            std::ofstream pidFile(scratch / "pid.part");
            pidFile << filter;
        }
        rename((scratch / "pid.part").c_str(), (scratch / "pid").c_str());
        int status = 0;
        while (waitpid(filter, &status, 0) < 0 && errno == EINTR) {
        }
        {
            std::ofstream secondsFile(secondsPath);
            secondsFile << SecondsSince(start);
        }
        if (request.inspect) {
            int fd = open(inspectPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                WriteAll(fd, request.inspect());
                close(fd);
            }
        }
        {
            std::ofstream leftovers(leftoversPath);
            leftovers << (request.privateTmp ? ListPrivateTmp() : ListFolder(spool));
        }
        _exit(StatusOf(status) == kNoPrivateTmp ? 1 : StatusOf(status));
    }

    std::string streamed;
    if (request.readOutput)
        close(outPipe[1]);
    if (request.feedInput) {
        close(inPipe[0]);
        signal(SIGPIPE, SIG_IGN);  // a filter that stops reading must not end the test
    }
    int filterPid = 0;
    if (request.whileRunning || request.feedInput || request.readOutput) {
        const std::string pidPath = scratch / "pid";
        for (int i = 0; i < 2000 && filterPid == 0; ++i) {
            std::string text = ReadFile(pidPath);
            if (!text.empty())
                filterPid = atoi(text.c_str());
            if (filterPid == 0)
                usleep(1000);
        }
        if (request.feedInput) {
            request.feedInput(filterPid, inPipe[1]);
            close(inPipe[1]);
        }
        if (filterPid > 0 && request.whileRunning)
            request.whileRunning(filterPid);
    }
    if (request.readOutput) {
        streamed = request.readOutput(outPipe[0], filterPid);
        close(outPipe[0]);
    }

    int status = 0;
    while (waitpid(supervisor, &status, 0) < 0 && errno == EINTR) {
    }
    FilterRun run;
    if (StatusOf(status) == kNoPrivateTmp)
        return run;
    run.started = true;
    run.exitStatus = StatusOf(status);
    run.out = request.readOutput ? streamed : ReadFile(outPath);
    run.err = ReadFile(errPath);
    run.inspection = ReadFile(inspectPath);
    run.leftovers = ReadFile(leftoversPath);
    run.seconds = atof(ReadFile(secondsPath).c_str());
    return run;
}

}  // namespace gditest
