// One print job on the driver core: the front end hands it page headers and the raster
// rows of each page, 8-bit grey; the job checks each page, tones its rows, places them
// with the page's margins (as columns for long-edge feed), turns duplex back sides,
// halftones and codes the page band by band, completes duplex jobs and ends the job.
// Every byte of the printer stream is made here, whichever front end drives it.
#ifndef GDI_GDI_GDIJOB_H
#define GDI_GDI_GDIJOB_H

#include <cups/raster.h>
#include <stddef.h>

#include <memory>
#include <vector>

#include "gdi/Halftone.h"
#include "gdi/JobPorts.h"
#include "gdi/PageGeometry.h"
#include "gdi/QNVImageProcess.h"
#include "options/QNVCUPSFilter.h"

class QNVBlockBuffer;
class QNVGDIFilter;

class GdiJob {
public:
    GdiJob(const QNVCUPSFilter &options, const JobPorts &ports);
    ~GdiJob();
    GdiJob(const GdiJob &) = delete;
    GdiJob &operator=(const GdiJob &) = delete;

    enum class PageStart {
        kStarted,    // feed the page's rows, then EndPage
        kCancelled,  // the job was cancelled: no page follows; call Finish
        kRefused,    // the printer cannot take the page (reported): call Finish
        kFailed,     // the page could not be prepared (reported): call Finish
    };
    // Begins a page whose header, as read from the job, is `header`.
    PageStart StartPage(const cups_page_header_s &header);
    // The rows of the page being made, and the bytes of each, as the job gives them.
    unsigned RowCount() const { return rowCount; }
    unsigned RowBytes() const { return rowBytes; }

    // Where the next row's RowBytes() bytes go; null once every row is in or the page
    // has failed.
    unsigned char *NextRow();
    // Writes `count` bytes of the row NextRow gave, toned, from `from` to `to`.
    void ToneInto(unsigned char *to, const unsigned char *from, size_t count);
    // The row NextRow gave is written; `toned` when it was written through ToneInto.
    // False when the page has failed (EndPage reports it).
    bool RowDone(bool toned);
    // NextRow, ToneInto and RowDone for one whole row.
    bool PutRow(const unsigned char *row);
    // Ends the page: rows that did not arrive, and the part of a row that did, print
    // white. False when the page could not be sent or the output has failed (reported).
    bool EndPage();

    // Completes a duplex job (single page, or a blank page after an odd page count),
    // sends the job end and waits until the output is done. True when the job printed
    // or was cancelled; false when it failed.
    bool Finish();

    bool IsCancelled() const { return cancelled; }
    // Pages of the job made and handed to the spooler whole.
    unsigned PagesSent() const { return pagesSent; }
    // Marks the job as failed for a reason its front end found and reported.
    void Fail() { failed = true; }
    // Threads that code the bands (BandCoderThreads() when not set). Set before a page.
    void SetCoderThreads(unsigned threads);

private:
    enum class Fill {
        kColumns,     // long-edge feed: each row becomes a column of the whole page
        kWholePage,   // a back side turned half round: rows into the whole page first
        kBandWindow,  // rows into one band's lines; each band goes out once its rows are in
    };

    bool detectCancel();
    bool isPrintableFormat(const cups_page_header_s &header, unsigned colorSpace);
    bool hasUsableGeometry(const cups_page_header_s &header);
    bool hasPageNumber(unsigned page);
    static void exchangeForLongEdge(cups_page_header_s *header);
    void logPageHeader(const cups_page_header_s &h);
    bool allocRasterBuffer(const PageGeometry &geometry);
    bool preparePage(const cups_page_header_s &header, const PageGeometry &geometry);
    bool isTurnedPage(unsigned page) const;
    void insertLineToPageBuffer(QNVBlockBuffer *buffer, unsigned index, const unsigned char *line,
                                unsigned length);
    void rasterPageImageProcessing(QNVBlockBuffer *buffer, unsigned page);
    unsigned char *nextWindowRow();
    void openWindowBand(unsigned band);
    bool sendWindowBand();
    void whitenMissingRows();
    bool sendRestOfWindow();
    bool endPageRecords(bool sent);
    bool outputFailed();
    void insertBlankPage();

    QNVCUPSFilter jobOptions;
    JobPorts ports;
    QNVImageProcess imageProcess;
    QNVImageProcess invertedProcess;  // the same table for grey that counts white up
    QNVImageProcess *tone;            // the one the page's rows go through
    // The screen folded with imageProcess's table, when that table allows it: rows are
    // then only clamped on their way in, and toned by the halftoning's compare.
    HalftoneScreen foldedScreen;
    bool toneFoldable = false;
    bool toneFolded = false;  // the current page's rows go in untoned
    bool bandInked = true;    // kBandWindow: the band in the window may hold more than white
    std::unique_ptr<QNVGDIFilter> gdiFilter;

    cups_page_header_s pageHeader;  // the current (or last) page's header as sent
    unsigned pagesSent = 0;
    unsigned pageNumber = 0;  // of the page being made
    bool pageOpen = false;
    bool pageBroken = false;  // a band of the page could not be sent
    bool jobHeaderSent = false;
    bool cancelled = false;
    bool failed = false;
    bool outputErrorReported = false;

    // The page being made.
    Fill fill = Fill::kBandWindow;
    PageGeometry geometry;
    QNVBlockBuffer *page = nullptr;
    unsigned rowCount = 0;
    unsigned rowBytes = 0;
    unsigned rowsDone = 0;
    unsigned char *currentRow = nullptr;
    unsigned char *firstRow = nullptr;        // kWholePage: where row 0 goes
    unsigned char *window = nullptr;          // kBandWindow: the band's lines
    long openBand = -1;                       // kBandWindow: the band in the window
    std::vector<unsigned char> rasterBuffer;  // kColumns: a row with its margins
};

// The enumerated fields of a page header come straight from a job's bytes and may hold
// any value; reading one that names no enumerator is undefined. Each is replaced, when
// out of range, by a value of its type. Returns the colour space as the job gave it.
unsigned NormaliseEnumFields(cups_page_header_s &header);

#endif
