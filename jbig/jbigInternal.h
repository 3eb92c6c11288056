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
uint32_t jbig_2LineTemplate_getContext(void);

// Kernels that make the entries of the groups of 32: the portable one (SSE2 where there is
// SSE2) and one for processors with AVX-512 VBMI, whose byte-granular bit field extraction
// makes a group in a handful of operations. Both make the same entries.
enum { kJbigContextsPortable = 0, kJbigContextsVbmi = 1 };
int jbigContextKernelAvailable(int kernel);
// Makes the lines that follow use the kernel (the portable one when it is not available;
// the fastest available for a negative value) and returns the kernel now in use. Without a
// call the fastest available is used.
int jbigSelectContextKernel(int kernel);
uint64_t byteswap_ulonglong_little(uint64_t value);

// Context registers, process-wide: only one line in the process is in generation at a time.
extern uint32_t _debug_upper;
extern uint32_t _debug_lower;
extern uint64_t _debug_upperQuad;
extern uint64_t _debug_lowerQuad;
extern int32_t _debug_upperByteCount;
extern int32_t _debug_lowerByteCount;
extern const unsigned char *_debug_upperP;
extern const unsigned char *_debug_lowerP;
extern int32_t _debug_currentPixel;

// Allocation used by the encoder and the band compressor. jbigFailAllocationAfter(n) makes
// the allocation n calls from now fail (0: the next one); a negative n turns that off.
// It exists so the failure paths can be exercised.
void *jbigAlloc(size_t size, int zeroFill);
void jbigFailAllocationAfter(int n);

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
