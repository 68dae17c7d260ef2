// Vectors whose elements start uninitialized: for large buffers that a
// parallel loop fills completely, so that no thread zeroes them first and the
// first touch of their pages is shared out with the work. Large ones sit on
// huge pages.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "engine/large_blocks.hpp"

namespace quorix {

template <class T, class Base = LargeBlockAllocator<T>>
class DefaultInitAllocator : public Base {
public:
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };
    using Base::Base;
    DefaultInitAllocator() = default;
    template <class U, class B>
    DefaultInitAllocator(const DefaultInitAllocator<U, B>& other) noexcept : Base(other) {}

    // resize(n) and vector(n) default-initialize: trivial types keep whatever
    // the memory held.
    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        std::allocator_traits<Base>::construct(static_cast<Base&>(*this), place,
                                               std::forward<Args>(args)...);
    }
};

template <class T>
using UninitializedVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace quorix
