// One band of 1-bit lines in, one complete padded JBIG image (BIE) out.
#ifndef GDI_JBIG_JBIGCOMPRESS_H
#define GDI_JBIG_JBIGCOMPRESS_H

#include <stdint.h>

#include "jbig/ovtJBIG.h"

#ifdef __cplusplus
extern "C" {
#endif

// Compresses bandBytes / bytesPerLine lines of bytesPerLine bytes into destination.
// Returns the padded length (20 + 32 k). Returns 0 when the encoder or a block could
// not be allocated. When the padded length exceeds destinationCapacity nothing is
// written to destination and that needed length is returned: the caller grows its
// buffer to at least the returned size and compresses again.
uint32_t djz_Compress(const unsigned char *bandBits, uint32_t bandBytes, unsigned char *destination,
                      uint32_t destinationCapacity, uint32_t bytesPerLine);

// The same with the encoder set up as the caller says (null: the default set-up).
uint32_t djz_CompressWith(const unsigned char *bandBits, uint32_t bandBytes,
                          unsigned char *destination, uint32_t destinationCapacity,
                          uint32_t bytesPerLine, const JBIGEncoderSetup *setup);

// A coded band in a buffer that grows as the encoder writes into it, so that a band of any
// coded size is coded once. The caller owns it, starts it zeroed, may reuse it for band
// after band (its memory is kept) and gives its memory back with djz_ReleaseOutput.
typedef struct JBIGBandOutput {
    unsigned char *bytes;
    uint32_t length;    // bytes of the coded band, padded
    uint32_t capacity;  // bytes that `bytes` holds
    uint32_t offered;   // bytes last offered to the encoder (internal)
    int failed;         // no memory to grow (internal)
    JBIGAllocator allocator;
} JBIGBandOutput;

// Codes the band as djz_Compress does, into `output`. Returns the padded length, also left
// in output->length; 0 when the encoder or the room for the coded bytes could not be had.
uint32_t djz_CompressToOutput(const unsigned char *bandBits, uint32_t bandBytes,
                              uint32_t bytesPerLine, const JBIGEncoderSetup *setup,
                              JBIGBandOutput *output);
void djz_ReleaseOutput(JBIGBandOutput *output);

#ifdef __cplusplus
}
#endif

#endif
