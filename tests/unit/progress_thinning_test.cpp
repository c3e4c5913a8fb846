#include <gtest/gtest.h>

#include <vector>

#include "job/progress_thinning.h"

namespace {

struct Posted {
    std::uint32_t count = 0;
    std::uint32_t firstDone = 0;
    std::uint32_t lastDone = 0;
};

// A download of `total` bytes in blocks of `block`, one block every `msPerBlock` ms.
Posted download(std::uint32_t total, std::uint32_t block, std::uint32_t msPerBlock,
                std::uint32_t startTick = 0) {
    ProgressThinning thinning;
    Posted posted;
    std::uint32_t now = startTick;
    for (std::uint32_t done = 0; done < total; now += msPerBlock) {
        done = total - done < block ? total : done + block;
        if (thinning.shouldPost(total, done, now)) {
            posted.firstDone = posted.count == 0 ? done : posted.firstDone;
            posted.lastDone = done;
            ++posted.count;
        }
    }
    return posted;
}

TEST(ProgressThinning, PostsTheFirstTheLastOnePerThousandthAnd50MsAndOneASecond) {
    constexpr std::uint32_t kMiB = 1024 * 1024;
    const struct {
        std::uint32_t total, block, msPerBlock, startTick, minPosts, maxPosts;
    } cases[] = {
        {64 * kMiB, 16384, 1, 0, 80, 85},            // fast: one per 50 ms
        {64 * kMiB, 16384, 100, 0, 800, 821},        // slow: one per thousandth
        {1024 * kMiB, 16384, 10, 0, 990, 1001},      // 65,536 blocks, still about 1000
        {1024 * kMiB, 16384, 100, 0, 6550, 6560},    // a thousandth takes 6.4 s: one a second
        {3000, 1000, 0, 0, 2, 2},                    // small and instant: first and last
        {64 * kMiB, 16384, 1, 0xFFFFFF00u, 80, 85},  // across the tick counter's wrap
        {1, 1, 0, 0, 1, 1},
    };
    for (const auto& c : cases) {
        const Posted posted = download(c.total, c.block, c.msPerBlock, c.startTick);
        EXPECT_GE(posted.count, c.minPosts) << c.total << " " << c.msPerBlock;
        EXPECT_LE(posted.count, c.maxPosts) << c.total << " " << c.msPerBlock;
        EXPECT_EQ(posted.firstDone, c.block < c.total ? c.block : c.total);
        EXPECT_EQ(posted.lastDone, c.total);
    }
}

TEST(ProgressThinning, NeverPostsAFallOfTheSameTotal) {
    ProgressThinning thinning;
    EXPECT_TRUE(thinning.shouldPost(3000, 3000, 0));
    // The same file fetched again from nothing, long after: below what the host has seen.
    for (std::uint32_t done = 1000; done <= 3000; done += 1000) {
        EXPECT_FALSE(thinning.shouldPost(3000, done, done * 100)) << done;
    }
    EXPECT_TRUE(thinning.shouldPost(6000, 1000, 1000000));  // another total starts anew
}

}  // namespace
