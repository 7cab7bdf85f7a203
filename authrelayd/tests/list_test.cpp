// Lists, queues and threads under real concurrency.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "list.h"
#include "logcapture.h"
#include "queue.h"
#include "thread.h"

using namespace authrelay;
using authrelay_test::LogCapture;

namespace {

// User data that counts how often it was destroyed.
struct Tracked {
    std::atomic<int> destroyed{0};
};
void DestroyTracked(void *p) { static_cast<Tracked *>(p)->destroyed++; }

// A gate one thread waits at until another opens it.
class Gate {
public:
    // Notifies under the lock: the woken thread may destroy the gate.
    void Open()
    {
        std::lock_guard<std::mutex> g(m_);
        open_ = true;
        cv_.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [&] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

TEST(AuthrelayList, FindMatchesKeyLengthAndBytesAndSkipsRemovedEntries)
{
    ListImpl list;
    Tracked a, ab, empty, gone;
    list.AddEntry("gone", 4, &gone, DestroyTracked)->Release(true);
    EXPECT_EQ(gone.destroyed, 1);
    ListEntry *ea = list.AddEntry("a", 1, &a, DestroyTracked);
    ListEntry *eab = list.AddEntry("ab", 2, &ab, DestroyTracked);
    ListEntry *eempty = list.AddEntry("", 0, &empty, DestroyTracked);
    for (ListEntry *e : {ea, eab, eempty})
        e->Release(false);

    const struct {
        const void *key;
        uint32_t length;
        void *expected;
    } cases[] = {{"a", 1, &a}, {"ab", 2, &ab}, {"a", 2, nullptr}, {"b", 1, nullptr},
                 {"", 0, &empty}, {nullptr, 0, &a}, {"gone", 4, nullptr}};
    for (const auto &c : cases) {
        ListEntry *found = list.Find(c.key, c.length);
        EXPECT_EQ(found ? found->GetUserData() : nullptr, c.expected)
            << (c.key ? static_cast<const char *>(c.key) : "(no key)") << "/" << c.length;
        if (found)
            found->Release(false);
    }
    uint32_t length = 0;
    ListEntry *first = list.First();
    ASSERT_NE(first, nullptr);
    const uint8_t *key = first->GetKey(&length);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(key), length), "a");
    EXPECT_EQ(first->Next(false)->GetUserData(), &ab);
    EXPECT_EQ(first->Prev(false), nullptr);
    first->Release(false);
}

TEST(AuthrelayList, EntryReleasedWithoutMarkStaysFindable)
{
    ListImpl list;
    Tracked t;
    ListEntry *e = list.AddEntry("k", 1, &t, DestroyTracked);
    EXPECT_EQ(e->Release(false), 0);
    ListEntry *again = list.Find("k", 1);
    ASSERT_EQ(again, e);
    EXPECT_EQ(again->Release(false), 0);
    EXPECT_EQ(t.destroyed, 0);
    EXPECT_FALSE(list.WaitUntilEmpty(0));
}

TEST(AuthrelayList, MarkedEntryHeldByAnotherThreadIsDestroyedOnceWhenItLetsGo)
{
    ListImpl list;
    Tracked before, middle, after;
    ListEntry *eb = list.AddEntry("b", 1, &before, DestroyTracked);
    ListEntry *em = list.AddEntry("m", 1, &middle, DestroyTracked);
    ListEntry *ea = list.AddEntry("a", 1, &after, DestroyTracked);
    eb->Release(false);
    ea->Release(false);

    Gate held, letGo;
    std::thread holder([&] {
        ListEntry *mine = list.Find("m", 1);
        ASSERT_EQ(mine, em);
        held.Open();
        letGo.Wait();
        // Still usable: the entry and its data live until this release.
        EXPECT_EQ(mine->GetUserData(), &middle);
        mine->Release(false);
    });
    held.Wait();
    em->Release(true); // the creator's reference, with the removed mark
    EXPECT_EQ(middle.destroyed, 0);
    EXPECT_EQ(list.Find("m", 1), nullptr);
    ListEntry *first = list.First();
    ASSERT_EQ(first, eb);
    EXPECT_EQ(first->Next(false), em); // still linked
    EXPECT_EQ(first->Next(true), ea);  // but passed over by a skipping walk
    letGo.Open();
    holder.join();
    EXPECT_EQ(middle.destroyed, 1);
    EXPECT_EQ(first->Next(false), ea);
    first->Release(false);
}

TEST(AuthrelayList, ManyHoldersAndOneRemoverDestroyAnEntryExactlyOnce)
{
    for (int round = 0; round < 50; ++round) {
        ListImpl list;
        Tracked t;
        ListEntry *e = list.AddEntry("ctx", 3, &t, DestroyTracked);
        std::atomic<bool> go{false};
        std::vector<std::thread> users;
        for (int i = 0; i < 4; ++i) {
            users.emplace_back([&] {
                while (!go) {
                }
                for (int n = 0; n < 100; ++n) {
                    ListEntry *found = list.Find("ctx", 3);
                    if (!found)
                        break;
                    EXPECT_EQ(found->GetUserData(), &t);
                    found->Release(false);
                }
            });
        }
        go = true;
        e->Release(true);
        for (auto &u : users)
            u.join();
        EXPECT_EQ(t.destroyed, 1);
        EXPECT_TRUE(list.WaitUntilEmpty(0));
    }
}

TEST(AuthrelayList, ClearDestroysUnheldEntriesAndSignalsEmptyWhenTheLastGoes)
{
    ListImpl list;
    EXPECT_TRUE(list.WaitUntilEmpty(0)); // created signalled
    Tracked free1, free2, held;
    list.AddEntry("1", 1, &free1, DestroyTracked)->Release(false);
    EXPECT_FALSE(list.WaitUntilEmpty(0));
    ListEntry *h = list.AddEntry("h", 1, &held, DestroyTracked); // keeps its reference
    list.AddEntry("2", 1, &free2, DestroyTracked)->Release(false);

    EXPECT_TRUE(list.Clear(false));
    EXPECT_EQ(free1.destroyed, 1);
    EXPECT_EQ(free2.destroyed, 1);
    EXPECT_EQ(held.destroyed, 0);
    EXPECT_TRUE(h->IsRemoved());
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_FALSE(list.WaitUntilEmpty(0)); // the held entry is still linked
    h->Release(false);
    EXPECT_EQ(held.destroyed, 1);
    EXPECT_TRUE(list.WaitUntilEmpty(0));
}

TEST(AuthrelayList, ForcedClearEmptiesTheListAndHeldEntriesDieWithTheirLastRelease)
{
    Tracked free1, held;
    ListEntry *h;
    {
        ListImpl list;
        list.AddEntry("1", 1, &free1, DestroyTracked)->Release(false);
        h = list.AddEntry("h", 1, &held, DestroyTracked);
        EXPECT_TRUE(list.Clear(true));
        EXPECT_EQ(free1.destroyed, 1);
        EXPECT_TRUE(list.WaitUntilEmpty(0));
        EXPECT_EQ(list.First(), nullptr);
        EXPECT_EQ(held.destroyed, 0); // never destroyed under its holder
        list.AddEntry("n", 1, nullptr, nullptr)->Release(false);
    }
    // The list is gone; the holder's release destroys the entry on its own.
    EXPECT_EQ(h->GetUserData(), &held);
    h->Release(false);
    EXPECT_EQ(held.destroyed, 1);
}

TEST(AuthrelayList, DestroyingTheListLeavesHeldEntriesToTheirHolder)
{
    Tracked held, free1;
    ListEntry *h;
    {
        ListImpl list;
        h = list.AddEntry("h", 1, &held, DestroyTracked);
        list.AddEntry("f", 1, &free1, DestroyTracked)->Release(false);
    }
    EXPECT_EQ(free1.destroyed, 1);
    EXPECT_EQ(held.destroyed, 0);
    h->Release(false);
    EXPECT_EQ(held.destroyed, 1);
}

TEST(AuthrelayList, WalkVisitsLiveEntriesWhileOthersAreRemovedConcurrently)
{
    ListImpl list;
    constexpr int kEntries = 200;
    std::vector<Tracked> data(kEntries);
    for (int i = 0; i < kEntries; ++i)
        list.AddEntry(&i, sizeof i, &data[i], DestroyTracked)->Release(false);
    std::thread remover([&] {
        for (int i = 1; i < kEntries; i += 2)
            if (ListEntry *e = list.Find(&i, sizeof i))
                e->Release(true);
    });
    std::vector<Tracked *> visited;
    list.Walk([&](ListEntry *e) { visited.push_back(static_cast<Tracked *>(e->GetUserData())); }, false);
    remover.join();
    // Every even entry was visited once, in order, and is still there.
    std::vector<Tracked *> evens;
    for (Tracked *t : visited)
        if ((t - data.data()) % 2 == 0)
            evens.push_back(t);
    ASSERT_EQ(evens.size(), size_t(kEntries / 2));
    for (size_t i = 0; i < evens.size(); ++i)
        EXPECT_EQ(evens[i], &data[2 * i]);
    for (int i = 0; i < kEntries; ++i)
        EXPECT_EQ(data[i].destroyed, i % 2) << i;

    // A walk that releases with the removed mark empties the list.
    int count = 0;
    list.Walk([&](ListEntry *) { ++count; }, true);
    EXPECT_EQ(count, kEntries / 2);
    EXPECT_TRUE(list.WaitUntilEmpty(0));
    for (int i = 0; i < kEntries; ++i)
        EXPECT_EQ(data[i].destroyed, 1) << i;
}

std::unique_ptr<ReqMsg> Message(uint32_t type) { return CreateMessage(type); }

TEST(AuthrelayQueue, MessagesComeOutInTheOrderTheyWentIn)
{
    QueueImpl queue;
    EXPECT_EQ(queue.Dequeue(), nullptr);
    for (uint32_t t = 0; t < 5; ++t)
        queue.Enqueue(Message(t));
    for (uint32_t t = 0; t < 5; ++t) {
        auto m = queue.Dequeue();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->GetType(), t);
    }
    EXPECT_EQ(queue.Dequeue(), nullptr);
    queue.Enqueue(Message(9)); // left queued: destroyed with the queue
}

TEST(AuthrelayQueue, ConcurrentWorkersTakeEachMessageExactlyOnce)
{
    QueueImpl queue;
    constexpr uint32_t kProducers = 2, kEach = 500;
    std::atomic<uint32_t> produced{0};
    std::vector<std::thread> threads;
    for (uint32_t p = 0; p < kProducers; ++p)
        threads.emplace_back([&, p] {
            for (uint32_t i = 0; i < kEach; ++i) {
                queue.Enqueue(Message(p * kEach + i));
                ++produced;
            }
        });
    std::mutex seenLock;
    std::multiset<uint32_t> seen;
    std::vector<uint32_t> lastPerProducer(kProducers * 3, 0);
    std::atomic<bool> ordered{true};
    for (int w = 0; w < 3; ++w)
        threads.emplace_back([&] {
            for (;;) {
                bool done = produced == kProducers * kEach;
                auto m = queue.Dequeue();
                if (!m) {
                    if (done)
                        return;
                    std::this_thread::yield();
                    continue;
                }
                std::lock_guard<std::mutex> g(seenLock);
                seen.insert(m->GetType());
            }
        });
    for (auto &t : threads)
        t.join();
    ASSERT_EQ(seen.size(), kProducers * kEach);
    for (uint32_t v = 0; v < kProducers * kEach; ++v)
        ASSERT_EQ(seen.count(v), 1u) << v;
}

uint32_t ReturnSeven(void *) { return 7; }

uint32_t RecordOwnId(void *p)
{
    *static_cast<uint32_t *>(p) = CurrentThreadId();
    return 0;
}

TEST(AuthrelayThread, JoinReturnsTheExitCodeOfAThreadThatEnds)
{
    LogCapture log;
    ThreadRecord record;
    StartThread(record, ReturnSeven, nullptr);
    EXPECT_NE(record.id, 0u);
    EXPECT_EQ(JoinThread(record, kInfinite), 7u);
    EXPECT_EQ(JoinThread(record, 60000), 7u);
    CloseThread(record);
    EXPECT_EQ(log.Text(), "");

    uint32_t seenId = 0;
    StartThread(record, RecordOwnId, &seenId);
    uint32_t id = record.id;
    EXPECT_EQ(JoinThread(record, kInfinite), 0u);
    EXPECT_EQ(seenId, id);
    CloseThread(record);
}

// What a stuck thread uses, kept alive by the thread itself.
struct StuckWork {
    Gate release;
    std::promise<void> finished;
    int value = 42;
};

uint32_t BlockUntilReleased(void *p)
{
    auto *work = static_cast<StuckWork *>(p);
    work->release.Wait();
    return static_cast<uint32_t>(work->value);
}

TEST(AuthrelayThread, ThreadThatDoesNotEndIsWarnedAboutAndGivenUpWithCodeTwo)
{
    LogCapture log;
    std::future<void> gone;
    StuckWork *work;
    {
        auto shared = std::shared_ptr<StuckWork>(new StuckWork, [](StuckWork *w) {
            auto done = std::move(w->finished);
            delete w;
            done.set_value();
        });
        work = shared.get();
        gone = work->finished.get_future();
        ThreadRecord record;
        StartThread(record, BlockUntilReleased, work, shared);
        char expected[64];
        snprintf(expected, sizeof expected, "WARN|Thread 0x%X not responding: terminating", record.id);
        EXPECT_EQ(JoinThread(record, 20), kTerminatedExitCode);
        EXPECT_TRUE(log.Contains(expected)) << log.Text();
        CloseThread(record);
    }
    // The abandoned thread still runs on live data, and frees it when done.
    work->release.Open();
    gone.wait();
}

} // namespace
