// Output spooler: stores, the job's spool file and queue, and its output thread.
#include "gdi/QNVGDIStore.h"

#include <cups/cups.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "common/CUPSDebug.h"
#include "gdi/GdiStream.h"
#include "gdi/Memory.h"

namespace {

constexpr size_t kInitialTableEntries = 256;
constexpr size_t kSpoolPathSize = 1024;
constexpr size_t kCopyBufferSize = 64 * 1024;

int StartWithPthread(pthread_t *thread, void *(*entry)(void *), void *argument) {
    return pthread_create(thread, nullptr, entry, argument);
}

// Removes the file behind an open descriptor whose recorded name cannot be trusted.
void RemoveFileOfDescriptor(int fd) {
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof(target) - 1);
    if (length <= 0)
        return;
    target[length] = '\0';
    unlink(target);
}

// A new temporary file in the CUPS temporary folder, already removed from the folder:
// only the descriptor keeps it, so it goes with the process however the process ends.
int OpenUnlinkedSpoolFile() {
    char path[kSpoolPathSize];
    memset(path, 0, sizeof(path));
    const int fd = cupsTempFd(path, (int)sizeof(path));
    if (fd < 0) {
        CPSDebugLog("Fail to create spool file: %s", strerror(errno));
        return -1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    // A name cut short by the buffer could name another file: remove exactly this one.
    struct stat byDescriptor, byName;
    if (strnlen(path, sizeof(path)) < sizeof(path) - 1 && fstat(fd, &byDescriptor) == 0 &&
        stat(path, &byName) == 0 && byDescriptor.st_dev == byName.st_dev &&
        byDescriptor.st_ino == byName.st_ino) {
        unlink(path);
    } else {
        RemoveFileOfDescriptor(fd);
    }
    return fd;
}

bool WriteAllAt(int fd, const unsigned char *data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t written = pwrite(fd, data, size, (off_t)offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        size -= (size_t)written;
        offset += (uint64_t)written;
    }
    return true;
}

// Gives the disk space of spool data that has gone out back to the file system.
void ReleaseSpoolRange(int fd, uint64_t offset, uint64_t size) {
#ifdef FALLOC_FL_PUNCH_HOLE
    if (size > 0)
        (void)fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)offset, (off_t)size);
#else
    (void)fd;
    (void)offset;
    (void)size;
#endif
}

}  // namespace

// One flush waiting for the output thread: a range of the spool file or, when the
// spool file could not take it, the flushed chunks themselves.
struct SpoolQueue::Item {
    bool joinsPrevious = false;  // goes out with the flush before it, or not at all
    bool inMemory = false;
    uint64_t offset = 0;
    uint32_t size = 0;
    std::vector<QNVStoreEntry> chunks;
    unsigned int chunkCount = 0;
    std::vector<QNVPageMark> pages;
};

std::atomic<int> SpoolQueue::liveQueues_{0};

SpoolQueue::SpoolQueue(const JobPorts &ports) : ports_(ports), starter_(StartWithPthread) {
    ++liveQueues_;
}

SpoolQueue::~SpoolQueue() {
    Finish();
    if (spoolFd_ >= 0)
        close(spoolFd_);
    --liveQueues_;
}

void SpoolQueue::SetThreadStarter(QNVSpoolThreadStarter starter) {
    std::lock_guard<std::mutex> lock(mutex_);
    starter_ = starter != nullptr ? starter : StartWithPthread;
}

size_t SpoolQueue::QueueLength() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

bool SpoolQueue::WriteToSpoolFile(const std::vector<QNVStoreEntry> &chunks, unsigned int count,
                                  uint32_t size, Item *item) {
    if (spoolFd_ < 0 && !spoolFileFailed_) {
        spoolFd_ = OpenUnlinkedSpoolFile();
        spoolFileFailed_ = spoolFd_ < 0;
    }
    if (spoolFd_ < 0)
        return false;
    uint64_t at = spoolEnd_;
    for (unsigned int i = 0; i < count && i < chunks.size(); ++i) {
        const QNVStoreEntry &chunk = chunks[i];
        if (chunk.data == nullptr || chunk.size == 0)
            continue;
        if (!WriteAllAt(spoolFd_, chunk.data.get(), chunk.size, at)) {
            CPSDebugLog("Fail to write %u bytes to the spool file: %s", size, strerror(errno));
            return false;
        }
        at += chunk.size;
    }
    item->offset = spoolEnd_;
    item->size = size;
    spoolEnd_ = at;
    return true;
}

void SpoolQueue::Flush(std::vector<QNVStoreEntry> &chunks, unsigned int count, uint32_t size,
                       const std::vector<QNVPageMark> &pages, bool joinsPrevious) {
    if (outcome_.load() != Outcome::kOpen)
        return;  // the output has ended: nothing more of the job goes out
    Item item;
    item.joinsPrevious = joinsPrevious;
    if (!Grown([&] { item.pages = pages; }))
        CPSDebugLog("No memory to note the pages of a flush; they go out unreported");
    if (!WriteToSpoolFile(chunks, count, size, &item)) {
        CPSDebugLog("Spool file unavailable, handing %u bytes to the output thread from memory",
                    size);
        item.inMemory = true;
        item.size = size;
        item.chunkCount = count;
        item.chunks.swap(chunks);
    }
    Enqueue(std::move(item));
}

void SpoolQueue::Enqueue(Item &&item) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // When the queue cannot grow it is unchanged: the item goes out from here once the
        // rest has.
        if (Grown([&] { queue_.push_back(std::move(item)); })) {
            StartOutputThreadLocked();
            return;
        }
    }
    CPSDebugLog("Fail to queue spool data; writing it from this thread");
    Finish();
    Deliver(item);
}

// Starts the output thread unless one is working; a thread that ended by itself is
// joined first. Called with the mutex held.
void SpoolQueue::StartOutputThreadLocked() {
    if (threadRunning_)
        return;
    if (threadJoinable_) {
        // That thread has cleared threadRunning_ as its last step under the mutex and
        // needs nothing more from it, so joining here cannot deadlock.
        pthread_join(thread_, nullptr);
        threadJoinable_ = false;
    }
    pthread_t thread;
    const int error = starter_(&thread, OutputDataInThread, this);
    if (error != 0) {
        CPSDebugLog("Fail to start the output thread, error %d; queued data waits", error);
        return;
    }
    thread_ = thread;
    threadRunning_ = true;
    threadJoinable_ = true;
}

void SpoolQueue::Finish() {
    pthread_t thread{};
    bool join = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (threadJoinable_) {
            thread = thread_;
            threadJoinable_ = false;
            join = true;
        }
    }
    if (join)
        pthread_join(thread, nullptr);
    DeliverFromCallingThread();
}

// Writes from the calling thread whatever is still queued because no output thread
// could be started.
void SpoolQueue::DeliverFromCallingThread() {
    bool logged = false;
    for (;;) {
        Item item;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (threadRunning_ || queue_.empty())
                return;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        if (!logged) {
            CPSDebugLog("No output thread; writing the queued data from this thread");
            logged = true;
        }
        Deliver(item);
    }
}

void *OutputDataInThread(void *queue) {
    static_cast<SpoolQueue *>(queue)->RunOutputThread();
    return nullptr;
}

void SpoolQueue::RunOutputThread() {
    for (;;) {
        Item item;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) {
                threadRunning_ = false;
                return;
            }
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        Deliver(item);
    }
}

// Sends one flush to the sink, unless the output has ended or the job was cancelled,
// and reports its pages once they are out.
void SpoolQueue::Deliver(Item &item) {
    if (!item.joinsPrevious && outcome_.load() == Outcome::kOpen && ports_.control->IsCancelled())
        EnterCancelled();
    if (outcome_.load() == Outcome::kOpen && WriteItem(item)) {
        // In page order: CUPS counts a job's pages by the numbers it is told.
        std::sort(item.pages.begin(), item.pages.end(),
                  [](const QNVPageMark &a, const QNVPageMark &b) { return a.page < b.page; });
        for (const QNVPageMark &mark : item.pages)
            ports_.reporter->PageDone(mark.page, mark.copies);
    }
    if (!item.inMemory && spoolFd_ >= 0)
        ReleaseSpoolRange(spoolFd_, item.offset, item.size);
}

bool SpoolQueue::WriteItem(Item &item) {
    if (item.inMemory) {
        CPSDebugLog("Copying %u bytes from memory", item.size);
        for (unsigned int i = 0; i < item.chunkCount && i < item.chunks.size(); ++i) {
            const QNVStoreEntry &chunk = item.chunks[i];
            if (chunk.data != nullptr && !WriteToSink(chunk.data.get(), chunk.size))
                return false;
        }
        return true;
    }
    unsigned char buffer[kCopyBufferSize];
    uint64_t copied = 0;
    while (copied < item.size) {
        const size_t want = (size_t)std::min<uint64_t>(item.size - copied, sizeof(buffer));
        const ssize_t got = pread(spoolFd_, buffer, want, (off_t)(item.offset + copied));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // The spooled bytes cannot be had back: the stream would be cut here.
            error_ = got < 0 ? errno : EIO;
            CPSDebugLog("Fail to read the spool file back: %s", strerror(error_.load()));
            outcome_ = Outcome::kFailed;
            return false;
        }
        if (!WriteToSink(buffer, (size_t)got))
            return false;
        copied += (uint64_t)got;
    }
    return true;
}

bool SpoolQueue::WriteToSink(const unsigned char *data, size_t size) {
    if (size == 0)
        return true;
    const ByteSink::Result result = ports_.sink->Write(data, size);
    switch (result.status) {
        case ByteSink::Status::kWritten:
            anythingWritten_ = true;
            return true;
        case ByteSink::Status::kClosed:
            CPSDebugLog(
                "The printer's end of the output is closed; the rest of the job is "
                "dropped");
            outcome_ = Outcome::kClosed;
            return false;
        case ByteSink::Status::kFailed:
            error_ = result.error;
            CPSDebugLog("Fail to write %zu bytes of the printer stream: %s", size,
                        strerror(result.error));
            outcome_ = Outcome::kFailed;
            return false;
        case ByteSink::Status::kAbandoned:
            CPSDebugLog("Job cancelled while the printer takes nothing; the rest is dropped");
            outcome_ = Outcome::kAbandoned;
            return false;
    }
    return false;
}

// From now on nothing more of the job goes out; a stream already begun is closed with
// the cancel command and the job end, so that the printer gets whole pages.
void SpoolQueue::EnterCancelled() {
    CPSDebugLog("Job cancelled: the pages not sent yet are dropped");
    outcome_ = Outcome::kCancelled;
    if (!anythingWritten_)
        return;
    const ByteSink::Result cancel = ports_.sink->Write(CancelCMD, sizeof(CancelCMD));
    if (cancel.status != ByteSink::Status::kWritten) {
        CPSDebugLog("The cancel command could not be sent");
        return;
    }
    if (ports_.sink->Write(kGDIJobEndMarker, sizeof(kGDIJobEndMarker)).status !=
        ByteSink::Status::kWritten) {
        CPSDebugLog("The job end could not be sent after the cancel command");
    }
}

QNVGDIStore::QNVGDIStore(SpoolQueue &queue)
    : queue(queue), storeCount(0), storeSize(0), flushJoinsPrevious(false) {
    // When this fails StoreData grows the table on demand.
    (void)Grown([&] { storeTable.resize(kInitialTableEntries); });
}

QNVGDIStore::~QNVGDIStore() {
    queue.Finish();
}

bool QNVGDIStore::GrowTable() {
    const size_t entries = storeTable.empty() ? kInitialTableEntries : storeTable.size() * 2;
    return Grown([&] { storeTable.resize(entries); });
}

int QNVGDIStore::StoreData(const void *data, unsigned int size) {
    if (storeCount >= storeTable.size() && !GrowTable()) {
        CPSDebugLog("Fail to write store page to buffer!\n");
        return 0;
    }
    QNVStoreEntry &entry = storeTable[storeCount];
    ++storeCount;  // a failed chunk still uses up its entry
    if (size == 0)
        return 0;
    if (data == nullptr || size > (unsigned int)INT_MAX || size > UINT32_MAX - storeSize) {
        CPSDebugLog("Fail to write store page to buffer!\n");
        return 0;
    }
    unsigned char *copy = static_cast<unsigned char *>(malloc(size));
    if (copy == nullptr) {
        CPSDebugLog("Fail to write store page to buffer!\n");
        return 0;
    }
    memcpy(copy, data, size);
    entry.data.reset(copy);
    entry.size = size;
    storeSize += size;
    return (int)size;
}

void QNVGDIStore::NotePage(unsigned int page, unsigned int copies) {
    if (!Grown([&] { pages.push_back(QNVPageMark{page, copies}); }))
        CPSDebugLog("No memory to note page %u; it goes out unreported", page);
}

int QNVGDIStore::OutStoreData() {
    queue.Flush(storeTable, storeCount, storeSize, pages, flushJoinsPrevious);
    pages.clear();
    ReleaseStore();
    return queue.GetOutcome() == SpoolQueue::Outcome::kFailed ? 0 : 1;
}

int QNVGDIStore::OutSinglePage() {
    if (storeCount == 0 || storeTable.empty() ||
        !MarkSinglePage(storeTable[0].data.get(), storeTable[0].size)) {
        CPSDebugLog("Single page mark skipped: the store holds no page header");
    }
    return OutStoreData();
}

bool QNVGDIStore::AppendFrom(QNVGDIStore &other) {
    if (other.storeCount > UINT32_MAX - storeCount || other.storeSize > UINT32_MAX - storeSize)
        return false;
    const bool grown = Grown([&] {
        if (storeTable.size() < (size_t)storeCount + other.storeCount)
            storeTable.resize((size_t)storeCount + other.storeCount);
        pages.insert(pages.end(), other.pages.begin(), other.pages.end());
    });
    if (!grown)
        return false;
    for (unsigned int i = 0; i < other.storeCount; ++i)
        storeTable[storeCount + i] = std::move(other.storeTable[i]);
    storeCount += other.storeCount;
    storeSize += other.storeSize;
    other.ReleaseStore();
    return true;
}

void QNVGDIStore::ReleaseStore() {
    pages.clear();
    for (unsigned int i = 0; i < storeCount && i < storeTable.size(); ++i) {
        storeTable[i].data.reset();
        storeTable[i].size = 0;
    }
    storeCount = 0;
    storeSize = 0;
}
