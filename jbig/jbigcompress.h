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

#ifdef __cplusplus
}
#endif

#endif
