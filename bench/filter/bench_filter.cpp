// Whole-filter benchmark. Makes 600-dpi A4 CUPS raster jobs through libcups, the way
// raster from cupsfilter looks (4760 x 6817 pixels of 8-bit grey, 12-point margins,
// PageSize 595 x 842, uncompressed raster as the CUPS raster filters write it), runs the built
// rastertogdi on each as CUPS does (fork and exec, PPD in the environment, raster on standard
// input, diagnostic log on a pipe), once with standard output on /dev/null and once on a pipe read
// slowly, and prints per job: wall time, CPU time per page of the filter process (user + system),
// its peak resident memory, and the output bytes per page.
//
// In the same run it measures the floors (a memcpy of one page buffer, reading the
// same raster with cupsRasterReadPixels alone) and a baseline pipeline: the same raster
// read, toned and placed, halftoned byte by byte with the same screen, and compressed by
// JBIG-KIT's T.85 encoder (LRLTWO, L0 = 256, MX = 0). The baseline's bands are compared
// with the bands the filter sent, byte for byte. Finally a 50-page job shows whether
// peak memory stays flat as the job grows.
//
// The text, photo, blank and duplex jobs also run with GDI_PORTABLE_KERNELS=1 in the
// filter's environment, in turn with the runs on the kernels chosen for this processor,
// and the ratio of their CPU times per page is printed (target: at most 1.5).
//
// Usage: bench_filter [options]
//   --filter PATH     the filter to run (default: the one built beside this program)
//   --ppd PATH        the queue's PPD (default: ppd/gdilsr1.ppd of the source tree)
//   --work DIR        where jobs and spool files go (default: a new directory in $TMPDIR
//                     or /var/tmp, removed at the end)
//   --repeat N        runs per job with output to /dev/null; the median is shown (1)
//   --rate BYTES      speed of the slow reader in bytes per second (1000000)
//   --long-pages N    pages of the memory job (50; 0 leaves it out)
//   --no-slow         leave out the slow-reader runs
//   --no-baseline     leave out the JBIG-KIT baseline
//   --no-portable     leave out the runs on the portable kernels
//   --keep            keep the work directory
//   --compressed      write compressed raster instead of uncompressed
//   --make-only N     only write the jobs into --work DIR, at most N pages each (for
//                     profiling the filter on them), and stop
// Exit status: 0 when every filter run succeeded and its output checked out, whether or
// not the targets were met; 1 otherwise.
#include <cups/raster.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <math.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <jbig85.h>
}

#include "common/CUPSDebug.h"
#include "gdi/DitherTables.h"
#include "tools/GreyRasterHeader.h"
#include "options/QNVCUPSFilter.h"
#include "gdi/Halftone.h"
#include "gdi/QNVImageProcess.h"
#include "gdi/ToneMap.h"
#include "jbig/jbigInternal.h"
#include "tools/gdi_decode.h"

extern char **environ;

namespace {

// The page as cupsfilter makes it for an A4 queue at 600 dpi.
constexpr unsigned kWidth = 4760;
constexpr unsigned kHeight = 6817;
constexpr unsigned kResolution = 600;
constexpr unsigned kMarginPoints = 12;
constexpr unsigned kPaperPoints[2] = {595, 842};
// The filter's page buffer for it: margins of 100 dots, width aligned to 128 dots.
constexpr unsigned kMarginDots = kResolution * kMarginPoints / 72;
constexpr unsigned kPageWidth = ((kWidth + 2 * kMarginDots + 7) / 8 * 8 + 127) / 128 * 128;
constexpr unsigned kPageLines = kHeight + 2 * kMarginDots;
constexpr size_t kPageBufferBytes = (size_t)kPageWidth * kPageLines;
constexpr unsigned kBandLines = 256;
constexpr unsigned kRowBytes = kPageWidth / 8;

constexpr double kMiB = 1024.0 * 1024.0;

using Bytes = std::vector<unsigned char>;

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

double ThreadCpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Resident memory of this process now, in bytes.
double SelfRss() {
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == nullptr)
        return 0;
    unsigned long size = 0, resident = 0;
    const int got = fscanf(f, "%lu %lu", &size, &resident);
    fclose(f);
    return got == 2 ? (double)resident * (double)sysconf(_SC_PAGESIZE) : 0;
}

// ---------------------------------------------------------------------------------------
// Page content, 0 white .. 255 black (colour space K, as the PPD asks for).

enum class Content { kText, kPhoto, kBlank };

struct Rng {
    uint32_t state;
    explicit Rng(uint32_t seed) : state(seed * 2654435761u + 0x9E3779B9u) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    int Range(int low, int high) { return low + (int)(Next() % (uint32_t)(high - low + 1)); }
};

void FillRect(Bytes &page, int x0, int y0, int w, int h, unsigned char level) {
    const int x1 = std::min<int>(x0 + w, kWidth), y1 = std::min<int>(y0 + h, kHeight);
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    if (x1 <= x0)
        return;
    for (int y = y0; y < y1; ++y)
        memset(page.data() + (size_t)y * kWidth + x0, level, (size_t)(x1 - x0));
}

// Paragraphs of 11-point-like text: lines every 100 dots, glyphs 30 to 70 dots high
// built from black strokes 6 to 9 dots wide, words, paragraph gaps, 1-inch margins.
void TextPage(Bytes &page, unsigned seed) {
    std::fill(page.begin(), page.end(), 0);
    Rng rng(seed);
    const int margin = 600 - (int)kMarginDots, pitch = 100, xHeight = 42, ascender = 66;
    int linesLeft = rng.Range(3, 12);
    for (int base = margin + ascender; base < (int)kHeight - margin; base += pitch) {
        if (linesLeft-- == 0) {
            linesLeft = rng.Range(3, 12);
            continue;
        }
        const int right = (int)kWidth - margin - (linesLeft == 0 ? rng.Range(0, 900) : 0);
        int x = margin;
        while (x < right) {
            const int letters = rng.Range(1, 9);
            for (int i = 0; i < letters && x < right; ++i) {
                const int w = rng.Range(26, 46), s = rng.Range(6, 9);
                switch (rng.Range(0, 6)) {
                    case 0:  // o
                        FillRect(page, x, base - xHeight, w, s, 255);
                        FillRect(page, x, base - s, w, s, 255);
                        FillRect(page, x, base - xHeight, s, xHeight, 255);
                        FillRect(page, x + w - s, base - xHeight, s, xHeight, 255);
                        break;
                    case 1:  // l
                        FillRect(page, x + w / 3, base - ascender, s, ascender, 255);
                        break;
                    case 2:  // n
                        FillRect(page, x, base - xHeight, s, xHeight, 255);
                        FillRect(page, x, base - xHeight, w, s, 255);
                        FillRect(page, x + w - s, base - xHeight, s, xHeight, 255);
                        break;
                    case 3:  // e
                        FillRect(page, x, base - xHeight, w, s, 255);
                        FillRect(page, x, base - xHeight / 2, w, s, 255);
                        FillRect(page, x, base - s, w, s, 255);
                        FillRect(page, x, base - xHeight, s, xHeight, 255);
                        break;
                    case 4:  // v
                        for (int k = 0; k < xHeight; ++k) {
                            FillRect(page, x + k * w / (2 * xHeight), base - xHeight + k, s, 1,
                                     255);
                            FillRect(page, x + w - s - k * w / (2 * xHeight), base - xHeight + k, s,
                                     1, 255);
                        }
                        break;
                    case 5:  // i
                        FillRect(page, x + w / 3, base - ascender + 4, s, s, 255);
                        FillRect(page, x + w / 3, base - xHeight, s, xHeight, 255);
                        break;
                    default:  // d
                        FillRect(page, x, base - xHeight, w - s, s, 255);
                        FillRect(page, x, base - s, w - s, s, 255);
                        FillRect(page, x, base - xHeight, s, xHeight, 255);
                        FillRect(page, x + w - s, base - ascender, s, ascender, 255);
                        break;
                }
                x += w + 8;
            }
            x += 28;
        }
    }
}

// Smooth ramps across the page with a slow wave and noise of +-24 levels on top.
void PhotoPage(Bytes &page, unsigned seed) {
    std::vector<double> waveX(kWidth), waveY(kHeight);
    for (unsigned x = 0; x < kWidth; ++x)
        waveX[x] = sin((x + 97.0 * seed) / 310.0);
    for (unsigned y = 0; y < kHeight; ++y)
        waveY[y] = cos(y / 430.0);
    Rng rng(seed);
    for (unsigned y = 0; y < kHeight; ++y) {
        unsigned char *line = page.data() + (size_t)y * kWidth;
        for (unsigned x = 0; x < kWidth; ++x) {
            const double ramp = 255.0 * (0.65 * x / kWidth + 0.35 * y / kHeight);
            const int noise = (int)(rng.Next() % 49) - 24;
            const int level = (int)(ramp + 40.0 * waveX[x] * waveY[y]) + noise;
            line[x] = (unsigned char)std::clamp(level, 0, 255);
        }
    }
}

void MakePage(Bytes &page, Content content, unsigned seed) {
    switch (content) {
        case Content::kText:
            TextPage(page, seed);
            break;
        case Content::kPhoto:
            PhotoPage(page, seed);
            break;
        default:
            std::fill(page.begin(), page.end(), 0);
            break;
    }
}

bool WriteJob(const std::string &path, Content content, unsigned pages, bool duplex,
              bool compressed) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    cups_raster_t *raster =
        cupsRasterOpen(fd, compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    bool ok = raster != nullptr;
    Bytes page((size_t)kWidth * kHeight);
    for (unsigned p = 0; ok && p < pages; ++p) {
        cups_page_header2_t h = GreyRasterHeader(kWidth, kHeight, kResolution, kMarginPoints);
        strcpy(h.MediaClass, "PwgRaster");
        h.ImagingBoundingBox[0] = kMarginPoints;
        h.ImagingBoundingBox[1] = kMarginPoints;
        h.ImagingBoundingBox[2] = kPaperPoints[0] - kMarginPoints;
        h.ImagingBoundingBox[3] = kPaperPoints[1] - kMarginPoints;
        h.PageSize[0] = kPaperPoints[0];
        h.PageSize[1] = kPaperPoints[1];
        h.Duplex = duplex ? CUPS_TRUE : CUPS_FALSE;
        h.cupsPageSize[0] = (float)kPaperPoints[0];
        h.cupsPageSize[1] = (float)kPaperPoints[1];
        h.cupsImagingBBox[0] = h.cupsImagingBBox[1] = (float)kMarginPoints;
        h.cupsImagingBBox[2] = (float)(kPaperPoints[0] - kMarginPoints);
        h.cupsImagingBBox[3] = (float)(kPaperPoints[1] - kMarginPoints);
        strcpy(h.cupsPageSizeName, "A4");
        MakePage(page, content, p + 1);
        ok = cupsRasterWriteHeader2(raster, &h) != 0;
        for (unsigned y = 0; ok && y < kHeight; ++y)
            ok = cupsRasterWritePixels(raster, page.data() + (size_t)y * kWidth, kWidth) == kWidth;
    }
    if (raster != nullptr)
        cupsRasterClose(raster);
    if (close(fd) != 0)
        ok = false;
    return ok;
}

// ---------------------------------------------------------------------------------------
// Running the filter.

struct Config {
    std::string filter = GDI_BENCH_FILTER_PATH;
    std::string ppd = GDI_BENCH_PPD_PATH;
    std::string work;
    bool ownWork = true;
    int repeat = 1;
    double rate = 1e6;
    unsigned longPages = 50;
    bool slow = true;
    bool baseline = true;
    bool portable = true;
    bool keep = false;
    unsigned makeOnlyPages = 0;  // 0: run the benchmark
    bool compressed = false;
};

struct SpoolUse {
    unsigned files = 0;
    unsigned long long bytes = 0;
};

// The spool data the filter `pid` holds in files of `dir`: a spool file is removed from
// its folder as soon as it is made, so it is found among the filter's open files, and
// the disk space it takes (sent data is given back) is what waits in it.
SpoolUse ScanOpenSpool(pid_t pid, const std::string &dir) {
    SpoolUse use;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(fds.c_str());
    if (d == nullptr)
        return use;
    while (dirent *e = readdir(d)) {
        char target[4096];
        const std::string link = fds + "/" + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, dir.c_str(), dir.size()) != 0)
            continue;
        struct stat st;
        if (stat(link.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ++use.files;
            use.bytes += (unsigned long long)st.st_blocks * 512;
        }
    }
    closedir(d);
    return use;
}

SpoolUse ScanSpool(const std::string &dir) {
    SpoolUse use;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return use;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st;
        if (stat((dir + "/" + e->d_name).c_str(), &st) == 0) {
            ++use.files;
            use.bytes += (unsigned long long)st.st_size;
        }
    }
    closedir(d);
    return use;
}

void EmptyDir(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            unlink((dir + "/" + e->d_name).c_str());
    }
    closedir(d);
}

struct Run {
    bool ok = false;
    std::string problem;
    double wall = 0;        // seconds from fork to exit
    double cpu = 0;         // user + system of the filter process, seconds
    double sys = 0;         // the system part of it
    double maxRss = 0;      // bytes
    double lastPageAt = 0;  // seconds from fork to the end of the last page's work
    unsigned pagesReported = 0;
    unsigned long long outBytes = 0;  // counted by the slow reader only
    SpoolUse maxSpool;
    double parentRss = 0;  // this process's resident memory when the child was made
};

// Reads the filter's diagnostic log, noting when the work of each page ended (it is
// spooled then; its PAGE: line comes once it has gone out) and counting the pages out.
struct LogReader {
    int fd = -1;
    double start = 0;
    double lastPageAt = 0;
    unsigned pages = 0;
    std::string errors;
    void operator()() {
        std::string pending;
        char buffer[8192];
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof(buffer));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            const double at = Now() - start;
            pending.append(buffer, (size_t)got);
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line.compare(0, 5, "PAGE:") == 0) {
                    ++pages;
                } else if (line.find("==End Page==") != std::string::npos) {
                    lastPageAt = at;
                } else if (line.compare(0, 6, "ERROR:") == 0 && errors.size() < 1000) {
                    errors += line + "\n";
                }
            }
        }
    }
};

// Runs the filter on `input`. With rate > 0 its standard output is a pipe read at that
// many bytes per second (bursts of at most 64 KiB) into `capture`; otherwise /dev/null.
Run RunFilter(const Config &config, const std::string &input, const std::string &options,
              const std::string &spoolDir, double rate, const std::string &capture,
              bool portableKernels = false, unsigned threads = 0) {
    Run run;
    malloc_trim(0);
    run.parentRss = SelfRss();
    const int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    int errPipe[2], outPipe[2] = {-1, -1};
    if (in < 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        run.problem = "cannot open the job";
        return run;
    }
    int out = -1;
    if (rate > 0) {
        if (pipe2(outPipe, O_CLOEXEC) != 0) {
            run.problem = "no pipe";
            return run;
        }
        out = outPipe[1];
    } else {
        out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }

    const std::string ppdEnv = "PPD=" + config.ppd;
    const std::string tmpEnv = "TMPDIR=" + spoolDir;
    std::vector<std::string> envStrings = {ppdEnv,
                                           tmpEnv,
                                           "PATH=/usr/bin:/bin",
                                           "LANG=C",
                                           "CONTENT_TYPE=application/vnd.cups-raster",
                                           "FINAL_CONTENT_TYPE=application/vnd.cups-raster",
                                           "PRINTER=bench-laser"};
    if (portableKernels)
        envStrings.push_back("GDI_PORTABLE_KERNELS=1");
    if (threads > 0)
        envStrings.push_back("GDI_THREADS=" + std::to_string(threads));
    std::vector<char *> envp;
    for (std::string &s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = {"bench-laser", "1", "bench", "bench job", "1", options};
    std::vector<char *> argv;
    for (std::string &s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    const double start = Now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(errPipe[1], 2);
        execve(config.filter.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(errPipe[1]);
    if (pid < 0) {
        close(errPipe[0]);
        if (outPipe[0] >= 0)
            close(outPipe[0]);
        run.problem = "fork failed";
        return run;
    }

    LogReader log;
    log.fd = errPipe[0];
    log.start = start;
    std::thread logThread(std::ref(log));

    if (rate > 0) {
        FILE *sink = fopen(capture.c_str(), "wb");
        std::vector<char> buffer(64 * 1024);
        double allowance = 0, last = Now(), lastScan = 0;
        for (;;) {
            const double t = Now();
            allowance = std::min(allowance + rate * (t - last), (double)buffer.size());
            last = t;
            if (t - lastScan >= 0.05) {
                const SpoolUse use = ScanOpenSpool(pid, spoolDir);
                run.maxSpool.files = std::max(run.maxSpool.files, use.files);
                run.maxSpool.bytes = std::max(run.maxSpool.bytes, use.bytes);
                lastScan = t;
            }
            if (allowance < 4096) {
                usleep(10000);
                continue;
            }
            pollfd p{outPipe[0], POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t got = read(outPipe[0], buffer.data(), (size_t)allowance);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            allowance -= (double)got;
            run.outBytes += (unsigned long long)got;
            if (sink != nullptr)
                fwrite(buffer.data(), 1, (size_t)got, sink);
        }
        close(outPipe[0]);
        if (sink != nullptr)
            fclose(sink);
    }

    int status = 0;
    rusage usage;
    memset(&usage, 0, sizeof(usage));
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.wall = Now() - start;
    logThread.join();
    close(errPipe[0]);
    run.cpu = (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
              (double)usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.sys = (double)usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.maxRss = (double)usage.ru_maxrss * 1024.0;
    run.lastPageAt = log.lastPageAt;
    run.pagesReported = log.pages;

    const SpoolUse left = ScanSpool(spoolDir);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.problem = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "killed by signal " + std::to_string(WTERMSIG(status));
        if (!log.errors.empty())
            run.problem += ": " + log.errors;
    } else if (left.files != 0) {
        run.problem = std::to_string(left.files) + " spool files left behind";
        EmptyDir(spoolDir);
    } else {
        run.ok = true;
    }
    return run;
}

// ---------------------------------------------------------------------------------------
// Floors and the baseline pipeline, in this process.

// Milliseconds of one memcpy of a page buffer: the median of 9 copies between two
// buffers already in memory (warm), and of 5 copies into a freshly allocated buffer
// whose pages are faulted in by the copy (cold), as a new page buffer is.
struct MemcpyFloor {
    double warmMs = 0;
    double coldMs = 0;
};

MemcpyFloor MeasureMemcpy() {
    MemcpyFloor floor;
    Bytes a(kPageBufferBytes), b(kPageBufferBytes);
    for (size_t i = 0; i < a.size(); i += 4096)
        a[i] = (unsigned char)i;
    memset(b.data(), 1, b.size());
    std::vector<double> ms;
    for (int i = 0; i < 9; ++i) {
        const double t = Now();
        memcpy(b.data(), a.data(), a.size());
        ms.push_back((Now() - t) * 1e3);
        a[(size_t)i * 977] ^= b[(size_t)i * 4099];  // keeps the copies from being dropped
    }
    floor.warmMs = Median(ms);
    ms.clear();
    for (int i = 0; i < 5; ++i) {
        std::unique_ptr<unsigned char[]> fresh(new unsigned char[kPageBufferBytes]);
        const double t = Now();
        memcpy(fresh.get(), a.data(), a.size());
        ms.push_back((Now() - t) * 1e3);
        a[(size_t)i * 991] ^= fresh[(size_t)i * 4111];
    }
    floor.coldMs = Median(ms);
    return floor;
}

// CPU seconds of reading every page of the job with cupsRasterReadPixels, line by line.
double ReadFloor(const std::string &path, unsigned *pages) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const double start = ThreadCpu();
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    Bytes line;
    *pages = 0;
    while (raster != nullptr && cupsRasterReadHeader2(raster, &h)) {
        line.resize(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; ++y)
            cupsRasterReadPixels(raster, line.data(), h.cupsBytesPerLine);
        ++*pages;
    }
    if (raster != nullptr)
        cupsRasterClose(raster);
    const double cpu = ThreadCpu() - start;
    close(fd);
    return cpu;
}

void Collect(unsigned char *start, size_t length, void *user) {
    Bytes *out = static_cast<Bytes *>(user);
    out->insert(out->end(), start, start + length);
}

struct BaselineResult {
    unsigned pages = 0;
    double readCpu = 0;      // read, tone, place into the page buffer
    double halftoneCpu = 0;  // byte-by-byte threshold screen
    double jbigCpu = 0;      // JBIG-KIT
    unsigned long long codedBytes = 0;
    unsigned bandsCompared = 0;
    unsigned bandsDiffering = 0;
    std::string compareNote;
    double Total() const { return readCpu + halftoneCpu + jbigCpu; }
};

// The filter's band equals JBIG-KIT's image apart from the header's order byte,
// followed by zero padding to 20 + 32 k bytes.
bool SameBand(const std::vector<uint8_t> &ours, const Bytes &reference) {
    if (ours.size() < reference.size() || ours.size() - reference.size() >= 32)
        return false;
    for (size_t k = 0; k < reference.size(); ++k) {
        if (k != 18 && ours[k] != reference[k])
            return false;
    }
    return std::all_of(ours.begin() + (long)reference.size(), ours.end(),
                       [](uint8_t c) { return c == 0; });
}

// The page work of the filter done with plain loops and JBIG-KIT. When `filterOutput`
// names the filter's output for the same (simplex) job, every band is compared.
BaselineResult Baseline(const Config &config, const std::string &path, const std::string &options,
                        const std::string &filterOutput) {
    BaselineResult result;
    // The tone table from the same PPD and options as the filter has.
    setenv("PPD", config.ppd.c_str(), 1);
    const char *args[] = {"bench-laser", "1", "bench", "bench job", "1", options.c_str()};
    QNVCUPSFilter jobOptions(6, args);
    QNVImageProcess tone;
    tone.GenerateGrayGammaTable(jobOptions.GetBrightness(), jobOptions.GetContrast());

    gdidecode::ParsedStream stream;
    bool haveStream = false;
    if (!filterOutput.empty()) {
        FILE *f = fopen(filterOutput.c_str(), "rb");
        Bytes bytes;
        if (f != nullptr) {
            unsigned char chunk[65536];
            size_t got;
            while ((got = fread(chunk, 1, sizeof(chunk), f)) > 0)
                bytes.insert(bytes.end(), chunk, chunk + got);
            fclose(f);
        }
        gdidecode::ParseError error;
        haveStream = gdidecode::ParseBuffer(bytes.data(), bytes.size(), &stream, &error);
        if (!haveStream)
            result.compareNote = "filter output does not parse: " + error.reason;
    }

    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return result;
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    Bytes zero(kRowBytes, 0), bits((size_t)kRowBytes * kBandLines);
    while (raster != nullptr && cupsRasterReadHeader2(raster, &h)) {
        double t = ThreadCpu();
        const unsigned xMargin = h.HWResolution[0] * h.Margins[0] / 72;
        const unsigned yMargin = h.HWResolution[1] * h.Margins[1] / 72;
        const unsigned width = ((h.cupsWidth + 2 * xMargin + 7) / 8 * 8 + 127) / 128 * 128;
        const unsigned lines = h.cupsHeight + 2 * yMargin;
        const unsigned rowBytes = width / 8;
        if (width != kPageWidth || lines != kPageLines)
            break;
        Bytes grey((size_t)width * lines, 0);
        for (unsigned y = 0; y < h.cupsHeight; ++y) {
            unsigned char *row = grey.data() + (size_t)(y + yMargin) * width + xMargin;
            cupsRasterReadPixels(raster, row, h.cupsBytesPerLine);
            tone.AdjustGrayscaleLine(row, h.cupsBytesPerLine);
        }
        const double afterRead = ThreadCpu();
        result.readCpu += afterRead - t;
        const gdidecode::ParsedPage *page = haveStream && result.pages < stream.pages.size()
                                                ? &stream.pages[result.pages]
                                                : nullptr;
        for (unsigned band = 0; band * kBandLines < lines; ++band) {
            const unsigned bandLines = std::min(kBandLines, lines - band * kBandLines);
            t = ThreadCpu();
            std::fill(bits.begin(), bits.end(), 0);
            for (unsigned y = 0; y < bandLines; ++y) {
                const unsigned pageLine = band * kBandLines + y;
                const unsigned char *in = grey.data() + (size_t)pageLine * width;
                const unsigned char *threshold = kDitherThresholdMatrix[pageLine % kDitherCellSize];
                unsigned char *out = bits.data() + (size_t)y * rowBytes;
                for (unsigned x = 0; x < width; ++x) {
                    if (in[x] >= threshold[x % kDitherCellSize])
                        out[x / 8] |= (unsigned char)(0x80u >> (x % 8));
                }
            }
            const double afterHalftone = ThreadCpu();
            result.halftoneCpu += afterHalftone - t;
            Bytes bie;
            bie.reserve((size_t)rowBytes * bandLines);
            jbg85_enc_state s;
            jbg85_enc_init(&s, width, bandLines, Collect, &bie);
            jbg85_enc_options(&s, JBG_LRLTWO, kBandLines, 0);
            for (unsigned y = 0; y < bandLines; ++y) {
                unsigned char *line = bits.data() + (size_t)y * rowBytes;
                jbg85_enc_lineout(&s, line, y >= 1 ? line - rowBytes : zero.data(),
                                  y >= 2 ? line - 2 * rowBytes : zero.data());
            }
            result.jbigCpu += ThreadCpu() - afterHalftone;
            result.codedBytes += bie.size();
            if (haveStream) {
                ++result.bandsCompared;
                if (page == nullptr || band >= page->bands.size() ||
                    !SameBand(page->bands[band].data, bie)) {
                    ++result.bandsDiffering;
                }
            }
        }
        ++result.pages;
    }
    if (raster != nullptr)
        cupsRasterClose(raster);
    close(fd);
    if (haveStream && stream.pages.size() != result.pages) {
        result.compareNote = "filter sent " + std::to_string(stream.pages.size()) +
                             " pages, the job has " + std::to_string(result.pages);
        result.bandsDiffering = std::max(result.bandsDiffering, 1u);
    }
    return result;
}

// ---------------------------------------------------------------------------------------

struct JobPlan {
    std::string name;
    Content content;
    unsigned pages;
    bool duplex;
    bool memoryJob;  // run once, to /dev/null only, for its peak memory
    std::string path;
};

struct JobFigures {
    JobPlan plan;
    std::vector<Run> nullRuns;
    std::vector<Run> portableRuns;  // /dev/null, GDI_PORTABLE_KERNELS=1
    std::vector<Run> singleRuns;    // /dev/null, GDI_THREADS=1
    Run slowRun;
    bool haveSlow = false;
    unsigned readPages = 0;
    double readCpu = 0;
    BaselineResult baseline;
    bool haveBaseline = false;

    double CpuPerPageMs() const {
        std::vector<double> v;
        for (const Run &r : nullRuns)
            v.push_back(r.cpu / plan.pages * 1e3);
        return Median(v);
    }
    double PortableCpuPerPageMs() const {
        std::vector<double> v;
        for (const Run &r : portableRuns)
            v.push_back(r.cpu / plan.pages * 1e3);
        return Median(v);
    }
    double SysPerPageMs() const {
        std::vector<double> v;
        for (const Run &r : nullRuns)
            v.push_back(r.sys / plan.pages * 1e3);
        return Median(v);
    }
    double WallS() const {
        std::vector<double> v;
        for (const Run &r : nullRuns)
            v.push_back(r.wall);
        return Median(v);
    }
    // Median CPU and wall milliseconds per page of `runs`.
    double CpuMs(const std::vector<Run> &runs) const {
        std::vector<double> v;
        for (const Run &r : runs)
            v.push_back(r.cpu / plan.pages * 1e3);
        return Median(v);
    }
    double WallMs(const std::vector<Run> &runs) const {
        std::vector<double> v;
        for (const Run &r : runs)
            v.push_back(r.wall / plan.pages * 1e3);
        return Median(v);
    }
    double MaxRss() const {
        double m = 0;
        for (const Run &r : nullRuns)
            m = std::max(m, r.maxRss);
        return m;
    }
};

// CPU per page as a multiple of the memcpy, and wall time per page on every processor.
double CpuTarget(Content content) {
    return content == Content::kPhoto ? 28 : content == Content::kBlank ? 2.5 : 10;
}
double WallTarget(Content content) {
    return content == Content::kPhoto ? 18 : content == Content::kBlank ? 0 : 7;
}

// The same jobs with the bands coded on one thread (GDI_THREADS=1) and on every
// processor this process may use, per page as multiples of the memcpy.
void PrintThreadTable(const std::vector<JobFigures> &jobs, double memcpyMs) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int processors = sched_getaffinity(0, sizeof(set), &set) == 0 ? CPU_COUNT(&set) : 1;
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf(
        "\nBand coding threads: 1 against all %d processors (load average %.2f when done), per "
        "page, x memcpy (%.2f ms)\n",
        processors, load[0], memcpyMs);
    printf("%-9s %11s %11s %11s %11s %9s %9s %9s %s\n", "job", "CPU 1 thr", "wall 1 thr", "CPU all",
           "wall all", "CPU tgt", "wall tgt", "peak MiB", "");
    for (const JobFigures &job : jobs) {
        if (job.singleRuns.empty())
            continue;
        const double cpu1 = job.CpuMs(job.singleRuns) / memcpyMs;
        const double wall1 = job.WallMs(job.singleRuns) / memcpyMs;
        const double cpuAll = job.CpuMs(job.nullRuns) / memcpyMs;
        const double wallAll = job.WallMs(job.nullRuns) / memcpyMs;
        const double cpuTarget = CpuTarget(job.plan.content);
        const double wallTarget = WallTarget(job.plan.content);
        double rss = job.MaxRss();
        for (const Run &r : job.singleRuns)
            rss = std::max(rss, r.maxRss);
        char wallText[16] = "-";
        if (wallTarget > 0)
            snprintf(wallText, sizeof(wallText), "<=%.0fx", wallTarget);
        const bool met = cpuAll <= cpuTarget && (wallTarget == 0 || wallAll <= wallTarget);
        printf("%-9s %10.1fx %10.1fx %10.1fx %10.1fx %8s%.4g %9s %9.1f %s\n", job.plan.name.c_str(),
               cpu1, wall1, cpuAll, wallAll, "<=", cpuTarget, wallText, rss / kMiB,
               met ? "met" : "MISSED");
    }
}

void Usage() {
    fprintf(stderr,
            "usage: bench_filter [--filter PATH] [--ppd PATH] [--work DIR] [--repeat N] "
            "[--rate BYTES_PER_S] [--long-pages N] [--no-slow] [--no-baseline] [--no-portable] "
            "[--keep] "
            "[--compressed] [--make-only N]\n");
}

bool ParseArgs(int argc, char **argv, Config *config) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char **out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        const char *v = nullptr;
        if (a == "--filter" && value(&v)) {
            config->filter = v;
        } else if (a == "--ppd" && value(&v)) {
            config->ppd = v;
        } else if (a == "--work" && value(&v)) {
            config->work = v;
            config->ownWork = false;
        } else if (a == "--repeat" && value(&v)) {
            config->repeat = std::max(1, atoi(v));
        } else if (a == "--rate" && value(&v)) {
            config->rate = std::max(1000.0, atof(v));
        } else if (a == "--long-pages" && value(&v)) {
            config->longPages = (unsigned)std::max(0, atoi(v));
        } else if (a == "--no-slow") {
            config->slow = false;
        } else if (a == "--no-baseline") {
            config->baseline = false;
        } else if (a == "--no-portable") {
            config->portable = false;
        } else if (a == "--make-only" && value(&v)) {
            config->makeOnlyPages = (unsigned)std::max(1, atoi(v));
            config->keep = true;
        } else if (a == "--compressed") {
            config->compressed = true;
        } else if (a == "--keep") {
            config->keep = true;
        } else {
            Usage();
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Config config;
    if (!ParseArgs(argc, argv, &config))
        return 2;
    signal(SIGPIPE, SIG_IGN);
    gDebugFile = nullptr;  // the options read in this process log nothing

    if (access(config.filter.c_str(), X_OK) != 0 || access(config.ppd.c_str(), R_OK) != 0) {
        fprintf(stderr, "bench_filter: cannot run %s with %s\n", config.filter.c_str(),
                config.ppd.c_str());
        return 2;
    }
    if (config.work.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/var/tmp") +
                              "/bench-filter-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            perror("bench_filter: mkdtemp");
            return 2;
        }
        config.work = pattern;
    } else {
        mkdir(config.work.c_str(), 0700);
    }
    const std::string spoolDir = config.work + "/spool";
    mkdir(spoolDir.c_str(), 0700);

    std::vector<JobPlan> plans = {{"text", Content::kText, 10, false, false, ""},
                                  {"photo", Content::kPhoto, 3, false, false, ""},
                                  {"blank", Content::kBlank, 10, false, false, ""},
                                  {"duplex", Content::kText, 5, true, false, ""}};
    if (config.longPages > 0)
        plans.push_back({"text-" + std::to_string(config.longPages), Content::kText,
                         config.longPages, false, true, ""});

    printf("rastertogdi whole-filter benchmark\n");
    printf("filter %s\nPPD    %s\nwork   %s\n", config.filter.c_str(), config.ppd.c_str(),
           config.work.c_str());
    printf(
        "page: %u x %u pixels of 8-bit grey at %u dpi, margins %u pt; page buffer %u x %u "
        "= %zu bytes (%.1f MiB)\n\n",
        kWidth, kHeight, kResolution, kMarginPoints, kPageWidth, kPageLines, kPageBufferBytes,
        kPageBufferBytes / kMiB);

    if (config.makeOnlyPages > 0) {
        plans.erase(std::remove_if(plans.begin(), plans.end(),
                                   [](const JobPlan &plan) { return plan.memoryJob; }),
                    plans.end());
        for (JobPlan &plan : plans)
            plan.pages = std::min(plan.pages, config.makeOnlyPages);
    }
    bool allOk = true;
    for (JobPlan &plan : plans) {
        plan.path = config.work + "/" + plan.name + ".ras";
        const double t = Now();
        if (!WriteJob(plan.path, plan.content, plan.pages, plan.duplex, config.compressed)) {
            fprintf(stderr, "bench_filter: cannot write %s\n", plan.path.c_str());
            return 2;
        }
        struct stat st;
        stat(plan.path.c_str(), &st);
        printf("made %-8s %2u pages, %s%.1f MB of %s raster (%.1f s)\n", plan.name.c_str(),
               plan.pages, plan.duplex ? "duplex, " : "", st.st_size / 1e6,
               config.compressed ? "compressed" : "uncompressed", Now() - t);
    }
    fflush(stdout);
    if (config.makeOnlyPages > 0)
        return 0;

    const MemcpyFloor copy = MeasureMemcpy();
    const double memcpyMs = copy.warmMs;

    std::vector<JobFigures> jobs;
    for (const JobPlan &plan : plans) {
        JobFigures job;
        job.plan = plan;
        const std::string options = plan.duplex ? "Duplex=DuplexNoTumble" : "";
        const int repeats = plan.memoryJob ? 1 : config.repeat;
        for (int r = 0; r < repeats; ++r) {
            Run run = RunFilter(config, plan.path, options, spoolDir, 0, "");
            if (!run.ok) {
                printf("FAILED %s (/dev/null): %s\n", plan.name.c_str(), run.problem.c_str());
                allOk = false;
            }
            job.nullRuns.push_back(run);
            if (config.portable && !plan.memoryJob) {
                Run portable = RunFilter(config, plan.path, options, spoolDir, 0, "", true);
                if (!portable.ok) {
                    printf("FAILED %s (portable kernels): %s\n", plan.name.c_str(),
                           portable.problem.c_str());
                    allOk = false;
                }
                job.portableRuns.push_back(portable);
            }
            if (!plan.memoryJob) {
                Run single = RunFilter(config, plan.path, options, spoolDir, 0, "", false, 1);
                if (!single.ok) {
                    printf("FAILED %s (one thread): %s\n", plan.name.c_str(),
                           single.problem.c_str());
                    allOk = false;
                }
                job.singleRuns.push_back(single);
            }
        }
        if (config.slow && !plan.memoryJob) {
            job.slowRun = RunFilter(config, plan.path, options, spoolDir, config.rate,
                                    config.work + "/" + plan.name + ".gdi");
            job.haveSlow = true;
            if (!job.slowRun.ok) {
                printf("FAILED %s (slow reader): %s\n", plan.name.c_str(),
                       job.slowRun.problem.c_str());
                allOk = false;
            }
        }
        printf("ran %-8s CPU %.0f ms/page, peak RSS %.1f MiB\n", plan.name.c_str(),
               job.CpuPerPageMs(), job.MaxRss() / kMiB);
        fflush(stdout);
        jobs.push_back(job);
    }

    double maxParentRss = 0;
    for (const JobFigures &job : jobs) {
        for (const Run &r : job.nullRuns)
            maxParentRss = std::max(maxParentRss, r.parentRss);
        maxParentRss = std::max(maxParentRss, job.slowRun.parentRss);
    }

    // Floors and the baseline, after the filter runs so that this process is small
    // whenever it starts a filter (a child's peak memory counts what it was forked with).
    for (JobFigures &job : jobs) {
        job.readCpu = ReadFloor(job.plan.path, &job.readPages);
        const bool compare = job.haveSlow && !job.plan.duplex;
        if (config.baseline && !job.plan.memoryJob) {
            job.baseline =
                Baseline(config, job.plan.path, job.plan.duplex ? "Duplex=DuplexNoTumble" : "",
                         compare ? config.work + "/" + job.plan.name + ".gdi" : "");
            job.haveBaseline = true;
            if (job.baseline.bandsDiffering != 0)
                allOk = false;
        }
    }

    printf(
        "\nFloors: memcpy of one page buffer (%.1f MiB): %.2f ms between buffers in memory "
        "(median of 9; the unit of the multiples below), %.2f ms into a new buffer\n",
        kPageBufferBytes / kMiB, memcpyMs, copy.coldMs);
    printf("%-9s %14s %10s\n", "job", "read ms/page", "x memcpy");
    for (const JobFigures &job : jobs) {
        const double ms = job.readPages ? job.readCpu / job.readPages * 1e3 : 0;
        printf("%-9s %14.1f %10.1f\n", job.plan.name.c_str(), ms, ms / memcpyMs);
    }

    printf(
        "\nFilter, standard output on /dev/null (median of %d run%s; CPU = user + system "
        "of the filter process)\n",
        config.repeat, config.repeat > 1 ? "s" : "");
    printf("%-9s %5s %8s %12s %9s %9s %8s %10s %14s %14s %9s\n", "job", "pages", "wall s",
           "CPU ms/page", "of it sys", "x memcpy", "target", "peak MiB", "out bytes/pg",
           "baseline ms/pg", "speed-up");
    for (const JobFigures &job : jobs) {
        const double cpu = job.CpuPerPageMs();
        const double target = CpuTarget(job.plan.content);
        const double outPerPage =
            job.haveSlow && job.slowRun.ok ? (double)job.slowRun.outBytes / job.plan.pages : -1;
        char out[32], base[32], ratio[32];
        if (outPerPage >= 0)
            snprintf(out, sizeof(out), "%.0f", outPerPage);
        else
            snprintf(out, sizeof(out), "-");
        if (job.haveBaseline && job.baseline.pages > 0) {
            const double baseMs = job.baseline.Total() / job.baseline.pages * 1e3;
            snprintf(base, sizeof(base), "%.1f", baseMs);
            snprintf(ratio, sizeof(ratio), "%.2fx", baseMs / cpu);
        } else {
            snprintf(base, sizeof(base), "-");
            snprintf(ratio, sizeof(ratio), "-");
        }
        char targetText[16];
        snprintf(targetText, sizeof(targetText), "<=%.4gx", target);
        printf("%-9s %5u %8.2f %12.1f %9.1f %9.1f %8s %10.1f %14s %14s %9s\n",
               job.plan.name.c_str(), job.plan.pages, job.WallS(), cpu, job.SysPerPageMs(),
               cpu / memcpyMs, targetText, job.MaxRss() / kMiB, out, base, ratio);
    }

    if (config.portable) {
        printf(
            "\nPortable kernels (GDI_PORTABLE_KERNELS=1) against the ones chosen for this "
            "processor (tone %s, halftone %s, JBIG contexts %s), run in turn, CPU ms/page\n",
            ToneKernelName(SelectedToneKernel()), HalftoneKernelName(SelectedHalftoneKernel()),
            jbigContextKernelName(jbigResolveContextKernel(kJbigContextsFastest)));
        printf("%-9s %10s %10s %16s %8s\n", "job", "chosen", "portable", "portable/chosen",
               "target");
        for (const JobFigures &job : jobs) {
            if (job.portableRuns.empty())
                continue;
            const double chosen = job.CpuPerPageMs(), portable = job.PortableCpuPerPageMs();
            const double ratio = chosen > 0 ? portable / chosen : 0;
            printf("%-9s %10.1f %10.1f %15.2fx %8s\n", job.plan.name.c_str(), chosen, portable,
                   ratio, ratio <= 1.5 ? "met" : "MISSED");
        }
    }

    if (config.baseline) {
        printf(
            "\nBaseline pipeline (this process: cupsRasterReadPixels + tone + place, "
            "byte-by-byte screen, JBIG-KIT T.85 LRLTWO L0=256 MX=0), ms per page\n");
        printf("%-9s %10s %10s %10s %10s %14s %s\n", "job", "read", "halftone", "JBIG-KIT", "total",
               "coded bytes/pg", "bands equal to the filter's");
        for (const JobFigures &job : jobs) {
            if (!job.haveBaseline || job.baseline.pages == 0)
                continue;
            const BaselineResult &b = job.baseline;
            const double n = b.pages;
            std::string equal = "- (not compared)";
            if (b.bandsCompared > 0 || !b.compareNote.empty()) {
                equal = b.bandsDiffering == 0
                            ? "yes, " + std::to_string(b.bandsCompared) + " bands"
                            : "NO, " + std::to_string(b.bandsDiffering) + " of " +
                                  std::to_string(b.bandsCompared) + " differ " + b.compareNote;
            }
            printf("%-9s %10.1f %10.1f %10.1f %10.1f %14.0f %s\n", job.plan.name.c_str(),
                   b.readCpu / n * 1e3, b.halftoneCpu / n * 1e3, b.jbigCpu / n * 1e3,
                   b.Total() / n * 1e3, b.codedBytes / n, equal.c_str());
        }
    }

    if (config.slow) {
        printf("\nFilter, standard output on a pipe read at %.0f bytes/s\n", config.rate);
        printf("%-9s %8s %14s %14s %12s %14s %10s %12s %s\n", "job", "wall s", "pages done at",
               "/dev/null wall", "CPU ms/page", "spooled most", "peak MiB", "output bytes",
               "page work held up?");
        for (const JobFigures &job : jobs) {
            if (!job.haveSlow)
                continue;
            const Run &r = job.slowRun;
            const double nullWall = job.WallS();
            char spool[48];
            snprintf(spool, sizeof(spool), "%u f/%.1f MB", r.maxSpool.files,
                     r.maxSpool.bytes / 1e6);
            // The pages were worked off at the pace of the /dev/null run (with slack
            // for the reader sharing the processors), not at the pace of the reader.
            const bool heldUp = r.lastPageAt > std::max(1.5 * nullWall, nullWall + 1.0);
            const bool readerSlower = r.wall > r.lastPageAt + 0.5;
            printf("%-9s %8.2f %13.2fs %13.2fs %12.1f %14s %10.1f %12llu %s\n",
                   job.plan.name.c_str(), r.wall, r.lastPageAt, nullWall,
                   r.cpu / job.plan.pages * 1e3, spool, r.maxRss / kMiB, r.outBytes,
                   heldUp         ? "YES"
                   : readerSlower ? "no"
                                  : "no (reader kept up)");
        }
    }

    const double limit = kPageBufferBytes + 32 * kMiB;
    printf("\nMemory: peak RSS of the filter (limit: page buffer + 32 MiB = %.1f MiB)\n",
           limit / kMiB);
    printf("%-9s %5s %10s %8s\n", "job", "pages", "peak MiB", "limit");
    double rss10 = 0, rssLong = 0;
    for (const JobFigures &job : jobs) {
        const double rss = std::max(job.MaxRss(), job.haveSlow ? job.slowRun.maxRss : 0.0);
        printf("%-9s %5u %10.1f %8s\n", job.plan.name.c_str(), job.plan.pages, rss / kMiB,
               rss <= limit ? "met" : "MISSED");
        if (job.plan.name == "text")
            rss10 = job.MaxRss();
        if (job.plan.memoryJob)
            rssLong = job.MaxRss();
    }
    if (rssLong > 0) {
        printf("growth from 10 to %u text pages: %+.1f MiB\n", config.longPages,
               (rssLong - rss10) / kMiB);
    }
    printf("(this process had at most %.1f MiB resident when it started a filter)\n",
           maxParentRss / kMiB);

    PrintThreadTable(jobs, memcpyMs);

    printf("\nTargets (CPU per page as a multiple of the memcpy, measured above)\n");
    for (const JobFigures &job : jobs) {
        if (job.plan.memoryJob)
            continue;
        const double target = CpuTarget(job.plan.content);
        const double multiple = job.CpuPerPageMs() / memcpyMs;
        printf("%-9s %6.1fx  target <= %4.3gx  %-6s (%.1fx the copy into a new buffer)\n",
               job.plan.name.c_str(), multiple, target, multiple <= target ? "met" : "MISSED",
               job.CpuPerPageMs() / copy.coldMs);
    }

    if (!config.keep) {
        EmptyDir(spoolDir);
        rmdir(spoolDir.c_str());
        for (const JobPlan &plan : plans) {
            unlink(plan.path.c_str());
            unlink((config.work + "/" + plan.name + ".gdi").c_str());
        }
        if (config.ownWork)
            rmdir(config.work.c_str());
    }
    printf("\n%s\n", allOk ? "all filter runs succeeded" : "SOME FILTER RUNS FAILED");
    return allOk ? 0 : 1;
}
