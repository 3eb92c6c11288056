// JBIG (T.82) bi-level encoder: one resolution layer, one bit plane, two-line template,
// optional typical prediction, stripes closed by SDNORM. The encoder record and its entry
// points.
#ifndef GDI_JBIG_OVTJBIG_H
#define GDI_JBIG_OVTJBIG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Output callback. Called with the user value, the address of the encoder's block pointer
// and the address of its block size:
//  - pointer null, size 0: the image's first byte needs room; provide a block.
//  - pointer = block start, size = block capacity: the block is full; take it over and
//    provide a fresh one.
//  - pointer = block start, size = bytes used (0 up to the capacity): the image has ended;
//    take the bytes over.
// Leaving a size of 0 with a non-null pointer makes the encoder ask again. Leaving a null
// pointer when a block was asked for means no block can be provided: the encoder stops
// writing and reports the image as failed.
typedef void (*JBIGWriteCallback)(void *userData, unsigned char **blockPointer,
                                  uint32_t *blockSize);

// Where an encoder and its caller get their memory. `allocate` returns a block of `size`
// bytes (zero-filled when zeroFill is non-zero), or null when there is no memory;
// `release` gives a block back. Null functions mean malloc/calloc and free. A caller may
// count or refuse allocations through them (`context` is passed back), so failure paths
// can be exercised without touching any other encoder.
typedef struct JBIGAllocator {
    void *(*allocate)(void *context, size_t size, int zeroFill);
    void (*release)(void *context, void *block);
    void *context;
} JBIGAllocator;

// Context generation kernels: the portable one (any processor), ones for x86-64
// processors with AVX-512 VBMI and with SSE2, and one for 64-bit ARM (NEON). All make
// the same entries.
enum {
    kJbigContextsFastest = -1,
    kJbigContextsPortable = 0,
    kJbigContextsVbmi = 1,
    kJbigContextsSse2 = 2,
    kJbigContextsNeon = 3
};

// How the arithmetic coder codes a line's stored entries; all give the same bytes. The
// branching step is fastest where most codings are MPS codings without renormalisation;
// the branch-free one where many are not (noise, dense screens), whose outcome a branch
// cannot predict.
enum {
    kJbigCodingByLine = 0,  // chosen per line from how busy the line above was
    kJbigCodingBranching = 1,
    kJbigCodingBranchFree = 2
};

// How an encoder is set up beyond its image: its memory, its context kernel
// (kJbigContextsFastest picks the fastest the processor has; an unavailable kernel falls
// back to the portable one) and its coding step.
typedef struct JBIGEncoderSetup {
    JBIGAllocator allocator;
    int contextKernel;
    int codingStep;
} JBIGEncoderSetup;

// The set-up OvtJBIGEncoderInit uses: malloc, and the fastest kernel.
JBIGEncoderSetup OvtJBIGDefaultSetup(void);

// The registers of the context generator while it makes the entries of one line; each
// encoder has its own, so encoders on different threads never meet.
typedef struct JBIGContextRegisters {
    uint32_t _debug_upper;  // line above: x - 3 .. x + 2 once shifted into place
    uint32_t _debug_lower;  // current line: x - 4 .. x
    uint64_t _debug_upperQuad;
    uint64_t _debug_lowerQuad;
    int32_t _debug_upperByteCount;
    int32_t _debug_lowerByteCount;
    const unsigned char *_debug_upperP;
    const unsigned char *_debug_lowerP;
    int32_t _debug_currentPixel;
} JBIGContextRegisters;

typedef struct JBIGImageSize {
    uint32_t width;   // XD, pixels per line
    uint32_t height;  // YD, written into the header
} JBIGImageSize;

// Output states of the block chain.
enum {
    kJBIGOutNormal = 0,      // bytes go into the current block
    kJBIGOutDiscardDue = 1,  // a stripe opened; its first byte is to be dropped
    kJBIGOutDiscarding = 2,  // the first byte of the stripe goes into discardSlot
    kJBIGOutFailed = 3       // the callback could not provide a block; output is dropped
};

typedef struct JBIGEncoderState {
    void *userData;
    uint32_t width;        // XD
    uint32_t height;       // YD
    uint32_t stripeLines;  // L0
    JBIGWriteCallback writeCallback;
    uint32_t options;  // bit 0: typical prediction on

    // Line buffers, rotated after each line: group flags of the line being coded, the
    // line above, the line being coded (8-byte groups stored byte-reversed).
    unsigned char *scratchLine;
    unsigned char *previousLine;
    unsigned char *currentLine;
    uint16_t *contextBuffer;  // coder entries (context * 2 + pixel), one per pixel plus one

    // Arithmetic coder registers.
    uint32_t A;
    uint32_t C;
    int32_t CT;
    uint32_t SC;
    uint8_t pendingByte;  // BUFFER

    uint32_t lineEntries;
    const unsigned char *source;  // next source line; null codes all-0 lines
    int32_t sourceStride;
    uint32_t linesPending;
    uint32_t linesCoded;
    uint32_t stripeLinesDone;  // 0: no stripe open

    unsigned char *outPtr;
    uint32_t outCapacity;
    uint32_t outRemaining;
    uint32_t outState;
    unsigned char discardSlot[4];
    unsigned char *savedOutPtr;
    uint32_t savedOutRemaining;

    uint32_t lineChecksum;
    uint32_t previousChecksum;
    uint8_t lineTypical;
    uint8_t previousTypical;

    // Two state bytes per 10-bit context: low byte for pixel 0, high byte for pixel 1.
    // Bit 7 marks the byte whose pixel value is the more probable symbol; bits 0-6 hold the
    // probability state index.
    uint16_t probabilityTable[1024];

    uint32_t maxWidth;  // widest line the buffers hold

    // 1 when the line being coded is all 0 (set by scan conversion), and when the line
    // above is. With both set every entry of the line is entry 0: the line is coded as one
    // run of it.
    uint8_t lineZero;
    uint8_t previousZero;

    JBIGContextRegisters contextRegisters;
    int contextKernel;  // the kernel that makes this encoder's groups of 32 entries
    JBIGAllocator allocator;

    int codingStep;       // kJbigCoding...
    uint8_t busyLine;     // the line above was busy: code this one branch-free
    uint32_t busyLines;   // lines coded branch-free since the encoder was made
    uint32_t quietLines;  // lines with stored entries coded with the branching step
} JBIGEncoderState;

// Creates an encoder for lines of at most maxWidth pixels. flags bit 0 set turns typical
// prediction off. Returns null (after a message on standard error) when it cannot be
// created.
JBIGEncoderState *OvtJBIGEncoderInit(uint32_t maxWidth, uint32_t flags,
                                     JBIGWriteCallback writeCallback, void *userData);
// The same with a set-up of the caller's (null: the default set-up).
JBIGEncoderState *OvtJBIGEncoderInitWith(uint32_t maxWidth, uint32_t flags,
                                         JBIGWriteCallback writeCallback, void *userData,
                                         const JBIGEncoderSetup *setup);
void OvtJBIGEncoderDeinit(JBIGEncoderState *state);

// Begins an image: writes its 20-byte header and resets the probability states.
// Returns 0; -1 when the width exceeds the encoder's maxWidth, stripeLines is 0 or the
// header cannot be written (the image is then not coded).
int OvtJBIGImageBegin(JBIGEncoderState *state, const JBIGImageSize *size, uint32_t stripeLines);

// Codes count lines (first pixel in the most significant bit; bits beyond the width must be
// 0). lines null codes count all-0 lines. stride is the byte distance between lines.
// Returns 0; -1 when the image failed.
int OvtJBIGImageBandAdd(JBIGEncoderState *state, const unsigned char *lines, uint32_t count,
                        int32_t stride);

// Closes the open stripe and hands the last block to the callback. Returns 0; -1 when the
// image failed (not every byte reached the callback).
int OvtJBIGImageEnd(JBIGEncoderState *state);

#ifdef __cplusplus
}
#endif

#endif
