// Band compressor: codes one band of 1-bit lines as a complete JBIG image of one stripe,
// gathers it from the block queue into the caller's buffer and pads it to 20 + 32 k bytes.
#include "jbig/jbigcompress.h"

#include <stdlib.h>
#include <string.h>

#include "jbig/jbigInternal.h"
#include "jbig/jbigcompressQueue.h"
#include "jbig/ovtJBIG.h"

namespace {

constexpr uint32_t kStripeLines = 256;
constexpr uint32_t kHeaderBytes = 20;
constexpr uint32_t kFlagTypicalPredictionOff = 1;

// Frees every block of the queue and leaves it empty, whatever happens in between.
class QueueReleaser {
public:
    explicit QueueReleaser(EncodedQueue *queue) : queue_(queue) {}
    QueueReleaser(const QueueReleaser &) = delete;
    QueueReleaser &operator=(const QueueReleaser &) = delete;
    ~QueueReleaser() {
        EncodedBlock *block = queue_->head;
        while (block != nullptr) {
            EncodedBlock *next = block->next;
            jbigFree(queue_->allocator, block);
            block = next;
        }
        queue_->head = nullptr;
        queue_->tail = nullptr;
    }

private:
    EncodedQueue *queue_;
};

class EncoderHolder {
public:
    explicit EncoderHolder(JBIGEncoderState *state) : state_(state) {}
    EncoderHolder(const EncoderHolder &) = delete;
    EncoderHolder &operator=(const EncoderHolder &) = delete;
    ~EncoderHolder() { OvtJBIGEncoderDeinit(state_); }
    JBIGEncoderState *get() const { return state_; }

private:
    JBIGEncoderState *state_;
};

}  // namespace

extern "C" void EncodeDataWriteCb(void *queue, unsigned char **blockPointer, uint32_t *blockSize) {
    EncodedQueue *q = static_cast<EncodedQueue *>(queue);
    if (*blockPointer != nullptr) {
        if (q->tail != nullptr) {
            q->tail->length = *blockSize;
        }
        if (*blockSize < kEncodedBlockSize) {
            return;  // the final, partly filled block
        }
    }
    EncodedBlock *block =
        static_cast<EncodedBlock *>(jbigAlloc(q->allocator, sizeof(EncodedBlock), 0));
    if (block == nullptr) {
        *blockPointer = nullptr;
        *blockSize = 0;
        return;
    }
    block->next = nullptr;
    block->length = 0;
    if (q->tail != nullptr) {
        q->tail->next = block;
    } else {
        q->head = block;
    }
    q->tail = block;
    *blockPointer = block->data;
    *blockSize = kEncodedBlockSize;
}

extern "C" uint32_t djz_Compress(const unsigned char *bandBits, uint32_t bandBytes,
                                 unsigned char *destination, uint32_t destinationCapacity,
                                 uint32_t bytesPerLine) {
    return djz_CompressWith(bandBits, bandBytes, destination, destinationCapacity, bytesPerLine,
                            nullptr);
}

extern "C" uint32_t djz_CompressWith(const unsigned char *bandBits, uint32_t bandBytes,
                                     unsigned char *destination, uint32_t destinationCapacity,
                                     uint32_t bytesPerLine, const JBIGEncoderSetup *setup) {
    if (bytesPerLine == 0 || bytesPerLine > UINT32_MAX / 8) {
        return 0;
    }
    const uint32_t width = 8 * bytesPerLine;
    const uint32_t height = bandBytes / bytesPerLine;  // a trailing partial line is ignored

    const JBIGEncoderSetup chosen = setup != nullptr ? *setup : OvtJBIGDefaultSetup();
    EncodedQueue queue = {nullptr, nullptr, &chosen.allocator};
    QueueReleaser releaser(&queue);
    EncoderHolder encoder(OvtJBIGEncoderInitWith(width, kFlagTypicalPredictionOff,
                                                 EncodeDataWriteCb, &queue, &chosen));
    if (encoder.get() == nullptr) {
        return 0;
    }
    const JBIGImageSize size = {width, height};
    const bool coded = OvtJBIGImageBegin(encoder.get(), &size, kStripeLines) == 0 &&
                       OvtJBIGImageBandAdd(encoder.get(), bandBits, height,
                                           static_cast<int32_t>(bytesPerLine)) == 0 &&
                       OvtJBIGImageEnd(encoder.get()) == 0;
    if (!coded) {
        return 0;
    }

    uint64_t length = 0;
    for (const EncodedBlock *block = queue.head; block != nullptr; block = block->next) {
        length += block->length;
    }
    // The coded data after the header fills a multiple of 32 bytes.
    const uint64_t padded = length <= kHeaderBytes
                                ? kHeaderBytes
                                : kHeaderBytes + ((length - kHeaderBytes + 31) / 32) * 32;
    if (padded > UINT32_MAX) {
        return 0;
    }
    if (padded > destinationCapacity) {
        return static_cast<uint32_t>(padded);  // nothing written; the caller grows its buffer
    }

    size_t offset = 0;
    for (const EncodedBlock *block = queue.head; block != nullptr; block = block->next) {
        memcpy(destination + offset, block->data, block->length);
        offset += block->length;
    }
    memset(destination + offset, 0, static_cast<size_t>(padded - length));
    return static_cast<uint32_t>(padded);
}
