// GDI printer stream writer: records, page geometry, duplex routing and band encoding.
#include "gdi/QNVGDIFilter.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "common/CUPSDebug.h"
#include "gdi/BytesOrder.h"
#include "gdi/Halftone.h"
#include "jbig/jbigcompress.h"

namespace {

// A buffer is made when it has its block; a buffer meant to hold no bytes still gets one.
bool BufferMade(const std::unique_ptr<QNVBlockBuffer> &buffer) {
    return buffer != nullptr && buffer->HasBlock();
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

QNVGDIFilter::QNVGDIFilter(QNVCUPSFilter &options, const JobPorts &ports)
    : jobOptions(options),
      ports(ports),
      bandIndex(0),
      bandsQueued(0),
      bandsSent(0),
      bandFailed(false),
      holdPage(false),
      blankPageAppended(false),
      bandWindowOnly(false),
      commandBehindHeldPage(false),
      jobCopies(1),
      encoderSetup(OvtJBIGDefaultSetup()),
      coderThreads(BandCoderThreads()),
      finalOutcome(SpoolQueue::Outcome::kOpen),
      finalError(0) {
    memset(jobHeaderRecord, 0, sizeof(jobHeaderRecord));
    memset(pageHeaderRecord, 0, sizeof(pageHeaderRecord));
}

// Stores still present (no job end) wait for the output thread as they go, before the
// spool queue they feed.
QNVGDIFilter::~QNVGDIFilter() {
    coder.reset();
    mainStore.reset();
    heldStore.reset();
    spool.reset();
}

void QNVGDIFilter::SetEncoderSetup(const JBIGEncoderSetup &setup) {
    coder.reset();
    encoderSetup = setup;
}

void QNVGDIFilter::SetCoderThreads(unsigned threads) {
    coder.reset();
    coderThreads = threads;
}

SpoolQueue::Outcome QNVGDIFilter::GetOutputOutcome() const {
    return spool != nullptr ? spool->GetOutcome() : finalOutcome;
}

int QNVGDIFilter::GetOutputError() const {
    return spool != nullptr ? spool->GetError() : finalError;
}

bool QNVGDIFilter::SendJobHeader(cups_page_header_s header) {
    CPSDebugLog("==Job Header==");
    if (spool == nullptr)
        spool.reset(new (std::nothrow) SpoolQueue(ports));
    if (spool != nullptr && mainStore == nullptr)
        mainStore.reset(new (std::nothrow) QNVGDIStore(*spool));
    if (spool != nullptr && heldStore == nullptr)
        heldStore.reset(new (std::nothrow) QNVGDIStore(*spool));
    if (mainStore == nullptr || heldStore == nullptr) {
        CPSDebugLog("==Job Header1==");
        return false;
    }
    // A held page goes out with its even partner, or not at all.
    heldStore->SetFlushJoinsPrevious(true);
    jobCopies = std::max(1u, header.NumCopies);

    unsigned char *record = jobHeaderRecord;
    memset(record, 0, kGDIJobHeaderSize);
    memcpy(record, kGDIJobHeaderTag, sizeof(kGDIJobHeaderTag));
    PutBigEndian32(record + kGDIJobLengthOffset, kGDIJobHeaderSize);
    PutBigEndian16(record + kGDIJobVersionOffset, 100);
    PutBigEndian16(record + kGDIJobCopiesOffset, header.NumCopies);
    record[kGDIJobTonerSaveOffset] = jobOptions.IsTonerSaving() ? 1 : 0;
    record[kGDIJobSmoothingOffset] = jobOptions.IsEdgeSmoothing() ? 1 : 0;
    unsigned int mode = 0;
    if (jobOptions.IsDuplex())
        mode |= kGDIJobModeDuplex;
    if (header.Collate != 0)
        mode |= kGDIJobModeCollate;
    PutBigEndian16(record + kGDIJobModeOffset, mode);
    PutBigEndian32(record + kGDIJobDateOffset, date());
    PutBigEndian16(record + kGDIJobBandLinesOffset, kGDIBandLines);
    PutBigEndian16(record + kGDIJobBitsOffset, 2);
    PutBigEndian16(record + kGDIJobPlanesOffset, 1);
    const char *name = jobOptions.GetFileName();
    if (name != nullptr) {
        memcpy(record + kGDIJobNameOffset, name, strnlen(name, kGDIJobNameSize));
    }
    return SendData(record, kGDIJobHeaderSize);
}

unsigned int QNVGDIFilter::AlignedBitWidth(unsigned int width) {
    const uint64_t aligned = AlignTo128(width);
    // Widths beyond the 32-bit range cannot be described; callers check the record
    // limit before asking.
    geometry.alignedBitWidth = aligned > UINT32_MAX ? 0 : (uint32_t)aligned;
    geometry.alignedRowBytes = geometry.alignedBitWidth / 8;
    return geometry.alignedBitWidth;
}

bool QNVGDIFilter::SendPageHeader(cups_page_header_s header, unsigned int page) {
    return SendPageHeader(header, page, PageGeometry::Of(header));
}

bool QNVGDIFilter::SendPageHeader(cups_page_header_s header, unsigned int page,
                                  const PageGeometry &pageGeometry) {
    CPSDebugLog("==Page Header==");
    holdPage = (page % 2 == 1) && jobOptions.IsDuplex();
    if (holdPage)
        commandBehindHeldPage = false;
    // A page's records go out in a flush of their own (the job header before the first
    // page in one before it), so that a page that cannot be made whole can be dropped
    // alone.
    if (!holdPage && mainStore != nullptr && mainStore->GetStoreCount() > 0)
        mainStore->OutStoreData();
    bandIndex = 0;
    bandsQueued = 0;
    bandsSent = 0;
    bandFailed = false;
    if (coder != nullptr)
        coder->DropAll();  // bands of a page left behind without its page end
    ReleasePageBuffers();  // whatever a page left behind without its page end
    geometry = pageGeometry;
    if (!geometry.fits) {
        CPSDebugLog("Page %u does not fit the page header or the page buffer limit", page);
        geometry = PageGeometry();
        return false;
    }
    if (page > kGDIMaxPageNumber) {
        CPSDebugLog("Page number %u does not fit the page header", page);
        return false;
    }
    if (!MakePageBuffers())
        return false;
    FillPageHeaderRecord(header, page);

    if (!SendData(pageHeaderRecord, kGDIPageHeaderSize))
        return false;
    CurrentStore()->NotePage(page, jobCopies);
    return true;
}

bool QNVGDIFilter::MakePageBuffers() {
    const uint32_t lines = bandWindowOnly ? std::min(kGDIBandLines, geometry.pageHeightLines)
                                          : geometry.pageHeightLines;
    pageBuffer.reset(new (std::nothrow)
                         QNVBlockBuffer(geometry.alignedBitWidth, lines, &blockPool));
    if (!BufferMade(pageBuffer)) {
        CPSDebugLog("pageBuffer is nil");
        return false;
    }
    return true;
}

void QNVGDIFilter::FillPageHeaderRecord(const cups_page_header_s &header, unsigned int page) {
    unsigned char *record = pageHeaderRecord;
    memset(record, 0, kGDIPageHeaderSize);
    memcpy(record, kGDIPageHeaderTag, sizeof(kGDIPageHeaderTag));
    PutBigEndian32(record + kGDIPageLengthOffset, kGDIPageHeaderSize);
    record[kGDIPagePaperSizeOffset] = (unsigned char)jobOptions.GetPaperSize();
    record[kGDIPageTrayOffset] = (unsigned char)jobOptions.GetInputTray();
    record[kGDIPagePaperTypeOffset] = (unsigned char)jobOptions.GetPaperType();
    PutBigEndian16(record + kGDIPageWidthOffset, geometry.alignedBitWidth);
    PutBigEndian16(record + kGDIPageHeightOffset, geometry.pageHeightLines);
    record[kGDIPageOneOffset] = 1;
    unsigned char flags = kGDIPageFlagAlways;
    if (jobOptions.IsDuplex()) {
        flags |= kGDIPageFlagDuplex;
        if (page % 2 == 0)
            flags |= kGDIPageFlagEvenPage;
    }
    if (blankPageAppended)
        flags |= kGDIPageFlagBlankPage;
    record[kGDIPageFlagsOffset] = flags;
    PutBigEndian16(record + kGDIPageNumberOffset, page);
    PutBigEndian16(record + kGDIPageBandCountOffset, geometry.bandCount);
    PutBigEndian32(record + kGDIPagePaperWidthOffset, PointsToMicrometres(header.PageSize[0]));
    PutBigEndian32(record + kGDIPagePaperLengthOffset, PointsToMicrometres(header.PageSize[1]));
}

bool QNVGDIFilter::SendPageData() {
    CPSDebugLog("==Page Data==");
    if (geometry.bandCount == 0)
        return true;
    if (pageBuffer == nullptr)
        return false;
    // A page in a band window has sent every band through SendNextBand.
    for (uint32_t i = bandsQueued; !bandWindowOnly && !bandFailed && i < geometry.bandCount; ++i)
        SendBandOfPage(i, pageBuffer->GetBandPtr(i));
    return AllBandsStored();
}

bool QNVGDIFilter::AllBandsStored() {
    StoreCodedBands(true);
    return !bandFailed && bandsSent == geometry.bandCount;
}

bool QNVGDIFilter::SendNextBand(unsigned char *lines, bool white) {
    if (pageBuffer == nullptr || bandFailed || bandsQueued >= geometry.bandCount)
        return false;
    return SendBandOfPage(bandsQueued, lines, white);
}

bool QNVGDIFilter::SendBandOfPage(uint32_t band, unsigned char *lines, bool white) {
    bandIndex = band;
    const bool queued = SendBandData(lines, white);
    bandIndex = band + 1;
    if (queued)
        bandsQueued = band + 1;
    else
        bandFailed = true;
    return queued && !bandFailed;
}

bool QNVGDIFilter::HaveCoder() {
    if (coder == nullptr)
        coder.reset(new (std::nothrow) BandCoder(coderThreads, encoderSetup));
    return coder != nullptr;
}

// Halftones the band into a slot of the coder and hands it over; the band is stored
// when it is coded and every band before it is stored (StoreCodedBands). The lines are
// not read after the return.
bool QNVGDIFilter::SendBandData(unsigned char *band, bool white) {
    CPSDebugLog("==Band Data==");
    if (bandIndex >= geometry.bandCount)
        return false;
    if (band == nullptr || geometry.alignedRowBytes == 0 || !HaveCoder()) {
        CPSDebugLog("Band %u has no data to send", bandIndex);
        return false;
    }
    const unsigned int lines = geometry.BandLines(bandIndex);
    const uint32_t bitsBytes = lines * geometry.alignedRowBytes;  // at most 256 x 8191
    bool noMemory = false;
    BandCoder::Slot *slot;
    while ((slot = coder->Claim(bitsBytes, geometry.alignedRowBytes, &noMemory)) == nullptr &&
           !noMemory) {
        StoreCodedBand(coder->Oldest(true));
    }
    if (slot == nullptr) {
        CPSDebugLog("No memory for the 1-bit lines of band %u", bandIndex);
        return false;
    }
    unsigned char *record = slot->record;
    memset(record, 0, kGDIBandHeaderSize);
    memcpy(record, kGDIBandTag, sizeof(kGDIBandTag));
    PutBigEndian16(record + kGDIBandWidthOffset, geometry.alignedBitWidth);
    PutBigEndian16(record + kGDIBandLinesOffset, lines);
    unsigned int flags = 0;
    if (IsFirstBandOfPage())
        flags |= kGDIBandFlagFirst;
    if (IsLastBandOfPage())
        flags |= kGDIBandFlagLast;
    PutBigEndian32(record + kGDIBandFlagsOffset, flags);
    slot->bandIndex = bandIndex;
    // White paper sets no dot, whatever the screen.
    if (white)
        memset(slot->bits, 0, bitsBytes);
    else
        ApplyGrayRasterHalftoneWith(SelectedHalftoneKernel(), band, (int)geometry.alignedBitWidth,
                                    (int)bandIndex, (int)lines, slot->bits, halftoneScreen);
    coder->Submit(slot);
    StoreCodedBands(false);
    return true;
}

// Stores the coded bands that are ready, oldest first; with `wait`, every band handed over.
void QNVGDIFilter::StoreCodedBands(bool wait) {
    if (coder == nullptr)
        return;
    while (BandCoder::Slot *slot = coder->Oldest(wait))
        StoreCodedBand(slot);
}

// After a band that could not be coded or stored, the page's later bands are coded but
// not stored: the page cannot be made whole.
void QNVGDIFilter::StoreCodedBand(BandCoder::Slot *slot) {
    if (slot == nullptr)
        return;
    const uint32_t length = slot->coded.length;
    if (!bandFailed && length == 0)
        CPSDebugLog("Fail to compress band %u", slot->bandIndex);
    bool stored = false;
    if (!bandFailed && length > 0) {
        PutBigEndian32(slot->record + kGDIBandLengthOffset, length);
        stored = SendData(slot->record, kGDIBandHeaderSize) && SendData(slot->coded.bytes, length);
    }
    const uint32_t band = slot->bandIndex;
    coder->Release(slot);
    if (stored)
        bandsSent = band + 1;
    else
        bandFailed = true;
}

QNVGDIStore *QNVGDIFilter::CurrentStore() const {
    return holdPage ? heldStore.get() : mainStore.get();
}

void QNVGDIFilter::DiscardPage() {
    CPSDebugLog("Page dropped: it could not be made whole");
    if (coder != nullptr)
        coder->DropAll();
    if (QNVGDIStore *store = CurrentStore())
        store->ReleaseStore();
    // An even page that is dropped leaves its odd partner held, for a blank partner.
    if (jobOptions.IsDuplex())
        holdPage = true;
}

void QNVGDIFilter::ReleasePageBuffers() {
    pageBuffer.reset();
}

int QNVGDIFilter::SendPageEnd() {
    StoreCodedBands(true);
    // The end of an even duplex page releases its held odd partner: the two sides of the
    // sheet go out together.
    const bool releaseHeld = !holdPage && jobOptions.IsDuplex() && heldStore != nullptr;
    if (releaseHeld && mainStore != nullptr && heldStore->GetStoreCount() > 0)
        (void)mainStore->AppendFrom(*heldStore);
    int result = mainStore != nullptr ? mainStore->OutStoreData() : 0;
    if (releaseHeld) {
        result = SendTheStorePage();
        holdPage = false;
    }
    ReleasePageBuffers();
    CPSDebugLog("==End Page==");
    return result;
}

int QNVGDIFilter::SendSinglePage() {
    holdPage = false;
    if (mainStore == nullptr || heldStore == nullptr)
        return 0;
    PutBigEndian16(jobHeaderRecord + kGDIJobModeOffset, 0);
    if (!SendData(jobHeaderRecord, kGDIJobHeaderSize))
        return 0;
    return heldStore->OutSinglePage();
}

int QNVGDIFilter::SendJobEnd() {
    CPSDebugLog("==End Job==");
    if (holdPage && heldStore != nullptr) {
        // The job stopped right after an odd duplex page whose partner never came: it
        // goes out alone, closed by the cancel command, ahead of the job end marker.
        holdPage = false;
        if (heldStore->GetStoreCount() > 0) {
            CPSDebugLog("Releasing the held page before the job end");
            if (!commandBehindHeldPage)
                (void)heldStore->StoreData(CancelCMD, sizeof(CancelCMD));
            (void)SendTheStorePage();
        }
    }
    const bool stored = SendData(kGDIJobEndMarker, sizeof(kGDIJobEndMarker));
    int result = mainStore != nullptr ? mainStore->OutStoreData() : 0;
    mainStore.reset();  // waits until everything flushed has gone out
    heldStore.reset();
    if (spool != nullptr) {
        finalOutcome = spool->GetOutcome();
        finalError = spool->GetError();
        spool.reset();
    }
    if (!stored || finalOutcome == SpoolQueue::Outcome::kFailed)
        result = 0;
    return result;
}

int QNVGDIFilter::SendGDICommand(const unsigned char *bytes, unsigned int length) {
    if (!SendData(bytes, length))
        return 0;
    if (holdPage)
        commandBehindHeldPage = true;
    return mainStore != nullptr ? mainStore->OutStoreData() : 0;
}

bool QNVGDIFilter::SendData(const void *bytes, unsigned int length) {
    QNVGDIStore *store = CurrentStore();
    if (store == nullptr)
        return false;
    return (unsigned int)store->StoreData(bytes, length) == length;
}

int QNVGDIFilter::SendTheStorePage() {
    return heldStore != nullptr ? heldStore->OutStoreData() : 0;
}
