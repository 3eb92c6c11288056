// Status line helpers.
#include "gdi/JobPorts.h"

#include <stdarg.h>
#include <stdio.h>

#include "common/CUPSDebug.h"

namespace {

constexpr size_t kMessageSize = 1024;

}  // namespace

void ReportJobError(StatusReporter &reporter, const char *format, ...) {
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    CPSDebugLog("%s", message);
    reporter.Error(message);
}

void ReportJobInfo(StatusReporter &reporter, const char *format, ...) {
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    CPSDebugLog("%s", message);
    reporter.Info(message);
}
