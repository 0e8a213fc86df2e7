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

std::size_t round_up(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

}  // namespace

ReceiveBuffer::ReceiveBuffer(ReceiveBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ReceiveBuffer& ReceiveBuffer::operator=(ReceiveBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void ReceiveBuffer::reserve(std::size_t size) {
    if (size <= capacity_) return;
    release();
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t capacity = round_up(size, page);
    void* p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    capacity_ = capacity;
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
    if (data_ != nullptr) munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
}

}  // namespace tyx::jdbc
