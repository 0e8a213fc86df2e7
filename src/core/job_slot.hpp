// Room for one asio job at a time, so that posting it needs no allocation: an event loop job
// bound (asio::bind_allocator) to a JobSlotAllocator takes its memory from the slot while the
// slot is free, and from the heap otherwise. asio releases a job's memory before running it,
// so a job that is posted once at a time always finds its slot free.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

namespace tyx {

struct JobSlot {
    alignas(std::max_align_t) unsigned char storage[256];
    std::atomic<bool> busy{false};
};

// `SlotPtr` is how the allocator holds its slot: a plain pointer when the slot outlives every
// job posted with it, a shared pointer when a job may outlive the slot's owner.
template <typename T, typename SlotPtr = JobSlot*>
class JobSlotAllocator {
public:
    using value_type = T;
    explicit JobSlotAllocator(SlotPtr slot) noexcept : slot_(std::move(slot)) {}
    template <typename U>
    JobSlotAllocator(const JobSlotAllocator<U, SlotPtr>& other) noexcept : slot_(other.slot_) {}

    T* allocate(std::size_t n) {
        if (sizeof(T) * n <= sizeof(slot_->storage) && alignof(T) <= alignof(std::max_align_t) &&
            !slot_->busy.exchange(true, std::memory_order_acquire))
            return reinterpret_cast<T*>(slot_->storage);
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (reinterpret_cast<unsigned char*>(p) == slot_->storage) {
            slot_->busy.store(false, std::memory_order_release);
            return;
        }
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U>
    bool operator==(const JobSlotAllocator<U, SlotPtr>& other) const noexcept {
        return slot_ == other.slot_;
    }

private:
    template <typename, typename>
    friend class JobSlotAllocator;
    SlotPtr slot_;
};

}  // namespace tyx
