// The CUPS filter's job loop: reads the job's CUPS raster page by page and hands each
// page's header and rows to the driver core, with standard output as the printer's end
// and SIGTERM as the cancel.
#ifndef GDI_FILTER_QNVRASTERFILTER_H
#define GDI_FILTER_QNVRASTERFILTER_H

#include <cups/raster.h>
#include <sys/types.h>

#include <vector>

#include "gdi/JobPorts.h"
#include "options/QNVCUPSFilter.h"

class GdiJob;

// Installs the SIGTERM and SIGPIPE handlers; main does so first of all, so that a
// SIGTERM while the options and the PPD are read is a cancel, not a kill.
void InstallSignalHandlers();

class QNVRasterFilter {
public:
    explicit QNVRasterFilter(QNVCUPSFilter options);
    virtual ~QNVRasterFilter();
    QNVRasterFilter(const QNVRasterFilter &) = delete;
    QNVRasterFilter &operator=(const QNVRasterFilter &) = delete;

    // The whole job; true for success (the stream ended, or the job was cancelled).
    bool Run();
    // Whether SIGTERM was seen (and SIGPIPE, which is only logged).
    bool isCancelled();

private:
    // The job asks the loop whether it goes on.
    class SignalControl : public JobControl {
    public:
        explicit SignalControl(QNVRasterFilter &loop) : loop(loop) {}
        bool IsCancelled() override { return loop.isCancelled(); }

    private:
        QNVRasterFilter &loop;
    };

    // The raster input as libcups reads it, watched so that the end of the job can be
    // told apart from a page header that is cut off or malformed.
    struct RasterInput {
        int fd = 0;
        // Read ahead in large pieces: libcups asks for one line at a time.
        std::vector<unsigned char> chunk;
        size_t chunkStart = 0;
        size_t chunkEnd = 0;
        unsigned long long delivered = 0;      // bytes handed to libcups so far
        bool endOfInput = false;               // the input reported its end
        bool readError = false;                // a read failed
        unsigned char sync[4] = {0, 0, 0, 0};  // the stream's first bytes, its kind
        // While a page header is read: how many bytes libcups asked for first, and how
        // many it had been given before.
        bool watchingHeader = false;
        size_t headerFirstAsk = 0;
        unsigned long long atHeaderStart = 0;
        bool carriesPlainPixels() const;
        size_t HeaderBytes() const;
        bool Refill();
    };
    // How the rows of the page being read are had.
    struct RowReading {
        bool probed = false;  // the first row went through libcups
        bool direct = false;  // the other rows are read from the input directly
    };

    bool openRasterStream();
    void readPages(GdiJob &job, StatusReporter &reporter);
    bool readPage(GdiJob &job);
    bool readRow(GdiJob &job, RowReading *reading, unsigned char *row, bool *toned);
    bool readRowDirect(GdiJob &job, unsigned char *row);
    static ssize_t readRasterInput(void *context, unsigned char *buffer, size_t length);
    bool endedCleanly() const;

    cups_raster_t *rasterStream;
    QNVCUPSFilter jobOptions;
    RasterInput input;
};

#endif
