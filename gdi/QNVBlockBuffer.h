// A rectangle of bytes in one block, addressed by line, read in bands of 256 lines.
#ifndef GDI_GDI_QNVBLOCKBUFFER_H
#define GDI_GDI_QNVBLOCKBUFFER_H

#include <cstdint>

#include "gdi/PageGeometry.h"

// Keeps the page-sized block of a job's last page for its next one: a fresh block of
// tens of megabytes costs a page fault for every page of memory touched, far more than
// clearing a block the job already has. One block is kept at a time. A pool belongs to
// one job and is used by one thread; it gives its block back when it goes.
class QNVBlockPool {
public:
    QNVBlockPool() = default;
    ~QNVBlockPool();
    QNVBlockPool(const QNVBlockPool &) = delete;
    QNVBlockPool &operator=(const QNVBlockPool &) = delete;

    // A kept block of exactly `size` bytes (its contents stale), or null.
    unsigned char *Take(uint64_t size);
    // Keeps `block` of `size` bytes, giving back the one kept before.
    void Keep(unsigned char *block, uint64_t size);

private:
    unsigned char *kept = nullptr;
    uint64_t keptSize = 0;
};

class QNVBlockBuffer {
public:
    // Requests larger than the page buffer limit are treated as allocation failures.
    // Page-sized blocks come from, and go back to, `pool` when one is given.
    QNVBlockBuffer(unsigned int width, unsigned int height, QNVBlockPool *pool = nullptr);
    ~QNVBlockBuffer();
    QNVBlockBuffer(const QNVBlockBuffer &) = delete;
    QNVBlockBuffer &operator=(const QNVBlockBuffer &) = delete;

    unsigned char *GetLinePtr(unsigned int index);
    void InsertLine(unsigned int index, const unsigned char *source, unsigned int length);
    void VerticalInsertLine(unsigned int column, const unsigned char *source, unsigned int length);
    void AddLine(const unsigned char *source, unsigned int length);
    unsigned char *GetBandPtr(unsigned int band);
    unsigned char *GetBlockPtr();
    bool HasBlock() const { return block != nullptr; }

    // For a writer that fills every byte of the rows [firstLine, firstLine + lines), from
    // byte `left` on for `bytes` bytes: returns the first of those bytes, with the rest of
    // the buffer zero. A page-sized block kept from an earlier page is then cleared only
    // where the writer does not write. Null when the rows do not lie inside the buffer.
    unsigned char *PrepareRowsForFilling(unsigned int firstLine, unsigned int lines,
                                         unsigned int left, unsigned int bytes);

    // For a writer that writes every byte of the lines [firstLine, firstLine + lines)
    // before anything reads them, and reads nothing else of the buffer: the first of
    // those lines, with nothing of the block cleared or touched for it. Every other
    // way into the buffer still finds the block zero-filled (apart from those lines when
    // the block was not a kept one). Null when the lines do not lie inside the buffer.
    unsigned char *LinesForOverwriting(unsigned int firstLine, unsigned int lines);
    unsigned int GetWidth() const { return width; }
    unsigned int GetHeight() const { return height; }
    unsigned int GetBandCount() const;
    unsigned int GetMemorySize() const;
    void Filp();
    void Mirror();
    void Rotate();

private:
    // A block kept from an earlier page is cleared when it is first used.
    void ClearIfStale();

    // Whether a row insert of `length` bytes from `source` may be written at all.
    bool AcceptsRow(const unsigned char *source, unsigned int length) const;

    QNVBlockPool *pool;
    unsigned char *block;
    unsigned int lineCount;
    unsigned int width;
    unsigned int height;
    bool stale;  // the block still holds an earlier page's bytes
};

#endif
