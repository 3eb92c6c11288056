// Diagnostic log of the filter: standard error, or /tmp/CUPSDebug.log when the
// switch file /tmp/gdidebug exists when the filter starts.
#ifndef GDI_COMMON_CUPSDEBUG_H
#define GDI_COMMON_CUPSDEBUG_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// The log destination: null (log nothing), stderr, or the opened log file.
extern FILE *gDebugFile;

void DebugStart(void);
void DebugEnd(void);
int CPSDebugLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void CPSDebugLogHexDump(const unsigned char *bytes, unsigned count);
void CPSDebugAssert_(const char *format, ...) __attribute__((format(printf, 1, 2)));
void OutputTmpFile(const char *path, const void *data, unsigned count);

#ifdef __cplusplus
}
#endif

#endif
