#include "db_codec.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace tyx::sandbox {

namespace {

// Fixed width of a bulk-insert value, 0 for the variable forms, -1 for codes without values.
int bulk_value_width(std::uint8_t type) {
    switch (type) {
        case code::Boolean:
        case code::Byte:
            return 1;
        case code::Short:
        case code::Character:
            return 2;
        case code::Integer:
        case code::DatePart:
        case code::Float:
            return 4;
        case code::Long:
        case code::Date:
        case code::DateNanos:
        case code::DateMillis:
        case code::Double:
            return 8;
        case code::Complex:
            return 16;
        case code::String:
        case code::BytesCode:
        case code::UUID:
        case code::BigDecimal:
        case code::BigInteger:
            return 0;
        default:
            return -1;
    }
}

DbLoginRequest decode_login(WireReader& r) {
    DbLoginRequest login;
    r.expect(code::Map, "a map");
    const auto n = r.i32();
    if (n < 0) throw MalformedInput("negative map size");
    r.expect(code::String, "string keys");
    r.expect(code::String, "string values");
    for (std::int32_t i = 0; i < n; ++i) {
        auto key = std::string(r.string());
        auto value = std::string(r.string());
        login.entries.emplace_back(std::move(key), std::move(value));
    }
    r.expect(code::Integer, "the protocol version");
    login.version = r.i32();
    return login;
}

DbBulkInsertRequest decode_bulk(WireReader& r) {
    DbBulkInsertRequest bulk;
    r.expect(code::String, "the table name");
    bulk.table = std::string(r.string());
    r.expect(code::List, "the column name list");
    const auto names = r.i32();
    if (names < 0) throw MalformedInput("negative list size");
    r.expect(code::String, "string column names");
    for (std::int32_t i = 0; i < names; ++i) bulk.column_names.emplace_back(r.string());
    r.expect(code::TableColumnar, "a columnar table");
    r.expect(code::String, "the table name");
    r.string();
    const auto columns = r.i16();
    bulk.row_count = r.i32();
    if (columns < 0 || bulk.row_count < 0) throw MalformedInput("negative table size");
    const auto rows = static_cast<std::size_t>(bulk.row_count);
    for (std::int16_t c = 0; c < columns; ++c) {
        DbBulkColumn col;
        col.type = r.u8();
        r.expect(code::String, "a column name");
        col.name = std::string(r.string());
        col.nullable = r.u8() != 0;
        if (col.nullable) {
            const auto words = r.i32();
            if (words < 0 || static_cast<std::size_t>(words) > r.remaining() / 8)
                throw MalformedInput("bad null mask size");
            for (std::int32_t w = 0; w < words; ++w)
                col.null_mask.push_back(static_cast<std::uint64_t>(r.i64()));
        }
        col.values = r.position();
        const int width = bulk_value_width(col.type);
        if (width > 0) {
            if (rows > r.remaining() / static_cast<std::size_t>(width))
                throw MalformedInput("truncated column");
            r.raw(rows * static_cast<std::size_t>(width));
        } else if (width == 0) {
            for (std::size_t row = 0; row < rows; ++row) read_bulk_value(r, col, row);
        }
        col.values_size = static_cast<std::size_t>(r.position() - col.values);
        bulk.columns.push_back(std::move(col));
    }
    r.expect(code::Long, "the timeout");
    bulk.timeout_ms = r.i64();
    return bulk;
}

void put_zero_value(Bytes& out, std::uint8_t type) {
    switch (type) {
        case code::Boolean:
        case code::Byte:
            put_u8(out, 0);
            break;
        case code::Short:
        case code::Character:
            put_i16(out, 0);
            break;
        case code::Integer:
        case code::DatePart:
            put_i32(out, 0);
            break;
        case code::Float:
            put_f32(out, 0.0f);
            break;
        case code::Long:
        case code::Date:
        case code::DateNanos:
        case code::DateMillis:
            put_i64(out, 0);
            break;
        case code::Double:
            put_f64(out, 0.0);
            break;
        case code::String:
            put_string(out, {});
            break;
        case code::BytesCode:
            put_u8(out, code::BytesCode);
            put_i32(out, 0);
            break;
        case code::Complex:
        case code::UUID:
            put_u8(out, type);
            put_i64(out, 0);
            put_i64(out, 0);
            break;
        case code::BigDecimal:
            put_u8(out, type);
            put_compact(out, 0);
            put_compact(out, 0);
            break;
        case code::BigInteger:
            put_u8(out, type);
            put_compact(out, 0);
            break;
        default:
            break;
    }
}

std::int64_t to_integer(const DbCell& c) {
    switch (c.cls) {
        case DbCell::Class::Integer:
            return c.integer;
        case DbCell::Class::Real: {
            if (std::isnan(c.real)) return 0;
            if (c.real >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
            if (c.real <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
            return static_cast<std::int64_t>(c.real);
        }
        case DbCell::Class::Text: {
            std::int64_t v = 0;
            std::from_chars(c.view().data(), c.view().data() + c.view().size(), v);
            return v;
        }
        default:
            return 0;
    }
}

double to_real(const DbCell& c) {
    switch (c.cls) {
        case DbCell::Class::Integer:
            return static_cast<double>(c.integer);
        case DbCell::Class::Real:
            return c.real;
        case DbCell::Class::Text: {
            double v = 0;
            std::from_chars(c.view().data(), c.view().data() + c.view().size(), v);
            return v;
        }
        default:
            return 0.0;
    }
}

std::string to_text(const DbCell& c) {
    switch (c.cls) {
        case DbCell::Class::Integer:
            return std::to_string(c.integer);
        case DbCell::Class::Real: {
            char buf[32];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, c.real);
            return std::string(buf, end);
        }
        case DbCell::Class::Text:
        case DbCell::Class::Blob:
            return std::string(c.view());
        default:
            return {};
    }
}

// A complex value is kept as the text "re,im".
void put_complex(Bytes& out, const DbCell& c) {
    double re = 0, im = 0;
    if (c.cls == DbCell::Class::Text || c.cls == DbCell::Class::Blob) {
        const auto text = c.view();
        const char* p = text.data();
        const char* end = p + text.size();
        auto r = std::from_chars(p, end, re);
        if (r.ptr < end && *r.ptr == ',') std::from_chars(r.ptr + 1, end, im);
    } else {
        re = to_real(c);
    }
    DbCell a, b;
    a.cls = b.cls = DbCell::Class::Real;
    a.real = re;
    b.real = im;
    put_i64(out, to_integer(a));
    put_i64(out, to_integer(b));
}

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

void put_uuid(Bytes& out, const DbCell& c) {
    std::uint8_t bytes[16] = {};
    if (c.cls == DbCell::Class::Blob && c.view().size() == 16) {
        std::memcpy(bytes, c.view().data(), 16);
    } else if (c.cls == DbCell::Class::Text) {
        std::size_t n = 0;
        bool ok = true;
        for (char ch : c.view()) {
            if (ch == '-') continue;
            int d = hex_digit(ch);
            if (d < 0 || n >= 32) {
                ok = false;
                break;
            }
            bytes[n / 2] = static_cast<std::uint8_t>(bytes[n / 2] | (d << (n % 2 == 0 ? 4 : 0)));
            ++n;
        }
        if (!ok || n != 32) std::memset(bytes, 0, sizeof bytes);
    }
    put_raw(out, bytes, 16);
}

void put_big_decimal(Bytes& out, const DbCell& c) {
    Bytes unscaled;
    std::int32_t scale = 0;
    if (c.cls == DbCell::Class::Integer) {
        unscaled = int64_to_twos_complement(c.integer);
    } else if (c.cls != DbCell::Class::Null && !decimal_to_unscaled(to_text(c), unscaled, scale)) {
        unscaled.clear();
        scale = 0;
    }
    put_compact(out, scale);
    put_compact(out, static_cast<std::int32_t>(unscaled.size()));
    put_raw(out, unscaled.data(), unscaled.size());
}

void put_big_integer(Bytes& out, const DbCell& c) {
    Bytes value;
    if (c.cls == DbCell::Class::Blob) {
        value.assign(c.view().begin(), c.view().end());
    } else if (c.cls == DbCell::Class::Integer) {
        value = int64_to_twos_complement(c.integer);
    } else if (c.cls == DbCell::Class::Text || c.cls == DbCell::Class::Real) {
        std::int32_t scale = 0;
        if (!decimal_to_unscaled(to_text(c), value, scale) || scale != 0) value.clear();
    }
    put_compact(out, static_cast<std::int32_t>(value.size()));
    put_raw(out, value.data(), value.size());
}

}  // namespace

std::optional<std::string> DbLoginRequest::get(std::string_view key) const {
    for (const auto& [k, v] : entries)
        if (k == key) return v;
    return std::nullopt;
}

DbRequest decode_request(const Bytes& body) {
    WireReader r(body);
    DbRequest request;
    r.expect(code::List, "a list");
    if (r.i32() < 2) throw MalformedInput("too few request elements");
    r.expect(code::Undefined, "typed elements");
    r.expect(code::Byte, "an instruction");
    request.instruction = r.u8();
    switch (request.instruction) {
        case 1:
            request.login = decode_login(r);
            break;
        case 2:
            r.expect(code::String, "the SQL text");
            request.query.sql = std::string(r.string());
            break;
        case 3:
            request.bulk = decode_bulk(r);
            break;
        default:
            break;
    }
    return request;
}

DbCell read_bulk_value(WireReader& r, const DbBulkColumn& column, std::size_t row) {
    DbCell c;
    const bool null = column.is_null(row);
    auto set_int = [&](std::int64_t v) {
        c.cls = DbCell::Class::Integer;
        c.integer = v;
    };
    auto set_real = [&](double v) {
        c.cls = DbCell::Class::Real;
        c.real = v;
    };
    switch (column.type) {
        case code::Boolean:
            set_int(r.u8() != 0 ? 1 : 0);
            break;
        case code::Byte:
            set_int(r.u8());
            break;
        case code::Short:
            set_int(r.i16());
            break;
        case code::Character:
            set_int(r.u16());
            break;
        case code::Integer:
        case code::DatePart:
            set_int(r.i32());
            break;
        case code::Float:
            set_real(r.f32());
            break;
        case code::Long:
        case code::Date:
        case code::DateNanos:
        case code::DateMillis:
            set_int(r.i64());
            break;
        case code::Double:
            set_real(r.f64());
            break;
        case code::String:
        case code::UUID:
        case code::BigDecimal:
            c.cls = DbCell::Class::Text;
            c.bytes = r.string();
            break;
        case code::BytesCode: {
            const auto n = r.i32();
            if (n < 0) throw MalformedInput("negative byte string length");
            c.cls = DbCell::Class::Blob;
            c.bytes = r.raw(static_cast<std::size_t>(n));
            break;
        }
        case code::BigInteger: {
            const auto n = r.compact();
            if (n < 0) throw MalformedInput("negative big integer length");
            c.cls = DbCell::Class::Blob;
            c.bytes = r.raw(static_cast<std::size_t>(n));
            break;
        }
        case code::Complex: {
            const auto re = r.i64();
            const auto im = r.i64();
            c.owned = std::to_string(re) + "," + std::to_string(im);
            c.cls = DbCell::Class::Text;
            c.is_owned = true;
            break;
        }
        default:
            break;
    }
    if (null) {
        c.cls = DbCell::Class::Null;
        c.bytes = {};
        c.is_owned = false;
    }
    return c;
}

void append_frame(Bytes& out, const Bytes& body) {
    put_i32(out, static_cast<std::int32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    put_u8(out, 0);
}

Bytes encode_login_ack(std::string_view message, std::int32_t version) {
    Bytes out;
    put_u8(out, code::List);
    put_i32(out, 2);
    put_u8(out, code::Undefined);
    put_u8(out, code::String);
    put_string(out, message);
    put_u8(out, code::Integer);
    put_i32(out, version);
    return out;
}

bool ColumnEncoder::has_value_form(std::uint8_t type) {
    return bulk_value_width(type) >= 0;
}

void ColumnEncoder::append(const DbCell& cell) {
    const std::size_t row = rows_++;
    if (cell.cls == DbCell::Class::Null) {
        any_null_ = true;
        if (mask_.size() <= row / 64) mask_.resize(row / 64 + 1, 0);
        mask_[row / 64] |= std::uint64_t{1} << (row % 64);
        put_zero_value(values_, type_);
        return;
    }
    switch (type_) {
        case code::Boolean:
            put_u8(values_, to_integer(cell) != 0 ? 1 : 0);
            break;
        case code::Byte:
            put_u8(values_, static_cast<std::uint8_t>(to_integer(cell)));
            break;
        case code::Short:
        case code::Character:
            put_i16(values_, static_cast<std::int16_t>(to_integer(cell)));
            break;
        case code::Integer:
        case code::DatePart:
            put_i32(values_, static_cast<std::int32_t>(to_integer(cell)));
            break;
        case code::Float:
            put_f32(values_, static_cast<float>(to_real(cell)));
            break;
        case code::Long:
        case code::Date:
        case code::DateNanos:
        case code::DateMillis:
            put_i64(values_, to_integer(cell));
            break;
        case code::Double:
            put_f64(values_, to_real(cell));
            break;
        case code::String:
            if (cell.cls == DbCell::Class::Text || cell.cls == DbCell::Class::Blob)
                put_string(values_, cell.view());
            else
                put_string(values_, to_text(cell));
            break;
        case code::BytesCode: {
            const std::string text = cell.cls == DbCell::Class::Blob || cell.cls == DbCell::Class::Text
                                         ? std::string(cell.view())
                                         : to_text(cell);
            put_u8(values_, code::BytesCode);
            put_i32(values_, static_cast<std::int32_t>(text.size()));
            put_raw(values_, text.data(), text.size());
            break;
        }
        case code::Complex:
            put_u8(values_, code::Complex);
            put_complex(values_, cell);
            break;
        case code::UUID:
            put_u8(values_, code::UUID);
            put_uuid(values_, cell);
            break;
        case code::BigDecimal:
            put_u8(values_, code::BigDecimal);
            put_big_decimal(values_, cell);
            break;
        case code::BigInteger:
            put_u8(values_, code::BigInteger);
            put_big_integer(values_, cell);
            break;
        default:
            break;
    }
}

void ColumnEncoder::write_to(Bytes& out) const {
    write_head_to(out);
    out.insert(out.end(), values_.begin(), values_.end());
}

void ColumnEncoder::write_head_to(Bytes& out) const {
    put_u8(out, type_);
    put_u8(out, code::String);
    put_string(out, name_);
    put_u8(out, any_null_ ? 1 : 0);
    if (any_null_) {
        put_i32(out, static_cast<std::int32_t>(mask_.size()));
        for (auto w : mask_) put_i64(out, static_cast<std::int64_t>(w));
    }
}

Bytes encode_query_result(const std::vector<DbElement>& elements) {
    Bytes out;
    append_query_result(out, elements);
    return out;
}

FramedResult::FramedResult(const std::vector<DbElement>& elements) {
    const std::size_t start = 0;
    put_i32(own_, 0);  // the length, filled in once the pieces are known
    put_u8(own_, code::List);
    put_i32(own_, static_cast<std::int32_t>(elements.size()));
    put_u8(own_, code::Undefined);
    std::size_t total = own_.size();
    for (const auto& e : elements) {
        if (e.kind != DbElement::Kind::ResultSet) {
            const auto before = own_.size();
            append_element(own_, e);
            total += own_.size() - before;
            continue;
        }
        const auto before = own_.size();
        put_u8(own_, code::Byte);
        put_u8(own_, static_cast<std::uint8_t>(e.kind));
        put_u8(own_, code::List);
        put_i32(own_, 1);
        put_u8(own_, code::TableColumnar);
        put_u8(own_, code::String);
        put_string(own_, e.table.name);
        put_i16(own_, static_cast<std::int16_t>(e.table.columns.size()));
        put_i32(own_, e.table.rows);
        total += own_.size() - before;
        for (const auto& c : e.table.columns) {
            const auto head = own_.size();
            c.write_head_to(own_);
            total += own_.size() - head;
            close_own_piece();
            pieces_.push_back({&c.values(), 0, c.values().size()});
            total += c.values().size();
        }
    }
    // The length counts the body: everything after its own 4 bytes, before the extra byte.
    const auto n = static_cast<std::uint32_t>(total - start - 4);
    for (int i = 0; i < 4; ++i)
        own_[start + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
    put_u8(own_, 0);
    close_own_piece();
}

void FramedResult::close_own_piece() {
    if (own_.size() > own_start_) pieces_.push_back({nullptr, own_start_, own_.size() - own_start_});
    own_start_ = own_.size();
}

std::vector<std::pair<const std::uint8_t*, std::size_t>> FramedResult::pieces() const {
    std::vector<std::pair<const std::uint8_t*, std::size_t>> out;
    for (const auto& p : pieces_) {
        if (p.size == 0) continue;
        out.emplace_back(p.borrowed ? p.borrowed->data() : own_.data() + p.offset, p.size);
    }
    return out;
}

Bytes FramedResult::flatten() const {
    Bytes out;
    for (const auto& [data, size] : pieces()) out.insert(out.end(), data, data + size);
    return out;
}

Bytes frame_query_result(const std::vector<DbElement>& elements) {
    return FramedResult(elements).flatten();
}

void append_element(Bytes& out, const DbElement& e) {
    put_u8(out, code::Byte);
    put_u8(out, static_cast<std::uint8_t>(e.kind));
    switch (e.kind) {
        case DbElement::Kind::Message:
            put_u8(out, code::String);
            put_string(out, e.message);
            break;
        case DbElement::Kind::Count:
            put_u8(out, code::Long);
            put_i64(out, e.count);
            break;
        case DbElement::Kind::ResultSet:
            put_u8(out, code::List);
            put_i32(out, 1);
            put_u8(out, code::TableColumnar);
            put_u8(out, code::String);
            put_string(out, e.table.name);
            put_i16(out, static_cast<std::int16_t>(e.table.columns.size()));
            put_i32(out, e.table.rows);
            for (const auto& c : e.table.columns) c.write_to(out);
            break;
    }
}

void append_query_result(Bytes& out, const std::vector<DbElement>& elements) {
    put_u8(out, code::List);
    put_i32(out, static_cast<std::int32_t>(elements.size()));
    put_u8(out, code::Undefined);
    for (const auto& e : elements) append_element(out, e);
}

Bytes int64_to_twos_complement(std::int64_t v) {
    Bytes out;
    for (int i = 7; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
    // Drop leading bytes that only repeat the sign.
    std::size_t skip = 0;
    while (skip + 1 < out.size() && ((out[skip] == 0x00 && (out[skip + 1] & 0x80) == 0) ||
                                     (out[skip] == 0xFF && (out[skip + 1] & 0x80) != 0)))
        ++skip;
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(skip));
    return out;
}

bool decimal_to_unscaled(std::string_view text, Bytes& unscaled, std::int32_t& scale) {
    constexpr std::size_t kMaxDigits = 4096;  // keeps a silly text from costing quadratic time
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::string digits;
    std::int64_t fraction = 0;
    bool dot = false;
    for (; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch >= '0' && ch <= '9') {
            digits += ch;
            if (dot) ++fraction;
        } else if (ch == '.' && !dot) {
            dot = true;
        } else {
            break;
        }
    }
    if (digits.empty() || digits.size() > kMaxDigits) return false;
    std::int64_t exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        auto [end, ec] = std::from_chars(text.data() + i + 1 + (text.size() > i + 1 && text[i + 1] == '+'),
                                         text.data() + text.size(), exponent);
        if (ec != std::errc() || end != text.data() + text.size() || exponent > 1000 || exponent < -1000)
            return false;
        i = text.size();
    }
    if (i != text.size()) return false;
    std::int64_t s = fraction - exponent;
    if (s < 0) {
        digits.append(static_cast<std::size_t>(-s), '0');
        s = 0;
    }
    scale = static_cast<std::int32_t>(s);
    // Magnitude in base 256, most significant first.
    Bytes mag{0};
    for (char ch : digits) {
        unsigned carry = static_cast<unsigned>(ch - '0');
        for (auto it = mag.rbegin(); it != mag.rend(); ++it) {
            const unsigned v = *it * 10u + carry;
            *it = static_cast<std::uint8_t>(v & 0xFF);
            carry = v >> 8;
        }
        if (carry != 0) mag.insert(mag.begin(), static_cast<std::uint8_t>(carry));
    }
    while (mag.size() > 1 && mag[0] == 0) mag.erase(mag.begin());
    if (mag[0] & 0x80) mag.insert(mag.begin(), 0x00);
    if (negative && !(mag.size() == 1 && mag[0] == 0)) {
        for (auto& b : mag) b = static_cast<std::uint8_t>(~b);
        for (auto it = mag.rbegin(); it != mag.rend(); ++it)
            if (++*it != 0) break;
        // The magnitude had a clear top bit, so its negation has the top bit set; drop a
        // redundant 0xFF lead (e.g. -128 is the single byte 0x80).
        while (mag.size() > 1 && mag[0] == 0xFF && (mag[1] & 0x80)) mag.erase(mag.begin());
    }
    unscaled = std::move(mag);
    return true;
}

}  // namespace tyx::sandbox
