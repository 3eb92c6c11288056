// GDI printer stream writer: records, page geometry, duplex routing and band encoding.
#include "gdi/QNVGDIFilter.h"

#include <string.h>

#include <new>

#include "gdi/BytesOrder.h"
#include "common/CUPSDebug.h"
#include "gdi/Halftone.h"
#include "jbig/jbigcompress.h"

const unsigned char kGDIJobEndMarker[4] = {'J', 'I', 'D', 'G'};

namespace {

const unsigned char kJobHeaderTag[4] = {'G', 'D', 'I', 'J'};
const unsigned char kPageHeaderTag[4] = {'G', 'D', 'I', 'P'};
const unsigned char kBandTag[4] = {'G', 'D', 'I', 'B'};
constexpr unsigned int kJobNameOffset = 56;
constexpr unsigned int kJobNameSize = 64;
constexpr unsigned int kJobModeOffset = 16;
constexpr unsigned int kPointsPerInch = 72;

// Rounds a dot count up to a whole byte, then to the 128-dot line alignment.
uint64_t AlignTo128(uint64_t width) {
    const uint64_t bytesWide = (width + 7) / 8 * 8;
    return (bytesWide + 127) / 128 * 128;
}

// True when the buffer exists and, unless it is meant to hold no bytes, has its block.
// (The memory size of a buffer whose block could not be had is 0 as well, so the size
// it was asked for decides.)
bool BufferMade(const std::unique_ptr<QNVBlockBuffer> &buffer) {
    return buffer != nullptr &&
           (buffer->HasBlock() || uint64_t(buffer->GetWidth()) * buffer->GetHeight() == 0);
}

}  // namespace

uint32_t PackDateStamp(const struct tm &local) {
    const uint32_t day = (uint32_t)local.tm_mday & 0x1F;
    const uint32_t month = (uint32_t)local.tm_mon & 0x0F;
    // Two's complement keeps the year field a true modulo 64 for years before 1980.
    const uint32_t year = ((uint32_t)local.tm_year + 1900u - 1980u) & 0x3F;
    const uint32_t halfSeconds = ((uint32_t)local.tm_sec / 2) & 0x1F;
    const uint32_t minutes = (uint32_t)local.tm_min & 0x3F;
    const uint32_t hours = (uint32_t)local.tm_hour & 0x1F;
    return day << 27 | month << 23 | year << 16 | halfSeconds << 11 | minutes << 5 | hours;
}

uint32_t date() {
    const time_t now = time(nullptr);
    struct tm local;
    if (now == (time_t)-1 || localtime_r(&now, &local) == nullptr)
        return 0;
    return PackDateStamp(local);
}

uint32_t PointsToMicrometres(unsigned int points) {
    const double exact = (double)points / 72.0 * 25.4 * 1000.0;
    // The rounding to single precision is part of the value the printer expects
    // (612 points give 215900, not 215899).
    const float rounded = (float)exact;
    if (!(rounded < 4294967296.0f))
        return UINT32_MAX;
    return (uint32_t)rounded;
}

QNVGDIFilter::QNVGDIFilter(QNVCUPSFilter &options)
    : jobOptions(options),
      bandIndex(0),
      bandsSent(0),
      bandFailed(false),
      holdPage(false),
      blankPageAppended(false),
      bandCount(0),
      pageWidthDots(0),
      pageHeightLines(0),
      alignedBitWidth(0),
      alignedRowBytes(0),
      xMarginBytes(0),
      yMarginLines(0) {
    memset(jobHeaderRecord, 0, sizeof(jobHeaderRecord));
    memset(pageHeaderRecord, 0, sizeof(pageHeaderRecord));
}

// Stores still present (no job end) wait for the output thread as they go.
QNVGDIFilter::~QNVGDIFilter() = default;

bool QNVGDIFilter::SendJobHeader(cups_page_header_s header) {
    CPSDebugLog("==Job Header==");
    if (mainStore == nullptr)
        mainStore.reset(new (std::nothrow) QNVGDIStore);
    if (heldStore == nullptr)
        heldStore.reset(new (std::nothrow) QNVGDIStore);
    if (mainStore == nullptr || heldStore == nullptr) {
        CPSDebugLog("==Job Header1==");
        return false;
    }

    unsigned char *record = jobHeaderRecord;
    memset(record, 0, kGDIJobHeaderSize);
    memcpy(record, kJobHeaderTag, sizeof(kJobHeaderTag));
    PutBigEndian32(record + 4, kGDIJobHeaderSize);
    PutBigEndian16(record + 8, 100);
    PutBigEndian16(record + 10, header.NumCopies);
    record[12] = jobOptions.IsTonerSaving() ? 1 : 0;
    record[13] = jobOptions.IsEdgeSmoothing() ? 1 : 0;
    unsigned int mode = 0;
    if (jobOptions.IsDuplex())
        mode |= kGDIJobModeDuplex;
    if (header.Collate != 0)
        mode |= kGDIJobModeCollate;
    PutBigEndian16(record + kJobModeOffset, mode);
    PutBigEndian32(record + 20, date());
    PutBigEndian16(record + 32, 256);
    PutBigEndian16(record + 34, 2);
    PutBigEndian16(record + 36, 1);
    const char *name = jobOptions.GetFileName();
    if (name != nullptr) {
        memcpy(record + kJobNameOffset, name, strnlen(name, kJobNameSize));
    }

    (void)SendData(record, kGDIJobHeaderSize);
    return true;
}

unsigned int QNVGDIFilter::AlignedBitWidth(unsigned int width) {
    const uint64_t aligned = AlignTo128(width);
    // Widths beyond the 32-bit range cannot be described; callers check the record
    // limit before asking.
    alignedBitWidth = aligned > UINT32_MAX ? 0 : (uint32_t)aligned;
    alignedRowBytes = alignedBitWidth / 8;
    return alignedBitWidth;
}

bool QNVGDIFilter::SendPageHeader(cups_page_header_s header, unsigned int page) {
    CPSDebugLog("==Page Header==");
    holdPage = (page % 2 == 1) && jobOptions.IsDuplex();
    bandIndex = 0;
    bandsSent = 0;
    bandFailed = false;
    // Whatever a page left behind without its page end is released here.
    pageBuffer.reset();
    HalftoneBuffer.reset();
    compressionBandData.reset();

    // Page geometry in 64-bit arithmetic, so that no input can wrap it.
    const uint64_t xMargin = (uint64_t)header.HWResolution[0] * header.Margins[0] / kPointsPerInch;
    const uint64_t yMargin = (uint64_t)header.HWResolution[1] * header.Margins[1] / kPointsPerInch;
    const uint64_t width = header.cupsWidth + 2 * xMargin;
    const uint64_t height = header.cupsHeight + 2 * yMargin;
    const uint64_t aligned = AlignTo128(width);
    if (aligned > kGDIMaxPageDots || height > kGDIMaxPageDots) {
        CPSDebugLog("Page of %llu x %llu dots does not fit the page header",
                    (unsigned long long)aligned, (unsigned long long)height);
        bandCount = 0;
        pageWidthDots = 0;
        pageHeightLines = 0;
        AlignedBitWidth(0);
        xMarginBytes = 0;
        yMarginLines = 0;
        return false;
    }
    xMarginBytes = (uint32_t)xMargin;
    yMarginLines = (uint32_t)yMargin;
    pageWidthDots = (uint32_t)width;
    pageHeightLines = (uint32_t)height;
    bandCount = (pageHeightLines + kGDIBandLines - 1) / kGDIBandLines;
    AlignedBitWidth(pageWidthDots);

    pageBuffer.reset(new (std::nothrow) QNVBlockBuffer(alignedBitWidth, pageHeightLines));
    if (!BufferMade(pageBuffer)) {
        CPSDebugLog("pageBuffer is nil");
        return false;
    }
    HalftoneBuffer.reset(new (std::nothrow) QNVBlockBuffer(alignedRowBytes, kGDIBandLines));
    if (!BufferMade(HalftoneBuffer)) {
        CPSDebugLog("HalftoneBuffer is nil");
        return false;
    }
    compressionBandData.reset(new (std::nothrow) QNVBlockBuffer(alignedRowBytes, kGDIBandLines));
    if (!BufferMade(compressionBandData)) {
        CPSDebugLog("compressionBandData is nil");
        return false;
    }

    unsigned char *record = pageHeaderRecord;
    memset(record, 0, kGDIPageHeaderSize);
    memcpy(record, kPageHeaderTag, sizeof(kPageHeaderTag));
    PutBigEndian32(record + 4, kGDIPageHeaderSize);
    record[8] = (unsigned char)jobOptions.GetPaperSize();
    record[9] = (unsigned char)jobOptions.GetInputTray();
    record[10] = (unsigned char)jobOptions.GetPaperType();
    PutBigEndian16(record + 12, alignedBitWidth);
    PutBigEndian16(record + 14, pageHeightLines);
    record[32] = 1;
    unsigned char flags = kGDIPageFlagAlways;
    if (jobOptions.IsDuplex()) {
        flags |= kGDIPageFlagDuplex;
        if (page % 2 == 0)
            flags |= kGDIPageFlagEvenPage;
    }
    if (blankPageAppended)
        flags |= kGDIPageFlagBlankPage;
    record[33] = flags;
    PutBigEndian16(record + 34, page);
    PutBigEndian16(record + 54, bandCount);
    PutBigEndian32(record + 56, PointsToMicrometres(header.PageSize[0]));
    PutBigEndian32(record + 60, PointsToMicrometres(header.PageSize[1]));

    (void)SendData(record, kGDIPageHeaderSize);
    return true;
}

bool QNVGDIFilter::SendPageData() {
    CPSDebugLog("==Page Data==");
    if (bandCount == 0)
        return true;
    if (pageBuffer == nullptr || bandFailed)
        return false;
    for (uint32_t i = bandsSent; i < bandCount; ++i) {
        if (!SendBandOfPage(i, pageBuffer->GetBandPtr(i)))
            return false;
    }
    return true;
}

bool QNVGDIFilter::SendNextBand(unsigned char *lines) {
    if (pageBuffer == nullptr || bandFailed || bandsSent >= bandCount)
        return false;
    return SendBandOfPage(bandsSent, lines);
}

bool QNVGDIFilter::SendBandOfPage(uint32_t band, unsigned char *lines) {
    bandIndex = band;
    const bool sent = SendBandData(lines);
    bandIndex = band + 1;
    if (sent)
        bandsSent = band + 1;
    else
        bandFailed = true;
    return sent;
}

uint32_t QNVGDIFilter::CompressBand(unsigned int lines) {
    if (alignedRowBytes == 0 || !BufferMade(compressionBandData) ||
        compressionBandData->GetBlockPtr() == nullptr) {
        CPSDebugLog("compressionBandData is nil");
        return 0;
    }
    const unsigned char *bits = HalftoneBuffer->GetBlockPtr();
    const uint32_t bandBytes = lines * alignedRowBytes;  // at most 256 x 8191
    uint32_t capacity = compressionBandData->GetMemorySize();
    uint32_t length = djz_Compress(bits, bandBytes, compressionBandData->GetBlockPtr(), capacity,
                                   alignedRowBytes);
    if (length > capacity) {
        // The band codes to more than the buffer holds: make room and code it again,
        // so that no band is ever cut.
        const uint32_t linesNeeded =
            (uint32_t)(((uint64_t)length + alignedRowBytes - 1) / alignedRowBytes);
        std::unique_ptr<QNVBlockBuffer> larger(new (std::nothrow)
                                                   QNVBlockBuffer(alignedRowBytes, linesNeeded));
        if (larger == nullptr || larger->GetBlockPtr() == nullptr) {
            CPSDebugLog("Fail to make room for %u bytes of band %u", length, bandIndex);
            return 0;
        }
        compressionBandData = std::move(larger);
        capacity = compressionBandData->GetMemorySize();
        length = djz_Compress(bits, bandBytes, compressionBandData->GetBlockPtr(), capacity,
                              alignedRowBytes);
        if (length > capacity)
            length = 0;
    }
    if (length == 0)
        CPSDebugLog("Fail to compress band %u", bandIndex);
    return length;
}

bool QNVGDIFilter::SendBandData(unsigned char *band) {
    CPSDebugLog("==Band Data==");
    if (bandIndex >= bandCount)
        return false;
    unsigned char record[kGDIBandHeaderSize];
    memset(record, 0, sizeof(record));
    const unsigned int lines =
        IsLastBandOfPage() ? pageHeightLines - kGDIBandLines * bandIndex : kGDIBandLines;
    memcpy(record, kBandTag, sizeof(kBandTag));
    PutBigEndian16(record + 24, alignedBitWidth);
    PutBigEndian16(record + 26, lines);
    unsigned int flags = 0;
    if (IsFirstBandOfPage())
        flags |= kGDIBandFlagFirst;
    if (IsLastBandOfPage())
        flags |= kGDIBandFlagLast;
    PutBigEndian32(record + 4, flags);

    if (band == nullptr || HalftoneBuffer == nullptr || HalftoneBuffer->GetBlockPtr() == nullptr) {
        CPSDebugLog("Band %u has no data to send", bandIndex);
        return false;
    }
    ApplyGrayRasterHalftone(band, (int)alignedBitWidth, (int)bandIndex, (int)lines,
                            HalftoneBuffer->GetBlockPtr());
    const uint32_t length = CompressBand(lines);
    if (length == 0)
        return false;
    PutBigEndian32(record + 8, length);

    if (!SendData(record, kGDIBandHeaderSize))
        return false;
    return SendData(compressionBandData->GetBlockPtr(), length);
}

int QNVGDIFilter::SendPageEnd() {
    int result = mainStore != nullptr ? mainStore->OutStoreData() : 0;
    if (!holdPage && jobOptions.IsDuplex()) {
        result = SendTheStorePage();
        holdPage = false;
    }
    pageBuffer.reset();
    HalftoneBuffer.reset();
    compressionBandData.reset();
    CPSDebugLog("==End Page==");
    return result;
}

int QNVGDIFilter::SendSinglePage() {
    holdPage = false;
    if (mainStore == nullptr || heldStore == nullptr)
        return 0;
    PutBigEndian16(jobHeaderRecord + kJobModeOffset, 0);
    (void)SendData(jobHeaderRecord, kGDIJobHeaderSize);
    return heldStore->OutSinglePage();
}

int QNVGDIFilter::SendJobEnd() {
    CPSDebugLog("==End Job==");
    if (holdPage && heldStore != nullptr) {
        // The job stopped right after an odd duplex page: release that page, and
        // whatever was stored behind it, ahead of the job end marker.
        CPSDebugLog("Releasing the held page before the job end");
        holdPage = false;
        (void)SendTheStorePage();
    }
    (void)SendData(kGDIJobEndMarker, sizeof(kGDIJobEndMarker));
    const int result = mainStore != nullptr ? mainStore->OutStoreData() : 0;
    mainStore.reset();
    heldStore.reset();
    return result;
}

int QNVGDIFilter::SendGDICommand(const unsigned char *bytes, unsigned int length) {
    (void)SendData(bytes, length);
    return mainStore != nullptr ? mainStore->OutStoreData() : 0;
}

bool QNVGDIFilter::SendData(const void *bytes, unsigned int length) {
    QNVGDIStore *store = holdPage ? heldStore.get() : mainStore.get();
    if (store == nullptr)
        return false;
    return (unsigned int)store->StoreData(bytes, length) == length;
}

int QNVGDIFilter::SendTheStorePage() {
    return heldStore != nullptr ? heldStore->OutStoreData() : 0;
}
