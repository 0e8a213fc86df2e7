// Relay message text: the pooled buffer `rt::Message`, its typed field writers, and the
// process-wide `rt::MessagePool`. A message is built by one thread, then handed over as a
// shared handle and never written again; the last handle to go returns it to the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "transport/qmessage.hpp"
#include "tyx/values.hpp"

namespace tyx::rt {

class Message;
class MessagePool;
using MessagePtr = std::shared_ptr<Message>;

namespace detail {
// Room inside every message for the control block of its shared handle, so that handing a
// pooled message out allocates nothing. The handle's allocator checks the size at compile time.
inline constexpr std::size_t kHandleStorage = 64;
}  // namespace detail

class Message final : public QMessage {
public:
    static constexpr std::size_t kInitialCapacity = 256;

    Message() { buffer.reserve(kInitialCapacity); }

    // Decimal text of an integer; 64-bit integers take the suffix `L` when `with_suffix` is set,
    // narrower integers never take one.
    Message& append_num(std::int8_t v, bool with_suffix = false);
    Message& append_num(std::uint8_t v, bool with_suffix = false);
    Message& append_num(std::int16_t v, bool with_suffix = false);
    Message& append_num(std::uint16_t v, bool with_suffix = false);
    Message& append_num(std::int32_t v, bool with_suffix = false);
    Message& append_num(std::uint32_t v, bool with_suffix = false);
    Message& append_num(std::int64_t v, bool with_suffix = false);
    Message& append_num(std::uint64_t v, bool with_suffix = false);
    // Shortest text that reads back to the same value (`F` / `D` suffix when asked for);
    // "inf", "-inf", and "nan" for every NaN.
    Message& append_num(float v, bool with_suffix = false);
    Message& append_num(double v, bool with_suffix = false);

    // A double quote, the bytes unchanged (nothing is escaped), a double quote.
    Message& append_string(std::string_view text);
    Message& append_raw(std::string_view bytes);
    Message& append_char(char c) {
        buffer.push_back(static_cast<std::uint8_t>(c));
        return *this;
    }

    // `|key=value` in the value's wire form; numbers carry their suffix.
    template <typename V>
    Message& append_field(std::string_view key, const V& value) {
        begin_field(key);
        append_value(value);
        return *this;
    }
    Message& append_field(std::string_view key, const FieldValue& value);

    template <typename K, typename V>
    Message& operator<<(const std::pair<K, V>& kv) {
        return append_field(std::string_view(kv.first), kv.second);
    }

    // Ends the message with a line feed unless it already ends with one.
    void finish_line() {
        if (buffer.empty() || buffer.back() != '\n') buffer.push_back('\n');
    }

    std::string text() const { return std::string(view()); }

private:
    friend class MessagePool;
    template <typename T>
    friend class HandleAllocator;

    void begin_field(std::string_view key) {
        buffer.push_back('|');
        append_raw(key);
        buffer.push_back('=');
    }

    void append_value(char v) { append_char(v); }
    void append_value(std::string_view v) { append_string(v); }
    void append_value(const std::string& v) { append_string(v); }
    void append_value(const char* v) { append_string(v); }
    void append_value(const std::vector<std::uint8_t>& v) {
        buffer.insert(buffer.end(), v.begin(), v.end());
    }
    void append_value(std::monostate) {}
    template <typename N>
        requires(std::is_arithmetic_v<N> && !std::is_same_v<N, char> && !std::is_same_v<N, bool>)
    void append_value(N v) {
        append_num(v, true);
    }

    Message* pool_next_ = nullptr;  // link while the message idles in the pool
    alignas(std::max_align_t) unsigned char handle_storage_[detail::kHandleStorage];
};

// Allocates the control block of a message's shared handle inside the message itself. Its
// deallocate is the very last step of the handle's life, so that is where the message goes
// back to the pool (the deleter does nothing: the control block still lives in the message
// when the deleter runs).
template <typename T>
class HandleAllocator {
public:
    using value_type = T;
    explicit HandleAllocator(Message* m) noexcept : message_(m) {}
    template <typename U>
    HandleAllocator(const HandleAllocator<U>& other) noexcept : message_(other.message_) {}

    T* allocate(std::size_t n) {
        static_assert(sizeof(T) <= detail::kHandleStorage, "control block does not fit the message");
        static_assert(alignof(T) <= alignof(std::max_align_t));
        (void)n;
        return reinterpret_cast<T*>(message_->handle_storage_);
    }
    void deallocate(T*, std::size_t) noexcept;

    template <typename U>
    bool operator==(const HandleAllocator<U>& o) const noexcept {
        return message_ == o.message_;
    }

private:
    template <typename U>
    friend class HandleAllocator;
    Message* message_;
};

// Process-wide recycler of relay messages: a mutex-guarded LIFO free list holding at most
// 65536 idle messages, which keep their buffer capacity.
class MessagePool {
public:
    static constexpr std::size_t kMaxIdle = 65536;

    static MessagePool& instance();

    // A message with an empty buffer, starting with `type` unless it is the zero byte.
    MessagePtr acquire(char type);
    // Takes a message back; beyond kMaxIdle idle messages it is destroyed instead.
    void release(Message* message) noexcept;

    std::size_t free_count() const;

    MessagePool();
    ~MessagePool();
    MessagePool(const MessagePool&) = delete;
    MessagePool& operator=(const MessagePool&) = delete;

private:
    mutable std::mutex mutex_;
    Message* free_head_ = nullptr;
    std::size_t free_count_ = 0;
};

namespace detail {
// Returns a message to the process pool, or destroys it once the pool is gone at exit.
void release_message(Message* message) noexcept;
}  // namespace detail

template <typename T>
void HandleAllocator<T>::deallocate(T*, std::size_t) noexcept {
    detail::release_message(message_);
}

// Field names the relay would not read back as a field of that name: the empty name, and the
// names of the object message's own fields (`T`, `I`, `E`), which the relay takes for the type,
// the id and the expiry. `id` in any case names the column that holds the object's id.
inline bool reserved_field_name(std::string_view key) {
    switch (key.size()) {
        case 0:
            return true;
        case 1:
            return key[0] == 'T' || key[0] == 'I' || key[0] == 'E';
        case 2:
            return (key[0] | 0x20) == 'i' && (key[1] | 0x20) == 'd';
        default:
            return false;
    }
}

// What writing an object message noticed, for its caller to act on before the message is sent:
// the writers themselves never refuse anything (check_object_message in messages.hpp then says
// which part is at fault).
struct ObjectNotes {
    // The relay might not read the text back as written: it holds a line feed before the closing
    // one, a quoted text (the type, the id, a string value) holds a double quote, a field name or
    // a char or byte value holds a byte that splits it, a name is empty or reserved, or a float
    // is not finite. True for every message check_object_message refuses, which says why.
    bool needs_check = false;
    bool wide_uint32 = false;  // an unsigned 32-bit value above 2^31 - 1, which the relay wraps
};

// Appends `|T="type"`, `|I="id"` (when not empty), `|E=expiresL` (when not 0), the fields paired
// index by index, and the closing line feed: the body of an object message. The notes cover the
// whole message buffer, what it held before included.
ObjectNotes append_object_fields(Message& message, std::string_view object_type, std::string_view object_id,
                                 const std::vector<std::string>& names, const std::vector<FieldValue>& values,
                                 std::int64_t expires_on_ms);

// A pooled message of `type`, then `#seqnum` when seqnum > 0, then `@` and the wall-clock
// milliseconds since the epoch when `with_timestamp` is set.
MessagePtr make_message(char type, std::int64_t seqnum, bool with_timestamp);
// The same start written into `message`, replacing what it held (its capacity is kept).
void begin_message(Message& message, char type, std::int64_t seqnum, bool with_timestamp);

}  // namespace tyx::rt
