#include "values.hpp"

#include <pybind11/complex.h>
#include <pybind11/numpy.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <map>
#include <type_traits>

#include "py_support.hpp"

namespace tyx::python {

namespace {

// Database type codes the conversions care about.
enum Code : int {
    kBoolean = 10,
    kByte = 11,
    kShort = 12,
    kCharacter = 13,
    kInteger = 14,
    kLong = 16,
    kDate = 30,
    kDateNanos = 34,
    kDateMillis = 35,
    kDatePart = 63,
};

py::module_ numpy() {
    return py::module_::import("numpy");
}

// numpy.generic, looked up once: it is tested for every published value.
py::handle numpy_generic() {
    static PyObject* generic = py::object(numpy().attr("generic")).release().ptr();
    return generic;
}

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

std::vector<std::uint8_t> bytes_of(py::handle value) {
    py::bytes b = py::reinterpret_steal<py::bytes>(PyBytes_FromObject(value.ptr()));
    if (!b) throw py::error_already_set();
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(b.ptr(), &data, &size);
    return std::vector<std::uint8_t>(data, data + size);
}

bool is_bytes_like(py::handle value) {
    return PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) || PyMemoryView_Check(value.ptr());
}

[[noreturn]] void field_type_error(py::handle value, std::string_view field_name, const std::string& what) {
    throw py::type_error("field '" + std::string(field_name) + "': cannot publish " + what + " of type '" +
                         type_name(value) + "' (expected int, float, str, bytes, None or a numpy scalar)");
}

// numpy scalars keep their exact width.
FieldValue numpy_field(py::handle value, std::string_view field_name) {
    py::object dtype = value.attr("dtype");
    const char kind = py::str(dtype.attr("kind")).cast<std::string>()[0];
    const int size = dtype.attr("itemsize").cast<int>();
    py::object item = value.attr("item")();
    switch (kind) {
        case 'b':
            return static_cast<std::uint8_t>(item.cast<bool>() ? 1 : 0);
        case 'i':
            switch (size) {
                case 1:
                    return item.cast<std::int8_t>();
                case 2:
                    return item.cast<std::int16_t>();
                case 4:
                    return item.cast<std::int32_t>();
                case 8:
                    return item.cast<std::int64_t>();
            }
            break;
        case 'u':
            switch (size) {
                case 1:
                    return item.cast<std::uint8_t>();
                case 2:
                    return item.cast<std::uint16_t>();
                case 4:
                    return item.cast<std::uint32_t>();
                case 8:
                    return item.cast<std::uint64_t>();
            }
            break;
        case 'f':
            // float16 widens exactly to float; long double has no wire form.
            if (size <= 4) return static_cast<float>(item.cast<double>());
            if (size == 8) return item.cast<double>();
            break;
        default:
            break;
    }
    field_type_error(value, field_name, "a numpy scalar");
}

template <typename T>
py::array numeric_array(const std::vector<T>& values) {
    py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(T));
    return out;
}

// Same bytes, another element type of the same width (Byte columns arrive as unsigned bytes
// and are signed on the database side).
template <typename To, typename From>
py::array reinterpreted_array(const std::vector<From>& values) {
    static_assert(sizeof(To) == sizeof(From));
    py::array_t<To> out(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(From));
    return out;
}

py::array bool_array(const std::vector<std::uint8_t>& values) {
    py::array_t<bool> out(static_cast<py::ssize_t>(values.size()));
    bool* data = out.mutable_data();
    for (std::size_t i = 0; i < values.size(); ++i) data[i] = values[i] != 0;
    return out;
}

// A numpy object array filled with `make(i)` for every element.
template <typename Make>
py::array object_array(std::size_t n, Make&& make) {
    py::array out = numpy().attr("empty")(n, py::arg("dtype") = "O");
    auto** data = static_cast<PyObject**>(out.mutable_data());
    for (std::size_t i = 0; i < n; ++i) {
        py::object value = make(i);
        Py_XDECREF(data[i]);
        data[i] = value.release().ptr();
    }
    return out;
}

py::object datetime_array(const std::vector<std::int64_t>& values, const char* unit) {
    return numeric_array(values).attr("view")(std::string("datetime64[") + unit + "]");
}

std::string mangled(const std::string& name, std::map<std::string, int>& seen) {
    int& count = seen[name];
    const std::string key = count == 0 ? name : name + "." + std::to_string(count);
    ++count;
    return key;
}

// pandas' missing-value singletons (null when pandas is not loaded: nothing can hold them then).
struct PandasMissing {
    PyObject* na = nullptr;
    PyObject* nat = nullptr;

    PandasMissing() {
        py::dict modules = py::module_::import("sys").attr("modules");
        if (!modules.contains("pandas")) return;
        py::object pd = modules["pandas"];
        na = pd.attr("NA").ptr();  // module attributes: alive as long as pandas is
        nat = pd.attr("NaT").ptr();
    }
    // None, a float NaN, pd.NA or pd.NaT: what pandas and numpy use for a missing value.
    bool is_missing(PyObject* v) const {
        if (v == Py_None || (na != nullptr && v == na) || (nat != nullptr && v == nat)) return true;
        return PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v));
    }
};

[[noreturn]] void object_column_error(const std::string& name, py::handle value, std::size_t row) {
    throw py::type_error("column '" + name +
                         "': an object column must hold only str or only bytes (and None, NaN or pd.NA "
                         "for NULL); row " +
                         std::to_string(row) + " holds a value of type '" + type_name(value) + "'");
}

struct ConvertedColumn {
    ColumnValues values;
    int code = -1;  // -1: the code Table::add_column picks for the values
};

// An object column: str (String) or bytes (Bytes), the first value that is not missing decides;
// missing values are NULL cells, marked in `nulls`. Only missing values make a String column.
ConvertedColumn object_column(const std::string& name, py::handle array, NullMask& nulls) {
    py::list items = array.attr("tolist")();
    const std::size_t n = items.size();
    const PandasMissing missing;
    std::size_t first = 0;
    while (first < n && missing.is_missing(items[first].ptr())) ++first;
    auto fill = [&](auto& out, auto accepts, auto convert) {
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            py::handle v = items[i];
            if (missing.is_missing(v.ptr())) {
                set_null_mask_bit(nulls, i);
            } else {
                if (!accepts(v)) object_column_error(name, v, i);
                out[i] = convert(v);
            }
        }
    };
    if (first == n || PyUnicode_Check(items[first].ptr())) {
        std::vector<std::string> out;
        fill(
            out, [](py::handle v) { return PyUnicode_Check(v.ptr()) != 0; },
            [](py::handle v) { return from_str(v); });
        return {std::move(out)};
    }
    if (is_bytes_like(items[first])) {
        std::vector<std::vector<std::uint8_t>> out;
        fill(out, is_bytes_like, bytes_of);
        return {std::move(out)};
    }
    object_column_error(name, items[first], first);
}

template <typename T>
std::vector<T> vector_of(py::handle array) {
    auto a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!a) throw py::error_already_set();
    const T* data = a.data();
    return std::vector<T>(data, data + a.size());
}

// Unsigned values widened to the next signed type, which holds every one of them.
template <typename Wide, typename Narrow>
std::vector<Wide> widened(py::handle array) {
    const auto narrow = vector_of<Narrow>(array);
    return std::vector<Wide>(narrow.begin(), narrow.end());
}

// uint64 values go to a Long column, which holds them up to 2**63 - 1; larger ones are refused
// rather than sent as negative numbers. NULL cells hold placeholders and are not checked.
std::vector<std::int64_t> long_of_uint64(const std::string& name, py::handle array, const NullMask& nulls) {
    const auto values = vector_of<std::uint64_t>(array);
    std::vector<std::int64_t> out(values.size());
    constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] > kLargest && !null_mask_bit(nulls, static_cast<std::int64_t>(i))) {
            const std::string text = "column '" + name + "', row " + std::to_string(i) + ": " +
                                     std::to_string(values[i]) + " does not fit a Long column (at most " +
                                     std::to_string(kLargest) + ")";
            PyErr_SetString(PyExc_OverflowError, text.c_str());
            throw py::error_already_set();
        }
        out[i] = static_cast<std::int64_t>(values[i]);
    }
    return out;
}

// The values of a column array and its type code; `nulls` holds the NULL cells found so far
// (a pandas mask) and gains those the values themselves mark (NaT, a complex NaN, missing
// objects).
ConvertedColumn numeric_column(const std::string& name, py::object array, NullMask& nulls) {
    py::module_ np = numpy();
    py::object dtype = array.attr("dtype");
    const char kind = py::str(dtype.attr("kind")).cast<std::string>()[0];
    const int size = dtype.attr("itemsize").cast<int>();
    switch (kind) {
        case 'b': {
            auto flags = vector_of<bool>(array);
            return {std::vector<std::uint8_t>(flags.begin(), flags.end()), kBoolean};
        }
        case 'i':
            switch (size) {
                case 1:
                    return {vector_of<std::int8_t>(array)};
                case 2:
                    return {vector_of<std::int16_t>(array)};
                case 4:
                    return {vector_of<std::int32_t>(array)};
                case 8:
                    return {vector_of<std::int64_t>(array)};
            }
            break;
        case 'u':
            // Byte, Character and Integer are signed (or a character) on the database side.
            switch (size) {
                case 1:
                    return {widened<std::int16_t, std::uint8_t>(array)};
                case 2:
                    return {widened<std::int32_t, std::uint16_t>(array)};
                case 4:
                    return {widened<std::int64_t, std::uint32_t>(array)};
                case 8:
                    return {long_of_uint64(name, array, nulls)};
            }
            break;
        case 'f':
            // A NaN is a value, not a NULL: it travels as it is.
            if (size <= 4) return {vector_of<float>(array.attr("astype")("float32"))};
            if (size == 8) return {vector_of<double>(array)};
            break;
        case 'c':
            if (size <= 16) {
                // Complex parts travel as integers, which have no NaN: such a value is a NULL.
                auto values = vector_of<std::complex<double>>(array.attr("astype")("complex128"));
                for (std::size_t i = 0; i < values.size(); ++i) {
                    if (std::isnan(values[i].real()) || std::isnan(values[i].imag())) {
                        set_null_mask_bit(nulls, i);
                        values[i] = {};
                    }
                }
                return {std::move(values)};
            }
            break;
        case 'M': {
            // Nanoseconds and milliseconds have a column type of their own; finer units go to
            // nanoseconds, coarser ones to milliseconds. NaT is a NULL.
            const std::string unit = py::str(np.attr("datetime_data")(dtype).cast<py::tuple>()[0]);
            const bool nanos = unit == "ns" || unit == "us" || unit == "ps" || unit == "fs" || unit == "as";
            py::object converted = array.attr("astype")(nanos ? "datetime64[ns]" : "datetime64[ms]");
            auto values = vector_of<std::int64_t>(converted.attr("view")("int64"));
            for (std::size_t i = 0; i < values.size(); ++i) {
                if (values[i] == std::numeric_limits<std::int64_t>::min()) {
                    set_null_mask_bit(nulls, i);
                    values[i] = 0;
                }
            }
            return {std::move(values), nanos ? kDateNanos : kDateMillis};
        }
        case 'U': {
            py::list items = array.attr("tolist")();
            std::vector<std::string> out;
            out.reserve(items.size());
            for (py::handle v : items) out.push_back(from_str(v));
            return {std::move(out)};
        }
        case 'S': {
            py::list items = array.attr("tolist")();
            std::vector<std::vector<std::uint8_t>> out;
            out.reserve(items.size());
            for (py::handle v : items) out.push_back(bytes_of(v));
            return {std::move(out)};
        }
        case 'O':
            return object_column(name, array, nulls);
        default:
            break;
    }
    throw py::type_error("column '" + name + "': no column type for numpy dtype '" +
                         py::str(dtype).cast<std::string>() + "'");
}

// The rows a numpy bool array marks.
NullMask mask_of_bools(py::handle flags) {
    NullMask mask;
    const auto set = vector_of<bool>(flags);
    for (std::size_t i = 0; i < set.size(); ++i)
        if (set[i]) set_null_mask_bit(mask, i);
    return mask;
}

// A column's values as a one-dimensional numpy array of native byte order, with the NULL cells a
// pandas masked dtype (Int64, boolean, Float64 ...) or a numpy masked array marks in `nulls`.
// The pandas string dtype comes as objects, its missing values as None.
py::object column_array(const std::string& name, py::handle data, NullMask& nulls) {
    py::module_ np = numpy();
    if (PyUnicode_Check(data.ptr()) || is_bytes_like(data))
        throw py::type_error("column '" + name + "': values must be a sequence or an array, not '" +
                             type_name(data) + "'");
    py::object array;
    py::object dtype = py::getattr(data, "dtype", py::none());
    if (!dtype.is_none() && !py::isinstance(dtype, np.attr("dtype")) && py::hasattr(data, "isna") &&
        py::hasattr(data, "to_numpy")) {
        if (py::hasattr(dtype, "numpy_dtype")) {
            py::object numpy_dtype = np.attr("dtype")(dtype.attr("numpy_dtype"));
            const char kind = py::str(numpy_dtype.attr("kind")).cast<std::string>()[0];
            if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f') {
                py::object fill = kind == 'b' ? py::object(py::bool_(false)) : py::object(py::int_(0));
                array = data.attr("to_numpy")(py::arg("dtype") = numpy_dtype, py::arg("na_value") = fill);
                nulls = mask_of_bools(np.attr("asarray")(data.attr("isna")(), py::arg("dtype") = "bool"));
            }
        } else if (py::str(dtype.attr("name")).cast<std::string>() == "string") {
            array = data.attr("to_numpy")(py::arg("dtype") = "O", py::arg("na_value") = py::none());
        }
    }
    if (!array && py::isinstance(data, np.attr("ma").attr("MaskedArray"))) {
        array = data.attr("data");
        nulls = mask_of_bools(np.attr("ma").attr("getmaskarray")(data));
    }
    if (!array) {
        if (py::isinstance(data, np.attr("ndarray"))) {
            array = py::reinterpret_borrow<py::object>(data);
        } else {
            array = np.attr("asarray")(data);
            // Lists of str or bytes stay Python objects: fixed-width numpy bytes drop trailing NULs.
            const char kind = py::str(array.attr("dtype").attr("kind")).cast<std::string>()[0];
            if (kind == 'S' || kind == 'U') array = np.attr("asarray")(data, py::arg("dtype") = "O");
        }
    }
    if (array.attr("ndim").cast<int>() != 1)
        throw py::type_error("column '" + name + "': values must be one-dimensional");
    if (!array.attr("dtype").attr("isnative").cast<bool>())
        array = array.attr("astype")(array.attr("dtype").attr("newbyteorder")("="));
    return array;
}

}  // namespace

FieldValue to_field_value(py::handle value, std::string_view field_name) {
    PyObject* v = value.ptr();
    if (value.is_none()) return std::monostate{};
    // bool before int: it is an int subclass.
    if (PyBool_Check(v)) return static_cast<std::uint8_t>(v == Py_True ? 1 : 0);
    if (PyUnicode_Check(v)) return from_str(value);
    if (is_bytes_like(value)) return bytes_of(value);
    // numpy before float: numpy.float64 is a float subclass, and would lose its exact width.
    if (py::isinstance(value, numpy_generic())) return numpy_field(value, field_name);
    if (PyLong_Check(v)) {
        int overflow = 0;
        const long long signed_value = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) return static_cast<std::int64_t>(signed_value);
        if (overflow > 0) {
            const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(v);
            if (!PyErr_Occurred()) return static_cast<std::uint64_t>(unsigned_value);
            PyErr_Clear();
        }
        const std::string text = "field '" + std::string(field_name) +
                                 "': " + py::str(value).cast<std::string>() + " does not fit in 64 bits";
        PyErr_SetString(PyExc_OverflowError, text.c_str());
        throw py::error_already_set();
    }
    if (PyFloat_Check(v)) return PyFloat_AsDouble(v);
    field_type_error(value, field_name, "a value");
}

py::object from_field_value(const FieldValue& value) {
    return std::visit(
        [](const auto& v) -> py::object {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return py::none();
            } else if constexpr (std::is_same_v<T, char>) {
                const char c[1] = {v};
                return py::reinterpret_steal<py::object>(PyUnicode_DecodeLatin1(c, 1, nullptr));
            } else if constexpr (std::is_same_v<T, std::string>) {
                return to_str(v);
            } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
                return py::bytes(reinterpret_cast<const char*>(v.data()), v.size());
            } else if constexpr (std::is_floating_point_v<T>) {
                return py::float_(static_cast<double>(v));
            } else {
                return py::int_(v);
            }
        },
        value);
}

void to_fields(py::handle fields, py::handle values, std::vector<std::string>& names,
               std::vector<FieldValue>& field_values) {
    if (fields.is_none()) {
        if (!values.is_none()) throw py::type_error("values given without field names");
        return;
    }
    auto add = [&](py::handle name, py::handle value) {
        if (!PyUnicode_Check(name.ptr()))
            throw py::type_error("field names must be str, not '" + type_name(name) + "'");
        names.push_back(from_str(name));
        field_values.push_back(to_field_value(value, names.back()));
    };
    if (values.is_none()) {
        if (!PyDict_Check(fields.ptr()) &&
            !py::isinstance(fields, py::module_::import("collections.abc").attr("Mapping")))
            throw py::type_error(
                "fields must be a mapping of names to values (or names with values=...), not '" +
                type_name(fields) + "'");
        py::object items = fields.attr("items")();
        for (py::handle item : items) {
            auto pair = py::reinterpret_borrow<py::tuple>(item);
            add(pair[0], pair[1]);
        }
        return;
    }
    if (PyUnicode_Check(fields.ptr()) || PyUnicode_Check(values.ptr()))
        throw py::type_error("field names and values must be sequences, not a single str");
    py::list name_list;
    py::list value_list;
    try {
        name_list = py::list(py::reinterpret_borrow<py::object>(fields));
        value_list = py::list(py::reinterpret_borrow<py::object>(values));
    } catch (py::error_already_set&) {
        throw py::type_error("field names and values must be sequences");
    }
    if (name_list.size() != value_list.size())
        throw py::value_error(std::to_string(name_list.size()) + " field names for " +
                              std::to_string(value_list.size()) + " values");
    for (std::size_t i = 0; i < name_list.size(); ++i) add(name_list[i], value_list[i]);
}

namespace {

// The first n rows `mask` marks, as a numpy bool array; None when it marks none of them.
py::object null_rows(const NullMask& mask, std::size_t n) {
    bool any = false;
    for (std::size_t w = 0; w < mask.size() && w * 64 < n && !any; ++w) {
        std::uint64_t bits = mask[w];
        if (w * 64 + 64 > n) bits &= (std::uint64_t{1} << (n % 64)) - 1;
        any = bits != 0;
    }
    if (!any) return py::none();
    py::array_t<bool> rows(static_cast<py::ssize_t>(n));
    bool* flags = rows.mutable_data();
    for (std::size_t i = 0; i < n; ++i) flags[i] = null_mask_bit(mask, static_cast<std::int64_t>(i));
    return rows;
}

const NullMask& mask_of(const TableAccessor& accessor, std::size_t column) {
    static const NullMask none;
    const auto& masks = accessor.null_masks();
    return column < masks.size() ? masks[column] : none;
}

// `array` with the rows `rows` (a bool array) marked NULL in the form its kind allows: NaN for
// floats and complex numbers, NaT for datetimes, None among objects, and for integers and
// booleans a pandas nullable array (pd.NA) or, for numpy, an object array holding None.
py::object with_nulls(py::object array, py::handle rows, ColumnForm form) {
    const char kind = py::str(array.attr("dtype").attr("kind")).cast<std::string>()[0];
    py::module_ np = numpy();
    switch (kind) {
        case 'f':
            array.attr("__setitem__")(rows, np.attr("nan"));
            return array;
        case 'c':
            array.attr("__setitem__")(rows, py::reinterpret_steal<py::object>(PyComplex_FromDoubles(
                                                std::numeric_limits<double>::quiet_NaN(),
                                                std::numeric_limits<double>::quiet_NaN())));
            return array;
        case 'M':
            array.attr("__setitem__")(rows, np.attr("datetime64")("NaT"));
            return array;
        case 'b':
        case 'i':
        case 'u':
            if (form == ColumnForm::Pandas) {
                py::object arrays = py::module_::import("pandas").attr("arrays");
                return arrays.attr(kind == 'b' ? "BooleanArray" : "IntegerArray")(array, rows);
            }
            array = array.attr("astype")("O");
            array.attr("__setitem__")(rows, py::none());
            return array;
        default:
            array.attr("__setitem__")(rows, py::none());
            return array;
    }
}

}  // namespace

py::object column_to_numpy(const ColumnValues& values, int code) {
    return std::visit(
        [code](const auto& v) -> py::object {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return numpy().attr("empty")(0, py::arg("dtype") = "O");
            } else if constexpr (std::is_same_v<T, std::vector<char>>) {
                return object_array(v.size(), [&](std::size_t i) {
                    return py::reinterpret_steal<py::object>(PyUnicode_DecodeLatin1(&v[i], 1, nullptr));
                });
            } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                return object_array(v.size(), [&](std::size_t i) -> py::object { return to_str(v[i]); });
            } else if constexpr (std::is_same_v<T, std::vector<std::vector<std::uint8_t>>>) {
                return object_array(v.size(), [&](std::size_t i) -> py::object {
                    return py::bytes(reinterpret_cast<const char*>(v[i].data()), v[i].size());
                });
            } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
                if (code == kBoolean) return bool_array(v);
                if (code == kByte) return reinterpreted_array<std::int8_t>(v);
                return numeric_array(v);
            } else if constexpr (std::is_same_v<T, std::vector<std::int64_t>>) {
                if (code == kDateNanos) return datetime_array(v, "ns");
                if (code == kDateMillis) return datetime_array(v, "ms");
                return numeric_array(v);
            } else {
                return numeric_array(v);
            }
        },
        values);
}

py::object column_to_numpy(const ColumnValues& values, int code, const NullMask& nulls, ColumnForm form) {
    py::object array = column_to_numpy(values, code);
    py::object rows = null_rows(nulls, tyx::column_length(values));
    return rows.is_none() ? array : with_nulls(array, rows, form);
}

py::list accessor_columns(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes) {
    py::list out;
    const auto& columns = accessor.columns();
    for (std::size_t i = 0; i < columns.size(); ++i)
        out.append(column_to_numpy(columns[i], i < codes.size() ? codes[i] : -1, mask_of(accessor, i),
                                   ColumnForm::Numpy));
    return out;
}

py::dict accessor_to_dict(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes) {
    py::dict out;
    const auto& names = accessor.column_names();
    const auto& columns = accessor.columns();
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < names.size() && i < columns.size(); ++i) {
        const int code = i < codes.size() ? codes[i] : -1;
        out[to_str(mangled(names[i], seen))] =
            column_to_numpy(columns[i], code, mask_of(accessor, i), ColumnForm::Numpy);
    }
    return out;
}

py::object accessor_to_pandas(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes) {
    py::module_ pd = py::module_::import("pandas");
    const auto& names = accessor.column_names();
    const auto& columns = accessor.columns();
    const std::size_t count = std::min(names.size(), columns.size());
    std::vector<py::object> arrays;
    py::list labels;
    std::size_t rows = 0;
    for (std::size_t i = 0; i < count; ++i) {
        arrays.push_back(column_to_numpy(columns[i], i < codes.size() ? codes[i] : -1, mask_of(accessor, i),
                                         ColumnForm::Pandas));
        rows = std::max(rows, py::len(arrays.back()));
        labels.append(to_str(names[i]));
    }
    py::dict by_position;
    for (std::size_t i = 0; i < count; ++i) {
        py::object a = arrays[i];
        const std::size_t n = py::len(a);
        if (n < rows) {
            // Shards that disagreed on a column's kind leave it short: the missing cells are None.
            py::object padded = numpy().attr("empty")(rows, py::arg("dtype") = "O");
            padded.attr("__setitem__")(py::slice(0, static_cast<py::ssize_t>(n), 1), a);
            a = padded;
        }
        by_position[py::int_(i)] = a;
    }
    py::object frame = pd.attr("DataFrame")(by_position);
    frame.attr("columns") = labels;
    return frame;
}

py::object accessor_cell(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes,
                         std::size_t column, std::int64_t row) {
    if (accessor.is_null(column, row)) return py::none();
    const int code = column < codes.size() ? codes[column] : -1;
    return std::visit(
        [&](const auto& v) -> py::object {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return py::none();
            } else {
                const auto& x = v[static_cast<std::size_t>(row)];
                using E = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<E, std::complex<double>>) {
                    return py::cast(x);
                } else if constexpr (std::is_same_v<E, std::uint8_t>) {
                    if (code == kBoolean) return py::bool_(x != 0);
                    if (code == kByte) return py::int_(static_cast<std::int8_t>(x));
                    return py::int_(x);
                } else if constexpr (std::is_same_v<E, std::int64_t>) {
                    if (code == kDateNanos || code == kDateMillis)
                        return numpy().attr("datetime64")(x, code == kDateNanos ? "ns" : "ms");
                    return py::int_(x);
                } else {
                    return from_field_value(FieldValue(x));
                }
            }
        },
        accessor.columns()[column]);
}

py::dict accessor_row(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes,
                      std::int64_t row) {
    py::dict out;
    const auto& names = accessor.column_names();
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < names.size() && i < accessor.columns().size(); ++i)
        out[to_str(mangled(names[i], seen))] = accessor_cell(accessor, codes, i, row);
    return out;
}

py::tuple accessor_row_tuple(const TableAccessor& accessor, const std::vector<std::uint8_t>& codes,
                             std::int64_t row) {
    const std::size_t n = std::min(accessor.column_names().size(), accessor.columns().size());
    py::tuple out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = accessor_cell(accessor, codes, i, row);
    return out;
}

void add_python_column(Table& table, const std::string& name, py::handle data) {
    NullMask nulls;
    py::object array = column_array(name, data, nulls);
    ConvertedColumn column = numeric_column(name, array, nulls);
    if (column.code < 0) {
        table.add_column(name, std::move(column.values), std::move(nulls));
    } else {
        const auto rows = static_cast<std::int32_t>(py::len(array));
        table.add_column_impl(name, static_cast<std::uint8_t>(column.code), std::move(column.values), rows,
                              std::move(nulls));
    }
}

Table to_table(py::handle data, py::handle table_name, const char* operation) {
    if (py::isinstance<Table>(data)) {
        Table copy = data.cast<const Table&>();
        return copy;
    }
    bool frame = false;
    if (py::module_::import("sys").attr("modules").contains("pandas"))
        frame = py::isinstance(data, py::module_::import("pandas").attr("DataFrame"));
    const bool mapping =
        !frame && (PyDict_Check(data.ptr()) ||
                   py::isinstance(data, py::module_::import("collections.abc").attr("Mapping")));
    if (!frame && !mapping)
        throw py::type_error(std::string(operation) +
                             "() expects a tyx_client.Table, a pandas DataFrame or a dict of arrays, not '" +
                             type_name(data) + "'");
    if (table_name.is_none() || !PyUnicode_Check(table_name.ptr()))
        throw py::type_error(std::string(operation) + "() needs table_name=<str> for a DataFrame or a dict");
    Table table(from_str(table_name));
    py::object items = data.attr("items")();
    for (py::handle item : items) {
        auto pair = py::reinterpret_borrow<py::tuple>(item);
        if (!PyUnicode_Check(pair[0].ptr()))
            throw py::type_error("column names must be str, not '" + type_name(pair[0]) + "'");
        add_python_column(table, from_str(pair[0]), pair[1]);
    }
    return table;
}

}  // namespace tyx::python
