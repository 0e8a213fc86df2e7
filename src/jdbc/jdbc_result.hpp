// Decoded database responses: a QueryResult is a list of elements (message, result set of
// columnar tables, affected-row count, value, value list). The tree is built once from the response
// body, owned top-down, and immutable afterwards; it may then be read from any thread.
//
// Bad input. Decoding never reads past the view. Input that stops early yields the defaults of
// each reader (see jdbc_values.hpp). Malformed input throws std::runtime_error:
// - "unsupported code in QueryResultElement: <code>" and
//   "Expected TableColumnar or Table type in ResultSet" (protocol errors);
// - a negative count: "QueryResult: negative element count <n>", "ResultSet: negative table count
//   <n>", "Table: negative column count <n>", "Table: negative row count <n>";
// - a count the remaining bytes cannot hold, checked before anything is reserved or filled:
//   "ResultSet: <n> tables exceed the <m> remaining bytes", "Table: <n> columns exceed the <m>
//   remaining bytes", "Table: <n> rows of column '<name>' exceed the <m> remaining bytes",
//   "QueryResultElement: <n> values exceed the <m> remaining bytes";
// - lengths of strings, byte strings, big numbers and null masks (jdbc_values.hpp).
// The element count of a QueryResult only sizes a reservation, which is capped by the body size;
// the number of elements is set by the body alone.
// An unsupported column type is not an error: it is recorded in Table::errors and decoding goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jdbc/jdbc_values.hpp"
#include "tyx/values.hpp"

namespace tyx::jdbc {

// One column of a table, as decoded or as built for a bulk insert. The values sit in the variant
// alternative that the type code maps to, so accessors can hand them out by reference.
struct JdbcColumn {
    std::string name;
    std::uint8_t type = code_of(TypeCode::Undefined);
    bool nullable = false;
    ColumnValues values = std::vector<char>{};
    AllowNullEnum allow_null = AllowNullEnum::NotAllowed;
    std::vector<std::uint64_t> null_mask;
    std::int32_t row_count = 0;

    // Appends the bulk-insert form: type, 20 and name, nullable, the mask when allow_null is set,
    // then row_count values of the type's form. Throws std::bad_variant_access when the values
    // hold another alternative than the type requires, and std::invalid_argument when row_count
    // is negative or exceeds the number of values held.
    void serialize_to(ByteVector& out) const;
};

class Table {
public:
    Table() = default;
    explicit Table(ByteView& in);

    std::string name;
    std::int16_t column_count = 0;
    std::int32_t row_count = 0;
    std::vector<JdbcColumn> columns;
    std::vector<std::string> errors;  // "Unsupported column type: <code>", one per such column
};

class ResultSet {
public:
    ResultSet() = default;
    explicit ResultSet(ByteView& in);

    std::uint8_t type = code_of(TypeCode::Undefined);
    std::int32_t count = 0;
    std::uint8_t element_type = code_of(TypeCode::Undefined);
    std::vector<Table> tables;
};

// The code byte of a result element.
enum class ElementCode : std::uint8_t { Message = 1, ResultSet = 2, Count = 3, Value = 4, ValueList = 5 };

class QueryResultElement {
public:
    QueryResultElement() = default;
    explicit QueryResultElement(ByteView& in);

    std::uint8_t code = 0;
    std::optional<StringField> message;
    std::unique_ptr<ResultSet> result_set;
    std::optional<std::int64_t> count;
    std::unique_ptr<VariantValue> value;
    std::vector<VariantValue> values;
    std::string error_text;
};

class QueryResult {
public:
    QueryResult() = default;
    explicit QueryResult(ByteView& in);

    std::uint8_t type = code_of(TypeCode::Undefined);
    std::int32_t count = 0;
    std::uint8_t element_type = code_of(TypeCode::Undefined);
    std::vector<QueryResultElement> elements;
};

}  // namespace tyx::jdbc
