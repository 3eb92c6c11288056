// Internal operations of the JBIG encoder: image and stripe control, the arithmetic coder
// and its probability tables, the output block chain, scan conversion and context
// generation. All work on a JBIGEncoderState.
#ifndef GDI_JBIG_JBIGINTERNAL_H
#define GDI_JBIG_JBIGINTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "jbig/ovtJBIG.h"

#ifdef __cplusplus
extern "C" {
#endif

// Image and stripe control.
void jbigInitialize(JBIGEncoderState *state);
void jbigBlockCompress(JBIGEncoderState *state, const unsigned char *lines, uint32_t count,
                       int32_t stride);
void jbigStripEnd(JBIGEncoderState *state);
void jbigComplete(JBIGEncoderState *state);

// Arithmetic coder: codes the lineEntries entries of the current line.
void jbigCompressOneScan_c_code(JBIGEncoderState *state);
// Codes count entries of index 0 (context 0, pixel 0), as coding them one by one would.
void jbigCompressZeroRun(JBIGEncoderState *state, uint32_t count);

// Probability estimation, indexed by a state byte (bit 7: MPS flag, bits 0-6: state index).
extern const uint16_t Lsz[241];
extern const uint16_t Nmps[241];
extern const uint16_t Nlps[241];

// Output block chain.
void jbigGetNewOutputBuf(JBIGEncoderState *state);
void jbigWriteBuf(JBIGEncoderState *state, const unsigned char *bytes, uint32_t count);
void jbigFlushBufs(JBIGEncoderState *state);

// Scan conversion and context generation. Scan conversion returns the line's checksum and
// sets lineZero.
uint32_t jbigScanConvert(JBIGEncoderState *state);
void jbigGen_2LineTemplate_c_code(JBIGEncoderState *state);

uint32_t jbig_2LineTemplate_getContext(JBIGContextRegisters *registers);
uint64_t byteswap_ulonglong_little(uint64_t value);

// Whether the processor has the context kernel.
int jbigContextKernelAvailable(int kernel);
// The kernel an encoder uses when asked for `kernel`: the fastest available for
// kJbigContextsFastest, the portable one for a kernel that is not available.
int jbigResolveContextKernel(int kernel);
// A short name of the kernel for reports ("AVX-512 VBMI", "portable", ...).
const char *jbigContextKernelName(int kernel);

// Allocation through an encoder's allocator, and giving a block (or null) back.
void *jbigAlloc(const JBIGAllocator *allocator, size_t size, int zeroFill);
void jbigFree(const JBIGAllocator *allocator, void *block);

#ifdef __cplusplus
}

// Bytes of the line buffer area that a line of the given width occupies in 8-byte groups,
// rounded up to whole groups (the zero groups behind the line are not counted).
inline size_t jbigLineGroupBytes(uint32_t width) {
    return ((static_cast<size_t>(width) + 63) / 64) * 8;
}

// Writes one byte of coded data through the block chain.
inline void jbigPutByte(JBIGEncoderState *state, unsigned char byte) {
    if (state->outRemaining == 0) {
        jbigGetNewOutputBuf(state);
    }
    *state->outPtr++ = byte;
    --state->outRemaining;
}
#endif

#endif
