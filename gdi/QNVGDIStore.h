// Output spooler: records are collected in a store, written at each flush into one
// spool file, and copied to standard output by a separate output thread, so that a
// slow output pipe never holds up the page work.
#ifndef GDI_GDI_QNVGDISTORE_H
#define GDI_GDI_QNVGDISTORE_H

#include <pthread.h>
#include <stdlib.h>

#include <memory>
#include <vector>

// Releases a block obtained with malloc or calloc.
struct QNVFreeDeleter {
    void operator()(void *block) const { free(block); }
};

// One stored chunk: the store's own heap copy of a record and its byte count.
struct QNVStoreEntry {
    std::unique_ptr<unsigned char[], QNVFreeDeleter> data;
    unsigned int size = 0;
};

class QNVGDIStore {
public:
    QNVGDIStore();
    // Waits until every flushed byte has been written to standard output. Chunks still
    // held (not flushed) are released without being written.
    virtual ~QNVGDIStore();
    QNVGDIStore(const QNVGDIStore &) = delete;
    QNVGDIStore &operator=(const QNVGDIStore &) = delete;

    // Appends a copy of size bytes. Returns size when stored, 0 when not (no memory,
    // or a null source with a non-zero size); a failed chunk contributes nothing.
    int StoreData(const void *data, unsigned int size);
    // Hands everything stored so far, in order, to the output thread and empties the
    // store. Returns 1.
    int OutStoreData();
    // Marks the first chunk (a held page header) as a single page by setting its
    // flags byte (offset 33) to 1, then flushes. Returns 1.
    int OutSinglePage();
    // Frees every chunk and empties the store.
    void ReleaseStore();

    unsigned int GetStoreCount() const { return storeCount; }
    unsigned int GetStoreSize() const { return storeSize; }

private:
    bool GrowTable();

    unsigned int storeCount;
    unsigned int storeSize;
    // Chunks 0 .. storeCount - 1 in the order stored. Starts with 256 entries and
    // doubles when a page needs more between two flushes.
    std::vector<QNVStoreEntry> storeTable;
};

// Entry function of the output thread: copies queued spool data to standard output
// in queue order until it finds the queue empty. The argument is ignored.
void *OutputDataInThread(void *arg);

// Starts a joinable thread running entry(nullptr); returns 0 on success or an errno
// value, as pthread_create does.
using QNVSpoolThreadStarter = int (*)(pthread_t *thread, void *(*entry)(void *));

// Replaces the way the output thread is started (nullptr restores pthread_create).
// Meant for tests that exercise a thread which cannot be started; call it only while
// no flush is in progress.
void SetSpoolThreadStarter(QNVSpoolThreadStarter starter);

// Number of (spool file or in-memory) entries waiting for the output thread.
size_t GetSpoolQueueLength();

#endif
