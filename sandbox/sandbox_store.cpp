#include "sandbox_store.hpp"

#include <sqlite3.h>

#include <cctype>
#include <stdexcept>

namespace tyx::sandbox {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The database type code of a declared column type, read as the database server reads it.
std::uint8_t type_code_of_declared(std::string_view declared) {
    std::size_t end = 0;
    while (end < declared.size() &&
           (std::isalnum(static_cast<unsigned char>(declared[end])) || declared[end] == '_'))
        ++end;
    const int named = type_code_of(declared.substr(0, end));
    if (named >= 0 && ColumnEncoder::has_value_form(static_cast<std::uint8_t>(named)))
        return static_cast<std::uint8_t>(named);
    const auto u = upper(declared);
    auto has = [&](const char* w) { return u.find(w) != std::string::npos; };
    if (has("INT")) return code::Long;
    if (has("CHAR") || has("CLOB") || has("TEXT")) return code::String;
    if (has("BLOB")) return code::BytesCode;
    if (has("REAL") || has("FLOA") || has("DOUB")) return code::Double;
    return code::String;
}

const char* declared_type_of(RelayValue::Kind kind) {
    switch (kind) {
        case RelayValue::Kind::Integer:
            return "Integer INTEGER";
        case RelayValue::Kind::Long:
            return "Long INTEGER";
        case RelayValue::Kind::Float:
            return "Float REAL";
        case RelayValue::Kind::Double:
            return "Double REAL";
        default:
            return "String TEXT";
    }
}

center::CenterValue center_value_of(sqlite3_stmt* stmt, int col, std::uint8_t type) {
    center::CenterValue v;
    switch (sqlite3_column_type(stmt, col)) {
        case SQLITE_INTEGER:
            if (type == code::Float || type == code::Double) {
                // A REAL column keeps whole numbers as integers and reads them back as reals;
                // RETURNING shows the integer, so read it as SELECT does.
                v.real = static_cast<double>(sqlite3_column_int64(stmt, col));
                v.code = type == code::Float ? center::value::Float : center::value::Double;
                break;
            }
            v.integer = sqlite3_column_int64(stmt, col);
            v.code = type == code::Integer && v.integer >= INT32_MIN && v.integer <= INT32_MAX
                         ? center::value::Int32
                         : center::value::Int64;
            break;
        case SQLITE_FLOAT:
            v.real = sqlite3_column_double(stmt, col);
            v.code = type == code::Float ? center::value::Float : center::value::Double;
            break;
        case SQLITE_TEXT: {
            v.code = center::value::Text;
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
            v.text.assign(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)));
            break;
        }
        case SQLITE_BLOB: {
            v.code = center::value::Bytes;
            const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, col));
            v.text.assign(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)));
            break;
        }
        default:
            v.code = center::value::Null;
    }
    return v;
}

std::string text_of(sqlite3_stmt* stmt, int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
    return std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)));
}

void bind_value(sqlite3_stmt* stmt, int index, const RelayValue* v) {
    if (v == nullptr) {
        sqlite3_bind_null(stmt, index);
        return;
    }
    switch (v->kind) {
        case RelayValue::Kind::Integer:
        case RelayValue::Kind::Long:
            if (v->is_unsigned) {
                const auto digits = std::to_string(v->unsigned_integer);
                sqlite3_bind_text64(stmt, index, digits.data(), digits.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            } else {
                sqlite3_bind_int64(stmt, index, v->integer);
            }
            break;
        case RelayValue::Kind::Float:
        case RelayValue::Kind::Double:
            sqlite3_bind_double(stmt, index, v->real);
            break;
        case RelayValue::Kind::String:
        case RelayValue::Kind::Bare:
            sqlite3_bind_text64(stmt, index, v->text.data(), v->text.size(), SQLITE_STATIC, SQLITE_UTF8);
            break;
        case RelayValue::Kind::Empty:
            sqlite3_bind_null(stmt, index);
            break;
    }
}

void bind_id(sqlite3_stmt* stmt, const std::string& id) {
    sqlite3_bind_text64(stmt, 1, id.data(), id.size(), SQLITE_STATIC, SQLITE_UTF8);
}

// The statement in `slot`, made from `make_sql()` on first use; nullptr when SQLite refuses it.
// The text is built only then: this runs for every publication stored.
template <typename MakeSql>
sqlite3_stmt* cached(sqlite3* db, Statement& slot, MakeSql make_sql) {
    if (slot) return slot.get();
    const std::string sql = make_sql();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK)
        return nullptr;
    slot.reset(raw);
    return raw;
}

// The statements writing an object take its id as ?1 and the column values from ?2 on, and give
// back the rowid and every column but `id`.
std::string returning(const std::vector<center::CenterColumn>& columns) {
    std::string out = " RETURNING rowid";
    for (const auto& c : columns) out += ", " + quote_identifier(c.name);
    return out;
}

std::string exists_sql(const std::string& table) {
    return "SELECT rowid FROM " + quote_identifier(table) + " WHERE \"id\" = ?1";
}

std::string update_sql(const std::string& table, const std::vector<center::CenterColumn>& columns) {
    std::string set;
    for (std::size_t c = 0; c < columns.size(); ++c)
        set += (c ? ", " : "") + quote_identifier(columns[c].name) + " = ?" + std::to_string(c + 2);
    return "UPDATE " + quote_identifier(table) + " SET " + set + " WHERE \"id\" = ?1" + returning(columns);
}

std::string insert_sql(const std::string& table, const std::vector<center::CenterColumn>& columns) {
    std::string cols, marks = "?1";
    for (std::size_t c = 0; c < columns.size(); ++c) {
        cols += ", " + quote_identifier(columns[c].name);
        marks += ", ?" + std::to_string(c + 2);
    }
    return "INSERT INTO " + quote_identifier(table) + " (\"id\"" + cols + ") VALUES (" + marks + ")" +
           returning(columns);
}

}  // namespace

struct SandboxStore::Table {
    std::string name;
    bool has_id = false;
    std::vector<center::CenterColumn> columns;  // all but `id`, in table order
    std::map<std::string, std::size_t> by_lower;
    Statement update, insert, remove, exists;
};

SandboxStore::SandboxStore(std::shared_ptr<SqliteDatabase> database) : database_(std::move(database)) {}

SandboxStore::~SandboxStore() = default;

void SandboxStore::fail(const std::string& text) {
    ++errors_;
    last_error_ = text;
}

std::int64_t SandboxStore::schema_version() const {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(database_->handle(), "PRAGMA schema_version", -1, &raw, nullptr);
    Statement stmt(raw);
    if (stmt && sqlite3_step(stmt.get()) == SQLITE_ROW) return sqlite3_column_int64(stmt.get(), 0);
    return -1;
}

void SandboxStore::refresh_if_schema_changed() {
    const auto version = schema_version();
    if (version != schema_version_) tables_.clear();  // something else changed a table: read them again
    schema_version_ = version;
}

SandboxStore::Table* SandboxStore::table(const std::string& name, bool create) {
    if (auto it = tables_.find(name); it != tables_.end()) return it->second.get();
    auto* db = database_->handle();
    auto read_columns = [&](Table& t) {
        sqlite3_stmt* raw = nullptr;
        const auto sql = "PRAGMA table_info(" + quote_identifier(name) + ")";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) return false;
        Statement stmt(raw);
        bool any = false;
        while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
            any = true;
            const auto col = text_of(stmt.get(), 1);
            const auto decl = text_of(stmt.get(), 2);
            if (lower(col) == "id") {
                t.has_id = true;
                continue;
            }
            t.by_lower[lower(col)] = t.columns.size();
            t.columns.push_back({col, type_code_of_declared(decl), 0});
        }
        return any;
    };
    auto t = std::make_unique<Table>();
    t->name = name;
    if (!read_columns(*t)) {
        if (!create) return nullptr;
        const auto sql = "CREATE TABLE IF NOT EXISTS " + quote_identifier(name) +
                         " (\"id\" String TEXT PRIMARY KEY NOT NULL)";
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(sqlite3_errmsg(db));
            return nullptr;
        }
        t->has_id = true;
    } else if (!t->has_id && create) {
        const auto sql = "ALTER TABLE " + quote_identifier(name) + " ADD COLUMN \"id\" String TEXT";
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(sqlite3_errmsg(db));
            return nullptr;
        }
        t->has_id = true;
    }
    schema_version_ = schema_version();  // our own change: the cache stays
    auto* out = t.get();
    tables_[name] = std::move(t);
    return out;
}

std::vector<center::CenterEntity> SandboxStore::apply(const std::vector<RelayPublication>& publications,
                                                      std::vector<std::string>* schema_changed) {
    std::vector<center::CenterEntity> out;
    auto* db = database_->handle();
    refresh_if_schema_changed();
    sqlite3_exec(db, "SAVEPOINT tyx_store", nullptr, nullptr, nullptr);
    for (const auto& pub : publications) {
        ++applied_;
        if (pub.type.empty()) continue;
        if (pub.kind == RelayPublication::Kind::Object)
            store_object(pub, out, schema_changed);
        else
            store_removal(pub, out);
    }
    if (sqlite3_exec(db, "RELEASE tyx_store", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db));
        sqlite3_exec(db, "ROLLBACK TO tyx_store; RELEASE tyx_store", nullptr, nullptr, nullptr);
        out.clear();
    }
    return out;
}

void SandboxStore::store_object(const RelayPublication& pub, std::vector<center::CenterEntity>& out,
                                std::vector<std::string>* schema_changed) {
    Table* t = table(pub.type, true);
    if (t == nullptr) return;
    const auto fields = pub.fields();
    const auto known = t->columns.size();
    const auto values = column_values(*t, fields);
    if (t->columns.size() != known) columns_added(*t, schema_changed);
    auto* db = database_->handle();
    // With no column but `id` there is nothing to update: finding the row is enough.
    auto* update = t->columns.empty()
                       ? cached(db, t->exists, [&] { return exists_sql(t->name); })
                       : cached(db, t->update, [&] { return update_sql(t->name, t->columns); });
    const auto updated = write_row(*t, update, 2, pub, values, out);
    if (updated && !*updated) {
        auto* insert = cached(db, t->insert, [&] { return insert_sql(t->name, t->columns); });
        write_row(*t, insert, 1, pub, values, out);
    }
}

std::vector<const RelayValue*> SandboxStore::column_values(Table& t, const std::vector<RelayField>& fields) {
    // The value of each column, the last field of a name winning.
    std::vector<const RelayValue*> values(t.columns.size(), nullptr);
    for (const auto& f : fields) {
        if (f.key.empty()) continue;
        const auto key = lower(f.key);
        if (key == "id") continue;
        auto it = t.by_lower.find(key);
        if (it == t.by_lower.end()) {
            if (!add_column(t, f, key)) continue;
            it = t.by_lower.find(key);
            values.push_back(nullptr);
        }
        values[it->second] = &f.value;
    }
    return values;
}

bool SandboxStore::add_column(Table& t, const RelayField& field, const std::string& key) {
    auto* db = database_->handle();
    const auto sql = "ALTER TABLE " + quote_identifier(t.name) + " ADD COLUMN " +
                     quote_identifier(field.key) + " " + declared_type_of(field.value.kind);
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db));
        return false;
    }
    t.by_lower.emplace(key, t.columns.size());
    t.columns.push_back({field.key, type_code_of_declared(declared_type_of(field.value.kind)), 0});
    return true;
}

void SandboxStore::columns_added(Table& t, std::vector<std::string>* schema_changed) {
    // The cached statements name the old columns; the schema change is our own, so the cache stays.
    t.update.reset();
    t.insert.reset();
    t.exists.reset();
    schema_version_ = schema_version();
    if (schema_changed) schema_changed->push_back(t.name);
}

std::optional<bool> SandboxStore::write_row(const Table& t, sqlite3_stmt* s, std::uint8_t action,
                                            const RelayPublication& pub,
                                            const std::vector<const RelayValue*>& values,
                                            std::vector<center::CenterEntity>& out) {
    auto* db = database_->handle();
    if (s == nullptr) {
        fail(sqlite3_errmsg(db));
        return std::nullopt;
    }
    bind_id(s, pub.id);
    for (std::size_t c = 0; c < values.size(); ++c) bind_value(s, static_cast<int>(c + 2), values[c]);
    int rc;
    bool any = false;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        any = true;
        center::CenterEntity e;
        e.action = action;
        e.table = t.name;
        e.id = sqlite3_column_int64(s, 0);
        e.object_id = pub.id;
        for (std::size_t c = 0; c < t.columns.size(); ++c) {
            e.field_names.push_back(t.columns[c].name);
            e.values.push_back(center_value_of(s, static_cast<int>(c + 1), t.columns[c].type));
        }
        out.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) fail(sqlite3_errmsg(db));
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return any;
}

void SandboxStore::store_removal(const RelayPublication& pub, std::vector<center::CenterEntity>& out) {
    auto* db = database_->handle();
    Table* t = table(pub.type, false);
    if (t == nullptr || !t->has_id) return;
    if (!t->remove) {
        const auto sql = "DELETE FROM " + quote_identifier(t->name) + " WHERE \"id\" = ?1 RETURNING rowid";
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
            fail(sqlite3_errmsg(db));
            return;
        }
        t->remove.reset(raw);
    }
    auto* s = t->remove.get();
    bind_id(s, pub.id);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        center::CenterEntity e;
        e.action = 3;
        e.table = t->name;
        e.id = sqlite3_column_int64(s, 0);
        e.object_id = pub.id;
        out.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) fail(sqlite3_errmsg(db));
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
}

std::optional<center::CenterSchema> SandboxStore::schema(const std::string& name) {
    refresh_if_schema_changed();
    Table* t = table(name, false);
    if (t == nullptr) return std::nullopt;
    return center::CenterSchema{t->name, 0, t->columns};
}

std::vector<center::CenterEntity> SandboxStore::rows(const std::string& name) {
    std::vector<center::CenterEntity> out;
    refresh_if_schema_changed();
    Table* t = table(name, false);
    if (t == nullptr) return out;
    std::string sql = "SELECT rowid, " + std::string(t->has_id ? "\"id\"" : "NULL");
    for (const auto& c : t->columns) sql += ", " + quote_identifier(c.name);
    sql += " FROM " + quote_identifier(t->name) + " ORDER BY rowid";
    sqlite3_stmt* raw = nullptr;
    auto* db = database_->handle();
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db));
        return out;
    }
    Statement stmt(raw);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        center::CenterEntity e;
        e.action = 1;
        e.table = t->name;
        e.id = sqlite3_column_int64(stmt.get(), 0);
        e.object_id = text_of(stmt.get(), 1);
        for (std::size_t c = 0; c < t->columns.size(); ++c) {
            e.field_names.push_back(t->columns[c].name);
            e.values.push_back(center_value_of(stmt.get(), static_cast<int>(c + 2), t->columns[c].type));
        }
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace tyx::sandbox
