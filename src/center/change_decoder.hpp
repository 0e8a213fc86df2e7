// Decoding of received center frames: the message dispatcher, both field walks, value skipping
// and the changes messages that carry snapshot rows and live updates. Socket-free: the center
// client owns one ChangeDecoder, feeds it each frame payload, and receives what it produces
// through a DecoderSink. Lives on the center client's event-loop thread; not thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "center/center_codec.hpp"
#include "center/incremental_update.hpp"
#include "center/update_batch.hpp"
#include "core/byte_buffer.hpp"
#include "tyx/schema.hpp"
#include "tyx/values.hpp"

namespace tyx {
namespace center {

// Text of the log event raised when a received message carries a server exception.
inline constexpr std::string_view kServerExceptionText =
    "Server returned an exception (Type::Throwable); see TYX server log for details";
inline constexpr std::uint8_t kServerExceptionLogLevel = 3;

// Messages nest inside messages and collections inside collections without any length on the
// wire; past this depth a frame is refused rather than recursed into.
inline constexpr int kMaxNestingDepth = 64;

// Where the decoder's results go. The center client implements it: updates go to the
// subscribed-table registry, schemas to the subscribed tables, log events to the listeners.
// Called synchronously from inside ChangeDecoder calls.
class DecoderSink {
public:
    virtual ~DecoderSink() = default;
    // Where the rows of the next changes message are decoded; the decoder empties it first.
    virtual UpdateBatch& update_batch() = 0;
    // The rows of one changes message, in decoding order, once it decoded fully; `updates` is
    // the batch update_batch gave. The sink may take the records' contents, through the batch's
    // take or keep_if only: the decoder reuses what the records still hold.
    virtual void add_updates(UpdateBatch& updates) = 0;
    // A schema announced for a table. Only a table that is currently subscribed keeps it.
    virtual void table_schema(const std::string& table_name, CenterTableSchema schema) = 0;
    // A snapshot-response message has been walked: the snapshot answer is complete.
    virtual void snapshot_response() = 0;
    // An event for the listeners (level 3: a failed operation).
    virtual void log(std::uint8_t level, std::string_view text) = 0;
};

// Texts shared across changes messages: table and field names by 16-bit key, pooled values by
// 32-bit identifier. Lives as long as the client; entries are replaced, never cleared. The
// identifiers a center hands out are small and dense, so those below a bound are found by
// index; the rest, and negative ones, in a hash map. Every entry that changes its text moves
// the pool to a new generation, drawn from a process-wide counter: a record that remembers
// which keys its names came from in a generation can keep them while the pool stays in it.
class StringPool {
public:
    // Keys and values below these are held by index.
    static constexpr std::size_t kIndexedKeys = 8192;
    static constexpr std::size_t kIndexedValues = 65536;

    StringPool();

    // The text for an identifier, or an empty string when the pool has none.
    const std::string& key_text(std::int16_t id) const {
        const auto i = static_cast<std::uint16_t>(id);  // negative ones land past the index
        return i < keys_.size() ? keys_[i] : sparse_text(sparse_keys_, id);
    }
    const std::string& value_text(std::int32_t id) const {
        const auto i = static_cast<std::uint32_t>(id);
        return i < values_.size() ? values_[i] : sparse_text(sparse_values_, id);
    }
    void set_key(std::int16_t id, std::string_view text);
    void set_value(std::int32_t id, std::string_view text);

    // Changes whenever a key's text changes; never 0.
    std::uint64_t key_generation() const { return key_generation_; }
    // Whether no key has a text.
    bool no_keys() const;

private:
    static const std::string& sparse_text(const std::unordered_map<std::int32_t, std::string>& map,
                                          std::int32_t id);

    std::vector<std::string> keys_;
    std::vector<std::string> values_;
    std::unordered_map<std::int32_t, std::string> sparse_keys_;
    std::unordered_map<std::int32_t, std::string> sparse_values_;
    std::uint64_t key_generation_;
};

// One byte array of added, updated or removed entities, in arrival order.
struct EntityChunk {
    std::uint8_t action = 0;  // 1 added, 2 updated, 3 removed
    ByteView bytes;
};

// The byte arrays collected while one changes message is walked, decoded once the walk ends.
// They are views into the frame payload, which outlives the accumulator: both belong to one
// dispatch of that payload.
struct CenterChangesAccum {
    ByteView string_pool;
    ByteView schema_changes;
    std::vector<EntityChunk> entities;
};

class ChangeDecoder {
public:
    explicit ChangeDecoder(DecoderSink& sink) : sink_(sink) {}

    // Decodes one frame payload: get_vid, then dispatch_by_vid. Failures are std::runtime_error
    // with fixed texts; what was handed to the sink before the failure stays handed.
    void decode_payload(ByteView payload);

    // Reads the top-level preamble (lead byte, Message type byte) and returns the VID.
    static std::int64_t get_vid(ByteView& view);
    // Whether the last payload given to decode_payload reached a changes message or a snapshot
    // answer: when it then failed, rows or the end of a snapshot were lost with it.
    bool reached_rows() const { return reached_rows_; }
    // Routes the message that follows a VID: changes, snapshot response, envelope, pass-through.
    void dispatch_by_vid(std::int64_t vid, ByteView& view);
    // Reads the encoding byte and walks the fields; a changes message is then decoded. An absent
    // encoding byte is a message without fields.
    void parse_message(std::int64_t vid, ByteView& view);
    // Field walks. With `changes`, the fields of a changes message are collected into it.
    void parse_message_name_field_encoding(std::int64_t vid, ByteView& view,
                                           CenterChangesAccum* changes = nullptr);
    void parse_message_positional_encoding(std::int64_t vid, ByteView& view,
                                           CenterChangesAccum* changes = nullptr);
    void parse_nested_message_field(ByteView& view, std::string_view field_name);
    // Steps over one value of the given type code. Input that cannot be trusted is refused
    // rather than followed: a string whose declared length runs past the end of the view fails
    // ("Malformed message: string runs past the end of the message"), as does a collection or
    // map count larger than the bytes left, and nesting deeper than kMaxNestingDepth.
    void skip_field_value(ByteView& view, char type);

    // Changes messages. Roles: 0 added, 1 updated, 2 removed, 3 schema changes, 4 string pool.
    void stash_center_byte_array(int role, ByteView& view, CenterChangesAccum& accum);
    void flush_center_changes(CenterChangesAccum& accum);
    void parse_string_pool(ByteView bytes);
    void parse_schema_changes(ByteView bytes);
    void parse_entities(std::int64_t seqnum, std::uint8_t action, ByteView bytes, UpdateBatch& out) const;
    FieldValue get_entity_value(ByteView& view) const;
    // get_entity_value into `out`, reusing the capacity of the text or bytes it holds.
    void read_entity_value(ByteView& view, FieldValue& out) const;

    std::int64_t last_seqnum() const { return last_seqnum_; }
    const StringPool& string_pool() const { return string_pool_; }

private:
    class DepthGuard;

    bool take_changes_field(std::string_view name, std::uint8_t type, ByteView& view,
                            CenterChangesAccum& changes);
    bool take_changes_field(std::uint8_t pid, std::uint8_t type, ByteView& view, CenterChangesAccum& changes);
    void read_seqnum(ByteView& view);
    // read_entity_value for the less frequent codes (characters, byte strings, big decimals,
    // complex numbers, UUIDs); an unknown code fails there.
    void read_other_entity_value(std::uint8_t code, ByteView& view, FieldValue& out) const;
    void skip_fixed(ByteView& view, std::size_t size, const char* description);
    void skip_array(ByteView& view, std::size_t element_size, const char* name, const char* description);
    void skip_collection(ByteView& view);
    void skip_map(ByteView& view);
    void parse_entity_list(std::int64_t seqnum, std::uint8_t action, ByteView bytes, UpdateBatch& out) const;
    void parse_legacy_removals(std::int64_t seqnum, ByteView bytes, UpdateBatch& out) const;

    DecoderSink& sink_;
    StringPool string_pool_;
    std::int64_t last_seqnum_ = 0;
    int depth_ = 0;
    bool reached_rows_ = false;
    // Set once a server exception has swallowed the rest of the frame: every enclosing walk and
    // collection stops there instead of reading on from an empty view.
    bool frame_ended_ = false;
    // The accumulators of the changes messages being walked, one per nesting depth, kept with
    // their capacity from message to message. A deque: deeper ones are added while shallower
    // ones are in use.
    std::deque<CenterChangesAccum> accums_;
};

}  // namespace center
}  // namespace tyx
