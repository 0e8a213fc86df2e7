// Center row changes as Python objects; see updates.hpp.
#include "updates.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "py_support.hpp"
#include "values.hpp"

namespace tyx::python {

namespace {

// Holds the cyclic garbage collector off for a scope, then restores its state.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

py::module_ numpy_module() {
    return py::module_::import("numpy");
}
py::module_ pandas_module() {
    return py::module_::import("pandas");
}

template <typename T>
py::object typed_array(const std::vector<FieldValue>& cells) {
    py::array_t<T> out(static_cast<py::ssize_t>(cells.size()));
    T* data = out.mutable_data();
    for (std::size_t i = 0; i < cells.size(); ++i) data[i] = std::get<T>(cells[i]);
    return out;
}

// An integer or float column with nulls: float64, NaN for each null.
py::object float_array_with_nan(const std::vector<FieldValue>& cells) {
    py::array_t<double> out(static_cast<py::ssize_t>(cells.size()));
    double* data = out.mutable_data();
    for (std::size_t i = 0; i < cells.size(); ++i) {
        data[i] = std::visit(
            [](const auto& v) -> double {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, char>)
                    return static_cast<double>(v);
                else
                    return std::numeric_limits<double>::quiet_NaN();
            },
            cells[i]);
    }
    return out;
}

py::object object_array(const std::vector<FieldValue>& cells) {
    py::list values(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        PyObject* v = from_field_value(cells[i]).release().ptr();
        PyList_SET_ITEM(values.ptr(), static_cast<py::ssize_t>(i), v);
    }
    return numpy_module().attr("array")(values, py::arg("dtype") = "object");
}

}  // namespace

py::object update_object(py::handle update_class, const Update& u) {
    py::list names(u.field_names.size());
    for (std::size_t i = 0; i < u.field_names.size(); ++i)
        PyList_SET_ITEM(names.ptr(), static_cast<py::ssize_t>(i), to_str(u.field_names[i]).release().ptr());
    py::list values(u.row_data.size());
    for (std::size_t i = 0; i < u.row_data.size(); ++i)
        PyList_SET_ITEM(values.ptr(), static_cast<py::ssize_t>(i),
                        from_field_value(u.row_data[i]).release().ptr());
    return update_class(u.seqnum, u.action, u.id, to_str(u.table_name), to_str(u.object_id), names, values);
}

py::list update_list(py::handle update_class, const std::vector<Update>& updates, std::size_t count) {
    // Thousands of Update objects at once would run the cyclic collector over and over; they form
    // no cycle, so it waits until the list is built.
    const CollectorPause pause;
    py::list list(count);
    for (std::size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<py::ssize_t>(i),
                        update_object(update_class, updates[i]).release().ptr());
    return list;
}

py::object data_frame(const py::dict& columns, py::handle index) {
    return pandas_module().attr("DataFrame")(columns, py::arg("index") = index, py::arg("copy") = false);
}

py::object cells_to_numpy(const std::vector<FieldValue>& cells) {
    constexpr std::size_t kNull = std::variant_size_v<FieldValue> - 1;
    static_assert(std::is_same_v<std::variant_alternative_t<kNull, FieldValue>, std::monostate>);
    std::size_t kind = kNull;
    bool nulls = false;
    bool mixed = false;
    for (const FieldValue& v : cells) {
        if (v.index() == kNull) {
            nulls = true;
        } else if (kind == kNull) {
            kind = v.index();
        } else if (v.index() != kind) {
            mixed = true;
            break;
        }
    }
    if (mixed || kind == kNull) return object_array(cells);
    const FieldValue& sample =
        *std::find_if(cells.begin(), cells.end(), [&](const FieldValue& v) { return v.index() == kind; });
    return std::visit(
        [&](const auto& v) -> py::object {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, char> || !std::is_arithmetic_v<T>) {
                return object_array(cells);
            } else if (nulls) {
                if constexpr (std::is_same_v<T, float>) {
                    // float32 holds NaN as well as float64 does.
                    py::array_t<float> out(static_cast<py::ssize_t>(cells.size()));
                    float* data = out.mutable_data();
                    for (std::size_t i = 0; i < cells.size(); ++i)
                        data[i] = cells[i].index() == kNull ? std::numeric_limits<float>::quiet_NaN()
                                                            : std::get<float>(cells[i]);
                    return out;
                }
                return float_array_with_nan(cells);
            } else {
                return typed_array<T>(cells);
            }
        },
        sample);
}

py::object updates_to_pandas(const std::vector<Update>& updates, std::size_t count) {
    count = std::min(count, updates.size());
    py::array_t<std::int64_t> seqnum(static_cast<py::ssize_t>(count));
    py::array_t<std::int64_t> action(static_cast<py::ssize_t>(count));
    py::array_t<std::int64_t> id(static_cast<py::ssize_t>(count));
    py::list table_name(count);
    py::list object_id(count);
    std::vector<std::string> names;
    std::unordered_map<std::string, std::size_t> by_name;
    std::vector<std::vector<FieldValue>> fields;
    for (std::size_t r = 0; r < count; ++r) {
        const Update& u = updates[r];
        seqnum.mutable_data()[r] = u.seqnum;
        action.mutable_data()[r] = u.action;
        id.mutable_data()[r] = u.id;
        PyList_SET_ITEM(table_name.ptr(), static_cast<py::ssize_t>(r), to_str(u.table_name).release().ptr());
        PyList_SET_ITEM(object_id.ptr(), static_cast<py::ssize_t>(r), to_str(u.object_id).release().ptr());
        const std::size_t n = std::min(u.field_names.size(), u.row_data.size());
        for (std::size_t i = 0; i < n; ++i) {
            auto [it, added] = by_name.try_emplace(u.field_names[i], names.size());
            if (added) {
                names.push_back(u.field_names[i]);
                // Rows that do not carry the field hold the null value, not a default char.
                fields.emplace_back(count, FieldValue(std::monostate{}));
            }
            fields[it->second][r] = u.row_data[i];
        }
    }
    py::module_ np = numpy_module();
    py::dict columns;
    columns["seqnum"] = seqnum;
    columns["action"] = action;
    columns["id"] = id;
    columns["table_name"] = np.attr("array")(table_name, py::arg("dtype") = "object");
    columns["object_id"] = np.attr("array")(object_id, py::arg("dtype") = "object");
    for (std::size_t c = 0; c < names.size(); ++c) {
        py::str name = to_str(names[c]);
        if (columns.contains(name)) name = to_str("field_" + names[c]);
        columns[name] = cells_to_numpy(fields[c]);
    }
    return data_frame(columns, np.attr("arange")(static_cast<py::ssize_t>(count)));
}

}  // namespace tyx::python
