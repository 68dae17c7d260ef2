// Large blocks on the kernel's transparent huge pages, where it offers them
// on request: a 2 MiB page is faulted in (and zeroed) once instead of 512
// small ones, and the random reads of a large table miss the TLB far less.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorix {

// Blocks from this size up are placed on huge pages.
inline constexpr std::size_t kLargeBlock = std::size_t{4} << 20;
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Room for `bytes` bytes; contents undefined. Release with release_block.
inline void* allocate_block(std::size_t bytes) {
    if (bytes < kLargeBlock) {
        void* block = std::malloc(bytes == 0 ? 1 : bytes);
        if (block == nullptr) throw std::bad_alloc();
        return block;
    }
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    // Only a hint: where the kernel says no, the block has small pages.
    (void)madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return block;
}

inline void release_block(void* block) noexcept { std::free(block); }

// An allocator of such blocks.
template <class T>
class LargePageAllocator {
public:
    using value_type = T;
    LargePageAllocator() noexcept = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_block(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t) noexcept { release_block(block); }

    template <class U>
    friend bool operator==(const LargePageAllocator&, const LargePageAllocator<U>&) noexcept {
        return true;
    }
};

}  // namespace quorix
