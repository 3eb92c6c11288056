// The filter's diagnostic log.
#include "common/CUPSDebug.h"

#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

FILE *gDebugFile = nullptr;

namespace {

const char kDebugSwitchPath[] = "/tmp/gdidebug";
const char kDebugLogPath[] = "/tmp/CUPSDebug.log";

// /tmp is world-writable: never follow a link planted there, append only to a
// regular file, and change the mode through the open descriptor. O_NONBLOCK keeps
// a planted FIFO from blocking the open until somebody reads it.
FILE *OpenLogFileSafely() {
    int fd = open(kDebugLogPath,
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    fchmod(fd, 0666);
    FILE *stream = fdopen(fd, "a");
    if (stream == nullptr) {
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
    gDebugFile = OpenLogFileSafely();
    if (gDebugFile == nullptr) {
        perror("DEBUG: Unable to open debug log for writing, switching to stderr");
        gDebugFile = stderr;
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
    struct tm now;
    if (LocalTimeNow(&now)) {
        fprintf(out, "%2.2d/%2.2d/%2.2d %2.2d:%2.2d.%4.4d (%d) ", now.tm_mon + 1, now.tm_mday,
                now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec, (int)getpid());
    }
    va_list args;
    va_start(args, format);
    int written = vfprintf(out, format, args);
    va_end(args);
    fputc('\n', out);
    fflush(out);
    return written;
}

extern "C" void CPSDebugLogHexDump(const unsigned char *bytes, unsigned count) {
    DebugStart();
    FILE *out = gDebugFile;
    if (out == nullptr)
        return;
    fputs("    ", out);
    for (unsigned i = 0; i < count; ++i) {
        fprintf(out, "0x%2.2x ", bytes[i]);
        if ((i + 1) % 8 == 0 && i + 1 < count)
            fputs("\n    ", out);
    }
    fputc('\n', out);
    fflush(out);
}

extern "C" void CPSDebugAssert_(const char *format, ...) {
    DebugStart();
    FILE *out = gDebugFile;
    if (out == nullptr)
        return;
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) == 0) {
        struct tm now;
        time_t seconds = tv.tv_sec;
        if (localtime_r(&seconds, &now) != nullptr) {
            fprintf(out, "%2.2d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d.%4.4d (%d) ", now.tm_mon + 1,
                    now.tm_mday, now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec,
                    (int)tv.tv_usec, (int)getpid());
        }
    }
    fputs("ASSERT: ", out);
    va_list args;
    va_start(args, format);
    vfprintf(out, format, args);
    va_end(args);
    fputc('\n', out);
    fflush(out);
}

extern "C" void OutputTmpFile(const char *path, const void *data, unsigned count) {
    FILE *file = fopen(path, "wb+");
    if (file == nullptr)
        return;
    if (count > 0 && data != nullptr)
        fwrite(data, 1, count, file);
    fclose(file);
}
