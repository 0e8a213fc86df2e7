// The sandbox center's own byte forms: frames, message preambles, message-class identifiers
// (VIDs), typed fields by name or by position, the changes message it sends (string pool, schema
// changes, entities), and its reading of the handshake and of subscription requests. Pure
// functions over byte vectors; no sockets. Written apart from the client's codec on purpose, so
// that each side checks the other.
#pragma once

#include "db_wire.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

namespace tyx::sandbox::center {

// Field type codes used on the center wire.
namespace field {
inline constexpr std::uint8_t PrimitiveBoolean = 0, PrimitiveInt = 4, PrimitiveLong = 6, Boolean = 10,
                              Integer = 14, Long = 16, Double = 17, String = 20, List = 21, Set = 22,
                              Map = 23, Message = 41, Null = 52, Throwable = 53, ByteArray = 101;
}

// Value codes of one entity field (the byte before each value inside an entity).
namespace value {
inline constexpr std::uint8_t Null = 1, Boolean = 2, Float = 5, Double = 6, Text = 8, Int32 = 13, Int64 = 31,
                              Bytes = 40;
}

// A VID's 64-bit identifier from its eight characters ("Y9.VE.CH"): digits 0-9, A-Z as 10-35
// and '.' as 36 read as a base-38 number n, then n * 38^4 + 38^4 + 1. Throws std::runtime_error
// "Invalid VID char: c" for any other character, and for a text that is not 8 characters long.
std::int64_t vid_of(std::string_view text);

inline const std::int64_t kVidChanges = vid_of("Y9.VE.CH");
inline const std::int64_t kVidEnvelope = vid_of("Y9.ST.MS");
inline const std::int64_t kVidRequest = vid_of("Y9.BA.RQ");
inline const std::int64_t kVidQuery = vid_of("Y9.VE.SQ");
inline const std::int64_t kVidTableEntry = vid_of("Y9.VE.UR");
inline const std::int64_t kVidSnapshotResponse = vid_of("Y9.VE.SR");
inline const std::int64_t kVidPassThrough = vid_of("Y9.ST.PT");

// ---- Writing ----

// Builds message bytes: big-endian integers, the string form, VIDs and field heads.
class Writer {
public:
    Bytes bytes;

    Writer& u8(std::uint8_t v) {
        put_u8(bytes, v);
        return *this;
    }
    Writer& i16(std::int16_t v) {
        put_i16(bytes, v);
        return *this;
    }
    Writer& i32(std::int32_t v) {
        put_i32(bytes, v);
        return *this;
    }
    Writer& i64(std::int64_t v) {
        put_i64(bytes, v);
        return *this;
    }
    Writer& raw(const Bytes& b) {
        put_raw(bytes, b.data(), b.size());
        return *this;
    }
    // The string form.
    Writer& text(std::string_view s) {
        put_string(bytes, s);
        return *this;
    }
    Writer& vid(std::int64_t v) { return i64(v); }
    // Top-level preamble: lead byte 0, 0x29, VID, then the encoding byte (0 by name, 1 by position).
    Writer& preamble(std::int64_t vid, bool by_position);
    // A nested message's head: its VID and encoding byte (no two-byte preamble).
    Writer& nested(std::int64_t vid, bool by_position);
    Writer& named(std::string_view name, std::uint8_t type);  // 2-byte length, name, type byte
    Writer& positional(std::uint8_t pid, std::uint8_t type);  // PID, type byte
    Writer& end_by_name() { return u8(0).u8(0); }
    Writer& end_by_position() { return u8(0xFF); }
    Writer& byte_array(const Bytes& b);  // 4-byte length and the bytes
};

// One frame: 4 zero bytes, the 4-byte payload length, the payload.
Bytes frame(const Bytes& payload);

// One entity field value, as carried in a changes message.
struct CenterValue {
    std::uint8_t code = value::Null;
    std::int64_t integer = 0;  // Boolean, Int32, Int64
    double real = 0.0;         // Float, Double
    std::string text;          // Text, Bytes
};

struct CenterColumn {
    std::string name;
    std::uint8_t type = 0;  // the database type code of the column
    std::uint8_t flags = 0;
};

struct CenterSchema {
    std::string table;
    std::uint8_t kind = 0;
    std::vector<CenterColumn> columns;
};

// One row change: action 1 added, 2 updated, 3 removed. A removal carries no fields.
struct CenterEntity {
    std::uint8_t action = 1;
    std::string table;
    std::int64_t id = 0;
    std::string object_id;
    std::vector<std::string> field_names;
    std::vector<CenterValue> values;
};

// Gives the 16-bit key identifiers of table and field names, and remembers which of them a
// connection has already been sent.
class KeyPool {
public:
    // The key of `name`, made on first use (1, 2, ...). Throws std::length_error past 32767 names.
    std::int16_t key(const std::string& name);
    const std::string& name(std::int16_t key) const { return names_.at(static_cast<std::size_t>(key - 1)); }

private:
    std::vector<std::string> names_;
    std::vector<std::pair<std::string, std::int16_t>> index_;  // sorted by name
};

// The changes message ("Y9.VE.CH") of one sequence number, in this field order: seqNum, the
// string pool (when `pool_keys` is not empty), schemaChanges (when `schemas` is not empty), then
// one entity array per run of consecutive entities with the same action, so that the receiver's
// arrival order is the order of `entities`. By name the fields are "seqNum",
// "tyxValuesStringPoolMap", "schemaChanges", "tyxEntitiesAdded"/"Updated"/"Removed"; by position
// PIDs 20, 28, 27, 24/25/26.
struct ChangesMessage {
    std::int64_t seqnum = 0;
    std::vector<std::int16_t> pool_keys;  // key entries to send: each key with its name
    std::vector<CenterSchema> schemas;
    std::vector<CenterEntity> entities;
};
Bytes encode_changes_payload(const ChangesMessage& message, KeyPool& pool, bool by_position);

// The pieces of a changes message, for tests and for building odd messages by hand.
Bytes encode_string_pool(const std::vector<std::int16_t>& keys, const KeyPool& pool);
Bytes encode_schema_changes(const std::vector<CenterSchema>& schemas, KeyPool& pool);
Bytes encode_entities(const std::vector<CenterEntity>& entities, KeyPool& pool);
void append_center_value(Bytes& out, const CenterValue& v);

// Entities encoded ahead, as encode_entities writes them, one after another in `bytes`: what
// the sandbox store writes straight from SQLite, so that a feed or a snapshot is encoded once
// whatever the number of subscribers.
struct EncodedEntities {
    struct Entity {
        std::uint8_t action = 1;
        std::uint32_t table = 0;  // index in `tables`
        std::uint32_t keys = 0;   // index in `key_lists`
        std::size_t begin = 0;    // its bytes in `bytes`
        std::size_t end = 0;
    };
    Bytes bytes;
    std::vector<Entity> entities;
    std::vector<std::string> tables;
    // The pool keys an entity uses, in the order encode_changes_payload meets them: its
    // table's, then its fields'.
    std::vector<std::vector<std::int16_t>> key_lists;
};

// The frame of the changes message that frame(encode_changes_payload(m, ...)) gives for
// `schemas` and the entities of `from` whose table `take` marks (by table index), in order,
// where m's pool keys are those `sent` lacks (added to it).
Bytes encode_changes_frame(std::int64_t seqnum, const std::vector<CenterSchema>& schemas,
                           const EncodedEntities& from, const std::vector<char>& take, KeyPool& pool,
                           std::unordered_set<std::int16_t>& sent, bool by_position);

// The snapshot-response message ("Y9.VE.SR") by name with no field: 00 29 VID 00 00 00.
Bytes encode_snapshot_response_payload();
// A pass-through message ("Y9.ST.PT") by name holding one field "exception" of type Throwable
// followed by `text` in the string form; the receiver drops the rest of the message.
Bytes encode_throwable_payload(std::string_view text);

// ---- Reading ----

// The "MsgDirect" greeting each client connection opens with.
struct Handshake {
    std::string magic;    // "XQDM|dTP"
    char direction = 0;   // 'R': the client's requests connection; 'W': the connection the center writes to
    std::string channel;  // "web.to.center", or "center.to.web$" + process UID
    std::string process_uid;
};

// A generic reading of a message: every field with its value. Names are "" for positional fields.
struct WireMessage;
struct WireValue {
    std::uint8_t type = field::Null;
    std::variant<std::monostate, std::int64_t, double, std::string, std::vector<WireValue>,
                 std::shared_ptr<WireMessage>>
        v;
};
struct WireField {
    std::string name;
    int pid = -1;
    WireValue value;
};
struct WireMessage {
    std::int64_t vid = 0;
    bool by_position = false;
    std::vector<WireField> fields;
    const WireField* find(std::string_view name) const;
    const WireField* find(int pid) const;
};

// Reads a top-level payload (lead byte, 0x29, VID, encoding, fields). Throws MalformedInput.
WireMessage read_payload(const Bytes& payload);

// One table of a subscription request ("Y9.VE.UR").
struct TableRequest {
    std::string table;                     // PID 1
    std::vector<std::string> first_list;   // PID 2
    bool flag = false;                     // PID 3
    std::vector<std::string> second_list;  // PID 4
    bool remove = false;                   // PID 5
    bool operator==(const TableRequest&) const = default;
};

// A subscription or unsubscription request: "Y9.ST.MS" { PID 1: "Y9.BA.RQ" { "action":
// "Y9.VE.SQ" { PID 2 value, PID 4 flag, PID 3 list of "Y9.VE.UR", PID 51 client, PID 54 time } },
// PID 3 process UID }.
struct SubscriptionRequest {
    std::int32_t value = 0;
    bool query_flag = false;
    std::vector<TableRequest> tables;
    std::string client;
    std::int64_t timestamp_ms = 0;
    std::string process_uid;
    bool remove = false;  // every table carries PID 5 = 1
};
// Throws MalformedInput naming what is missing.
SubscriptionRequest read_subscription_request(const Bytes& payload);

}  // namespace tyx::sandbox::center
