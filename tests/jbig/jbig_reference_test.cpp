// Our encoder against JBIG-KIT's T.85 encoder and decoder: identical BIEs (apart from the
// order byte, which JBIG-KIT leaves 0) and exact round trips.
#include <gtest/gtest.h>

#include <string.h>

#include <random>

#include "tests/jbig/jbig_test_support.h"
#include "jbig/ovtJBIG.h"

using namespace jbigtest;

namespace {

struct Case {
    Content content;
    uint32_t width;
    uint32_t height;
    double density;
    EncodeOptions options;
};

std::string describe(const Case &c) {
    std::string text = contentName(c.content) + " " + std::to_string(c.width) + "x" +
                       std::to_string(c.height) + " density " + std::to_string(c.density) + " L0 " +
                       std::to_string(c.options.stripeLines) +
                       (c.options.typicalPrediction ? " TPBON" : "") + " block " +
                       std::to_string(c.options.blockSize) + " adds";
    for (uint32_t n : c.options.addCounts) {
        text += " " + std::to_string(n);
    }
    return text;
}

// Lines of the cases coded so far with each coding step, and cases in which the step
// changed from line to line.
struct StepsSeen {
    uint32_t busyLines = 0;
    uint32_t quietLines = 0;
    uint32_t imagesSwitching = 0;
};
StepsSeen stepsSeen;

// Codes the case both ways and checks equality and the round trip; our encoder also with
// either coding step throughout, which must give the same bytes as the step chosen by line.
void checkAgainstJbigKit(const Case &c, uint32_t seed) {
    SCOPED_TRACE(describe(c));
    const Bitmap image = makeImage(c.content, c.width, c.height, c.density, seed);
    const EncodeResult ours = encodeOurs(image, c.options);
    stepsSeen.busyLines += ours.busyLines;
    stepsSeen.quietLines += ours.quietLines;
    stepsSeen.imagesSwitching += ours.busyLines > 0 && ours.quietLines > 0;
    for (int step : {kJbigCodingBranching, kJbigCodingBranchFree}) {
        EncodeOptions fixed = c.options;
        fixed.codingStep = step;
        EXPECT_TRUE(encodeOurs(image, fixed).bie == ours.bie) << "coding step " << step;
    }
    ASSERT_EQ(ours.beginResult, 0);
    ASSERT_EQ(ours.addResult, 0);
    ASSERT_EQ(ours.endResult, 0);
    ASSERT_GE(ours.bie.size(), 20u);
    EXPECT_EQ(ours.bie[18], 0x03);
    EXPECT_EQ(ours.bie[19], c.options.typicalPrediction ? 0x48 : 0x40);

    if (c.height > 0) {
        const Bytes reference =
            encodeJbigKit(image, c.options.stripeLines, c.options.typicalPrediction);
        const Bytes comparable = withOrderByteCleared(ours.bie);
        ASSERT_EQ(comparable.size(), reference.size());
        if (comparable != reference) {
            size_t at = 0;
            while (comparable[at] == reference[at]) {
                ++at;
            }
            FAIL() << "first difference at byte " << at << ": ours " << hex(comparable, at, 8)
                   << ", JBIG-KIT " << hex(reference, at, 8);
        }
    }

    if (c.height == 0) {
        // No line, no stripe: the header alone (JBIG-KIT writes nothing for it and its
        // decoder does not accept an image of height 0).
        EXPECT_EQ(ours.bie.size(), 20u);
        return;
    }
    Bitmap decoded;
    std::string error;
    ASSERT_TRUE(decodeJbigKit(ours.bie, &decoded, &error)) << error;
    EXPECT_EQ(decoded.width, image.width);
    EXPECT_EQ(decoded.height, image.height);
    EXPECT_TRUE(decoded.bits == image.bits) << "decoded bits differ from the input";
}

EncodeOptions plain() {
    return EncodeOptions{};
}

EncodeOptions tpbon() {
    EncodeOptions o;
    o.typicalPrediction = true;
    return o;
}

}  // namespace

// Every width from 1 to 80 (lead-only lines, one partial group, the first full groups and
// chunks), with and without typical prediction.
TEST(JbigReference, AllNarrowWidths) {
    for (uint32_t width = 1; width <= 80; ++width) {
        const double density = 0.05 + 0.9 * (width % 7) / 6.0;
        checkAgainstJbigKit({Content::kRandom, width, 9, density, plain()}, width);
        checkAgainstJbigKit({Content::kRandom, width, 9, density, tpbon()}, width + 1000);
        checkAgainstJbigKit({Content::kVertical, width, 12, 0.5, tpbon()}, width + 2000);
    }
}

// Wider lines up to beyond 2000 dots, not only multiples of 8 or 64, over every kind of
// content.
TEST(JbigReference, WidthsAndContents) {
    const uint32_t widths[] = {95,   96,   97,   127,  128,  129,  191,  200,  255,  256,  257,
                               300,  383,  500,  511,  512,  513,  640,  777,  1000, 1023, 1024,
                               1025, 1333, 1500, 1999, 2000, 2001, 2048, 2050, 2053};
    const Content contents[] = {Content::kEmpty,    Content::kFull,    Content::kText,
                                Content::kHalftone, Content::kFfLines, Content::kDotGrid};
    uint32_t seed = 1;
    for (uint32_t width : widths) {
        for (Content content : contents) {
            const uint32_t height = content == Content::kText ? 120 : 40;
            checkAgainstJbigKit({content, width, height, 0.9, plain()}, seed++);
        }
        checkAgainstJbigKit({Content::kRandom, width, 30, 0.02 + (width % 10) / 10.0, plain()},
                            seed++);
        checkAgainstJbigKit({Content::kText, width, 80, 0, tpbon()}, seed++);
    }
}

TEST(JbigReference, RandomDensities) {
    const double densities[] = {0.0005, 0.003, 0.01, 0.05, 0.2, 0.5, 0.8, 0.95, 0.995, 0.9999};
    uint32_t seed = 77;
    const StepsSeen before = stepsSeen;
    for (double density : densities) {
        checkAgainstJbigKit({Content::kRandom, 613, 150, density, plain()}, seed++);
        checkAgainstJbigKit({Content::kRandom, 613, 150, density, tpbon()}, seed++);
    }
    // Dense noise is coded branch-free, sparse dots with the branching step.
    EXPECT_GT(stepsSeen.busyLines, before.busyLines);
    EXPECT_GT(stepsSeen.quietLines, before.quietLines);
}

// Heights 0 to 600 with L0 = 256: no stripe, one stripe, exactly one stripe, stripes
// carrying their probability states and the line above over.
TEST(JbigReference, HeightsAndStripes) {
    const uint32_t heights[] = {0, 1, 2, 3, 255, 256, 257, 300, 511, 512, 513, 600};
    uint32_t seed = 500;
    for (uint32_t height : heights) {
        checkAgainstJbigKit({Content::kText, 456, height, 0, plain()}, seed++);
        checkAgainstJbigKit({Content::kHalftone, 200, height, 0, plain()}, seed++);
        checkAgainstJbigKit({Content::kVertical, 333, height, 0.3, tpbon()}, seed++);
        checkAgainstJbigKit({Content::kEmpty, 64, height, 0, plain()}, seed++);
    }
}

// Typical prediction across stripe boundaries with short stripes.
TEST(JbigReference, TypicalPredictionShortStripes) {
    const uint32_t stripeLengths[] = {1, 2, 3, 16, 37, 100};
    uint32_t seed = 900;
    for (uint32_t l0 : stripeLengths) {
        EncodeOptions tp = tpbon();
        tp.stripeLines = l0;
        EncodeOptions off = plain();
        off.stripeLines = l0;
        checkAgainstJbigKit({Content::kVertical, 250, 150, 0.4, tp}, seed++);
        checkAgainstJbigKit({Content::kText, 250, 150, 0, tp}, seed++);
        checkAgainstJbigKit({Content::kEmpty, 250, 40, 0, tp}, seed++);
        checkAgainstJbigKit({Content::kHalftone, 250, 100, 0, off}, seed++);
    }
}

// Images added in several calls that split stripes, including calls of 0 lines.
TEST(JbigReference, SplitAdds) {
    const std::vector<std::vector<uint32_t>> splits = {
        {1, 1, 254, 1, 255, 2}, {100, 200, 300}, {0, 256, 0, 344}, {7, 7, 7, 7, 7, 7, 7},
        {255, 2, 255, 2},       {599},           {1, 598},         {300, 0, 0, 1}};
    uint32_t seed = 1300;
    for (const auto &split : splits) {
        for (bool tp : {false, true}) {
            EncodeOptions o = tp ? tpbon() : plain();
            o.addCounts = split;
            checkAgainstJbigKit({Content::kText, 517, 600, 0, o}, seed++);
            checkAgainstJbigKit({Content::kVertical, 130, 600, 0.5, o}, seed++);
        }
    }
}

// Tiny output blocks: the stripe's discarded first byte, blocks filled by the header and
// every byte at a block boundary give the same byte sequence as 32 KiB blocks.
TEST(JbigReference, SmallOutputBlocks) {
    const uint32_t blockSizes[] = {1, 2, 3, 5, 19, 20, 21, 64};
    uint32_t seed = 1700;
    for (uint32_t blockSize : blockSizes) {
        EncodeOptions o = plain();
        o.blockSize = blockSize;
        o.stripeLines = 50;
        checkAgainstJbigKit({Content::kFfLines, 200, 120, 0, o}, seed++);
        checkAgainstJbigKit({Content::kEmpty, 8, 120, 0, o}, seed++);
        o.typicalPrediction = true;
        checkAgainstJbigKit({Content::kVertical, 100, 130, 0.5, o}, seed++);
    }
}

// Lines of 0xFF bytes and dense content: carries, stuffed 0x00 after coded 0xFF bytes.
TEST(JbigReference, CarriesAndStuffing) {
    size_t stuffedPairs = 0;
    for (uint32_t seed = 2000; seed < 2040; ++seed) {
        const uint32_t width = 8 + (seed % 13) * 40;
        const Case c{Content::kFfLines, width, 90, 0, plain()};
        checkAgainstJbigKit(c, seed);
        const Bytes bie = encodeOurs(makeImage(c.content, width, 90, 0, seed), c.options).bie;
        for (size_t i = 20; i + 1 < bie.size(); ++i) {
            stuffedPairs += bie[i] == 0xFF && bie[i + 1] == 0x00;
        }
    }
    // The corpus is only useful if the coded data contains escaped bytes.
    EXPECT_GT(stuffedPairs, 0u);
}

// Isolated dots make 1 the more probable value of context 0, so the background groups that
// follow are coded through the LPS path of the group coder.
TEST(JbigReference, BackgroundAfterContextZeroSwitch) {
    const double densities[] = {0.3, 0.7, 0.95, 1.0};
    uint32_t seed = 2100;
    for (double density : densities) {
        checkAgainstJbigKit({Content::kDotGrid, 700, 240, density, plain()}, seed++);
        checkAgainstJbigKit({Content::kDotGrid, 1030, 90, density, tpbon()}, seed++);
    }
}

// One-pixel-wide and two-pixel-wide columns: long runs through few contexts drive the
// probability estimation through its states.
TEST(JbigReference, NarrowColumnsWalkTheEstimation) {
    uint32_t seed = 2200;
    for (double density : {0.001, 0.02, 0.1, 0.3, 0.5, 0.7, 0.9, 0.98}) {
        checkAgainstJbigKit({Content::kRandom, 1, 3000, density, plain()}, seed++);
        checkAgainstJbigKit({Content::kRandom, 2, 1500, density, plain()}, seed++);
    }
}

// Blank lines below blank lines are coded as one run of entry 0 without making entries;
// here they follow and precede lines of content, across stripe boundaries, for widths
// around and between the 32-pixel groups and 64-pixel line buffer groups, and with the
// lines of content dense or sparse.
TEST(JbigReference, BlankLinesBetweenContent) {
    const uint32_t widths[] = {1,  2,  5,   6,   7,   31,  36,  37,  38,   63,   64,
                               65, 69, 100, 101, 133, 255, 256, 257, 4992, 4997, 5000};
    uint32_t seed = 3100;
    const uint32_t switchingBefore = stepsSeen.imagesSwitching;
    for (uint32_t width : widths) {
        for (double density : {0.02, 0.5, 0.97}) {
            EncodeOptions o = plain();
            o.stripeLines = 100;
            checkAgainstJbigKit({Content::kBlankRuns, width, 330, density, o}, seed++);
        }
        checkAgainstJbigKit({Content::kBlankRuns, width, 300, 0.3, tpbon()}, seed++);
    }
    // Lines of random bytes between sparse lines: the coding step changes within images.
    EXPECT_GT(stepsSeen.imagesSwitching, switchingBefore);
}

// Lines of 0 added as null lines between lines of content, in stripes of one line and
// longer.
TEST(JbigReference, NullLinesAfterContent) {
    const Bitmap content = makeImage(Content::kRandom, 333, 3, 0.4, 3200);
    for (uint32_t stripeLines : {1u, 2u, 256u}) {
        SCOPED_TRACE(stripeLines);
        Bitmap image(333, 3 + 5 + 3 + 4);
        memcpy(image.line(0), content.line(0), 3 * content.bytesPerLine);
        memcpy(image.line(8), content.line(0), 3 * content.bytesPerLine);

        struct Sink {
            Bytes block = Bytes(4096);
            Bytes out;
            static void take(void *user, unsigned char **block, uint32_t *size) {
                Sink *sink = static_cast<Sink *>(user);
                if (*block != nullptr) {
                    sink->out.insert(sink->out.end(), *block, *block + *size);
                }
                *block = sink->block.data();
                *size = static_cast<uint32_t>(sink->block.size());
            }
        } sink;
        JBIGEncoderState *state = OvtJBIGEncoderInit(333, 1, Sink::take, &sink);
        ASSERT_NE(state, nullptr);
        const JBIGImageSize size = {image.width, image.height};
        const int32_t stride = static_cast<int32_t>(content.bytesPerLine);
        EXPECT_EQ(OvtJBIGImageBegin(state, &size, stripeLines), 0);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, content.line(0), 3, stride), 0);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, nullptr, 5, stride), 0);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, content.line(0), 3, stride), 0);
        EXPECT_EQ(OvtJBIGImageBandAdd(state, nullptr, 4, stride), 0);
        EXPECT_EQ(OvtJBIGImageEnd(state), 0);
        OvtJBIGEncoderDeinit(state);
        EXPECT_EQ(hex(withOrderByteCleared(sink.out)),
                  hex(encodeJbigKit(image, stripeLines, false)));
    }
}

// A larger page-like image in full.
TEST(JbigReference, PageSizedBand) {
    checkAgainstJbigKit({Content::kText, 4992, 256, 0, plain()}, 3000);
    checkAgainstJbigKit({Content::kHalftone, 4992, 256, 0, plain()}, 3001);
}
