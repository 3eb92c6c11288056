// Output spooler: stores, spool files, the process-wide queue and the output thread.
#include "gdi/QNVGDIStore.h"

#include <cups/cups.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "common/CUPSDebug.h"

namespace {

constexpr size_t kInitialTableEntries = 256;
constexpr size_t kSpoolPathSize = 1024;
constexpr size_t kCopyBufferSize = 64 * 1024;

// One flush waiting for the output thread: either a spool file (path and the number
// of bytes to copy from it) or, when no spool file could be written, the flushed
// chunks themselves.
struct SpoolItem {
    std::string path;
    uint32_t size = 0;
    bool inMemory = false;
    std::vector<QNVStoreEntry> chunks;
    unsigned int chunkCount = 0;
};

int StartWithPthread(pthread_t *thread, void *(*entry)(void *)) {
    return pthread_create(thread, nullptr, entry, nullptr);
}

// State shared by every store and the output thread. One mutex guards the queue and
// the thread bookkeeping; the output thread empties the queue test and the clearing of
// `threadRunning` in one locked step, and a flush appends and tests in one locked step,
// so a queued item is never left without a thread.
struct SpoolState {
    std::mutex mutex;
    std::deque<SpoolItem> queue;
    pthread_t outDataThreadID{};
    bool threadRunning = false;   // the thread still works on the queue
    bool threadJoinable = false;  // outDataThreadID names a thread not yet joined
    QNVSpoolThreadStarter starter = StartWithPthread;
};

// Never destroyed, so that an output thread still running at process exit does not
// meet a destroyed queue.
SpoolState &State() {
    static SpoolState *state = new SpoolState;
    return *state;
}

bool WriteAll(int fd, const unsigned char *data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0)
            return false;
        data += written;
        size -= (size_t)written;
    }
    return true;
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

// Writes the first `count` chunks of `table` into a new spool file. On success `path`
// holds its name. On failure nothing is left on disk.
bool WriteSpoolFile(const std::vector<QNVStoreEntry> &table, unsigned int count, char *path) {
    memset(path, 0, kSpoolPathSize);
    const int fd = cupsTempFd(path, (int)kSpoolPathSize);
    if (fd < 0) {
        CPSDebugLog("Fail to create spool file, errno %d", errno);
        return false;
    }
    // A name cut short by the buffer, or otherwise not naming the open file, could
    // never be removed by the output thread.
    struct stat byDescriptor, byName;
    if (strnlen(path, kSpoolPathSize) >= kSpoolPathSize - 1 || fstat(fd, &byDescriptor) != 0 ||
        stat(path, &byName) != 0 || byDescriptor.st_dev != byName.st_dev ||
        byDescriptor.st_ino != byName.st_ino) {
        CPSDebugLog("Spool file name does not match the created file");
        RemoveFileOfDescriptor(fd);
        close(fd);
        return false;
    }
    bool complete = true;
    for (unsigned int i = 0; i < count && complete; ++i) {
        if (table[i].data != nullptr && table[i].size > 0) {
            complete = WriteAll(fd, table[i].data.get(), table[i].size);
        }
    }
    const int writeErrno = errno;
    if (close(fd) != 0)
        complete = false;
    if (!complete) {
        CPSDebugLog("Fail to write spool file %s, errno %d", path, writeErrno);
        unlink(path);
        return false;
    }
    return true;
}

bool WriteToStdout(const unsigned char *data, size_t size) {
    if (size == 0)
        return true;
    return fwrite(data, 1, size, stdout) == size;
}

// Copies one queued item to standard output and removes its spool file. Runs on the
// output thread, or on the calling thread when no output thread could be had.
void DeliverItem(SpoolItem &item) {
    bool written = true;
    if (item.inMemory) {
        CPSDebugLog("Copying %u bytes from memory", item.size);
        for (unsigned int i = 0; i < item.chunkCount; ++i) {
            const QNVStoreEntry &chunk = item.chunks[i];
            if (chunk.data != nullptr && !WriteToStdout(chunk.data.get(), chunk.size)) {
                written = false;
            }
        }
    } else {
        CPSDebugLog("fileName:%s", item.path.c_str());
        const int fd = open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            CPSDebugLog("Fail to open spool file %s, errno %d", item.path.c_str(), errno);
        } else {
            unsigned char buffer[kCopyBufferSize];
            uint32_t copied = 0;
            while (copied < item.size) {
                size_t want = item.size - copied;
                if (want > sizeof(buffer))
                    want = sizeof(buffer);
                const ssize_t got = read(fd, buffer, want);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                if (!WriteToStdout(buffer, (size_t)got))
                    written = false;
                copied += (uint32_t)got;
            }
            if (copied != item.size) {
                CPSDebugLog("Spool file %s gave %u of %u bytes", item.path.c_str(), copied,
                            item.size);
            }
            close(fd);
        }
        unlink(item.path.c_str());
    }
    if (fflush(stdout) != 0)
        written = false;
    if (!written) {
        CPSDebugLog("Fail to write %u bytes to standard output, errno %d", item.size, errno);
        clearerr(stdout);
    }
}

// Starts the output thread unless one is working; a thread that ended by itself is
// joined first. Called with the state's mutex held.
void StartOutputThreadLocked(SpoolState &state) {
    if (state.threadRunning)
        return;
    if (state.threadJoinable) {
        // That thread has cleared threadRunning as its last step under the mutex and
        // needs nothing more from it, so joining here cannot deadlock.
        pthread_join(state.outDataThreadID, nullptr);
        state.threadJoinable = false;
    }
    pthread_t thread;
    const int error = state.starter(&thread, OutputDataInThread);
    if (error != 0) {
        CPSDebugLog("Fail to start the output thread, error %d; queued data waits", error);
        return;
    }
    state.outDataThreadID = thread;
    state.threadRunning = true;
    state.threadJoinable = true;
}

// Waits for the output thread to finish the queue, then writes from the calling
// thread whatever is still queued because no thread could be started.
void FinishOutput() {
    SpoolState &state = State();
    pthread_t thread{};
    bool join = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.threadJoinable) {
            thread = state.outDataThreadID;
            state.threadJoinable = false;
            join = true;
        }
    }
    if (join)
        pthread_join(thread, nullptr);

    bool logged = false;
    for (;;) {
        SpoolItem item;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.threadRunning || state.queue.empty())
                break;
            item = std::move(state.queue.front());
            state.queue.pop_front();
        }
        if (!logged) {
            CPSDebugLog("No output thread; writing the queued data from this thread");
            logged = true;
        }
        DeliverItem(item);
    }
}

// Queues one flush and makes sure a thread will copy it.
void Enqueue(SpoolItem &&item) {
    SpoolState &state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        bool queued = false;
        try {
            state.queue.push_back(std::move(item));
            queued = true;
        } catch (const std::bad_alloc &) {
            // The queue is unchanged: write the item from here once everything
            // queued before it is out.
        }
        if (queued) {
            StartOutputThreadLocked(state);
            return;
        }
    }
    CPSDebugLog("Fail to queue spool data; writing it from this thread");
    FinishOutput();
    DeliverItem(item);
}

}  // namespace

void *OutputDataInThread(void *arg) {
    (void)arg;
    SpoolState &state = State();
    for (;;) {
        SpoolItem item;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.queue.empty()) {
                state.threadRunning = false;
                return nullptr;
            }
            item = std::move(state.queue.front());
            state.queue.pop_front();
        }
        DeliverItem(item);
    }
}

void SetSpoolThreadStarter(QNVSpoolThreadStarter starter) {
    SpoolState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.starter = starter != nullptr ? starter : StartWithPthread;
}

size_t GetSpoolQueueLength() {
    SpoolState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.queue.size();
}

QNVGDIStore::QNVGDIStore() : storeCount(0), storeSize(0) {
    try {
        storeTable.resize(kInitialTableEntries);
    } catch (const std::bad_alloc &) {
        // StoreData grows the table on demand.
    }
}

QNVGDIStore::~QNVGDIStore() {
    FinishOutput();
}

bool QNVGDIStore::GrowTable() {
    const size_t entries = storeTable.empty() ? kInitialTableEntries : storeTable.size() * 2;
    try {
        storeTable.resize(entries);
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
    return true;
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

int QNVGDIStore::OutStoreData() {
    char path[kSpoolPathSize];
    SpoolItem item;
    item.size = storeSize;
    if (WriteSpoolFile(storeTable, storeCount, path)) {
        try {
            item.path = path;
        } catch (const std::bad_alloc &) {
            unlink(path);
            item.path.clear();
        }
    }
    if (item.path.empty()) {
        // No spool file: the chunks themselves go to the output thread.
        CPSDebugLog("Spool file unavailable, handing %u bytes to the output thread from memory",
                    storeSize);
        item.inMemory = true;
        item.chunkCount = storeCount;
        item.chunks.swap(storeTable);
        storeCount = 0;
        storeSize = 0;
        try {
            storeTable.resize(kInitialTableEntries);
        } catch (const std::bad_alloc &) {
            // StoreData grows the table on demand.
        }
    }
    Enqueue(std::move(item));
    ReleaseStore();
    return 1;
}

int QNVGDIStore::OutSinglePage() {
    constexpr unsigned int kPageFlagsOffset = 33;
    if (storeCount > 0 && storeTable[0].data != nullptr && storeTable[0].size > kPageFlagsOffset) {
        storeTable[0].data[kPageFlagsOffset] = 1;
    } else {
        CPSDebugLog("Single page mark skipped: the store holds no page header");
    }
    return OutStoreData();
}

void QNVGDIStore::ReleaseStore() {
    for (unsigned int i = 0; i < storeCount && i < storeTable.size(); ++i) {
        storeTable[i].data.reset();
        storeTable[i].size = 0;
    }
    storeCount = 0;
    storeSize = 0;
}
