// Large blocks: kept and handed out again only while a BlockReuse is open,
// and every kept block returned when the last one closes.
#include "engine/large_blocks.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace quorix {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Whether every page of a large block is still mapped: a kept block is, one
// given back to the kernel is not.
bool mapped(const void* block, std::size_t bytes) {
    return msync(const_cast<void*>(block), bytes, MS_ASYNC) == 0;
}

TEST(LargeBlocks, AReleasedBlockIsReusedWholeOrCutOnlyWithinAScope) {
    void* outside = allocate_block(8 * kMiB);
    std::memset(outside, 1, 8 * kMiB);  // mapped and writable
    release_block(outside, 8 * kMiB);
    EXPECT_FALSE(mapped(outside, 8 * kMiB));  // no scope: straight back to the kernel
    char* first = nullptr;
    void* big = nullptr;
    {
        const BlockReuse outer;
        first = static_cast<char*>(allocate_block(16 * kMiB));
        std::memset(first, 2, 16 * kMiB);
        release_block(first, 16 * kMiB);
        EXPECT_TRUE(mapped(first, 16 * kMiB));
        {
            const BlockReuse inner;
            // Smaller blocks are cut from the kept one, end to end.
            char* a = static_cast<char*>(allocate_block(5 * kMiB));  // 6 MiB in whole huge pages
            char* b = static_cast<char*>(allocate_block(4 * kMiB));
            char* rest = static_cast<char*>(allocate_block(6 * kMiB));
            EXPECT_EQ(a, first);
            EXPECT_EQ(b, a + 6 * kMiB);
            EXPECT_EQ(rest, b + 4 * kMiB);
            std::memset(a, 3, 5 * kMiB);
            std::memset(b, 4, 4 * kMiB);
            // A block larger than any kept one is mapped afresh.
            big = allocate_block(32 * kMiB);
            EXPECT_NE(big, static_cast<void*>(a));
            release_block(big, 32 * kMiB);
            release_block(a, 5 * kMiB);
            release_block(b, 4 * kMiB);
            release_block(rest, 6 * kMiB);
        }
        // The inner scope closing keeps them.
        EXPECT_TRUE(mapped(first, 16 * kMiB));
        EXPECT_TRUE(mapped(big, 32 * kMiB));
        // Small blocks come from the heap and are never kept: the kept ones serve the next large block.
        void* small = allocate_block(1024);
        release_block(small, 1024);
        void* again = allocate_block(32 * kMiB);
        EXPECT_EQ(again, big);
        release_block(again, 32 * kMiB);
    }
    EXPECT_FALSE(mapped(first, 16 * kMiB));
    EXPECT_FALSE(mapped(big, 32 * kMiB));
}

TEST(LargeBlocks, ThreadsShareTheKeptBlocks) {
    const BlockReuse reuse;
    // A block one thread gives back is what the next thread gets.
    void* given = nullptr;
    void* taken = nullptr;
    std::thread([&] { release_block(given = allocate_block(8 * kMiB), 8 * kMiB); }).join();
    std::thread([&] { taken = allocate_block(8 * kMiB); }).join();
    EXPECT_EQ(taken, given);
    release_block(taken, 8 * kMiB);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                const std::size_t size = (4 + static_cast<std::size_t>((t + i) % 5)) * kMiB;
                auto* block = static_cast<unsigned char*>(allocate_block(size));
                block[0] = block[size - 1] = static_cast<unsigned char>(i);
                release_block(block, size);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

// A fork while another thread has a scope open: that thread does not exist
// in the child, so its scope never closes there. The child counts only the
// scopes of the thread that forked, and keeps nothing between its own calls.
TEST(LargeBlocks, AForkedChildStartsWithOnlyItsOwnScopes) {
    for (const bool forker_in_a_scope : {false, true}) {
        std::atomic<bool> opened{false}, forked{false};
        void* holders = nullptr;
        std::thread holder([&] {
            const BlockReuse other_threads_call;
            holders = allocate_block(8 * kMiB);
            release_block(holders, 8 * kMiB);
            opened = true;
            while (!forked) std::this_thread::yield();
        });
        while (!opened) std::this_thread::yield();
        std::optional<BlockReuse> own;
        if (forker_in_a_scope) own.emplace();
        const pid_t child = fork();
        if (child == 0) {
            // Plain checks: no gtest machinery in the child.
            int failed = 0;
            void* block = allocate_block(8 * kMiB);
            release_block(block, 8 * kMiB);
            if (forker_in_a_scope) {
                failed |= !mapped(block, 8 * kMiB) ? 1 : 0;  // its own scope still keeps
                own.reset();
            }
            failed |= mapped(block, 8 * kMiB) || mapped(holders, 8 * kMiB) ? 2 : 0;
            _exit(failed);
        }
        forked = true;
        holder.join();
        own.reset();
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "in a scope: " << forker_in_a_scope;
        EXPECT_FALSE(mapped(holders, 8 * kMiB));
    }
}

}  // namespace
}  // namespace quorix
