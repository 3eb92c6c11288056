// The printer stream's format in one place: record tags and sizes, field offsets, flag
// bits, the band height, the size limits of its 16-bit fields, the cancel command and the
// job end marker. Every multi-byte field is big-endian (gdi/BytesOrder.h).
#ifndef GDI_GDI_GDISTREAM_H
#define GDI_GDI_GDISTREAM_H

#include <stddef.h>
#include <stdint.h>

// Record sizes and the band height.
constexpr unsigned int kGDIJobHeaderSize = 120;
constexpr unsigned int kGDIPageHeaderSize = 64;
constexpr unsigned int kGDIBandHeaderSize = 32;
constexpr unsigned int kGDIBandLines = 256;

// Largest value of the 16-bit fields: line width, page height, band count, page number.
constexpr unsigned int kGDIMaxPageDots = 0xFFFF;
constexpr unsigned int kGDIMaxPageNumber = 0xFFFF;

// Record tags.
extern const unsigned char kGDIJobHeaderTag[4];   // "GDIJ"
extern const unsigned char kGDIPageHeaderTag[4];  // "GDIP"
extern const unsigned char kGDIBandTag[4];        // "GDIB"

// Job header fields.
constexpr unsigned int kGDIJobLengthOffset = 4;
constexpr unsigned int kGDIJobVersionOffset = 8;  // 100
constexpr unsigned int kGDIJobCopiesOffset = 10;
constexpr unsigned int kGDIJobTonerSaveOffset = 12;
constexpr unsigned int kGDIJobSmoothingOffset = 13;
constexpr unsigned int kGDIJobModeOffset = 16;
constexpr unsigned int kGDIJobDateOffset = 20;
constexpr unsigned int kGDIJobBandLinesOffset = 32;  // 256
constexpr unsigned int kGDIJobBitsOffset = 34;       // 2
constexpr unsigned int kGDIJobPlanesOffset = 36;     // 16-bit 1, then two zero bytes
constexpr unsigned int kGDIJobNameOffset = 56;
constexpr unsigned int kGDIJobNameSize = 64;

// Job header mode word values.
constexpr unsigned int kGDIJobModeDuplex = 0x0200;
constexpr unsigned int kGDIJobModeCollate = 0x0008;

// Page header fields.
constexpr unsigned int kGDIPageLengthOffset = 4;
constexpr unsigned int kGDIPagePaperSizeOffset = 8;
constexpr unsigned int kGDIPageTrayOffset = 9;
constexpr unsigned int kGDIPagePaperTypeOffset = 10;
constexpr unsigned int kGDIPageWidthOffset = 12;
constexpr unsigned int kGDIPageHeightOffset = 14;
constexpr unsigned int kGDIPageOneOffset = 32;  // 1
constexpr unsigned int kGDIPageFlagsOffset = 33;
constexpr unsigned int kGDIPageNumberOffset = 34;
constexpr unsigned int kGDIPageBandCountOffset = 54;
constexpr unsigned int kGDIPagePaperWidthOffset = 56;   // micrometres
constexpr unsigned int kGDIPagePaperLengthOffset = 60;  // micrometres

// Page flags.
constexpr unsigned char kGDIPageFlagAlways = 0x01;
constexpr unsigned char kGDIPageFlagDuplex = 0x04;
constexpr unsigned char kGDIPageFlagEvenPage = 0x08;
constexpr unsigned char kGDIPageFlagBlankPage = 0x20;

// Band record fields.
constexpr unsigned int kGDIBandFlagsOffset = 4;
constexpr unsigned int kGDIBandLengthOffset = 8;
constexpr unsigned int kGDIBandWidthOffset = 24;
constexpr unsigned int kGDIBandLinesOffset = 26;

// Band flags.
constexpr unsigned int kGDIBandFlagFirst = 1;
constexpr unsigned int kGDIBandFlagLast = 2;

// The cancel command "GDIC CANCEL     " and the job end marker "JIDG".
constexpr unsigned int kGDICancelCommandSize = 16;
extern const unsigned char CancelCMD[kGDICancelCommandSize];
extern const unsigned char kGDIJobEndMarker[4];

// Marks a stored page header record as a single page: its page flags become just the
// always-set bit, whatever they held. False, changing nothing, when the record is too
// short to be a page header.
bool MarkSinglePage(unsigned char *pageHeader, size_t size);

#endif
