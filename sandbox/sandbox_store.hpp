// The sandbox store: objects published to the sandbox relay kept as rows of SQLite tables, in the
// same database the sandbox database server answers SQL about. Not thread-safe: it lives on the
// loop that owns the database.
//
// An object (`O`) of type T and identifier I becomes the row of table T whose `id` column holds
// I; its value fields become the other columns. The row is the latest publication of the object:
// a field the latest publication does not carry is NULL. A removal (`D`) deletes the row. Tables
// and columns are made as they first appear: a table with `"id" String TEXT PRIMARY KEY NOT
// NULL`, then one column per new field name (names compared as SQLite does, without regard to
// ASCII case), declared by the field's wire form when first seen:
//
//   relay value (wire form)      SQLite declared type   database type code   center value code
//   Integer  (5)                 Integer INTEGER        14 Integer           13 (4 bytes)
//   Long     (5L)                Long INTEGER           16 Long              31 (8 bytes)
//   Float    (1.5F)              Float REAL             15 Float              5 (IEEE single)
//   Double   (1.5D)              Double REAL            17 Double             6 (IEEE double)
//   String   ("x")               String TEXT            20 String             8 (4-byte length + bytes)
//   Bare     (x, bytes)          String TEXT            20 String             8, the text as sent
//   Empty    (nothing after =)   String TEXT            20 String             1 (null)
//
// Values are stored as published (integers as integers, reals as reals, texts as texts) and
// SQLite's column affinity then applies, so a later value of another form may be converted
// (5 in a String column is stored as the text "5"). Center values are made from what SQLite
// stored: NULL -> 1; an integer -> 13 in an Integer column when it fits 32 bits, else 31; a real
// -> 5 in a Float column, else 6; a text -> 8; a blob -> 40. A Long above the signed 64-bit
// range is bound as its decimal text. A value field named `id` (any case) or with an empty name
// is not stored: `id` holds the identifier. Tables made through SQL are served too; their
// column type codes come from the declared type as the database server reads it.
#pragma once

#include "center_wire.hpp"
#include "relay_publication.hpp"
#include "sqlite_database.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3_stmt;

namespace tyx::sandbox {

class SandboxStore {
public:
    explicit SandboxStore(std::shared_ptr<SqliteDatabase> database);
    ~SandboxStore();
    SandboxStore(const SandboxStore&) = delete;
    SandboxStore& operator=(const SandboxStore&) = delete;

    // Writes `publications` in one transaction (a savepoint, so it also works inside a
    // transaction a database client opened) and returns the row changes in order: action 1 for
    // a new row, 2 for a published row that existed, 3 for a removed row (a removal of an unknown
    // row changes nothing). Changed rows carry every column of their table but `id`, in column
    // order. The names of tables whose columns changed are added to `schema_changed`. A
    // publication SQLite refuses is skipped and counted in `errors`.
    std::vector<center::CenterEntity> apply(const std::vector<RelayPublication>& publications,
                                            std::vector<std::string>* schema_changed = nullptr);

    // The same, with the row changes appended to `out` already encoded, with `pool`'s keys:
    // the sandbox center's path, which makes no entity records.
    void apply(const std::vector<RelayPublication>& publications, center::KeyPool& pool,
               center::EncodedEntities& out, std::vector<std::string>* schema_changed = nullptr);

    // The table's columns but `id` (nullopt when no such table exists).
    std::optional<center::CenterSchema> schema(const std::string& table);
    // Every row of the table as an added entity, in rowid order (empty when no such table).
    std::vector<center::CenterEntity> rows(const std::string& table);
    // The same rows appended to `out` already encoded, with `pool`'s keys, read straight from
    // the statement.
    void rows(const std::string& table, center::KeyPool& pool, center::EncodedEntities& out);

    std::uint64_t applied() const { return applied_; }  // publications handled (stored or skipped)
    std::uint64_t errors() const { return errors_; }
    const std::string& last_error() const { return last_error_; }
    const std::shared_ptr<SqliteDatabase>& database() const { return database_; }

private:
    struct Table;
    // Where row changes go: entity records, or encoded entities.
    struct Output {
        std::vector<center::CenterEntity>* entities = nullptr;
        center::EncodedEntities* encoded = nullptr;
        center::KeyPool* pool = nullptr;
    };
    void apply_to(const std::vector<RelayPublication>& publications, Output& out,
                  std::vector<std::string>* schema_changed);
    void prepare_encoding(Table& t, Output& out);
    void encode_row(Table& t, Output& out, std::uint8_t action, std::int64_t rowid,
                    std::string_view object_id, sqlite3_stmt* s, int first_column);
    // The same with the value of column c given by `value_of(c)`.
    template <typename ValueOf>
    void encode_row(Table& t, Output& out, std::uint8_t action, std::int64_t rowid,
                    std::string_view object_id, ValueOf value_of);
    // Counts the rows SQLite changes while a batch is applied (its update hook).
    // Whether the columns keep `values` as bound_value binds them; they are then in t.bound.
    bool kept_as_bound(Table& t, const std::vector<const RelayValueView*>& values);
    static void note_row_change(void* store, int op, const char* database, const char* table,
                                long long rowid);
    Table* table(const std::string& name, bool create);
    std::int64_t schema_version() const;
    void refresh_if_schema_changed();
    void store_object(const RelayPublication& pub, Output& out, std::vector<std::string>* schema_changed);
    // The value of each column (nullptr: none), pointing into typed_scratch_.
    const std::vector<const RelayValueView*>& column_values(Table& t,
                                                            const std::vector<RelayFieldView>& fields);
    void column_values_by_name(Table& t, const std::vector<RelayFieldView>& fields);
    bool add_column(Table& t, std::string_view name, RelayValue::Kind kind, const std::string& key);
    void columns_added(Table& t, std::vector<std::string>* schema_changed);
    // Runs `s` (nullptr: SQLite refused to make it) for `pub`, one entity of `action` per returned
    // row: nullopt when it could not be made, else whether a row came back.
    std::optional<bool> write_row(Table& t, sqlite3_stmt* s, std::uint8_t action, const RelayPublication& pub,
                                  const std::vector<const RelayValueView*>& values, Output& out);
    void store_removal(const RelayPublication& pub, Output& out);
    std::string select_rows_sql(const Table& t) const;
    void fail(const std::string& text);

    std::shared_ptr<SqliteDatabase> database_;
    std::map<std::string, std::unique_ptr<Table>> tables_;
    std::int64_t schema_version_ = -1;
    std::uint64_t encoding_ = 0;  // counts the encoded outputs, so tables know theirs
    // Reading the publication being stored: its line, its value fields (views of the line), their
    // values and the value of each column.
    RelayLineView line_scratch_;
    std::vector<RelayFieldView> fields_scratch_;
    std::vector<RelayValueView> typed_scratch_;
    std::vector<const RelayValueView*> values_scratch_;
    // The rows changed since it was last cleared, and the rowid of the last one.
    struct RowChanges {
        std::uint64_t changes = 0;
        std::uint64_t updates = 0;
        std::int64_t rowid = 0;
    } row_changes_;
    std::uint64_t applied_ = 0;
    std::uint64_t errors_ = 0;
    std::string last_error_;
};

}  // namespace tyx::sandbox
