// Output spooler: order of the bytes at the sink, the spool file, failures of the sink,
// cancellation between flushes, page accounting.
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

#include "gdi/GdiStream.h"
#include "gdi/QNVGDIStore.h"
#include "tests/gdi/gdi_test_support.h"

namespace {

using gditest::Bytes;
using gditest::LogCapture;
using gditest::SpoolDirectory;
using gditest::TestPorts;

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
bool QueueDrains(SpoolQueue &queue) {
    for (int i = 0; i < 10000 && queue.QueueLength() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return queue.QueueLength() == 0;
}

int Store(QNVGDIStore &store, const std::string &text) {
    return store.StoreData(text.data(), (unsigned)text.size());
}

class SpoolerTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(spool_.Entries().empty()) << "spool file left in " << spool_.Path();
        EXPECT_EQ(SpoolQueue::LiveQueues(), 0);
    }
    SpoolDirectory spool_;
    TestPorts io_;
};

TEST_F(SpoolerTest, EmptyFlushWritesNothing) {
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
        EXPECT_EQ(1, store.OutStoreData());
        EXPECT_EQ(1, store.OutStoreData());
    }
    EXPECT_TRUE(io_.sink.Bytes().empty());
}

TEST_F(SpoolerTest, OrderAcrossBothStoresAndManyFlushes) {
    std::string expected;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore main(queue);
        QNVGDIStore held(queue);
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
    EXPECT_EQ(Bytes(expected), io_.sink.Bytes());
}

// Flushes that each find the previous output thread ending or ended: no flush may be
// left without a thread, and every byte must come out in order.
TEST_F(SpoolerTest, ManySmallFlushesAcrossThreadEndsLoseNothing) {
    std::string expected;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
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
                ASSERT_TRUE(QueueDrains(queue)) << "flush " << flush;
            }
        }
        // Before the destructor waits: the running threads alone must have taken all.
        EXPECT_TRUE(QueueDrains(queue));
    }
    EXPECT_EQ(Bytes(expected), io_.sink.Bytes());
}

// Two jobs in one process, each with its own queue, thread and sink, at the same time.
TEST_F(SpoolerTest, TwoJobsAtOnceKeepTheirOwnBytes) {
    TestPorts other;
    std::string expected[2];
    auto run = [](TestPorts *io, char name, std::string *text) {
        SpoolQueue queue(io->ports());
        QNVGDIStore store(queue);
        for (int flush = 0; flush < 300; ++flush) {
            const std::string chunk = Chunk(name, flush, 0, 50 + flush % 900);
            Store(store, chunk);
            *text += chunk;
            store.OutStoreData();
        }
    };
    std::thread first(run, &io_, 'A', &expected[0]);
    std::thread second(run, &other, 'B', &expected[1]);
    first.join();
    second.join();
    EXPECT_EQ(Bytes(expected[0]), io_.sink.Bytes());
    EXPECT_EQ(Bytes(expected[1]), other.sink.Bytes());
}

TEST_F(SpoolerTest, SlowReaderDoesNotHoldUpFlushes) {
    // A writer that waited for the reader would block before the last flush returned,
    // and the gate would only open on its timeout.
    TestPorts gated(/*gated=*/true);
    std::string expected;
    {
        SpoolQueue queue(gated.ports());
        QNVGDIStore store(queue);
        for (int flush = 0; flush < 40; ++flush) {
            const std::string text = Chunk('W', flush, 0, 64 * 1024);
            Store(store, text);
            expected += text;
            store.OutStoreData();
        }
        // The spooled data waits in a file that is no longer in the spool folder.
        EXPECT_TRUE(spool_.Entries().empty());
        gated.sink.Open();
    }
    EXPECT_TRUE(gated.sink.OpenedInTime());
    EXPECT_EQ(Bytes(expected), gated.sink.Bytes());
}

TEST_F(SpoolerTest, FailedChunkBetweenGoodOnesIsLeftOut) {
    LogCapture log;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
        EXPECT_EQ(5, Store(store, "good1"));
        EXPECT_EQ(0, store.StoreData(nullptr, 10));
        EXPECT_EQ(0, store.StoreData("unused", 0));  // zero size: stored as nothing
        EXPECT_EQ(5, Store(store, "good2"));
        EXPECT_EQ(4u, store.GetStoreCount());
        EXPECT_EQ(10u, store.GetStoreSize());
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes("good1good2"), io_.sink.Bytes());
    EXPECT_EQ(1, log.Count("Fail to write store page to buffer!"));
}

TEST_F(SpoolerTest, TableGrowsBeyond256Chunks) {
    std::string expected;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
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
    EXPECT_EQ(Bytes(expected), io_.sink.Bytes());
}

TEST_F(SpoolerTest, SinglePageMarksOnlyTheFlagsByte) {
    std::vector<unsigned char> header(64);
    for (size_t i = 0; i < header.size(); ++i)
        header[i] = (unsigned char)(i * 3 + 1);
    header[kGDIPageFlagsOffset] = 0x0D;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
        store.StoreData(header.data(), (unsigned)header.size());
        Store(store, "band");
        store.OutSinglePage();
    }
    std::vector<unsigned char> expected = header;
    expected[kGDIPageFlagsOffset] = 0x01;
    expected.insert(expected.end(), {'b', 'a', 'n', 'd'});
    EXPECT_EQ(expected, io_.sink.Bytes());
}

TEST_F(SpoolerTest, SinglePageWithoutPageHeaderFlushesUnchanged) {
    const std::string shortChunk(33, 'x');  // one byte short of the flags byte
    LogCapture log;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore empty(queue);
        EXPECT_EQ(1, empty.OutSinglePage());
        QNVGDIStore store(queue);
        Store(store, shortChunk);
        EXPECT_EQ(1, store.OutSinglePage());
        QNVGDIStore failedFirst(queue);
        failedFirst.StoreData(nullptr, 64);
        Store(failedFirst, "rest");
        EXPECT_EQ(1, failedFirst.OutSinglePage());
    }
    EXPECT_EQ(Bytes(shortChunk + "rest"), io_.sink.Bytes());
    EXPECT_EQ(3, log.Count("Single page mark skipped: the store holds no page header"));
}

TEST_F(SpoolerTest, NoSpoolFileMeansBytesGoFromMemory) {
    // A TMPDIR that does not exist: no spool file can be made.
    const std::string missing = spool_.Path() + "/missing";
    setenv("TMPDIR", missing.c_str(), 1);
    LogCapture log;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
        Store(store, "before;");
        store.OutStoreData();
        Store(store, "from-");
        Store(store, "memory;");
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes("before;from-memory;"), io_.sink.Bytes());
    EXPECT_EQ(1, log.Count("Spool file unavailable, handing 7 bytes to the output thread from "
                           "memory"));
    EXPECT_EQ(1, log.Count("Spool file unavailable, handing 12 bytes to the output thread from "
                           "memory"));
}

TEST_F(SpoolerTest, FullDiskMidFileStillDeliversWholeFlush) {
    // A file size limit makes the spool file write stop part way, as a full disk does.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    std::string expected;
    LogCapture log;
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
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
    EXPECT_EQ(Bytes(expected), io_.sink.Bytes());
    EXPECT_EQ(1, log.Count("Spool file unavailable, handing 120000 bytes to the output thread "
                           "from memory"));
    EXPECT_EQ(1, log.Count("Fail to write 120000 bytes to the spool file: File too large"));
    signal(SIGXFSZ, SIG_DFL);
}

std::atomic<int> gStartsToFail{0};

int FailingStarter(pthread_t *thread, void *(*entry)(void *), void *argument) {
    if (gStartsToFail.fetch_sub(1) > 0)
        return EAGAIN;
    return pthread_create(thread, nullptr, entry, argument);
}

TEST_F(SpoolerTest, ThreadThatCannotStartIsRetriedAtNextFlush) {
    gStartsToFail = 1;
    LogCapture log;
    {
        SpoolQueue queue(io_.ports());
        queue.SetThreadStarter(FailingStarter);
        QNVGDIStore store(queue);
        Store(store, "one;");
        store.OutStoreData();
        EXPECT_EQ(1u, queue.QueueLength());  // waits for a thread
        Store(store, "two;");
        store.OutStoreData();
    }
    EXPECT_EQ(Bytes("one;two;"), io_.sink.Bytes());
    EXPECT_EQ(1, log.Count("Fail to start the output thread, error 11; queued data waits"));
}

TEST_F(SpoolerTest, QueueWithoutThreadIsWrittenAtTheEnd) {
    gStartsToFail = 1000000;
    LogCapture log;
    {
        SpoolQueue queue(io_.ports());
        queue.SetThreadStarter(FailingStarter);
        QNVGDIStore main(queue);
        QNVGDIStore held(queue);
        Store(held, "page1;");
        Store(main, "page2;");
        main.OutStoreData();
        held.OutStoreData();
        Store(main, "end;");
        main.OutStoreData();
        EXPECT_EQ(3u, queue.QueueLength());
    }
    EXPECT_EQ(Bytes("page2;page1;end;"), io_.sink.Bytes());
    EXPECT_EQ(1, log.Count("No output thread; writing the queued data from this thread"));
}

// A sink that fails ends the output: nothing after the failure goes out, the failure
// and its error are told, and the flushes after it report it.
TEST_F(SpoolerTest, FailingSinkEndsTheOutput) {
    struct Case {
        int error;
        SpoolQueue::Outcome outcome;
        int flushResult;  // of the flushes after the failure
    };
    const Case cases[] = {
        {ENOSPC, SpoolQueue::Outcome::kFailed, 0},
        {EIO, SpoolQueue::Outcome::kFailed, 0},
        {EPIPE, SpoolQueue::Outcome::kClosed, 1},  // the reader went away: not a failure
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        TestPorts io;
        io.sink.FailAfter(150, c.error);
        SpoolQueue::Outcome outcome;
        int error;
        {
            SpoolQueue queue(io.ports());
            QNVGDIStore store(queue);
            Store(store, Chunk('A', 0, 0, 100));
            store.OutStoreData();
            Store(store, Chunk('B', 1, 0, 100));
            store.NotePage(2, 1);
            store.OutStoreData();
            queue.Finish();
            Store(store, Chunk('C', 2, 0, 100));
            EXPECT_EQ(c.flushResult, store.OutStoreData());
            queue.Finish();
            outcome = queue.GetOutcome();
            error = queue.GetError();
        }
        EXPECT_EQ(outcome, c.outcome);
        if (c.outcome == SpoolQueue::Outcome::kFailed) {
            EXPECT_EQ(error, c.error);
        }
        const std::vector<unsigned char> out = io.sink.Bytes();
        ASSERT_EQ(out.size(), 150u);
        EXPECT_EQ(std::string(out.begin(), out.begin() + 100), Chunk('A', 0, 0, 100));
        EXPECT_TRUE(io.reporter.Pages().empty());  // page 2 never went out whole
    }
}

// Once the job is cancelled nothing more of it goes out but, when some of it has, the
// cancel command and the job end.
TEST_F(SpoolerTest, CancelDropsWhatIsNotOutYet) {
    const std::string cancelAndEnd =
        std::string(reinterpret_cast<const char *>(CancelCMD), 16) +
        std::string(reinterpret_cast<const char *>(kGDIJobEndMarker), 4);
    struct Case {
        const char *name;
        int flushesBeforeCancel;
        std::string expected;
    };
    const Case cases[] = {
        {"before anything went out", 0, ""},
        {"after the first page", 1, "page1;" + cancelAndEnd},
        {"after two pages", 2, "page1;page2;" + cancelAndEnd},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestPorts io;
        {
            SpoolQueue queue(io.ports());
            QNVGDIStore store(queue);
            for (int page = 1; page <= 4; ++page) {
                if (page == c.flushesBeforeCancel + 1) {
                    queue.Finish();  // what was flushed so far is out
                    io.control.Cancel();
                }
                Store(store, "page" + std::to_string(page) + ";");
                store.NotePage((unsigned)page, 1);
                store.OutStoreData();
            }
            Store(store, "end;");
            store.OutStoreData();
            queue.Finish();
            EXPECT_EQ(queue.GetOutcome(), SpoolQueue::Outcome::kCancelled);
        }
        EXPECT_EQ(Bytes(c.expected), io.sink.Bytes());
        EXPECT_EQ(io.reporter.Pages().size(), (size_t)c.flushesBeforeCancel);
    }
}

// A held page goes out with the flush before it, or not at all: a cancel never comes
// between the two sides of a sheet.
TEST_F(SpoolerTest, FlushJoinedToThePreviousOneIsNotCancelledApart) {
    TestPorts gated(/*gated=*/true);
    {
        SpoolQueue queue(gated.ports());
        QNVGDIStore main(queue);
        QNVGDIStore held(queue);
        held.SetFlushJoinsPrevious(true);
        Store(main, "even;");
        main.OutStoreData();
        gated.sink.WaitForWriter();  // the output thread waits in the gated sink with it
        Store(held, "odd;");
        held.OutStoreData();
        Store(main, "next;");
        main.OutStoreData();
        gated.control.Cancel();
        gated.sink.Open();
    }
    const std::string cancelAndEnd =
        std::string(reinterpret_cast<const char *>(CancelCMD), 16) +
        std::string(reinterpret_cast<const char *>(kGDIJobEndMarker), 4);
    EXPECT_EQ(Bytes("even;odd;" + cancelAndEnd), gated.sink.Bytes());
}

// A sink that gives up on a reader that takes nothing after a cancel: nothing more is
// written, not even the cancel command.
TEST_F(SpoolerTest, AbandonedSinkDropsTheRest) {
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore store(queue);
        Store(store, "first;");
        store.OutStoreData();
        queue.Finish();
        io_.sink.Abandon();
        Store(store, "second;");
        store.OutStoreData();
        Store(store, "third;");
        store.OutStoreData();
        queue.Finish();
        EXPECT_EQ(queue.GetOutcome(), SpoolQueue::Outcome::kAbandoned);
    }
    EXPECT_EQ(Bytes("first;"), io_.sink.Bytes());
    EXPECT_EQ(io_.sink.Writes(), 2u);  // "second;" was tried, "third;" not
}

// The pages of a flush are reported once it is out, in page order (CUPS counts a job's
// pages by their numbers), and each pair of stores merges into one flush.
TEST_F(SpoolerTest, PagesAreReportedOnceOutInPageOrder) {
    {
        SpoolQueue queue(io_.ports());
        QNVGDIStore main(queue);
        QNVGDIStore held(queue);
        Store(held, "page1;");
        held.NotePage(1, 2);
        Store(main, "page2;");
        main.NotePage(2, 2);
        ASSERT_TRUE(main.AppendFrom(held));
        EXPECT_EQ(0u, held.GetStoreCount());
        EXPECT_EQ(12u, main.GetStoreSize());
        main.OutStoreData();
    }
    EXPECT_EQ(Bytes("page2;page1;"), io_.sink.Bytes());
    EXPECT_EQ(io_.reporter.Lines(), (std::vector<std::string>{"PAGE: 1 2", "PAGE: 2 2"}));
}

}  // namespace
