// rastertogdi: CUPS filter from 8-bit grey CUPS raster to the printer's GDI stream.
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/CUPSDebug.h"
#include "options/QNVCUPSFilter.h"
#include "filter/FilterPorts.h"
#include "filter/QNVRasterFilter.h"

namespace {

// Every page makes and frees the same band buffers and coded-data blocks, of up to a
// few hundred kilobytes. By default the allocator maps such blocks afresh, or hands freed
// memory back, each time, and every page then pays a page fault for each 4 KiB of them.
// Keeping them in the heap lets each page reuse the memory of the one before; the page
// buffer itself is mapped on its own and not affected.
//
// One heap for every thread: the allocator would give each band-coding and output thread
// a heap of its own, and each such heap takes 64 MiB of address space however little it
// holds. Under an address-space limit the job would then fail or print depending on which
// thread allocated first; the threads allocate a few blocks a band, so sharing costs
// nothing measurable.
void KeepPageSizedAllocationsInHeap() {
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    mallopt(M_ARENA_MAX, 1);
}

// Run by hand at a terminal with too few arguments (or --help), the filter would wait
// for raster on the terminal: it says how it is called instead. CUPS never runs it so.
bool IsAskedForUsage(int argc, char *argv[]) {
    if (!isatty(STDIN_FILENO))
        return false;
    return argc < 6 || (argc > 1 && strcmp(argv[1], "--help") == 0);
}

// The job's file cannot be read: the user is told which file and why, and the job
// fails, instead of the job's data being taken for something that is not raster.
bool ReportUnopenableInput(int argc, char *argv[], const QNVCUPSFilter &options) {
    if (argc <= 6 || options.GetRasterFileHandle() >= 0)
        return false;
    char message[1024];
    snprintf(message, sizeof(message), "Unable to open the job's file %s: %s", argv[6],
             strerror(options.GetRasterOpenError()));
    // A name with a line break in it would make a status line of its own.
    for (char *c = message; *c != '\0'; ++c) {
        if ((unsigned char)*c < 0x20)
            *c = '?';
    }
    CPSDebugLog("%s", message);
    WriteStatusLine("ERROR: ", message);
    return true;
}

}  // namespace

int main(int argc, char *argv[]) {
    if (IsAskedForUsage(argc, argv)) {
        fputs("Usage: rastertogdi job-id user title copies options [file]\n", stderr);
        return 1;
    }
    // First of all: a SIGTERM while the options and the PPD are read is a cancel.
    InstallSignalHandlers();
    // A file grown past the size limit is a write error that ends the job with a
    // message, not a signal that kills it.
    signal(SIGXFSZ, SIG_IGN);
    KeepPageSizedAllocationsInHeap();
    DebugStart();
    CPSDebugLog("Welcome to GDI filter process!");
    QNVCUPSFilter options(argc, const_cast<const char **>(argv));
    if (ReportUnopenableInput(argc, argv, options)) {
        DebugEnd();
        return 1;
    }
    QNVRasterFilter job{QNVCUPSFilter(options)};
    const bool succeeded = job.Run();
    DebugEnd();
    return succeeded ? 0 : 1;
}
