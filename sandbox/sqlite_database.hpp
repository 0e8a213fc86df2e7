// The SQL engine behind the sandbox database: one SQLite connection (in memory by default, or a
// file) that turns SQL texts and bulk inserts into result elements. Not thread-safe: it lives on
// the sandbox loop of the server that uses it; other sandbox servers on the same loop may share it.
//
// Result rules:
//  - a statement returning columns gives a result-set element with one columnar table; each
//    column's type code comes from its declared type when the first word of that type is a type
//    name with a value form (Integer, Long, Double, String, Boolean, Bytes, Short, Byte,
//    Character, Float, Date, DateNanos, DateMillis, DatePart, Complex, UUID, BigDecimal,
//    BigInteger), else from SQLite's affinity of the declared type (INT -> Long, TEXT/CHAR/CLOB
//    -> String, BLOB -> Bytes, REAL/FLOA/DOUB -> Double), else from the values' storage classes
//    (all integers -> Long, numbers -> Double, all blobs -> Bytes, otherwise String);
//  - any other statement gives a count element with the rows it inserted, updated or deleted;
//  - an error gives a message element with SQLite's text, and the remaining statements of the
//    text are not run.
// `CREATE PUBLIC TABLE name (col Type, ...) USE... InitialCapacity=n` creates an SQLite table:
// PUBLIC and the text from USE on are dropped, and each known type name is followed by the
// SQLite affinity that keeps its values intact (e.g. `b String TEXT`), so the declared type
// still starts with the name. Complex values are stored as the text "re,im", BigInteger values
// as their two's-complement bytes, UUID and BigDecimal values as text. A bulk-inserted NaN is
// stored as the text "NaN" (SQLite would store NULL) and read back as NaN by a numeric column;
// a NULL cell of a bulk insert (its column's null mask marks it) is stored as NULL.
#pragma once

#include "db_codec.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tyx::sandbox {

class SqliteDatabase {
public:
    // Throws std::runtime_error when the database cannot be opened.
    explicit SqliteDatabase(const std::string& path = ":memory:");
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    sqlite3* handle() const { return db_; }

    // Runs every statement of `sql`, one element per statement (see the rules above).
    std::vector<DbElement> execute(std::string_view sql);
    // Inserts every row of `bulk` in one transaction: a count element with the row count, or a
    // message element with SQLite's text (and nothing inserted).
    DbElement bulk_insert(const DbBulkInsertRequest& bulk);

private:
    sqlite3* db_ = nullptr;
};

// Rewrites a CREATE [PUBLIC] TABLE statement as described above; other statements unchanged.
std::string translate_create_table(std::string_view statement);

// `name` as an SQL identifier: in double quotes, each quote inside doubled, so that any name
// (one SQLite reserves, one with spaces or quotes) stands for itself.
std::string quote_identifier(std::string_view name);

// A prepared statement that is finalized when it goes.
struct StatementDeleter {
    void operator()(sqlite3_stmt* s) const;
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

}  // namespace tyx::sandbox
