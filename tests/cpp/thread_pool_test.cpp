// The thread pool on its own: every index served once by the part `range` names, errors carried
// back after every part ends, and a checked job that commits everywhere or nowhere.
#include "game/batch/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace tavrin::batch {
namespace {

TEST(ThreadPool, EveryIndexOnceByItsPartAcrossManyJobs) {
    for (std::size_t threads : {1, 2, 3, 5}) {
        ThreadPool pool(threads);
        EXPECT_EQ(pool.threads(), threads);
        for (std::size_t n : {0, 1, 2, 7, 100, 1001}) {
            for (int job = 0; job < 50; ++job) {  // back to back: hand-overs between jobs
                std::vector<std::atomic<int>> seen(n);
                pool.run(n, [&](std::size_t part, std::size_t begin, std::size_t end) {
                    const auto [b, e] = ThreadPool::range(n, threads, part);
                    ASSERT_EQ(b, begin);
                    ASSERT_EQ(e, end);
                    for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
                });
                for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i].load(), 1) << n << " " << i;
            }
        }
    }
}

TEST(ThreadPool, AnErrorComesBackAfterEveryPartEnded) {
    ThreadPool pool(3);
    std::atomic<int> finished{0};
    EXPECT_THROW(pool.run(30,
                          [&](std::size_t part, std::size_t, std::size_t) {
                              if (part == 1) throw std::runtime_error("part 1");
                              finished.fetch_add(1);
                          }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 2);
    std::atomic<int> after{0};  // the pool still works
    pool.run(30, [&](std::size_t, std::size_t begin, std::size_t end) { after.fetch_add(int(end - begin)); });
    EXPECT_EQ(after.load(), 30);
}

TEST(ThreadPool, ACheckedJobCommitsEverywhereOrNowhere) {
    ThreadPool pool(4);
    for (int refused_part = -1; refused_part < 4; ++refused_part) {
        std::atomic<int> commits{0};
        const bool ran = pool.run_checked(
            40, [&](std::size_t part, std::size_t, std::size_t) { return static_cast<int>(part) != refused_part; },
            [&](std::size_t, std::size_t begin, std::size_t end) { commits.fetch_add(int(end - begin)); });
        EXPECT_EQ(ran, refused_part < 0);
        EXPECT_EQ(commits.load(), refused_part < 0 ? 40 : 0);
    }
}

}  // namespace
}  // namespace tavrin::batch
