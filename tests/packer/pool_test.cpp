// The encoding pool on its own: which file a free worker takes, what keeps planning
// back, and that results come back in submission order whatever ran first.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "packer/encoding.h"

namespace {

// Work that notes the order files start in and holds the files named in `held` until
// they are let go.
struct Gated {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<size_t> started;
    std::set<size_t> held, ringHeld;

    EncodedBody Run(const FilePlan& plan, const RingDone& ringDone) {
        std::unique_lock<std::mutex> lock(mutex);
        started.push_back(plan.entry);
        changed.notify_all();
        changed.wait(lock, [&] { return !ringHeld.count(plan.entry); });
        lock.unlock();
        if (ringDone) ringDone();
        lock.lock();
        changed.wait(lock, [&] { return !held.count(plan.entry); });
        EncodedBody body;
        body.bytes.assign(1, static_cast<uint8_t>(plan.entry));
        return body;
    }
    void Release(size_t entry) {
        std::lock_guard<std::mutex> lock(mutex);
        held.erase(entry);
        ringHeld.erase(entry);
        changed.notify_all();
    }
    void ReleaseRing(size_t entry) {
        std::lock_guard<std::mutex> lock(mutex);
        ringHeld.erase(entry);
        changed.notify_all();
    }
    // Waits until `n` files have started.
    void AwaitStarted(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return started.size() >= n; }));
    }
};

FilePlan PlanOf(size_t entry, uint64_t size) {
    FilePlan plan;
    plan.entry = entry;
    plan.size = size;
    return plan;
}

EncodingPool::Work WorkOf(Gated& gated) {
    return [&gated](const FilePlan& plan, EncoderKit&, const FedBytes&, const RingDone& ringDone) {
        return gated.Run(plan, ringDone);
    };
}

}  // namespace

TEST(EncodingPoolTest, AFreeWorkerTakesTheLargestWaitingFileAndResultsKeepTheirOrder) {
    Gated gated;
    gated.held = {0, 1};
    EncodingPool pool(2, WorkOf(gated), nullptr);
    pool.Submit(PlanOf(0, 10));
    pool.Submit(PlanOf(1, 10));
    gated.AwaitStarted(2);
    // Both workers are busy: these wait, and one worker then takes them largest first;
    // of equal sizes the earlier.
    pool.Submit(PlanOf(2, 5));
    pool.Submit(PlanOf(3, 900));
    pool.Submit(PlanOf(4, 70));
    pool.Submit(PlanOf(5, 70));
    gated.Release(0);
    gated.AwaitStarted(6);
    {
        std::lock_guard<std::mutex> lock(gated.mutex);
        EXPECT_EQ(gated.started, (std::vector<size_t>{0, 1, 3, 4, 5, 2}));
    }
    gated.Release(1);
    for (size_t i = 0; i < 6; ++i) {
        FilePlan plan;
        EncodedBody body = pool.Next(&plan);
        EXPECT_EQ(plan.entry, i);
        ASSERT_EQ(body.bytes.size(), 1u);
        EXPECT_EQ(body.bytes[0], i);
    }
    EXPECT_EQ(pool.Pending(), 0u);
}

TEST(EncodingPoolTest, OnlyFilesStillChoosingTheirReferenceHoldPlanningBack) {
    Gated gated;
    gated.held = {0};
    gated.ringHeld = {0, 1};
    EncodingPool pool(2, WorkOf(gated), nullptr);
    for (size_t i = 0; i < 4; ++i) pool.Submit(PlanOf(i, 100 - i));
    gated.AwaitStarted(2);
    // Files 0 and 1 read the ring, 2 and 3 wait to start: all four count.
    EXPECT_EQ(pool.ReadingRing(), 4u);

    uint64_t seen = pool.Changes();
    gated.ReleaseRing(0);  // file 0 goes on with its body, still not done
    pool.WaitForChange(seen);
    EXPECT_EQ(pool.ReadingRing(), 3u);
    EXPECT_FALSE(pool.NextReady());

    // File 1 done, and 2 and 3 after it on the same worker: nothing reads the ring,
    // while all four wait for file 0 to be written first.
    gated.Release(1);
    for (;;) {
        seen = pool.Changes();
        if (pool.ReadingRing() == 0) break;
        pool.WaitForChange(seen);
    }
    EXPECT_EQ(pool.Pending(), 4u);
    EXPECT_FALSE(pool.NextReady());
    gated.Release(0);
    for (size_t i = 0; i < 4; ++i) {
        FilePlan plan;
        pool.Next(&plan);
        EXPECT_EQ(plan.entry, i);
    }
}

TEST(EncodingPoolTest, AWaitForManyChangesEndsWhenTheNextFileToWriteIsDone) {
    // Planning waits for a batch of changes, but never past the moment the next body
    // can be written: only two changes come here, far fewer than asked for.
    Gated gated;
    gated.held = {0};
    EncodingPool pool(2, WorkOf(gated), nullptr);
    pool.Submit(PlanOf(0, 10));
    gated.AwaitStarted(1);
    const uint64_t seen = pool.Changes();
    std::thread release([&gated] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gated.Release(0);
    });
    pool.WaitForChange(seen, 1000);
    release.join();
    EXPECT_TRUE(pool.NextReady());
    FilePlan plan;
    EXPECT_EQ(pool.Next(&plan).bytes[0], 0);
}

TEST(EncodingPoolTest, OnOneThreadEachFileIsDoneWhenSubmitted) {
    Gated gated;
    EncodingPool pool(1, WorkOf(gated), nullptr);
    pool.Submit(PlanOf(0, 1));
    pool.Submit(PlanOf(1, 500));
    EXPECT_EQ(pool.ReadingRing(), 0u);
    EXPECT_TRUE(pool.NextReady());
    EXPECT_EQ(gated.started, (std::vector<size_t>{0, 1}));
    FilePlan plan;
    EXPECT_EQ(pool.Next(&plan).bytes[0], 0);
    EXPECT_EQ(pool.Next(&plan).bytes[0], 1);
}
