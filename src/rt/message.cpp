#include "rt/message.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/short_copy.hpp"

namespace tyx::rt {
namespace {

// "00" "01" ... "99": integers are written two digits at a time.
constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of v ending just before `end`; returns the first digit's position.
inline char* write_digits_backwards(std::uint64_t v, char* end) {
    while (v >= 100) {
        const auto pair = static_cast<unsigned>(v % 100) * 2;
        v /= 100;
        end -= 2;
        end[0] = kDigitPairs[pair];
        end[1] = kDigitPairs[pair + 1];
    }
    if (v >= 10) {
        const auto pair = static_cast<unsigned>(v) * 2;
        end -= 2;
        end[0] = kDigitPairs[pair];
        end[1] = kDigitPairs[pair + 1];
    } else {
        *--end = static_cast<char>('0' + v);
    }
    return end;
}

// Fast path for the common case of a value with few decimals (prices, quantities): finds the
// fewest fractional digits k for which the decimal m / 10^k reads back to exactly `v`. With at
// most kMaxDigits significant digits that decimal is unique, and in fixed notation fewer
// fractional digits means fewer characters, so this is the shortest fixed text. Returns the
// length written, or 0 when the general path must decide (zero, huge or tiny values, more
// digits, or when the scientific form would be strictly shorter).
template <typename F>
std::size_t format_short_fixed(F v, char* out) {
    constexpr int kMaxFraction = std::is_same_v<F, float> ? 6 : 9;
    constexpr std::int64_t kMaxMantissa = std::is_same_v<F, float> ? 1000000 : 1000000000000000LL;
    constexpr F kPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
    if (!(v != 0) || !(std::fabs(v) < static_cast<F>(kMaxMantissa))) return 0;  // also rejects NaN
    const bool negative = v < 0;
    const F magnitude = negative ? -v : v;
    for (int k = 0; k <= kMaxFraction; ++k) {
        const F scaled = magnitude * kPowers[k];
        if (!(scaled < static_cast<F>(kMaxMantissa))) return 0;
        const auto m = static_cast<std::int64_t>(scaled + F(0.5));
        // Exact: m and 10^k are representable, and IEEE division rounds correctly, just as
        // reading the decimal text back would.
        if (m == 0 || static_cast<F>(m) / kPowers[k] != magnitude) continue;

        char digits[24];
        char* end = digits + sizeof digits;
        char* begin = write_digits_backwards(static_cast<std::uint64_t>(m), end);
        const int n = static_cast<int>(end - begin);
        // Scientific length: significant digits (trailing zeros dropped), a point when more
        // than one, 'e', the sign and at least two exponent digits.
        int significant = n;
        while (significant > 1 && begin[significant - 1] == '0') --significant;
        const int exponent = n - 1 - k;
        const int abs_exp = exponent < 0 ? -exponent : exponent;
        const int sci_len = significant + (significant > 1 ? 1 : 0) + 2 + (abs_exp >= 100 ? 3 : 2);
        const int fixed_len = (k == 0) ? n : (n > k ? n + 1 : k + 2);
        if (sci_len < fixed_len) return 0;

        char* p = out;
        if (negative) *p++ = '-';
        if (k == 0) {
            std::memcpy(p, begin, static_cast<std::size_t>(n));
            p += n;
        } else if (n > k) {
            std::memcpy(p, begin, static_cast<std::size_t>(n - k));
            p += n - k;
            *p++ = '.';
            std::memcpy(p, begin + (n - k), static_cast<std::size_t>(k));
            p += k;
        } else {
            *p++ = '0';
            *p++ = '.';
            for (int z = 0; z < k - n; ++z) *p++ = '0';
            std::memcpy(p, begin, static_cast<std::size_t>(n));
            p += n;
        }
        return static_cast<std::size_t>(p - out);
    }
    return 0;
}

inline unsigned digit_count(std::uint64_t v) {
    unsigned n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

#if !defined(__SSE2__)
// Non-zero exactly when some byte of `v` is zero.
inline std::uint64_t zero_byte(std::uint64_t v) {
    return (v - 0x0101010101010101ULL) & ~v & 0x8080808080808080ULL;
}
#endif

// Whether one of the bytes of the words `a` and `b` is one of `Bytes` (none of which is zero).
// Both words together are compared at once in one vector register where there is one.
template <char... Bytes>
inline bool words_hold(std::uint64_t a, std::uint64_t b) {
#if defined(__SSE2__)
    const __m128i v = _mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a));
    __m128i hit = _mm_setzero_si128();
    ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(Bytes)))), ...);
    return _mm_movemask_epi8(hit) != 0;
#else
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    return ((zero_byte(a ^ (ones * static_cast<unsigned char>(Bytes))) |
             zero_byte(b ^ (ones * static_cast<unsigned char>(Bytes)))) | ...) != 0;
#endif
}

// Copies 4 to 16 bytes as two words of `Word` (which may overlap) and tells whether they hold one
// of `Bytes`.
template <typename Word, char... Bytes>
inline bool copy_two_words_finding(char* dst, const char* src, std::size_t n) {
    Word a, b;
    std::memcpy(&a, src, sizeof a);
    std::memcpy(&b, src + n - sizeof b, sizeof b);
    std::memcpy(dst, &a, sizeof a);
    std::memcpy(dst + n - sizeof b, &b, sizeof b);
    return words_hold<Bytes...>(a, b);
}

// copy_short that also tells whether the bytes hold one of `Bytes`, tested in the words it loads
// anyway: every quoted text, field name and byte value of every publication goes through here.
template <char... Bytes>
inline bool copy_short_finding(char* dst, const char* src, std::size_t n) {
    if (n > 16) {
        std::memcpy(dst, src, n);
        return (... || (std::memchr(src, Bytes, n) != nullptr));
    }
    if (n >= 8) return copy_two_words_finding<std::uint64_t, Bytes...>(dst, src, n);
    if (n >= 4) return copy_two_words_finding<std::uint32_t, Bytes...>(dst, src, n);
    if (n == 0) return false;
    // One to three bytes: the first, the middle and the last cover them all.
    const char first = src[0], middle = src[n / 2], last = src[n - 1];
    dst[0] = first;
    dst[n / 2] = middle;
    dst[n - 1] = last;
    const std::uint64_t word = static_cast<unsigned char>(first) | static_cast<unsigned char>(middle) << 8 |
                               static_cast<unsigned char>(last) << 16;
    return words_hold<Bytes...>(word, word);
}

// Writes message text into a stack stage and moves it to the message buffer in a few large
// inserts: appending byte by byte to a vector of bytes is slow, because every byte stored may
// alias the vector's own pointers as far as the compiler knows. The bounded form writes straight
// into room the caller sized beforehand (field_room below): no capacity checks at all, and its
// position can stay in a register, since nothing it stores can alias a local object.
template <bool kBounded>
class TextWriter {
public:
    explicit TextWriter(std::vector<std::uint8_t>& out)
        requires(!kBounded)
        : out_(out), pos_(stage_) {}
    // Writes from the end of `out`, after making `room` bytes there.
    TextWriter(std::vector<std::uint8_t>& out, std::size_t room)
        requires kBounded
        : out_(out), pos_(grow(out, room)) {}
    ~TextWriter() { flush(); }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    void put(char c) {
        reserve(1);
        *pos_++ = c;
    }
    void put(std::string_view text) {
        if constexpr (kBounded) {
            std::memcpy(pos_, text.data(), text.size());
            pos_ += text.size();
            return;
        }
        if (text.size() > kStage / 2) {
            flush();
            const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
            out_.insert(out_.end(), p, p + text.size());
            return;
        }
        reserve(text.size());
        copy_short(pos_, text.data(), text.size());
        pos_ += text.size();
    }
    [[gnu::always_inline]] void put_quoted(std::string_view text) {
        put('"');
        suspect_ |= put_finding<'"'>(text);
        put('"');
    }
    // Bytes copied as put(text) copies them; true when they hold one of `Bytes`.
    template <char... Bytes>
    [[gnu::always_inline]] bool put_finding(std::string_view text) {
        if (text.size() > (kBounded ? 16 : kStage / 2)) {
            put(text);
            return (... || (std::memchr(text.data(), Bytes, text.size()) != nullptr));
        }
        reserve(text.size());
        const bool found = copy_short_finding<Bytes...>(pos_, text.data(), text.size());
        pos_ += text.size();
        return found;
    }
    void put_unsigned(std::uint64_t v) {
        reserve(20);
        pos_ += digit_count(v);
        write_digits_backwards(v, pos_);
    }
    void put_signed(std::int64_t v) {
        reserve(21);
        if (v < 0) *pos_++ = '-';
        // Negate in unsigned arithmetic so the most negative value is exact.
        put_unsigned(v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v));
    }
    template <typename F>
    void put_float(F v) {
        constexpr std::size_t kTail = 32;
        reserve(kTail);
        std::size_t n = format_short_fixed(v, pos_);
        if (n == 0) {
            // The relay reads none of "nan", "inf" and "-inf" back as a number.
            suspect_ |= !std::isfinite(v);
            if (std::isnan(v)) {
                // to_chars spells a negative NaN "-nan"; every NaN is written "nan".
                std::memcpy(pos_, "nan", 3);
                n = 3;
            } else {
                // The shortest round-trip form: fixed, or scientific when strictly shorter
                // ("1e+21", "1e-05"), "inf" and "-inf" for the infinities. Text that does
                // not fit the 32-byte tail is not written.
                auto [ptr, ec] = std::to_chars(pos_, pos_ + kTail, v);
                if (ec != std::errc()) return;
                n = static_cast<std::size_t>(ptr - pos_);
            }
        }
        pos_ += n;
    }

    // `|key=value` in the value's wire form, numbers with their suffixes.
    void put_field(std::string_view key, const FieldValue& value) {
        put('|');
        suspect_ |= put_finding<'|', '=', '"'>(key) || reserved_field_name(key);
        put('=');
        // A switch on the index lets the compiler inline every case, where std::visit goes
        // through a table of out-of-line calls.
        switch (value.index()) {
            case 0: put_value(*std::get_if<0>(&value)); break;
            case 1: put_value(*std::get_if<1>(&value)); break;
            case 2: put_value(*std::get_if<2>(&value)); break;
            case 3: put_value(*std::get_if<3>(&value)); break;
            case 4: put_value(*std::get_if<4>(&value)); break;
            case 5: put_value(*std::get_if<5>(&value)); break;
            case 6: put_value(*std::get_if<6>(&value)); break;
            case 7: put_value(*std::get_if<7>(&value)); break;
            case 8: put_value(*std::get_if<8>(&value)); break;
            case 9: put_value(*std::get_if<9>(&value)); break;
            case 10: put_value(*std::get_if<10>(&value)); break;
            case 11: put_value(*std::get_if<11>(&value)); break;
            case 12: put_value(*std::get_if<12>(&value)); break;
            default: break;  // monostate, or valueless: nothing after '='
        }
    }

    // Whether something written may not read back as written (a double quote in a quoted text;
    // a field name or a char or byte value the relay would split or misread; a float that is not
    // finite), and whether an unsigned 32-bit value exceeded the signed range. Line feeds are not
    // looked for here: one scan of the finished message finds them all.
    bool suspect() const { return suspect_; }
    bool wide_uint32() const { return wide_uint32_; }

    void flush() {
        if constexpr (kBounded) {
            // Gives back the room not written.
            const auto* end = reinterpret_cast<const char*>(out_.data() + out_.size());
            out_.resize(out_.size() - static_cast<std::size_t>(end - pos_));
        } else if (pos_ != stage_) {
            out_.insert(out_.end(), reinterpret_cast<std::uint8_t*>(stage_), reinterpret_cast<std::uint8_t*>(pos_));
            pos_ = stage_;
        }
    }

private:
    static constexpr std::size_t kStage = 512;

    static char* grow(std::vector<std::uint8_t>& out, std::size_t room) {
        const std::size_t at = out.size();
        out.resize(at + room);
        return reinterpret_cast<char*>(out.data() + at);
    }

    void reserve(std::size_t n) {
        if constexpr (!kBounded) {
            if (static_cast<std::size_t>(stage_ + kStage - pos_) < n) flush();
        }
    }

    void put_value(char v) {
        suspect_ |= v == '"' || v == '|';
        put(v);
    }
    void put_value(std::uint8_t v) { put_unsigned(v); }
    void put_value(std::int8_t v) { put_signed(v); }
    void put_value(std::uint16_t v) { put_unsigned(v); }
    void put_value(std::int16_t v) { put_signed(v); }
    void put_value(std::uint32_t v) {
        wide_uint32_ |= v > 0x7FFFFFFFu;
        put_unsigned(v);
    }
    void put_value(std::int32_t v) { put_signed(v); }
    void put_value(std::uint64_t v) { put_unsigned(v); put('L'); }
    void put_value(std::int64_t v) { put_signed(v); put('L'); }
    void put_value(float v) { put_float(v); put('F'); }
    void put_value(double v) { put_float(v); put('D'); }
    void put_value(const std::string& v) { put_quoted(v); }
    void put_value(const std::vector<std::uint8_t>& v) {
        // Unquoted: a `|` would start another field, and a leading double quote makes the relay
        // read a quoted text.
        suspect_ |= put_finding<'|'>(std::string_view(reinterpret_cast<const char*>(v.data()), v.size())) ||
                    (!v.empty() && v.front() == '"');
    }
    void put_value(std::monostate) {}

    std::vector<std::uint8_t>& out_;
    struct NoStage {};
    [[no_unique_address]] std::conditional_t<kBounded, NoStage, char[kStage]> stage_;
    char* pos_;
    bool suspect_ = false;
    bool wide_uint32_ = false;
};

// Trivially destructible, so it can be read even while static destructors run.
std::atomic<bool> g_pool_alive{false};

}  // namespace

Message& Message::append_num(std::int8_t v, bool) { TextWriter<false>(buffer).put_signed(v); return *this; }
Message& Message::append_num(std::uint8_t v, bool) { TextWriter<false>(buffer).put_unsigned(v); return *this; }
Message& Message::append_num(std::int16_t v, bool) { TextWriter<false>(buffer).put_signed(v); return *this; }
Message& Message::append_num(std::uint16_t v, bool) { TextWriter<false>(buffer).put_unsigned(v); return *this; }
Message& Message::append_num(std::int32_t v, bool) { TextWriter<false>(buffer).put_signed(v); return *this; }
Message& Message::append_num(std::uint32_t v, bool) { TextWriter<false>(buffer).put_unsigned(v); return *this; }

Message& Message::append_num(std::int64_t v, bool with_suffix) {
    TextWriter<false> w(buffer);
    w.put_signed(v);
    if (with_suffix) w.put('L');
    return *this;
}

Message& Message::append_num(std::uint64_t v, bool with_suffix) {
    TextWriter<false> w(buffer);
    w.put_unsigned(v);
    if (with_suffix) w.put('L');
    return *this;
}

Message& Message::append_num(float v, bool with_suffix) {
    TextWriter<false> w(buffer);
    w.put_float(v);
    if (with_suffix) w.put('F');
    return *this;
}

Message& Message::append_num(double v, bool with_suffix) {
    TextWriter<false> w(buffer);
    w.put_float(v);
    if (with_suffix) w.put('D');
    return *this;
}

Message& Message::append_string(std::string_view text) {
    TextWriter<false>(buffer).put_quoted(text);
    return *this;
}

Message& Message::append_raw(std::string_view bytes) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    buffer.insert(buffer.end(), p, p + bytes.size());
    return *this;
}

Message& Message::append_field(std::string_view key, const FieldValue& value) {
    TextWriter<false>(buffer).put_field(key, value);
    return *this;
}

namespace {

// The most bytes `|key=value` can take: the value's text, its quotes or suffix, and for a
// float the tail put_float reserves.
std::size_t field_room(std::string_view key, const FieldValue& value) {
    constexpr std::size_t kNumber = 22;  // sign, 20 digits, suffix
    constexpr std::size_t kFloat = 33;   // put_float's tail and a suffix
    std::size_t room = key.size() + 2;
    switch (value.index()) {
        case 9:
        case 10:
            return room + kFloat;
        case 11:
            return room + std::get_if<11>(&value)->size() + 2;
        case 12:
            return room + std::get_if<12>(&value)->size();
        default:
            return room + kNumber;
    }
}

}  // namespace

ObjectNotes append_object_fields(Message& message, std::string_view object_type, std::string_view object_id,
                                 const std::vector<std::string>& names, const std::vector<FieldValue>& values,
                                 std::int64_t expires_on_ms) {
    const std::size_t n = std::min(names.size(), values.size());
    // Sized first, then written without a capacity check per piece.
    std::size_t room = 4 + object_type.size() + 2 + 4 + object_id.size() + 2 + 4 + 22 + 1;
    for (std::size_t i = 0; i < n; ++i) room += field_room(names[i], values[i]);
    ObjectNotes notes;
    {
        TextWriter<true> w(message.buffer, room);
        w.put("|T=");
        w.put_quoted(object_type);
        if (!object_id.empty()) {
            w.put("|I=");
            w.put_quoted(object_id);
        }
        if (expires_on_ms != 0) {
            w.put("|E=");
            w.put_signed(expires_on_ms);
            w.put('L');
        }
        for (std::size_t i = 0; i < n; ++i) w.put_field(names[i], values[i]);
        notes.needs_check = w.suspect();
        notes.wide_uint32 = w.wide_uint32();
    }
    // Numbers and markers hold no line feed, so one found before the closing one came from a
    // type, an id, a name or a value: a single scan of the finished text covers them all.
    const auto& bytes = message.buffer;
    notes.needs_check = notes.needs_check ||
                        std::memchr(bytes.data(), '\n', bytes.size()) != nullptr;
    message.finish_line();
    return notes;
}

MessagePool& MessagePool::instance() {
    static MessagePool pool;
    return pool;
}

MessagePool::MessagePool() { g_pool_alive.store(true); }

MessagePool::~MessagePool() {
    g_pool_alive.store(false);
    while (free_head_ != nullptr) {
        Message* next = free_head_->pool_next_;
        delete free_head_;
        free_head_ = next;
    }
    free_count_ = 0;
}

MessagePtr MessagePool::acquire(char type) {
    Message* message = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (free_head_ != nullptr) {
            message = free_head_;
            free_head_ = message->pool_next_;
            message->pool_next_ = nullptr;
            --free_count_;
        }
    }
    if (message == nullptr) message = new Message();
    message->buffer.clear();
    if (type != '\0') message->buffer.push_back(static_cast<std::uint8_t>(type));
    // The control block lives inside the message; the allocator's deallocate returns the
    // message here once both the last handle and the control block are gone.
    return MessagePtr(message, [](Message*) {}, HandleAllocator<Message>(message));
}

void MessagePool::release(Message* message) noexcept {
    {
        std::lock_guard lock(mutex_);
        if (free_count_ < kMaxIdle) {
            message->pool_next_ = free_head_;
            free_head_ = message;
            ++free_count_;
            return;
        }
    }
    delete message;
}

std::size_t MessagePool::free_count() const {
    std::lock_guard lock(mutex_);
    return free_count_;
}

namespace detail {
void release_message(Message* message) noexcept {
    if (g_pool_alive.load(std::memory_order_relaxed)) {
        MessagePool::instance().release(message);
    } else {
        delete message;
    }
}
}  // namespace detail

void begin_message(Message& message, char type, std::int64_t seqnum, bool with_timestamp) {
    message.buffer.clear();
    TextWriter<true> w(message.buffer, 1 + 2 * 22);
    if (type != '\0') w.put(type);
    if (seqnum > 0) {
        w.put('#');
        w.put_signed(seqnum);
    }
    if (with_timestamp) {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        w.put('@');
        w.put_signed(static_cast<std::int64_t>(now));
    }
}

MessagePtr make_message(char type, std::int64_t seqnum, bool with_timestamp) {
    MessagePtr message = MessagePool::instance().acquire('\0');
    begin_message(*message, type, seqnum, with_timestamp);
    return message;
}

}  // namespace tyx::rt
