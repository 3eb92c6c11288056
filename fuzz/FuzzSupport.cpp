#include "fuzz/FuzzSupport.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/CUPSDebug.h"
#include "options/QNVCUPSFilter.h"
#include "gdi/QNVGDIStore.h"
#include "filter/QNVRasterFilter.h"

namespace gdifuzz {

namespace {

std::string gWorkDir;
std::string gSpoolDir;
int gReportFd = 2;
int gNullFd = -1;

size_t CountEntries(const char *dir) {
    DIR *d = opendir(dir);
    if (d == nullptr)
        return 0;
    size_t count = 0;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            ++count;
    }
    closedir(d);
    return count;
}

std::string FirstEntry(const char *dir) {
    DIR *d = opendir(dir);
    if (d == nullptr)
        return "";
    std::string name;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            name = e->d_name;
            break;
        }
    }
    closedir(d);
    return name;
}

void RemoveWorkDir() {
    // Only what the targets put there themselves; a spool file left behind stays for
    // whoever looks into the failure.
    unlink((gWorkDir + "/job.ppd").c_str());
    rmdir(gSpoolDir.c_str());
    rmdir(gWorkDir.c_str());
}

}  // namespace

void InitProcess(const char *name) {
    // TMPDIR is pointed at the spool directory below; processes started from here (the
    // workers of libFuzzer's fork mode) make their directories beside ours, not in it.
    const char *base = getenv("GDI_FUZZ_TMP_BASE");
    if (base == nullptr || base[0] == '\0') {
        base = getenv("TMPDIR");
        if (base == nullptr || base[0] == '\0')
            base = "/tmp";
        setenv("GDI_FUZZ_TMP_BASE", base, 1);
        base = getenv("GDI_FUZZ_TMP_BASE");
    }
    std::string pattern = std::string(base) + "/gdi-fuzz-" + name + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    gWorkDir = pattern;
    gSpoolDir = gWorkDir + "/spool";
    if (mkdir(gSpoolDir.c_str(), 0700) != 0) {
        perror("mkdir");
        abort();
    }
    setenv("TMPDIR", gSpoolDir.c_str(), 1);
    setenv("PPD", ShippedPPD(), 1);
    atexit(RemoveWorkDir);

    gDebugFile = nullptr;
    gReportFd = dup(2);
    if (gReportFd < 0)
        gReportFd = 2;
    fcntl(gReportFd, F_SETFD, FD_CLOEXEC);
    gNullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (gNullFd < 0) {
        perror("/dev/null");
        abort();
    }
    fflush(stdout);
    dup2(gNullFd, 1);
    dup2(gNullFd, 0);
}

const std::string &WorkDir() {
    return gWorkDir;
}

const std::string &SpoolDir() {
    return gSpoolDir;
}

const char *ShippedPPD() {
    return GDI_FUZZ_SOURCE_DIR "/ppd/gdilsr1.ppd";
}

void Fail(const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    dprintf(gReportFd, "\n==FUZZ CHECK FAILED== %s\n", text);
    abort();
}

int MemoryFile(const uint8_t *data, size_t size) {
    const int fd = memfd_create("gdi-fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += (size_t)n;
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::vector<uint8_t> ReadWholeFile(int fd) {
    std::vector<uint8_t> bytes;
    lseek(fd, 0, SEEK_SET);
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

FilterResult RunFilter(const uint8_t *raster, size_t size, const std::string &options,
                       const std::string &title, bool keepOutput) {
    FilterResult result;
    const int input = MemoryFile(raster, size);
    if (input < 0)
        Fail("no memory file for the raster input: %s", strerror(errno));
    dup2(input, 0);
    close(input);
    int output = -1;
    if (keepOutput) {
        output = memfd_create("gdi-fuzz-out", MFD_CLOEXEC);
        if (output < 0)
            Fail("no memory file for the output: %s", strerror(errno));
        fflush(stdout);
        dup2(output, 1);
    }

    const char *argv[] = {"fuzz-laser", "1", "fuzz", title.c_str(), "1", options.c_str(), nullptr};
    {
        QNVCUPSFilter jobOptions(6, argv);
        result.duplex = jobOptions.IsDuplex();
        QNVRasterFilter job{QNVCUPSFilter(jobOptions)};
        result.succeeded = job.Run();
    }
    fflush(stdout);

    if (keepOutput) {
        result.output = ReadWholeFile(output);
        dup2(gNullFd, 1);
        close(output);
    }
    dup2(gNullFd, 0);
    return result;
}

size_t OpenDescriptorCount() {
    return CountEntries("/proc/self/fd");
}

void CheckAfterRun(size_t openBefore) {
    const size_t left = CountEntries(gSpoolDir.c_str());
    if (left != 0) {
        Fail("%zu spool file(s) left behind in %s, e.g. %s", left, gSpoolDir.c_str(),
             FirstEntry(gSpoolDir.c_str()).c_str());
    }
    const int queues = SpoolQueue::LiveQueues();
    if (queues != 0)
        Fail("%d spool queue(s) still exist after the job", queues);
    const size_t open = OpenDescriptorCount();
    if (open > openBefore)
        Fail("the job left %zu descriptor(s) open", open - openBefore);
}

void SplitOptions(const uint8_t *data, size_t size, std::string *options, const uint8_t **raster,
                  size_t *rasterSize) {
    static const char kPrefix[] = "#opts ";
    const size_t prefixLength = sizeof(kPrefix) - 1;
    options->clear();
    *raster = data;
    *rasterSize = size;
    if (size < prefixLength || memcmp(data, kPrefix, prefixLength) != 0)
        return;
    const uint8_t *end = static_cast<const uint8_t *>(memchr(data, '\n', size));
    const size_t lineEnd = end != nullptr ? (size_t)(end - data) : size;
    options->assign(reinterpret_cast<const char *>(data) + prefixLength, lineEnd - prefixLength);
    const size_t rest = end != nullptr ? lineEnd + 1 : size;
    *raster = data + rest;
    *rasterSize = size - rest;
}

}  // namespace gdifuzz
