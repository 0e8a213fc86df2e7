#include "center_wire.hpp"

#include <algorithm>
#include <stdexcept>

#include "tyx/type_codes.hpp"

namespace tyx::sandbox::center {

std::int64_t vid_of(std::string_view text) {
    if (text.size() != 8) throw std::runtime_error("Invalid VID length: " + std::to_string(text.size()));
    std::int64_t n = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'Z')
            d = c - 'A' + 10;
        else if (c == '.')
            d = 36;
        else
            throw std::runtime_error(std::string("Invalid VID char: ") + c);
        n = n * 38 + d;
    }
    constexpr std::int64_t k38p4 = 38LL * 38 * 38 * 38;
    return n * k38p4 + k38p4 + 1;
}

Writer& Writer::preamble(std::int64_t v, bool by_position) {
    return u8(0).u8(field::Message).vid(v).u8(by_position ? 1 : 0);
}

Writer& Writer::nested(std::int64_t v, bool by_position) {
    return vid(v).u8(by_position ? 1 : 0);
}

Writer& Writer::named(std::string_view name, std::uint8_t type) {
    put_i16(bytes, static_cast<std::int16_t>(name.size()));
    put_raw(bytes, name.data(), name.size());
    return u8(type);
}

Writer& Writer::positional(std::uint8_t pid, std::uint8_t type) {
    return u8(pid).u8(type);
}

Writer& Writer::byte_array(const Bytes& b) {
    i32(static_cast<std::int32_t>(b.size()));
    return raw(b);
}

Bytes frame(const Bytes& payload) {
    Bytes out;
    out.reserve(payload.size() + 8);
    put_i32(out, 0);
    put_i32(out, static_cast<std::int32_t>(payload.size()));
    put_raw(out, payload.data(), payload.size());
    return out;
}

std::int16_t KeyPool::key(const std::string& name) {
    auto it = std::lower_bound(index_.begin(), index_.end(), name,
                               [](const auto& entry, const std::string& n) { return entry.first < n; });
    if (it != index_.end() && it->first == name) return it->second;
    if (names_.size() >= 32767) throw std::length_error("center key pool is full");
    names_.push_back(name);
    const auto key = static_cast<std::int16_t>(names_.size());
    index_.insert(it, {name, key});
    return key;
}

Bytes encode_string_pool(const std::vector<std::int16_t>& keys, const KeyPool& pool) {
    Bytes out;
    for (auto k : keys) {
        put_u8(out, 0);  // a key entry
        put_i16(out, k);
        put_string(out, pool.name(k));
    }
    return out;
}

Bytes encode_schema_changes(const std::vector<CenterSchema>& schemas, KeyPool& pool) {
    Bytes out;
    for (const auto& s : schemas) {
        put_i16(out, pool.key(s.table));
        put_u8(out, s.kind);
        put_i16(out, static_cast<std::int16_t>(s.columns.size()));
        for (const auto& c : s.columns) {
            put_i16(out, pool.key(c.name));
            put_u8(out, c.type);
            put_u8(out, c.flags);
        }
    }
    return out;
}

void append_center_value(Bytes& out, const CenterValue& v) {
    put_u8(out, v.code);
    switch (v.code) {
        case value::Boolean:
            put_u8(out, v.integer != 0 ? 1 : 0);
            break;
        case value::Float:
            put_f32(out, static_cast<float>(v.real));
            break;
        case value::Double:
            put_f64(out, v.real);
            break;
        case value::Int32:
            put_i32(out, static_cast<std::int32_t>(v.integer));
            break;
        case value::Int64:
            put_i64(out, v.integer);
            break;
        case value::Text:
        case value::Bytes:
            put_i32(out, static_cast<std::int32_t>(v.text.size()));
            put_raw(out, v.text.data(), v.text.size());
            break;
        default:  // Null and codes without a value
            break;
    }
}

Bytes encode_entities(const std::vector<CenterEntity>& entities, KeyPool& pool) {
    Bytes out;
    for (const auto& e : entities) {
        const auto at = out.size();
        put_i32(out, 0);  // size, filled in below
        put_i16(out, pool.key(e.table));
        put_i64(out, e.id);
        const bool with_fields = e.action != 3;
        put_u8(out, static_cast<std::uint8_t>(0x20 | (with_fields ? 0x40 : 0)));
        put_string(out, e.object_id);
        if (with_fields) {
            put_i16(out, static_cast<std::int16_t>(e.field_names.size()));
            for (std::size_t i = 0; i < e.field_names.size(); ++i) {
                put_i16(out, pool.key(e.field_names[i]));
                append_center_value(out, i < e.values.size() ? e.values[i] : CenterValue{});
            }
        }
        const auto size = static_cast<std::uint32_t>(out.size() - at - 4);
        for (int b = 0; b < 4; ++b)
            out[at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(size >> (24 - 8 * b));
    }
    return out;
}

Bytes encode_changes_payload(const ChangesMessage& m, KeyPool& pool, bool by_position) {
    // The names must hold keys before the pool entries are written, so encode the parts first.
    const Bytes schemas = m.schemas.empty() ? Bytes{} : encode_schema_changes(m.schemas, pool);
    std::vector<std::pair<std::uint8_t, Bytes>> runs;
    for (std::size_t i = 0; i < m.entities.size();) {
        std::size_t j = i;
        while (j < m.entities.size() && m.entities[j].action == m.entities[i].action) ++j;
        runs.emplace_back(m.entities[i].action,
                          encode_entities({m.entities.begin() + static_cast<std::ptrdiff_t>(i),
                                           m.entities.begin() + static_cast<std::ptrdiff_t>(j)},
                                          pool));
        i = j;
    }
    Writer w;
    w.preamble(kVidChanges, by_position);
    auto head = [&](const char* name, std::uint8_t pid, std::uint8_t type) {
        if (by_position)
            w.positional(pid, type);
        else
            w.named(name, type);
    };
    head("seqNum", 20, field::PrimitiveLong);
    w.i64(m.seqnum);
    if (!m.pool_keys.empty()) {
        head("tyxValuesStringPoolMap", 28, field::ByteArray);
        w.byte_array(encode_string_pool(m.pool_keys, pool));
    }
    if (!schemas.empty()) {
        head("schemaChanges", 27, field::ByteArray);
        w.byte_array(schemas);
    }
    for (const auto& [action, bytes] : runs) {
        if (action == 1)
            head("tyxEntitiesAdded", 24, field::ByteArray);
        else if (action == 2)
            head("tyxEntitiesUpdated", 25, field::ByteArray);
        else
            head("tyxEntitiesRemoved", 26, field::ByteArray);
        w.byte_array(bytes);
    }
    if (by_position)
        w.end_by_position();
    else
        w.end_by_name();
    return std::move(w.bytes);
}

namespace {

void head(Writer& w, bool by_position, const char* name, std::uint8_t pid, std::uint8_t type) {
    if (by_position)
        w.positional(pid, type);
    else
        w.named(name, type);
}

void entities_head(Writer& w, bool by_position, std::uint8_t action) {
    if (action == 1)
        head(w, by_position, "tyxEntitiesAdded", 24, field::ByteArray);
    else if (action == 2)
        head(w, by_position, "tyxEntitiesUpdated", 25, field::ByteArray);
    else
        head(w, by_position, "tyxEntitiesRemoved", 26, field::ByteArray);
}

void patch_u32(Bytes& b, std::size_t at, std::size_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

Bytes encode_changes_frame(std::int64_t seqnum, const std::vector<CenterSchema>& schemas,
                           const EncodedEntities& from, const std::vector<char>& take, KeyPool& pool,
                           std::unordered_set<std::int16_t>& sent, bool by_position) {
    std::vector<std::int16_t> pool_keys;
    auto use = [&](std::int16_t key) {
        if (sent.insert(key).second) pool_keys.push_back(key);
    };
    for (const auto& s : schemas) {
        use(pool.key(s.table));
        for (const auto& c : s.columns) use(pool.key(c.name));
    }
    std::vector<char> keys_seen(from.key_lists.size(), 0);
    for (const auto& e : from.entities) {
        if (!take[e.table] || keys_seen[e.keys]) continue;
        keys_seen[e.keys] = 1;
        for (const auto k : from.key_lists[e.keys]) use(k);
    }
    Writer w;
    w.bytes.reserve(from.bytes.size() + 256);
    w.bytes.resize(8, 0);  // the frame's header, its length filled in at the end
    w.preamble(kVidChanges, by_position);
    head(w, by_position, "seqNum", 20, field::PrimitiveLong);
    w.i64(seqnum);
    if (!pool_keys.empty()) {
        head(w, by_position, "tyxValuesStringPoolMap", 28, field::ByteArray);
        w.byte_array(encode_string_pool(pool_keys, pool));
    }
    if (!schemas.empty()) {
        head(w, by_position, "schemaChanges", 27, field::ByteArray);
        w.byte_array(encode_schema_changes(schemas, pool));
    }
    // One byte array per run of taken entities with the same action; their bytes are copied in
    // spans as long as they lie next to each other.
    std::size_t run_at = 0;
    int action = -1;
    const std::uint8_t* span = nullptr;
    std::size_t span_size = 0;
    auto flush_span = [&] {
        if (span_size > 0) w.bytes.insert(w.bytes.end(), span, span + span_size);
        span_size = 0;
    };
    auto end_run = [&] {
        flush_span();
        if (action >= 0) patch_u32(w.bytes, run_at, w.bytes.size() - run_at - 4);
    };
    for (const auto& e : from.entities) {
        if (!take[e.table]) continue;
        if (e.action != action) {
            end_run();
            action = e.action;
            entities_head(w, by_position, e.action);
            run_at = w.bytes.size();
            w.i32(0);
        }
        const auto* p = from.bytes.data() + e.begin;
        if (span_size > 0 && span + span_size != p) flush_span();
        if (span_size == 0) span = p;
        span_size += e.end - e.begin;
    }
    end_run();
    if (by_position)
        w.end_by_position();
    else
        w.end_by_name();
    patch_u32(w.bytes, 4, w.bytes.size() - 8);
    return std::move(w.bytes);
}

Bytes encode_snapshot_response_payload() {
    return std::move(Writer().preamble(kVidSnapshotResponse, false).end_by_name().bytes);
}

Bytes encode_throwable_payload(std::string_view text) {
    return std::move(
        Writer().preamble(kVidPassThrough, false).named("exception", field::Throwable).text(text).bytes);
}

// ---- Reading ----

const WireField* WireMessage::find(std::string_view name) const {
    for (const auto& f : fields)
        if (f.pid < 0 && f.name == name) return &f;
    return nullptr;
}

const WireField* WireMessage::find(int pid) const {
    for (const auto& f : fields)
        if (f.pid == pid) return &f;
    return nullptr;
}

namespace {

constexpr int kMaxDepth = 32;

std::shared_ptr<WireMessage> read_message_body(WireReader& r, std::int64_t vid, int depth);

std::shared_ptr<WireMessage> read_nested(WireReader& r, int depth) {
    if (r.remaining() >= 2 && (r.position()[0] == 0 || r.position()[0] == 1) &&
        r.position()[1] == field::Message)
        r.raw(2);
    const auto vid = r.i64();
    return read_message_body(r, vid, depth + 1);
}

// Element width of a primitive array type.
std::size_t array_element_width(TypeCode type) {
    switch (type) {
        case TypeCode::PrimitiveByteArray:
            return 1;
        case TypeCode::PrimitiveCharArray:
            return 2;
        case TypeCode::PrimitiveIntArray:
        case TypeCode::PrimitiveFloatArray:
            return 4;
        default:
            return 8;
    }
}

WireValue read_value(WireReader& r, std::uint8_t type, int depth) {
    if (depth > kMaxDepth) throw MalformedInput("messages nested too deeply");
    WireValue out;
    out.type = type;
    const auto code = static_cast<TypeCode>(type);
    switch (code) {
        case TypeCode::PrimitiveBoolean:
        case TypeCode::PrimitiveByte:
        case TypeCode::Boolean:
        case TypeCode::Byte:
            out.v = std::int64_t{r.u8()};
            break;
        case TypeCode::PrimitiveShort:
        case TypeCode::Short:
            out.v = std::int64_t{r.i16()};
            break;
        case TypeCode::PrimitiveChar:
        case TypeCode::Character:
            out.v = std::int64_t{r.u16()};
            break;
        case TypeCode::PrimitiveInt:
        case TypeCode::Integer:
            out.v = std::int64_t{r.i32()};
            break;
        case TypeCode::PrimitiveFloat:
        case TypeCode::Float:
            out.v = double{r.f32()};
            break;
        case TypeCode::PrimitiveLong:
        case TypeCode::Long:
            out.v = r.i64();
            break;
        case TypeCode::PrimitiveDouble:
        case TypeCode::Double:
            out.v = r.f64();
            break;
        case TypeCode::String:
            out.v = std::string(r.string());
            break;
        case TypeCode::List:
        case TypeCode::Set: {
            const auto n = r.i32();
            if (n < 0) throw MalformedInput("negative collection count");
            std::vector<WireValue> items;
            if (n > 0) {
                const auto element = r.u8();
                for (std::int32_t i = 0; i < n; ++i) items.push_back(read_value(r, element, depth + 1));
            }
            out.v = std::move(items);
            break;
        }
        case TypeCode::Map: {
            const auto n = r.i32();
            if (n < 0) throw MalformedInput("negative map count");
            std::vector<WireValue> items;  // key, value, key, value, ...
            if (n > 0) {
                const auto kt = r.u8();
                const auto vt = r.u8();
                for (std::int32_t i = 0; i < n; ++i) {
                    items.push_back(read_value(r, kt, depth + 1));
                    items.push_back(read_value(r, vt, depth + 1));
                }
            }
            out.v = std::move(items);
            break;
        }
        case TypeCode::Message:
            out.v = read_nested(r, depth);
            break;
        case TypeCode::Null:
            break;
        case TypeCode::PrimitiveByteArray:
        case TypeCode::PrimitiveIntArray:
        case TypeCode::PrimitiveLongArray:
        case TypeCode::PrimitiveCharArray:
        case TypeCode::PrimitiveDoubleArray:
        case TypeCode::PrimitiveFloatArray: {
            const auto n = r.i32();
            if (n < 0) throw MalformedInput("negative array length");
            const std::size_t width = array_element_width(code);
            if (static_cast<std::size_t>(n) > r.remaining() / width) throw MalformedInput("truncated input");
            out.v = std::string(r.raw(static_cast<std::size_t>(n) * width));
            break;
        }
        default:
            throw MalformedInput("unknown field type " + std::to_string(type));
    }
    return out;
}

std::shared_ptr<WireMessage> read_message_body(WireReader& r, std::int64_t vid, int depth) {
    if (depth > kMaxDepth) throw MalformedInput("messages nested too deeply");
    auto m = std::make_shared<WireMessage>();
    m->vid = vid;
    m->by_position = r.u8() != 0;
    for (;;) {
        WireField f;
        if (m->by_position) {
            const auto pid = r.u8();
            if (pid == 0xFF) break;
            f.pid = pid;
        } else {
            const auto len = r.u16();
            if (len == 0) break;
            f.name = std::string(r.raw(len));
        }
        const auto type = r.u8();
        f.value = read_value(r, type, depth);
        m->fields.push_back(std::move(f));
    }
    return m;
}

const WireMessage& message_field(const WireMessage& m, const WireField* f, std::int64_t vid,
                                 const char* what) {
    if (f == nullptr || f->value.type != field::Message) throw MalformedInput(std::string("missing ") + what);
    const auto& nested = *std::get<std::shared_ptr<WireMessage>>(f->value.v);
    if (nested.vid != vid) throw MalformedInput(std::string("unexpected message class for ") + what);
    (void)m;
    return nested;
}

bool bool_of(const WireField* f) {
    if (f == nullptr) return false;
    if (const auto* i = std::get_if<std::int64_t>(&f->value.v)) return *i != 0;
    return false;
}

std::vector<std::string> strings_of(const WireField* f) {
    std::vector<std::string> out;
    if (f == nullptr) return out;
    const auto* items = std::get_if<std::vector<WireValue>>(&f->value.v);
    if (items == nullptr) throw MalformedInput("expected a list of strings");
    for (const auto& item : *items) {
        const auto* s = std::get_if<std::string>(&item.v);
        if (s == nullptr) throw MalformedInput("expected a list of strings");
        out.push_back(*s);
    }
    return out;
}

}  // namespace

WireMessage read_payload(const Bytes& payload) {
    WireReader r(payload);
    if (payload.size() < 10) throw MalformedInput("payload too short for a preamble");
    r.u8();
    if (r.u8() != field::Message) throw MalformedInput("payload does not start with a message");
    const auto vid = r.i64();
    return std::move(*read_message_body(r, vid, 0));
}

SubscriptionRequest read_subscription_request(const Bytes& payload) {
    const auto top = read_payload(payload);
    if (top.vid != kVidEnvelope)
        throw MalformedInput("not a request envelope: VID " + std::to_string(top.vid));
    SubscriptionRequest out;
    const auto& request = message_field(top, top.find(1), kVidRequest, "request body (PID 1)");
    const auto& query = message_field(request, request.find("action"), kVidQuery, "\"action\" query");
    if (const auto* f = query.find(2); f != nullptr && std::holds_alternative<std::int64_t>(f->value.v))
        out.value = static_cast<std::int32_t>(std::get<std::int64_t>(f->value.v));
    out.query_flag = bool_of(query.find(4));
    if (const auto* f = query.find(51); f != nullptr && std::holds_alternative<std::string>(f->value.v))
        out.client = std::get<std::string>(f->value.v);
    if (const auto* f = query.find(54); f != nullptr && std::holds_alternative<std::int64_t>(f->value.v))
        out.timestamp_ms = std::get<std::int64_t>(f->value.v);
    const auto* list = query.find(3);
    if (list == nullptr || (list->value.type != field::List && list->value.type != field::Set))
        throw MalformedInput("missing table list (PID 3)");
    bool all_remove = true;
    for (const auto& item : std::get<std::vector<WireValue>>(list->value.v)) {
        const auto* entry = std::get_if<std::shared_ptr<WireMessage>>(&item.v);
        if (entry == nullptr || (*entry)->vid != kVidTableEntry)
            throw MalformedInput("table list holds a non-entry");
        const auto& e = **entry;
        TableRequest t;
        const auto* name = e.find(1);
        if (name == nullptr || !std::holds_alternative<std::string>(name->value.v))
            throw MalformedInput("table entry without a name");
        t.table = std::get<std::string>(name->value.v);
        t.first_list = strings_of(e.find(2));
        t.flag = bool_of(e.find(3));
        t.second_list = strings_of(e.find(4));
        t.remove = bool_of(e.find(5));
        all_remove = all_remove && t.remove;
        out.tables.push_back(std::move(t));
    }
    out.remove = !out.tables.empty() && all_remove;
    if (const auto* f = top.find(3); f != nullptr && std::holds_alternative<std::string>(f->value.v))
        out.process_uid = std::get<std::string>(f->value.v);
    return out;
}

}  // namespace tyx::sandbox::center
