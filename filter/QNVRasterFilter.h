// The job's page loop: reads CUPS raster page by page and drives the stream writer.
#ifndef GDI_FILTER_QNVRASTERFILTER_H
#define GDI_FILTER_QNVRASTERFILTER_H

#include <cups/raster.h>
#include <signal.h>
#include <sys/types.h>

#include <vector>

#include "options/QNVCUPSFilter.h"
#include "gdi/QNVImageProcess.h"

class QNVBlockBuffer;
class QNVGDIFilter;

// The 16 bytes of the printer's cancel command.
extern const unsigned char CancelCMD[16];

class QNVRasterFilter {
public:
    explicit QNVRasterFilter(QNVCUPSFilter options);
    virtual ~QNVRasterFilter();
    QNVRasterFilter(const QNVRasterFilter &) = delete;
    QNVRasterFilter &operator=(const QNVRasterFilter &) = delete;

    // The whole job; true for success (the stream ended, or the job was cancelled).
    bool Run();

    bool allocRasterBuffer();
    void deallocRasterBuffer();
    bool isCancelled();
    bool detectCancel();
    void insertLineToPageBuffer(QNVBlockBuffer *buffer, unsigned index, const unsigned char *line,
                                unsigned length);
    void rasterPageImageProcessing(QNVBlockBuffer *buffer);
    void insertBlankPage(cups_page_header_s header);

private:
    bool isPrintableFormat(const cups_page_header_s &header, unsigned colorSpace);
    bool hasUsableGeometry(const cups_page_header_s &header);
    void exchangeForLongEdge();
    void logPageHeader();
    bool readPageLines(QNVBlockBuffer *page, unsigned lineCount, unsigned lineLength,
                       unsigned margin);
    bool readPageRowsInPlace(QNVBlockBuffer *page, unsigned lineCount, unsigned lineLength);
    // How the rows of the page being read are had.
    struct RowReading {
        bool probed = false;  // the first row went through libcups
        bool direct = false;  // the other rows are read from the input directly
    };
    bool readPageThroughBandWindow(QNVBlockBuffer *page, unsigned lineCount, unsigned lineLength);
    unsigned readRows(RowReading *reading, unsigned char *first, size_t stride, unsigned rows,
                      unsigned lineLength);
    unsigned readRowsDirect(unsigned char *first, size_t stride, unsigned rows,
                            unsigned lineLength);
    void toneLine(unsigned char *pixels, unsigned lineLength);
    void reportPageDone();
    bool isTurnedPage() const;

    cups_raster_t *rasterStream;
    cups_page_header_s pageHeader;
    unsigned char *rasterBuffer;
    unsigned int rasterBufferWidth;
    unsigned int rasterBufferSize;
    unsigned int pageCount;
    QNVImageProcess imageProcess;
    QNVCUPSFilter jobOptions;
    QNVGDIFilter *gdiFilter;

    // The raster input as libcups reads it, watched so that the end of the job can be
    // told apart from a page header that is cut off or malformed.
    struct RasterInput {
        int fd = 0;
        // Read ahead in large pieces: libcups asks for one line at a time.
        std::vector<unsigned char> chunk;
        size_t chunkStart = 0;
        size_t chunkEnd = 0;
        unsigned long long delivered = 0;      // bytes handed to libcups so far
        unsigned long long atPageEnd = 0;      // `delivered` when the last page was read whole
        bool endOfInput = false;               // the input reported its end
        bool readError = false;                // a read failed
        unsigned char sync[4] = {0, 0, 0, 0};  // the stream's first bytes, its kind
        bool carriesPlainPixels() const;
        bool Refill();
    };
    static ssize_t readRasterInput(void *context, unsigned char *buffer, size_t length);
    bool endedCleanly() const;
    RasterInput input;

    // Copies of the job the printer is asked for, for CUPS's page accounting.
    unsigned int jobCopies;
    // The page's grey levels count white up (colour spaces W and SW) and are inverted.
    bool invertPage;
};

#endif
