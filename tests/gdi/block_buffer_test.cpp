// Page block buffer: geometry, inserts and their refusals, messages, flips and turns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/CUPSDebug.h"
#include "gdi/QNVBlockBuffer.h"

namespace {

const std::string kAllocMessage = "Fail to alloc page!\n";
const std::string kLineMessage = "cann't get the line out of memory!\n";
const std::string kBandMessage = "cann't get the band out of memory!\n";
const std::string kRefusedMessage =
    "Memory is empry or full, please initialize with a larger size!\n";

// The messages `action` writes to the diagnostic log, each with its line end and
// without the log's time stamp.
std::string StderrOf(const std::function<void()> &action) {
    char *text = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&text, &size);
    FILE *saved = gDebugFile;
    gDebugFile = memory;
    action();
    gDebugFile = saved;
    fclose(memory);
    std::string messages;
    std::istringstream lines(std::string(text, size));
    free(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t stamp = line.find(") ");
        messages += (stamp == std::string::npos ? line : line.substr(stamp + 2)) + "\n";
    }
    return messages;
}

std::vector<unsigned char> Contents(QNVBlockBuffer &buffer) {
    const unsigned char *block = buffer.GetBlockPtr();
    return std::vector<unsigned char>(block, block + buffer.GetMemorySize());
}

// Fills a buffer line by line from `rows` (each row as wide as the buffer).
void Fill(QNVBlockBuffer &buffer, const std::vector<std::vector<unsigned char>> &rows) {
    for (const auto &row : rows) {
        buffer.AddLine(row.data(), static_cast<unsigned int>(row.size()));
    }
}

std::vector<unsigned char> Flatten(const std::vector<std::vector<unsigned char>> &rows) {
    std::vector<unsigned char> flat;
    for (const auto &row : rows) {
        flat.insert(flat.end(), row.begin(), row.end());
    }
    return flat;
}

TEST(BlockBufferGeometry, NewBufferIsZeroFilledAndSilent) {
    std::string messages = StderrOf([] {
        QNVBlockBuffer buffer(4, 3);
        ASSERT_NE(buffer.GetBlockPtr(), nullptr);
        EXPECT_EQ(buffer.GetMemorySize(), 12u);
        EXPECT_EQ(buffer.GetBandCount(), 1u);
        EXPECT_EQ(buffer.GetWidth(), 4u);
        EXPECT_EQ(buffer.GetHeight(), 3u);
        EXPECT_EQ(Contents(buffer), std::vector<unsigned char>(12, 0));
    });
    EXPECT_EQ(messages, "");
}

TEST(BlockBufferGeometry, BandCountAndBandAddresses) {
    struct Case {
        unsigned int height;
        unsigned int bands;
    };
    for (const Case &c : {Case{0, 0}, Case{1, 1}, Case{255, 1}, Case{256, 1}, Case{257, 2},
                          Case{512, 2}, Case{513, 3}}) {
        SCOPED_TRACE(c.height);
        QNVBlockBuffer buffer(3, c.height);
        EXPECT_EQ(buffer.GetBandCount(), c.bands);
        for (unsigned int band = 0; band < c.bands; ++band) {
            EXPECT_EQ(buffer.GetBandPtr(band), buffer.GetBlockPtr() + band * 256 * 3);
        }
        unsigned char *beyond = nullptr;
        EXPECT_EQ(StderrOf([&] { beyond = buffer.GetBandPtr(c.bands); }), kBandMessage);
        EXPECT_EQ(beyond, nullptr);
    }
}

TEST(BlockBufferGeometry, LineAddressesAndTheLineBeyond) {
    QNVBlockBuffer buffer(7, 5);
    EXPECT_EQ(buffer.GetLinePtr(0), buffer.GetBlockPtr());
    EXPECT_EQ(buffer.GetLinePtr(4), buffer.GetBlockPtr() + 28);
    unsigned char *beyond = buffer.GetBlockPtr();
    EXPECT_EQ(StderrOf([&] { beyond = buffer.GetLinePtr(5); }), kLineMessage);
    EXPECT_EQ(beyond, nullptr);
    EXPECT_EQ(StderrOf([&] { beyond = buffer.GetLinePtr(0xFFFFFFFFu); }), kLineMessage);
    EXPECT_EQ(beyond, nullptr);
}

TEST(BlockBufferGeometry, EmptyRectanglesAreValidButHoldNothing) {
    for (auto size : {std::make_pair(0u, 0u), std::make_pair(5u, 0u), std::make_pair(0u, 5u)}) {
        SCOPED_TRACE(testing::Message() << size.first << " x " << size.second);
        std::string made = StderrOf([&] {
            QNVBlockBuffer buffer(size.first, size.second);
            EXPECT_NE(buffer.GetBlockPtr(), nullptr);
            EXPECT_EQ(buffer.GetMemorySize(), 0u);
            buffer.Filp();
            buffer.Mirror();
            buffer.Rotate();
        });
        EXPECT_EQ(made, "");
    }
    QNVBlockBuffer noLines(5, 0);
    EXPECT_EQ(StderrOf([&] { EXPECT_EQ(noLines.GetLinePtr(0), nullptr); }), kLineMessage);
    EXPECT_EQ(StderrOf([&] { EXPECT_EQ(noLines.GetBandPtr(0), nullptr); }), kBandMessage);
    const unsigned char byte = 1;
    EXPECT_EQ(StderrOf([&] { noLines.AddLine(&byte, 1); }), kRefusedMessage);
    // Lines of no bytes: every insert is longer than the width.
    QNVBlockBuffer noColumns(0, 5);
    EXPECT_EQ(StderrOf([&] { noColumns.InsertLine(0, &byte, 1); }), kRefusedMessage);
    EXPECT_EQ(StderrOf([&] { noColumns.VerticalInsertLine(0, &byte, 1); }), kRefusedMessage);
}

TEST(BlockBufferInsert, RowInsertsCopyTheirBytesOnly) {
    QNVBlockBuffer buffer(4, 3);
    const unsigned char full[] = {1, 2, 3, 4};
    const unsigned char part[] = {9, 8};
    EXPECT_EQ(StderrOf([&] {
                  buffer.InsertLine(2, full, 4);
                  buffer.InsertLine(0, part, 2);
              }),
              "");
    EXPECT_EQ(Contents(buffer), (std::vector<unsigned char>{9, 8, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}));
}

TEST(BlockBufferInsert, RefusalsWriteTheMessageAndNothingElse) {
    const unsigned char row[] = {1, 2, 3, 4, 5};
    struct Case {
        const char *name;
        std::function<void(QNVBlockBuffer &)> insert;
    };
    const std::vector<Case> cases = {
        {"row longer than the width", [&](QNVBlockBuffer &b) { b.InsertLine(0, row, 5); }},
        {"row from no source", [&](QNVBlockBuffer &b) { b.InsertLine(0, nullptr, 4); }},
        {"empty row", [&](QNVBlockBuffer &b) { b.InsertLine(0, row, 0); }},
        {"added row too long", [&](QNVBlockBuffer &b) { b.AddLine(row, 5); }},
        {"added row from no source", [&](QNVBlockBuffer &b) { b.AddLine(nullptr, 4); }},
        {"empty added row", [&](QNVBlockBuffer &b) { b.AddLine(row, 0); }},
        {"column from no source", [&](QNVBlockBuffer &b) { b.VerticalInsertLine(0, nullptr, 3); }},
        {"empty column", [&](QNVBlockBuffer &b) { b.VerticalInsertLine(0, row, 0); }},
        {"column at the width", [&](QNVBlockBuffer &b) { b.VerticalInsertLine(4, row, 3); }},
        {"column far beyond", [&](QNVBlockBuffer &b) { b.VerticalInsertLine(~0u, row, 1); }},
        {"column longer than the height",
         [&](QNVBlockBuffer &b) { b.VerticalInsertLine(1, row, 4); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QNVBlockBuffer buffer(4, 3);
        EXPECT_EQ(StderrOf([&] { c.insert(buffer); }), kRefusedMessage);
        EXPECT_EQ(Contents(buffer), std::vector<unsigned char>(12, 0));
        // The refusal did not count: three rows still fit.
        const unsigned char ones[] = {1, 1, 1, 1};
        EXPECT_EQ(StderrOf([&] {
                      for (int i = 0; i < 3; ++i) {
                          buffer.AddLine(ones, 4);
                      }
                  }),
                  "");
    }
}

TEST(BlockBufferInsert, CountLimitsInsertsWhateverTheIndexes) {
    QNVBlockBuffer buffer(2, 3);
    const unsigned char row[] = {7, 7};
    // An index beyond the height writes the line message and does not count.
    EXPECT_EQ(StderrOf([&] { buffer.InsertLine(3, row, 2); }), kLineMessage);
    EXPECT_EQ(StderrOf([&] {
                  buffer.InsertLine(1, row, 2);
                  buffer.InsertLine(1, row, 2);
                  buffer.InsertLine(1, row, 2);
              }),
              "");
    EXPECT_EQ(StderrOf([&] { buffer.InsertLine(0, row, 2); }), kRefusedMessage);
    EXPECT_EQ(StderrOf([&] { buffer.AddLine(row, 2); }), kRefusedMessage);
    EXPECT_EQ(Contents(buffer), (std::vector<unsigned char>{0, 0, 7, 7, 0, 0}));
}

TEST(BlockBufferInsert, AddLineSharesTheCountWithInsertLine) {
    QNVBlockBuffer buffer(1, 8);
    const unsigned char five = 5, six = 6;
    buffer.InsertLine(5, &five, 1);
    buffer.AddLine(&six, 1);
    EXPECT_EQ(Contents(buffer), (std::vector<unsigned char>{0, 6, 0, 0, 0, 5, 0, 0}));
}

TEST(BlockBufferInsert, ColumnsAreWrittenBottomToTop) {
    QNVBlockBuffer buffer(4, 3);
    const unsigned char column[] = {10, 20, 30};
    EXPECT_EQ(StderrOf([&] { buffer.VerticalInsertLine(2, column, 3); }), "");
    EXPECT_EQ(Contents(buffer),
              (std::vector<unsigned char>{0, 0, 30, 0, 0, 0, 20, 0, 0, 0, 10, 0}));

    // A shorter column fills the top lines; the count allows width columns.
    const unsigned char pair[] = {1, 2};
    buffer.VerticalInsertLine(3, pair, 2);
    buffer.VerticalInsertLine(0, pair, 2);
    buffer.VerticalInsertLine(1, pair, 2);
    EXPECT_EQ(Contents(buffer),
              (std::vector<unsigned char>{2, 2, 30, 2, 1, 1, 20, 1, 0, 0, 10, 0}));
    EXPECT_EQ(StderrOf([&] { buffer.VerticalInsertLine(0, pair, 2); }), kRefusedMessage);
}

TEST(BlockBufferInsert, RowsInsertedAsColumnsTurnThePageCounterClockwise) {
    // A 3-wide, 2-high page: rows "a b c" and "d e f".
    const std::vector<std::vector<unsigned char>> page = {{'a', 'b', 'c'}, {'d', 'e', 'f'}};
    QNVBlockBuffer turned(2, 3);
    for (unsigned int row = 0; row < page.size(); ++row) {
        turned.VerticalInsertLine(row, page[row].data(), 3);
    }
    // The top edge becomes the left edge: c f / b e / a d.
    EXPECT_EQ(Contents(turned), (std::vector<unsigned char>{'c', 'f', 'b', 'e', 'a', 'd'}));
}

TEST(BlockBufferTransform, MirrorFlipAndRotate) {
    using Rows = std::vector<std::vector<unsigned char>>;
    struct Case {
        const char *name;
        void (QNVBlockBuffer::*transform)();
        Rows before;
        Rows after;
    };
    const std::vector<Case> cases = {
        {"mirror odd width", &QNVBlockBuffer::Mirror, {{1, 2, 3, 4, 5}}, {{5, 4, 3, 2, 1}}},
        {"mirror even width",
         &QNVBlockBuffer::Mirror,
         {{1, 2, 3, 4}, {5, 6, 7, 8}},
         {{4, 3, 2, 1}, {8, 7, 6, 5}}},
        {"mirror width 1", &QNVBlockBuffer::Mirror, {{1}, {2}}, {{1}, {2}}},
        {"flip odd height", &QNVBlockBuffer::Filp, {{1}, {2}, {3}}, {{3}, {2}, {1}}},
        {"flip even height",
         &QNVBlockBuffer::Filp,
         {{1, 1}, {2, 2}, {3, 3}, {4, 4}},
         {{4, 4}, {3, 3}, {2, 2}, {1, 1}}},
        {"flip one line", &QNVBlockBuffer::Filp, {{1, 2, 3}}, {{1, 2, 3}}},
        {"rotate 2 x 2", &QNVBlockBuffer::Rotate, {{1, 2}, {3, 4}}, {{4, 3}, {2, 1}}},
        {"rotate 3 x 3",
         &QNVBlockBuffer::Rotate,
         {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}},
         {{9, 8, 7}, {6, 5, 4}, {3, 2, 1}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QNVBlockBuffer buffer(static_cast<unsigned int>(c.before[0].size()),
                              static_cast<unsigned int>(c.before.size()));
        Fill(buffer, c.before);
        EXPECT_EQ(StderrOf([&] { (buffer.*c.transform)(); }), "");
        EXPECT_EQ(Contents(buffer), Flatten(c.after));
    }
}

TEST(BlockBufferTransform, RotateIsMirrorThenFlip) {
    // Sizes around and well beyond the eight-byte steps of the whole-block reversal.
    for (auto size : {std::make_pair(7u, 5u), std::make_pair(6u, 4u), std::make_pair(1u, 9u),
                      std::make_pair(9u, 1u), std::make_pair(15u, 1u), std::make_pair(16u, 1u),
                      std::make_pair(17u, 1u), std::make_pair(33u, 17u), std::make_pair(64u, 3u),
                      std::make_pair(13u, 11u)}) {
        QNVBlockBuffer rotated(size.first, size.second), stepwise(size.first, size.second);
        std::vector<unsigned char> row(size.first);
        for (unsigned int y = 0; y < size.second; ++y) {
            for (unsigned int x = 0; x < size.first; ++x) {
                row[x] = static_cast<unsigned char>(y * 31 + x * 7 + 1);
            }
            rotated.AddLine(row.data(), size.first);
            stepwise.AddLine(row.data(), size.first);
        }
        rotated.Rotate();
        stepwise.Mirror();
        stepwise.Filp();
        EXPECT_EQ(Contents(rotated), Contents(stepwise));
    }
}

TEST(BlockBufferLimits, OversizeRequestsAreAllocationFailures) {
    struct Case {
        const char *name;
        unsigned int width, height;
    };
    const Case cases[] = {
        {"product wraps to 1 in 32 bits", 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"product exactly 2^32", 65536u, 65536u},
        {"fits 32 bits, beyond the largest page", 65537u, 65535u},
        {"one line beyond the largest page", 16896u, 24577u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QNVBlockBuffer *made = nullptr;
        EXPECT_EQ(StderrOf([&] { made = new QNVBlockBuffer(c.width, c.height); }), kAllocMessage);
        QNVBlockBuffer &buffer = *made;
        EXPECT_EQ(buffer.GetBlockPtr(), nullptr);
        EXPECT_EQ(buffer.GetWidth(), c.width);
        EXPECT_EQ(buffer.GetHeight(), c.height);
        EXPECT_EQ(buffer.GetMemorySize(), 0u);
        const unsigned char row[] = {1, 2, 3};
        EXPECT_EQ(StderrOf([&] { buffer.InsertLine(0, row, 3); }), kRefusedMessage);
        EXPECT_EQ(StderrOf([&] { buffer.AddLine(row, 3); }), kRefusedMessage);
        EXPECT_EQ(StderrOf([&] { buffer.VerticalInsertLine(0, row, 3); }), kRefusedMessage);
        EXPECT_EQ(StderrOf([&] { EXPECT_EQ(buffer.GetLinePtr(0), nullptr); }), kLineMessage);
        EXPECT_EQ(StderrOf([&] { EXPECT_EQ(buffer.GetBandPtr(0), nullptr); }), kBandMessage);
        EXPECT_EQ(StderrOf([&] {
                      buffer.Filp();
                      buffer.Mirror();
                      buffer.Rotate();
                  }),
                  "");
        delete made;
    }
}

TEST(BlockBufferLimits, LargestPaperAt1200DpiWithInchMarginsFits) {
    // 12 x 18 in plus 1 in on every side at 1200 dpi, width aligned to 128 dots, as made
    // upright and turned for long-edge feed.
    for (auto size : {std::make_pair(16896u, 24000u), std::make_pair(24064u, 16800u)}) {
        std::string messages = StderrOf([&] {
            QNVBlockBuffer page(size.first, size.second);
            ASSERT_NE(page.GetBlockPtr(), nullptr);
            EXPECT_EQ(page.GetMemorySize(), size.first * size.second);
            unsigned char *last = page.GetLinePtr(size.second - 1);
            ASSERT_NE(last, nullptr);
            last[size.first - 1] = 1;
        });
        EXPECT_EQ(messages, "");
    }
}

}  // namespace

TEST(BlockBufferReuse, PageSizedBlockComesBackZeroFilled) {
    // Page-sized blocks are kept for the next page; the next page must still start white.
    const unsigned width = 4992, height = 300;
    QNVBlockPool pool;
    const unsigned char *first = nullptr;
    {
        QNVBlockBuffer page(width, height, &pool);
        ASSERT_NE(page.GetBlockPtr(), nullptr);
        first = page.GetBlockPtr();
        std::memset(page.GetBlockPtr(), 0xA5, page.GetMemorySize());
    }
    QNVBlockBuffer next(width, height, &pool);
    ASSERT_NE(next.GetBlockPtr(), nullptr);
    EXPECT_EQ(next.GetBlockPtr(), first);  // the block was reused, not a fresh one
    const unsigned char *bytes = next.GetBlockPtr();
    EXPECT_TRUE(
        std::all_of(bytes, bytes + next.GetMemorySize(), [](unsigned char b) { return b == 0; }));

    QNVBlockBuffer other(width, height + 1, &pool);  // a different size gets a fresh block
    ASSERT_NE(other.GetBlockPtr(), nullptr);
    EXPECT_NE(other.GetBlockPtr(), first);
}

TEST(BlockBufferReuse, LargeBlocksOfAnySizeAreWholeZeroedAndApart) {
    // Page-sized blocks are mapped in whole huge pages; a size that is not a multiple of
    // one must still give every byte, zeroed, and two live buffers must not share any.
    const std::pair<unsigned, unsigned> sizes[] = {
        {1024, 1024},         // exactly the smallest page-sized block
        {2047, 1025},         // just above 2 MiB
        {1, (2u << 20) - 1},  // just below 2 MiB, one byte per line
        {4992, 7016},         // A4 at 600 dpi
    };
    QNVBlockPool pool;
    for (const auto &size : sizes) {
        SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
        QNVBlockBuffer a(size.first, size.second, &pool);
        QNVBlockBuffer b(size.first, size.second, &pool);
        ASSERT_NE(a.GetBlockPtr(), nullptr);
        ASSERT_NE(b.GetBlockPtr(), nullptr);
        const size_t bytes = a.GetMemorySize();
        const unsigned char *aBytes = a.GetBlockPtr();
        EXPECT_TRUE(std::all_of(aBytes, aBytes + bytes, [](unsigned char v) { return v == 0; }));
        EXPECT_TRUE(a.GetBlockPtr() + bytes <= b.GetBlockPtr() ||
                    b.GetBlockPtr() + bytes <= a.GetBlockPtr());
        std::memset(a.GetBlockPtr(), 0x11, bytes);
        std::memset(b.GetBlockPtr(), 0x22, bytes);
        EXPECT_EQ(a.GetBlockPtr()[bytes - 1], 0x11);
        EXPECT_EQ(b.GetBlockPtr()[0], 0x22);
    }
}

TEST(BlockBufferReuse, RowsForFillingLeaveEverythingElseZero) {
    // A writer that fills a rectangle itself gets it without the clearing of the kept
    // block; every byte outside the rectangle must still be zero.
    struct Case {
        const char *name;
        unsigned firstLine, lines, left, bytes;
    };
    const Case cases[] = {
        {"inner rectangle", 100, 250, 100, 800},
        {"full width", 0, 300, 0, 1024},
        {"touching the bottom right", 10, 1014, 24, 1000},
        {"no rows", 512, 0, 0, 1024},
    };
    const unsigned width = 1024, height = 1024;  // page-sized: the block is kept
    QNVBlockPool pool;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (bool reused : {false, true}) {
            SCOPED_TRACE(reused ? "kept block" : "fresh block");
            if (reused) {
                QNVBlockBuffer earlier(width, height, &pool);
                std::memset(earlier.GetBlockPtr(), 0xEE, earlier.GetMemorySize());
            }
            QNVBlockBuffer page(width, height, &pool);
            unsigned char *first =
                page.PrepareRowsForFilling(c.firstLine, c.lines, c.left, c.bytes);
            ASSERT_NE(first, nullptr);
            for (unsigned i = 0; i < c.lines; ++i)
                std::memset(first + size_t(i) * width, 0x5A, c.bytes);
            const unsigned char *bytes = page.GetBlockPtr();
            EXPECT_EQ(first, bytes + size_t(c.firstLine) * width + c.left);
            for (unsigned y = 0; y < height; ++y) {
                for (unsigned x = 0; x < width; ++x) {
                    const bool inside = y >= c.firstLine && y < c.firstLine + c.lines &&
                                        x >= c.left && x < c.left + c.bytes;
                    ASSERT_EQ(bytes[size_t(y) * width + x], inside ? 0x5A : 0) << x << "," << y;
                }
            }
        }
    }
    QNVBlockBuffer page(width, height);
    EXPECT_EQ(page.PrepareRowsForFilling(1000, 25, 0, 8), nullptr);        // rows beyond the bottom
    EXPECT_EQ(page.PrepareRowsForFilling(0, 8, 1000, 25), nullptr);        // bytes beyond the right
    EXPECT_EQ(page.PrepareRowsForFilling(0xFFFFFFFFu, 2, 0, 8), nullptr);  // no wrap-around
}
