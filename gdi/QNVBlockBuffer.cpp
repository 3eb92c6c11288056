// A rectangle of bytes in one zero-filled block, addressed by line, read in 256-line bands.
#include "gdi/QNVBlockBuffer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <stdint.h>
#include <sys/mman.h>

#include "common/CUPSDebug.h"
#include "gdi/GdiStream.h"

namespace {

const char kAllocFailedMessage[] = "Fail to alloc page!\n";
const char kBadLineMessage[] = "cann't get the line out of memory!\n";
const char kBadBandMessage[] = "cann't get the band out of memory!\n";
const char kRefusedInsertMessage[] =
    "Memory is empry or full, please initialize with a larger size!\n";

// Blocks from this size on are mapped on their own and may be kept in a pool.
constexpr uint64_t kRecycleMinimumBytes = 1u << 20;

// Page-sized blocks are mapped on their own, aligned to and rounded up to huge pages and
// marked for them: a 35 MB page then faults in 17 times instead of some 8600 times.
// Where the system has no huge pages the advice is ignored and the mapping still works.
constexpr uint64_t kHugePageBytes = 2u << 20;

uint64_t MappedBytes(uint64_t size) {
    return (size + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

// A zero-filled mapping of MappedBytes(size) bytes starting on a huge-page boundary.
unsigned char *MapLargeBlock(uint64_t size) {
    const uint64_t length = MappedBytes(size);
    if (length > SIZE_MAX - kHugePageBytes)
        return nullptr;
    void *raw = mmap(nullptr, size_t(length + kHugePageBytes), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    // Trim the slack before and after the aligned part.
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePageBytes - 1) & ~uintptr_t(kHugePageBytes - 1);
    const size_t head = aligned - start;
    const size_t tail = size_t(kHugePageBytes) - head;
    if (head != 0)
        munmap(raw, head);
    if (tail != 0)
        munmap(reinterpret_cast<void *>(aligned + length), tail);
    unsigned char *block = reinterpret_cast<unsigned char *>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(block, size_t(length), MADV_HUGEPAGE);
#endif
    return block;
}

void UnmapLargeBlock(unsigned char *block, uint64_t size) {
    munmap(block, size_t(MappedBytes(size)));
}

// A block of `size` bytes. A fresh one is zero-filled; a kept one still holds the last
// page, which `*stale` tells: the buffer clears it before any of it is used.
unsigned char *AllocateBlock(uint64_t size, QNVBlockPool *pool, bool *stale) {
    *stale = false;
    if (size >= kRecycleMinimumBytes) {
        if (pool != nullptr) {
            if (unsigned char *kept = pool->Take(size)) {
                *stale = true;
                return kept;
            }
        }
        return MapLargeBlock(size);
    }
    // An empty rectangle is a valid buffer: it still gets a (one-byte) block, so that
    // only a failed allocation leaves the block null.
    return static_cast<unsigned char *>(std::calloc(size != 0 ? size_t(size) : 1, 1));
}

void ReleaseBlock(unsigned char *block, uint64_t size, QNVBlockPool *pool) {
    if (block == nullptr)
        return;
    if (size < kRecycleMinimumBytes) {
        std::free(block);
    } else if (pool != nullptr) {
        pool->Keep(block, size);
    } else {
        UnmapLargeBlock(block, size);
    }
}

// Reverses a run of bytes eight at a time from both ends: a duplex back side is a
// whole page turned, tens of megabytes, which a byte-by-byte reversal crawls through.
void ReverseBytes(unsigned char *bytes, size_t count) {
    unsigned char *low = bytes;
    unsigned char *high = bytes + count;
    while (high - low >= 16) {
        uint64_t front, back;
        std::memcpy(&front, low, 8);
        std::memcpy(&back, high - 8, 8);
        front = __builtin_bswap64(front);
        back = __builtin_bswap64(back);
        std::memcpy(low, &back, 8);
        std::memcpy(high - 8, &front, 8);
        low += 8;
        high -= 8;
    }
    std::reverse(low, high);
}

// The buffer's messages go to the diagnostic log, one line each.
void WriteMessage(const char *text) {
    const size_t length = std::strlen(text);
    const int shown = length > 0 && text[length - 1] == '\n' ? int(length - 1) : int(length);
    CPSDebugLog("%.*s", shown, text);
}

}  // namespace

QNVBlockPool::~QNVBlockPool() {
    if (kept != nullptr)
        UnmapLargeBlock(kept, keptSize);
}

unsigned char *QNVBlockPool::Take(uint64_t size) {
    if (kept == nullptr || keptSize != size)
        return nullptr;
    unsigned char *block = kept;
    kept = nullptr;
    keptSize = 0;
    return block;
}

void QNVBlockPool::Keep(unsigned char *block, uint64_t size) {
    if (kept != nullptr)
        UnmapLargeBlock(kept, keptSize);
    kept = block;
    keptSize = size;
}

QNVBlockBuffer::QNVBlockBuffer(unsigned int width, unsigned int height, QNVBlockPool *pool)
    : pool(pool), block(nullptr), lineCount(0), width(width), height(height), stale(false) {
    // Formed in 64 bits so that no width and height can wrap the size.
    const uint64_t size = uint64_t(width) * uint64_t(height);
    if (size > UINT32_MAX || size > kMaxPageBufferBytes) {
        WriteMessage(kAllocFailedMessage);
        return;
    }
    block = AllocateBlock(size, pool, &stale);
    if (block == nullptr) {
        WriteMessage(kAllocFailedMessage);
    }
}

QNVBlockBuffer::~QNVBlockBuffer() {
    if (block != nullptr)
        ReleaseBlock(block, uint64_t(width) * uint64_t(height), pool);
}

unsigned char *QNVBlockBuffer::GetLinePtr(unsigned int index) {
    if (block == nullptr || index >= height) {
        WriteMessage(kBadLineMessage);
        return nullptr;
    }
    ClearIfStale();
    return block + size_t(index) * width;
}

unsigned char *QNVBlockBuffer::GetBlockPtr() {
    ClearIfStale();
    return block;
}

void QNVBlockBuffer::ClearIfStale() {
    if (stale) {
        std::memset(block, 0, size_t(width) * height);
        stale = false;
    }
}

unsigned char *QNVBlockBuffer::LinesForOverwriting(unsigned int firstLine, unsigned int lines) {
    if (block == nullptr || uint64_t(firstLine) + lines > height)
        return nullptr;
    return block + size_t(firstLine) * width;
}

unsigned char *QNVBlockBuffer::PrepareRowsForFilling(unsigned int firstLine, unsigned int lines,
                                                     unsigned int left, unsigned int bytes) {
    if (block == nullptr || uint64_t(firstLine) + lines > height ||
        uint64_t(left) + bytes > width) {
        return nullptr;
    }
    unsigned char *first = block + size_t(firstLine) * width + left;
    if (!stale)
        return first;
    // Only what the writer leaves alone is cleared: the lines above and below the rows
    // and the bytes on either side of them.
    const unsigned right = width - left - bytes;
    std::memset(block, 0, size_t(firstLine) * width);
    for (unsigned int i = 0; i < lines; ++i) {
        unsigned char *line = block + size_t(firstLine + i) * width;
        std::memset(line, 0, left);
        std::memset(line + left + bytes, 0, right);
    }
    const size_t below = size_t(firstLine) + lines;
    std::memset(block + below * width, 0, (height - below) * size_t(width));
    stale = false;
    return first;
}

bool QNVBlockBuffer::AcceptsRow(const unsigned char *source, unsigned int length) const {
    return source != nullptr && block != nullptr && length != 0 && lineCount < height &&
           length <= width;
}

void QNVBlockBuffer::InsertLine(unsigned int index, const unsigned char *source,
                                unsigned int length) {
    if (!AcceptsRow(source, length)) {
        WriteMessage(kRefusedInsertMessage);
        return;
    }
    unsigned char *line = GetLinePtr(index);
    if (line == nullptr) {
        return;
    }
    std::memcpy(line, source, length);
    ++lineCount;
}

void QNVBlockBuffer::VerticalInsertLine(unsigned int column, const unsigned char *source,
                                        unsigned int length) {
    // A column outside the lines, or one longer than the rectangle is high, is refused
    // whole: nothing may land outside the block.
    if (source == nullptr || block == nullptr || length == 0 || lineCount >= width ||
        column >= width || length > height) {
        WriteMessage(kRefusedInsertMessage);
        return;
    }
    // The last source byte goes to line 0: the line is stored bottom to top.
    ClearIfStale();
    unsigned char *dest = block + column;
    for (unsigned int i = 0; i < length; ++i) {
        *dest = source[length - 1 - i];
        dest += width;
    }
    ++lineCount;
}

void QNVBlockBuffer::AddLine(const unsigned char *source, unsigned int length) {
    if (!AcceptsRow(source, length)) {
        WriteMessage(kRefusedInsertMessage);
        return;
    }
    // lineCount < height here, so the line exists.
    std::memcpy(GetLinePtr(lineCount), source, length);
    ++lineCount;
}

unsigned char *QNVBlockBuffer::GetBandPtr(unsigned int band) {
    if (block == nullptr || uint64_t(band) * kGDIBandLines >= height) {
        WriteMessage(kBadBandMessage);
        return nullptr;
    }
    ClearIfStale();
    return block + size_t(band) * kGDIBandLines * width;
}

unsigned int QNVBlockBuffer::GetBandCount() const {
    return static_cast<unsigned int>((uint64_t(height) + kGDIBandLines - 1) / kGDIBandLines);
}

unsigned int QNVBlockBuffer::GetMemorySize() const {
    // A buffer without a block holds no bytes; the size checks in the constructor
    // guarantee that the product of a made buffer fits.
    if (block == nullptr) {
        return 0;
    }
    return width * height;
}

void QNVBlockBuffer::Filp() {
    if (block == nullptr || height < 2) {
        return;
    }
    ClearIfStale();
    // Exchanging the lines in place needs no temporary line, so the flip cannot fail.
    for (unsigned int top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        unsigned char *upper = block + size_t(top) * width;
        std::swap_ranges(upper, upper + width, block + size_t(bottom) * width);
    }
}

void QNVBlockBuffer::Mirror() {
    if (block == nullptr) {
        return;
    }
    ClearIfStale();
    for (unsigned int i = 0; i < height; ++i) {
        unsigned char *line = block + size_t(i) * width;
        std::reverse(line, line + width);
    }
}

void QNVBlockBuffer::Rotate() {
    if (block == nullptr) {
        return;
    }
    ClearIfStale();
    // Mirroring every line and then flipping the lines is the same as reversing the
    // whole block, which is done in one pass.
    ReverseBytes(block, size_t(width) * height);
}
