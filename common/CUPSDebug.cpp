// The filter's diagnostic log. Every line goes out in one write, so that lines of
// several threads never mix, neither with each other nor with the status lines CUPS
// reads from standard error.
#include "common/CUPSDebug.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "common/WriteAll.h"

FILE *gDebugFile = nullptr;

namespace {

const char kDebugSwitchPath[] = "/tmp/gdidebug";
const char kDebugLogPath[] = "/tmp/CUPSDebug.log";
// CUPS files what its filters write on standard error by the line's prefix.
const char kStderrPrefix[] = "DEBUG: ";

constexpr size_t kLineSize = 4096;

// A line being put together, cut short (never overrun) when it grows past its buffer.
struct LineBuffer {
    char text[kLineSize];
    size_t length = 0;

    void Append(const char *format, va_list args) {
        if (length >= sizeof(text) - 1)
            return;
        const int wrote = vsnprintf(text + length, sizeof(text) - 1 - length, format, args);
        if (wrote > 0)
            length = std::min(sizeof(text) - 2, length + (size_t)wrote);
    }
    void AppendF(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        Append(format, args);
        va_end(args);
    }
    void EndLine() { text[length++] = '\n'; }
};

// Writes the whole line with one call: write(2) where the stream has a descriptor.
void WriteLine(FILE *out, const LineBuffer &line) {
    const int fd = fileno(out);
    if (fd < 0) {
        fwrite(line.text, 1, line.length, out);
        fflush(out);
        return;
    }
    WriteAll(fd, line.text, line.length);  // errors of the log itself are ignored
}

void StartLine(FILE *out, LineBuffer *line) {
    if (out == stderr)
        line->AppendF("%s", kStderrPrefix);
}

// Why a file at the log's path is refused: /tmp is world-writable, so the log is only
// ever appended to a regular file of one link that belongs to this user. Null when
// the file is fine.
const char *RefusalOf(const struct stat &st) {
    if (!S_ISREG(st.st_mode))
        return "it is not a regular file";
    if (st.st_nlink != 1)
        return "it has more than one link";
    if (st.st_uid != geteuid())
        return "it belongs to another user";
    return nullptr;
}

// Opens the log file without following a link planted at its path; O_NONBLOCK keeps a
// planted FIFO from blocking the open until somebody reads it. On failure *reason tells
// why.
FILE *OpenLogFileSafely(char *reason, size_t reasonSize) {
    const int fd = open(kDebugLogPath,
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        snprintf(reason, reasonSize, "%s", strerror(errno));
        return nullptr;
    }
    struct stat st;
    const char *refusal = fstat(fd, &st) != 0 ? strerror(errno) : RefusalOf(st);
    if (refusal != nullptr) {
        snprintf(reason, reasonSize, "%s is refused: %s", kDebugLogPath, refusal);
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    fchmod(fd, 0666);
    FILE *stream = fdopen(fd, "a");
    if (stream == nullptr) {
        snprintf(reason, reasonSize, "%s", strerror(errno));
        close(fd);
        return nullptr;
    }
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

bool LocalTimeNow(struct tm *out) {
    time_t now = time(nullptr);
    if (now == (time_t)-1)
        return false;
    return localtime_r(&now, out) != nullptr;
}

}  // namespace

extern "C" void DebugStart(void) {
    if (gDebugFile != nullptr)
        return;
    struct stat st;
    if (stat(kDebugSwitchPath, &st) != 0) {
        gDebugFile = stderr;
        return;
    }
    char reason[256] = "";
    gDebugFile = OpenLogFileSafely(reason, sizeof(reason));
    if (gDebugFile == nullptr) {
        gDebugFile = stderr;
        LineBuffer line;
        line.AppendF("DEBUG: Unable to open debug log for writing, switching to stderr: %s",
                     reason);
        line.EndLine();
        WriteLine(stderr, line);
    }
}

extern "C" void DebugEnd(void) {
    if (gDebugFile != nullptr && gDebugFile != stderr) {
        fclose(gDebugFile);
        gDebugFile = nullptr;
    }
}

extern "C" int CPSDebugLog(const char *format, ...) {
    FILE *out = gDebugFile;
    if (out == nullptr)
        return 0;
    LineBuffer line;
    StartLine(out, &line);
    struct tm now;
    if (LocalTimeNow(&now)) {
        line.AppendF("%2.2d/%2.2d/%2.2d %2.2d:%2.2d.%4.4d (%d) ", now.tm_mon + 1, now.tm_mday,
                     now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec, (int)getpid());
    }
    const size_t messageStart = line.length;
    va_list args;
    va_start(args, format);
    line.Append(format, args);
    va_end(args);
    const int written = (int)(line.length - messageStart);
    line.EndLine();
    WriteLine(out, line);
    return written;
}

extern "C" void CPSDebugLogHexDump(const unsigned char *bytes, unsigned count) {
    DebugStart();
    FILE *out = gDebugFile;
    if (out == nullptr)
        return;
    // One line of the log per eight bytes.
    unsigned i = 0;
    do {
        LineBuffer line;
        line.AppendF("    ");
        for (unsigned k = 0; k < 8 && i < count; ++k, ++i)
            line.AppendF("0x%2.2x ", bytes[i]);
        line.EndLine();
        WriteLine(out, line);
    } while (i < count);
}

extern "C" void CPSDebugAssert_(const char *format, ...) {
    DebugStart();
    FILE *out = gDebugFile;
    if (out == nullptr)
        return;
    LineBuffer line;
    StartLine(out, &line);
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) == 0) {
        struct tm now;
        time_t seconds = tv.tv_sec;
        if (localtime_r(&seconds, &now) != nullptr) {
            line.AppendF("%2.2d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d.%4.4d (%d) ", now.tm_mon + 1,
                         now.tm_mday, now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec,
                         (int)tv.tv_usec, (int)getpid());
        }
    }
    line.AppendF("ASSERT: ");
    va_list args;
    va_start(args, format);
    line.Append(format, args);
    va_end(args);
    line.EndLine();
    WriteLine(out, line);
}

extern "C" void OutputTmpFile(const char *path, const void *data, unsigned count) {
    FILE *file = fopen(path, "wb+");
    if (file == nullptr)
        return;
    if (count > 0 && data != nullptr)
        fwrite(data, 1, count, file);
    fclose(file);
}
