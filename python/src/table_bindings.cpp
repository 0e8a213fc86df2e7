// TableAccessor, its row iterator and Table: query results and tables to upload, read and built
// from Python. Every method works on data the accessor holds and never blocks.
#include "client_bindings.hpp"

#include <algorithm>
#include <optional>
#include <sstream>

#include "values.hpp"

namespace tyx::python {

namespace {

// A copy of an accessor that outlives the callback it was handed to (sql_async results).
class SnapshotAccessor final : public TableAccessor {
public:
    explicit SnapshotAccessor(const TableAccessor& from)
        : name_(from.table_name()),
          names_(from.column_names()),
          columns_(from.columns()),
          types_(column_type_codes(from)),
          has_result_set_(from.has_result_set()),
          error_(from.error_message()),
          affected_(from.affected_rows()),
          rows_(from.row_count()),
          null_masks_(from.null_masks()) {}

    const std::vector<std::uint8_t>& types() const { return types_; }

    std::string table_name() const override { return name_; }
    const std::vector<std::string>& column_names() const override { return names_; }
    const std::vector<ColumnValues>& columns() const override { return columns_; }
    bool has_result_set() const override { return has_result_set_; }
    std::string error_message() const override { return error_; }
    std::int64_t affected_rows() const override { return affected_; }
    std::int64_t row_count() const override { return rows_; }

    // The cursor rules every accessor of the library follows.
    std::int64_t cursor_position() const override { return p_; }
    bool cursor_advance() override {
        if (p_ < rows_) ++p_;
        return p_ < rows_;
    }
    bool cursor_advance(std::int64_t n) override { return move_to_target(p_ + n); }
    bool cursor_rewind() override {
        p_ = 0;
        return rows_ > 0;
    }
    bool cursor_move_to(std::int64_t i) override {
        p_ = i;
        return i >= 0 && i < rows_;
    }
    bool cursor_move_by(std::int64_t n) override { return move_to_target(p_ + n); }
    bool cursor_move_to_last() override {
        p_ = rows_ - 1;
        return rows_ > 0;
    }
    bool cursor_retreat(std::int64_t n) override { return move_to_target(p_ - n); }
    bool cursor_eof() const override { return p_ >= rows_; }
    std::int64_t cursor_row_number() const override { return p_ >= 0 && p_ < rows_ ? p_ : -1; }
    std::ostream& print(std::ostream& out) const override { return print_table_accessor(*this, out); }
    const std::vector<NullMask>& null_masks() const override { return null_masks_; }

private:
    bool move_to_target(std::int64_t target) {
        p_ = std::min(target, rows_);
        return target < rows_ && p_ >= 0;
    }

    std::string name_;
    std::vector<std::string> names_;
    std::vector<ColumnValues> columns_;
    std::vector<std::uint8_t> types_;
    bool has_result_set_;
    std::string error_;
    std::int64_t affected_;
    std::int64_t rows_;
    std::vector<NullMask> null_masks_;
    std::int64_t p_ = -1;
};

std::vector<std::uint8_t> codes_of(const TableAccessor& accessor) {
    if (const auto* snapshot = dynamic_cast<const SnapshotAccessor*>(&accessor)) return snapshot->types();
    return column_type_codes(accessor);
}

std::string accessor_text(const TableAccessor& a) {
    std::ostringstream out;
    a.print(out);
    return out.str();
}

// Walks an accessor's rows from the first, apart from its cursor. Holds the accessor alive
// through the binding's keep_alive; each step reads the row count again, so rows added to a Table
// while iterating are reached.
class RowIterator {
public:
    explicit RowIterator(const TableAccessor& accessor) : accessor_(&accessor), codes_(codes_of(accessor)) {}
    py::tuple next() {
        if (row_ >= accessor_->row_count()) throw py::stop_iteration();
        return accessor_row_tuple(*accessor_, codes_, row_++);
    }

private:
    const TableAccessor* accessor_;
    std::vector<std::uint8_t> codes_;
    std::int64_t row_ = 0;
};

using AccessorClass = py::class_<TableAccessor>;

// The cursor and what the shards answered.
void bind_accessor_cursor(AccessorClass& cls) {
    cls.def("has_result_set", &TableAccessor::has_result_set,
            "True when there is a table to read: a query that returned one, or a Table with a column.")
        .def(
            "error_message", [](const TableAccessor& a) { return to_str(a.error_message()); },
            "A query's error messages, each prefixed by its shard (\"[shard i] ...\"), joined by \"; \";\n"
            "empty when there are none (always for a Table).")
        .def("affected_rows", &TableAccessor::affected_rows,
             "The row counts the shards answered (rows a statement changed), added up; 0 for a Table.")
        .def("row_count", &TableAccessor::row_count, "The number of rows the cursor walks.")
        .def("cursor_position", &TableAccessor::cursor_position,
             "The cursor's position: -1 before the first row, row_count() once stepped past the last.")
        .def(
            "cursor_advance",
            [](TableAccessor& a, std::optional<std::int64_t> n) {
                return n ? a.cursor_advance(*n) : a.cursor_advance();
            },
            py::arg("n") = py::none(),
            "Moves one row forward, or `n` rows (never past row_count()); True when on a row.")
        .def("cursor_rewind", &TableAccessor::cursor_rewind,
             "Moves to the first row; True when there is one.")
        .def("cursor_move_to", &TableAccessor::cursor_move_to, py::arg("i"),
             "Moves to row `i`, unchecked; True when `i` is a row.")
        .def("cursor_move_by", &TableAccessor::cursor_move_by, py::arg("n"), "The same as cursor_advance(n).")
        .def("cursor_move_to_last", &TableAccessor::cursor_move_to_last,
             "Moves to the last row; True when there is one.")
        .def("cursor_retreat", &TableAccessor::cursor_retreat, py::arg("n"),
             "Moves `n` rows back; True when the target is a row.")
        .def("cursor_eof", &TableAccessor::cursor_eof, "True when the position is at or past row_count().")
        .def("cursor_row_number", &TableAccessor::cursor_row_number,
             "The position when it is a row, else -1.");
}

// The columns and rows as Python values, and the table as text.
void bind_accessor_conversions(AccessorClass& cls) {
    cls.def(
           "columns", [](const TableAccessor& a) { return accessor_columns(a, codes_of(a)); },
           "Every column as a numpy array, in column order (NULL cells as in to_numpy).")
        .def(
            "to_numpy", [](const TableAccessor& a) { return accessor_to_dict(a, codes_of(a)); },
            "The columns as a dict of numpy arrays (a repeated name gets '.1', '.2', ... appended).\n"
            "NULL cells are NaN in float and complex columns, NaT in datetime columns and None in the\n"
            "others; an integer or boolean column with a NULL becomes an object array.")
        .def(
            "to_pandas", [](const TableAccessor& a) { return accessor_to_pandas(a, codes_of(a)); },
            "The columns as a pandas DataFrame; columns shorter than the longest are padded with None.\n"
            "NULL cells are NaN in float and complex columns, NaT in datetime columns, None in text and\n"
            "bytes columns, and pd.NA in integer and boolean columns, which then take the nullable\n"
            "dtypes (Int8, Int16, UInt16, Int32, Int64, boolean); a column without NULL cells keeps its\n"
            "numpy dtype.")
        .def(
            "is_null",
            [](const TableAccessor& a, std::size_t column, std::int64_t row) {
                if (column >= a.columns().size())
                    throw py::index_error("column " + std::to_string(column) + " of " +
                                          std::to_string(a.columns().size()));
                return a.is_null(column, row);
            },
            py::arg("column"), py::arg("row"),
            "True when the cell at `row` of column number `column` is NULL (or the column has no value\n"
            "there). Raises IndexError for a column past the last.")
        .def(
            "row",
            [](const TableAccessor& a, std::optional<std::int64_t> i) {
                return accessor_row(a, codes_of(a), i ? *i : a.cursor_position());
            },
            py::arg("i") = py::none(),
            "A dict of the values of row `i` (default: the cursor's row) by column name, as to_numpy\n"
            "names them; None for each NULL cell and each cell the row has not (before the first row,\n"
            "for example).")
        .def(
            "__iter__", [](const TableAccessor& a) { return RowIterator(a); }, py::keep_alive<0, 1>(),
            "Iterates over the rows, each a tuple of its values in column order (None for a NULL\n"
            "cell), from the first row whatever the cursor's position; the cursor does not move.")
        .def(
            "print",
            [](const TableAccessor& a, py::object file) {
                py::object out = file.is_none() ? py::module_::import("sys").attr("stdout") : file;
                out.attr("write")(to_str(accessor_text(a)));
            },
            py::arg("file") = py::none(),
            "Prints the table as text, every row included (long cells are cut, NULL cells read NULL),\n"
            "to sys.stdout or to `file`. to_string() returns the same text.")
        .def(
            "to_string", [](const TableAccessor& a) { return to_str(accessor_text(a)); },
            "The text print() prints.")
        .def(
            "__str__", [](const TableAccessor& a) { return to_str(accessor_text(a)); },
            "The same as to_string().")
        .def(
            "__len__", [](const TableAccessor& a) { return std::max<std::int64_t>(a.row_count(), 0); },
            "row_count().");
}

void bind_table_accessor(py::module_& m) {
    AccessorClass cls(m, "TableAccessor",
                      R"doc(A column-oriented table with a row cursor: a query result or a Table.

to_numpy() and to_pandas() convert every column (see the module documentation for the dtypes
and NULL cells); iterating gives each row as a tuple, len() the number of rows, print() prints
the table and to_string() (or str()) returns that text:
    for sym, px in client.sql("demo", "SELECT sym, px FROM prices"): ...
row() gives the cursor's row as a dict. The cursor starts at -1, before the first row, and
never touches the data. The reading loop is
    while result.cursor_advance(): print(result.row())
Every method works on data the accessor holds: none blocks or touches the network, and a result
handed to a sql_async callback may be kept and read on any thread.)doc");
    cls
        // Texts that come from a server decode as every value does: bytes that are not UTF-8 become
        // surrogate escapes, and reading them never raises.
        .def(
            "table_name", [](const TableAccessor& a) { return to_str(a.table_name()); },
            "The table's name: a Table's own, or that of a query's first result table.")
        .def(
            "column_names",
            [](const TableAccessor& a) {
                py::list names;
                for (const auto& name : a.column_names()) names.append(to_str(name));
                return names;
            },
            "The names of the columns, in column order.")
        .def(
            "column_types", [](const TableAccessor& a) { return codes_of(a); },
            "The database type code of each column, in column order (for a query, those of the first\n"
            "result table; empty when unknown).");
    bind_accessor_cursor(cls);
    bind_accessor_conversions(cls);

    py::class_<RowIterator>(m, "TableRowIterator", "An iterator over the rows of a TableAccessor, as tuples.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &RowIterator::next);
}

void bind_table(py::module_& m) {
    py::class_<Table, TableAccessor>(m, "Table",
                                     R"doc(A table built column by column, for sql_insert and sql_replace.

add_column takes a numpy array, a pandas Series or a sequence; the column type follows the dtype
and missing values become NULL cells (see the module documentation). Table.from_pandas and Table.from_dict build a whole table.
Columns of different lengths are accepted; the row count is the longest. The uploading calls
copy the table, so it may be changed or reused afterwards.)doc")
        .def(py::init<std::string>(), py::arg("name"), "An empty table named `name`.")
        .def(
            "add_column",
            [](Table& t, const std::string& name, py::handle values) -> Table& {
                add_python_column(t, name, values);
                return t;
            },
            py::arg("name"), py::arg("values"), py::return_value_policy::reference_internal,
            "Appends the column `name` with `values` (a one-dimensional numpy array, a pandas Series or a\n"
            "sequence) copied, its missing values as NULL cells; returns the table, for chaining. Raises\n"
            "TypeError for values with no column type and OverflowError for a uint64 value above 2**63 - 1.")
        .def(
            "add_column_impl",
            [](Table& t, const std::string& name, std::uint8_t type_code, py::handle values,
               std::int32_t row_count) {
                Table scratch(name);
                add_python_column(scratch, name, values);
                t.add_column_impl(name, type_code, scratch.columns().front(), row_count,
                                  scratch.null_masks().front());
            },
            py::arg("name"), py::arg("type_code"), py::arg("values"), py::arg("row_count"),
            "Appends a column with the given type code and row count, unchecked: `values` is converted\n"
            "as add_column does, then stored under `type_code`.")
        .def("column_row_counts", &Table::column_row_counts,
             "The element count of each column, in column order.")
        .def_static(
            "from_pandas",
            [](const std::string& name, py::handle frame) {
                return to_table(frame, py::str(name), "from_pandas");
            },
            py::arg("name"), py::arg("frame"),
            "A Table named `name` with a column for each column of the pandas DataFrame `frame`, copied.")
        .def_static(
            "from_dict",
            [](const std::string& name, py::handle columns) {
                return to_table(columns, py::str(name), "from_dict");
            },
            py::arg("name"), py::arg("columns"),
            "A Table named `name` from a dict of column names (str) to columns, each as add_column\n"
            "takes it.");
}

}  // namespace

std::unique_ptr<TableAccessor> result_snapshot(const TableAccessor& result) {
    return std::make_unique<SnapshotAccessor>(result);
}

void bind_tables(py::module_& m) {
    bind_table_accessor(m);
    bind_table(m);
}

}  // namespace tyx::python
