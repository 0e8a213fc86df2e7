#include "sqlite_database.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>

namespace tyx::sandbox {

void StatementDeleter::operator()(sqlite3_stmt* s) const {
    sqlite3_finalize(s);
}

std::string quote_identifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

namespace {

bool is_ident_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::size_t skip_space(std::string_view s, std::size_t i) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

// Reads a bare word at `i`; returns its end (== i when there is none).
std::size_t word_end(std::string_view s, std::size_t i) {
    while (i < s.size() && is_ident_char(s[i])) ++i;
    return i;
}

// The index just after a quoted token that starts at `i` ("...", '...', `...`, [...]).
std::size_t quoted_end(std::string_view s, std::size_t i) {
    const char close = s[i] == '[' ? ']' : s[i];
    for (std::size_t j = i + 1; j < s.size(); ++j) {
        if (s[j] != close) continue;
        if (close != ']' && j + 1 < s.size() && s[j + 1] == close) {
            ++j;  // a doubled quote stands for itself
            continue;
        }
        return j + 1;
    }
    return s.size();
}

bool is_quote(char c) {
    return c == '"' || c == '\'' || c == '`' || c == '[';
}

// The end of the statement starting at `begin`: the index of its top-level `;` or the size.
std::size_t statement_end(std::string_view s, std::size_t begin) {
    std::size_t i = begin;
    while (i < s.size()) {
        const char c = s[i];
        if (is_quote(c)) {
            i = quoted_end(s, i);
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            auto nl = s.find('\n', i);
            i = nl == std::string_view::npos ? s.size() : nl + 1;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            auto close = s.find("*/", i + 2);
            i = close == std::string_view::npos ? s.size() : close + 2;
        } else if (c == ';') {
            return i;
        } else {
            ++i;
        }
    }
    return s.size();
}

const char* affinity_of(int type) {
    switch (type) {
        case code::Boolean:
        case code::Byte:
        case code::Short:
        case code::Character:
        case code::Integer:
        case code::Long:
        case code::Date:
        case code::DateNanos:
        case code::DateMillis:
        case code::DatePart:
            return "INTEGER";
        case code::Float:
        case code::Double:
            return "REAL";
        case code::String:
        case code::UUID:
        case code::BigDecimal:
        case code::Complex:
            return "TEXT";
        case code::BytesCode:
        case code::BigInteger:
            return "BLOB";
        default:
            return nullptr;
    }
}

std::string rewrite_column(std::string_view def) {
    std::size_t i = skip_space(def, 0);
    if (i >= def.size()) return std::string(def);
    std::size_t name_end = is_quote(def[i]) ? quoted_end(def, i) : word_end(def, i);
    if (name_end == i) return std::string(def);
    const std::size_t type_begin = skip_space(def, name_end);
    const std::size_t type_end = word_end(def, type_begin);
    if (type_end == type_begin) return std::string(def);
    const char* affinity = affinity_of(type_code_of(def.substr(type_begin, type_end - type_begin)));
    if (affinity == nullptr) return std::string(def);
    // A bare name is quoted, so that names SQLite reserves (index, order, ...) still work.
    std::string out(def.substr(0, i));
    const auto name = def.substr(i, name_end - i);
    out += is_quote(def[i]) ? std::string(name) : quote_identifier(name);
    out += def.substr(name_end, type_end - name_end);
    out += ' ';
    out += affinity;
    out += def.substr(type_end);
    return out;
}

// Column type code from a declared type, -1 when the values decide.
int code_of_declared(const char* declared) {
    if (declared == nullptr) return -1;
    std::string_view decl(declared);
    const auto first = decl.substr(0, word_end(decl, 0));
    const int named = type_code_of(first);
    if (named >= 0 && ColumnEncoder::has_value_form(static_cast<std::uint8_t>(named))) return named;
    std::string upper;
    for (char c : decl) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto has = [&](const char* w) { return upper.find(w) != std::string::npos; };
    if (has("INT")) return code::Long;
    if (has("CHAR") || has("CLOB") || has("TEXT")) return code::String;
    if (has("BLOB")) return code::BytesCode;
    if (has("REAL") || has("FLOA") || has("DOUB")) return code::Double;
    return -1;
}

DbCell cell_of(sqlite3_stmt* stmt, int col) {
    DbCell c;
    switch (sqlite3_column_type(stmt, col)) {
        case SQLITE_INTEGER:
            c.cls = DbCell::Class::Integer;
            c.integer = sqlite3_column_int64(stmt, col);
            break;
        case SQLITE_FLOAT:
            c.cls = DbCell::Class::Real;
            c.real = sqlite3_column_double(stmt, col);
            break;
        case SQLITE_TEXT: {
            c.cls = DbCell::Class::Text;
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
            c.bytes = std::string_view(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)));
            break;
        }
        case SQLITE_BLOB: {
            c.cls = DbCell::Class::Blob;
            const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, col));
            c.bytes = std::string_view(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)));
            break;
        }
        default:
            break;
    }
    return c;
}

std::uint8_t code_of_classes(const std::vector<DbCell>& cells) {
    bool any = false, all_int = true, all_num = true, all_blob = true;
    for (const auto& c : cells) {
        if (c.cls == DbCell::Class::Null) continue;
        any = true;
        all_int = all_int && c.cls == DbCell::Class::Integer;
        all_num = all_num && (c.cls == DbCell::Class::Integer || c.cls == DbCell::Class::Real);
        all_blob = all_blob && c.cls == DbCell::Class::Blob;
    }
    if (!any) return code::String;
    if (all_int) return code::Long;
    if (all_num) return code::Double;
    if (all_blob) return code::BytesCode;
    return code::String;
}

DbElement message(std::string text) {
    DbElement e;
    e.kind = DbElement::Kind::Message;
    e.message = std::move(text);
    return e;
}

DbElement count(std::int64_t n) {
    DbElement e;
    e.kind = DbElement::Kind::Count;
    e.count = n;
    return e;
}

// Prepares the statement at `pos` of `sql` and moves `pos` past it; the error text when SQLite
// refuses it. A CREATE TABLE is cut and rewritten first (its USE clause is not SQLite's); every
// other statement goes to SQLite as it stands, which finds its end itself.
std::optional<std::string> prepare_next(sqlite3* db, std::string_view sql, std::size_t& pos,
                                        Statement& stmt) {
    std::string translated;
    std::string_view text = sql.substr(pos);
    std::size_t consumed = std::string::npos;
    const auto first = sql.substr(pos, word_end(sql, pos) - pos);
    if (iequals(first, "CREATE")) {
        const auto end = statement_end(sql, pos);
        translated = translate_create_table(sql.substr(pos, end - pos));
        text = translated;
        consumed = end - pos;
    }
    if (text.size() > INT_MAX) return "SQL text too long";
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, text.data(), static_cast<int>(text.size()), &raw, &tail) != SQLITE_OK)
        return sqlite3_errmsg(db);
    stmt.reset(raw);
    pos += consumed != std::string::npos ? consumed : static_cast<std::size_t>(tail - text.data());
    return std::nullopt;
}

// A statement without columns: a count element with the rows it changed.
DbElement run_change(sqlite3* db, sqlite3_stmt* stmt) {
    const auto before = sqlite3_total_changes64(db);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) return message(sqlite3_errmsg(db));
    return count(sqlite3_total_changes64(db) - before);
}

// The table every column comes from, or "" when they come from several or from none.
std::string source_table(sqlite3_stmt* stmt, int ncols) {
    std::string table_name;
    bool one_table = true;
    for (int c = 0; c < ncols; ++c) {
        const char* t = sqlite3_column_table_name(stmt, c);
        if (t == nullptr || (c > 0 && table_name != t))
            one_table = false;
        else
            table_name = t;
    }
    return one_table ? table_name : std::string();
}

// A result-set element with its columns named and, where the declared type decides, typed;
// `declared` gets each column's code, -1 where the values decide.
DbElement result_head(sqlite3_stmt* stmt, std::vector<int>& declared) {
    DbElement result;
    result.kind = DbElement::Kind::ResultSet;
    for (std::size_t c = 0; c < declared.size(); ++c) {
        const int col = static_cast<int>(c);
        declared[c] = code_of_declared(sqlite3_column_decltype(stmt, col));
        const char* name = sqlite3_column_name(stmt, col);
        result.table.columns.emplace_back(name ? name : "",
                                          static_cast<std::uint8_t>(std::max(declared[c], 0)));
    }
    result.table.name = source_table(stmt, static_cast<int>(declared.size()));
    return result;
}

// Appends the current row: to the typed columns at once, to `pending` for the others.
void take_row(sqlite3_stmt* stmt, const std::vector<int>& declared, DbResultTable& table,
              std::vector<std::vector<DbCell>>& pending) {
    for (std::size_t ci = 0; ci < declared.size(); ++ci) {
        auto cell = cell_of(stmt, static_cast<int>(ci));
        if (declared[ci] >= 0) {
            table.columns[ci].append(cell);
            continue;
        }
        // The column's code is known only after all rows: keep a copy of the value.
        if (cell.cls == DbCell::Class::Text || cell.cls == DbCell::Class::Blob) {
            cell.owned = std::string(cell.bytes);
            cell.is_owned = true;
            cell.bytes = {};
        }
        pending[ci].push_back(std::move(cell));
    }
}

// Types and fills the columns whose code their values decide.
void encode_pending(sqlite3_stmt* stmt, const std::vector<int>& declared,
                    const std::vector<std::vector<DbCell>>& pending, DbResultTable& table) {
    for (std::size_t ci = 0; ci < declared.size(); ++ci) {
        if (declared[ci] >= 0) continue;
        const char* name = sqlite3_column_name(stmt, static_cast<int>(ci));
        ColumnEncoder column(name ? name : "", code_of_classes(pending[ci]));
        for (const auto& cell : pending[ci]) column.append(cell);
        table.columns[ci] = std::move(column);
    }
}

// A statement with columns: a result-set element with one columnar table.
DbElement read_result_set(sqlite3* db, sqlite3_stmt* stmt) {
    const auto ncols = static_cast<std::size_t>(sqlite3_column_count(stmt));
    std::vector<int> declared(ncols);
    DbElement result = result_head(stmt, declared);
    std::vector<std::vector<DbCell>> pending(ncols);
    std::int64_t rows = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        ++rows;
        take_row(stmt, declared, result.table, pending);
    }
    if (rc != SQLITE_DONE) return message(sqlite3_errmsg(db));
    encode_pending(stmt, declared, pending, result.table);
    result.table.rows = rows > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(rows);
    return result;
}

}  // namespace

std::string translate_create_table(std::string_view statement) {
    std::size_t i = skip_space(statement, 0);
    auto next_word = [&](std::size_t from, std::size_t& end) {
        from = skip_space(statement, from);
        end = word_end(statement, from);
        return std::pair{from, statement.substr(from, end - from)};
    };
    std::size_t end = 0;
    auto [create_at, create] = next_word(i, end);
    if (!iequals(create, "CREATE")) return std::string(statement);
    std::size_t after_create = end;
    auto [second_at, second] = next_word(after_create, end);
    bool is_public = false;
    if (iequals(second, "PUBLIC")) {
        is_public = true;
        auto [third_at, third] = next_word(end, end);
        if (!iequals(third, "TABLE")) return std::string(statement);
    } else if (!iequals(second, "TABLE")) {
        return std::string(statement);
    }
    (void)create_at;
    (void)second_at;
    const std::size_t after_table = end;

    // The column list: the first top-level parenthesis after the table name.
    std::size_t open = after_table;
    while (open < statement.size() && statement[open] != '(') {
        if (is_quote(statement[open]))
            open = quoted_end(statement, open);
        else
            ++open;
    }
    std::string head = "CREATE TABLE";
    const auto name = statement.substr(after_table, open - after_table);
    const auto name_begin = skip_space(name, 0);
    const auto name_end = word_end(name, name_begin);
    if (is_public && name_end > name_begin && skip_space(name, name_end) == name.size()) {
        // The upload names its table bare; quote it like its columns.
        head += ' ' + quote_identifier(name.substr(name_begin, name_end - name_begin)) + ' ';
    } else {
        head += name;
    }
    if (open >= statement.size()) return is_public ? head : std::string(statement);

    std::vector<std::string> columns;
    std::size_t depth = 0, piece = open + 1, close = statement.size();
    for (std::size_t j = open + 1; j < statement.size();) {
        const char c = statement[j];
        if (is_quote(c)) {
            j = quoted_end(statement, j);
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')') {
            if (depth == 0) {
                close = j;
                break;
            }
            --depth;
        }
        if (c == ',' && depth == 0) {
            columns.push_back(rewrite_column(statement.substr(piece, j - piece)));
            piece = j + 1;
        }
        ++j;
    }
    if (close == statement.size()) return std::string(statement);  // unbalanced: let SQLite say so
    columns.push_back(rewrite_column(statement.substr(piece, close - piece)));

    std::string out = head + "(";
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (c > 0) out += ',';
        out += columns[c];
    }
    out += ')';
    auto tail = statement.substr(close + 1);
    const std::size_t t = skip_space(tail, 0);
    const bool use_clause = tail.size() >= t + 3 && iequals(tail.substr(t, 3), "USE") &&
                            (tail.size() == t + 3 || !is_ident_char(tail[t + 3]));
    if (!use_clause) out += tail;
    return out;
}

SqliteDatabase::SqliteDatabase(const std::string& path) {
    // One thread (the sandbox loop) uses the connection, so SQLite's own locking is not needed.
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string text = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open SQLite database " + path + ": " + text);
    }
}

SqliteDatabase::~SqliteDatabase() {
    sqlite3_close_v2(db_);
}

std::vector<DbElement> SqliteDatabase::execute(std::string_view sql) {
    std::vector<DbElement> elements;
    std::size_t pos = 0;
    while (pos < sql.size()) {
        pos = skip_space(sql, pos);
        if (pos >= sql.size()) break;
        if (sql[pos] == ';') {
            ++pos;
            continue;
        }
        Statement stmt;
        if (auto error = prepare_next(db_, sql, pos, stmt)) {
            elements.push_back(message(std::move(*error)));
            break;
        }
        if (!stmt) continue;  // only a comment or white space
        auto element = sqlite3_column_count(stmt.get()) == 0 ? run_change(db_, stmt.get())
                                                             : read_result_set(db_, stmt.get());
        const bool failed = element.kind == DbElement::Kind::Message;
        elements.push_back(std::move(element));
        if (failed) break;  // the remaining statements are not run
    }
    return elements;
}

DbElement SqliteDatabase::bulk_insert(const DbBulkInsertRequest& bulk) {
    std::vector<const DbBulkColumn*> columns;
    for (const auto& c : bulk.columns)
        if (ColumnEncoder::has_value_form(c.type)) columns.push_back(&c);
    if (columns.empty() || bulk.row_count == 0) return count(0);

    std::string sql = "INSERT INTO " + quote_identifier(bulk.table) + " (";
    for (std::size_t i = 0; i < columns.size(); ++i)
        sql += (i ? "," : "") + quote_identifier(columns[i]->name);
    sql += ") VALUES (";
    for (std::size_t i = 0; i < columns.size(); ++i) sql += i ? ",?" : "?";
    sql += ')';

    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK)
        return message(sqlite3_errmsg(db_));
    Statement stmt(raw);
    // A savepoint rather than BEGIN, so that an insert inside a transaction the client opened works.
    sqlite3_exec(db_, "SAVEPOINT tyx_bulk_insert", nullptr, nullptr, nullptr);
    std::vector<WireReader> readers;
    for (const auto* c : columns) readers.emplace_back(c->values, c->values_size);
    const auto rows = static_cast<std::size_t>(bulk.row_count);
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const auto cell = read_bulk_value(readers[i], *columns[i], row);
            const int p = static_cast<int>(i + 1);
            const auto text = cell.view();
            switch (cell.cls) {
                case DbCell::Class::Null:
                    sqlite3_bind_null(stmt.get(), p);
                    break;
                case DbCell::Class::Integer:
                    sqlite3_bind_int64(stmt.get(), p, cell.integer);
                    break;
                case DbCell::Class::Real:
                    // SQLite stores a NaN as NULL; the text keeps it apart from a NULL, and a
                    // numeric column reads it back as NaN.
                    if (std::isnan(cell.real))
                        sqlite3_bind_text(stmt.get(), p, "NaN", 3, SQLITE_STATIC);
                    else
                        sqlite3_bind_double(stmt.get(), p, cell.real);
                    break;
                case DbCell::Class::Text:
                    // Views into the request stay valid until the insert ends; a made text does not.
                    sqlite3_bind_text64(stmt.get(), p, text.empty() ? "" : text.data(), text.size(),
                                        cell.is_owned ? SQLITE_TRANSIENT : SQLITE_STATIC, SQLITE_UTF8);
                    break;
                case DbCell::Class::Blob:
                    if (text.empty())
                        sqlite3_bind_zeroblob(stmt.get(), p, 0);
                    else
                        sqlite3_bind_blob64(stmt.get(), p, text.data(), text.size(), SQLITE_STATIC);
                    break;
            }
        }
        if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
            auto e = message(sqlite3_errmsg(db_));
            stmt.reset();
            sqlite3_exec(db_, "ROLLBACK TO tyx_bulk_insert; RELEASE tyx_bulk_insert", nullptr, nullptr,
                         nullptr);
            return e;
        }
        sqlite3_reset(stmt.get());
    }
    stmt.reset();
    sqlite3_exec(db_, "RELEASE tyx_bulk_insert", nullptr, nullptr, nullptr);
    return count(bulk.row_count);
}

}  // namespace tyx::sandbox
