// Band coding on worker threads, delivered in hand-over order.
#include "gdi/BandCoder.h"

#include <sched.h>
#include <stdlib.h>

#include <algorithm>
#include <new>

#include "common/CUPSDebug.h"

const char kBandThreadsVariable[] = "GDI_THREADS";

namespace {

constexpr size_t kWorkerStackBytes = 256 * 1024;

// The 1-bit lines of the bands between hand-over and storing take at most this much (the
// coded bytes of a band are of the same order), however many threads there are: wide
// pages on many processors keep fewer bands in flight. Two bands always may be.
constexpr uint64_t kBandsInFlightBytes = 12u << 20;

}  // namespace

unsigned BandCoderThreadsFor(unsigned processors, const char *limit) {
    unsigned threads = processors > 0 ? processors : 1;
    if (limit != nullptr && *limit != '\0') {
        char *end = nullptr;
        const unsigned long asked = strtoul(limit, &end, 10);
        if (*end == '\0' && asked >= 1 && limit[0] != '-' && asked < threads)
            threads = (unsigned)asked;
    }
    return threads < kMaxBandThreads ? threads : kMaxBandThreads;
}

unsigned BandCoderThreads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    unsigned processors = 1;
    if (sched_getaffinity(0, sizeof(set), &set) == 0)
        processors = (unsigned)CPU_COUNT(&set);
    return BandCoderThreadsFor(processors, getenv(kBandThreadsVariable));
}

// Two slots a thread: one band being coded while the next is halftoned for it.
BandCoder::BandCoder(unsigned threads, const JBIGEncoderSetup &encoderSetup) : setup(encoderSetup) {
    if (threads > kMaxBandThreads)
        threads = kMaxBandThreads;
    slotCount = threads > 1 ? 2 * threads : 1;
    slots.reset(new (std::nothrow) Slot[slotCount]);
    if (slots == nullptr) {
        slotCount = 0;
        return;
    }
    // The workers need little stack: the coder's state is on the heap.
    pthread_attr_t attributes;
    const bool haveAttributes = pthread_attr_init(&attributes) == 0;
    if (haveAttributes)
        (void)pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    for (unsigned i = 0; threads > 1 && i < threads; ++i) {
        if (pthread_create(&workers[workerCount], haveAttributes ? &attributes : nullptr,
                           WorkerMain, this) != 0) {
            CPSDebugLog("Coding bands on %u thread(s): no more could be started", workerCount);
            break;
        }
        ++workerCount;
    }
    if (haveAttributes)
        pthread_attr_destroy(&attributes);
}

BandCoder::~BandCoder() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    workReady.notify_all();
    for (unsigned i = 0; i < workerCount; ++i)
        pthread_join(workers[i], nullptr);
    for (unsigned i = 0; i < slotCount; ++i)
        djz_ReleaseOutput(&slots[i].coded);
}

void *BandCoder::WorkerMain(void *coder) {
    static_cast<BandCoder *>(coder)->Work();
    return nullptr;
}

// Bands are taken in hand-over order, so the oldest band is always the first to start.
void BandCoder::Work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        workReady.wait(lock, [this] { return stopping || taken < submitted; });
        if (taken >= submitted)
            return;
        Slot *slot = &slots[taken++ % slotCount];
        lock.unlock();
        Code(slot);
        lock.lock();
        slot->done = true;
        bandDone.notify_all();
    }
}

void BandCoder::Code(Slot *slot) {
    djz_CompressToOutput(slot->bits, slot->bitsBytes, slot->rowBytes, &setup, &slot->coded);
}

BandCoder::Slot *BandCoder::Claim(uint32_t bitsBytes, uint32_t rowBytes, bool *noMemory) {
    *noMemory = false;
    Slot *slot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const uint64_t affordable = std::max<uint64_t>(2, kBandsInFlightBytes / (bitsBytes + 1));
        if (slotCount == 0 || claimed - released >= std::min<uint64_t>(slotCount, affordable)) {
            *noMemory = slotCount == 0;
            return nullptr;
        }
        slot = &slots[claimed % slotCount];
    }
    // The slot is the caller's alone from here until it is submitted.
    if (slot->bitsCapacity < bitsBytes) {
        slot->bitsMemory.reset(new (std::nothrow) unsigned char[bitsBytes]);
        slot->bitsCapacity = slot->bitsMemory != nullptr ? bitsBytes : 0;
        if (slot->bitsMemory == nullptr) {
            *noMemory = true;
            return nullptr;
        }
    }
    slot->bits = slot->bitsMemory.get();
    slot->bitsBytes = bitsBytes;
    slot->rowBytes = rowBytes;
    std::lock_guard<std::mutex> lock(mutex);
    slot->done = false;
    ++claimed;
    return slot;
}

void BandCoder::Submit(Slot *slot) {
    if (workerCount == 0) {
        Code(slot);
        std::lock_guard<std::mutex> lock(mutex);
        slot->done = true;
        ++submitted;
        taken = submitted;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++submitted;
    }
    workReady.notify_one();
}

BandCoder::Slot *BandCoder::Oldest(bool wait) {
    std::unique_lock<std::mutex> lock(mutex);
    if (released == submitted)
        return nullptr;
    Slot *slot = &slots[released % slotCount];
    if (wait)
        bandDone.wait(lock, [slot] { return slot->done; });
    return slot->done ? slot : nullptr;
}

void BandCoder::Release(Slot *slot) {
    std::lock_guard<std::mutex> lock(mutex);
    slot->done = false;
    ++released;
}

void BandCoder::DropAll() {
    while (Slot *slot = Oldest(true))
        Release(slot);
    std::lock_guard<std::mutex> lock(mutex);
    claimed = released;
}
