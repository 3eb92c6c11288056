// GDI printer stream writer: job header, page header and band records, their
// routing for duplex page order, and the job end.
#ifndef GDI_GDI_QNVGDIFILTER_H
#define GDI_GDI_QNVGDIFILTER_H

#include <cups/raster.h>
#include <stdint.h>
#include <time.h>

#include <memory>

#include "gdi/BandCoder.h"
#include "gdi/GdiStream.h"
#include "gdi/Halftone.h"
#include "gdi/JobPorts.h"
#include "gdi/PageGeometry.h"
#include "gdi/QNVBlockBuffer.h"
#include "gdi/QNVGDIStore.h"
#include "jbig/ovtJBIG.h"
#include "options/QNVCUPSFilter.h"

// Packs a local date and time into the job header's 32-bit date stamp: day << 27,
// month (0-11) << 23, (year - 1980) mod 64 << 16, seconds / 2 << 11, minutes << 5,
// hours.
uint32_t PackDateStamp(const struct tm &local);
// The date stamp of the current local time (0 when the time cannot be read).
uint32_t date();
// A paper dimension in points as micrometres: points / 72 * 25.4 * 1000 in double
// precision, rounded to the nearest float, truncated toward zero.
uint32_t PointsToMicrometres(unsigned int points);

class QNVGDIFilter {
public:
    // The stream goes to the sink of `ports`; the spooler asks its control before each
    // page goes out and reports pages that have gone out to its reporter.
    QNVGDIFilter(QNVCUPSFilter &options, const JobPorts &ports);
    ~QNVGDIFilter();
    QNVGDIFilter(const QNVGDIFilter &) = delete;
    QNVGDIFilter &operator=(const QNVGDIFilter &) = delete;

    bool SendJobHeader(cups_page_header_s header);
    bool SendPageHeader(cups_page_header_s header, unsigned int page);
    // The same with the page's geometry already worked out from `header`.
    bool SendPageHeader(cups_page_header_s header, unsigned int page, const PageGeometry &geometry);
    bool SendPageData();
    // Sends the page's next band from `lines`, which hold its lines laid out as in the
    // page buffer; SendPageData sends the bands not sent this way. A page that is not
    // turned can so be made a band at a time in a window that stays in the cache.
    // `white` tells that every byte of the lines is 0: the band is then not halftoned.
    bool SendNextBand(unsigned char *lines, bool white = false);
    bool SendBandData(unsigned char *band, bool white = false);
    // Waits until every band handed over is coded and stored; true when all the page's
    // bands are in the store (SendPageData does this too).
    bool AllBandsStored();
    bool IsFirstBandOfPage() const { return bandIndex == 0; }
    bool IsLastBandOfPage() const { return bandIndex + 1 == geometry.bandCount; }
    // Drops what is stored of the current page, which could not be made whole: nothing
    // of it goes out, and a held odd page stays held for a partner.
    void DiscardPage();
    int SendPageEnd();
    int SendSinglePage();
    int SendJobEnd();
    int SendGDICommand(const unsigned char *bytes, unsigned int length);
    bool SendData(const void *bytes, unsigned int length);
    int SendTheStorePage();

    // Pages that will be sent a band at a time (SendNextBand) get a page buffer of one
    // band only; set before SendPageHeader, it holds for the pages after it.
    void SetBandWindowOnly(bool windowOnly) { bandWindowOnly = windowOnly; }
    // The JBIG encoders' set-up (memory, context kernel); the default one when not set.
    // Its allocator is called from every coding thread. Set between pages.
    void SetEncoderSetup(const JBIGEncoderSetup &setup);
    // Threads that code the bands (BandCoderThreads() when not set; 1 codes every band
    // on the calling thread). Set between pages.
    void SetCoderThreads(unsigned threads);
    // The screen the bands are halftoned with: one folded with the tone table when the
    // page buffer holds levels before toning (null: the plain screen). The screen must
    // outlive the pages it is set for.
    void SetHalftoneScreen(const HalftoneScreen *screen) { halftoneScreen = screen; }

    QNVBlockBuffer *GetPageBuffer() { return pageBuffer.get(); }
    unsigned int AlignedBitWidth(unsigned int width);
    unsigned int GetAlignedBitWidth() const { return geometry.alignedBitWidth; }
    unsigned int GetAlignedRowBytes() const { return geometry.alignedRowBytes; }
    unsigned int GetxMarginBytes() const { return geometry.xMarginDots; }
    unsigned int GetyMarginLines() const { return geometry.yMarginLines; }
    unsigned int GetBandCount() const { return geometry.bandCount; }
    unsigned int GetPageHeightLines() const { return geometry.pageHeightLines; }
    const PageGeometry &GetGeometry() const { return geometry; }
    void SetBlankPageAppended(bool appended) { blankPageAppended = appended; }

    // How the job's output has gone so far (after SendJobEnd: how it ended).
    SpoolQueue::Outcome GetOutputOutcome() const;
    int GetOutputError() const;

private:
    bool SendBandOfPage(uint32_t band, unsigned char *lines, bool white = false);
    bool HaveCoder();
    void StoreCodedBands(bool wait);
    void StoreCodedBand(BandCoder::Slot *slot);
    bool MakePageBuffers();
    void FillPageHeaderRecord(const cups_page_header_s &header, unsigned int page);
    QNVGDIStore *CurrentStore() const;
    void ReleasePageBuffers();

    QNVCUPSFilter jobOptions;
    JobPorts ports;
    std::unique_ptr<SpoolQueue> spool;
    std::unique_ptr<QNVGDIStore> mainStore;
    std::unique_ptr<QNVGDIStore> heldStore;
    unsigned char jobHeaderRecord[kGDIJobHeaderSize];
    unsigned char pageHeaderRecord[kGDIPageHeaderSize];
    uint32_t bandIndex;
    uint32_t bandsQueued;  // bands of the page handed to the coder, in order
    uint32_t bandsSent;    // bands of the page stored, in order
    bool bandFailed;       // a band of the page could not be sent
    QNVBlockPool blockPool;
    std::unique_ptr<QNVBlockBuffer> pageBuffer;
    bool holdPage;
    bool blankPageAppended;
    bool bandWindowOnly;
    bool commandBehindHeldPage;  // the cancel command already follows the held page
    PageGeometry geometry;
    unsigned int jobCopies;
    JBIGEncoderSetup encoderSetup;
    unsigned coderThreads;
    const HalftoneScreen *halftoneScreen = nullptr;
    std::unique_ptr<BandCoder> coder;  // made with the first band, kept for the job
    SpoolQueue::Outcome finalOutcome;
    int finalError;
};

#endif
