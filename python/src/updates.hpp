// Center row changes as Python objects: one Update, a list of them, the cells of one field as a
// numpy array and a batch of updates as a DataFrame. Listeners, update streams and live tables
// share these, so that each form reads the same wherever it comes from. Every function needs
// the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

#include <tyx/client.hpp>

namespace tyx::python {

namespace py = pybind11;

using Update = ClientListener::CenterIncrementalUpdate;

// An object of the Python class `update_class` (tyx_client.Update) holding `update`.
py::object update_object(py::handle update_class, const Update& update);
// The first `count` updates as a list of `update_class` objects.
py::list update_list(py::handle update_class, const std::vector<Update>& updates, std::size_t count);

// Cells of one column as a numpy array: the dtype of the values' wire type when they all have
// one (integers with a null or missing value become float64 with NaN; floats keep NaN), object
// otherwise (None for null or missing).
py::object cells_to_numpy(const std::vector<FieldValue>& cells);
// A DataFrame of `columns` (a dict of names to arrays) over `index`, the arrays not copied.
py::object data_frame(const py::dict& columns, py::handle index);
// The first `count` updates as a DataFrame: seqnum, action, id, table_name and object_id, then
// one column per field name in first-seen order (a name taken by one of those five gets a
// "field_" prefix).
py::object updates_to_pandas(const std::vector<Update>& updates, std::size_t count);

}  // namespace tyx::python
