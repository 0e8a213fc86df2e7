#include <algorithm>
#include <cctype>
#include <cstdio>
#include <locale>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "client/cursor.hpp"
#include "client/table_sql.hpp"
#include "core/type_codes.hpp"
#include "tyx/table.hpp"

namespace tyx {
namespace {

template <typename F>
bool on_cursor(std::int64_t& position, F&& step) {
    RowCursor cursor{position};
    const bool result = step(cursor);
    position = cursor.position;
    return result;
}

// The form and type code a column is stored in, by the alternative given.
std::pair<ColumnValues, TypeCode> normalise_column(ColumnValues values) {
    switch (values.index()) {
        case 0: {
            const auto& chars = std::get<0>(values);
            std::vector<std::string> strings;
            strings.reserve(chars.size());
            for (char c : chars) strings.emplace_back(1, c);
            return {std::move(strings), TypeCode::String};
        }
        case 1: return {std::move(values), TypeCode::Byte};
        case 2: {
            const auto& s = std::get<2>(values);
            std::vector<std::uint8_t> bytes(s.size());
            std::transform(s.begin(), s.end(), bytes.begin(), [](std::int8_t v) { return static_cast<std::uint8_t>(v); });
            return {std::move(bytes), TypeCode::Byte};
        }
        case 3: return {std::move(values), TypeCode::Character};
        case 4: return {std::move(values), TypeCode::Short};
        case 5: {
            const auto& u = std::get<5>(values);
            return {std::vector<std::int32_t>(u.begin(), u.end()), TypeCode::Integer};
        }
        case 6: return {std::move(values), TypeCode::Integer};
        case 7: {
            const auto& u = std::get<7>(values);
            return {std::vector<std::int64_t>(u.begin(), u.end()), TypeCode::Long};
        }
        case 8: return {std::move(values), TypeCode::Long};
        case 9: return {std::move(values), TypeCode::Float};
        case 10: return {std::move(values), TypeCode::Double};
        case 11: return {std::move(values), TypeCode::Complex};
        case 12: return {std::move(values), TypeCode::String};
        case 13: return {std::move(values), TypeCode::Bytes};
        default: return {std::monostate{}, TypeCode::String};
    }
}

constexpr std::size_t kMaxCell = 48;
constexpr std::size_t kCutCell = 45;

// Texts are UTF-8: widths count code points, each byte that does not continue a sequence
// starting one, so that cells line up on a terminal and a cut never splits a character.
bool starts_code_point(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

std::size_t text_width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), starts_code_point));
}

std::string cut(std::string text) {
    if (text.size() <= kMaxCell || text_width(text) <= kMaxCell) return text;
    std::size_t kept = 0, end = 0;
    for (; end < text.size(); ++end)
        if (starts_code_point(text[end]) && kept++ == kCutCell) break;
    text.resize(end);
    text += "...";
    return text;
}

void append_hex_byte(std::string& out, unsigned char b) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
}

template <typename T>
std::string cell_text(const T& v) {
    if constexpr (std::is_same_v<T, char>) {
        if (std::isprint(v, std::locale::classic())) return std::string(1, v);
        std::string s = "\\x";
        append_hex_byte(s, static_cast<unsigned char>(v));
        return s;
    } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>) {
        return std::to_string(static_cast<int>(v));
    } else if constexpr (std::is_integral_v<T>) {
        return std::to_string(v);
    } else if constexpr (std::is_floating_point_v<T>) {
        std::ostringstream os;
        os.imbue(std::locale::classic());
        os.precision(9);
        os << v;
        return os.str();
    } else if constexpr (std::is_same_v<T, std::complex<double>>) {
        std::ostringstream os;
        os.imbue(std::locale::classic());
        os << v.real();
        if (v.imag() >= 0) os << '+';
        os << v.imag() << 'i';
        return os.str();
    } else if constexpr (std::is_same_v<T, std::string>) {
        return v;
    } else {  // byte vector
        std::string s = "0x";
        const std::size_t shown = std::min<std::size_t>(v.size(), 16);
        for (std::size_t i = 0; i < shown; ++i) append_hex_byte(s, v[i]);
        if (v.size() > 16) s += "...(" + std::to_string(v.size() - 16) + " more)";
        return s;
    }
}

std::string cell(const TableAccessor& a, std::size_t column, std::int64_t row) {
    if (a.is_null(column, row)) return "NULL";
    return std::visit(
        [row](const auto& values) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(values)>, std::monostate>) {
                return "NULL";
            } else {
                return cell_text(values[static_cast<std::size_t>(row)]);
            }
        },
        a.columns()[column]);
}

void print_separator(std::ostream& out, const std::vector<std::size_t>& widths) {
    out << '+';
    for (auto w : widths) out << std::string(w + 2, '-') << '+';
    out << '\n';
}

void print_line(std::ostream& out, const std::vector<std::string>& texts, const std::vector<std::size_t>& widths) {
    out << '|';
    for (std::size_t i = 0; i < texts.size(); ++i) {
        out << ' ' << texts[i] << std::string(widths[i] - std::min(widths[i], text_width(texts[i])), ' ')
            << " |";
    }
    out << '\n';
}

}  // namespace

const std::vector<NullMask>& TableAccessor::null_masks() const {
    static const std::vector<NullMask> none;
    return none;
}

bool TableAccessor::is_null(std::size_t column, std::int64_t row) const {
    const auto& all = columns();
    if (column >= all.size())
        throw std::out_of_range("is_null: column " + std::to_string(column) + " of " +
                                std::to_string(all.size()));
    if (row < 0 || static_cast<std::uint64_t>(row) >= column_length(all[column])) return true;
    const auto& masks = null_masks();
    return column < masks.size() && null_mask_bit(masks[column], row);
}

Table::Table(std::string name) : name_(std::move(name)) {}

Table& Table::add_column(std::string name, ColumnValues values) {
    return add_column(std::move(name), std::move(values), {});
}

Table& Table::add_column(std::string name, ColumnValues values, NullMask nulls) {
    auto [stored, code] = normalise_column(std::move(values));
    const auto rows = static_cast<std::int32_t>(column_length(stored));
    add_column_impl(std::move(name), code_of(code), std::move(stored), rows, std::move(nulls));
    return *this;
}

void Table::add_column_impl(std::string name, std::uint8_t type_code, ColumnValues values, std::int32_t row_count) {
    add_column_impl(std::move(name), type_code, std::move(values), row_count, {});
}

void Table::add_column_impl(std::string name, std::uint8_t type_code, ColumnValues values,
                            std::int32_t row_count, NullMask nulls) {
    column_names_.push_back(std::move(name));
    columns_.push_back(std::move(values));
    types_.push_back(type_code);
    row_counts_.push_back(row_count);
    null_masks_.push_back(std::move(nulls));
}

Table& Table::set_null(std::size_t column, std::size_t row, bool null) {
    if (column >= columns_.size())
        throw std::out_of_range("set_null: column " + std::to_string(column) + " of " +
                                std::to_string(columns_.size()));
    const auto rows = static_cast<std::size_t>(std::max(row_counts_[column], 0));
    if (row >= rows)
        throw std::out_of_range("set_null: row " + std::to_string(row) + " of column '" +
                                column_names_[column] + "', which has " + std::to_string(rows));
    set_null_mask_bit(null_masks_[column], row, null);
    return *this;
}

std::int64_t Table::row_count() const {
    if (row_counts_.empty()) return 0;
    return *std::max_element(row_counts_.begin(), row_counts_.end());
}

bool Table::cursor_advance() {
    return on_cursor(position_, [r = row_count()](RowCursor& c) { return c.advance(r); });
}
bool Table::cursor_advance(std::int64_t n) {
    return on_cursor(position_, [n, r = row_count()](RowCursor& c) { return c.advance(n, r); });
}
bool Table::cursor_rewind() {
    return on_cursor(position_, [r = row_count()](RowCursor& c) { return c.rewind(r); });
}
bool Table::cursor_move_to(std::int64_t i) {
    return on_cursor(position_, [i, r = row_count()](RowCursor& c) { return c.move_to(i, r); });
}
bool Table::cursor_move_by(std::int64_t n) { return cursor_advance(n); }
bool Table::cursor_move_to_last() {
    return on_cursor(position_, [r = row_count()](RowCursor& c) { return c.move_to_last(r); });
}
bool Table::cursor_retreat(std::int64_t n) {
    return on_cursor(position_, [n, r = row_count()](RowCursor& c) { return c.retreat(n, r); });
}
bool Table::cursor_eof() const { return RowCursor{position_}.eof(row_count()); }
std::int64_t Table::cursor_row_number() const { return RowCursor{position_}.row_number(row_count()); }

std::ostream& Table::print(std::ostream& out) const { return print_table_accessor(*this, out); }

std::ostream& print_table_accessor(const TableAccessor& a, std::ostream& out) {
    out << "Table: " << a.table_name() << '\n';
    if (a.affected_rows() != 0) out << "Affected rows: " << a.affected_rows() << '\n';
    const std::string error = a.error_message();
    if (!error.empty()) out << "Error: " << error << '\n';
    if (!a.has_result_set()) {
        out << "No result set\n";
        return out;
    }
    const auto& names = a.column_names();
    const auto& columns = a.columns();
    if (names.size() != columns.size()) {
        out << "Column count mismatch: " << names.size() << " names vs " << columns.size() << " columns\n";
        return out;
    }
    const std::int64_t rows = std::max<std::int64_t>(a.row_count(), 0);
    out << "Rows: " << rows << ", Columns: " << columns.size() << '\n';
    if (columns.empty()) {
        out << "No columns\n";
        return out;
    }

    std::vector<std::vector<std::string>> cells(static_cast<std::size_t>(rows));
    std::vector<std::size_t> widths;
    widths.push_back(std::to_string(std::max<std::int64_t>(rows - 1, 0)).size());
    std::vector<std::string> header{"#"};
    for (const auto& name : names) {
        header.push_back(cut(name));
        widths.push_back(text_width(header.back()));
    }
    for (std::int64_t r = 0; r < rows; ++r) {
        auto& line = cells[static_cast<std::size_t>(r)];
        line.reserve(columns.size() + 1);
        line.push_back(std::to_string(r));
        for (std::size_t j = 0; j < columns.size(); ++j) {
            line.push_back(cut(cell(a, j, r)));
            widths[j + 1] = std::max(widths[j + 1], text_width(line.back()));
        }
    }

    print_separator(out, widths);
    print_line(out, header, widths);
    print_separator(out, widths);
    for (const auto& line : cells) print_line(out, line, widths);
    print_separator(out, widths);
    return out;
}

std::string Table::upload_refusal() const {
    return tyx::upload_refusal(*this).value_or(std::string());
}

}  // namespace tyx
