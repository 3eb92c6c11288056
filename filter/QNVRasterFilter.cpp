// The CUPS filter's job loop.
#include "filter/QNVRasterFilter.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include "common/CUPSDebug.h"
#include "filter/FilterPorts.h"
#include "gdi/GdiJob.h"
#include "options/RevisionNotes.h"

// cupsRasterReadHeader is marked deprecated in favour of the larger version-2 header,
// but the stream writer works on the version-1 record, which is what it reads.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// Set by the signal handler only; read between pages and, on the spooler's output
// thread, before each page goes out. Atomic, so that thread sees a store made by a
// handler on another; lock-free, so the handler may make it.
std::atomic<sig_atomic_t> gSigTerm{0};
std::atomic<sig_atomic_t> gSigPipe{0};
static_assert(std::atomic<sig_atomic_t>::is_always_lock_free,
              "the signal flags must be safe to set in a signal handler");

// Raster is read from the input in pieces of this size, small enough to stay in the
// cache until its pixels are toned into the page.
constexpr size_t kInputChunkBytes = 256 * 1024;

void signalHandler(int signal, siginfo_t *info, void *context) {
    (void)info;
    (void)context;
    if (signal == SIGTERM) {
        gSigTerm = 1;
    } else if (signal == SIGPIPE) {
        gSigPipe = 1;
    }
}

void installSignalHandler(int signal, const char *failure) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = signalHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    if (sigaction(signal, &action, nullptr) != 0)
        perror(failure);
}

}  // namespace

void InstallSignalHandlers() {
    installSignalHandler(SIGTERM, "DEBUG: Failed to set SIGTERM handler");
    installSignalHandler(SIGPIPE, "DEBUG: Failed to set SIGPIPE handler");
}

QNVRasterFilter::QNVRasterFilter(QNVCUPSFilter options)
    : rasterStream(nullptr), jobOptions(options) {}

QNVRasterFilter::~QNVRasterFilter() {
    if (rasterStream != nullptr)
        cupsRasterClose(rasterStream);
}

bool QNVRasterFilter::Run() {
    CPSDebugLog("QNVRasterFilter is running!");
    InstallSignalHandlers();

    SignalControl control(*this);
    FdSink sink(STDOUT_FILENO, &control);
    CupsStatusReporter reporter;
    const JobPorts ports = {&sink, &control, &reporter};
    // What the revision rules changed, so that the user learns why the job prints as it
    // does. CUPS keeps a warning as the job's state message, where the progress lines of
    // this and the other filters cannot replace it, and logs it at its default level.
    const std::string notes = JoinRevisionNotes(jobOptions);
    if (!notes.empty())
        WriteStatusLine("WARNING: ", notes.c_str());
    bool result = false;
    try {
        GdiJob job(jobOptions, ports);
        if (openRasterStream()) {
            readPages(job, reporter);
        } else {
            ReportJobError(reporter, "The job's data is not CUPS raster and cannot be printed");
            job.Fail();
        }
        result = job.Finish();
    } catch (const std::bad_alloc &) {
        // Every allocation of the job is checked where it is made; this is the last guard.
        ReportJobError(reporter, "The job ran out of memory");
        result = false;
    }
    if (rasterStream != nullptr) {
        cupsRasterClose(rasterStream);
        rasterStream = nullptr;
    }
    // Said once more at the end, so that it is the message the finished job keeps even
    // when another filter warned meanwhile; a failure's error stays the message instead.
    if (result && !notes.empty())
        WriteStatusLine("WARNING: ", notes.c_str());
    CPSDebugLog("retValue: %d", result ? 1 : 0);
    return result;
}

bool QNVRasterFilter::openRasterStream() {
    input = RasterInput();
    input.fd = jobOptions.GetRasterFileHandle();
    if (input.fd < 0)
        return false;
    try {
        input.chunk.resize(kInputChunkBytes);
    } catch (const std::bad_alloc &) {
        return false;
    }
    rasterStream = cupsRasterOpenIO(readRasterInput, &input, CUPS_RASTER_READ);
    return rasterStream != nullptr;
}

void QNVRasterFilter::readPages(GdiJob &job, StatusReporter &reporter) {
    for (;;) {
        // The next header is checked by the job before it takes the place of the last.
        cups_page_header_s next;
        input.watchingHeader = true;
        input.headerFirstAsk = 0;
        input.atHeaderStart = input.delivered;
        const bool read = cupsRasterReadHeader(rasterStream, &next) != 0;
        input.watchingHeader = false;
        if (!read) {
            if (!endedCleanly()) {
                ReportJobError(reporter,
                               "The job's raster data is damaged after page %u (unreadable page "
                               "header)",
                               job.PagesSent());
                job.Fail();
            }
            return;
        }
        if (job.StartPage(next) != GdiJob::PageStart::kStarted)
            return;
        const bool complete = readPage(job);
        if (!job.EndPage())
            return;
        if (!complete) {
            // What arrived of the page was printed; the job itself is incomplete.
            ReportJobError(reporter, "The job's raster data ended within page %u", job.PagesSent());
            job.Fail();
            return;
        }
    }
}

// Reads the page's rows into the places the job gives. False when the input ended
// before the last row.
bool QNVRasterFilter::readPage(GdiJob &job) {
    RowReading reading;
    for (unsigned row = 0; row < job.RowCount(); ++row) {
        unsigned char *to = job.NextRow();
        if (to == nullptr)
            return true;  // the page failed; EndPage tells
        bool toned = false;
        if (!readRow(job, &reading, to, &toned))
            return false;
        if (!job.RowDone(toned))
            return true;
    }
    return true;
}

// Reads one row. The first row of the page goes through libcups. When it took exactly
// the row's bytes from the input, libcups passes the uncompressed pixels through
// unchanged and keeps nothing of the input back, so the other rows are read from the
// input directly and toned on their way from the read-ahead piece, still in the cache.
bool QNVRasterFilter::readRow(GdiJob &job, RowReading *reading, unsigned char *row, bool *toned) {
    const unsigned length = job.RowBytes();
    if (reading->direct) {
        *toned = true;
        return readRowDirect(job, row);
    }
    const unsigned long long before = input.delivered;
    if (cupsRasterReadPixels(rasterStream, row, length) == 0)
        return false;
    if (!reading->probed) {
        reading->probed = true;
        reading->direct = input.carriesPlainPixels() && input.delivered - before == length;
    }
    *toned = false;
    return true;
}

bool QNVRasterFilter::readRowDirect(GdiJob &job, unsigned char *row) {
    const size_t length = job.RowBytes();
    size_t done = 0;
    while (done < length) {
        if (input.chunkStart == input.chunkEnd && !input.Refill())
            return false;
        const unsigned char *from = input.chunk.data() + input.chunkStart;
        const size_t count = std::min(length - done, input.chunkEnd - input.chunkStart);
        job.ToneInto(row + done, from, count);
        input.chunkStart += count;
        input.delivered += count;
        done += count;
    }
    return true;
}

ssize_t QNVRasterFilter::readRasterInput(void *context, unsigned char *buffer, size_t length) {
    RasterInput *in = static_cast<RasterInput *>(context);
    if (in->watchingHeader && in->headerFirstAsk == 0)
        in->headerFirstAsk = length;
    if (in->chunkStart == in->chunkEnd && !in->Refill())
        return in->readError ? -1 : 0;
    const size_t count = std::min(length, in->chunkEnd - in->chunkStart);
    memcpy(buffer, in->chunk.data() + in->chunkStart, count);
    for (size_t i = 0; in->delivered + i < sizeof(in->sync) && i < count; ++i)
        in->sync[in->delivered + i] = buffer[i];
    in->chunkStart += count;
    in->delivered += count;
    return (ssize_t)count;
}

// Reads the next piece of the input into the emptied chunk; false at its end or on an
// error (which readError then tells).
bool QNVRasterFilter::RasterInput::Refill() {
    ssize_t got;
    do {
        got = read(fd, chunk.data(), chunk.size());
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        (got == 0 ? endOfInput : readError) = true;
        return false;
    }
    chunkStart = 0;
    chunkEnd = (size_t)got;
    return true;
}

// Whether the stream's pixels are the input's bytes as they stand: uncompressed raster
// in this machine's byte order (the only kind libcups reads without buffering).
bool QNVRasterFilter::RasterInput::carriesPlainPixels() const {
    if (delivered < sizeof(sync))
        return false;
    uint32_t word;
    memcpy(&word, sync, sizeof(word));
    return word == CUPS_RASTER_SYNC || word == CUPS_RASTER_SYNCv1;
}

// The size of a page header in the stream: 32 bytes in Apple raster, 420 in version 1
// of CUPS raster, 1796 in the others.
size_t QNVRasterFilter::RasterInput::HeaderBytes() const {
    uint32_t word;
    memcpy(&word, sync, sizeof(word));
    if (word == CUPS_RASTER_SYNCapple || word == CUPS_RASTER_REVSYNCapple)
        return 32;
    if (word == CUPS_RASTER_SYNCv1 || word == CUPS_RASTER_REVSYNCv1)
        return sizeof(cups_page_header_t);
    return sizeof(cups_page_header2_t);
}

// The job ended normally when the input ran out right after a whole page. libcups reads
// a page header from what it has read ahead, and asks for the rest: it asks for the whole
// header, and gets nothing, exactly when no byte follows the last page. A header cut
// short, or bytes that are no header, show up as a smaller request or bytes delivered.
bool QNVRasterFilter::endedCleanly() const {
    return input.endOfInput && !input.readError && input.delivered == input.atHeaderStart &&
           input.headerFirstAsk == input.HeaderBytes();
}

bool QNVRasterFilter::isCancelled() {
    if (gSigTerm)
        CPSDebugLog("Detected SIGTERM");
    if (gSigPipe)
        CPSDebugLog("Detected SIGPIPE");
    return gSigTerm != 0;
}
