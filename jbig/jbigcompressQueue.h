// The block queue that collects a band's coded bytes, and the write callback that fills it.
#ifndef GDI_JBIG_JBIGCOMPRESSQUEUE_H
#define GDI_JBIG_JBIGCOMPRESSQUEUE_H

#include <stdint.h>

#include "jbig/ovtJBIG.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { kEncodedBlockSize = 0x8000 };

// One block of coded bytes, allocated in one piece with its data.
typedef struct EncodedBlock {
    struct EncodedBlock *next;  // null for the last block
    uint32_t length;            // valid bytes in data
    unsigned char data[kEncodedBlockSize];
} EncodedBlock;

// The blocks of one band being compressed, and where their memory comes from. Each
// djz_Compress call has its own, so bands may be compressed on several threads at once.
typedef struct EncodedQueue {
    EncodedBlock *head;
    EncodedBlock *tail;
    const JBIGAllocator *allocator;
} EncodedQueue;

// Write callback for an EncodedQueue (the user value). Appends a fresh 32 KiB block when the
// encoder asks for room, records the length of a block handed back. When no block can be
// allocated it leaves a null block pointer, which stops the encoder.
void EncodeDataWriteCb(void *queue, unsigned char **blockPointer, uint32_t *blockSize);

#ifdef __cplusplus
}
#endif

#endif
