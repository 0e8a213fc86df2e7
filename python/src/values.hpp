// Conversions between Python values and the library's value types: published fields, column
// vectors, tables to upload and query results. Every function here runs with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tyx/table.hpp>
#include <tyx/values.hpp>

namespace tyx::python {

namespace py = pybind11;

// One Python value as a published field (the mapping is in the module docstring). Raises
// TypeError for a value of another type and OverflowError for an int beyond 64 bits.
FieldValue to_field_value(py::handle value, std::string_view field_name);
py::object from_field_value(const FieldValue& value);

// The fields of one object: `fields` a mapping of names to values (and `values` None), or a
// sequence of names with `values` a sequence of the same length.
void to_fields(py::handle fields, py::handle values, std::vector<std::string>& names,
               std::vector<FieldValue>& field_values);

// One column as a numpy array whose dtype follows the type code (when it matches the values'
// kind) or else the kind of values; NULL cells are not looked at.
py::object column_to_numpy(const ColumnValues& values, int type_code);
// How NULL cells of integer and boolean columns come out: numpy object arrays holding None, or
// pandas nullable arrays (Int8 ... Int64, UInt16, boolean) holding pd.NA. Either way floats and
// complex numbers get NaN, datetimes NaT and object columns None.
enum class ColumnForm { Numpy, Pandas };
// The same, with the rows `nulls` marks NULL (see ColumnForm); a column without NULL cells keeps
// the dtype of its type code.
py::object column_to_numpy(const ColumnValues& values, int type_code, const NullMask& nulls, ColumnForm form);
// Every column of an accessor as numpy, in column order.
py::list accessor_columns(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes);
// The columns of an accessor by name (a repeated name gets ".1", ".2", ... appended).
py::dict accessor_to_dict(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes);
// The columns of an accessor as a pandas DataFrame; shorter columns are padded with None.
py::object accessor_to_pandas(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes);
// One cell as a Python value; None for a NULL cell or one the column has not.
py::object accessor_cell(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes,
                         std::size_t column, std::int64_t row);
// The values of row `row` by column name, and as a tuple in column order.
py::dict accessor_row(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes,
                      std::int64_t row);
py::tuple accessor_row_tuple(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes,
                             std::int64_t row);

// Appends one column given as a numpy array, a pandas Series or a sequence, choosing the type
// code from its dtype (unsigned integers widen to the next signed type) and marking its missing
// values NULL. Raises TypeError for a dtype with no column type and OverflowError for a uint64
// value a Long cannot hold.
void add_python_column(Table& table, const std::string& name, py::handle data);
// A Table from a tyx_client.Table (copied), a pandas DataFrame or a mapping of names to columns.
Table to_table(py::handle data, py::handle table_name, const char* operation);

}  // namespace tyx::python
