// Band compressor: known answers, padding, the capacity contract for bands that expand,
// allocation failures, the block queue and its write callback.
#include <gtest/gtest.h>

#include <string.h>

#include <random>

#include "tests/jbig/jbig_test_support.h"
#include "common/CUPSDebug.h"
#include "jbig/jbigInternal.h"
#include "jbig/jbigcompress.h"
#include "jbig/jbigcompressQueue.h"

using namespace jbigtest;

namespace {

// Compresses into a buffer of the given capacity, preceded and followed by guard bytes.
struct Compressed {
    uint32_t result;
    Bytes bytes;        // the first min(result, capacity) bytes of the destination
    bool guardsIntact;  // nothing written before or after the destination
    bool untouched;     // the destination still holds its fill pattern
    bool allFreed;      // every block the compressor took was given back
};

// With `setup` null, through djz_Compress; otherwise through djz_CompressWith.
Compressed compress(const Bitmap &band, uint32_t bandBytes, uint32_t capacity,
                    const JBIGEncoderSetup *setup = nullptr) {
    constexpr size_t kGuard = 64;
    Bytes buffer(capacity + 2 * kGuard, 0xC3);
    Compressed c;
    FailingAllocator counting(-1);
    const JBIGEncoderSetup countingSetup = counting.setup();
    c.result = setup != nullptr
                   ? djz_CompressWith(band.bits.data(), bandBytes, buffer.data() + kGuard, capacity,
                                      static_cast<uint32_t>(band.bytesPerLine), setup)
                   : djz_CompressWith(band.bits.data(), bandBytes, buffer.data() + kGuard, capacity,
                                      static_cast<uint32_t>(band.bytesPerLine), &countingSetup);
    c.allFreed = counting.allFreed();
    c.bytes.assign(buffer.begin() + kGuard,
                   buffer.begin() + kGuard + std::min<uint32_t>(c.result, capacity));
    c.guardsIntact =
        std::all_of(buffer.begin(), buffer.begin() + kGuard,
                    [](unsigned char b) { return b == 0xC3; }) &&
        std::all_of(buffer.end() - kGuard, buffer.end(), [](unsigned char b) { return b == 0xC3; });
    c.untouched = std::all_of(buffer.begin() + kGuard, buffer.end() - kGuard,
                              [](unsigned char b) { return b == 0xC3; });
    return c;
}

uint32_t fullBandBytes(const Bitmap &band) {
    return static_cast<uint32_t>(band.bytesPerLine * band.height);
}

// The padded band: JBIG-KIT's BIE (order byte aside), then zeros up to 20 + 32 k bytes.
void expectPaddedReference(const Bitmap &band, const Bytes &bytes) {
    const Bytes reference = encodeJbigKit(band, 256, false);
    ASSERT_GE(bytes.size(), reference.size());
    EXPECT_EQ((bytes.size() - 20) % 32, 0u);
    EXPECT_LT(bytes.size() - reference.size(), 32u);
    EXPECT_EQ(hex(withOrderByteCleared(Bytes(bytes.begin(), bytes.begin() + reference.size()))),
              hex(reference));
    EXPECT_TRUE(std::all_of(bytes.begin() + reference.size(), bytes.end(),
                            [](unsigned char b) { return b == 0; }));
}

}  // namespace

TEST(JbigCompress, WhiteBandKnownAnswer) {
    const Bitmap band(64, 256);  // 8 bytes per line
    const Compressed c = compress(band, 2048, 2048);
    EXPECT_EQ(c.result, 52u);
    Bytes expected = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x01, 0x00,
                      0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x40, 0x4B, 0xD0, 0xFF, 0x02};
    expected.resize(52, 0);
    EXPECT_EQ(hex(c.bytes), hex(expected));
    EXPECT_TRUE(c.guardsIntact);
    EXPECT_TRUE(c.allFreed);
}

// Fewer bytes than one line: no line, the header alone, with YD 0 and no padding.
TEST(JbigCompress, BandShorterThanOneLine) {
    const Bitmap band(64, 1);
    const Compressed c = compress(band, 7, 100);
    EXPECT_EQ(c.result, 20u);
    EXPECT_EQ(hex(c.bytes), "00 00 01 00 00 00 00 40 00 00 00 00 00 00 01 00 00 00 03 40");
    EXPECT_TRUE(c.allFreed);
}

// A trailing partial line is ignored.
TEST(JbigCompress, TrailingPartialLineIgnored) {
    Bitmap band = makeImage(Content::kText, 640, 257, 0, 7);
    Bitmap exact(640, 256);
    std::copy(band.bits.begin(), band.bits.begin() + exact.bits.size(), exact.bits.begin());
    const Compressed withExtra = compress(band, fullBandBytes(exact) + 5, 20000);
    const Compressed plain = compress(exact, fullBandBytes(exact), 20000);
    EXPECT_EQ(withExtra.result, plain.result);
    EXPECT_EQ(hex(withExtra.bytes), hex(plain.bytes));
    expectPaddedReference(exact, plain.bytes);
}

// Bands of many sizes and contents: always the reference BIE, padded to 20 + 32 k.
TEST(JbigCompress, PaddedBandsMatchReference) {
    const Content contents[] = {Content::kEmpty,  Content::kText,    Content::kHalftone,
                                Content::kRandom, Content::kFfLines, Content::kFull};
    uint32_t seed = 100;
    size_t alreadyAligned = 0;
    JBIGBandOutput reused = {};  // one growing buffer for every band, as a band coder keeps
    for (uint32_t bytesPerLine : {1u, 2u, 3u, 8u, 13u, 40u, 77u, 128u}) {
        for (uint32_t lines : {1u, 2u, 5u, 31u, 100u, 255u, 256u}) {
            for (Content content : contents) {
                SCOPED_TRACE(contentName(content) + " " + std::to_string(bytesPerLine) + "x" +
                             std::to_string(lines));
                const Bitmap band = makeImage(content, 8 * bytesPerLine, lines, 0.1, seed++);
                const Compressed c =
                    compress(band, fullBandBytes(band), 3 * fullBandBytes(band) + 64);
                ASSERT_GE(c.result, 20u);
                EXPECT_TRUE(c.guardsIntact);
                expectPaddedReference(band, c.bytes);
                alreadyAligned += encodeJbigKit(band, 256, false).size() == c.result;
                EXPECT_TRUE(c.allFreed);
                ASSERT_EQ(djz_CompressToOutput(band.bits.data(), fullBandBytes(band), bytesPerLine,
                                               nullptr, &reused),
                          c.result);
                EXPECT_TRUE(Bytes(reused.bytes, reused.bytes + reused.length) == c.bytes);
            }
        }
    }
    // Some bands come out with no padding at all.
    EXPECT_GT(alreadyAligned, 0u);
    djz_ReleaseOutput(&reused);
}

// Noise bands code larger than their raw bitmap. With a destination as large as the raw
// band nothing is written and the needed size is returned; with that size the band comes
// out whole.
TEST(JbigCompress, ExpandingBandReportsNeededSize) {
    for (uint32_t bytesPerLine : {64u, 624u}) {
        SCOPED_TRACE(bytesPerLine);
        const Bitmap band = makeImage(Content::kRandom, 8 * bytesPerLine, 256, 0.5, bytesPerLine);
        const uint32_t raw = fullBandBytes(band);

        const Compressed tooSmall = compress(band, raw, raw);
        ASSERT_GT(tooSmall.result, raw);
        EXPECT_TRUE(tooSmall.untouched);
        EXPECT_TRUE(tooSmall.guardsIntact);
        EXPECT_TRUE(tooSmall.allFreed);

        const Compressed oneShort = compress(band, raw, tooSmall.result - 1);
        EXPECT_EQ(oneShort.result, tooSmall.result);
        EXPECT_TRUE(oneShort.untouched);
        EXPECT_TRUE(oneShort.guardsIntact);

        EXPECT_EQ(djz_Compress(band.bits.data(), raw, nullptr, 0, bytesPerLine), tooSmall.result);

        const Compressed fits = compress(band, raw, tooSmall.result);
        EXPECT_EQ(fits.result, tooSmall.result);
        EXPECT_TRUE(fits.guardsIntact);
        expectPaddedReference(band, fits.bytes);
        Bitmap decoded;
        std::string error;
        ASSERT_TRUE(decodeJbigKit(fits.bytes, &decoded, &error)) << error;
        EXPECT_TRUE(decoded.bits == band.bits);
        EXPECT_TRUE(fits.allFreed);
    }
}

// Every allocation in turn fails: the encoder's four buffers and record, the first block,
// a later block. The result is 0, the destination is left alone, nothing leaks, the queue
// is empty, and the next band compresses normally.
TEST(JbigCompress, AllocationFailureReturnsZero) {
    const Bitmap band = makeImage(Content::kRandom, 4992, 256, 0.5, 3);  // several blocks
    const uint32_t raw = fullBandBytes(band);
    const Compressed good = compress(band, raw, 2 * raw);
    ASSERT_GT(good.result, 3u * kEncodedBlockSize);
    DebugStart();  // the encoder's messages go to the log, which is standard error here
    for (int failing = 0; failing < 8; ++failing) {
        SCOPED_TRACE(failing);
        FailingAllocator allocator(failing);
        const JBIGEncoderSetup setup = allocator.setup();
        testing::internal::CaptureStderr();
        const Compressed failed = compress(band, raw, 2 * raw, &setup);
        const std::string messages = testing::internal::GetCapturedStderr();
        EXPECT_EQ(failed.result, 0u);
        EXPECT_TRUE(failed.untouched);
        EXPECT_TRUE(allocator.allFreed());
        EXPECT_EQ(messages.empty(), failing >= 5) << messages;
        // Coded into a growing buffer, from its first 64 KiB on: the same failures.
        FailingAllocator growing(failing);
        const JBIGEncoderSetup growingSetup = growing.setup();
        JBIGBandOutput output = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(djz_CompressToOutput(band.bits.data(), raw, 624, &growingSetup, &output), 0u);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(output.length, 0u);
        djz_ReleaseOutput(&output);
        EXPECT_TRUE(growing.allFreed());
    }
    const Compressed again = compress(band, raw, 2 * raw);
    EXPECT_EQ(hex(again.bytes), hex(good.bytes));
}

TEST(JbigCompress, ZeroBytesPerLineRejected) {
    const Bytes bits(100, 0);
    Bytes destination(100, 0xC3);
    EXPECT_EQ(djz_Compress(bits.data(), 100, destination.data(), 100, 0), 0u);
    EXPECT_EQ(djz_Compress(bits.data(), 100, destination.data(), 100, 0x20000000), 0u);
    EXPECT_TRUE(std::all_of(destination.begin(), destination.end(),
                            [](unsigned char b) { return b == 0xC3; }));
}

// Nothing carries over from one band to the next.
TEST(JbigCompress, BandsAreIndependent) {
    const Bitmap a = makeImage(Content::kText, 1024, 256, 0, 11);
    const Bitmap b = makeImage(Content::kHalftone, 1024, 200, 0, 12);
    const Compressed first = compress(a, fullBandBytes(a), 3 * fullBandBytes(a));
    const Compressed other = compress(b, fullBandBytes(b), 3 * fullBandBytes(b));
    const Compressed again = compress(a, fullBandBytes(a), 3 * fullBandBytes(a));
    EXPECT_EQ(first.result, again.result);
    EXPECT_EQ(hex(first.bytes), hex(again.bytes));
    expectPaddedReference(b, other.bytes);
}

// The write callback on its own: the first request, full blocks, the final hand-over of a
// partly filled block and of an exactly full one.
TEST(JbigCompress, WriteCallbackQueue) {
    EncodedQueue queue = {nullptr, nullptr, nullptr};
    unsigned char *block = nullptr;
    uint32_t size = 0;

    EncodeDataWriteCb(&queue, &block, &size);
    ASSERT_NE(queue.head, nullptr);
    EXPECT_EQ(queue.head, queue.tail);
    EXPECT_EQ(block, queue.head->data);
    EXPECT_EQ(size, 32768u);
    EXPECT_EQ(queue.head->length, 0u);

    EncodeDataWriteCb(&queue, &block, &size);  // full block handed back
    EXPECT_EQ(queue.head->length, 32768u);
    ASSERT_NE(queue.tail, queue.head);
    EXPECT_EQ(queue.head->next, queue.tail);
    EXPECT_EQ(block, queue.tail->data);

    unsigned char *const last = block;
    size = 100;  // final hand-over of a partly filled block
    EncodeDataWriteCb(&queue, &block, &size);
    EXPECT_EQ(queue.tail->length, 100u);
    EXPECT_EQ(queue.tail->next, nullptr);
    EXPECT_EQ(block, last);
    EXPECT_EQ(size, 100u);

    size = 32768;  // final hand-over of an exactly full block appends an empty one
    EncodeDataWriteCb(&queue, &block, &size);
    EXPECT_EQ(queue.head->next->length, 32768u);
    ASSERT_NE(queue.tail, queue.head->next);
    EXPECT_EQ(queue.tail->length, 0u);

    while (queue.head != nullptr) {
        EncodedBlock *next = queue.head->next;
        free(queue.head);
        queue.head = next;
    }
}
