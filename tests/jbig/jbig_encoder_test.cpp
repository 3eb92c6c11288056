// Encoder record, image control, output block chain and arithmetic coder: known answers,
// invalid input, callbacks that give small, empty or no blocks, and the group coder against
// coding every entry one by one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string.h>

#include <random>

#include "tests/jbig/jbig_test_support.h"
#include "common/CUPSDebug.h"
#include "jbig/jbigInternal.h"
#include "jbig/ovtJBIG.h"

using namespace jbigtest;

namespace {

Bytes fromHex(const char *text) {
    Bytes bytes;
    for (const char *p = text; *p != '\0';) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        bytes.push_back(
            static_cast<unsigned char>(strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        p += 2;
    }
    return bytes;
}

Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Records every hand-over: its size, and whether a block was asked for first.
struct Recorder {
    uint32_t blockSize = 0x8000;
    Bytes block;
    Bytes out;
    std::vector<uint32_t> handOverSizes;
    uint32_t requests = 0;
    uint32_t refuseAfter = UINT32_MAX;  // blocks handed out before the callback gives none
    bool zeroSizeEveryOther = false;
    uint32_t zeroSizeAnswers = 0;
};

void record(void *user, unsigned char **blockPointer, uint32_t *blockSize) {
    Recorder *r = static_cast<Recorder *>(user);
    if (*blockPointer != nullptr) {
        r->handOverSizes.push_back(*blockSize);
        r->out.insert(r->out.end(), *blockPointer, *blockPointer + *blockSize);
    }
    if (r->zeroSizeEveryOther && r->zeroSizeAnswers++ % 2 == 0) {
        r->block.assign(1, 0);
        *blockPointer = r->block.data();  // a block of no room: the encoder asks again
        *blockSize = 0;
        r->handOverSizes.push_back(UINT32_MAX);  // marks the empty answer
        return;
    }
    if (r->requests >= r->refuseAfter) {
        *blockPointer = nullptr;
        *blockSize = 0;
        return;
    }
    ++r->requests;
    r->block.assign(r->blockSize, 0x5A);
    *blockPointer = r->block.data();
    *blockSize = r->blockSize;
}

Bytes header(uint32_t width, uint32_t height, uint32_t stripeLines, bool tp) {
    Bytes h = {0, 0, 1, 0};
    for (uint32_t v : {width, height, stripeLines}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            h.push_back(static_cast<unsigned char>(v >> shift));
        }
    }
    h.insert(h.end(), {0, 0, 0x03, static_cast<unsigned char>(tp ? 0x48 : 0x40)});
    return h;
}

}  // namespace

TEST(JbigEncoderState, FlagsSelectTypicalPrediction) {
    Recorder r;
    JBIGEncoderState *off = OvtJBIGEncoderInit(8, 1, record, &r);
    JBIGEncoderState *on = OvtJBIGEncoderInit(8, 0, record, &r);
    ASSERT_NE(off, nullptr);
    ASSERT_NE(on, nullptr);
    EXPECT_EQ(off->options, 0u);
    EXPECT_EQ(on->options, 1u);
    EXPECT_EQ(off->userData, &r);
    EXPECT_EQ(off->writeCallback, &record);
    EXPECT_EQ(off->pendingByte, 0);
    EXPECT_EQ(off->outState, 0u);
    // With maxWidth 8 the line buffers hold 256 bytes and the context buffer 9 entries.
    memset(off->scratchLine, 1, 256);
    memset(off->previousLine, 2, 256);
    memset(off->currentLine, 3, 256);
    for (int i = 0; i < 9; ++i) {
        off->contextBuffer[i] = 0xFFFF;
    }
    OvtJBIGEncoderDeinit(off);
    OvtJBIGEncoderDeinit(on);
    OvtJBIGEncoderDeinit(nullptr);
}

// Each allocation of the encoder fails in turn: the exact message, a null result, and
// everything allocated before freed (the sanitizer build checks for leaks).
TEST(JbigEncoderState, AllocationFailures) {
    const char *expected[] = {
        "OvtJBIGEncoderInit -- Could not allocate JBIG state structure;",
        "ImgJBIGEncoderInit -- Could not allocate context buffer; ",
        "ImgJBIGEncoderInit -- Could not allocate image buffer; uIndx: 0, uMaxWidth: 4992",
        "ImgJBIGEncoderInit -- Could not allocate image buffer; uIndx: 1, uMaxWidth: 4992",
        "ImgJBIGEncoderInit -- Could not allocate image buffer; uIndx: 2, uMaxWidth: 4992",
    };
    DebugStart();  // the messages go to the log, which is standard error here
    for (int failing = 0; failing < 5; ++failing) {
        SCOPED_TRACE(failing);
        FailingAllocator allocator(failing);
        const JBIGEncoderSetup setup = allocator.setup();
        testing::internal::CaptureStderr();
        JBIGEncoderState *state = OvtJBIGEncoderInitWith(4992, 1, record, nullptr, &setup);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_THAT(log, testing::HasSubstr(std::string(expected[failing]) + "\n"));
        EXPECT_EQ(state, nullptr);
        OvtJBIGEncoderDeinit(state);
    }
    testing::internal::CaptureStderr();
    FailingAllocator never(-1);
    const JBIGEncoderSetup setup = never.setup();
    JBIGEncoderState *state = OvtJBIGEncoderInitWith(4992, 1, record, nullptr, &setup);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(state, nullptr);
    OvtJBIGEncoderDeinit(state);
}

// A width the buffers cannot be sized for is refused like a failed allocation.
TEST(JbigEncoderState, UnrepresentableWidthRefused) {
    DebugStart();
    testing::internal::CaptureStderr();
    JBIGEncoderState *state = OvtJBIGEncoderInit(UINT32_MAX, 1, record, nullptr);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::HasSubstr("ImgJBIGEncoderInit -- Could not allocate context buffer; \n"));
    EXPECT_EQ(state, nullptr);
}

struct KnownAnswer {
    const char *name;
    uint32_t width;
    uint32_t height;
    std::vector<std::pair<uint32_t, uint32_t>> blackPixels;  // (x, y)
    bool typicalPrediction;
    const char *stripeData;
};

TEST(JbigEncoderImage, KnownAnswers) {
    const KnownAnswer answers[] = {
        {"8x1 white", 8, 1, {}, false, "60 FF 02"},
        {"16x1 first pixel black", 16, 1, {{0, 0}}, false, "AA 60 FF 02"},
        {"16x2 second line first pixel black", 16, 2, {{0, 1}}, false, "63 48 FF 02"},
        {"64x256 white", 64, 256, {}, false, "4B D0 FF 02"},
        {"8x1 white, typical prediction", 8, 1, {}, true, "FF 02"},
        {"8x3 white, no lines added", 8, 0, {}, false, ""},
    };
    for (const KnownAnswer &a : answers) {
        SCOPED_TRACE(a.name);
        Bitmap image(a.width, a.height);
        for (const auto &p : a.blackPixels) {
            image.set(p.first, p.second);
        }
        EncodeOptions options;
        options.typicalPrediction = a.typicalPrediction;
        const EncodeResult result = encodeOurs(image, options);
        EXPECT_EQ(hex(result.bie), hex(concat(header(a.width, a.height, 256, a.typicalPrediction),
                                              fromHex(a.stripeData))));
    }
}

// L0 + 1 lines: two stripe data entities; the second codes one line against the last line
// of the first, with the probability states carried over.
TEST(JbigEncoderImage, StripeCountFollowsLinesAdded) {
    for (uint32_t height : {256u, 257u, 512u, 513u}) {
        SCOPED_TRACE(height);
        const EncodeResult result = encodeOurs(Bitmap(64, height), EncodeOptions{});
        size_t markers = 0;
        for (size_t i = 20; i + 1 < result.bie.size(); ++i) {
            markers += result.bie[i] == 0xFF && result.bie[i + 1] == 0x02;
        }
        EXPECT_EQ(markers, (height + 255) / 256);
        EXPECT_EQ(hex(result.bie, 20, 4), "4B D0 FF 02");
    }
}

// Null lines code all-0 lines, with and without typical prediction.
TEST(JbigEncoderImage, NullLinesCodeWhiteLines) {
    for (bool tp : {false, true}) {
        Recorder r;
        JBIGEncoderState *state = OvtJBIGEncoderInit(300, tp ? 0 : 1, record, &r);
        ASSERT_NE(state, nullptr);
        const JBIGImageSize size = {300, 600};
        EXPECT_EQ(OvtJBIGImageBegin(state, &size, 256), 0);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, nullptr, 100, 0), 0);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, nullptr, 500, 38), 0);
        EXPECT_EQ(OvtJBIGImageEnd(state), 0);
        OvtJBIGEncoderDeinit(state);
        EncodeOptions options;
        options.typicalPrediction = tp;
        EXPECT_EQ(hex(r.out), hex(encodeOurs(Bitmap(300, 600), options).bie));
    }
}

// One encoder codes several images in turn; each equals the image coded by a fresh encoder
// (probability states and the line above start afresh), also after a wider image.
TEST(JbigEncoderImage, EncoderReusedForSeveralImages) {
    const Bitmap images[] = {makeImage(Content::kText, 900, 300, 0, 1),
                             makeImage(Content::kRandom, 77, 20, 0.4, 2),
                             makeImage(Content::kHalftone, 900, 260, 0, 3)};
    for (bool tp : {false, true}) {
        Recorder r;
        JBIGEncoderState *state = OvtJBIGEncoderInit(900, tp ? 0 : 1, record, &r);
        ASSERT_NE(state, nullptr);
        for (const Bitmap &image : images) {
            r.out.clear();
            const JBIGImageSize size = {image.width, image.height};
            ASSERT_EQ(OvtJBIGImageBegin(state, &size, 100), 0);
            ASSERT_EQ(OvtJBIGImageBandAdd(state, image.line(0), image.height,
                                          static_cast<int32_t>(image.bytesPerLine)),
                      0);
            ASSERT_EQ(OvtJBIGImageEnd(state), 0);
            EncodeOptions fresh;
            fresh.stripeLines = 100;
            fresh.typicalPrediction = tp;
            EXPECT_EQ(hex(r.out), hex(encodeOurs(image, fresh).bie));
        }
        OvtJBIGEncoderDeinit(state);
    }
}

// Lines added bottom-up with a negative stride.
TEST(JbigEncoderImage, NegativeStride) {
    const Bitmap image = makeImage(Content::kText, 400, 120, 0, 9);
    Bitmap flipped(400, 120);
    for (uint32_t y = 0; y < 120; ++y) {
        memcpy(flipped.line(119 - y), image.line(y), image.bytesPerLine);
    }
    Recorder r;
    JBIGEncoderState *state = OvtJBIGEncoderInit(400, 1, record, &r);
    ASSERT_NE(state, nullptr);
    const JBIGImageSize size = {400, 120};
    OvtJBIGImageBegin(state, &size, 256);
    EXPECT_EQ(OvtJBIGImageBandAdd(state, flipped.line(119), 120,
                                  -static_cast<int32_t>(flipped.bytesPerLine)),
              0);
    OvtJBIGImageEnd(state);
    OvtJBIGEncoderDeinit(state);
    EXPECT_EQ(hex(r.out), hex(encodeOurs(image, EncodeOptions{}).bie));
}

// A width above the encoder's maximum or a stripe length of 0 is refused before anything is
// written (the buffers would overflow, the stripe loop would never end).
TEST(JbigEncoderImage, InvalidImageRefused) {
    struct Invalid {
        uint32_t width;
        uint32_t stripeLines;
    };
    for (const Invalid &c : {Invalid{65, 256}, Invalid{64, 0}}) {
        Recorder r;
        JBIGEncoderState *state = OvtJBIGEncoderInit(64, 1, record, &r);
        ASSERT_NE(state, nullptr);
        const JBIGImageSize size = {c.width, 10};
        const Bytes lines(9 * 10, 0xFF);
        EXPECT_EQ(OvtJBIGImageBegin(state, &size, c.stripeLines), -1);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, lines.data(), 10, 9), -1);
        EXPECT_EQ(OvtJBIGImageEnd(state), -1);
        EXPECT_EQ(r.requests, 0u);
        EXPECT_TRUE(r.out.empty());
        // The encoder is still usable for a valid image.
        const JBIGImageSize valid = {64, 256};
        EXPECT_EQ(OvtJBIGImageBegin(state, &valid, 256), 0);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, nullptr, 256, 0), 0);
        EXPECT_EQ(OvtJBIGImageEnd(state), 0);
        EXPECT_EQ(hex(r.out), hex(concat(header(64, 256, 256, false), fromHex("4B D0 FF 02"))));
        OvtJBIGEncoderDeinit(state);
    }
}

// Lines added to an encoder that has not begun an image are refused instead of looping on
// a stripe length of 0.
TEST(JbigEncoderImage, LinesBeforeImageBeginRefused) {
    Recorder r;
    JBIGEncoderState *state = OvtJBIGEncoderInit(64, 1, record, &r);
    ASSERT_NE(state, nullptr);
    const Bytes lines(8 * 4, 0x81);
    EXPECT_EQ(OvtJBIGImageBandAdd(state, lines.data(), 4, 8), -1);
    EXPECT_EQ(r.requests, 0u);
    OvtJBIGEncoderDeinit(state);
}

// The header alone: the first call asks for a block, a block left exactly full by the header
// is handed over at once, the final hand-over carries the bytes used.
TEST(JbigBlockChain, HeaderHandOvers) {
    struct Expect {
        uint32_t blockSize;
        std::vector<uint32_t> handOvers;
    };
    const Expect cases[] = {{20, {20, 0}}, {19, {19, 1}}, {21, {20}}, {10, {10, 10, 0}}};
    for (const Expect &c : cases) {
        SCOPED_TRACE(c.blockSize);
        Recorder r;
        r.blockSize = c.blockSize;
        JBIGEncoderState *state = OvtJBIGEncoderInit(8, 1, record, &r);
        ASSERT_NE(state, nullptr);
        const JBIGImageSize size = {8, 0};
        EXPECT_EQ(OvtJBIGImageBegin(state, &size, 256), 0);
        EXPECT_EQ(OvtJBIGImageEnd(state), 0);
        OvtJBIGEncoderDeinit(state);
        EXPECT_EQ(r.handOverSizes, c.handOvers);
        EXPECT_EQ(hex(r.out), hex(header(8, 0, 256, false)));
    }
}

// A callback that sometimes answers with a block of no room is asked again; the bytes are
// the same.
TEST(JbigBlockChain, EmptyBlockAnswerAskedAgain) {
    const Bitmap image = makeImage(Content::kFfLines, 120, 80, 0, 4);
    for (uint32_t blockSize : {1u, 3u, 4096u}) {
        Recorder r;
        r.blockSize = blockSize;
        r.zeroSizeEveryOther = true;
        JBIGEncoderState *state = OvtJBIGEncoderInit(120, 1, record, &r);
        ASSERT_NE(state, nullptr);
        const JBIGImageSize size = {120, 80};
        OvtJBIGImageBegin(state, &size, 30);
        OvtJBIGImageBandAdd(state, image.line(0), 80, static_cast<int32_t>(image.bytesPerLine));
        EXPECT_EQ(OvtJBIGImageEnd(state), 0);
        OvtJBIGEncoderDeinit(state);
        EncodeOptions options;
        options.stripeLines = 30;
        EXPECT_EQ(hex(r.out), hex(encodeOurs(image, options).bie));
        EXPECT_GT(r.zeroSizeAnswers, 2u);
    }
}

// A callback that cannot provide a block stops the output and the image is reported as
// failed; nothing is written past that point.
TEST(JbigBlockChain, CallbackWithoutBlockFailsImage) {
    const Bitmap image = makeImage(Content::kRandom, 256, 200, 0.5, 5);
    for (uint32_t refuseAfter : {0u, 1u, 2u, 5u}) {
        SCOPED_TRACE(refuseAfter);
        Recorder r;
        r.blockSize = 1000;
        r.refuseAfter = refuseAfter;
        JBIGEncoderState *state = OvtJBIGEncoderInit(256, 1, record, &r);
        ASSERT_NE(state, nullptr);
        const JBIGImageSize size = {256, 200};
        const int begin = OvtJBIGImageBegin(state, &size, 256);
        const int add = OvtJBIGImageBandAdd(state, image.line(0), 200,
                                            static_cast<int32_t>(image.bytesPerLine));
        const int end = OvtJBIGImageEnd(state);
        OvtJBIGEncoderDeinit(state);
        EXPECT_EQ(begin, refuseAfter == 0 ? -1 : 0);
        EXPECT_EQ(add, -1);
        EXPECT_EQ(end, -1);
        EXPECT_EQ(r.requests, refuseAfter);
        // Every block handed out was filled and handed back before the refusal.
        EXPECT_EQ(r.out.size(), 1000u * refuseAfter);
    }
}

namespace {

// Drives the line loop by hand so that each line can be coded both through the group path
// and with every entry stored.
struct HandDriven {
    Recorder recorder;
    JBIGEncoderState *state = nullptr;

    explicit HandDriven(uint32_t width) {
        state = OvtJBIGEncoderInit(width, 1, record, &recorder);
        const JBIGImageSize size = {width, 1};
        OvtJBIGImageBegin(state, &size, 1000);
        // Open a stripe without the discard slot, so every byte reaches the recorder.
        state->A = 0x10000;
        state->C = 0;
        state->CT = 11;
        state->SC = 0;
    }
    ~HandDriven() { OvtJBIGEncoderDeinit(state); }

    void codeLine(const unsigned char *line, bool expandGroups) {
        state->source = line;
        jbigScanConvert(state);
        state->lineEntries = state->width;
        jbigGen_2LineTemplate_c_code(state);
        if (expandGroups && state->width > 5) {
            // Rebuild the entries with every group stored.
            std::vector<uint16_t> all;
            const uint16_t *stored = state->contextBuffer;
            all.insert(all.end(), stored, stored + 5);
            stored += 5;
            const uint32_t rest = state->width - 5;
            for (uint32_t g = 0; g * 32 < rest; ++g) {
                const uint32_t count = std::min<uint32_t>(32, rest - 32 * g);
                uint32_t flag;
                memcpy(&flag, state->scratchLine + 4 * (g ^ 1), 4);
                for (uint32_t k = 0; k < count; ++k) {
                    all.push_back(flag ? *stored++ : 0);
                }
                flag = 1;
                memcpy(state->scratchLine + 4 * (g ^ 1), &flag, 4);
            }
            memcpy(state->contextBuffer, all.data(), all.size() * 2);
        }
        jbigCompressOneScan_c_code(state);
        unsigned char *scratch = state->scratchLine;
        state->scratchLine = state->previousLine;
        state->previousLine = state->currentLine;
        state->currentLine = scratch;
    }
};

}  // namespace

// Background groups coded a run at a time give the same registers, probability states and
// bytes as coding their 32 entries one by one, whichever value context 0 currently favours.
TEST(JbigCoder, GroupPathEqualsEntryByEntry) {
    const Bitmap images[] = {makeImage(Content::kDotGrid, 1000, 300, 1.0, 1),
                             makeImage(Content::kDotGrid, 613, 300, 0.5, 2),
                             makeImage(Content::kText, 1000, 200, 0, 3),
                             makeImage(Content::kRandom, 300, 200, 0.002, 4),
                             makeImage(Content::kBlankRuns, 4997, 300, 0.1, 5)};
    for (const Bitmap &image : images) {
        HandDriven grouped(image.width);
        HandDriven single(image.width);
        for (uint32_t y = 0; y < image.height; ++y) {
            grouped.codeLine(image.line(y), false);
            single.codeLine(image.line(y), true);
            ASSERT_EQ(grouped.state->A, single.state->A) << "line " << y;
            ASSERT_EQ(grouped.state->C, single.state->C) << "line " << y;
            ASSERT_EQ(grouped.state->CT, single.state->CT) << "line " << y;
            ASSERT_EQ(grouped.state->SC, single.state->SC) << "line " << y;
            ASSERT_EQ(grouped.state->pendingByte, single.state->pendingByte) << "line " << y;
            ASSERT_EQ(0, memcmp(grouped.state->probabilityTable, single.state->probabilityTable,
                                sizeof(grouped.state->probabilityTable)))
                << "line " << y;
        }
        jbigStripEnd(grouped.state);
        jbigStripEnd(single.state);
        jbigFlushBufs(grouped.state);
        jbigFlushBufs(single.state);
        EXPECT_EQ(hex(grouped.recorder.out), hex(single.recorder.out));
        EXPECT_GT(grouped.recorder.out.size(), 30u);
    }
}

namespace {

// An encoder whose coder is driven directly: entries are coded through the stored-entry
// path or as a run of entry 0, and every coded byte stays in one large block.
struct DirectCoder {
    Bytes block = Bytes(4096);
    JBIGEncoderState *state = nullptr;

    static void give(void *user, unsigned char **blockPointer, uint32_t *blockSize) {
        DirectCoder *d = static_cast<DirectCoder *>(user);
        *blockPointer = d->block.data();
        *blockSize = static_cast<uint32_t>(d->block.size());
    }

    explicit DirectCoder(uint32_t maxEntries) {
        state = OvtJBIGEncoderInit(maxEntries, 1, give, this);
        const JBIGImageSize size = {maxEntries, 1};
        OvtJBIGImageBegin(state, &size, 1000);
        // A stripe opened without the discard slot: every byte lands in the block.
        state->A = 0x10000;
        state->C = 0;
        state->CT = 11;
        state->SC = 0;
    }
    ~DirectCoder() { OvtJBIGEncoderDeinit(state); }
    DirectCoder(const DirectCoder &) = delete;
    DirectCoder &operator=(const DirectCoder &) = delete;

    // Bytes coded so far, after the 20-byte header.
    Bytes coded() const { return Bytes(block.begin() + 20, block.begin() + outUsed()); }
    size_t outUsed() const { return static_cast<size_t>(state->outPtr - block.data()); }

    // Codes the entries one by one: all of them stored, no group left out.
    void codeStored(const std::vector<uint16_t> &entries) {
        memcpy(state->contextBuffer, entries.data(), entries.size() * 2);
        memset(state->scratchLine, 0x01, entries.size() / 8 + 8);
        state->lineEntries = static_cast<uint32_t>(entries.size());
        jbigCompressOneScan_c_code(state);
    }

    void expectSameAs(const DirectCoder &other) const {
        EXPECT_EQ(state->A, other.state->A);
        EXPECT_EQ(state->C, other.state->C);
        EXPECT_EQ(state->CT, other.state->CT);
        EXPECT_EQ(state->SC, other.state->SC);
        EXPECT_EQ(state->pendingByte, other.state->pendingByte);
        EXPECT_EQ(0, memcmp(state->probabilityTable, other.state->probabilityTable,
                            sizeof(state->probabilityTable)));
        EXPECT_EQ(hex(coded()), hex(other.coded()));
    }
};

}  // namespace

// A run of entry 0 gives the registers, probability states and bytes of coding its entries
// one by one, for every state of context 0 (either value more probable) when the run
// starts, after prefixes that leave the registers anywhere, for runs within one
// renormalisation, across many and longer than a line. The corpus must contain runs that
// start with pending 0xFF bytes and runs inside which a carry reaches the buffered byte.
TEST(JbigCoder, ZeroRunEqualsEntryByEntry) {
    // Random prefixes, three that leave pending 0xFF bytes behind and three that do not.
    std::vector<std::vector<uint16_t>> prefixes;
    uint32_t withPending = 0, withoutPending = 0;
    for (uint32_t seed = 0; seed < 20000 && prefixes.size() < 6; ++seed) {
        std::mt19937 rng(seed);
        std::vector<uint16_t> prefix(200 + seed % 300);
        for (uint16_t &entry : prefix) {
            const uint32_t context = rng() % 3 == 0 ? 0 : rng() % 1024;
            entry = static_cast<uint16_t>(2 * context + (rng() % 4 == 0 ? 1 : 0));
        }
        DirectCoder probe(1000);
        probe.codeStored(prefix);
        uint32_t &taken = probe.state->SC > 0 ? withPending : withoutPending;
        if (taken < 3) {
            ++taken;
            prefixes.push_back(prefix);
        }
    }
    ASSERT_EQ(prefixes.size(), 6u);

    const uint32_t runs[] = {1, 2, 31, 32, 33, 95, 1000, 4993};
    uint32_t runsWithPendingFF = 0, carriesInRuns = 0;
    for (size_t p = 0; p < prefixes.size(); ++p) {
        const std::vector<uint16_t> &prefix = prefixes[p];
        for (uint32_t index = 0; index < 113; ++index) {
            for (bool oneMoreProbable : {false, true}) {
                const uint16_t stateOfContext0 =
                    static_cast<uint16_t>(index * 0x0101 | (oneMoreProbable ? 0x8000 : 0x0080));
                for (uint32_t n : runs) {
                    // A as the prefix left it; A such that the run's last coding leaves it at
                    // exactly 0x8000 (no renormalisation); one less (the last coding
                    // renormalises).
                    for (uint32_t aChoice : {0u, 1u, 2u}) {
                        const uint32_t boundary = 0x8000 + n * Lsz[index];
                        if (aChoice > 0 && (oneMoreProbable || boundary > 0x10000)) {
                            continue;
                        }
                        SCOPED_TRACE("prefix " + std::to_string(p) + " state " +
                                     std::to_string(index) +
                                     (oneMoreProbable ? " MPS 1" : " MPS 0") + " run " +
                                     std::to_string(n) + " A choice " + std::to_string(aChoice));
                        DirectCoder run(5000), single(5000);
                        run.codeStored(prefix);
                        single.codeStored(prefix);
                        run.state->probabilityTable[0] = stateOfContext0;
                        single.state->probabilityTable[0] = stateOfContext0;
                        if (aChoice > 0) {
                            run.state->A = single.state->A = boundary - (aChoice - 1);
                        }
                        runsWithPendingFF += single.state->SC > 0;

                        jbigCompressZeroRun(run.state, n);
                        if (n > 1000) {
                            single.codeStored(std::vector<uint16_t>(n, 0));
                        }
                        // Shorter runs one entry per call, to see the carries.
                        for (uint32_t k = 0; k < n && n <= 1000; ++k) {
                            const size_t before = single.outUsed();
                            const uint8_t pending = single.state->pendingByte;
                            single.codeStored({0});
                            if (single.outUsed() > before &&
                                single.block[before] == static_cast<uint8_t>(pending + 1)) {
                                ++carriesInRuns;
                            }
                        }
                        run.expectSameAs(single);
                        if (HasFailure()) {
                            return;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(runsWithPendingFF, 0u);
    EXPECT_GT(carriesInRuns, 0u);
}

// A run of 0 entries codes nothing.
TEST(JbigCoder, EmptyZeroRunCodesNothing) {
    DirectCoder run(64), untouched(64);
    run.codeStored({0, 3, 0x7FF, 1});
    untouched.codeStored({0, 3, 0x7FF, 1});
    jbigCompressZeroRun(run.state, 0);
    run.expectSameAs(untouched);
}

namespace {

// The coding procedure written out plainly, one doubling at a time, as the reference for
// single codings from chosen registers.
struct ReferenceCoder {
    uint32_t A, C;
    int32_t CT;
    uint32_t SC;
    uint8_t buffer;
    uint16_t word;  // state word of the coded context
    Bytes out;

    void byteOut() {
        const uint32_t t = C >> 19;
        if (t > 0xFF) {
            out.push_back(static_cast<uint8_t>(buffer + 1));
            if (out.back() == 0xFF) {
                out.push_back(0x00);
            }
            out.insert(out.end(), SC, 0x00);
            SC = 0;
            buffer = static_cast<uint8_t>(t);
        } else if (t == 0xFF) {
            ++SC;
        } else {
            out.push_back(buffer);
            for (; SC > 0; --SC) {
                out.push_back(0xFF);
                out.push_back(0x00);
            }
            buffer = static_cast<uint8_t>(t);
        }
        C &= 0x7FFFF;
    }

    void code(uint32_t pixel) {
        const uint32_t b = (word >> (8 * pixel)) & 0xFF;
        const uint32_t index = b & 0x7F;
        const uint32_t lsz = Lsz[index];
        A -= lsz;
        if (b & 0x80) {
            if (A >= 0x8000) {
                return;
            }
            if (A < lsz) {
                C += A;
                A = lsz;
            }
            word = static_cast<uint16_t>((word & 0x8080) | Nmps[index]);
        } else {
            if (A >= lsz) {
                C += A;
                A = lsz;
            }
            word = static_cast<uint16_t>((word & 0x8080) ^ Nlps[index]);
        }
        do {
            A <<= 1;
            C <<= 1;
            if (--CT == 0) {
                byteOut();
                CT = 8;
            }
        } while (A < 0x8000);
    }
};

}  // namespace

// One coding of either pixel value from every probability state, with A where the coded
// subinterval changes between the upper and the lower one (A - LSZ just below, at and
// above LSZ), where an MPS coding starts to renormalise, and at its extremes; with C and
// CT such that bytes leave, with and without a carry into the buffered byte and the
// pending 0xFF bytes.
TEST(JbigCoder, SingleCodingMatchesReferenceModel) {
    struct Registers {
        uint32_t C;
        int32_t CT;
        uint32_t SC;
        uint8_t buffer;
    };
    const Registers registerSets[] = {
        {0, 11, 0, 0},          {0x3FFFF, 1, 0, 0x12}, {0x7FFF8, 1, 2, 0xFE},
        {0x1FFFFF, 3, 1, 0xFF}, {0x8000, 8, 0, 0x7F},  {0x3FFFFC, 2, 3, 0x00},
    };
    const uint32_t entry = 2 * 0x2A5;  // context 0x2A5; the pixel is added below
    for (uint32_t index = 0; index < 113; ++index) {
        const uint32_t lsz = Lsz[index];
        const uint32_t as[] = {0x8000,  0x8000 + lsz - 1, 0x8000 + lsz, 2 * lsz - 1,
                               2 * lsz, 2 * lsz + 1,      0xFFFF,       0x10000};
        for (uint32_t A : as) {
            if (A < 0x8000 || A > 0x10000) {
                continue;
            }
            for (uint16_t word : {static_cast<uint16_t>(index * 0x0101 | 0x0080),
                                  static_cast<uint16_t>(index * 0x0101 | 0x8000)}) {
                for (uint32_t pixel : {0u, 1u}) {
                    for (const Registers &r : registerSets) {
                        SCOPED_TRACE("state " + std::to_string(index) + " A " + std::to_string(A) +
                                     " word " + std::to_string(word) + " pixel " +
                                     std::to_string(pixel) + " C " + std::to_string(r.C) + " CT " +
                                     std::to_string(r.CT));
                        ReferenceCoder reference{A, r.C, r.CT, r.SC, r.buffer, word, {}};
                        reference.code(pixel);

                        DirectCoder ours(64);
                        ours.state->A = A;
                        ours.state->C = r.C;
                        ours.state->CT = r.CT;
                        ours.state->SC = r.SC;
                        ours.state->pendingByte = r.buffer;
                        ours.state->probabilityTable[0x2A5] = word;
                        ours.codeStored({static_cast<uint16_t>(entry + pixel)});

                        EXPECT_EQ(ours.state->A, reference.A);
                        EXPECT_EQ(ours.state->C, reference.C);
                        EXPECT_EQ(ours.state->CT, reference.CT);
                        EXPECT_EQ(ours.state->SC, reference.SC);
                        EXPECT_EQ(ours.state->pendingByte, reference.buffer);
                        EXPECT_EQ(ours.state->probabilityTable[0x2A5], reference.word);
                        EXPECT_EQ(hex(ours.coded()), hex(reference.out));
                        if (HasFailure()) {
                            return;
                        }
                    }
                }
            }
        }
    }
}
