// TyxClient.publish_frame and remove_frame: one object (or removal) per row of a pandas
// DataFrame or a dict of arrays. Every column is checked and read with the GIL held into a form
// C++ can walk alone (numeric columns stay in their numpy buffers, the texts of object columns
// are copied into one buffer per column); the rows are then published on the calling thread with
// the GIL released, through the public Client::publish_object.
#include <pybind11/numpy.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tyx/client.hpp>

#include "bindings.hpp"
#include "py_support.hpp"
#include "values.hpp"

namespace tyx::python {

namespace {

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

std::string quoted(const std::string& name) {
    return "'" + name + "'";
}

// pandas' missing-value singletons (null when pandas is not loaded: nothing can hold them then).
struct Missing {
    PyObject* na = nullptr;
    PyObject* nat = nullptr;

    Missing() {
        py::dict modules = py::module_::import("sys").attr("modules");
        if (!modules.contains("pandas")) return;
        py::object pd = modules["pandas"];
        na = pd.attr("NA").ptr();  // module attributes: alive as long as pandas is
        nat = pd.attr("NaT").ptr();
    }
    bool is_missing(PyObject* v) const { return v == Py_None || (v == na && na) || (v == nat && nat); }
};

// How the cells of one column are read.
enum class Kind { Bool, I8, I16, I32, I64, U8, U16, U32, U64, F32, F64, FixedBytes, Objects };

// One cell of an object column: a text (the usual case, its bytes in the column's `texts`), the
// empty value, or a value of another type converted as publish_object converts it, kept aside.
class ObjectCell {
public:
    bool is_text() const { return begin_ != kNotText; }
    bool is_empty() const { return begin_ == kNotText && size_ == 0; }
    std::string_view text(const std::string& texts) const { return {texts.data() + begin_, size_}; }
    std::size_t other() const { return size_ - 1; }  // index into FrameColumn::others

    void set_text(std::size_t begin, std::size_t size) {
        begin_ = begin;
        size_ = size;
    }
    void set_other(std::size_t index) {
        begin_ = kNotText;
        size_ = index + 1;
    }

private:
    static constexpr std::size_t kNotText = static_cast<std::size_t>(-1);
    std::size_t begin_ = kNotText;
    std::size_t size_ = 0;  // when not a text: 0 for the empty value, else 1 + the index
};

// One column, ready to be read without the GIL. The Python objects it holds keep the memory
// its pointers point into; they are only touched with the GIL held. The texts of an object
// column are copied out of their str objects: another thread may replace those in the caller's
// array while the GIL is released, and the copies are contiguous, as the loop likes them.
struct FrameColumn {
    std::string name;
    Kind kind = Kind::Objects;
    std::size_t rows = 0;
    py::object array;  // the numpy array whose buffer `data` points into
    const char* data = nullptr;
    py::ssize_t stride = 0;
    py::ssize_t itemsize = 0;
    py::object mask_array;  // pandas masked dtypes: a bool array, true where the value is missing
    const char* mask = nullptr;
    py::ssize_t mask_stride = 0;
    py::array objects;  // object columns: the cells' objects (only read with the GIL)
    std::vector<ObjectCell> cells;
    std::string texts;  // the UTF-8 bytes of every text cell, one after the other
    std::vector<FieldValue> others;

    bool missing(std::size_t i) const {
        return mask != nullptr && *(mask + static_cast<py::ssize_t>(i) * mask_stride) != 0;
    }
    const char* at(std::size_t i) const { return data + static_cast<py::ssize_t>(i) * stride; }
    template <typename T>
    T read(std::size_t i) const {
        T v;  // numpy does not promise aligned elements
        std::memcpy(&v, at(i), sizeof(T));
        return v;
    }
    bool is_integer() const { return kind >= Kind::I8 && kind <= Kind::U64; }

    // Row i as an int64 (integer columns only); a missing value is 0.
    std::int64_t integer(std::size_t i) const {
        if (missing(i)) return 0;
        switch (kind) {
            case Kind::I8:
                return read<std::int8_t>(i);
            case Kind::I16:
                return read<std::int16_t>(i);
            case Kind::I32:
                return read<std::int32_t>(i);
            case Kind::I64:
                return read<std::int64_t>(i);
            case Kind::U8:
                return read<std::uint8_t>(i);
            case Kind::U16:
                return read<std::uint16_t>(i);
            case Kind::U32:
                return read<std::uint32_t>(i);
            case Kind::U64:
                return static_cast<std::int64_t>(read<std::uint64_t>(i));
            default:
                return 0;
        }
    }

    // Row i into `slot`, reusing the string or byte storage `slot` already has.
    void set(FieldValue& slot, std::size_t i) const {
        if (missing(i)) {
            slot = std::monostate{};
            return;
        }
        switch (kind) {
            case Kind::Bool:
                slot = static_cast<std::uint8_t>(*at(i) != 0 ? 1 : 0);
                return;
            case Kind::I8:
                slot = read<std::int8_t>(i);
                return;
            case Kind::I16:
                slot = read<std::int16_t>(i);
                return;
            case Kind::I32:
                slot = read<std::int32_t>(i);
                return;
            case Kind::I64:
                slot = read<std::int64_t>(i);
                return;
            case Kind::U8:
                slot = read<std::uint8_t>(i);
                return;
            case Kind::U16:
                slot = read<std::uint16_t>(i);
                return;
            case Kind::U32:
                slot = read<std::uint32_t>(i);
                return;
            case Kind::U64:
                slot = read<std::uint64_t>(i);
                return;
            case Kind::F32:
                slot = read<float>(i);
                return;
            case Kind::F64:
                slot = read<double>(i);
                return;
            case Kind::FixedBytes: {
                // numpy's fixed-width bytes end at the first of their trailing NULs.
                const auto* p = reinterpret_cast<const std::uint8_t*>(at(i));
                std::size_t n = static_cast<std::size_t>(itemsize);
                while (n > 0 && p[n - 1] == 0) --n;
                if (auto* b = std::get_if<std::vector<std::uint8_t>>(&slot))
                    b->assign(p, p + n);
                else
                    slot.emplace<std::vector<std::uint8_t>>(p, p + n);
                return;
            }
            case Kind::Objects: {
                const ObjectCell& cell = cells[i];
                if (cell.is_text()) {
                    if (auto* s = std::get_if<std::string>(&slot))
                        s->assign(cell.text(texts));
                    else
                        slot.emplace<std::string>(cell.text(texts));
                } else if (cell.is_empty()) {
                    slot = std::monostate{};
                } else {
                    slot = others[cell.other()];
                }
                return;
            }
        }
    }
};

[[noreturn]] void unsupported_dtype(const std::string& name, py::handle dtype) {
    throw py::type_error("column " + quoted(name) + ": cannot publish a column of dtype '" +
                         py::str(dtype).cast<std::string>() +
                         "' (expected bool, integers, float16/32/64, str, bytes or object)");
}

// The column's values as a one-dimensional numpy array of native byte order. pandas masked
// dtypes (Int64, boolean, Float64, ...) and numpy masked arrays come as their values plus a mask
// of missing ones.
py::array column_array(const std::string& name, py::handle data, py::object& mask_out) {
    py::module_ np = py::module_::import("numpy");
    if (PyUnicode_Check(data.ptr()) || PyBytes_Check(data.ptr()))
        throw py::type_error("column " + quoted(name) + ": values must be a sequence or an array, not '" +
                             type_name(data) + "'");
    py::object array;
    py::object dtype = py::getattr(data, "dtype", py::none());
    if (!dtype.is_none() && !py::isinstance(dtype, np.attr("dtype")) && py::hasattr(dtype, "numpy_dtype") &&
        py::hasattr(data, "isna") && py::hasattr(data, "to_numpy")) {
        py::object numpy_dtype = np.attr("dtype")(dtype.attr("numpy_dtype"));
        const char kind = py::str(numpy_dtype.attr("kind")).cast<std::string>()[0];
        if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f') {
            py::object fill = kind == 'b' ? py::object(py::bool_(false)) : py::object(py::int_(0));
            array = data.attr("to_numpy")(py::arg("dtype") = numpy_dtype, py::arg("na_value") = fill);
            mask_out = np.attr("asarray")(data.attr("isna")(), py::arg("dtype") = "bool");
        }
    }
    if (!array && py::isinstance(data, np.attr("ma").attr("MaskedArray"))) {
        // A numpy masked array: its masked cells are missing, whatever their data holds.
        array = data.attr("data");
        mask_out = np.attr("ma").attr("getmaskarray")(data);
    }
    if (!array) {
        if (py::isinstance(data, np.attr("ndarray"))) {
            array = py::reinterpret_borrow<py::object>(data);
        } else {
            try {
                array = np.attr("asarray")(data);
            } catch (py::error_already_set& e) {
                // Ragged sequences (a list among numbers): their cells are refused one by one below.
                if (!e.matches(PyExc_ValueError)) throw;
                array = np.attr("asarray")(data, py::arg("dtype") = "O");
            }
            // Sequences of str or bytes stay Python objects: fixed-width numpy bytes would drop
            // trailing NULs, and mixed sequences would all become text.
            const char kind = py::str(array.attr("dtype").attr("kind")).cast<std::string>()[0];
            if (kind == 'S' || kind == 'U') array = np.attr("asarray")(data, py::arg("dtype") = "O");
        }
    }
    if (array.attr("ndim").cast<int>() != 1)
        throw py::type_error("column " + quoted(name) + ": values must be one-dimensional");
    if (!array.attr("dtype").attr("isnative").cast<bool>())
        array = array.attr("astype")(array.attr("dtype").attr("newbyteorder")("="));
    return py::reinterpret_borrow<py::array>(array);
}

PyObject* object_at(const py::array& objects, std::size_t i) {
    PyObject* v;
    std::memcpy(&v,
                static_cast<const char*>(objects.data()) + static_cast<py::ssize_t>(i) * objects.strides(0),
                sizeof v);
    return v;
}

// Appends `text` to the column's texts and makes `cell` refer to it.
void add_text(FrameColumn& c, ObjectCell& cell, std::string_view text) {
    cell.set_text(c.texts.size(), text.size());
    c.texts.append(text);
}

// Fills the cells of an object column (or of a numpy str column) from its Python objects.
void read_objects(FrameColumn& c, const py::array& array, const Missing& missing) {
    const bool str_dtype = py::str(array.attr("dtype").attr("kind")).cast<std::string>()[0] == 'U';
    c.objects = str_dtype ? py::reinterpret_borrow<py::array>(array.attr("astype")("O")) : array;
    c.cells.resize(c.rows);
    for (std::size_t i = 0; i < c.rows; ++i) {
        PyObject* v = object_at(c.objects, i);
        ObjectCell& cell = c.cells[i];
        if (missing.is_missing(v)) continue;  // the empty value
        if (PyUnicode_Check(v)) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(v, &size)) {
                add_text(c, cell, std::string_view(utf8, static_cast<std::size_t>(size)));
            } else {
                PyErr_Clear();  // lone surrogates: the bytes they stand for
                add_text(c, cell, from_str(v));
            }
            continue;
        }
        FieldValue value;
        try {
            value = to_field_value(v, c.name);
        } catch (const py::type_error& e) {
            throw py::type_error("column " + quoted(c.name) + ", row " + std::to_string(i) + ": " + e.what());
        }
        const bool nan = (std::holds_alternative<double>(value) && std::isnan(std::get<double>(value))) ||
                         (std::holds_alternative<float>(value) && std::isnan(std::get<float>(value)));
        if (nan || std::holds_alternative<std::monostate>(value)) continue;
        cell.set_other(c.others.size());
        c.others.push_back(std::move(value));
    }
}

FrameColumn read_column(const std::string& name, py::handle data, const Missing& missing) {
    FrameColumn c;
    c.name = name;
    py::array array = column_array(name, data, c.mask_array);
    c.rows = static_cast<std::size_t>(array.shape(0));
    if (c.mask_array) {
        auto m = py::reinterpret_borrow<py::array>(c.mask_array);
        if (m.ndim() != 1 || static_cast<std::size_t>(m.shape(0)) != c.rows)
            throw py::value_error("column " + quoted(name) + ": its mask does not match its values");
        c.mask = static_cast<const char*>(m.data());
        c.mask_stride = m.strides(0);
    }
    py::object dtype = array.attr("dtype");
    const char kind = py::str(dtype.attr("kind")).cast<std::string>()[0];
    const auto size = array.itemsize();
    c.array = array;
    auto numeric = [&](Kind k) {
        c.kind = k;
        c.array = array;
        c.data = static_cast<const char*>(array.data());
        c.stride = array.strides(0);
        c.itemsize = array.itemsize();
        return std::move(c);
    };
    switch (kind) {
        case 'b':
            return numeric(Kind::Bool);
        case 'i':
            if (size == 1) return numeric(Kind::I8);
            if (size == 2) return numeric(Kind::I16);
            if (size == 4) return numeric(Kind::I32);
            if (size == 8) return numeric(Kind::I64);
            break;
        case 'u':
            if (size == 1) return numeric(Kind::U8);
            if (size == 2) return numeric(Kind::U16);
            if (size == 4) return numeric(Kind::U32);
            if (size == 8) return numeric(Kind::U64);
            break;
        case 'f':
            // float16 widens exactly to float32; long double has no wire form.
            if (size == 2) {
                array = py::reinterpret_borrow<py::array>(array.attr("astype")("float32"));
                return numeric(Kind::F32);
            }
            if (size == 4) return numeric(Kind::F32);
            if (size == 8) return numeric(Kind::F64);
            break;
        case 'S':
            return numeric(Kind::FixedBytes);
        case 'U':
        case 'O':
            c.kind = Kind::Objects;
            read_objects(c, array, missing);
            return c;
        default:
            break;
    }
    unsupported_dtype(name, dtype);
}

// The identifiers of the rows: integers (written as decimal text) or texts.
struct IdColumn {
    FrameColumn column;  // an integer column, or an object column whose cells are all texts

    // Row i's identifier; `buffer` holds the text of an integer.
    std::string_view at(std::size_t i, char (&buffer)[24]) const {
        const FrameColumn& c = column;
        if (c.kind == Kind::Objects) return c.cells[i].text(c.texts);
        char* end = c.kind == Kind::U64 ? std::to_chars(buffer, buffer + 24, c.read<std::uint64_t>(i)).ptr
                                        : std::to_chars(buffer, buffer + 24, c.integer(i)).ptr;
        return std::string_view(buffer, static_cast<std::size_t>(end - buffer));
    }
};

[[noreturn]] void bad_id(const std::string& name, std::size_t row, const std::string& what) {
    throw py::type_error("id column " + quoted(name) + ", row " + std::to_string(row) + ": " + what +
                         " (identifiers must be str or integers)");
}

IdColumn read_ids(const std::string& name, py::handle data, const Missing& missing) {
    IdColumn ids{read_column(name, data, missing)};
    FrameColumn& c = ids.column;
    if (c.rows == 0) return ids;  // an empty sequence comes as float64
    if (c.is_integer()) {
        for (std::size_t i = 0; i < c.rows; ++i)
            if (c.missing(i)) bad_id(name, i, "a missing value");
        return ids;
    }
    if (c.kind != Kind::Objects)
        throw py::type_error("id column " + quoted(name) + ": cannot take identifiers from dtype '" +
                             py::str(c.array.attr("dtype")).cast<std::string>() +
                             "' (identifiers must be str or integers)");
    py::object numpy_integer = py::module_::import("numpy").attr("integer");
    for (std::size_t i = 0; i < c.rows; ++i) {
        ObjectCell& cell = c.cells[i];
        if (cell.is_text()) continue;
        PyObject* v = object_at(c.objects, i);
        const bool integer = (PyLong_Check(v) && !PyBool_Check(v)) || py::isinstance(v, numpy_integer);
        if (!integer) bad_id(name, i, "a value of type '" + type_name(v) + "'");
        add_text(c, cell, py::str(v).cast<std::string>());
    }
    return ids;
}

// Everything publish_frame needs, read before the GIL is released.
struct Frame {
    std::size_t rows = 0;
    IdColumn ids;
    std::optional<FrameColumn> seqnums;
    std::optional<FrameColumn> expiries;
    std::vector<std::string> names;
    std::vector<FrameColumn> fields;
};

FrameColumn read_integer_column(const std::string& name, py::handle data, const Missing& missing,
                                const char* role) {
    FrameColumn c = read_column(name, data, missing);
    if (!c.is_integer())
        throw py::type_error(std::string(role) + " column " + quoted(name) +
                             " must hold integers, not dtype '" +
                             py::str(c.array.attr("dtype")).cast<std::string>() + "'");
    if (c.kind == Kind::U64)
        for (std::size_t i = 0; i < c.rows; ++i)
            if (!c.missing(i) && c.read<std::uint64_t>(i) > static_cast<std::uint64_t>(INT64_MAX))
                throw py::value_error(std::string(role) + " column " + quoted(name) + ", row " +
                                      std::to_string(i) + ": beyond the signed 64-bit range");
    return c;
}

Frame read_frame(py::handle frame, const std::string& id_column,
                 const std::optional<std::string>& seqnum_column,
                 const std::optional<std::string>& expires_column) {
    const Missing missing;
    bool is_frame = false;
    py::dict modules = py::module_::import("sys").attr("modules");
    if (modules.contains("pandas")) is_frame = py::isinstance(frame, modules["pandas"].attr("DataFrame"));
    const bool mapping =
        !is_frame && (PyDict_Check(frame.ptr()) ||
                      py::isinstance(frame, py::module_::import("collections.abc").attr("Mapping")));
    if (!is_frame && !mapping)
        throw py::type_error("publish_frame() expects a pandas DataFrame or a dict of arrays, not '" +
                             type_name(frame) + "'");

    // Columns by name, in column order.
    std::vector<std::pair<std::string, py::object>> columns;
    for (py::handle item : frame.attr("items")()) {
        auto pair = py::reinterpret_borrow<py::tuple>(item);
        if (!PyUnicode_Check(pair[0].ptr()))
            throw py::type_error("column names must be str, not '" + type_name(pair[0]) + "'");
        columns.emplace_back(from_str(pair[0]), pair[1]);
    }
    auto find = [&](const std::string& name, const char* role) -> py::object {
        for (const auto& [n, data] : columns)
            if (n == name) return data;
        throw py::key_error(std::string(role) + " column " + quoted(name) + " is not a column of the frame");
    };

    Frame f;
    f.ids = read_ids(id_column, find(id_column, "id"), missing);
    if (seqnum_column)
        f.seqnums = read_integer_column(*seqnum_column, find(*seqnum_column, "seqnum"), missing, "seqnum");
    if (expires_column)
        f.expiries =
            read_integer_column(*expires_column, find(*expires_column, "expires"), missing, "expires");
    for (const auto& [name, data] : columns) {
        if (name == id_column || name == seqnum_column || name == expires_column) continue;
        f.names.push_back(name);
        f.fields.push_back(read_column(name, data, missing));
    }

    f.rows = f.ids.column.rows;
    auto check_rows = [&](const FrameColumn& c) {
        if (c.rows != f.rows)
            throw py::value_error("column " + quoted(c.name) + " has " + std::to_string(c.rows) +
                                  " rows, column " + quoted(id_column) + " " + std::to_string(f.rows));
    };
    if (f.seqnums) check_rows(*f.seqnums);
    if (f.expiries) check_rows(*f.expiries);
    for (const auto& c : f.fields) check_rows(c);
    return f;
}

// What publish_object would refuse in a text (the relay text has no escaping): a line feed
// anywhere, a double quote in a quoted text. Null when the text passes.
const char* text_refusal(std::string_view text, bool quoted) {
    if (std::memchr(text.data(), '\n', text.size()) != nullptr) return "holds a line feed";
    if (quoted && std::memchr(text.data(), '"', text.size()) != nullptr) return "holds a double quote";
    return nullptr;
}

// The same for a field name, which is written bare and must not be one the relay reads as part
// of the message's frame.
const char* name_refusal(std::string_view name) {
    if (name.empty()) return "is empty";
    if (name == "T" || name == "I" || name == "E" ||
        (name.size() == 2 && (name[0] | 0x20) == 'i' && (name[1] | 0x20) == 'd'))
        return "is reserved (T, I and E are the type, the id and the expiry; id in any case is the id "
               "column)";
    if (const char* what = text_refusal(name, true)) return what;
    if (name.find('|') != std::string_view::npos) return "holds a |";
    if (name.find('=') != std::string_view::npos) return "holds an =";
    return nullptr;
}

// The same for a byte value, written bare.
const char* bytes_refusal(std::string_view bytes) {
    if (const char* what = text_refusal(bytes, false)) return what;
    if (bytes.find('|') != std::string_view::npos) return "holds a |";
    if (!bytes.empty() && bytes.front() == '"') return "begins with a double quote";
    return nullptr;
}

// The same for a value kept aside in an object column.
const char* value_refusal(const FieldValue& v) {
    if (const auto* b = std::get_if<std::vector<std::uint8_t>>(&v))
        return bytes_refusal(std::string_view(reinterpret_cast<const char*>(b->data()), b->size()));
    if (const auto* t = std::get_if<std::string>(&v)) return text_refusal(*t, true);
    if (const auto* c = std::get_if<char>(&v)) return bytes_refusal(std::string_view(c, 1));
    if (const auto* d = std::get_if<double>(&v); d && !std::isfinite(*d)) return "is not a finite number";
    if (const auto* f = std::get_if<float>(&v); f && !std::isfinite(*f)) return "is not a finite number";
    return nullptr;
}

[[noreturn]] void refuse_text(const std::string& where, const char* what) {
    throw py::value_error(where + " " + what + ", which the relay would not read back as written");
}

// The rows' texts that publish_object (or remove_object) would refuse, looked for before anything
// is sent, so that a frame goes out whole or not at all.
void check_type(const std::string& object_type) {
    if (const char* what = text_refusal(object_type, true))
        refuse_text("object type " + quoted(object_type), what);
}

template <typename F>
void check_finite(const FrameColumn& column, const std::function<std::string(std::size_t)>& where) {
    for (std::size_t i = 0; i < column.rows; ++i)
        if (!column.missing(i) && !std::isfinite(column.read<F>(i)))
            refuse_text(where(i), "is not a finite number");
}

void check_texts(const FrameColumn& column, bool is_id) {
    const std::string role = is_id ? "id column " : "column ";
    const std::function<std::string(std::size_t)> where = [&](std::size_t row) {
        return role + quoted(column.name) + ", row " + std::to_string(row);
    };
    if (column.kind == Kind::F32) return check_finite<float>(column, where);
    if (column.kind == Kind::F64) return check_finite<double>(column, where);
    if (column.kind == Kind::FixedBytes) {
        for (std::size_t i = 0; i < column.rows; ++i) {
            if (column.missing(i)) continue;
            std::string_view bytes(column.at(i), static_cast<std::size_t>(column.itemsize));
            if (is_id) {
                if (const char* what = text_refusal(bytes, true)) refuse_text(where(i), what);
            } else if (const char* what = bytes_refusal(bytes)) {
                refuse_text(where(i), what);
            }
        }
        return;
    }
    if (column.kind != Kind::Objects) return;
    // Most frames hold neither byte anywhere: one scan of all the column's texts settles it.
    const bool texts_clean = text_refusal(column.texts, true) == nullptr;
    for (std::size_t i = 0; i < column.rows; ++i) {
        const ObjectCell& cell = column.cells[i];
        if (cell.is_text()) {
            if (texts_clean) continue;
            if (const char* what = text_refusal(cell.text(column.texts), true)) refuse_text(where(i), what);
        } else if (!cell.is_empty()) {
            if (const char* what = value_refusal(column.others[cell.other()])) refuse_text(where(i), what);
        }
    }
}

void check_frame_texts(const std::string& object_type, const Frame& f) {
    check_type(object_type);
    check_texts(f.ids.column, true);
    for (const auto& name : f.names)
        if (const char* what = name_refusal(name)) refuse_text("column name " + quoted(name), what);
    for (const auto& c : f.fields) check_texts(c, false);
}

// Runs `f(client)` with the GIL released; the client reference is dropped before it is taken back.
template <typename F>
auto without_gil(py::handle tyx_client, F&& f) {
    std::shared_ptr<Client> c = client_of(tyx_client);
    py::gil_scoped_release nogil;
    std::shared_ptr<Client> held = std::move(c);
    return f(*held);
}

std::size_t publish_rows(Client& client, const std::string& cluster_name, const std::string& object_type,
                         const Frame& f) {
    // One values vector for every row: strings and bytes reuse their storage from row to row.
    std::vector<FieldValue> values(f.fields.size());
    char id_buffer[24];
    for (std::size_t i = 0; i < f.rows; ++i) {
        for (std::size_t j = 0; j < f.fields.size(); ++j) f.fields[j].set(values[j], i);
        const std::int64_t seqnum = f.seqnums ? f.seqnums->integer(i) : 0;
        const std::int64_t expires = f.expiries ? f.expiries->integer(i) : 0;
        client.publish_object(cluster_name, object_type, f.ids.at(i, id_buffer), f.names, values, seqnum,
                              expires);
    }
    return f.rows;
}

// CPU time of the calling thread, which a loaded machine does not inflate as it does the wall clock.
double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

const char* const kPublishFrameDoc =
    R"doc(Publishes one object of type `object_type` per row of `frame`, in row order, to the relay
shards of the cluster `cluster_name`; returns the number of rows published.

`frame` is a pandas DataFrame or a dict of column names (str) to numpy arrays, pandas Series or
sequences, all of one length. The column named `id_column` gives each object's identifier (str,
or integers written in decimal); the columns named by seqnum_column and expires_column (integers)
give its seqnum (written when positive) and expires_on_ms (written when not 0). Every other
column becomes a field of the same name, in column order, typed by its dtype as publish_object
types a numpy scalar of that dtype: bool -> 0/1, int8/16/32 and uint8/16/32 unsuffixed, int64
and uint64 with L, float16/float32 with F, float64 with D, fixed-width bytes as bytes. Object
columns (and numpy str columns) are converted cell by cell as publish_object converts a value;
None, a float NaN, pandas.NA and pandas.NaT there are the empty value, and so are the missing
values of pandas' nullable dtypes (Int64, boolean, Float64, ...) and the masked cells of a numpy
masked array. A NaN or an infinity in a float column is refused (below): the relay reads no
number back from it.

Every column is checked and read before anything is sent: a column of another dtype (complex,
datetime64, timedelta64, ...) or an object column holding a value publish_object refuses (a
list, a dict, a Timestamp, ...) raises TypeError naming the column; a missing column raises
KeyError, columns of different lengths ValueError, and so does a text publish_object would
refuse, naming its column and row: a line feed in the type, an identifier, a column name, a str
or bytes value; a double quote in the type, an identifier, a column name or a str value; a `|`
in a column name or a bytes value, an `=` in a column name, a bytes value beginning with a
double quote; a column named T, I, E or id (in any case) or with an empty name; a float that is
NaN or infinite. An unknown cluster
is ignored without a report, as publish_object ignores it.

Runs on the calling thread with the GIL released, and returns once every row is copied into
the relays' outboxes (a full buffer makes it wait as publish_object does). The rows reach each
shard in row order.)doc";

const char* const kRemoveFrameDoc =
    R"doc(Publishes the removal of one object of type `object_type` per identifier in `ids`, in order, to
the relay shards of the cluster `cluster_name`; returns the number of removals.

`ids` is a sequence, a numpy array, or a pandas Series or Index of str or integers (written in
decimal). The identifiers are checked and copied first (TypeError for another kind of value,
ValueError for a type or identifier holding a line feed or a double quote; nothing is sent then); the removals are then published on the calling thread with the GIL
released, and the call returns once every one is copied into the relays' outboxes.)doc";

}  // namespace

void bind_frame_publish(py::module_& m) {
    py::object cls = m.attr("TyxClient");
    cls.attr("publish_frame") = py::cpp_function(
        [](py::object self, const std::string& cluster_name, const std::string& object_type, py::object frame,
           const std::string& id_column, std::optional<std::string> seqnum_column,
           std::optional<std::string> expires_column) {
            const Frame f = read_frame(frame, id_column, seqnum_column, expires_column);
            check_frame_texts(object_type, f);
            return without_gil(
                self, [&](Client& client) { return publish_rows(client, cluster_name, object_type, f); });
        },
        py::name("publish_frame"), py::is_method(cls), py::arg("cluster_name"), py::arg("object_type"),
        py::arg("frame"), py::arg("id_column"), py::kw_only(), py::arg("seqnum_column") = py::none(),
        py::arg("expires_column") = py::none(), kPublishFrameDoc);

    cls.attr("remove_frame") = py::cpp_function(
        [](py::object self, const std::string& cluster_name, const std::string& object_type, py::object ids) {
            const IdColumn column = read_ids("ids", ids, Missing());
            check_type(object_type);
            check_texts(column.column, true);
            return without_gil(self, [&](Client& client) {
                char buffer[24];
                for (std::size_t i = 0; i < column.column.rows; ++i)
                    client.remove_object(cluster_name, column.at(i, buffer), object_type);
                return column.column.rows;
            });
        },
        py::name("remove_frame"), py::is_method(cls), py::arg("cluster_name"), py::arg("object_type"),
        py::arg("ids"), kRemoveFrameDoc);

    m.def(
        "_publish_objects_cpp",
        [](py::object client, const std::string& cluster_name, const std::string& object_type,
           py::handle frame, const std::string& id_column) {
            const Frame f = read_frame(frame, id_column, std::nullopt, std::nullopt);
            std::vector<std::string> ids(f.rows);
            std::vector<std::vector<FieldValue>> rows(f.rows, std::vector<FieldValue>(f.fields.size()));
            char buffer[24];
            for (std::size_t i = 0; i < f.rows; ++i) {
                ids[i] = f.ids.at(i, buffer);
                for (std::size_t j = 0; j < f.fields.size(); ++j) f.fields[j].set(rows[i][j], i);
            }
            const auto [wall, cpu] = without_gil(client, [&](Client& c) {
                const auto start = std::chrono::steady_clock::now();
                const double cpu_start = thread_cpu_seconds();
                for (std::size_t i = 0; i < f.rows; ++i)
                    c.publish_object(cluster_name, object_type, ids[i], f.names, rows[i]);
                return std::pair(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                    thread_cpu_seconds() - cpu_start);
            });
            return py::make_tuple(wall, cpu);
        },
        py::arg("client"), py::arg("cluster_name"), py::arg("object_type"), py::arg("frame"),
        py::arg("id_column"),
        "Benchmark baseline for publish_frame: builds every row of `frame` as C++ field values first,\n"
        "then publishes them with Client::publish_object from C++ (GIL released) and returns the\n"
        "seconds the publishing loop took, (wall clock, CPU time of the calling thread). Not part of\n"
        "the API.");
}

}  // namespace tyx::python
