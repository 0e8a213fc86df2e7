// Test-side bytes of the center protocol, written apart from the sandbox's codec so that the
// tests check it: a builder of greetings and subscription requests, and a small reader of the
// changes and snapshot-response messages the center sends.
#pragma once

#include "support/sandbox_test_socket.hpp"

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::test::centerbytes {

using Bytes = std::vector<std::uint8_t>;

inline std::int64_t vid(std::string_view text) {
    std::int64_t n = 0;
    for (char c : text) n = n * 38 + (c == '.' ? 36 : c <= '9' ? c - '0' : c - 'A' + 10);
    return n * 2085136 + 2085137;
}

struct Builder {
    Bytes b;
    Builder& u8(std::uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Builder& be16(std::uint16_t v) {
        return u8(static_cast<std::uint8_t>(v >> 8)).u8(static_cast<std::uint8_t>(v));
    }
    Builder& be32(std::uint32_t v) {
        return be16(static_cast<std::uint16_t>(v >> 16)).be16(static_cast<std::uint16_t>(v));
    }
    Builder& be64(std::uint64_t v) {
        return be32(static_cast<std::uint32_t>(v >> 32)).be32(static_cast<std::uint32_t>(v));
    }
    Builder& ascii(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Builder& java_utf(std::string_view s) { return be16(static_cast<std::uint16_t>(s.size())).ascii(s); }
    Builder& text(std::string_view s) {  // the string form
        if (s.empty()) return u8(0).u8(1).u8(0xFF);
        return java_utf(s);
    }
    Builder& vid(std::string_view v) { return be64(static_cast<std::uint64_t>(centerbytes::vid(v))); }
    Builder& named(std::string_view name, std::uint8_t type) { return java_utf(name).u8(type); }
    Builder& pid(std::uint8_t p, std::uint8_t type) { return u8(p).u8(type); }
    Builder& bytes(const Bytes& x) {
        b.insert(b.end(), x.begin(), x.end());
        return *this;
    }
};

inline Bytes frame(const Bytes& payload) {
    return Builder().be32(0).be32(static_cast<std::uint32_t>(payload.size())).bytes(payload).b;
}

inline Bytes greeting(char direction, std::string_view uid) {
    const std::string channel = direction == 'R' ? "web.to.center" : "center.to.web$" + std::string(uid);
    return Builder()
        .java_utf("XQDM|dTP")
        .u8(0)
        .u8(static_cast<std::uint8_t>(direction))
        .java_utf(channel)
        .java_utf(uid)
        .b;
}

struct TableRequest {
    TableRequest(std::string n, std::vector<std::string> f = {}, bool fl = false, std::vector<std::string> s = {})
        : name(std::move(n)), first(std::move(f)), flag(fl), second(std::move(s)) {}
    std::string name;
    std::vector<std::string> first;
    bool flag = false;
    std::vector<std::string> second;
};

// The client's subscription request frame, field by field.
inline Bytes request_frame(const std::vector<TableRequest>& tables, bool remove, std::string_view uid,
                           std::int64_t time_ms = 1700000000000) {
    Builder p;
    p.u8(0).u8(0x29).vid("Y9.ST.MS").u8(1);
    p.pid(1, 41).vid("Y9.BA.RQ").u8(0);
    p.named("action", 41).vid("Y9.VE.SQ").u8(1);
    p.pid(2, 4).be32(20000);
    p.pid(4, 0).u8(1);
    p.pid(3, 21).be32(static_cast<std::uint32_t>(tables.size()));
    if (!tables.empty()) p.u8(41);
    auto strings = [&](std::uint8_t pid, const std::vector<std::string>& list) {
        if (list.empty()) return;
        p.pid(pid, 21).be32(static_cast<std::uint32_t>(list.size())).u8(20);
        for (const auto& s : list) p.text(s);
    };
    for (const auto& t : tables) {
        p.vid("Y9.VE.UR").u8(1);
        p.pid(1, 20).text(t.name);
        strings(2, t.first);
        p.pid(3, 0).u8(t.flag ? 1 : 0);
        strings(4, t.second);
        if (remove) p.pid(5, 0).u8(1);
        p.u8(0xFF);
    }
    p.pid(51, 20).text("tyx_client_cpp");
    p.pid(54, 6).be64(static_cast<std::uint64_t>(time_ms));
    p.u8(0xFF);
    p.be16(0);  // end of "Y9.BA.RQ"
    p.pid(2, 52).pid(3, 20).text(uid).pid(4, 52).pid(5, 52).u8(0xFF);
    return frame(p.b);
}

struct Value {
    std::uint8_t code = 1;
    std::int64_t i = 0;
    double d = 0;
    std::string s;
};
struct Entity {
    std::uint8_t action = 0;
    std::string table;
    std::int64_t id = 0;
    std::string object_id;
    std::vector<std::pair<std::string, Value>> fields;
};
struct Column {
    std::string name;
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
};
struct Schema {
    std::string table;
    std::uint8_t kind = 0;
    std::vector<Column> columns;
};
struct Message {
    std::int64_t vid = 0;
    bool by_position = false;
    std::vector<std::string> fields;  // names, or PIDs in decimal, in order
    std::optional<std::int64_t> seqnum;
    std::vector<std::pair<std::int16_t, std::string>> pool;
    std::vector<Schema> schemas;
    std::vector<Entity> entities;
};

// Reads center messages; keeps the key names it has been sent, as a client does.
class Reader {
public:
    std::map<std::int16_t, std::string> keys;

    Message read(const Bytes& payload) {
        at_ = 0;
        data_ = &payload;
        Message m;
        if (u8() != 0 || u8() != 0x29) throw std::runtime_error("preamble");
        m.vid = i64();
        m.by_position = u8() != 0;
        std::vector<std::pair<int, Bytes>> arrays;  // role 0-2 entities, 3 schema, 4 pool
        for (;;) {
            std::string name;
            if (m.by_position) {
                const auto p = u8();
                if (p == 0xFF) break;
                name = std::to_string(p);
            } else {
                const auto n = u16();
                if (n == 0) break;
                name = take_string(n);
            }
            m.fields.push_back(name);
            const auto type = u8();
            if (type == 6) {
                m.seqnum = i64();
            } else if (type == 101) {
                const auto n = static_cast<std::size_t>(i32());
                need(n);
                Bytes b(data_->begin() + static_cast<std::ptrdiff_t>(at_),
                        data_->begin() + static_cast<std::ptrdiff_t>(at_ + n));
                at_ += n;
                static const std::map<std::string, int> roles = {
                    {"tyxEntitiesAdded", 0},       {"24", 0}, {"tyxEntitiesUpdated", 1}, {"25", 1},
                    {"tyxEntitiesRemoved", 2},     {"26", 2}, {"schemaChanges", 3},      {"27", 3},
                    {"tyxValuesStringPoolMap", 4}, {"28", 4}};
                arrays.emplace_back(roles.at(name), std::move(b));
            } else {
                throw std::runtime_error("unexpected field type " + std::to_string(type));
            }
        }
        if (at_ != payload.size()) throw std::runtime_error("bytes after the end marker");
        for (int pass : {4, 3})
            for (auto& [role, b] : arrays)
                if (role == pass) pass == 4 ? read_pool(b, m) : read_schemas(b, m);
        for (auto& [role, b] : arrays)
            if (role <= 2) read_entities(b, static_cast<std::uint8_t>(role + 1), m);
        return m;
    }

private:
    const Bytes* data_ = nullptr;
    std::size_t at_ = 0;

    void need(std::size_t n) const {
        if (data_->size() - at_ < n) throw std::runtime_error("truncated");
    }
    std::uint8_t u8() {
        need(1);
        return (*data_)[at_++];
    }
    std::uint16_t u16() {
        const auto hi = u8();
        return static_cast<std::uint16_t>(hi << 8 | u8());
    }
    std::int32_t i32() {
        const std::uint32_t hi = u16();
        return static_cast<std::int32_t>(hi << 16 | u16());
    }
    std::int64_t i64() {
        const auto hi = static_cast<std::uint32_t>(i32());
        return static_cast<std::int64_t>(std::uint64_t{hi} << 32 | static_cast<std::uint32_t>(i32()));
    }
    std::string take_string(std::size_t n) {
        need(n);
        std::string s(data_->begin() + static_cast<std::ptrdiff_t>(at_),
                      data_->begin() + static_cast<std::ptrdiff_t>(at_ + n));
        at_ += n;
        return s;
    }
    std::string text() {
        const auto n = u16();
        if (n == 1 && at_ < data_->size() && (*data_)[at_] == 0xFF) {
            ++at_;
            return {};
        }
        return take_string(n);
    }
    template <typename F>
    void over(const Bytes& b, F f) {
        const Bytes* saved = data_;
        const auto saved_at = at_;
        data_ = &b;
        at_ = 0;
        while (at_ < b.size()) f();
        data_ = saved;
        at_ = saved_at;
    }
    void read_pool(const Bytes& b, Message& m) {
        over(b, [&] {
            if (u8() != 0) throw std::runtime_error("value entry");
            const auto k = static_cast<std::int16_t>(u16());
            keys[k] = text();
            m.pool.emplace_back(k, keys[k]);
        });
    }
    void read_schemas(const Bytes& b, Message& m) {
        over(b, [&] {
            Schema s;
            s.table = keys.at(static_cast<std::int16_t>(u16()));
            s.kind = u8();
            const auto n = u16();
            for (int c = 0; c < n; ++c) {
                Column col;
                col.name = keys.at(static_cast<std::int16_t>(u16()));
                col.type = u8();
                col.flags = u8();
                s.columns.push_back(col);
            }
            m.schemas.push_back(std::move(s));
        });
    }
    void read_entities(const Bytes& b, std::uint8_t action, Message& m) {
        over(b, [&] {
            Entity e;
            e.action = action;
            const auto size = static_cast<std::size_t>(i32());
            const auto end = at_ + size;
            e.table = keys.at(static_cast<std::int16_t>(u16()));
            e.id = i64();
            const auto flags = u8();
            if ((flags & 0x1F) != 0) throw std::runtime_error("unexpected entity flags");
            if (flags & 0x20) e.object_id = text();
            if (flags & 0x40) {
                const auto n = u16();
                for (int f = 0; f < n; ++f) {
                    const auto name = keys.at(static_cast<std::int16_t>(u16()));
                    Value v;
                    v.code = u8();
                    switch (v.code) {
                        case 1:
                            break;
                        case 5: {
                            const auto bits = static_cast<std::uint32_t>(i32());
                            float x;
                            std::memcpy(&x, &bits, 4);
                            v.d = x;
                            break;
                        }
                        case 6: {
                            const auto bits = static_cast<std::uint64_t>(i64());
                            std::memcpy(&v.d, &bits, 8);
                            break;
                        }
                        case 8:
                        case 40:
                            v.s = take_string(static_cast<std::size_t>(i32()));
                            break;
                        case 13:
                            v.i = i32();
                            break;
                        case 31:
                            v.i = i64();
                            break;
                        default:
                            throw std::runtime_error("value code " + std::to_string(v.code));
                    }
                    e.fields.emplace_back(name, v);
                }
            }
            if (at_ != end) throw std::runtime_error("entity size does not match its bytes");
            m.entities.push_back(std::move(e));
        });
    }
};

// Reads one frame's payload from `socket`; nullopt on close or deadline.
inline std::optional<Bytes> read_payload(SandboxTestSocket& socket,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto head = socket.read_exact(8, timeout);
    if (!head) return std::nullopt;
    const auto n = std::uint32_t{(*head)[4]} << 24 | std::uint32_t{(*head)[5]} << 16 |
                   std::uint32_t{(*head)[6]} << 8 | std::uint32_t{(*head)[7]};
    return socket.read_exact(n, timeout);
}

}  // namespace tyx::test::centerbytes
