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

namespace {

constexpr uint32_t kFirstOutputBytes = 0x10000;

// Makes room for at least `needed` bytes in all, keeping the bytes coded so far.
bool GrowOutput(JBIGBandOutput *out, uint64_t needed) {
    if (needed <= out->capacity) {
        return true;
    }
    uint64_t capacity = out->capacity > 0 ? out->capacity : kFirstOutputBytes;
    while (capacity < needed) {
        capacity *= 2;
    }
    if (capacity > UINT32_MAX) {
        return false;
    }
    unsigned char *grown =
        static_cast<unsigned char *>(jbigAlloc(&out->allocator, static_cast<size_t>(capacity), 0));
    if (grown == nullptr) {
        return false;
    }
    if (out->length > 0) {
        memcpy(grown, out->bytes, out->length);
    }
    jbigFree(&out->allocator, out->bytes);
    out->bytes = grown;
    out->capacity = static_cast<uint32_t>(capacity);
    return true;
}

// Write callback of a JBIGBandOutput: the encoder writes straight behind the bytes it has
// handed back; a full block makes the buffer grow.
void GrowingOutputWriteCb(void *user, unsigned char **blockPointer, uint32_t *blockSize) {
    JBIGBandOutput *out = static_cast<JBIGBandOutput *>(user);
    if (*blockPointer != nullptr) {
        out->length += *blockSize;
        if (*blockSize < out->offered) {
            return;  // the final hand-over
        }
    }
    if (!GrowOutput(out, static_cast<uint64_t>(out->length) +
                             (out->capacity > 0 ? out->capacity : kFirstOutputBytes))) {
        out->failed = 1;
        *blockPointer = nullptr;
        *blockSize = 0;
        return;
    }
    out->offered = out->capacity - out->length;
    *blockPointer = out->bytes + out->length;
    *blockSize = out->offered;
}

}  // namespace

extern "C" uint32_t djz_CompressToOutput(const unsigned char *bandBits, uint32_t bandBytes,
                                         uint32_t bytesPerLine, const JBIGEncoderSetup *setup,
                                         JBIGBandOutput *output) {
    output->length = 0;
    output->offered = 0;
    output->failed = 0;
    if (bytesPerLine == 0 || bytesPerLine > UINT32_MAX / 8) {
        return 0;
    }
    const uint32_t width = 8 * bytesPerLine;
    const uint32_t height = bandBytes / bytesPerLine;
    const JBIGEncoderSetup chosen = setup != nullptr ? *setup : OvtJBIGDefaultSetup();
    if (output->bytes == nullptr) {
        output->allocator = chosen.allocator;
    }
    EncoderHolder encoder(OvtJBIGEncoderInitWith(width, kFlagTypicalPredictionOff,
                                                 GrowingOutputWriteCb, output, &chosen));
    if (encoder.get() == nullptr) {
        return 0;
    }
    const JBIGImageSize size = {width, height};
    const bool coded = OvtJBIGImageBegin(encoder.get(), &size, kStripeLines) == 0 &&
                       OvtJBIGImageBandAdd(encoder.get(), bandBits, height,
                                           static_cast<int32_t>(bytesPerLine)) == 0 &&
                       OvtJBIGImageEnd(encoder.get()) == 0;
    if (!coded || output->failed) {
        output->length = 0;
        return 0;
    }
    const uint32_t length = output->length;
    const uint64_t padded = length <= kHeaderBytes
                                ? kHeaderBytes
                                : kHeaderBytes + ((uint64_t)(length - kHeaderBytes) + 31) / 32 * 32;
    if (padded > UINT32_MAX || !GrowOutput(output, padded)) {
        output->length = 0;
        return 0;
    }
    memset(output->bytes + length, 0, static_cast<size_t>(padded - length));
    output->length = static_cast<uint32_t>(padded);
    return output->length;
}

extern "C" void djz_ReleaseOutput(JBIGBandOutput *output) {
    jbigFree(&output->allocator, output->bytes);
    output->bytes = nullptr;
    output->length = 0;
    output->capacity = 0;
}
