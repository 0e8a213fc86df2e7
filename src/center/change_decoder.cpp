#include "center/change_decoder.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "core/short_copy.hpp"
#include "core/type_codes.hpp"

namespace tyx {
namespace center {
namespace {

[[noreturn]] void fail(const std::string& text) {
    throw std::runtime_error(text);
}

const std::string& empty_string() {
    static const std::string empty;
    return empty;
}

// Big-endian two's complement of `width` bytes (1-8), sign-extended; 0 when the view is short.
std::int64_t take_signed(ByteView& view, unsigned width) {
    if (!view.has(width)) return 0;
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < width; ++i) bits = (bits << 8) | view.data[i];
    view.skip(width);
    const unsigned shift = 64 - 8 * width;
    return static_cast<std::int64_t>(bits << shift) >> shift;
}

template <typename T>
T take_or_zero(ByteView& view) {
    if (!view.has(sizeof(T))) return T{};
    return view.take_be<T>();
}

// A number into `out`: assigned in place when `out` holds the same alternative, as it does when
// a record is reused for a row of the same table.
template <typename T>
void store_value(FieldValue& out, T v) {
    if (T* held = std::get_if<T>(&out))
        *held = v;
    else
        out.emplace<T>(v);
}

// The text `out` holds, emptied with its capacity kept; `out` becomes an empty text when it held
// something else.
std::string& text_of(FieldValue& out) {
    if (std::string* text = std::get_if<std::string>(&out)) {
        text->clear();
        return *text;
    }
    return out.emplace<std::string>();
}

// Length-prefixed bytes of a value: the bytes when the length fits, else empty with only the
// length consumed.
std::string_view take_counted(ByteView& view, std::size_t length_width) {
    if (!view.has(length_width)) return {};
    const std::size_t n = length_width == 1 ? view.take_u8() : view.take_be<std::uint32_t>();
    if (!view.has(n)) return {};
    return view.take_text(n);
}

std::string format_complex(double re, double im) {
    char real_text[400];
    char imag_text[400];
    std::snprintf(real_text, sizeof real_text, "%f", re);
    std::snprintf(imag_text, sizeof imag_text, "%f", im);
    std::string out = real_text;
    // A sign is written only when the imaginary text does not bring its own (-0.0 and -nan do).
    if (imag_text[0] != '-') out += '+';
    out += imag_text;
    out += 'i';
    return out;
}

std::string format_hex128(std::uint64_t high, std::uint64_t low) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int i = 0; i < 16; ++i) {
        out[15 - i] = digits[(high >> (4 * i)) & 0xF];
        out[31 - i] = digits[(low >> (4 * i)) & 0xF];
    }
    return out;
}

// ---- Entity values ------------------------------------------------------------------------------

// `to` made equal to `text`. A short text that fits is copied by copy_short, the length set on
// its own: std::string::assign, inlined here, copies 8 to 15 bytes with a `rep movs` that costs
// more than the rest of a small field. Kept inline: it runs for every text field.
[[gnu::always_inline]] inline void set_text(std::string& to, std::string_view text) {
    const std::size_t n = text.size();
    if (n < 4 || n > 16 || n > to.capacity()) {
        to.assign(text);
        return;
    }
    to.resize(n);
    copy_short(to.data(), text.data(), n);
}

template <typename Text>
[[gnu::always_inline]] inline void assign_text(FieldValue& out, const Text& text) {
    if (std::string* held = std::get_if<std::string>(&out))
        set_text(*held, text);
    else
        out.emplace<std::string>(text);
}

// 2-byte characters narrowed to ASCII. The count may promise more characters than the entity
// holds (they read as zero bytes), but never more than its remaining bytes, so a few bytes
// cannot ask for gigabytes of text.
void read_chars(ByteView& view, FieldValue& out) {
    std::string& text = text_of(out);
    if (!view.has(4)) return;
    const std::uint32_t n = view.take_be<std::uint32_t>();
    if (n > view.size) fail("read_entity_value: char count exceeds entity bytes: " + std::to_string(n));
    text.assign(n, '\0');
    for (std::uint32_t i = 0; i < n && view.has(2); ++i) {
        const std::uint16_t c = view.take_be<std::uint16_t>();
        text[i] = c > 127 ? '?' : static_cast<char>(c);
    }
}

void read_ascii_char(ByteView& view, FieldValue& out) {
    if (!view.has(2)) return store_value(out, char{0});
    view.skip(1);
    store_value(out, static_cast<char>(view.take_u8() & 0x7F));
}

void read_byte_string(ByteView& view, FieldValue& out) {
    const std::string_view bytes = take_counted(view, 4);
    std::vector<std::uint8_t>* target = std::get_if<std::vector<std::uint8_t>>(&out);
    if (target == nullptr) target = &out.emplace<std::vector<std::uint8_t>>();
    target->assign(bytes.begin(), bytes.end());
}

// Big decimals are shown by their scale only; the unscaled digits are skipped.
void read_big_decimal_scale(ByteView& view, FieldValue& out) {
    std::string& text = text_of(out);
    if (!view.has(8)) return;
    const std::int32_t scale = view.take_be<std::int32_t>();
    const std::uint32_t n = view.take_be<std::uint32_t>();
    if (view.has(n)) view.skip(n);
    text.assign("<bigdec:scale=").append(std::to_string(scale)).append(">");
}

void read_complex(ByteView& view, FieldValue& out) {
    std::string& text = text_of(out);
    if (!view.has(16)) return;
    const double re = view.take_be<double>();
    const double im = view.take_be<double>();
    text = format_complex(re, im);
}

void read_hex128(ByteView& view, FieldValue& out) {
    std::string& text = text_of(out);
    if (!view.has(16)) return;
    const std::uint64_t high = view.take_be<std::uint64_t>();
    const std::uint64_t low = view.take_be<std::uint64_t>();
    text = format_hex128(high, low);
}

}  // namespace

class ChangeDecoder::DepthGuard {
public:
    explicit DepthGuard(int& depth) : depth_(depth) {
        if (depth_ >= kMaxNestingDepth)
            fail("Malformed message: nesting deeper than " + std::to_string(kMaxNestingDepth) + " levels");
        ++depth_;
    }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& depth_;
};

namespace {

// Generations are unique in the process, so that a batch that moved between decoders never
// takes one pool's texts for another's.
std::uint64_t new_generation() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

// The entry for `id`: by index below `indexed` (the index grows to reach it), else in `sparse`.
template <typename Id>
std::string& pool_entry(std::vector<std::string>& index, std::unordered_map<std::int32_t, std::string>& sparse,
                        std::size_t indexed, Id id) {
    using Unsigned = std::make_unsigned_t<Id>;
    const std::size_t i = static_cast<Unsigned>(id);
    if (i >= indexed) return sparse[id];
    if (i >= index.size()) index.resize(std::min(indexed, std::max(i + 1, 2 * index.size())));
    return index[i];
}

}  // namespace

StringPool::StringPool() : key_generation_(new_generation()) {}

const std::string& StringPool::sparse_text(const std::unordered_map<std::int32_t, std::string>& map,
                                           std::int32_t id) {
    const auto it = map.find(id);
    return it == map.end() ? empty_string() : it->second;
}

void StringPool::set_key(std::int16_t id, std::string_view text) {
    std::string& entry = pool_entry(keys_, sparse_keys_, kIndexedKeys, id);
    if (entry == text) return;
    entry.assign(text);
    key_generation_ = new_generation();
}

void StringPool::set_value(std::int32_t id, std::string_view text) {
    pool_entry(values_, sparse_values_, kIndexedValues, id).assign(text);
}

bool StringPool::no_keys() const {
    const auto empty = [](const std::string& text) { return text.empty(); };
    return std::all_of(keys_.begin(), keys_.end(), empty) &&
           std::all_of(sparse_keys_.begin(), sparse_keys_.end(), [&](const auto& e) { return empty(e.second); });
}

// ---- Dispatch and field walks ---------------------------------------------------------------

void ChangeDecoder::decode_payload(ByteView payload) {
    reached_rows_ = false;
    const std::int64_t vid = get_vid(payload);
    dispatch_by_vid(vid, payload);
}

std::int64_t ChangeDecoder::get_vid(ByteView& view) {
    if (!view.has(10)) fail("Error: Not enough data to read VID and type from message");
    view.skip(1);  // lead byte, not interpreted
    if (view.take_u8() != code_of(TypeCode::Message))
        fail("Expected TypeEnum::Message type byte in frame preamble");
    return view.take_be<std::int64_t>();
}

void ChangeDecoder::dispatch_by_vid(std::int64_t vid, ByteView& view) {
    if (depth_ == 0) frame_ended_ = false;
    DepthGuard guard(depth_);
    if (vid == kVidChanges || vid == kVidEnvelope || vid == kVidPassThrough) {
        if (vid == kVidChanges) reached_rows_ = true;
        parse_message(vid, view);
    } else if (vid == kVidSnapshotResponse) {
        reached_rows_ = true;
        parse_message(vid, view);
        sink_.snapshot_response();
    } else {
        fail("Received message with unknown VID: " + std::to_string(vid));
    }
}

void ChangeDecoder::parse_message(std::int64_t vid, ByteView& view) {
    const std::uint8_t encoding = view.empty() ? kEncodingByName : view.take_u8();
    if (vid == kVidChanges) {
        // Collected first, decoded after the walk: the pool and schema may follow the entities.
        const auto depth = static_cast<std::size_t>(depth_);
        while (accums_.size() <= depth) accums_.emplace_back();
        CenterChangesAccum& changes = accums_[depth];
        changes.string_pool = {};
        changes.schema_changes = {};
        changes.entities.clear();
        if (encoding == kEncodingByName)
            parse_message_name_field_encoding(vid, view, &changes);
        else
            parse_message_positional_encoding(vid, view, &changes);
        flush_center_changes(changes);
        return;
    }
    if (encoding == kEncodingByName)
        parse_message_name_field_encoding(vid, view);
    else
        parse_message_positional_encoding(vid, view);
}

void ChangeDecoder::parse_message_name_field_encoding(std::int64_t /*vid*/, ByteView& view,
                                                      CenterChangesAccum* changes) {
    while (view.has(2)) {
        const std::size_t length = view.take_be<std::uint16_t>();
        if (length == 0) return;
        if (view.size <= length) fail("Malformed message: not enough data for field name and type");
        const std::string_view name = view.take_text(length);
        const std::uint8_t type = view.take_u8();
        if (changes && take_changes_field(name, type, view, *changes)) continue;
        if (type == code_of(TypeCode::Message))
            parse_nested_message_field(view, name);
        else
            skip_field_value(view, static_cast<char>(type));
    }
}

void ChangeDecoder::parse_message_positional_encoding(std::int64_t /*vid*/, ByteView& view,
                                                      CenterChangesAccum* changes) {
    while (!view.empty()) {
        const std::uint8_t pid = view.take_u8();
        if (pid == kPositionalEnd) return;
        if (view.empty()) fail("Malformed message: missing type byte for PID " + std::to_string(pid));
        const std::uint8_t type = view.take_u8();
        if (changes && take_changes_field(pid, type, view, *changes)) continue;
        if (type == code_of(TypeCode::Message))
            parse_nested_message_field(view, "PID " + std::to_string(pid));
        else
            skip_field_value(view, static_cast<char>(type));
    }
}

void ChangeDecoder::parse_nested_message_field(ByteView& view, std::string_view field_name) {
    // Some writers put a lead byte (0 or 1) and the Message type byte in front of the VID.
    if (view.has(2) && view.data[0] <= 1 && view.data[1] == code_of(TypeCode::Message)) view.skip(2);
    if (!view.has(8))
        fail("Malformed message: not enough data for nested message field " + std::string(field_name));
    const std::int64_t vid = view.take_be<std::int64_t>();
    dispatch_by_vid(vid, view);
}

// ---- Skipping values --------------------------------------------------------------------------

void ChangeDecoder::skip_field_value(ByteView& view, char type) {
    if (depth_ == 0) frame_ended_ = false;  // called on its own, outside any frame
    switch (static_cast<TypeCode>(static_cast<std::uint8_t>(type))) {
        case TypeCode::PrimitiveBoolean:
        case TypeCode::PrimitiveByte:
        case TypeCode::Boolean:
        case TypeCode::Byte:
            return skip_fixed(view, 1, "1-byte field");
        case TypeCode::PrimitiveShort:
        case TypeCode::PrimitiveChar:
        case TypeCode::Short:
        case TypeCode::Character:
            return skip_fixed(view, 2, "2-byte field");
        case TypeCode::PrimitiveInt:
        case TypeCode::PrimitiveFloat:
        case TypeCode::Integer:
        case TypeCode::Float:
            return skip_fixed(view, 4, "4-byte field");
        case TypeCode::PrimitiveLong:
        case TypeCode::PrimitiveDouble:
        case TypeCode::Long:
        case TypeCode::Double:
            return skip_fixed(view, 8, "8-byte field");
        case TypeCode::String: {
            std::string_view text;
            if (read_string_form(view, text) == StringForm::Truncated)
                fail("Malformed message: string runs past the end of the message");
            return;  // fewer than 3 bytes: nothing to skip
        }
        case TypeCode::List:
        case TypeCode::Set:
            return skip_collection(view);
        case TypeCode::Map:
            return skip_map(view);
        case TypeCode::Message:
            fail("Unexpected Message in skip_field_value; message fields are handled by parser");
        case TypeCode::Null:
            return;
        case TypeCode::Throwable:
            sink_.log(kServerExceptionLogLevel, kServerExceptionText);
            view.skip(view.size);
            frame_ended_ = true;
            return;
        case TypeCode::PrimitiveByteArray:
            return skip_array(view, 1, "byte", "byte array payload");
        case TypeCode::PrimitiveIntArray:
            return skip_array(view, 4, "int", "int array payload");
        case TypeCode::PrimitiveLongArray:
            return skip_array(view, 8, "long", "long array payload");
        case TypeCode::PrimitiveCharArray:
            return skip_array(view, 2, "char", "char array payload");
        case TypeCode::PrimitiveDoubleArray:
            return skip_array(view, 8, "double", "double array payload");
        case TypeCode::PrimitiveFloatArray:
            return skip_array(view, 4, "float", "float array payload");
        default:
            break;
    }
    std::string text = "Unknown field type in skip_field_value: " +
                       std::to_string(static_cast<int>(static_cast<signed char>(type))) +
                       ", msg.size=" + std::to_string(view.size) + ", next_bytes=[";
    for (std::size_t i = 0; i < view.size && i < 8; ++i) {
        if (i > 0) text += ',';
        text += std::to_string(view.data[i]);
    }
    text += ']';
    fail(text);
}

void ChangeDecoder::skip_fixed(ByteView& view, std::size_t size, const char* description) {
    if (!view.has(size))
        fail(std::string("Malformed message: not enough data for ") + description + " (need " +
             std::to_string(size) + ", have " + std::to_string(view.size) + ")");
    view.skip(size);
}

void ChangeDecoder::skip_array(ByteView& view, std::size_t element_size, const char* name,
                               const char* description) {
    if (!view.has(4)) return;  // no length: read as an empty array
    const std::int32_t n = view.take_be<std::int32_t>();
    if (n < 0) fail(std::string("Invalid ") + name + " array length: " + std::to_string(n));
    skip_fixed(view, static_cast<std::size_t>(n) * element_size, description);
}

// Collections and maps carry a count, one element type for all elements, then the values. A
// count is refused when it exceeds the bytes left: even zero-width elements (Null) cannot make a
// few bytes stand for billions of values. An element that consumes nothing leaves the view as it
// was, so all that follow would consume nothing as well; the loop stops there.
void ChangeDecoder::skip_collection(ByteView& view) {
    if (!view.has(4)) return;
    const std::int32_t count = view.take_be<std::int32_t>();
    if (count < 0) fail("Invalid collection element count: " + std::to_string(count));
    if (count == 0) return;
    const char element = view.empty() ? 0 : static_cast<char>(view.take_u8());
    if (static_cast<std::size_t>(count) > view.size)
        fail("Malformed message: collection element count " + std::to_string(count) +
             " exceeds remaining bytes (have " + std::to_string(view.size) + ")");
    DepthGuard guard(depth_);
    for (std::int32_t i = 0; i < count && !frame_ended_; ++i) {
        const std::size_t before = view.size;
        skip_field_value(view, element);
        if (view.size == before) break;
    }
}

void ChangeDecoder::skip_map(ByteView& view) {
    if (!view.has(4)) return;
    const std::int32_t count = view.take_be<std::int32_t>();
    if (count < 0) fail("Invalid map element count: " + std::to_string(count));
    if (count == 0) return;
    const char key = view.empty() ? 0 : static_cast<char>(view.take_u8());
    const char value = view.empty() ? 0 : static_cast<char>(view.take_u8());
    if (static_cast<std::size_t>(count) > view.size)
        fail("Malformed message: map element count " + std::to_string(count) +
             " exceeds remaining bytes (have " + std::to_string(view.size) + ")");
    DepthGuard guard(depth_);
    for (std::int32_t i = 0; i < count && !frame_ended_; ++i) {
        const std::size_t before = view.size;
        skip_field_value(view, key);
        if (frame_ended_) break;
        skip_field_value(view, value);
        if (view.size == before) break;
    }
}

// ---- Changes messages -------------------------------------------------------------------------

namespace {

// Byte-array fields of a changes message and their roles.
int named_role(std::string_view name) {
    if (name == "tyxEntitiesAdded") return 0;
    if (name == "tyxEntitiesUpdated") return 1;
    if (name == "tyxEntitiesRemoved") return 2;
    if (name == "schemaChanges") return 3;
    if (name == "tyxValuesStringPoolMap") return 4;
    return -1;
}

constexpr std::uint8_t kSeqNumPid = 20;
constexpr std::uint8_t kFirstArrayPid = 24;
constexpr std::uint8_t kLastArrayPid = 28;

}  // namespace

bool ChangeDecoder::take_changes_field(std::string_view name, std::uint8_t type, ByteView& view,
                                       CenterChangesAccum& changes) {
    if (type == code_of(TypeCode::PrimitiveLong) && name == "seqNum") {
        read_seqnum(view);
        return true;
    }
    if (type != code_of(TypeCode::PrimitiveByteArray)) return false;
    const int role = named_role(name);
    if (role < 0) return false;
    stash_center_byte_array(role, view, changes);
    return true;
}

bool ChangeDecoder::take_changes_field(std::uint8_t pid, std::uint8_t type, ByteView& view,
                                       CenterChangesAccum& changes) {
    if (type == code_of(TypeCode::PrimitiveLong) && pid == kSeqNumPid) {
        read_seqnum(view);
        return true;
    }
    if (type != code_of(TypeCode::PrimitiveByteArray) || pid < kFirstArrayPid || pid > kLastArrayPid)
        return false;
    stash_center_byte_array(pid - kFirstArrayPid, view, changes);
    return true;
}

void ChangeDecoder::read_seqnum(ByteView& view) {
    // A short sequence number resets it rather than failing the message.
    last_seqnum_ = view.has(8) ? view.take_be<std::int64_t>() : 0;
}

void ChangeDecoder::stash_center_byte_array(int role, ByteView& view, CenterChangesAccum& accum) {
    if (!view.has(4)) fail("Malformed CenterChanges byte array: missing length");
    const std::size_t n = view.take_be<std::uint32_t>();
    if (!view.has(n)) fail("Malformed CenterChanges byte array: payload truncated");
    const ByteView bytes(view.data, n);
    view.skip(n);
    switch (role) {
        case 0:
        case 1:
        case 2:
            accum.entities.push_back({static_cast<std::uint8_t>(role + 1), bytes});
            return;
        case 3:
            accum.schema_changes = bytes;
            return;
        case 4:
            accum.string_pool = bytes;
            return;
        default:
            fail("Unknown CenterChanges byte-array role: " + std::to_string(role));
    }
}

void ChangeDecoder::flush_center_changes(CenterChangesAccum& accum) {
    if (!accum.string_pool.empty()) parse_string_pool(accum.string_pool);
    if (!accum.schema_changes.empty()) parse_schema_changes(accum.schema_changes);
    if (accum.entities.empty()) return;
    UpdateBatch& updates = sink_.update_batch();
    updates.clear();
    for (const EntityChunk& chunk : accum.entities)
        parse_entities(last_seqnum_, chunk.action, chunk.bytes, updates);
    sink_.add_updates(updates);
}

void ChangeDecoder::parse_string_pool(ByteView bytes) {
    while (!bytes.empty()) {
        const bool is_key = bytes.peek_u8() == 0;
        if (is_key && !bytes.has(3)) fail("Malformed string pool: not enough data for key ID");
        if (!is_key && !bytes.has(5)) fail("Malformed string pool: not enough data for value ID");
        bytes.skip(1);
        const std::int32_t id = is_key ? bytes.take_be<std::int16_t>() : bytes.take_be<std::int32_t>();
        std::string_view text;
        if (read_string_form(bytes, text) == StringForm::Truncated)
            fail("Malformed string pool: text runs past the end of the pool");
        if (is_key)
            string_pool_.set_key(static_cast<std::int16_t>(id), text);
        else
            string_pool_.set_value(id, text);
    }
}

void ChangeDecoder::parse_schema_changes(ByteView bytes) {
    std::vector<std::pair<std::string, CenterTableSchema>> tables;
    while (!bytes.empty()) {
        if (!bytes.has(5)) fail("Malformed schemaChanges: truncated table header");
        const std::int16_t table_key = bytes.take_be<std::int16_t>();
        CenterTableSchema schema;
        schema.kind = bytes.take_u8();
        const std::int16_t count = bytes.take_be<std::int16_t>();
        if (count < 0) fail("Malformed schemaChanges: negative column count");
        if (!bytes.has(4 * static_cast<std::size_t>(count)))
            fail("Malformed schemaChanges: truncated columns");
        schema.columns.reserve(static_cast<std::size_t>(count));
        for (std::int16_t i = 0; i < count; ++i) {
            CenterColumnSchema column;
            column.name = string_pool_.key_text(bytes.take_be<std::int16_t>());
            column.type = bytes.take_u8();
            column.flags = bytes.take_u8();
            schema.columns.push_back(std::move(column));
        }
        const std::string& name = string_pool_.key_text(table_key);
        if (!name.empty()) tables.emplace_back(name, std::move(schema));
    }
    for (auto& [name, schema] : tables) sink_.table_schema(name, std::move(schema));
}

void ChangeDecoder::parse_entities(std::int64_t seqnum, std::uint8_t action, ByteView bytes,
                                   UpdateBatch& out) const {
    if (action != 3) return parse_entity_list(seqnum, action, bytes, out);
    // Older servers send removals as bare (table key, id) records; such bytes rarely form a
    // valid entity list, so a failure of the entity layout means the legacy one.
    const std::size_t before = out.size();
    try {
        parse_entity_list(seqnum, action, bytes, out);
    } catch (const std::exception&) {
        out.truncate(before);
        parse_legacy_removals(seqnum, bytes, out);
    }
}

namespace {

// The frequent codes, numbers and texts, decoded in one jump; the rest go on to `other`. Inlined
// into the entity loop, where a call per field would cost as much as the field.
template <typename Other>
[[gnu::always_inline]] inline void read_value(const StringPool& pool, ByteView& view, FieldValue& out,
                                              Other&& other) {
    const std::uint8_t code = view.empty() ? 0 : view.take_u8();
    switch (code) {
        case 1:
            return store_value(out, std::monostate{});
        case 2:
            return store_value(out, static_cast<std::uint8_t>(take_or_zero<std::uint8_t>(view) != 0 ? 1 : 0));
        case 5:
            return store_value(out, take_or_zero<float>(view));
        case 6:
            return store_value(out, take_or_zero<double>(view));
        case 8:
            return assign_text(out, take_counted(view, 4));
        case 9:
        case 25:
            return assign_text(out, take_counted(view, 1));
        case 10:
            return store_value(out, static_cast<std::int8_t>(take_signed(view, 1)));
        case 11:
            return store_value(out, static_cast<std::int16_t>(take_signed(view, 2)));
        case 12:
            return store_value(out, static_cast<std::int32_t>(take_signed(view, 3)));
        case 13:
        case 45:
            return store_value(out, take_or_zero<std::int32_t>(view));
        case 14:
        case 15:
        case 16:
        case 17:
        case 18:
        case 19:
        case 20:
        case 21:
            return store_value(out, take_signed(view, code - 13u));
        case 30:
            return store_value(out, take_signed(view, 6));
        case 31:
            return store_value(out, take_or_zero<std::int64_t>(view));
        case 22:
            return assign_text(out, pool.value_text(take_or_zero<std::uint8_t>(view)));
        case 23:
            return assign_text(out, pool.value_text(static_cast<std::int32_t>(take_signed(view, 2))));
        case 24:
            return assign_text(out, pool.value_text(static_cast<std::int32_t>(take_signed(view, 3))));
        default:
            return other(code);
    }
}

}  // namespace

void ChangeDecoder::parse_entity_list(std::int64_t seqnum, std::uint8_t action, ByteView bytes,
                                      UpdateBatch& out) const {
    const std::uint64_t generation = string_pool_.key_generation();
    while (!bytes.empty()) {
        if (!bytes.has(6))
            fail("Malformed message: not enough space to get size and type_key in parse_entities");
        const std::int32_t size = bytes.take_be<std::int32_t>();  // type key and payload
        if (size < 2) fail("Malformed message: invalid entity size in parse_entities");
        const std::int16_t type_key = bytes.take_be<std::int16_t>();
        const std::size_t payload_size = static_cast<std::size_t>(size) - 2;
        if (!bytes.has(payload_size))
            fail("Malformed message: entity payload exceeds available bytes in parse_entities");
        ByteView payload(bytes.data, payload_size);
        bytes.skip(payload_size);

        // The record is written in place; a failure below leaves it behind in the batch, which
        // the sink never sees. Its names are kept where they came from the same keys of the
        // same pool; whatever is written is noted at once, so a failure leaves them consistent.
        const UpdateBatch::Slot slot = out.next_slot();
        TyxCenterIncrementalUpdate& update = slot.record;
        RecordNames& names = slot.names;
        if (names.generation != generation || update.field_names.size() < names.count) {
            names.generation = generation;
            names.table_known = false;
            names.count = 0;
        }
        update.seqnum = seqnum;
        update.action = action;
        if (!names.table_known || names.table_key != type_key || update.table_name.empty()) {
            update.table_name.assign(string_pool_.key_text(type_key));
            names.table_key = type_key;
            names.table_known = true;
        }
        if (payload.has(8)) update.id = payload.take_be<std::int64_t>();

        std::size_t fields = 0;
        // An entity of only its id (or of nothing at all) carries no flags byte.
        if (!payload.empty()) {
            const std::uint8_t flags = payload.take_u8();
            if (flags & 0x1F) {
                static constexpr std::pair<std::uint8_t, std::size_t> skipped[] = {
                    {0x01, 8}, {0x02, 8}, {0x04, 4}, {0x08, 8}, {0x10, 2}};
                for (auto [bit, width] : skipped) {
                    if (!(flags & bit)) continue;
                    if (!payload.has(width))
                        fail("Malformed message: entity header exceeds payload in parse_entities");
                    payload.skip(width);
                }
            }
            if (flags & 0x20) {
                std::string_view object_id;
                if (read_string_form(payload, object_id) == StringForm::Truncated)
                    fail("Malformed message: object id exceeds entity payload in parse_entities");
                set_text(update.object_id, object_id);
            }
            if ((flags & 0x40) && payload.has(2)) {
                const std::int16_t count = payload.take_be<std::int16_t>();
                for (std::int16_t i = 0; i < count; ++i) {
                    const std::int16_t name_key = payload.has(2) ? payload.take_be<std::int16_t>() : 0;
                    if (fields >= names.count || names.keys[fields] != name_key) {
                        // Each field takes at least its type byte, so a count beyond the bytes
                        // left fails below before the record can grow past them.
                        UpdateBatch::ensure_field(update, fields);
                        update.field_names[fields].assign(string_pool_.key_text(name_key));
                        if (fields < RecordNames::kKeys) {
                            names.keys[fields] = name_key;
                            if (fields == names.count) ++names.count;
                        }
                    }
                    FieldValue& value = update.row_data[fields];
                    read_value(string_pool_, payload, value, [&](std::uint8_t code) {
                        // A copy for the call, so that `payload` itself never leaves registers.
                        ByteView rest = payload;
                        read_other_entity_value(code, rest, value);
                        payload = rest;
                    });
                    ++fields;
                }
            }
            if (!payload.empty()) fail("Malformed message: trailing entity bytes in parse_entities");
        }
        UpdateBatch::set_field_count(update, fields);
        if (names.count > fields) names.count = static_cast<std::uint8_t>(fields);
    }
}

void ChangeDecoder::parse_legacy_removals(std::int64_t seqnum, ByteView bytes, UpdateBatch& out) const {
    while (bytes.size > 9) {
        TyxCenterIncrementalUpdate& update = out.next();
        update.seqnum = seqnum;
        update.action = 3;
        update.table_name.assign(string_pool_.key_text(bytes.take_be<std::int16_t>()));
        update.id = bytes.take_be<std::int64_t>();
        UpdateBatch::set_field_count(update, 0);
    }
    if (!bytes.empty())
        fail("Malformed message: not enough bytes for legacy removal tuple in parse_entities");
}

FieldValue ChangeDecoder::get_entity_value(ByteView& view) const {
    FieldValue value;
    read_entity_value(view, value);
    return value;
}

void ChangeDecoder::read_entity_value(ByteView& view, FieldValue& out) const {
    read_value(string_pool_, view, out, [&](std::uint8_t code) { read_other_entity_value(code, view, out); });
}

void ChangeDecoder::read_other_entity_value(std::uint8_t code, ByteView& view, FieldValue& out) const {
    switch (code) {
        case 7:
            return read_chars(view, out);
        case 26:
            return read_ascii_char(view, out);
        case 40:
        case 41:
            return read_byte_string(view, out);
        case 42:
            return read_big_decimal_scale(view, out);
        case 43:
            return read_complex(view, out);
        case 44:
            return read_hex128(view, out);
        default:
            fail("read_entity_value: unknown type " + std::to_string(code));
    }
}

}  // namespace center
}  // namespace tyx
