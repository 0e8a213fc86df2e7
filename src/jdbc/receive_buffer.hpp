// ReceiveBuffer: the storage the database session receives response bodies into, kept from one
// response to the next so that a repeated query lands in pages already touched. Anonymous
// mapped pages, never zero-filled by the library: only the bytes written are ever committed, so
// a mapping as large as a response announces costs what arrived. Small pages only: advising
// huge ones made a first large answer several times slower where the kernel compacts memory to
// find them (up to 400 ms for 30 MB against 70 ms without). Owned by one ResponseReader; not
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tyx::jdbc {

class ReceiveBuffer {
public:
    ReceiveBuffer() = default;
    ~ReceiveBuffer() { release(); }
    ReceiveBuffer(ReceiveBuffer&& other) noexcept;
    ReceiveBuffer& operator=(ReceiveBuffer&& other) noexcept;
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    // Makes room for `size` bytes; what the buffer held is not kept when it has to move. Throws
    // std::bad_alloc when the pages cannot be mapped.
    void reserve(std::size_t size);
    // Gives the pages back; the buffer is then empty.
    void release();
    // Under AddressSanitizer, makes the first `size` bytes the only ones that may be touched, so
    // a read past what was received is caught; otherwise does nothing.
    void expose(std::size_t size);

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
};

}  // namespace tyx::jdbc
