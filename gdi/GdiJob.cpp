// One print job on the driver core: page checks, tone, placement, duplex and job end.
#include "gdi/GdiJob.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "common/CUPSDebug.h"
#include "gdi/GdiStream.h"
#include "gdi/Memory.h"
#include "gdi/QNVBlockBuffer.h"
#include "gdi/QNVGDIFilter.h"

namespace {

template <typename Enum>
unsigned RawEnum(const Enum &field) {
    static_assert(sizeof(Enum) == sizeof(unsigned), "header enums are 32-bit fields");
    unsigned raw;
    memcpy(&raw, &field, sizeof raw);
    return raw;
}

// Replaces a field that names no enumerator by `replacement`.
template <typename Enum>
void KeepInRange(Enum &field, unsigned largest, unsigned replacement) {
    if (RawEnum(field) > largest)
        memcpy(&field, &replacement, sizeof replacement);
}

// A true/false field out of range counts as true (any non-zero value).
void KeepInRange(cups_bool_t &field) {
    KeepInRange(field, CUPS_TRUE, CUPS_TRUE);
}

bool IsBlackIsHighGrey(unsigned colorSpace) {
    return colorSpace == CUPS_CSPACE_K;
}

bool IsWhiteIsHighGrey(unsigned colorSpace) {
    return colorSpace == CUPS_CSPACE_W || colorSpace == CUPS_CSPACE_SW;
}

}  // namespace

unsigned NormaliseEnumFields(cups_page_header_s &h) {
    const unsigned colorSpace = RawEnum(h.cupsColorSpace);
    KeepInRange(h.AdvanceMedia, CUPS_ADVANCE_PAGE, CUPS_ADVANCE_NONE);
    KeepInRange(h.Collate);
    KeepInRange(h.CutMedia, CUPS_CUT_PAGE, CUPS_CUT_NONE);
    KeepInRange(h.Duplex);
    KeepInRange(h.InsertSheet);
    KeepInRange(h.Jog, CUPS_JOG_SET, CUPS_JOG_NONE);
    KeepInRange(h.LeadingEdge, CUPS_EDGE_LEFT, CUPS_EDGE_TOP);
    KeepInRange(h.ManualFeed);
    KeepInRange(h.MirrorPrint);
    KeepInRange(h.NegativePrint);
    KeepInRange(h.Orientation, CUPS_ORIENT_270, CUPS_ORIENT_0);
    KeepInRange(h.OutputFaceUp);
    KeepInRange(h.Separations);
    KeepInRange(h.TraySwitch);
    KeepInRange(h.Tumble);
    KeepInRange(h.cupsColorOrder, CUPS_ORDER_PLANAR, CUPS_ORDER_CHUNKED);
    KeepInRange(h.cupsColorSpace, CUPS_CSPACE_DEVICEF, CUPS_CSPACE_K);
    return colorSpace;
}

GdiJob::GdiJob(const QNVCUPSFilter &options, const JobPorts &ports)
    : jobOptions(options), ports(ports), tone(&imageProcess) {
    memset(&pageHeader, 0, sizeof(pageHeader));
    imageProcess.GenerateGrayGammaTable(jobOptions.GetBrightness(), jobOptions.GetContrast());
    invertedProcess = imageProcess;
    invertedProcess.InvertInput();
    toneFoldable = FoldToneIntoScreen(imageProcess.GetTable(), &foldedScreen);
    gdiFilter.reset(new (std::nothrow) QNVGDIFilter(jobOptions, ports));
}

GdiJob::~GdiJob() = default;

void GdiJob::SetCoderThreads(unsigned threads) {
    if (gdiFilter != nullptr)
        gdiFilter->SetCoderThreads(threads);
}

GdiJob::PageStart GdiJob::StartPage(const cups_page_header_s &asRead) {
    if (gdiFilter == nullptr) {
        ReportJobError(*ports.reporter, "No memory to begin the job");
        failed = true;
        return PageStart::kFailed;
    }
    if (pageOpen)
        EndPage();
    if (cancelled || detectCancel())
        return PageStart::kCancelled;

    // The page is checked whole before anything of it is made or sent; a page the
    // printer cannot take does not count as a page of the job.
    cups_page_header_s header = asRead;
    const unsigned colorSpace = NormaliseEnumFields(header);
    const unsigned number = pagesSent + 1;
    pageNumber = number;
    if (!isPrintableFormat(header, colorSpace) || !hasUsableGeometry(header) ||
        !hasPageNumber(number)) {
        failed = true;
        return PageStart::kRefused;
    }
    rowCount = header.cupsHeight;
    rowBytes = header.cupsBytesPerLine;
    tone = IsWhiteIsHighGrey(colorSpace) ? &invertedProcess : &imageProcess;
    toneFolded = toneFoldable && tone == &imageProcess;
    gdiFilter->SetHalftoneScreen(toneFolded ? &foldedScreen : nullptr);
    if (jobOptions.IsLongEdgeVertical())
        exchangeForLongEdge(&header);
    const PageGeometry pageGeometry = PageGeometry::Of(header);
    if (!pageGeometry.fits) {
        ReportJobError(*ports.reporter,
                       "Page %u cannot be printed: page is larger than the printer can take",
                       number);
        failed = true;
        return PageStart::kRefused;
    }
    if (!allocRasterBuffer(pageGeometry)) {
        ReportJobError(*ports.reporter, "Page %u: no memory for a raster line", number);
        failed = true;
        return PageStart::kFailed;
    }
    ReportJobInfo(*ports.reporter, "Printing page %u", number);
    if (!preparePage(header, pageGeometry)) {
        ReportJobError(*ports.reporter, "Page %u could not be prepared (out of memory?)", number);
        failed = true;
        return PageStart::kFailed;
    }
    return PageStart::kStarted;
}

bool GdiJob::detectCancel() {
    if (!ports.control->IsCancelled())
        return false;
    cancelled = true;
    gdiFilter->SendGDICommand(CancelCMD, sizeof(CancelCMD));
    return true;
}

bool GdiJob::isPrintableFormat(const cups_page_header_s &header, unsigned colorSpace) {
    const bool grey8 = header.cupsBitsPerColor == 8 && header.cupsBitsPerPixel == 8 &&
                       (IsBlackIsHighGrey(colorSpace) || IsWhiteIsHighGrey(colorSpace));
    if (!grey8) {
        ReportJobError(*ports.reporter,
                       "Page %u is not 8-bit grey raster (%u bits per pixel, %u bits per colour, "
                       "colour space %u)",
                       pageNumber, header.cupsBitsPerPixel, header.cupsBitsPerColor, colorSpace);
        return false;
    }
    if (header.cupsWidth == 0 || header.cupsBytesPerLine != header.cupsWidth) {
        ReportJobError(*ports.reporter,
                       "Page %u: %u bytes per line do not match a width of %u pixels", pageNumber,
                       header.cupsBytesPerLine, header.cupsWidth);
        return false;
    }
    return true;
}

bool GdiJob::hasUsableGeometry(const cups_page_header_s &header) {
    const char *problem = nullptr;
    if (header.HWResolution[0] == 0 || header.HWResolution[1] == 0) {
        problem = "resolution is zero";
    } else if ((header.PageSize[0] != 0 && 2ull * header.Margins[0] >= header.PageSize[0]) ||
               (header.PageSize[1] != 0 && 2ull * header.Margins[1] >= header.PageSize[1])) {
        problem = "margins are wider than the paper";
    }
    if (problem == nullptr)
        return true;
    CPSDebugLog("Page %u: %ux%u pixels, %ux%u dpi, margins %ux%u, paper %ux%u", pageNumber,
                header.cupsWidth, header.cupsHeight, header.HWResolution[0], header.HWResolution[1],
                header.Margins[0], header.Margins[1], header.PageSize[0], header.PageSize[1]);
    ReportJobError(*ports.reporter, "Page %u cannot be printed: %s", pageNumber, problem);
    return false;
}

// The page header carries the page number in 16 bits.
bool GdiJob::hasPageNumber(unsigned page) {
    if (page <= kGDIMaxPageNumber)
        return true;
    ReportJobError(*ports.reporter,
                   "Page %u cannot be printed: the printer counts the pages of a job up to %u",
                   page, kGDIMaxPageNumber);
    return false;
}

// For long-edge feed the raster is turned into the page: width and height, and the
// paper's two sides, change places; resolutions, margins and bounding box stay.
void GdiJob::exchangeForLongEdge(cups_page_header_s *header) {
    std::swap(header->cupsWidth, header->cupsHeight);
    const unsigned samples =
        header->cupsBitsPerColor != 0 ? header->cupsBitsPerPixel / header->cupsBitsPerColor : 0;
    header->cupsBytesPerLine = header->cupsHeight * samples;
    std::swap(header->PageSize[0], header->PageSize[1]);
}

void GdiJob::logPageHeader(const cups_page_header_s &h) {
    CPSDebugLog("cupsPageHeader.cupsWidth = %d", (int)h.cupsWidth);
    CPSDebugLog("cupsPageHeader.cupsHeight = %d", (int)h.cupsHeight);
    CPSDebugLog("cupsPageHeader.cupsBytesPerLine = %d", (int)h.cupsBytesPerLine);
    for (int i = 0; i < 4; ++i) {
        CPSDebugLog("cupsPageHeader.ImagingBoundingBox[%d] = %d", i, (int)h.ImagingBoundingBox[i]);
    }
    CPSDebugLog("cupsPageHeader.PageSize[0] = %d", (int)h.PageSize[0]);
    CPSDebugLog("cupsPageHeader.PageSize[1] = %d", (int)h.PageSize[1]);
    CPSDebugLog("cupsPageHeader.Margins[0] = %d", (int)h.Margins[0]);
    CPSDebugLog("cupsPageHeader.Margins[1] = %d", (int)h.Margins[1]);
    CPSDebugLog("cupsPageHeader.HWResolution[0] = %d", (int)h.HWResolution[0]);
    CPSDebugLog("cupsPageHeader.HWResolution[1] = %d", (int)h.HWResolution[1]);
    CPSDebugLog("cupsPageHeader.Collate = %d", (int)h.Collate);
    CPSDebugLog("cupsPageHeader.NumCopies = %d", (int)h.NumCopies);
    CPSDebugLog("cupsPageHeader.Duplex = %d", (int)h.Duplex);
    CPSDebugLog("cupsPageHeader.InsertSheet = %d", (int)h.InsertSheet);
}

// Long-edge feed writes each row, with the y margin's zero bytes on both sides, as a
// column of the page; the other pages are written in place and need no line of their own.
bool GdiJob::allocRasterBuffer(const PageGeometry &pageGeometry) {
    if (!jobOptions.IsLongEdgeVertical()) {
        rasterBuffer.clear();
        return true;
    }
    const size_t size = (size_t)rowBytes + 2 * (size_t)pageGeometry.yMarginLines;
    return Grown([&] { rasterBuffer.assign(size, 0); });
}

bool GdiJob::preparePage(const cups_page_header_s &header, const PageGeometry &pageGeometry) {
    fill = jobOptions.IsLongEdgeVertical() ? Fill::kColumns
           : isTurnedPage(pageNumber)      ? Fill::kWholePage
                                           : Fill::kBandWindow;
    if (!jobHeaderSent) {
        if (!gdiFilter->SendJobHeader(header))
            return false;
        jobHeaderSent = true;
    }
    logPageHeader(header);
    gdiFilter->SetBandWindowOnly(fill == Fill::kBandWindow);
    if (!gdiFilter->SendPageHeader(header, pageNumber, pageGeometry)) {
        gdiFilter->DiscardPage();
        gdiFilter->SendPageEnd();
        return false;
    }
    pageHeader = header;
    geometry = pageGeometry;
    page = gdiFilter->GetPageBuffer();
    pageBroken = false;
    rowsDone = 0;
    currentRow = nullptr;
    firstRow = nullptr;
    window = nullptr;
    openBand = -1;
    if (fill == Fill::kWholePage) {
        firstRow = page->PrepareRowsForFilling(geometry.yMarginLines, rowCount,
                                               geometry.xMarginDots, rowBytes);
    } else if (fill == Fill::kBandWindow) {
        window = page->LinesForOverwriting(0, std::min(kGDIBandLines, geometry.pageHeightLines));
    }
    if (fill != Fill::kColumns && firstRow == nullptr && window == nullptr) {
        gdiFilter->DiscardPage();
        gdiFilter->SendPageEnd();
        return false;
    }
    pageOpen = true;
    return true;
}

// Back sides are turned half round: with long-edge binding for pages fed short edge
// first, with short-edge binding for pages fed long edge first.
bool GdiJob::isTurnedPage(unsigned number) const {
    if (number % 2 != 0)
        return false;
    const unsigned style = jobOptions.GetDuplexStyle();
    const bool longEdge = jobOptions.IsLongEdgeVertical();
    return (style == 1 && !longEdge) || (style == 2 && longEdge);
}

unsigned char *GdiJob::NextRow() {
    if (!pageOpen || pageBroken || rowsDone >= rowCount)
        return nullptr;
    switch (fill) {
        case Fill::kColumns:
            currentRow = rasterBuffer.data() + geometry.yMarginLines;
            break;
        case Fill::kWholePage:
            currentRow = firstRow + (size_t)rowsDone * page->GetWidth();
            break;
        case Fill::kBandWindow:
            currentRow = nextWindowRow();
            break;
    }
    return currentRow;
}

void GdiJob::ToneInto(unsigned char *to, const unsigned char *from, size_t count) {
    if (toneFolded) {
        if (ClampForFoldedScreen(from, to, count))
            bandInked = true;
    } else {
        tone->AdjustGrayscaleLineTo(from, to, (unsigned)count);
        bandInked = true;  // white paper may have toned to anything
    }
}

bool GdiJob::RowDone(bool toned) {
    if (currentRow == nullptr)
        return false;
    if (!toned)
        ToneInto(currentRow, currentRow, rowBytes);
    if (fill == Fill::kColumns) {
        insertLineToPageBuffer(page, geometry.xMarginDots + rowsDone, rasterBuffer.data(),
                               (unsigned)rasterBuffer.size());
    }
    currentRow = nullptr;
    ++rowsDone;
    return !pageBroken;
}

bool GdiJob::PutRow(const unsigned char *row) {
    unsigned char *to = NextRow();
    if (to == nullptr)
        return false;
    ToneInto(to, row, rowBytes);
    return RowDone(true);
}

void GdiJob::insertLineToPageBuffer(QNVBlockBuffer *buffer, unsigned index,
                                    const unsigned char *line, unsigned length) {
    if (jobOptions.IsLongEdgeVertical()) {
        buffer->VerticalInsertLine(index, line, length);
    } else {
        buffer->InsertLine(index, line, length);
    }
}

// The row of page line yMargin + rowsDone in the band window: a band whose rows are all
// in goes out, and the bands after it are laid out (and those with no rows at all, in
// the margins, go out at once) until the band that holds the row is in the window.
unsigned char *GdiJob::nextWindowRow() {
    const unsigned y = geometry.yMarginLines + rowsDone;
    const long band = (long)(y / kGDIBandLines);
    while (openBand != band) {
        if (openBand >= 0 && !sendWindowBand())
            return nullptr;
        openWindowBand((unsigned)(openBand + 1));
    }
    const unsigned first = (unsigned)band * kGDIBandLines;
    return window + (size_t)(y - first) * page->GetWidth() + geometry.xMarginDots;
}

// Lays out band `band` in the window: zero lines above and below the rows, zero margins
// beside them; the rows themselves are written by the front end.
void GdiJob::openWindowBand(unsigned band) {
    const unsigned width = page->GetWidth();
    const unsigned first = band * kGDIBandLines;
    const unsigned lines = geometry.BandLines(band);
    const unsigned rowsBegin = geometry.yMarginLines;
    const unsigned rowsEnd = geometry.yMarginLines + rowCount;
    const unsigned rightMargin = width - geometry.xMarginDots - rowBytes;
    for (unsigned y = first; y < first + lines; ++y) {
        unsigned char *line = window + (size_t)(y - first) * width;
        if (y < rowsBegin || y >= rowsEnd) {
            memset(line, 0, width);
        } else {
            memset(line, 0, geometry.xMarginDots);
            memset(line + geometry.xMarginDots + rowBytes, 0, rightMargin);
        }
    }
    openBand = (long)band;
    bandInked = false;  // the margins and the lines around the rows are white
}

bool GdiJob::sendWindowBand() {
    if (!gdiFilter->SendNextBand(window, !bandInked)) {
        pageBroken = true;
        return false;
    }
    return true;
}

// Rows that did not arrive, and the part of a row that did, print white.
void GdiJob::whitenMissingRows() {
    if (fill == Fill::kColumns || rowsDone >= rowCount)
        return;
    if (fill == Fill::kWholePage) {
        for (unsigned row = rowsDone; row < rowCount; ++row)
            memset(firstRow + (size_t)row * page->GetWidth(), 0, rowBytes);
        return;
    }
    if (openBand < 0)
        return;  // no band laid out yet: each is laid out white below
    const unsigned first = (unsigned)openBand * kGDIBandLines;
    const unsigned end =
        std::min(first + geometry.BandLines((unsigned)openBand), geometry.yMarginLines + rowCount);
    for (unsigned y = geometry.yMarginLines + rowsDone; y < end; ++y)
        memset(window + (size_t)(y - first) * page->GetWidth() + geometry.xMarginDots, 0, rowBytes);
}

// Sends the band in the window and every band after it, which hold no row that arrived
// and are white.
bool GdiJob::sendRestOfWindow() {
    if (geometry.bandCount == 0)
        return true;
    const size_t windowBytes =
        (size_t)std::min(kGDIBandLines, geometry.pageHeightLines) * page->GetWidth();
    if (openBand < 0) {
        openBand = 0;
        memset(window, 0, windowBytes);
        bandInked = false;
    }
    if (!sendWindowBand())
        return false;
    if ((uint32_t)openBand + 1 < geometry.bandCount) {
        memset(window, 0, windowBytes);
        bandInked = false;
    }
    while ((uint32_t)++openBand < geometry.bandCount) {
        if (!sendWindowBand())
            return false;
    }
    return true;
}

void GdiJob::rasterPageImageProcessing(QNVBlockBuffer *buffer, unsigned number) {
    if (isTurnedPage(number))
        buffer->Rotate();
}

bool GdiJob::EndPage() {
    if (!pageOpen)
        return false;
    pageOpen = false;
    whitenMissingRows();
    bool sent;
    if (fill == Fill::kBandWindow) {
        sent = !pageBroken && sendRestOfWindow() && gdiFilter->AllBandsStored();
    } else {
        rasterPageImageProcessing(page, pageNumber);
        sent = gdiFilter->SendPageData();
    }
    page = nullptr;
    return endPageRecords(sent);
}

bool GdiJob::endPageRecords(bool sent) {
    if (!sent) {
        gdiFilter->DiscardPage();
        gdiFilter->SendPageEnd();
        ReportJobError(*ports.reporter, "Page %u could not be sent to the printer", pageNumber);
        failed = true;
        return false;
    }
    gdiFilter->SendPageEnd();
    pagesSent = pageNumber;
    return !outputFailed();
}

bool GdiJob::outputFailed() {
    if (gdiFilter->GetOutputOutcome() != SpoolQueue::Outcome::kFailed)
        return false;
    failed = true;
    if (!outputErrorReported) {
        outputErrorReported = true;
        ReportJobError(*ports.reporter, "The printer stream could not be written: %s",
                       strerror(gdiFilter->GetOutputError()));
    }
    return true;
}

void GdiJob::insertBlankPage() {
    pageNumber = pagesSent + 1;
    gdiFilter->SetBlankPageAppended(true);
    gdiFilter->SetBandWindowOnly(true);
    if (!gdiFilter->SendPageHeader(pageHeader, pageNumber)) {
        gdiFilter->DiscardPage();
        gdiFilter->SendPageEnd();
        gdiFilter->SetBlankPageAppended(false);
        CPSDebugLog("The blank page could not be made");
        return;
    }
    // A blank page is all zero bytes, turned or not: every band is the same white band,
    // made once in the lines of the first band and sent from there.
    QNVBlockBuffer *blank = gdiFilter->GetPageBuffer();
    const unsigned windowLines = std::min(kGDIBandLines, blank->GetHeight());
    unsigned char *lines = blank->LinesForOverwriting(0, windowLines);
    bool sent = true;
    if (lines != nullptr) {
        memset(lines, 0, (size_t)windowLines * blank->GetWidth());
        for (uint32_t band = 0; band < gdiFilter->GetBandCount() && sent; ++band)
            sent = gdiFilter->SendNextBand(lines, true);
    }
    sent = sent && gdiFilter->SendPageData();
    if (!sent)
        gdiFilter->DiscardPage();
    gdiFilter->SendPageEnd();
    gdiFilter->SetBlankPageAppended(false);
    if (sent)
        pagesSent = pageNumber;
    CPSDebugLog("insertBlankPage!");
}

bool GdiJob::Finish() {
    if (gdiFilter == nullptr)
        return false;
    if (pageOpen)
        EndPage();
    if (!cancelled && jobOptions.IsDuplex()) {
        if (pagesSent == 1) {
            gdiFilter->SendSinglePage();
        } else if (pagesSent % 2 == 1) {
            insertBlankPage();
        }
    }
    gdiFilter->SendJobEnd();
    outputFailed();
    const SpoolQueue::Outcome outcome = gdiFilter->GetOutputOutcome();
    if (outcome == SpoolQueue::Outcome::kCancelled || outcome == SpoolQueue::Outcome::kAbandoned)
        cancelled = true;
    // A job cancelled is a job done as asked, whatever stopped it on the way.
    return cancelled || !failed;
}
