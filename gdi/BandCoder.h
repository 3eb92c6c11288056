// Bands of a page coded as JBIG images on a small pool of worker threads. The caller
// halftones each band into a slot of the coder and hands it over; the coded bands come
// back in the order they were handed over, so the stream is the same on any number of
// threads. With one thread every band is coded at once on the caller's thread.
#ifndef GDI_GDI_BANDCODER_H
#define GDI_GDI_BANDCODER_H

#include <pthread.h>
#include <stdint.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "gdi/GdiStream.h"
#include "jbig/jbigcompress.h"
#include "jbig/ovtJBIG.h"

// The environment variable that limits the threads coding a job's bands.
extern const char kBandThreadsVariable[];  // "GDI_THREADS"
// The most threads a coder starts, whatever the processor count.
constexpr unsigned kMaxBandThreads = 16;

// Threads for coding bands: the processors this process may run on, limited by the
// variable when it holds a number from 1 up; between 1 and kMaxBandThreads.
unsigned BandCoderThreads();
// The same from the processor count and the variable's text (null when not set).
unsigned BandCoderThreadsFor(unsigned processors, const char *limit);

class BandCoder {
public:
    // One band between its hand-over and the storing of its coded bytes.
    struct Slot {
        uint32_t bandIndex = 0;
        unsigned char record[kGDIBandHeaderSize];  // its band record, length not yet set
        unsigned char *bits = nullptr;             // the band's 1-bit lines
        uint32_t bitsBytes = 0;
        uint32_t rowBytes = 0;
        JBIGBandOutput coded = {};  // length 0: the band could not be coded

    private:
        friend class BandCoder;
        std::unique_ptr<unsigned char[]> bitsMemory;
        uint32_t bitsCapacity = 0;
        bool done = false;
    };

    // `setup` must allow allocation from several threads at once when threads > 1.
    BandCoder(unsigned threads, const JBIGEncoderSetup &setup);
    ~BandCoder();
    BandCoder(const BandCoder &) = delete;
    BandCoder &operator=(const BandCoder &) = delete;

    // Threads the bands are coded on (1 when the workers could not be started).
    unsigned Threads() const { return workerCount > 0 ? workerCount : 1; }

    // The slot for the next band with room for `bitsBytes` bytes of lines; null when every
    // slot holds a band not yet released (take the oldest first) or there is no memory
    // (then *noMemory is set).
    Slot *Claim(uint32_t bitsBytes, uint32_t rowBytes, bool *noMemory);
    // Hands the claimed slot over for coding.
    void Submit(Slot *slot);
    // The oldest band handed over, once coded; null when none is waiting, or, without
    // `wait`, when it is not coded yet.
    Slot *Oldest(bool wait);
    // Gives the oldest slot back once its bytes are stored.
    void Release(Slot *slot);
    // Waits for the bands being coded and gives every slot back unstored.
    void DropAll();

private:
    static void *WorkerMain(void *coder);
    void Work();
    void Code(Slot *slot);

    JBIGEncoderSetup setup;
    unsigned slotCount;
    std::unique_ptr<Slot[]> slots;
    pthread_t workers[kMaxBandThreads];
    unsigned workerCount = 0;

    // Counters of bands, growing: claimed >= submitted >= coding >= released.
    std::mutex mutex;
    std::condition_variable workReady;
    std::condition_variable bandDone;
    uint64_t claimed = 0;
    uint64_t submitted = 0;
    uint64_t taken = 0;  // handed to a worker
    uint64_t released = 0;
    bool stopping = false;
};

#endif
