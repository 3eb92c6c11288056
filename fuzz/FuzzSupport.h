// Shared pieces of the fuzz targets: a private spool directory, the whole filter run
// inside the fuzzing process, and the checks that follow every run.
#ifndef GDI_FUZZ_FUZZSUPPORT_H
#define GDI_FUZZ_FUZZSUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace gdifuzz {

// Makes a private work directory with a spool directory in it, points TMPDIR at the
// spool directory and $PPD at the shipped model-1 PPD, silences the diagnostic log,
// sends standard output to /dev/null and keeps a copy of standard error for
// Fail() (libFuzzer may close standard error later with -close_fd_mask=2). Call once,
// from LLVMFuzzerInitialize. The directory is removed at exit when it is empty.
void InitProcess(const char *name);

const std::string &WorkDir();
const std::string &SpoolDir();
// The PPD shipped with the filter, from the source tree.
const char *ShippedPPD();

// Prints the reason on the saved standard error and aborts, so that libFuzzer keeps
// the input as a crash.
[[noreturn]] void Fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A memory file holding the bytes, positioned at their start; -1 on failure.
int MemoryFile(const uint8_t *data, size_t size);
// Everything in the file from its start.
std::vector<uint8_t> ReadWholeFile(int fd);

struct FilterResult {
    bool succeeded = false;       // the page loop's result
    std::vector<uint8_t> output;  // standard output, when it was kept
    bool duplex = false;          // the job options asked for duplex
};

// Runs the filter as main does, on `raster` as standard input, with argv[3] = title and
// argv[5] = options: the job options (PPD from $PPD), then the page loop. Standard
// output goes to /dev/null, or into memory when keepOutput is set.
FilterResult RunFilter(const uint8_t *raster, size_t size, const std::string &options,
                       const std::string &title, bool keepOutput);

// Fails when a spool file is left in the spool directory, the spooler still queues
// data, or the run left descriptors open (openBefore: OpenDescriptorCount() before).
void CheckAfterRun(size_t openBefore);
size_t OpenDescriptorCount();

// Options prefix of a raster input: "#opts <options>\n" before the raster stream.
// Splits it off; without it the options are empty.
void SplitOptions(const uint8_t *data, size_t size, std::string *options, const uint8_t **raster,
                  size_t *rasterSize);

}  // namespace gdifuzz

#endif
