// Bands compressed on several threads at once: each encoder owns its registers, block
// queue, kernel choice and allocator, so the bytes are those of one thread alone.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "jbig/jbigcompress.h"
#include "tests/jbig/jbig_test_support.h"

using namespace jbigtest;

namespace {

Bytes compressBand(const Bitmap &band, const JBIGEncoderSetup *setup) {
    Bytes destination(4 * band.bytesPerLine * band.height + 64);
    const uint32_t length =
        djz_CompressWith(band.bits.data(), static_cast<uint32_t>(band.bytesPerLine * band.height),
                         destination.data(), static_cast<uint32_t>(destination.size()),
                         static_cast<uint32_t>(band.bytesPerLine), setup);
    destination.resize(length <= destination.size() ? length : 0);
    return destination;
}

TEST(JbigThreads, TwoThreadsGiveTheBytesOfOne) {
    const Bitmap bands[2] = {makeImage(Content::kText, 4992, 256, 0, 7),
                             makeImage(Content::kHalftone, 4992, 256, 0.4, 8)};
    for (int kernel : {kJbigContextsPortable, kJbigContextsFastest}) {
        SCOPED_TRACE(kernel);
        JBIGEncoderSetup setup = OvtJBIGDefaultSetup();
        setup.contextKernel = kernel;
        const Bytes alone[2] = {compressBand(bands[0], &setup), compressBand(bands[1], &setup)};
        ASSERT_FALSE(alone[0].empty());
        ASSERT_FALSE(alone[1].empty());
        ASSERT_NE(alone[0], alone[1]);

        constexpr int kRounds = 8;
        std::vector<Bytes> results[2];
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round)
                    results[t].push_back(compressBand(bands[t], &setup));
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        for (int t = 0; t < 2; ++t) {
            ASSERT_EQ(results[t].size(), static_cast<size_t>(kRounds));
            for (const Bytes &bytes : results[t])
                EXPECT_EQ(bytes, alone[t]) << "thread " << t;
        }
    }
}

}  // namespace
