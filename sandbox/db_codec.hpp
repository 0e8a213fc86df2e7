// The sandbox database's request decoders and response encoders: login, query and bulk-insert
// requests in; login acknowledgements and query results (message, result-set and count
// elements, columnar tables with null masks) out. Pure functions; no sockets, no SQL engine.
#pragma once

#include "db_wire.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tyx::sandbox {

// ---- Requests (the body after the 4-byte length) ----

struct DbLoginRequest {
    std::vector<std::pair<std::string, std::string>> entries;  // in the order sent
    std::int32_t version = 0;
    std::optional<std::string> get(std::string_view key) const;
};

struct DbQueryRequest {
    std::string sql;
};

// A column of a bulk insert. Its values stay in the request body: `values` points at the first
// one and `values_size` bytes hold all of them (checked when the request was decoded).
struct DbBulkColumn {
    std::string name;
    std::uint8_t type = 0;
    bool nullable = false;
    std::vector<std::uint64_t> null_mask;  // row r is NULL when bit r % 64 of word r / 64 is set
    const std::uint8_t* values = nullptr;
    std::size_t values_size = 0;
    bool is_null(std::size_t row) const {
        return nullable && row / 64 < null_mask.size() && ((null_mask[row / 64] >> (row % 64)) & 1u) != 0;
    }
};

struct DbBulkInsertRequest {
    std::string table;
    std::vector<std::string> column_names;  // the name list sent before the table
    std::int32_t row_count = 0;
    std::vector<DbBulkColumn> columns;
    std::int64_t timeout_ms = 0;
};

struct DbRequest {
    std::uint8_t instruction = 0;  // 1 login, 2 query, 3 bulk insert; others carry nothing
    DbLoginRequest login;
    DbQueryRequest query;
    DbBulkInsertRequest bulk;
};

// Throws MalformedInput for bytes that do not follow the request forms. A bulk insert's values
// are walked once here, so that later reads of them cannot run past the body.
DbRequest decode_request(const Bytes& body);

// One value of a column: what a bulk insert carries, or what a result column is given.
struct DbCell {
    enum class Class { Null, Integer, Real, Text, Blob };
    Class cls = Class::Null;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string_view bytes;  // Text and Blob, unless `is_owned`
    std::string owned;       // the text when it had to be made (e.g. a complex value)
    bool is_owned = false;
    std::string_view view() const { return is_owned ? std::string_view(owned) : bytes; }
};

// Reads the value of row `row` of `column` from `reader` (positioned at that value), with the
// column's type form. Type codes without a value form carry no bytes and read as Null.
DbCell read_bulk_value(WireReader& reader, const DbBulkColumn& column, std::size_t row);

// ---- Responses ----

// Appends one response frame: the 4-byte body length N, the N body bytes, then one more byte
// (the receiver reads N + 1 bytes after the length and drops the last).
void append_frame(Bytes& out, const Bytes& body);

// Login answer: 21, count 2, 60, then 20 + message, 14 + version.
Bytes encode_login_ack(std::string_view message, std::int32_t version);

// Builds one result column: values are appended row by row in the form of `type`, each
// converted from the cell's class (text to number by its numeric prefix, and so on). A NULL
// cell sets its bit in the null mask and writes the type's zero value.
class ColumnEncoder {
public:
    ColumnEncoder(std::string name, std::uint8_t type) : name_(std::move(name)), type_(type) {}
    void append(const DbCell& cell);
    std::uint8_t type() const { return type_; }
    // Writes the column: type, 20 + name, nullable (1 when any value is NULL), the mask when
    // nullable (4-byte word count, 8-byte words), then the values.
    void write_to(Bytes& out) const;
    // write_to in two parts: everything before the values, and the values.
    void write_head_to(Bytes& out) const;
    const Bytes& values() const { return values_; }
    // True for the type codes that have a column value form.
    static bool has_value_form(std::uint8_t type);

private:
    std::string name_;
    std::uint8_t type_;
    std::size_t rows_ = 0;
    bool any_null_ = false;
    std::vector<std::uint64_t> mask_;
    Bytes values_;
};

struct DbResultTable {
    std::string name;
    std::int32_t rows = 0;
    std::vector<ColumnEncoder> columns;
};

struct DbElement {
    enum class Kind { Message = 1, ResultSet = 2, Count = 3 };
    Kind kind = Kind::Message;
    std::string message;
    std::int64_t count = 0;
    DbResultTable table;
};

// A query result: 21, element count, 60, then each element as 11, its code and its payload:
// message 20 + text; result set 21, count 1, 39, then the table (20 + name, 2-byte column
// count, 4-byte row count, the columns); count 16 + 8-byte value.
Bytes encode_query_result(const std::vector<DbElement>& elements);
void append_query_result(Bytes& out, const std::vector<DbElement>& elements);
void append_element(Bytes& out, const DbElement& element);
// A whole response frame holding the query result, in one buffer.
Bytes frame_query_result(const std::vector<DbElement>& elements);

// The same frame in pieces: the bytes written here, and the column values borrowed from the
// elements (which must outlive this object), so that a large result is sent without another copy.
class FramedResult {
public:
    explicit FramedResult(const std::vector<DbElement>& elements);
    std::vector<std::pair<const std::uint8_t*, std::size_t>> pieces() const;
    Bytes flatten() const;

private:
    struct Piece {
        const Bytes* borrowed;  // nullptr: `offset`, `size` within own_
        std::size_t offset;
        std::size_t size;
    };
    void close_own_piece();
    Bytes own_;
    std::size_t own_start_ = 0;
    std::vector<Piece> pieces_;
};

// Decimal texts and two's-complement bytes, for the big-number columns.
// "-123.45" -> unscaled bytes of -12345 (minimal, most significant first) and scale 2.
// Accepts an exponent ("1.5e3"); false for text that is not a decimal number.
bool decimal_to_unscaled(std::string_view text, Bytes& unscaled, std::int32_t& scale);
Bytes int64_to_twos_complement(std::int64_t v);

}  // namespace tyx::sandbox
