// Status line helpers.
#include "gdi/JobPorts.h"

#include <stdarg.h>
#include <stdio.h>

#include "common/CUPSDebug.h"

namespace {

constexpr size_t kMessageSize = 1024;

// Formats the message, writes it to the log and hands it to `report`.
void Report(StatusReporter &reporter, void (StatusReporter::*report)(const char *),
            const char *format, va_list args) {
    char message[kMessageSize];
    vsnprintf(message, sizeof(message), format, args);
    CPSDebugLog("%s", message);
    (reporter.*report)(message);
}

}  // namespace

void ReportJobError(StatusReporter &reporter, const char *format, ...) {
    va_list args;
    va_start(args, format);
    Report(reporter, &StatusReporter::Error, format, args);
    va_end(args);
}

void ReportJobInfo(StatusReporter &reporter, const char *format, ...) {
    va_list args;
    va_start(args, format);
    Report(reporter, &StatusReporter::Info, format, args);
    va_end(args);
}
