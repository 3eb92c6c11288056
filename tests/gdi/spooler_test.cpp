// Output spooler: order of the bytes on standard output, spool files, failures.
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gdi/QNVGDIStore.h"
#include "tests/gdi/gdi_test_support.h"

namespace {

using gditest::Bytes;
using gditest::LogCapture;
using gditest::SpoolDirectory;
using gditest::StdoutCapture;

// A chunk whose bytes tell where it came from.
std::string Chunk(char store, int flush, int index, size_t size) {
    std::string text =
        std::string(1, store) + "-" + std::to_string(flush) + "-" + std::to_string(index) + ";";
    while (text.size() < size)
        text += (char)('a' + (text.size() + flush + index) % 26);
    text.resize(size);
    return text;
}

// Waits until the output thread has taken everything queued; false when something
// stays queued with no thread to take it.
bool QueueDrains() {
    for (int i = 0; i < 10000 && GetSpoolQueueLength() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return GetSpoolQueueLength() == 0;
}

int Store(QNVGDIStore &store, const std::string &text) {
    return store.StoreData(text.data(), (unsigned)text.size());
}

class SpoolerTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetSpoolThreadStarter(nullptr);
        EXPECT_TRUE(spool_.Entries().empty()) << "spool file left in " << spool_.Path();
    }
    SpoolDirectory spool_;
};

TEST_F(SpoolerTest, EmptyFlushWritesNothing) {
    StdoutCapture capture;
    {
        QNVGDIStore store;
        EXPECT_EQ(1, store.OutStoreData());
        EXPECT_EQ(1, store.OutStoreData());
    }
    EXPECT_TRUE(capture.Finish().empty());
    EXPECT_EQ(0u, GetSpoolQueueLength());
}

TEST_F(SpoolerTest, OrderAcrossBothStoresAndManyFlushes) {
    std::string expected;
    StdoutCapture capture;
    {
        QNVGDIStore main;
        QNVGDIStore held;
        for (int flush = 0; flush < 120; ++flush) {
            QNVGDIStore &store = flush % 3 == 1 ? held : main;
            const char name = &store == &main ? 'M' : 'H';
            const int chunks = 1 + flush % 5;
            for (int i = 0; i < chunks; ++i) {
                // Sizes from a few bytes to beyond the output thread's copy buffer.
                const size_t size =
                    (flush % 7 == 0 && i == 0) ? 150000 : 8 + (flush * 37 + i) % 300;
                const std::string text = Chunk(name, flush, i, size);
                ASSERT_EQ((int)size, Store(store, text));
                expected += text;
            }
            EXPECT_EQ(1, store.OutStoreData());
            EXPECT_EQ(0u, store.GetStoreCount());
            EXPECT_EQ(0u, store.GetStoreSize());
        }
    }
    const std::vector<unsigned char> out = capture.Finish();
    EXPECT_EQ(Bytes(expected), out);
}

// Flushes that each find the previous output thread ending or ended: no flush may be
// left without a thread, and every byte must come out in order.
TEST_F(SpoolerTest, ManySmallFlushesAcrossThreadEndsLoseNothing) {
    std::string expected;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        for (int flush = 0; flush < 2000; ++flush) {
            const std::string text = Chunk('S', flush, 0, 12);
            Store(store, text);
            expected += text;
            store.OutStoreData();
            if (flush % 3 == 0)
                std::this_thread::yield();
            if (flush % 97 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (flush % 250 == 0) {
                ASSERT_TRUE(QueueDrains()) << "flush " << flush;
            }
        }
        // Before the destructor waits: the running threads alone must have taken all.
        EXPECT_TRUE(QueueDrains());
    }
    EXPECT_EQ(Bytes(expected), capture.Finish());
    EXPECT_EQ(0u, GetSpoolQueueLength());
}

TEST_F(SpoolerTest, FlushAfterThreadEndedStartsNewThread) {
    StdoutCapture capture;
    {
        QNVGDIStore store;
        Store(store, "first;");
        store.OutStoreData();
        ASSERT_TRUE(QueueDrains());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Store(store, "second;");
        store.OutStoreData();
        EXPECT_TRUE(QueueDrains());
    }
    EXPECT_EQ(Bytes("first;second;"), capture.Finish());
}

TEST_F(SpoolerTest, SlowReaderDoesNotHoldUpFlushes) {
    // Far more than a pipe holds: a writer that waited for the reader would block
    // before the last flush returned, and the gate would only open on its timeout.
    std::string expected;
    StdoutCapture capture(/*gated=*/true);
    {
        QNVGDIStore store;
        for (int flush = 0; flush < 40; ++flush) {
            const std::string text = Chunk('W', flush, 0, 64 * 1024);
            Store(store, text);
            expected += text;
            store.OutStoreData();
        }
        capture.Open();
    }
    const std::vector<unsigned char> out = capture.Finish();
    EXPECT_TRUE(capture.OpenedInTime());
    EXPECT_EQ(Bytes(expected), out);
}

TEST_F(SpoolerTest, FailedChunkBetweenGoodOnesIsLeftOut) {
    LogCapture log;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        EXPECT_EQ(5, Store(store, "good1"));
        EXPECT_EQ(0, store.StoreData(nullptr, 10));
        EXPECT_EQ(0, store.StoreData("unused", 0));  // zero size: stored as nothing
        EXPECT_EQ(5, Store(store, "good2"));
        EXPECT_EQ(4u, store.GetStoreCount());
        EXPECT_EQ(10u, store.GetStoreSize());
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes("good1good2"), capture.Finish());
    EXPECT_EQ(1, log.Count("Fail to write store page to buffer!"));
}

TEST_F(SpoolerTest, TableGrowsBeyond256Chunks) {
    std::string expected;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        for (int i = 0; i < 1000; ++i) {
            const std::string text = Chunk('T', 0, i, 9);
            ASSERT_EQ(9, Store(store, text));
            expected += text;
        }
        EXPECT_EQ(1000u, store.GetStoreCount());
        store.OutStoreData();
        // The store stays usable after a grown table was flushed.
        Store(store, "after");
        expected += "after";
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes(expected), capture.Finish());
}

TEST_F(SpoolerTest, SinglePageMarksOnlyTheFlagsByte) {
    std::vector<unsigned char> header(64);
    for (size_t i = 0; i < header.size(); ++i)
        header[i] = (unsigned char)(i * 3 + 1);
    header[33] = 0x0D;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        store.StoreData(header.data(), (unsigned)header.size());
        Store(store, "band");
        store.OutSinglePage();
    }
    std::vector<unsigned char> expected = header;
    expected[33] = 0x01;
    expected.insert(expected.end(), {'b', 'a', 'n', 'd'});
    EXPECT_EQ(expected, capture.Finish());
}

TEST_F(SpoolerTest, SinglePageWithoutPageHeaderFlushesUnchanged) {
    const std::string shortChunk(33, 'x');  // one byte short of the flags byte
    LogCapture log;
    StdoutCapture capture;
    {
        QNVGDIStore empty;
        EXPECT_EQ(1, empty.OutSinglePage());
        QNVGDIStore store;
        Store(store, shortChunk);
        EXPECT_EQ(1, store.OutSinglePage());
        QNVGDIStore failedFirst;
        failedFirst.StoreData(nullptr, 64);
        Store(failedFirst, "rest");
        EXPECT_EQ(1, failedFirst.OutSinglePage());
    }
    EXPECT_EQ(Bytes(shortChunk + "rest"), capture.Finish());
    EXPECT_EQ(3, log.Count("Single page mark skipped: the store holds no page header"));
}

TEST_F(SpoolerTest, LogsEachSpoolFileName) {
    LogCapture log;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        Store(store, "x");
        store.OutStoreData();
    }
    capture.Finish();
    EXPECT_NE(std::string::npos, log.Text().find("fileName:" + spool_.Path() + "/"));
}

TEST_F(SpoolerTest, NoSpoolFileMeansBytesGoFromMemory) {
    // A TMPDIR that does not exist: no spool file can be made.
    const std::string missing = spool_.Path() + "/missing";
    setenv("TMPDIR", missing.c_str(), 1);
    LogCapture log;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        Store(store, "before;");
        store.OutStoreData();
        Store(store, "from-");
        Store(store, "memory;");
        store.OutStoreData();
        setenv("TMPDIR", spool_.Path().c_str(), 1);
        Store(store, "after;");
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes("before;from-memory;after;"), capture.Finish());
    EXPECT_EQ(2, log.Count("Spool file unavailable, handing 7 bytes to the output thread from "
                           "memory") +
                     log.Count("Spool file unavailable, handing 12 bytes to the output thread "
                               "from memory"));
}

TEST_F(SpoolerTest, FullDiskMidFileStillDeliversWholeFlush) {
    // A file size limit makes the spool file write stop part way, as a full disk does.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    std::string expected;
    LogCapture log;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        for (int i = 0; i < 3; ++i) {
            const std::string text = Chunk('F', 0, i, 40000);
            Store(store, text);
            expected += text;
        }
        struct rlimit limited = saved;
        limited.rlim_cur = 65536;
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
        store.OutStoreData();
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
        Store(store, "next");
        expected += "next";
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes(expected), capture.Finish());
    EXPECT_EQ(1, log.Count("Spool file unavailable, handing 120000 bytes to the output thread "
                           "from memory"));
    EXPECT_NE(std::string::npos, log.Text().find("Fail to write spool file " + spool_.Path()));
    signal(SIGXFSZ, SIG_DFL);
}

std::atomic<int> gStartsToFail{0};

int FailingStarter(pthread_t *thread, void *(*entry)(void *)) {
    if (gStartsToFail.fetch_sub(1) > 0)
        return EAGAIN;
    return pthread_create(thread, nullptr, entry, nullptr);
}

TEST_F(SpoolerTest, ThreadThatCannotStartIsRetriedAtNextFlush) {
    gStartsToFail = 1;
    SetSpoolThreadStarter(FailingStarter);
    LogCapture log;
    StdoutCapture capture;
    {
        QNVGDIStore store;
        Store(store, "one;");
        store.OutStoreData();
        EXPECT_EQ(1u, GetSpoolQueueLength());  // waits for a thread
        Store(store, "two;");
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes("one;two;"), capture.Finish());
    EXPECT_EQ(1, log.Count("Fail to start the output thread, error 11; queued data waits"));
}

TEST_F(SpoolerTest, QueueWithoutThreadIsWrittenAtTheEnd) {
    gStartsToFail = 1000000;
    SetSpoolThreadStarter(FailingStarter);
    LogCapture log;
    StdoutCapture capture;
    {
        QNVGDIStore main;
        QNVGDIStore held;
        Store(held, "page1;");
        Store(main, "page2;");
        main.OutStoreData();
        held.OutStoreData();
        Store(main, "end;");
        main.OutStoreData();
        EXPECT_EQ(3u, GetSpoolQueueLength());
    }
    EXPECT_EQ(Bytes("page2;page1;end;"), capture.Finish());
    EXPECT_EQ(0u, GetSpoolQueueLength());
    EXPECT_EQ(1, log.Count("No output thread; writing the queued data from this thread"));
}

TEST_F(SpoolerTest, BrokenOutputPipeNeitherHangsNorLeavesFiles) {
    signal(SIGPIPE, SIG_IGN);
    fflush(stdout);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const int savedStdout = dup(1);
    ASSERT_GE(savedStdout, 0);
    dup2(fds[1], 1);
    close(fds[1]);
    close(fds[0]);  // nobody will ever read
    LogCapture log;
    {
        QNVGDIStore store;
        for (int flush = 0; flush < 5; ++flush) {
            Store(store, Chunk('P', flush, 0, 100000));
            store.OutStoreData();
        }
    }
    clearerr(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    EXPECT_GE(log.Count("Fail to write 100000 bytes to standard output, errno 32"), 1);
    signal(SIGPIPE, SIG_DFL);
}

}  // namespace
