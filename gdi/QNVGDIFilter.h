// GDI printer stream writer: job header, page header and band records, their
// routing for duplex page order, and the job end.
#ifndef GDI_GDI_QNVGDIFILTER_H
#define GDI_GDI_QNVGDIFILTER_H

#include <cups/raster.h>
#include <stdint.h>
#include <time.h>

#include <memory>

#include "gdi/QNVBlockBuffer.h"
#include "options/QNVCUPSFilter.h"
#include "gdi/QNVGDIStore.h"

// Record sizes and band height of the printer stream.
constexpr unsigned int kGDIJobHeaderSize = 120;
constexpr unsigned int kGDIPageHeaderSize = 64;
constexpr unsigned int kGDIBandHeaderSize = 32;
constexpr unsigned int kGDIBandLines = 256;
// Largest value of the 16-bit width and height fields of the records.
constexpr unsigned int kGDIMaxPageDots = 0xFFFF;

// Job header mode word values.
constexpr unsigned int kGDIJobModeDuplex = 0x0200;
constexpr unsigned int kGDIJobModeCollate = 0x0008;

// Page flags (page header byte 33).
constexpr unsigned char kGDIPageFlagAlways = 0x01;
constexpr unsigned char kGDIPageFlagDuplex = 0x04;
constexpr unsigned char kGDIPageFlagEvenPage = 0x08;
constexpr unsigned char kGDIPageFlagBlankPage = 0x20;

// Band flags (band record offset 4).
constexpr unsigned int kGDIBandFlagFirst = 1;
constexpr unsigned int kGDIBandFlagLast = 2;

// The job end marker "JIDG".
extern const unsigned char kGDIJobEndMarker[4];

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
    explicit QNVGDIFilter(QNVCUPSFilter &options);
    ~QNVGDIFilter();
    QNVGDIFilter(const QNVGDIFilter &) = delete;
    QNVGDIFilter &operator=(const QNVGDIFilter &) = delete;

    bool SendJobHeader(cups_page_header_s header);
    bool SendPageHeader(cups_page_header_s header, unsigned int page);
    bool SendPageData();
    // Sends the page's next band from `lines`, which hold its lines laid out as in the
    // page buffer; SendPageData sends the bands not sent this way. A page that is not
    // turned can so be made a band at a time in a window that stays in the cache.
    bool SendNextBand(unsigned char *lines);
    bool SendBandData(unsigned char *band);
    bool IsFirstBandOfPage() const { return bandIndex == 0; }
    bool IsLastBandOfPage() const { return bandIndex + 1 == bandCount; }
    int SendPageEnd();
    int SendSinglePage();
    int SendJobEnd();
    int SendGDICommand(const unsigned char *bytes, unsigned int length);
    bool SendData(const void *bytes, unsigned int length);
    int SendTheStorePage();

    QNVBlockBuffer *GetPageBuffer() { return pageBuffer.get(); }
    unsigned int AlignedBitWidth(unsigned int width);
    unsigned int GetAlignedBitWidth() const { return alignedBitWidth; }
    unsigned int GetAlignedRowBytes() const { return alignedRowBytes; }
    unsigned int GetxMarginBytes() const { return xMarginBytes; }
    unsigned int GetyMarginLines() const { return yMarginLines; }
    unsigned int GetBandCount() const { return bandCount; }
    unsigned int GetPageHeightLines() const { return pageHeightLines; }
    void SetBlankPageAppended(bool appended) { blankPageAppended = appended; }

private:
    uint32_t CompressBand(unsigned int lines);
    bool SendBandOfPage(uint32_t band, unsigned char *lines);

    QNVCUPSFilter jobOptions;
    std::unique_ptr<QNVGDIStore> mainStore;
    std::unique_ptr<QNVGDIStore> heldStore;
    unsigned char jobHeaderRecord[kGDIJobHeaderSize];
    unsigned char pageHeaderRecord[kGDIPageHeaderSize];
    uint32_t bandIndex;
    uint32_t bandsSent;  // bands of the page sent so far, in order
    bool bandFailed;     // a band of the page could not be sent
    std::unique_ptr<QNVBlockBuffer> pageBuffer;
    std::unique_ptr<QNVBlockBuffer> HalftoneBuffer;
    bool holdPage;
    bool blankPageAppended;
    std::unique_ptr<QNVBlockBuffer> compressionBandData;
    uint32_t bandCount;
    uint32_t pageWidthDots;
    uint32_t pageHeightLines;
    uint32_t alignedBitWidth;
    uint32_t alignedRowBytes;
    uint32_t xMarginBytes;
    uint32_t yMarginLines;
};

#endif
