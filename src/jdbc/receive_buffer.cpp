#include "jdbc/receive_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define TYX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TYX_ASAN 1
#endif
#endif
#if defined(TYX_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tyx::jdbc {

namespace {

std::uintptr_t round_up(std::uintptr_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

}  // namespace

ReceiveBuffer::ReceiveBuffer(ReceiveBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)) {}

ReceiveBuffer& ReceiveBuffer::operator=(ReceiveBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

void ReceiveBuffer::reserve(std::size_t size) {
    if (size <= capacity_) return;
    release();
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const bool huge = size >= kHugeAdviceBytes;
    const std::size_t capacity = round_up(size, huge ? kHugePageBytes : page);
    // A huge page must start on its own boundary: one more is mapped to find one. Pages never
    // written are never committed, so the slack costs address space only.
    const std::size_t mapped = huge ? capacity + kHugePageBytes : capacity;
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    mapping_ = p;
    mapped_ = mapped;
    data_ = reinterpret_cast<std::uint8_t*>(huge ? round_up(reinterpret_cast<std::uintptr_t>(p), kHugePageBytes)
                                                 : reinterpret_cast<std::uintptr_t>(p));
    capacity_ = capacity;
    // Only a hint: a kernel without transparent huge pages refuses it, and small pages serve.
    // Column vectors handed to the application are not advised: they belong to its heap once
    // freed, and fresh huge pages can cost far more than small ones where the host backs the
    // memory lazily (a virtual machine that returns free memory to its host).
    if (huge) madvise(data_, capacity_, MADV_HUGEPAGE);
}

void ReceiveBuffer::expose(std::size_t size) {
#if defined(TYX_ASAN)
    if (data_ == nullptr) return;
    ASAN_UNPOISON_MEMORY_REGION(data_, size);
    if (size < capacity_) ASAN_POISON_MEMORY_REGION(data_ + size, capacity_ - size);
#else
    (void)size;
#endif
}

void ReceiveBuffer::release() {
#if defined(TYX_ASAN)
    // The pages may be mapped again for something else.
    if (data_ != nullptr) ASAN_UNPOISON_MEMORY_REGION(data_, capacity_);
#endif
    if (mapping_ != nullptr) munmap(mapping_, mapped_);
    mapping_ = nullptr;
    mapped_ = 0;
    data_ = nullptr;
    capacity_ = 0;
}

}  // namespace tyx::jdbc
