// The job's page loop.
#include "filter/QNVRasterFilter.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "common/CUPSDebug.h"
#include "gdi/QNVBlockBuffer.h"
#include "gdi/QNVGDIFilter.h"

// cupsRasterReadHeader is marked deprecated in favour of the larger version-2 header,
// but the stream writer works on the version-1 record, which is what it reads.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

const unsigned char CancelCMD[16] = {'G', 'D', 'I', 'C', ' ', 'C', 'A', 'N',
                                     'C', 'E', 'L', ' ', ' ', ' ', ' ', ' '};

namespace {

// Set by the signal handler only; read by the loop between pages.
volatile sig_atomic_t gSigTerm = 0;
volatile sig_atomic_t gSigPipe = 0;

constexpr unsigned kPointsPerInch = 72;
// Raster is read from the input in pieces of this size, small enough to stay in the
// cache until its pixels are toned into the page.
constexpr size_t kInputChunkBytes = 256 * 1024;

// The enumerated fields of a page header come straight from the job's bytes and may
// hold any value; reading one that names no enumerator is undefined. Each is read as a
// plain number and, when out of range, replaced by a value of its type: a true/false
// field by true (any non-zero value), the others by their first value.
template <typename Enum>
unsigned RawEnum(const Enum &field) {
    static_assert(sizeof(Enum) == sizeof(unsigned), "header enums are 32-bit fields");
    unsigned raw;
    memcpy(&raw, &field, sizeof raw);
    return raw;
}

template <typename Enum>
void KeepInRange(Enum &field, unsigned largest, unsigned replacement) {
    if (RawEnum(field) > largest)
        memcpy(&field, &replacement, sizeof replacement);
}

void KeepInRange(cups_bool_t &field) {
    KeepInRange(field, CUPS_TRUE, CUPS_TRUE);
}

// Returns the colour space as the job gave it, for the format check and its message.
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

uint64_t MarginDots(unsigned resolution, unsigned marginPoints) {
    return (uint64_t)resolution * marginPoints / kPointsPerInch;
}

bool IsBlackIsHighGrey(unsigned colorSpace) {
    return colorSpace == CUPS_CSPACE_K;
}

bool IsWhiteIsHighGrey(unsigned colorSpace) {
    return colorSpace == CUPS_CSPACE_W || colorSpace == CUPS_CSPACE_SW;
}

void InvertLine(unsigned char *line, unsigned length) {
    for (unsigned i = 0; i < length; ++i)
        line[i] = (unsigned char)(255 - line[i]);
}

}  // namespace

QNVRasterFilter::QNVRasterFilter(QNVCUPSFilter options)
    : rasterStream(nullptr),
      rasterBuffer(nullptr),
      rasterBufferWidth(0),
      rasterBufferSize(0),
      pageCount(0),
      imageProcess(),
      jobOptions(options),
      gdiFilter(nullptr),
      jobCopies(1),
      invertPage(false) {
    memset(&pageHeader, 0, sizeof(pageHeader));
}

QNVRasterFilter::~QNVRasterFilter() {
    // Run releases everything; this only guards against a Run that never finished.
    deallocRasterBuffer();
    delete gdiFilter;
    if (rasterStream != nullptr)
        cupsRasterClose(rasterStream);
}

bool QNVRasterFilter::Run() {
    CPSDebugLog("QNVRasterFilter is running!");
    installSignalHandler(SIGTERM, "DEBUG: Failed to set SIGTERM handler");
    installSignalHandler(SIGPIPE, "DEBUG: Failed to set SIGPIPE handler");

    gdiFilter = new QNVGDIFilter(jobOptions);
    input = RasterInput();
    input.fd = jobOptions.GetRasterFileHandle();
    input.chunk.resize(kInputChunkBytes);
    rasterStream =
        input.fd >= 0 ? cupsRasterOpenIO(readRasterInput, &input, CUPS_RASTER_READ) : nullptr;
    input.atPageEnd = input.delivered;
    imageProcess.GenerateGrayGammaTable(jobOptions.GetBrightness(), jobOptions.GetContrast());

    cups_page_header_s savedHeader;
    memset(&savedHeader, 0, sizeof(savedHeader));
    bool result = false;
    pageCount = 0;

    if (rasterStream == nullptr) {
        fprintf(stderr, "ERROR: The job's data is not CUPS raster and cannot be printed\n");
    }

    while (rasterStream != nullptr) {
        cups_page_header_s next;
        if (!cupsRasterReadHeader(rasterStream, &next)) {
            result = endedCleanly();
            if (!result) {
                CPSDebugLog("Unreadable page header after page %u", pageCount);
                fprintf(stderr,
                        "ERROR: The job's raster data is damaged after page %u (unreadable page "
                        "header)\n",
                        pageCount);
            }
            break;
        }
        const unsigned colorSpace = NormaliseEnumFields(next);
        const cups_page_header_s previousHeader = pageHeader;
        const cups_page_header_s previousSaved = savedHeader;
        pageHeader = next;
        savedHeader = pageHeader;
        ++pageCount;
        const unsigned lineCount = pageHeader.cupsHeight;
        const unsigned lineLength = pageHeader.cupsBytesPerLine;

        if (detectCancel()) {
            result = true;
            break;
        }

        // A page the printer cannot take is refused before anything of it is made or
        // sent; it does not count as a page of the job.
        if (!isPrintableFormat(pageHeader, colorSpace)) {
            pageHeader = previousHeader;
            savedHeader = previousSaved;
            --pageCount;
            break;
        }
        invertPage = IsWhiteIsHighGrey(colorSpace);
        if (!hasUsableGeometry(pageHeader)) {
            pageHeader = previousHeader;
            savedHeader = previousSaved;
            --pageCount;
            break;
        }
        if (!allocRasterBuffer()) {
            // Refused before its header is stored, so the stream stays whole.
            fprintf(stderr, "ERROR: Page %u: no memory for a raster line\n", pageCount);
            pageHeader = previousHeader;
            savedHeader = previousSaved;
            --pageCount;
            break;
        }
        fprintf(stderr, "INFO: Printing page %u\n", pageCount);
        if (jobOptions.IsLongEdgeVertical())
            exchangeForLongEdge();

        if (pageCount == 1) {
            gdiFilter->SendJobHeader(pageHeader);
            jobCopies = std::max(1u, pageHeader.NumCopies);
        }
        logPageHeader();

        if (!gdiFilter->SendPageHeader(pageHeader, pageCount)) {
            deallocRasterBuffer();
            gdiFilter->SendPageEnd();
            fprintf(stderr, "ERROR: Page %u could not be prepared (out of memory?)\n", pageCount);
            break;
        }

        QNVBlockBuffer *page = gdiFilter->GetPageBuffer();
        const unsigned margin = jobOptions.IsLongEdgeVertical() ? gdiFilter->GetyMarginLines()
                                                                : gdiFilter->GetxMarginBytes();
        bool complete = true;
        if (lineCount != 0 && page != nullptr) {
            if (jobOptions.IsLongEdgeVertical())
                complete = readPageLines(page, lineCount, lineLength, margin);
            else if (isTurnedPage())
                complete = readPageRowsInPlace(page, lineCount, lineLength);
            else
                complete = readPageThroughBandWindow(page, lineCount, lineLength);
        }
        deallocRasterBuffer();
        if (page != nullptr)
            rasterPageImageProcessing(page);

        const bool sent = gdiFilter->SendPageData();
        gdiFilter->SendPageEnd();
        if (!sent) {
            fprintf(stderr, "ERROR: Page %u could not be sent to the printer\n", pageCount);
            break;
        }
        reportPageDone();
        input.atPageEnd = input.delivered;
        if (!complete) {
            // What arrived of the page was printed; the job itself is incomplete.
            CPSDebugLog("Raster data ended within page %u", pageCount);
            fprintf(stderr, "ERROR: The job's raster data ended within page %u\n", pageCount);
            break;
        }
    }

    if (jobOptions.IsDuplex()) {
        if (pageCount == 1) {
            gdiFilter->SendSinglePage();
        } else if (pageCount % 2 == 1) {
            insertBlankPage(savedHeader);
        }
    }
    gdiFilter->SendJobEnd();
    delete gdiFilter;
    gdiFilter = nullptr;
    QNVBlockBuffer::ReleaseRecycledBlocks();
    if (rasterStream != nullptr) {
        cupsRasterClose(rasterStream);
        rasterStream = nullptr;
    }
    CPSDebugLog("retValue: %d", result ? 1 : 0);
    return result;
}

ssize_t QNVRasterFilter::readRasterInput(void *context, unsigned char *buffer, size_t length) {
    RasterInput *in = static_cast<RasterInput *>(context);
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

// The job ended normally when the input ran out right after a whole page: nothing of
// a further page header was delivered. libcups reads uncompressed raster exactly as
// asked, so a header cut short or rejected as malformed shows up as bytes delivered
// after the last page; compressed raster is read ahead and only tells its end.
bool QNVRasterFilter::endedCleanly() const {
    return input.endOfInput && !input.readError && input.delivered == input.atPageEnd;
}

bool QNVRasterFilter::isPrintableFormat(const cups_page_header_s &header, unsigned colorSpace) {
    const bool grey8 = header.cupsBitsPerColor == 8 && header.cupsBitsPerPixel == 8 &&
                       (IsBlackIsHighGrey(colorSpace) || IsWhiteIsHighGrey(colorSpace));
    if (!grey8) {
        CPSDebugLog(
            "Page %u: unsupported raster format (%u bits per pixel, %u bits per colour, "
            "colour space %u)",
            pageCount, header.cupsBitsPerPixel, header.cupsBitsPerColor, colorSpace);
        fprintf(stderr,
                "ERROR: Page %u is not 8-bit grey raster (%u bits per pixel, %u bits per colour, "
                "colour space %u)\n",
                pageCount, header.cupsBitsPerPixel, header.cupsBitsPerColor, colorSpace);
        return false;
    }
    if (header.cupsWidth == 0 || header.cupsBytesPerLine != header.cupsWidth) {
        CPSDebugLog("Page %u: %u bytes per line do not match a width of %u pixels", pageCount,
                    header.cupsBytesPerLine, header.cupsWidth);
        fprintf(stderr, "ERROR: Page %u: %u bytes per line do not match a width of %u pixels\n",
                pageCount, header.cupsBytesPerLine, header.cupsWidth);
        return false;
    }
    return true;
}

bool QNVRasterFilter::hasUsableGeometry(const cups_page_header_s &header) {
    const char *problem = nullptr;
    if (header.HWResolution[0] == 0 || header.HWResolution[1] == 0) {
        problem = "resolution is zero";
    } else if ((header.PageSize[0] != 0 && 2ull * header.Margins[0] >= header.PageSize[0]) ||
               (header.PageSize[1] != 0 && 2ull * header.Margins[1] >= header.PageSize[1])) {
        problem = "margins are wider than the paper";
    } else {
        const uint64_t width =
            header.cupsWidth + 2 * MarginDots(header.HWResolution[0], header.Margins[0]);
        const uint64_t height =
            header.cupsHeight + 2 * MarginDots(header.HWResolution[1], header.Margins[1]);
        if (width > kGDIMaxPageDots || height > kGDIMaxPageDots ||
            width * height > kMaxPageBufferBytes) {
            problem = "page is larger than the printer can take";
        }
    }
    if (problem == nullptr)
        return true;
    CPSDebugLog("Page %u: %s (%ux%u pixels, %ux%u dpi, margins %ux%u, paper %ux%u)", pageCount,
                problem, header.cupsWidth, header.cupsHeight, header.HWResolution[0],
                header.HWResolution[1], header.Margins[0], header.Margins[1], header.PageSize[0],
                header.PageSize[1]);
    fprintf(stderr, "ERROR: Page %u cannot be printed: %s\n", pageCount, problem);
    return false;
}

void QNVRasterFilter::exchangeForLongEdge() {
    std::swap(pageHeader.cupsWidth, pageHeader.cupsHeight);
    const unsigned samples = pageHeader.cupsBitsPerColor != 0
                                 ? pageHeader.cupsBitsPerPixel / pageHeader.cupsBitsPerColor
                                 : 0;
    pageHeader.cupsBytesPerLine = pageHeader.cupsHeight * samples;
    std::swap(pageHeader.PageSize[0], pageHeader.PageSize[1]);
}

void QNVRasterFilter::logPageHeader() {
    const cups_page_header_s &h = pageHeader;
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

bool QNVRasterFilter::readPageLines(QNVBlockBuffer *page, unsigned lineCount, unsigned lineLength,
                                    unsigned margin) {
    const unsigned firstIndex = jobOptions.IsLongEdgeVertical() ? gdiFilter->GetxMarginBytes()
                                                                : gdiFilter->GetyMarginLines();
    unsigned char *pixels = rasterBuffer + margin;
    for (unsigned row = 0; row < lineCount; ++row) {
        const unsigned got = cupsRasterReadPixels(rasterStream, pixels, lineLength);
        toneLine(pixels, lineLength);
        insertLineToPageBuffer(page, firstIndex + row, rasterBuffer, lineLength + 2 * margin);
        if (got == 0)
            return false;
    }
    return true;
}

// Rows are read straight into their place in the page buffer and toned there. The
// margins around them are zero, so the page is byte for byte what inserting padded
// lines gives, without copying every line twice. Every byte of the rows is written,
// with zeros where the input ran out.
bool QNVRasterFilter::readPageRowsInPlace(QNVBlockBuffer *page, unsigned lineCount,
                                          unsigned lineLength) {
    const unsigned xMargin = gdiFilter->GetxMarginBytes();
    const unsigned yMargin = gdiFilter->GetyMarginLines();
    unsigned char *const firstRow =
        page->PrepareRowsForFilling(yMargin, lineCount, xMargin, lineLength);
    if (firstRow == nullptr)
        return readPageLines(page, lineCount, lineLength, xMargin);
    const size_t stride = page->GetWidth();
    RowReading reading;
    const unsigned got = readRows(&reading, firstRow, stride, lineCount, lineLength);
    for (unsigned row = got; row < lineCount; ++row)
        memset(firstRow + row * stride, 0, lineLength);  // what did not arrive is white
    return got == lineCount;
}

// A page that is not turned is made a band at a time in the lines of the page buffer's
// first band, which stay in the cache, and each band is sent as soon as it is made:
// the same bands as reading the whole page first, without the page ever being written
// out to memory and read back. Every byte of each band is written: the rows, zero
// margins, and zeros where the input ran out.
bool QNVRasterFilter::readPageThroughBandWindow(QNVBlockBuffer *page, unsigned lineCount,
                                                unsigned lineLength) {
    const unsigned width = page->GetWidth();
    const unsigned height = page->GetHeight();
    const unsigned xMargin = gdiFilter->GetxMarginBytes();
    const unsigned yMargin = gdiFilter->GetyMarginLines();
    unsigned char *window = page->LinesForOverwriting(0, std::min(kGDIBandLines, height));
    if (window == nullptr || (uint64_t)xMargin * 2 + lineLength > width ||
        (uint64_t)yMargin + lineCount > height) {
        return readPageRowsInPlace(page, lineCount, lineLength);
    }
    const unsigned rightMargin = width - xMargin - lineLength;
    RowReading reading;
    bool complete = true;
    for (unsigned first = 0; first < height; first += kGDIBandLines) {
        const unsigned lines = std::min(kGDIBandLines, height - first);
        // The band's lines that carry rows of the raster.
        const unsigned rowsBegin = std::min(std::max(yMargin, first), first + lines);
        const unsigned rowsEnd = std::max(std::min(yMargin + lineCount, first + lines), rowsBegin);
        for (unsigned y = first; y < first + lines; ++y) {
            unsigned char *line = window + (size_t)(y - first) * width;
            if (y < rowsBegin || y >= rowsEnd) {
                memset(line, 0, width);
            } else {
                memset(line, 0, xMargin);
                memset(line + xMargin + lineLength, 0, rightMargin);
            }
        }
        const unsigned rows = rowsEnd - rowsBegin;
        unsigned char *firstRow = window + (size_t)(rowsBegin - first) * width + xMargin;
        const unsigned got = complete ? readRows(&reading, firstRow, width, rows, lineLength) : 0;
        for (unsigned row = got; row < rows; ++row)
            memset(firstRow + (size_t)row * width, 0, lineLength);  // did not arrive: white
        complete = complete && got == rows;
        if (!gdiFilter->SendNextBand(window))
            break;  // SendPageData reports the page as not sent
    }
    return complete;
}

// Reads the page's next `rows` rows into places `stride` bytes apart, toned. The first
// row of the page goes through libcups. When it took exactly the row's bytes from the
// input, libcups passes the uncompressed pixels through unchanged and keeps nothing of
// the input back, so the other rows are read from the input directly. Returns the
// number of rows read whole; the row after them may hold part of a row.
unsigned QNVRasterFilter::readRows(RowReading *reading, unsigned char *first, size_t stride,
                                   unsigned rows, unsigned lineLength) {
    unsigned done = 0;
    if (!reading->probed && rows > 0) {
        reading->probed = true;
        const unsigned long long before = input.delivered;
        if (cupsRasterReadPixels(rasterStream, first, lineLength) == 0)
            return 0;
        toneLine(first, lineLength);
        reading->direct = input.carriesPlainPixels() && input.delivered - before == lineLength;
        done = 1;
    }
    if (reading->direct)
        return done + readRowsDirect(first + done * stride, stride, rows - done, lineLength);
    for (; done < rows; ++done) {
        unsigned char *pixels = first + done * stride;
        if (cupsRasterReadPixels(rasterStream, pixels, lineLength) == 0)
            break;
        toneLine(pixels, lineLength);
    }
    return done;
}

// Inverts a white-is-high line and maps it through the tone table, in place.
void QNVRasterFilter::toneLine(unsigned char *pixels, unsigned lineLength) {
    if (invertPage)
        InvertLine(pixels, lineLength);
    imageProcess.AdjustGrayscaleLine(pixels, lineLength);
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

// Reads `rows` rows of lineLength bytes from the input and writes them toned to their
// places, stride bytes apart: each piece of the input is toned on its way from the
// read-ahead chunk, while it is still in the cache. Returns the number of rows read
// whole; the row after them may hold part of a row.
unsigned QNVRasterFilter::readRowsDirect(unsigned char *first, size_t stride, unsigned rows,
                                         unsigned lineLength) {
    unsigned done = 0;
    size_t partial = 0;  // bytes of row `done` already there
    while (done < rows) {
        if (input.chunkStart == input.chunkEnd && !input.Refill())
            break;
        unsigned char *from = input.chunk.data() + input.chunkStart;
        const size_t count = std::min(lineLength - partial, input.chunkEnd - input.chunkStart);
        if (invertPage)
            InvertLine(from, (unsigned)count);
        imageProcess.AdjustGrayscaleLineTo(from, first + done * stride + partial, (unsigned)count);
        input.chunkStart += count;
        input.delivered += count;
        partial += count;
        if (partial == lineLength) {
            ++done;
            partial = 0;
        }
    }
    return done;
}

bool QNVRasterFilter::allocRasterBuffer() {
    rasterBufferWidth = pageHeader.cupsWidth + (pageHeader.cupsWidth & 1u);
    rasterBufferSize = 0;
    if (pageHeader.cupsBitsPerColor == 0)
        return false;
    // One line as read and the zero padding on both of its sides, whichever margin
    // pads it (the x margin for rows, the y margin for long-edge columns).
    const uint64_t margin = std::max(MarginDots(pageHeader.HWResolution[0], pageHeader.Margins[0]),
                                     MarginDots(pageHeader.HWResolution[1], pageHeader.Margins[1]));
    const uint64_t size = (uint64_t)pageHeader.cupsBytesPerLine + 2 * margin;
    if (size == 0 || size > UINT32_MAX)
        return false;
    rasterBufferSize = (unsigned)size;
    rasterBuffer = static_cast<unsigned char *>(calloc(rasterBufferSize, 1));
    return rasterBuffer != nullptr;
}

void QNVRasterFilter::deallocRasterBuffer() {
    free(rasterBuffer);
    rasterBuffer = nullptr;
}

bool QNVRasterFilter::isCancelled() {
    if (gSigTerm)
        CPSDebugLog("Detected SIGTERM");
    if (gSigPipe)
        CPSDebugLog("Detected SIGPIPE");
    return gSigTerm != 0;
}

bool QNVRasterFilter::detectCancel() {
    if (!isCancelled())
        return false;
    gdiFilter->SendGDICommand(CancelCMD, sizeof(CancelCMD));
    return true;
}

void QNVRasterFilter::insertLineToPageBuffer(QNVBlockBuffer *buffer, unsigned index,
                                             const unsigned char *line, unsigned length) {
    if (jobOptions.IsLongEdgeVertical()) {
        buffer->VerticalInsertLine(index, line, length);
    } else {
        buffer->InsertLine(index, line, length);
    }
}

void QNVRasterFilter::rasterPageImageProcessing(QNVBlockBuffer *buffer) {
    if (isTurnedPage())
        buffer->Rotate();
}

// Back sides are turned half round: with long-edge binding for pages fed short edge
// first, with short-edge binding for pages fed long edge first.
bool QNVRasterFilter::isTurnedPage() const {
    if (pageCount % 2 != 0)
        return false;
    const unsigned style = jobOptions.GetDuplexStyle();
    const bool longEdge = jobOptions.IsLongEdgeVertical();
    return (style == 1 && !longEdge) || (style == 2 && longEdge);
}

void QNVRasterFilter::insertBlankPage(cups_page_header_s header) {
    (void)header;  // its lines are all blank, whatever their count and length
    ++pageCount;
    const bool haveLineBuffer = allocRasterBuffer();
    gdiFilter->SetBlankPageAppended(true);
    const bool headerSent = gdiFilter->SendPageHeader(pageHeader, pageCount);
    QNVBlockBuffer *page = gdiFilter->GetPageBuffer();
    if (!headerSent || !haveLineBuffer || page == nullptr) {
        deallocRasterBuffer();
        return;
    }
    // A blank page is all zero bytes, turned or not: every band is the same white
    // band, made once in the lines of the first band and sent from there.
    deallocRasterBuffer();
    const unsigned windowLines = std::min(kGDIBandLines, page->GetHeight());
    unsigned char *window = page->LinesForOverwriting(0, windowLines);
    if (window != nullptr) {
        memset(window, 0, (size_t)windowLines * page->GetWidth());
        while (gdiFilter->SendNextBand(window)) {
        }
    }
    gdiFilter->SendPageData();  // the bands not sent above, if any
    gdiFilter->SendPageEnd();
    gdiFilter->SetBlankPageAppended(false);
    reportPageDone();
    CPSDebugLog("insertBlankPage!");
}

void QNVRasterFilter::reportPageDone() {
    fprintf(stderr, "PAGE: %u %u\n", pageCount, jobCopies);
}
