// Large blocks of memory: on the kernel's transparent huge pages where it
// offers them on request (a 2 MiB page is faulted in and zeroed once instead
// of 512 small ones, and random reads of a large table miss the TLB far
// less), and reused within a call. Fresh pages cost the kernel's zeroing on
// first touch, a large part of a call's time at tens of millions of rows, so
// while a BlockReuse is open a released block is kept and handed out again,
// whole or cut, instead of being returned to the kernel; when the last one
// closes, every kept block goes back. Nothing is kept between calls.
#pragma once

#include <cstddef>
#include <new>

namespace quorix {

// Blocks from this size up are mapped apart, on huge pages.
inline constexpr std::size_t kLargeBlock = std::size_t{4} << 20;

// Room for `bytes` bytes, contents undefined (a reused block holds what its
// last user left). Throws std::bad_alloc. Release with the same size.
void* allocate_block(std::size_t bytes);
void release_block(void* block, std::size_t bytes) noexcept;

// Keeps released blocks for reuse while it lives (scopes nest, on any thread).
class BlockReuse {
public:
    BlockReuse() noexcept;
    ~BlockReuse();
    BlockReuse(const BlockReuse&) = delete;
    BlockReuse& operator=(const BlockReuse&) = delete;
};

// An allocator of such blocks.
template <class T>
class LargeBlockAllocator {
public:
    using value_type = T;
    LargeBlockAllocator() noexcept = default;
    template <class U>
    LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_block(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t n) noexcept { release_block(block, n * sizeof(T)); }

    template <class U>
    friend bool operator==(const LargeBlockAllocator&, const LargeBlockAllocator<U>&) noexcept {
        return true;
    }
};

}  // namespace quorix
