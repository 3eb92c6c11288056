// A rectangle of bytes in one block, addressed by line, read in bands of 256 lines.
#ifndef GDI_GDI_QNVBLOCKBUFFER_H
#define GDI_GDI_QNVBLOCKBUFFER_H

#include <cstdint>

// The largest page the filter accepts, in bytes of one 8-bit-per-dot buffer: the
// largest paper of the size table (12 x 18 in) at 1200 dpi with margins of up to 1 in
// on every side, in either orientation: 14 in wide is 16800 dots, aligned to 16896;
// 20 in high is 24000 lines, rounded up to 24576 (the turned page, 24064 x 16800,
// is smaller). Larger requests are treated as allocation failures.
constexpr uint64_t kMaxPageBufferBytes = 16896ull * 24576ull;

class QNVBlockBuffer {
public:
    QNVBlockBuffer(unsigned int width, unsigned int height);
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

    // Gives back the page-sized block kept for reuse after the last buffer was
    // destroyed (at the end of a job).
    static void ReleaseRecycledBlocks();

private:
    // A block kept from an earlier page is cleared when it is first used.
    void ClearIfStale();

    // Whether a row insert of `length` bytes from `source` may be written at all.
    bool AcceptsRow(const unsigned char *source, unsigned int length) const;

    unsigned char *block;
    unsigned int lineCount;
    unsigned int width;
    unsigned int height;
    bool stale;  // the block still holds an earlier page's bytes
};

#endif
