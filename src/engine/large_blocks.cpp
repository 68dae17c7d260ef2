// Large blocks, mapped apart and kept for reuse within a call.
#include "engine/large_blocks.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace quorix {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// A mapping aligned to a huge page: mapped with room to spare, the spare cut off.
void* map_block(std::size_t size) {
    const std::size_t spare = size + kHugePage;
    void* mapped = mmap(nullptr, spare, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned != start) munmap(mapped, aligned - start);
    const std::uintptr_t end = aligned + size;
    if (end != start + spare) munmap(reinterpret_cast<void*>(end), start + spare - end);
#if defined(MADV_HUGEPAGE)
    // Only a hint: where the kernel says no, the block has small pages.
    (void)madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

struct Region {
    char* start = nullptr;
    std::size_t size = 0;
};

// The scopes this thread has open.
thread_local std::size_t scopes_of_this_thread = 0;

// The kept blocks: a fixed table, so that keeping one never allocates.
class Keeper {
public:
    void open() noexcept {
        const std::lock_guard lock(mutex_);
        ++scopes_;
        ++scopes_of_this_thread;
    }

    void close() noexcept {
        const std::lock_guard lock(mutex_);
        --scopes_of_this_thread;
        if (--scopes_ == 0) give_back();
    }

    // A fork copies the scopes of every thread but keeps only the forking
    // one: in the child, the other threads' scopes never close. The table is
    // held across the fork so that the child finds it whole, and the child
    // then counts only its own thread's scopes.
    void before_fork() noexcept { mutex_.lock(); }
    void after_fork_in_parent() noexcept { mutex_.unlock(); }
    void after_fork_in_child() noexcept {
        scopes_ = scopes_of_this_thread;
        if (scopes_ == 0) give_back();
        mutex_.unlock();
    }

    // The front of the smallest kept region that holds `size`, or null.
    void* take(std::size_t size) noexcept {
        const std::lock_guard lock(mutex_);
        Region* best = nullptr;
        for (Region& region : regions_) {
            if (region.size >= size && (best == nullptr || region.size < best->size)) best = &region;
        }
        if (best == nullptr) return nullptr;
        char* block = best->start;
        best->start += size;
        best->size -= size;
        return block;
    }

    // False when the block is not kept: no scope is open, or the table is full.
    bool keep(void* block, std::size_t size) noexcept {
        const std::lock_guard lock(mutex_);
        if (scopes_ == 0) return false;
        for (Region& region : regions_) {
            if (region.size == 0) {
                region = {static_cast<char*>(block), size};
                return true;
            }
        }
        return false;
    }

private:
    void give_back() noexcept {
        for (Region& region : regions_) {
            if (region.size != 0) munmap(region.start, region.size);
            region = {};
        }
    }

    std::mutex mutex_;
    std::size_t scopes_ = 0;
    std::array<Region, 64> regions_{};
};

Keeper& make_keeper() noexcept {
    static Keeper instance;  // never destroyed before the blocks it lent
    pthread_atfork([] { instance.before_fork(); }, [] { instance.after_fork_in_parent(); },
                   [] { instance.after_fork_in_child(); });
    return instance;
}

Keeper& keeper() noexcept {
    static Keeper& instance = make_keeper();
    return instance;
}

}  // namespace

void* allocate_block(std::size_t bytes) {
    if (bytes < kLargeBlock) {
        void* block = std::malloc(bytes == 0 ? 1 : bytes);
        if (block == nullptr) throw std::bad_alloc();
        return block;
    }
    const std::size_t size = rounded(bytes);
    if (void* block = keeper().take(size)) return block;
    return map_block(size);
}

void release_block(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes < kLargeBlock) {
        std::free(block);
        return;
    }
    const std::size_t size = rounded(bytes);
    if (!keeper().keep(block, size)) munmap(block, size);
}

BlockReuse::BlockReuse() noexcept { keeper().open(); }
BlockReuse::~BlockReuse() { keeper().close(); }

}  // namespace quorix
