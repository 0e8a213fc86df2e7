#include "sandbox_store.hpp"

#include <sqlite3.h>

#include <cctype>
#include <cmath>
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

// A column value as SQLite keeps it: its storage class and the field of that class.
struct StoredValue {
    int storage = SQLITE_NULL;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string_view bytes;  // text or blob
};

// Appends what append_center_value(out, center_value_of(...)) appends for `v` in a column of
// database type `type`, without the record.
void append_stored_value(Bytes& out, const StoredValue& v, std::uint8_t type) {
    switch (v.storage) {
        case SQLITE_INTEGER:
            if (type == code::Float) {
                put_u8(out, center::value::Float);
                put_f32(out, static_cast<float>(static_cast<double>(v.integer)));
            } else if (type == code::Double) {
                put_u8(out, center::value::Double);
                put_f64(out, static_cast<double>(v.integer));
            } else if (type == code::Integer && v.integer >= INT32_MIN && v.integer <= INT32_MAX) {
                put_u8(out, center::value::Int32);
                put_i32(out, static_cast<std::int32_t>(v.integer));
            } else {
                put_u8(out, center::value::Int64);
                put_i64(out, v.integer);
            }
            break;
        case SQLITE_FLOAT:
            if (type == code::Float) {
                put_u8(out, center::value::Float);
                put_f32(out, static_cast<float>(v.real));
            } else {
                put_u8(out, center::value::Double);
                put_f64(out, v.real);
            }
            break;
        case SQLITE_TEXT:
        case SQLITE_BLOB:
            put_u8(out, v.storage == SQLITE_TEXT ? center::value::Text : center::value::Bytes);
            put_i32(out, static_cast<std::int32_t>(v.bytes.size()));
            if (!v.bytes.empty()) put_raw(out, v.bytes.data(), v.bytes.size());
            break;
        default:
            put_u8(out, center::value::Null);
    }
}

StoredValue stored_value_of(sqlite3_stmt* stmt, int col) {
    StoredValue v;
    v.storage = sqlite3_column_type(stmt, col);
    switch (v.storage) {
        case SQLITE_INTEGER:
            v.integer = sqlite3_column_int64(stmt, col);
            break;
        case SQLITE_FLOAT:
            v.real = sqlite3_column_double(stmt, col);
            break;
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
            const void* p = v.storage == SQLITE_TEXT
                                ? static_cast<const void*>(sqlite3_column_text(stmt, col))
                                : sqlite3_column_blob(stmt, col);
            const auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt, col));
            if (p != nullptr) v.bytes = std::string_view(static_cast<const char*>(p), n);
            break;
        }
        default:
            v.storage = SQLITE_NULL;
    }
    return v;
}

// The column affinity SQLite gives a declared type (its rules, in their order).
enum class Affinity : std::uint8_t { Integer, Text, Blob, Real, Numeric };

Affinity affinity_of_declared(std::string_view declared) {
    const auto u = upper(declared);
    auto has = [&](const char* w) { return u.find(w) != std::string::npos; };
    if (has("INT")) return Affinity::Integer;
    if (has("CHAR") || has("CLOB") || has("TEXT")) return Affinity::Text;
    if (has("BLOB") || u.empty()) return Affinity::Blob;
    if (has("REAL") || has("FLOA") || has("DOUB")) return Affinity::Real;
    return Affinity::Numeric;
}

// What a column of `affinity` keeps of the value bind_value binds for `v` when SQLite stores it
// unchanged and reads it back as bound; nullopt when the column may convert it (a number in a
// text column, a text in a numeric one, an integer in a REAL column, a NaN or a negative zero in
// a REAL column) or when it is bound from a text made for it (a Long above the signed range).
std::optional<StoredValue> kept_value(const RelayValueView* v, Affinity affinity) {
    StoredValue out;
    if (v == nullptr) return out;
    switch (v->kind) {
        case RelayValue::Kind::Empty:
            return out;
        case RelayValue::Kind::Integer:
        case RelayValue::Kind::Long:
            if (v->is_unsigned || affinity == Affinity::Text || affinity == Affinity::Real)
                return std::nullopt;
            out.storage = SQLITE_INTEGER;
            out.integer = v->integer;
            return out;
        case RelayValue::Kind::Float:
        case RelayValue::Kind::Double:
            // A REAL column stores a whole number as an integer and reads it back as the same
            // real, but for -0.0, which comes back as 0.0.
            if (affinity != Affinity::Real || std::isnan(v->real) ||
                (v->real == 0.0 && std::signbit(v->real)))
                return std::nullopt;
            out.storage = SQLITE_FLOAT;
            out.real = v->real;
            return out;
        case RelayValue::Kind::String:
        case RelayValue::Kind::Bare:
            if (affinity != Affinity::Text && affinity != Affinity::Blob) return std::nullopt;
            out.storage = SQLITE_TEXT;
            out.bytes = v->text;
            return out;
    }
    return std::nullopt;
}

std::string_view text_view_of(sqlite3_stmt* stmt, int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
    return p ? std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)))
             : std::string_view();
}

std::string text_of(sqlite3_stmt* stmt, int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
    return std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)));
}

void bind_value(sqlite3_stmt* stmt, int index, const RelayValueView* v) {
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
    return "UPDATE " + quote_identifier(table) + " SET " + set + " WHERE \"id\" = ?1";
}

// The rows an update changed, read back as SELECT reads them: a RETURNING clause would gather
// them in a temporary table of its own on every run, which costs more than the update.
std::string select_by_id_sql(const std::string& table, const std::vector<center::CenterColumn>& columns) {
    std::string sql = "SELECT rowid";
    for (const auto& c : columns) sql += ", " + quote_identifier(c.name);
    return sql + " FROM " + quote_identifier(table) + " WHERE \"id\" = ?1";
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
    std::vector<Affinity> affinities;           // of each column
    bool utf8 = false;                          // the database keeps texts as UTF-8
    std::vector<StoredValue> bound;             // the values of the row being written
    std::map<std::string, std::size_t> by_lower;
    Statement update, insert, remove, exists, select_by_id;
    // Its place in the encoded output numbered `encoding` (see SandboxStore::prepare_encoding).
    std::uint64_t encoding = 0;
    bool keys_current = false;  // field_keys names the current columns
    std::uint32_t table_index = 0;
    std::uint32_t removal_keys = 0;
    std::uint32_t field_keys = 0;
    // The field names of the last publication stored and the column of each (-1: none), for as
    // long as the table has `columns_known` columns.
    struct Shape {
        std::vector<std::string> keys;
        std::vector<std::ptrdiff_t> columns;
        std::size_t columns_known = static_cast<std::size_t>(-1);
    } last_shape;
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
            t.affinities.push_back(affinity_of_declared(decl));
        }
        return any;
    };
    auto t = std::make_unique<Table>();
    t->name = name;
    {
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA encoding", -1, &raw, nullptr);
        Statement stmt(raw);
        t->utf8 = stmt && sqlite3_step(stmt.get()) == SQLITE_ROW && text_view_of(stmt.get(), 0) == "UTF-8";
    }
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
    std::vector<center::CenterEntity> entities;
    Output out;
    out.entities = &entities;
    apply_to(publications, out, schema_changed);
    return entities;
}

void SandboxStore::apply(const std::vector<RelayPublication>& publications, center::KeyPool& pool,
                         center::EncodedEntities& encoded, std::vector<std::string>* schema_changed) {
    Output out;
    out.encoded = &encoded;
    out.pool = &pool;
    ++encoding_;
    apply_to(publications, out, schema_changed);
}

void SandboxStore::prepare_encoding(Table& t, Output& out) {
    auto& e = *out.encoded;
    if (t.encoding != encoding_) {
        t.encoding = encoding_;
        t.keys_current = false;
        t.table_index = static_cast<std::uint32_t>(e.tables.size());
        e.tables.push_back(t.name);
        t.removal_keys = static_cast<std::uint32_t>(e.key_lists.size());
        e.key_lists.push_back({out.pool->key(t.name)});
    }
    if (!t.keys_current) {
        t.keys_current = true;
        t.field_keys = static_cast<std::uint32_t>(e.key_lists.size());
        std::vector<std::int16_t> keys{out.pool->key(t.name)};
        for (const auto& c : t.columns) keys.push_back(out.pool->key(c.name));
        e.key_lists.push_back(std::move(keys));
    }
}

// Encodes as encode_entities does; the values are columns first_column, ... of `s`.
void SandboxStore::encode_row(Table& t, Output& out, std::uint8_t action, std::int64_t rowid,
                              std::string_view object_id, sqlite3_stmt* s, int first_column) {
    encode_row(t, out, action, rowid, object_id,
               [&](std::size_t c) { return stored_value_of(s, first_column + static_cast<int>(c)); });
}

template <typename ValueOf>
void SandboxStore::encode_row(Table& t, Output& out, std::uint8_t action, std::int64_t rowid,
                              std::string_view object_id, ValueOf value_of) {
    prepare_encoding(t, out);
    auto& e = *out.encoded;
    const bool with_fields = action != 3;
    const auto keys = with_fields ? t.field_keys : t.removal_keys;
    const auto& key_list = e.key_lists[keys];
    auto& b = e.bytes;
    const auto at = b.size();
    put_i32(b, 0);
    put_i16(b, key_list[0]);
    put_i64(b, rowid);
    put_u8(b, static_cast<std::uint8_t>(0x20 | (with_fields ? 0x40 : 0)));
    put_string(b, object_id);
    if (with_fields) {
        put_i16(b, static_cast<std::int16_t>(t.columns.size()));
        for (std::size_t c = 0; c < t.columns.size(); ++c) {
            put_i16(b, key_list[c + 1]);
            append_stored_value(b, value_of(c), t.columns[c].type);
        }
    }
    const auto size = static_cast<std::uint32_t>(b.size() - at - 4);
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    e.entities.push_back({action, t.table_index, keys, at, b.size()});
}

void SandboxStore::apply_to(const std::vector<RelayPublication>& publications, Output& out,
                            std::vector<std::string>* schema_changed) {
    auto* db = database_->handle();
    const auto entities_before = out.encoded ? out.encoded->entities.size() : 0;
    refresh_if_schema_changed();
    sqlite3_update_hook(db, &SandboxStore::note_row_change, this);
    sqlite3_exec(db, "SAVEPOINT tyx_store", nullptr, nullptr, nullptr);
    for (std::size_t i = 0; i < publications.size(); ++i) {
        const auto& pub = publications[i];
        // The lines were written on the relay's thread: the next one is fetched while this one
        // is stored.
        if (i + 1 < publications.size()) {
            const auto& next = publications[i + 1].line;
            for (std::size_t at = 0; at < next.size() && at < 256; at += 64)
                __builtin_prefetch(next.data() + at);
        }
        ++applied_;
        if (pub.type.empty()) continue;
        if (pub.kind == RelayPublication::Kind::Object)
            store_object(pub, out, schema_changed);
        else
            store_removal(pub, out);
    }
    sqlite3_update_hook(db, nullptr, nullptr);
    if (sqlite3_exec(db, "RELEASE tyx_store", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db));
        sqlite3_exec(db, "ROLLBACK TO tyx_store; RELEASE tyx_store", nullptr, nullptr, nullptr);
        if (out.entities) out.entities->clear();
        if (out.encoded) {
            auto& e = *out.encoded;
            if (entities_before < e.entities.size()) {
                e.bytes.resize(entities_before == 0 ? 0 : e.entities[entities_before - 1].end);
                e.entities.resize(entities_before);
            }
        }
    }
}

void SandboxStore::store_object(const RelayPublication& pub, Output& out,
                                std::vector<std::string>* schema_changed) {
    Table* t = table(pub.type, true);
    if (t == nullptr) return;
    pub.field_views(line_scratch_, fields_scratch_);
    const auto& fields = fields_scratch_;
    const auto known = t->columns.size();
    const auto& values = column_values(*t, fields);
    if (t->columns.size() != known) columns_added(*t, schema_changed);
    auto* db = database_->handle();
    // With no column but `id` there is nothing to update: finding the row is enough.
    std::optional<bool> updated;
    if (t->columns.empty()) {
        updated = write_row(*t, cached(db, t->exists, [&] { return exists_sql(t->name); }), 2, pub, {}, out);
    } else if (auto* update = cached(db, t->update, [&] { return update_sql(t->name, t->columns); })) {
        bind_id(update, pub.id);
        for (std::size_t c = 0; c < values.size(); ++c)
            bind_value(update, static_cast<int>(c + 2), values[c]);
        row_changes_ = {};
        const int rc = sqlite3_step(update);
        if (rc != SQLITE_DONE) fail(sqlite3_errmsg(db));
        const auto changes = rc == SQLITE_DONE ? sqlite3_changes(db) : 0;
        sqlite3_reset(update);  // every parameter is bound again before the next run
        updated = false;
        // The update returns nothing. When it changed one row and nothing else (no trigger
        // wrote), and the columns keep the values as bound, the row is those values; else what
        // it changed is read back.
        if (changes == 1 && out.encoded && row_changes_.changes == 1 && row_changes_.updates == 1 &&
            kept_as_bound(*t, values)) {
            encode_row(*t, out, 2, row_changes_.rowid, pub.id, [t](std::size_t c) { return t->bound[c]; });
            updated = true;
        } else if (changes > 0) {
            auto* select = cached(db, t->select_by_id, [&] { return select_by_id_sql(t->name, t->columns); });
            updated = write_row(*t, select, 2, pub, {}, out);
        }
    } else {
        updated = write_row(*t, nullptr, 2, pub, values, out);
    }
    if (updated && !*updated) {
        auto* insert = cached(db, t->insert, [&] { return insert_sql(t->name, t->columns); });
        write_row(*t, insert, 1, pub, values, out);
    }
}

void SandboxStore::note_row_change(void* store, int op, const char*, const char*, long long rowid) {
    auto& changes = static_cast<SandboxStore*>(store)->row_changes_;
    ++changes.changes;
    if (op == SQLITE_UPDATE) ++changes.updates;
    changes.rowid = rowid;
}

bool SandboxStore::kept_as_bound(Table& t, const std::vector<const RelayValueView*>& values) {
    t.bound.clear();
    for (std::size_t c = 0; c < values.size(); ++c) {
        const auto v = kept_value(values[c], t.affinities[c]);
        if (!v || (v->storage == SQLITE_TEXT && !t.utf8)) return false;
        t.bound.push_back(*v);
    }
    return true;
}

const std::vector<const RelayValueView*>& SandboxStore::column_values(
    Table& t, const std::vector<RelayFieldView>& fields) {
    auto& typed = typed_scratch_;
    typed.clear();
    for (const auto& f : fields) typed.push_back(read_relay_value(f));
    auto& values = values_scratch_;
    values.assign(t.columns.size(), nullptr);
    // A feed publishes the same field names over and over: when they are those of the table's
    // last publication, in the same order, each goes to the same column as then.
    auto& shape = t.last_shape;
    bool same = shape.columns_known == t.columns.size() && shape.keys.size() == fields.size();
    for (std::size_t i = 0; same && i < fields.size(); ++i) same = shape.keys[i] == fields[i].key;
    if (same) {
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (shape.columns[i] >= 0) values[static_cast<std::size_t>(shape.columns[i])] = &typed[i];
        return values;
    }
    const auto errors = errors_;
    column_values_by_name(t, fields);
    shape.columns_known = static_cast<std::size_t>(-1);
    if (errors_ != errors) return values;  // a column SQLite refused is tried again next time
    shape.keys.clear();
    shape.columns.clear();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        shape.keys.emplace_back(fields[i].key);
        std::ptrdiff_t column = -1;
        for (std::size_t c = 0; c < values.size(); ++c)
            if (values[c] == &typed[i]) column = static_cast<std::ptrdiff_t>(c);
        shape.columns.push_back(column);
    }
    shape.columns_known = t.columns.size();
    return values;
}

void SandboxStore::column_values_by_name(Table& t, const std::vector<RelayFieldView>& fields) {
    // The value of each column, the last field of a name winning.
    auto& values = values_scratch_;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto& f = fields[i];
        if (f.key.empty()) continue;
        const auto key = lower(f.key);
        if (key == "id") continue;
        auto it = t.by_lower.find(key);
        if (it == t.by_lower.end()) {
            if (!add_column(t, f.key, typed_scratch_[i].kind, key)) continue;
            it = t.by_lower.find(key);
            values.push_back(nullptr);
        }
        values[it->second] = &typed_scratch_[i];
    }
}

bool SandboxStore::add_column(Table& t, std::string_view name, RelayValue::Kind kind,
                              const std::string& key) {
    auto* db = database_->handle();
    const auto sql = "ALTER TABLE " + quote_identifier(t.name) + " ADD COLUMN " + quote_identifier(name) +
                     " " + declared_type_of(kind);
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db));
        return false;
    }
    t.by_lower.emplace(key, t.columns.size());
    t.columns.push_back({std::string(name), type_code_of_declared(declared_type_of(kind)), 0});
    t.affinities.push_back(affinity_of_declared(declared_type_of(kind)));
    return true;
}

void SandboxStore::columns_added(Table& t, std::vector<std::string>* schema_changed) {
    // The cached statements name the old columns; the schema change is our own, so the cache stays.
    t.update.reset();
    t.select_by_id.reset();
    t.insert.reset();
    t.exists.reset();
    t.keys_current = false;
    schema_version_ = schema_version();
    if (schema_changed) schema_changed->push_back(t.name);
}

std::optional<bool> SandboxStore::write_row(Table& t, sqlite3_stmt* s, std::uint8_t action,
                                            const RelayPublication& pub,
                                            const std::vector<const RelayValueView*>& values, Output& out) {
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
        if (out.encoded) {
            encode_row(t, out, action, sqlite3_column_int64(s, 0), pub.id, s, 1);
            continue;
        }
        center::CenterEntity e;
        e.action = action;
        e.table = t.name;
        e.id = sqlite3_column_int64(s, 0);
        e.object_id = pub.id;
        for (std::size_t c = 0; c < t.columns.size(); ++c) {
            e.field_names.push_back(t.columns[c].name);
            e.values.push_back(center_value_of(s, static_cast<int>(c + 1), t.columns[c].type));
        }
        out.entities->push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) fail(sqlite3_errmsg(db));
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return any;
}

void SandboxStore::store_removal(const RelayPublication& pub, Output& out) {
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
        if (out.encoded) {
            encode_row(*t, out, 3, sqlite3_column_int64(s, 0), pub.id, s, 1);
            continue;
        }
        center::CenterEntity e;
        e.action = 3;
        e.table = t->name;
        e.id = sqlite3_column_int64(s, 0);
        e.object_id = pub.id;
        out.entities->push_back(std::move(e));
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
    const auto sql = select_rows_sql(*t);
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

std::string SandboxStore::select_rows_sql(const Table& t) const {
    std::string sql = "SELECT rowid, " + std::string(t.has_id ? "\"id\"" : "NULL");
    for (const auto& c : t.columns) sql += ", " + quote_identifier(c.name);
    return sql + " FROM " + quote_identifier(t.name) + " ORDER BY rowid";
}

void SandboxStore::rows(const std::string& name, center::KeyPool& pool, center::EncodedEntities& encoded) {
    refresh_if_schema_changed();
    Table* t = table(name, false);
    if (t == nullptr) return;
    const auto sql = select_rows_sql(*t);
    sqlite3_stmt* raw = nullptr;
    auto* db = database_->handle();
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db));
        return;
    }
    Statement stmt(raw);
    Output out;
    out.encoded = &encoded;
    out.pool = &pool;
    ++encoding_;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW)
        encode_row(*t, out, 1, sqlite3_column_int64(stmt.get(), 0), text_view_of(stmt.get(), 1), stmt.get(),
                   2);
}

}  // namespace tyx::sandbox
