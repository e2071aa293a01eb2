// The converter's threads: one thread starts none, jobs end before their batch goes, the writer puts
// pieces out in order one at a time and stops at a failed write, and the cores follow the affinity and
// the cgroup's CPU quota.
#include "common/cores.h"
#include "engine/engine.h"

#include "tool_test_support.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tovanel::tools::engine {
namespace {

std::size_t ThreadsOfThisProcess()
{
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

TEST(Pool, OneThreadStartsNoneAndRunsEachJobAtOnce)
{
    const std::size_t before = ThreadsOfThisProcess();
    Pool pool(1);
    Batch batch(pool);
    int ran = 0;
    const std::thread::id caller = std::this_thread::get_id();
    for (int i = 0; i < 10; ++i) {
        batch.add([&] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            ++ran;
        });
        EXPECT_EQ(ran, i + 1) << "queued instead of run";
    }
    EXPECT_EQ(ThreadsOfThisProcess(), before);
}

TEST(Pool, ThreadsAsAskedCappedOrTheUsableCores)
{
    EXPECT_EQ(Pool(3).threads(), 3u);
    EXPECT_EQ(Pool(1000).threads(), kMaxThreads);
    EXPECT_EQ(Pool(0).threads(), UsableCores());
}

// Jobs run on the pool's threads and the caller; their "then" runs under the pool's lock, so a plain
// counter it keeps is what until() sees; a job that throws fails the batch and skips its "then".
TEST(Pool, EveryJobEndsAndThenIsSeenByUntil)
{
    for (const unsigned threads : {2u, 4u}) {
        Pool pool(threads);
        std::atomic<int> ran{0};
        int recorded = 0;
        {
            Batch batch(pool);
            for (int i = 0; i < 500; ++i)
                batch.add(
                    [&ran, i] {
                        if (i == 250)
                            throw std::runtime_error("no memory");
                        ++ran;
                    },
                    [&recorded] { ++recorded; });
            batch.until([&] { return recorded >= 100; });
            EXPECT_GE(recorded, 100);
            batch.wait();
            EXPECT_TRUE(batch.failed());
            EXPECT_EQ(recorded, 499);
            // Nothing is left that could make it hold: it returns.
            batch.until([] { return false; });
        }
        EXPECT_EQ(ran, 499) << threads << " threads";
    }
}

TEST(Pool, ABatchWaitsForItsJobsWhenItGoes)
{
    Pool pool(4);
    std::vector<int> done(64, 0);
    {
        Batch batch(pool);
        for (int& d : done)
            batch.add([&d] {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                d = 1;
            });
    }
    EXPECT_EQ(std::accumulate(done.begin(), done.end(), 0), 64);
}

// Pieces done in any order on several threads go out in order, one at a time; a stream-like caller
// that keeps at most `window` pieces under way reuses their places.
struct WriterRow {
    const char* name;
    unsigned threads;
    std::size_t pieces, window, failAt;  // failAt: the piece whose put fails; pieces for none
};
class Writer : public ::testing::TestWithParam<WriterRow> {};

TEST_P(Writer, PutsPiecesOutInOrderOneAtATime)
{
    const WriterRow& row = GetParam();
    Pool pool(row.threads);
    std::vector<std::size_t> put;
    std::atomic<bool> inside{false};
    InOrder writer(row.window, [&](std::size_t i) {
        EXPECT_FALSE(inside.exchange(true)) << "two puts at once";
        if (i != row.failAt)
            put.push_back(i);
        inside = false;
        return i != row.failAt;
    });
    std::vector<std::size_t> order(row.pieces);
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 rng(7);
    Batch batch(pool);
    for (std::size_t at = 0; at < row.pieces; at += row.window) {
        // Each window's pieces finish in a shuffled order, some after a pause.
        const std::size_t end = std::min(row.pieces, at + row.window);
        std::shuffle(order.begin() + at, order.begin() + end, rng);
        for (std::size_t k = at; k < end; ++k)
            batch.add([&writer, i = order[k]] {
                if (i % 3 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                writer.done(i);
            });
        batch.until([&] { return writer.failed() || writer.out() == end; });
        if (writer.failed())
            break;
    }
    batch.wait();
    std::vector<std::size_t> expected(std::min(row.pieces, row.failAt));
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(put, expected);
    EXPECT_EQ(writer.out(), expected.size());
    EXPECT_EQ(writer.failed(), row.failAt < row.pieces);
}

INSTANTIATE_TEST_SUITE_P(Rows, Writer,
                         ::testing::Values(WriterRow{"AllAtOnce", 4, 300, 300, 300},
                                           WriterRow{"SmallWindow", 3, 300, 4, 300},
                                           WriterRow{"OneThread", 1, 40, 2, 40},
                                           WriterRow{"StopsAtAFailedPut", 4, 300, 300, 120},
                                           WriterRow{"StopsAtTheFirst", 2, 50, 8, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The other threads keep off the caller's core and the caller to it while the pool lives; on one
// core nothing is kept; the caller gets its cores back when the pool goes.
struct KeptRow {
    const char* name;
    bool oneCore;
    unsigned threads;
};
class KeptOffTheCallersCore : public ::testing::TestWithParam<KeptRow> {};

TEST_P(KeptOffTheCallersCore, UntilThePoolGoes)
{
    const KeptRow& row = GetParam();
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    if (!row.oneCore && CPU_COUNT(&before) < 2)
        GTEST_SKIP() << "this machine lets the test run on one core only";
    cpu_set_t mine = before;
    if (row.oneCore) {
        CPU_ZERO(&mine);
        CPU_SET(sched_getcpu(), &mine);
        ASSERT_EQ(sched_setaffinity(0, sizeof mine, &mine), 0);
    }
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<cpu_set_t> others;
    cpu_set_t during;
    {
        Pool pool(row.threads);
        Batch batch(pool);
        std::atomic<unsigned> arrived{0};
        for (unsigned i = 0; i + 1 < row.threads; ++i)
            batch.add(
                [&] {
                    // Every job waits for the others, so that each runs on a thread of its own.
                    for (++arrived; arrived < row.threads - 1;)
                        std::this_thread::yield();
                },
                [&] {
                    cpu_set_t own;
                    sched_getaffinity(0, sizeof own, &own);
                    EXPECT_NE(std::this_thread::get_id(), caller);
                    others.push_back(own);
                });
        // The caller takes no job before the other threads have taken them all.
        while (arrived < row.threads - 1)
            std::this_thread::yield();
        batch.wait();
        sched_getaffinity(0, sizeof during, &during);
    }
    cpu_set_t after;
    sched_getaffinity(0, sizeof after, &after);
    sched_setaffinity(0, sizeof before, &before);
    EXPECT_TRUE(CPU_EQUAL(&after, &mine));
    ASSERT_FALSE(others.empty());
    if (row.oneCore) {
        EXPECT_TRUE(CPU_EQUAL(&during, &mine));
        for (const cpu_set_t& own : others)
            EXPECT_TRUE(CPU_EQUAL(&own, &mine));
        return;
    }
    EXPECT_EQ(CPU_COUNT(&during), 1);
    for (const cpu_set_t& own : others) {
        cpu_set_t shared, all;
        CPU_AND(&shared, &own, &during);
        CPU_OR(&all, &own, &during);
        EXPECT_EQ(CPU_COUNT(&shared), 0);
        EXPECT_TRUE(CPU_EQUAL(&all, &mine));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, KeptOffTheCallersCore,
                         ::testing::Values(KeptRow{"OneOther", false, 2}, KeptRow{"ThreeOthers", false, 4},
                                           KeptRow{"OneCore", true, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Cores: the affinity, and the CPU quota of the process's cgroup and those above it.

struct CgroupRow {
    const char* name;
    const char* cgroups;  // as /proc/self/cgroup has it
    std::vector<std::pair<const char*, const char*>> files;  // under the root
    unsigned cores;
};
class Cgroups : public ::testing::TestWithParam<CgroupRow> {};

TEST_P(Cgroups, QuotaInCoresRoundedUp)
{
    const CgroupRow& row = GetParam();
    test::TempDir root;
    for (const auto& [path, text] : row.files) {
        const std::filesystem::path file = root.path() + path;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    EXPECT_EQ(Tovanel::CgroupCores(root.path(), row.cgroups), row.cores);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Cgroups,
    ::testing::Values(
        CgroupRow{"NoQuota", "0::/a\n", {{"/a/cpu.max", "max 100000\n"}}, 0},
        CgroupRow{"V2RoundedUp", "0::/a/b\n", {{"/a/b/cpu.max", "150000 100000\n"}}, 2},
        CgroupRow{"V2ParentLower", "0::/a/b\n", {{"/a/b/cpu.max", "max 100000\n"}, {"/a/cpu.max", "50000 100000\n"}}, 1},
        CgroupRow{"V2AtTheRoot", "0::/\n", {{"/cpu.max", "400000 100000\n"}}, 4},
        CgroupRow{"V2BesideV1", "4:memory:/m\n0::/s\n", {{"/unified/s/cpu.max", "300000 100000\n"}}, 3},
        CgroupRow{"V1Quota", "5:cpu,cpuacct:/x\n4:memory:/x\n",
                  {{"/cpu,cpuacct/x/cpu.cfs_quota_us", "250000\n"}, {"/cpu,cpuacct/x/cpu.cfs_period_us", "100000\n"}}, 3},
        CgroupRow{"V1Unlimited", "3:cpu:/x\n",
                  {{"/cpu/x/cpu.cfs_quota_us", "-1\n"}, {"/cpu/x/cpu.cfs_period_us", "100000\n"}}, 0},
        CgroupRow{"V1OtherControllersOnly", "4:cpuacct,cpuset:/x\n",
                  {{"/cpuacct,cpuset/x/cpu.cfs_quota_us", "100000\n"}, {"/cpuacct,cpuset/x/cpu.cfs_period_us", "100000\n"}},
                  0},
        CgroupRow{"Garbage", "nonsense\n0::relative\n", {{"/cpu.max", "1 0\n"}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Cores, FollowTheAffinity)
{
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    EXPECT_LE(UsableCores(), static_cast<unsigned>(std::min<int>(CPU_COUNT(&before), kMaxThreads)));
    EXPECT_GE(UsableCores(), 1u);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(UsableCores(), 1u);
    EXPECT_EQ(Pool(0).threads(), 1u);
    sched_setaffinity(0, sizeof before, &before);
}

}  // namespace
}  // namespace tovanel::tools::engine
