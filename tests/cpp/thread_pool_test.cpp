// The thread pool on its own: every index served once, in chunks whatever thread is slow, errors
// carried back after every chunk taken ended, and a checked job that commits everywhere or nowhere.
#include "game/batch/thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tavrin::batch {
namespace {

// Resets the test delay when a test ends, passed or not.
struct Delay {
    Delay(std::size_t slot, unsigned us) { ThreadPool::delay_slot_for_tests(slot, us); }
    ~Delay() { ThreadPool::delay_slot_for_tests(0, 0); }
};

TEST(ThreadPool, EveryIndexOnceInChunksWhicheverThreadIsLate) {
    for (std::size_t threads : {1, 2, 3, 5}) {
        for (std::size_t late : {0, 1}) {
            ThreadPool pool(threads);
            EXPECT_EQ(pool.threads(), threads);
            const Delay delay(late, late == 0 ? 0 : 300);
            for (std::size_t n : {0, 1, 2, 7, 100, 1001}) {
                for (int job = 0; job < 20; ++job) {  // back to back: hand-overs between jobs
                    std::vector<std::atomic<int>> seen(n);
                    std::mutex mutex;
                    std::vector<std::pair<std::size_t, std::size_t>> ranges;
                    pool.run(n, [&](std::size_t slot, std::size_t begin, std::size_t end) {
                        ASSERT_LT(slot, threads);
                        ASSERT_LT(begin, end);
                        for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
                        std::lock_guard lock(mutex);
                        ranges.emplace_back(begin, end);
                    });
                    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i].load(), 1) << n << " " << i;
                    // Consecutive chunks of one size but the last, or the whole range when the
                    // caller ran the job alone, so results never depend on how the work was cut.
                    std::sort(ranges.begin(), ranges.end());
                    const std::size_t chunk = ranges.size() == 1 ? n : ThreadPool::chunk_size(n, threads);
                    for (std::size_t k = 0; k < ranges.size(); ++k) {
                        EXPECT_EQ(ranges[k].first, k * chunk);
                        EXPECT_EQ(ranges[k].second, std::min(n, (k + 1) * chunk));
                    }
                }
            }
        }
    }
}

// A thread the system parks holds up only the chunk it is on: the others take the rest, and then
// do without it for a while.
TEST(ThreadPool, AParkedThreadLeavesTheRestToTheOthers) {
    ThreadPool pool(2);
    const Delay delay(1, 20000);
    std::atomic<std::size_t> by_caller{0};
    pool.run(256, [&](std::size_t slot, std::size_t begin, std::size_t end) {
        if (slot == 0) by_caller.fetch_add(end - begin);
    });
    EXPECT_GE(by_caller.load(), 256 - ThreadPool::chunk_size(256, 2));
    // The threads lost time to it, so the caller runs the next jobs alone, in one range.
    std::vector<std::size_t> calls;
    pool.run(256, [&](std::size_t slot, std::size_t begin, std::size_t end) { calls.insert(calls.end(), {slot, begin, end}); });
    EXPECT_EQ(calls, (std::vector<std::size_t>{0, 0, 256}));
}

TEST(ThreadPool, AnErrorComesBackAfterEveryChunkTakenEnded) {
    ThreadPool pool(3);
    std::atomic<int> running{0}, finished{0};
    EXPECT_THROW(pool.run(300,
                          [&](std::size_t, std::size_t begin, std::size_t) {
                              running.fetch_add(1);
                              if (begin == 0) throw std::runtime_error("chunk 0");
                              finished.fetch_add(1);
                              running.fetch_sub(1);
                          }),
                 std::runtime_error);
    EXPECT_EQ(running.load(), 1);  // only the chunk that threw did not finish
    EXPECT_LT(finished.load(), 300 / static_cast<int>(ThreadPool::chunk_size(300, 3)));
    std::atomic<int> after{0};  // the pool still works
    pool.run(30, [&](std::size_t, std::size_t begin, std::size_t end) { after.fetch_add(int(end - begin)); });
    EXPECT_EQ(after.load(), 30);
}

TEST(ThreadPool, ACheckedJobCommitsEverywhereOrNowhereAndChecksBelowARefusal) {
    ThreadPool pool(4);
    for (int refused = -1; refused < 40; refused += 13) {
        std::atomic<int> commits{0}, checked_below{0};
        const bool ran = pool.run_checked(
            40,
            [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    if (static_cast<int>(i) == refused) return false;
                    if (static_cast<int>(i) < refused) checked_below.fetch_add(1);
                }
                return true;
            },
            [&](std::size_t, std::size_t begin, std::size_t end) { commits.fetch_add(int(end - begin)); });
        EXPECT_EQ(ran, refused < 0);
        EXPECT_EQ(commits.load(), refused < 0 ? 40 : 0);
        EXPECT_EQ(checked_below.load(), std::max(refused, 0));
    }
}

}  // namespace
}  // namespace tavrin::batch
