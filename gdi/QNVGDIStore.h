// Output spooler: records are collected in a store, written at each flush into the job's
// spool file, and copied to the job's byte sink by an output thread of the job's own, so
// that a slow printer never holds up the page work.
#ifndef GDI_GDI_QNVGDISTORE_H
#define GDI_GDI_QNVGDISTORE_H

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "gdi/JobPorts.h"

// Releases a block obtained with malloc or calloc.
struct QNVFreeDeleter {
    void operator()(void *block) const { free(block); }
};

// One stored chunk: the store's own heap copy of a record and its byte count.
struct QNVStoreEntry {
    std::unique_ptr<unsigned char[], QNVFreeDeleter> data;
    unsigned int size = 0;
};

// A page whose records a flush carries, for the page accounting once it has gone out.
struct QNVPageMark {
    unsigned int page = 0;
    unsigned int copies = 1;
};

// Starts a joinable thread running entry(argument); returns 0 on success or an errno
// value, as pthread_create does.
using QNVSpoolThreadStarter = int (*)(pthread_t *thread, void *(*entry)(void *), void *argument);

// One job's spool: flushes wait here, in flush order, for the output thread, which
// copies them to the job's sink. Before each flush goes out the thread asks whether the
// job was cancelled: from then on nothing more of the job goes out but, when some of it
// already has, the cancel command and the job end, so the printer always gets whole
// pages. A sink that fails ends the output the same way, without those two records.
// The spool data lives in one temporary file of the job that is removed from its folder
// as soon as it is made, so no end of the process, however abrupt, leaves it behind.
class SpoolQueue {
public:
    // How the output ended early, if it did.
    enum class Outcome {
        kOpen,       // everything queued so far went out or will
        kCancelled,  // the job was cancelled; the rest is dropped
        kClosed,     // the reader went away; the rest is dropped
        kFailed,     // the sink failed; the rest is dropped
        kAbandoned,  // cancelled while the reader took nothing; the rest is dropped
    };

    explicit SpoolQueue(const JobPorts &ports);
    // Waits until everything queued has gone out or been dropped.
    ~SpoolQueue();
    SpoolQueue(const SpoolQueue &) = delete;
    SpoolQueue &operator=(const SpoolQueue &) = delete;

    // Queues the first `count` chunks of `chunks` (`size` bytes in all) as one flush.
    // Never loses them: when the spool file cannot take them, the chunks themselves are
    // queued, taken out of `chunks`, which is then left empty.
    // With `joinsPrevious` the flush goes out together with the one before it: no
    // cancellation comes between them (the two sides of a duplex sheet).
    void Flush(std::vector<QNVStoreEntry> &chunks, unsigned int count, uint32_t size,
               const std::vector<QNVPageMark> &pages, bool joinsPrevious);
    // Waits until everything queued so far has gone out or been dropped.
    void Finish();

    Outcome GetOutcome() const { return outcome_.load(); }
    // The errno value of a failed sink (0 otherwise).
    int GetError() const { return error_.load(); }
    // Flushes waiting for the output thread.
    size_t QueueLength();
    // Replaces the way the output thread is started (nullptr: pthread_create); for tests
    // of a thread that cannot be had. Call it before the first flush.
    void SetThreadStarter(QNVSpoolThreadStarter starter);

    // Spool queues in existence in the process (for checks that none is left behind).
    static int LiveQueues() { return liveQueues_.load(); }

private:
    struct Item;
    bool WriteToSpoolFile(const std::vector<QNVStoreEntry> &chunks, unsigned int count,
                          uint32_t size, Item *item);
    void Enqueue(Item &&item);
    void StartOutputThreadLocked();
    void DeliverFromCallingThread();
    friend void *OutputDataInThread(void *queue);
    void RunOutputThread();
    void Deliver(Item &item);
    bool WriteItem(Item &item);
    bool WriteToSink(const unsigned char *data, size_t size);
    void EnterCancelled();

    JobPorts ports_;
    int spoolFd_ = -1;  // the job's spool file, already unlinked; -1 until first needed
    bool spoolFileFailed_ = false;
    uint64_t spoolEnd_ = 0;  // where the next flush goes in the spool file

    std::mutex mutex_;
    std::deque<Item> queue_;
    pthread_t thread_{};
    bool threadRunning_ = false;   // the thread still works on the queue
    bool threadJoinable_ = false;  // thread_ names a thread not yet joined
    QNVSpoolThreadStarter starter_;

    // Written by whichever thread delivers; read by the job's thread.
    std::atomic<Outcome> outcome_{Outcome::kOpen};
    std::atomic<int> error_{0};
    bool anythingWritten_ = false;  // touched only by the delivering thread

    static std::atomic<int> liveQueues_;
};

// Entry function of a job's output thread (its argument is the SpoolQueue): copies queued
// flushes to the sink in queue order until it finds the queue empty.
void *OutputDataInThread(void *queue);

class QNVGDIStore {
public:
    explicit QNVGDIStore(SpoolQueue &queue);
    // Waits until every flushed byte has gone out. Chunks still held (not flushed) are
    // released without being written.
    virtual ~QNVGDIStore();
    QNVGDIStore(const QNVGDIStore &) = delete;
    QNVGDIStore &operator=(const QNVGDIStore &) = delete;

    // Appends a copy of size bytes. Returns size when stored, 0 when not (no memory,
    // or a null source with a non-zero size); a failed chunk contributes nothing.
    int StoreData(const void *data, unsigned int size);
    // Notes that the store holds the records of a page, for the page accounting.
    void NotePage(unsigned int page, unsigned int copies);
    // Hands everything stored so far, in order, to the output thread and empties the
    // store. Returns 1, or 0 once the job's output has failed.
    int OutStoreData();
    // Marks the first chunk (a held page header) as a single page, then flushes.
    // Returns as OutStoreData does.
    int OutSinglePage();
    // Makes every flush of this store go out with the flush before it (a held page goes
    // out with its even partner, or not at all).
    void SetFlushJoinsPrevious(bool joins) { flushJoinsPrevious = joins; }
    // Frees every chunk and empties the store.
    void ReleaseStore();
    // Moves every chunk and page of `other` behind this store's, so that both go out in
    // one flush (a duplex sheet: the even page, then its held odd partner). False, with
    // both stores unchanged, when there is no room for them.
    bool AppendFrom(QNVGDIStore &other);

    unsigned int GetStoreCount() const { return storeCount; }
    unsigned int GetStoreSize() const { return storeSize; }

private:
    bool GrowTable();

    SpoolQueue &queue;
    unsigned int storeCount;
    unsigned int storeSize;
    // Chunks 0 .. storeCount - 1 in the order stored. Starts with 256 entries and
    // doubles when a page needs more between two flushes.
    std::vector<QNVStoreEntry> storeTable;
    std::vector<QNVPageMark> pages;
    bool flushJoinsPrevious;
};

#endif
