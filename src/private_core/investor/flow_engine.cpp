// InvestorFlowEngine: forwards investor-flow requests to the private endpoints and
// turns the JSON answers into DataFrames, resampled per entity when a coarser
// interval than daily is asked for.
//
// Every internal step goes through `self`, so a subclass that overrides one step
// (say `_request`) is honoured by the others; where the steps are our own the hot
// loops run here instead of through Python calls.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "rt.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kEngineDoc =
    "Pure investor bridge.\n"
    "\n"
    "Forwards validated requests from the public client to the matching private\n"
    "investor endpoints and turns their JSON payloads into pandas DataFrames.\n";

constexpr const char* kUnexpectedPayload = "Unexpected payload format for investor endpoint.";
constexpr const char* kEntryNotObject = "Investor payload entries must be JSON objects.";

// Our own function objects, so that a step can tell whether `self` still uses them
// (and may then take the direct route) or a subclass replaced them. Held: the
// addresses must not come to name other objects. Running the module body again (a
// new module object for the same extension) replaces them and releases the old
// ones, so a discarded module is freed; the older module's steps then take the
// general route, which gives the same results.
PyObject* g_ensure_mapping = nullptr;
PyObject* g_strict_str = nullptr;

void hold(PyObject*& slot, py::handle value) { Py_XSETREF(slot, Py_NewRef(value.ptr())); }

// --- small helpers ------------------------------------------------------------------

// str(value) stripped, always an exact str: str() may give a str subclass, whose own
// strip() is not trusted to return text; its text is trimmed instead.
py::object stripped_text(py::handle value) {
    py::object plain = rt::steal_or_throw(PyUnicode_FromObject(rt::str(value).ptr()));
    return rt::call_method(plain, RT_METHOD("strip"));
}

// The text of str(obj), for comparing dtype names and the like.
std::string text_of(py::handle obj) {
    py::object text = rt::str(obj);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) rt::throw_pending();
    return std::string(data, static_cast<size_t>(size));
}

// dict(mapping): a new plain dict, as the dict constructor copies a mapping.
py::object copy_mapping(py::handle mapping) {
    py::object copy = rt::new_dict();
    if (PyDict_Merge(copy.ptr(), mapping.ptr(), 1) < 0) rt::throw_pending();
    return copy;
}

bool is_mapping(const rt::Call& c, py::handle obj) {
    return PyDict_Check(obj.ptr()) || rt::isinstance(obj, c.global(RT_STR("Mapping")));
}

[[noreturn]] void raise_decoding(const rt::Call& c, const char* message) {
    rt::raise(rt::call(c.global(RT_STR("DataDecodingError")), rt::new_str(message)));
}

py::object id_field(py::handle self, py::handle ns, py::handle fallback) {
    return rt::call_method(RT_ATTR(self, "_ID_FIELD"), RT_METHOD("get"), ns, fallback);
}

// True while `self.<name>` is still our own function, i.e. no subclass or
// instance attribute replaced that step.
bool uses_own(py::handle self, py::handle name, PyObject* ours) {
    if (ours == nullptr) return false;
    py::object bound = rt::getattr(self, name);
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == ours &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

// --- _strict_str ----------------------------------------------------------------------

// None and float NaN give "", anything else its stripped text. New reference.
py::object strict_str(py::handle value) {
    if (value.is_none()) return rt::new_str("");
    if (PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr())))
        return rt::new_str("");
    if (PyUnicode_CheckExact(value.ptr())) return rt::call_method(value, RT_METHOD("strip"));
    return stripped_text(value);
}

py::object strict_str_fn(rt::Call& c) { return strict_str(c[0]); }

// --- request building ---------------------------------------------------------------

py::object prepare_payload(rt::Call& c) {
    // Walked as a private copy: inserting a key runs its __hash__, which may change
    // the caller's dict under the walk. Copying runs no code of the caller's.
    py::object params = rt::steal_or_throw(PyDict_Copy(c[1].ptr()));
    py::object payload = rt::new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(params.ptr(), &pos, &key, &value))
        if (value != Py_None && PyDict_SetItem(payload.ptr(), key, value) < 0) rt::throw_pending();

    if (PyObject* ids = PyDict_GetItemWithError(payload.ptr(), RT_STR("ids").ptr())) {
        py::object ids_ref = py::reinterpret_borrow<py::object>(ids);
        py::object cleaned = rt::new_list();
        if (PyList_Check(ids) || PyTuple_Check(ids)) {
            py::object iterator = rt::steal_or_throw(PyObject_GetIter(ids));
            while (PyObject* raw = PyIter_Next(iterator.ptr())) {
                py::object item = stripped_text(py::reinterpret_steal<py::object>(raw));
                if (PyUnicode_GET_LENGTH(item.ptr()) > 0) rt::append(cleaned, item);
            }
            if (PyErr_Occurred()) rt::throw_pending();
        } else {
            rt::append(cleaned, stripped_text(ids_ref));
        }
        rt::set_item(payload, RT_STR("ids"), cleaned);
    } else if (PyErr_Occurred()) {
        rt::throw_pending();
    }

    struct Folded {
        py::handle key;
        bool upper;
    };
    for (const Folded& f : {Folded{RT_STR("group"), false}, Folded{RT_STR("interval"), true}}) {
        PyObject* raw = PyDict_GetItemWithError(payload.ptr(), f.key.ptr());
        if (raw == nullptr) {
            if (PyErr_Occurred()) rt::throw_pending();
            continue;
        }
        py::object s = stripped_text(py::reinterpret_borrow<py::object>(raw));
        s = f.upper ? rt::call_method(s, RT_METHOD("upper"))
                    : rt::call_method(s, RT_METHOD("lower"));
        // A blank value is sent as the caller gave it.
        if (PyUnicode_GET_LENGTH(s.ptr()) > 0) rt::set_item(payload, f.key, s);
    }

    for (py::handle key : {RT_STR("start"), RT_STR("end")}) {
        PyObject* raw = PyDict_GetItemWithError(payload.ptr(), key.ptr());
        if (raw == nullptr) {
            if (PyErr_Occurred()) rt::throw_pending();
            continue;
        }
        py::object value = py::reinterpret_borrow<py::object>(raw);
        // datetime first: every datetime is also a date. Its calendar date is sent
        // as written, with no time zone conversion.
        if (rt::isinstance(value, c.global(RT_STR("datetime")))) {
            py::object day = rt::call_method(value, RT_METHOD("date"));
            rt::set_item(payload, key, rt::call_method(day, RT_METHOD("isoformat")));
        } else if (rt::isinstance(value, c.global(RT_STR("date")))) {
            rt::set_item(payload, key, rt::call_method(value, RT_METHOD("isoformat")));
        } else {
            rt::set_item(payload, key, stripped_text(value));
        }
    }
    return payload;
}

py::object to_query_params(rt::Call& c) {
    // A private copy: str() of an id may change the caller's dict under the walk.
    py::object payload = rt::steal_or_throw(PyDict_Copy(c[1].ptr()));
    py::object query = rt::new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(payload.ptr(), &pos, &key, &value)) {
        py::object v = py::reinterpret_borrow<py::object>(value);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "ids") == 0 &&
            !PyUnicode_Check(value) && !PyBytes_Check(value) &&
            rt::isinstance(v, c.global(RT_STR("Iterable")))) {
            py::object parts = rt::new_list();
            py::object iterator = rt::steal_or_throw(PyObject_GetIter(value));
            while (PyObject* raw = PyIter_Next(iterator.ptr())) {
                py::object item = stripped_text(py::reinterpret_steal<py::object>(raw));
                if (PyUnicode_GET_LENGTH(item.ptr()) > 0) rt::append(parts, item);
            }
            if (PyErr_Occurred()) rt::throw_pending();
            v = rt::steal_or_throw(PyUnicode_Join(RT_STR(",").ptr(), parts.ptr()));
        }
        if (PyDict_SetItem(query.ptr(), key, v.ptr()) < 0) rt::throw_pending();
    }
    return query;
}

py::object request(rt::Call& c) {
    py::handle self = c[0], endpoint = c[1], payload = c[2];
    py::object response;
    try {
        static PyObject* names = rt::kwnames({RT_STR("json_body")});
        response = rt::call_method_kw(RT_ATTR(self, "session"), RT_STR("post"), {endpoint, payload},
                                      names);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        if (!handling.matches(c.global(RT_STR("HttpError")))) handling.reraise();
        py::object status = RT_ATTR(handling.error(), "status_code");
        bool fallback = false;
        for (long code : {404L, 405L})
            fallback = fallback || rt::compare(status, rt::new_int(code), Py_EQ);
        // Only "no such route" and "method not allowed" mean the endpoint may want a
        // GET; everything else is the caller's error, raised as the session raised it.
        if (!fallback) handling.reraise();
        py::object query = rt::call_method(self, RT_METHOD("_to_query_params"), payload);
        static PyObject* names = rt::kwnames({RT_STR("params")});
        response =
            rt::call_method_kw(RT_ATTR(self, "session"), RT_STR("get"), {endpoint, query}, names);
    }
    return rt::call_method(response, RT_METHOD("json"));
}

// --- payload normalisation ----------------------------------------------------------

// `field` is the identifier column, looked up (once, into `field`) only when a row
// is to be tagged, after the row was copied.
py::object ensure_mapping_impl(const rt::Call& c, py::handle self, py::handle entry, py::handle ns,
                               py::handle identifier, py::object& field) {
    if (!is_mapping(c, entry)) raise_decoding(c, kEntryNotObject);
    py::object row = copy_mapping(entry);
    if (!identifier.is_none()) {
        if (!field) field = id_field(self, ns, RT_STR("id"));
        int present = PyDict_Contains(row.ptr(), field.ptr());
        if (present < 0) rt::throw_pending();
        // The row's own value wins over the key it was filed under.
        if (!present && PyDict_SetItem(row.ptr(), field.ptr(), identifier.ptr()) < 0)
            rt::throw_pending();
    }
    return row;
}

py::object ensure_mapping(rt::Call& c) {
    py::handle self = c[0], entry = c[1], ns = c[2], identifier = c[3];
    py::object field;
    return ensure_mapping_impl(c, self, entry, ns, identifier, field);
}

// Appends the rows of `entries` (any iterable) to `out`, tagged with `identifier`
// unless it is None.
void collect_rows(const rt::Call& c, py::handle self, py::handle entries, py::handle ns,
                  py::handle identifier, py::handle out) {
    // The direct route skips the call's argument checks: a key that is not text
    // takes the call, which reports it.
    bool direct = uses_own(self, RT_STR("_ensure_mapping"), g_ensure_mapping) &&
                  (identifier.is_none() || PyUnicode_CheckExact(identifier.ptr()));
    py::object field;
    auto one = [&](py::handle entry) {
        if (direct) {
            rt::append(out, ensure_mapping_impl(c, self, entry, ns, identifier, field));
        } else if (identifier.is_none()) {
            rt::append(out, rt::call_method(self, RT_METHOD("_ensure_mapping"), entry, ns));
        } else {
            rt::append(out,
                       rt::call_method(self, RT_METHOD("_ensure_mapping"), entry, ns, identifier));
        }
    };
    if (PyList_CheckExact(entries.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i)
            one(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(entries.ptr(), i)));
        return;
    }
    py::object iterator = rt::steal_or_throw(PyObject_GetIter(entries.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) one(py::reinterpret_steal<py::object>(raw));
    if (PyErr_Occurred()) rt::throw_pending();
}

py::object normalise_records(rt::Call& c) {
    py::handle self = c[0], payload = c[1], ns = c[2];
    py::object rows = rt::new_list();
    if (payload.is_none()) return rows;
    if (PyList_Check(payload.ptr())) {
        collect_rows(c, self, payload, ns, py::none(), rows);
        return rows;
    }
    if (is_mapping(c, payload)) {
        for (py::handle key :
             {RT_STR("data"), RT_STR("results"), RT_STR("items"), RT_STR("records")}) {
            if (rt::contains(payload, key))
                return rt::call_method(self, RT_METHOD("_normalise_records"),
                                       rt::get_item(payload, key), ns);
        }
        py::object items = rt::call_method(payload, RT_METHOD("items"));
        py::object pairs = rt::steal_or_throw(PySequence_List(items.ptr()));
        bool keyed = true;
        for (py::handle pair : pairs)
            keyed = keyed && PyList_Check(rt::get_item(pair, rt::new_int(1)).ptr());
        if (keyed) {
            for (py::handle pair : pairs)
                collect_rows(c, self, rt::get_item(pair, rt::new_int(1)), ns,
                             rt::get_item(pair, rt::new_int(0)), rows);
            return rows;
        }
    }
    raise_decoding(c, kUnexpectedPayload);
}

// `import numpy` at the point of use, as a function body would write it: the module
// as sys.modules holds it now (pandas has imported it), never a copy kept here.
py::object numpy() {
    if (PyObject* module = PyImport_GetModule(RT_STR("numpy").ptr()))
        return py::reinterpret_steal<py::object>(module);
    if (PyErr_Occurred()) rt::throw_pending();
    return rt::steal_or_throw(PyImport_Import(RT_STR("numpy").ptr()));
}

// A one-dimensional, contiguous numpy array of T seen from C++; `codes` are the
// buffer format characters accepted for T.
template <class T>
class NumArray {
   public:
    NumArray(py::object array, bool writable, const char* codes) : array_(std::move(array)) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(array_.ptr(), &view_, flags) < 0) rt::throw_pending();
        const char* format = view_.format ? view_.format : "B";
        char code = format[std::strlen(format) - 1];
        if (view_.ndim != 1 || view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
            std::strchr(codes, code) == nullptr) {
            PyBuffer_Release(&view_);
            rt::internal_error("unexpected numpy array layout");
        }
    }
    ~NumArray() { PyBuffer_Release(&view_); }
    NumArray(const NumArray&) = delete;
    NumArray& operator=(const NumArray&) = delete;

    T* data() const { return static_cast<T*>(view_.buf); }
    Py_ssize_t size() const { return view_.shape[0]; }
    const py::object& object() const { return array_; }

   private:
    py::object array_;
    Py_buffer view_{};
};

class Int64Array : public NumArray<int64_t> {
   public:
    explicit Int64Array(py::object array, bool writable = false)
        : NumArray<int64_t>(std::move(array), writable, "lq") {}
};

py::object as_int64(py::handle array) {
    return rt::call_method(array, RT_METHOD("view"), RT_STR("i8"));
}

py::object new_array(Py_ssize_t n, const char* dtype) {
    return rt::call(RT_ATTR(numpy(), "empty"), rt::new_int(n), rt::new_str(dtype));
}

py::object new_int64_array(Py_ssize_t n) { return new_array(n, "int64"); }

// The kinds of values one column holds, as pandas' from_records types them.
struct ColumnKinds {
    bool text = false, integer = false, real = false, boolean = false, none = false,
         missing = false, other = false;
    Py_ssize_t count = 0;  // rows that have the key
};

// DataFrame.from_records(rows) for plain dict rows, built column by column here.
// pandas fills a key a row lacks with NaN, then converts each column of objects:
// only numbers give int64 or float64, only booleans give bool. Those columns are
// laid out directly; the others are handed over as lists of scalars, which pandas
// converts by the same rules. A value that is not a JSON scalar sends the whole
// frame to pandas' own path.
py::object frame_from_rows(const rt::Call& c, py::handle rows) {
    py::object pd = c.global(RT_STR("pd"));
    py::object from_records = RT_ATTR(RT_ATTR(pd, "DataFrame"), "from_records");
    const Py_ssize_t n = PyList_GET_SIZE(rows.ptr());

    // Column of each key, by address first: the JSON decoder shares key objects
    // between the rows of one answer. Keys must be exact strings (hashing and
    // comparing them runs no Python code, so the rows cannot change under us).
    py::object seen = rt::new_dict();
    py::object columns = rt::new_list();
    py::object held = rt::new_list();  // keeps the remembered addresses alive
    std::unordered_map<PyObject*, Py_ssize_t> by_pointer;
    std::vector<PyObject*> previous, current;  // the last row's keys, by position
    std::vector<Py_ssize_t> previous_columns;
    std::vector<ColumnKinds> kinds;
    std::vector<Py_ssize_t> slots;  // column of every (row, item), in row order
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows.ptr(), i);
        if (!PyDict_CheckExact(row)) return rt::call(from_records, rows);
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        size_t item = 0;
        size_t row_start = slots.size();
        while (PyDict_Next(row, &pos, &key, &value)) {
            Py_ssize_t column;
            if (item < previous.size() && previous[item] == key) {
                column = previous_columns[item];
            } else {
                auto hit = by_pointer.find(key);
                if (hit != by_pointer.end()) {
                    column = hit->second;
                } else {
                    if (!PyUnicode_CheckExact(key)) return rt::call(from_records, rows);
                    PyObject* known = PyDict_GetItemWithError(seen.ptr(), key);
                    if (known != nullptr) {
                        column = PyLong_AsSsize_t(known);
                    } else {
                        if (PyErr_Occurred()) rt::throw_pending();
                        column = PyList_GET_SIZE(columns.ptr());
                        rt::set_item(seen, key, rt::new_int(column));
                        rt::append(columns, key);
                        kinds.emplace_back();
                    }
                    rt::append(held, key);
                    by_pointer.emplace(key, column);
                }
            }
            slots.push_back(column);
            ColumnKinds& k = kinds[static_cast<size_t>(column)];
            ++k.count;
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
            if (type == reinterpret_cast<PyObject*>(&PyUnicode_Type)) {
                k.text = true;
            } else if (type == reinterpret_cast<PyObject*>(&PyFloat_Type)) {
                k.real = true;
            } else if (type == reinterpret_cast<PyObject*>(&PyLong_Type)) {
                int overflow = 0;
                PyLong_AsLongLongAndOverflow(value, &overflow);
                if (overflow) k.other = true;
                k.integer = true;
            } else if (type == reinterpret_cast<PyObject*>(&PyBool_Type)) {
                k.boolean = true;
            } else if (value == Py_None) {
                k.none = true;
            } else {
                k.other = true;
            }
            current.push_back(key);
            ++item;
        }
        previous.swap(current);
        current.clear();
        previous_columns.assign(slots.begin() + static_cast<std::ptrdiff_t>(row_start),
                                slots.end());
    }
    const Py_ssize_t width = PyList_GET_SIZE(columns.ptr());
    if (width == 0) return rt::call(from_records, rows);

    // Plain numbers and booleans are laid out here; every other column goes to
    // pandas as a list of its values, which it converts exactly as from_records
    // converts a column.
    enum class Build { kList, kFloat, kInt, kBool };
    std::vector<Build> builds;
    for (ColumnKinds& k : kinds) {
        k.missing = k.count < n;
        if (k.other) return rt::call(from_records, rows);
        bool numbers = (k.integer || k.real) && !k.text && !k.boolean;
        if (numbers && k.integer && !k.real && !k.none && !k.missing) {
            builds.push_back(Build::kInt);
        } else if (numbers) {
            builds.push_back(Build::kFloat);
        } else if (k.boolean && !k.text && !k.integer && !k.real && !k.none && !k.missing) {
            builds.push_back(Build::kBool);
        } else {
            builds.push_back(Build::kList);
        }
    }

    // Second pass: the rows are as they were (no Python code ran), so their items
    // come in the same order as the recorded slots.
    const double nan_value = std::nan("");
    py::object nan = rt::new_float(nan_value);
    std::vector<py::object> arrays(static_cast<size_t>(width));
    std::vector<void*> data(static_cast<size_t>(width), nullptr);
    std::vector<std::unique_ptr<NumArray<double>>> floats(static_cast<size_t>(width));
    std::vector<std::unique_ptr<NumArray<int64_t>>> ints(static_cast<size_t>(width));
    std::vector<std::unique_ptr<NumArray<bool>>> bools(static_cast<size_t>(width));
    for (Py_ssize_t j = 0; j < width; ++j) {
        size_t jj = static_cast<size_t>(j);
        switch (builds[jj]) {
            case Build::kList: {
                py::object values = rt::new_list(n);
                for (Py_ssize_t i = 0; i < n; ++i)
                    PyList_SET_ITEM(values.ptr(), i, Py_NewRef(nan.ptr()));
                arrays[jj] = values;
                break;
            }
            case Build::kFloat:
                arrays[jj] = new_array(n, "float64");
                floats[jj] = std::make_unique<NumArray<double>>(arrays[jj], true, "d");
                std::fill(floats[jj]->data(), floats[jj]->data() + n, nan_value);
                break;
            case Build::kInt:
                arrays[jj] = new_array(n, "int64");
                ints[jj] = std::make_unique<NumArray<int64_t>>(arrays[jj], true, "lq");
                break;
            case Build::kBool:
                arrays[jj] = new_array(n, "bool");
                bools[jj] = std::make_unique<NumArray<bool>>(arrays[jj], true, "?");
                break;
        }
    }
    size_t next = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows.ptr(), i);
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(row, &pos, &key, &value)) {
            if (next >= slots.size()) rt::internal_error("rows changed while read");
            size_t j = static_cast<size_t>(slots[next++]);
            switch (builds[j]) {
                case Build::kList: {
                    PyObject* list = arrays[j].ptr();
                    PyObject* old = PyList_GET_ITEM(list, i);
                    PyList_SET_ITEM(list, i, Py_NewRef(value));
                    Py_DECREF(old);
                    break;
                }
                case Build::kFloat:
                    floats[j]->data()[i] = value == Py_None ? nan_value
                                           : PyFloat_CheckExact(value)
                                               ? PyFloat_AS_DOUBLE(value)
                                               : static_cast<double>(PyLong_AsLongLong(value));
                    break;
                case Build::kInt:
                    ints[j]->data()[i] = PyLong_AsLongLong(value);
                    break;
                case Build::kBool:
                    bools[j]->data()[i] = value == Py_True;
                    break;
            }
        }
    }
    if (next != slots.size()) rt::internal_error("rows changed while read");
    floats.clear();
    ints.clear();
    bools.clear();

    py::object by_column = rt::new_dict();
    py::object from_iter = RT_ATTR(numpy(), "fromiter");
    static PyObject* dtype_count = rt::kwnames({RT_STR("dtype"), RT_STR("count")});
    py::object count = rt::new_int(n);
    for (Py_ssize_t j = 0; j < width; ++j) {
        size_t jj = static_cast<size_t>(j);
        py::object values = arrays[jj];
        // A column with text stays object whatever else it holds: hand it over as
        // such, sparing pandas a conversion attempt.
        if (builds[jj] == Build::kList && kinds[jj].text)
            values = rt::call_kw(from_iter, {values, RT_STR("object"), count}, dtype_count);
        rt::set_item(by_column, PyList_GET_ITEM(columns.ptr(), j), values);
    }
    return rt::call(RT_ATTR(pd, "DataFrame"), by_column);
}

// True when the frame, fresh from the rows, is already in the order a stable
// sort by `keys` would give (the service mostly answers sorted): sorting would
// then change nothing. Only key kinds whose order is plain are judged here:
// text compared as Python compares it, integers, and datetimes with NaT last.
bool already_sorted(const rt::Call& c, py::handle frame, py::handle keys) {
    py::object pd = c.global(RT_STR("pd"));
    py::object index = RT_ATTR(frame, "index");
    if (!Py_IS_TYPE(index.ptr(),
                    reinterpret_cast<PyTypeObject*>(RT_ATTR(pd, "RangeIndex").ptr())) ||
        !rt::compare(RT_ATTR(index, "start"), rt::new_int(0), Py_EQ) ||
        !rt::compare(RT_ATTR(index, "step"), rt::new_int(1), Py_EQ))
        return false;
    struct Key {
        py::object texts;                  // list of exact str, or
        std::unique_ptr<Int64Array> ints;  // int64 values
        bool nat_last = false;
    };
    std::vector<Key> columns;
    Py_ssize_t n = rt::length(frame);
    for (py::handle name : keys) {
        py::object column = rt::get_item(frame, name);
        std::string dtype = text_of(RT_ATTR(column, "dtype"));
        Key key;
        if (dtype == "object") {
            key.texts = rt::call_method(column, RT_METHOD("tolist"));
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!PyUnicode_CheckExact(PyList_GET_ITEM(key.texts.ptr(), i))) return false;
        } else if (dtype == "int64" || dtype == "datetime64[ns]") {
            py::object values = rt::call_method(column, RT_METHOD("to_numpy"));
            key.ints = std::make_unique<Int64Array>(as_int64(values));
            key.nat_last = dtype != "int64";
        } else {
            return false;
        }
        columns.push_back(std::move(key));
    }
    for (Py_ssize_t i = 1; i < n; ++i) {
        for (const Key& key : columns) {
            int order;
            if (key.ints) {
                int64_t a = key.ints->data()[i - 1], b = key.ints->data()[i];
                if (key.nat_last) {
                    constexpr int64_t nat = INT64_MIN;
                    if (a == nat || b == nat) {
                        order = (a == nat) - (b == nat);
                    } else {
                        order = (a > b) - (a < b);
                    }
                } else {
                    order = (a > b) - (a < b);
                }
            } else {
                order = PyUnicode_Compare(PyList_GET_ITEM(key.texts.ptr(), i - 1),
                                          PyList_GET_ITEM(key.texts.ptr(), i));
                if (order == -1 && PyErr_Occurred()) rt::throw_pending();
            }
            if (order > 0) return false;
            if (order < 0) break;
        }
    }
    return true;
}

py::object to_dataframe(rt::Call& c) {
    py::handle self = c[0], rows = c[1], ns = c[2];
    py::object pd = c.global(RT_STR("pd"));
    if (PyList_GET_SIZE(rows.ptr()) == 0) return rt::call(RT_ATTR(pd, "DataFrame"));
    py::object frame = frame_from_rows(c, rows);

    py::object columns = RT_ATTR(frame, "columns");
    py::object to_datetime = RT_ATTR(pd, "to_datetime");
    py::handle coerce = RT_STR("coerce");
    for (py::handle name :
         {RT_STR("date"), RT_STR("Date"), RT_STR("trade_date"), RT_STR("timestamp")}) {
        if (!rt::contains(columns, name)) continue;
        py::object column = rt::get_item(frame, name);
        bool epoch = false;
        if (PyUnicode_CompareWithASCIIString(name.ptr(), "timestamp") == 0) {
            py::object types = RT_ATTR(RT_ATTR(pd, "api"), "types");
            epoch = rt::truthy(rt::call_method(types, RT_METHOD("is_numeric_dtype"), column));
        }
        py::object converted;
        if (epoch) {
            static PyObject* names = rt::kwnames({RT_STR("unit"), RT_STR("errors")});
            converted = rt::call_kw(to_datetime, {column, RT_STR("s"), coerce}, names);
        } else {
            static PyObject* names = rt::kwnames({RT_STR("errors")});
            converted = rt::call_kw(to_datetime, {column, coerce}, names);
        }
        rt::set_item(frame, name, converted);
    }

    py::object keys = rt::new_list();
    py::object field = id_field(self, ns, py::none());
    if (rt::truthy(field) && rt::contains(columns, field)) rt::append(keys, field);
    if (rt::contains(columns, RT_STR("date"))) {
        rt::append(keys, RT_STR("date"));
    } else if (rt::contains(columns, RT_STR("Date"))) {
        rt::append(keys, RT_STR("Date"));
    }
    if (PyList_GET_SIZE(keys.ptr()) > 0 && !already_sorted(c, frame, keys)) {
        // Stable: rows of one entity and day keep the service's order.
        static PyObject* names = rt::kwnames({RT_STR("kind")});
        frame = rt::call_method_kw(frame, RT_STR("sort_values"), {keys, RT_STR("stable")}, names);
        static PyObject* drop = rt::kwnames({RT_STR("drop")});
        frame = rt::call_method_kw(frame, RT_STR("reset_index"), {Py_True}, drop);
    }
    return frame;
}

// --- resampling ---------------------------------------------------------------------

constexpr int64_t kDay = 86400LL * 1000000000LL;

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}
int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

// Proleptic Gregorian conversions between days since 1970-01-01 and (year, month).
int64_t month_index(int64_t days) {
    int64_t z = days + 719468;
    int64_t era = floor_div(z, 146097);
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return year * 12 + (month - 1);
}
int64_t first_day_of_month(int64_t index) {
    int64_t year = floor_div(index, 12);
    int64_t month = index - year * 12 + 1;
    year -= month <= 2 ? 1 : 0;
    int64_t era = floor_div(year, 400);
    int64_t yoe = year - era * 400;
    int64_t mp = month > 2 ? month - 3 : month + 9;
    int64_t doy = (153 * mp + 2) / 5;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The bins pandas gives one entity's series for the rules computed here:
// - fixed spans ("3D", "12h"): left-closed bins of `step` ns laid from midnight of
//   the entity's first day, labelled by their start;
// - weeks ending on a weekday ("1W", "2W", "W-WED") and month ends ("1M"):
//   right-closed bins of `step` anchors counted from the entity's first anchor
//   (the first week end / month end on or after its first day), labelled by their
//   end, with whole days belonging to their anchor.
struct BinRule {
    enum Kind { kSpan, kWeek, kMonth } kind;
    int64_t step;
    int64_t weekday_day0 = 0;  // a day number (since 1970-01-01) on the week's anchor

    int64_t anchor(int64_t t) const {
        int64_t day = floor_div(t, kDay);
        return kind == kWeek ? ceil_div(day - weekday_day0, 7) : month_index(day);
    }
    // The bin of `t` for an entity whose first timestamp is `first`.
    int64_t bin(int64_t t, int64_t first) const {
        if (kind == kSpan) {
            int64_t origin = floor_div(first, kDay) * kDay;
            return origin + floor_div(t - origin, step) * step;
        }
        int64_t a0 = anchor(first);
        return a0 + step * ceil_div(anchor(t) - a0, step);
    }
    int64_t label_ns(int64_t bin_value) const {
        switch (kind) {
            case kSpan:
                return bin_value;
            case kWeek:
                return (weekday_day0 + 7 * bin_value) * kDay;
            case kMonth:
                return (first_day_of_month(bin_value + 1) - 1) * kDay;
        }
        return 0;
    }
};

// What the resampler works on once the input has been cleaned.
struct Work {
    py::object frame;  // cleaned copy
    py::object date_col;
    py::object id_col;     // None without an identifier column
    py::object numeric;    // list
    py::object preserved;  // list
};

py::object resample_per_entity(const rt::Call& c, py::handle original, const Work& w,
                               py::handle interval);

// The rule as one of the kinds above, or false when pandas' own resampler must lay
// out the bins.
bool bin_rule_for(const rt::Call& c, py::handle interval, BinRule& rule) {
    py::object pd = c.global(RT_STR("pd"));
    py::object to_offset = RT_ATTR(RT_ATTR(RT_ATTR(pd, "tseries"), "frequencies"), "to_offset");
    py::object offset = rt::call(to_offset, interval);
    py::object n_obj = RT_ATTR(offset, "n");
    long long n = PyLong_AsLongLong(n_obj.ptr());
    if (n == -1 && PyErr_Occurred()) rt::throw_pending();
    if (n < 1 || rt::truthy(RT_ATTR(offset, "normalize"))) return false;
    std::string kind = text_of(RT_ATTR(py::type::handle_of(offset), "__name__"));
    py::object offsets = RT_ATTR(pd, "offsets");
    if (rt::isinstance(offset, RT_ATTR(offsets, "Tick"))) {
        py::object nanos = RT_ATTR(offset, "nanos");
        long long step = PyLong_AsLongLong(nanos.ptr());
        if (step == -1 && PyErr_Occurred()) rt::throw_pending();
        if (step <= 0) return false;
        rule = BinRule{BinRule::kSpan, step};
        return true;
    }
    if (kind == "Week") {
        py::object weekday = RT_ATTR(offset, "weekday");
        if (weekday.is_none()) return false;
        long w = PyLong_AsLong(weekday.ptr());
        if (w == -1 && PyErr_Occurred()) rt::throw_pending();
        // 1970-01-01 was a Thursday (weekday 3).
        rule = BinRule{BinRule::kWeek, n, ((w - 3) % 7 + 7) % 7};
        return true;
    }
    if (kind == "MonthEnd") {
        rule = BinRule{BinRule::kMonth, n};
        return true;
    }
    return false;
}

enum class Fill { kTake, kObject, kFloat, kInt, kBool, kUnsupported };

// How pandas types a column set to one entity's first value, joined over all
// entities (the per-entity frames are concatenated): only the cases whose outcome
// is certain are handled here.
Fill fill_kind(py::handle firsts_object_array) {
    bool any_object = false, any_none = false, any_float = false, any_int = false, any_bool = false;
    py::object values = rt::call_method(firsts_object_array, RT_METHOD("tolist"));
    for (py::handle v : values) {
        PyObject* p = v.ptr();
        if (p == Py_None) {
            any_none = true;
        } else if (PyUnicode_Check(p)) {
            any_object = true;
        } else if (PyBool_Check(p)) {
            any_bool = true;
        } else if (PyFloat_CheckExact(p)) {
            any_float = true;
        } else if (PyLong_CheckExact(p)) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(p, &overflow);
            if (overflow) return Fill::kUnsupported;
            any_int = true;
        } else {
            return Fill::kUnsupported;
        }
    }
    // An entity whose first value is None gives an all-missing object part, which
    // concat may leave out of the joined dtype (pandas versions differ).
    if (any_none && (any_bool || any_float || any_int)) return Fill::kUnsupported;
    if (any_object || any_none) return Fill::kObject;
    // pandas joins booleans with numbers in ways that vary: leave those to it.
    if (any_bool) return (any_float || any_int) ? Fill::kUnsupported : Fill::kBool;
    if (any_float) return Fill::kFloat;
    return any_int ? Fill::kInt : Fill::kObject;
}

// One grouped pass for every entity: bins computed here for all rows, one groupby
// over (entity, bin) for the sums, and the empty bins inside each entity's range
// added by one reindex. Returns None when the frame needs pandas' own resampler.
py::object resample_grouped(const rt::Call& c, const Work& w, py::handle interval) {
    py::object pd = c.global(RT_STR("pd"));
    py::object np = numpy();
    py::object frame = w.frame;
    py::object columns = RT_ATTR(frame, "columns");
    if (!rt::truthy(RT_ATTR(columns, "is_unique"))) return py::none();
    py::object dates = rt::get_item(frame, w.date_col);
    if (text_of(RT_ATTR(dates, "dtype")) != "datetime64[ns]") return py::none();

    // Preserved columns: only kinds whose joined dtype is certain.
    std::vector<Fill> fills;
    std::vector<py::object> preserved_values;
    for (py::handle col : w.preserved) {
        py::object series = rt::get_item(frame, col);
        std::string dt = text_of(RT_ATTR(series, "dtype"));
        if (dt == "bool" || dt == "datetime64[ns]") {
            fills.push_back(Fill::kTake);
        } else if (dt == "object") {
            fills.push_back(Fill::kObject);  // refined once the first rows are known
        } else {
            return py::none();
        }
        preserved_values.push_back(rt::call_method(series, RT_METHOD("to_numpy")));
    }

    BinRule rule{};
    if (!bin_rule_for(c, interval, rule)) return py::none();

    Int64Array t(as_int64(rt::call_method(dates, RT_METHOD("to_numpy"))));
    const Py_ssize_t n = t.size();
    py::object uniques;
    py::object codes_obj;
    if (!w.id_col.is_none()) {
        static PyObject* names = rt::kwnames({RT_STR("sort")});
        py::object factorized =
            rt::call_kw(RT_ATTR(pd, "factorize"), {rt::get_item(frame, w.id_col), Py_True}, names);
        codes_obj = rt::get_item(factorized, rt::new_int(0));
        uniques = rt::call_method(rt::get_item(factorized, rt::new_int(1)), RT_METHOD("to_numpy"));
    } else {
        codes_obj = rt::call(RT_ATTR(np, "zeros"), rt::new_int(n), RT_STR("int64"));
    }
    Int64Array codes(rt::call_method(codes_obj, RT_METHOD("astype"), RT_STR("int64")));
    const Py_ssize_t entities = w.id_col.is_none() ? 1 : rt::length(uniques);

    // Rows by (entity, time), stably: the order pandas sums them in per entity.
    std::vector<int64_t> start(static_cast<size_t>(entities) + 1, 0);
    std::vector<int64_t> first_pos(static_cast<size_t>(entities), -1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int64_t e = codes.data()[i];
        // A missing identifier (a categorical keeps NaN through the cleaning): the
        // per-entity grouping leaves such rows out.
        if (e < 0) return py::none();
        if (e >= entities) rt::internal_error("entity code out of range");
        ++start[static_cast<size_t>(e) + 1];
        if (first_pos[static_cast<size_t>(e)] < 0) first_pos[static_cast<size_t>(e)] = i;
    }
    for (Py_ssize_t e = 0; e < entities; ++e) start[e + 1] += start[e];
    py::object order_obj = new_int64_array(n);
    Int64Array order(order_obj, true);
    {
        std::vector<int64_t> fill(start.begin(), start.end() - 1);
        for (Py_ssize_t i = 0; i < n; ++i) order.data()[fill[codes.data()[i]]++] = i;
    }
    const int64_t* tv = t.data();
    for (Py_ssize_t e = 0; e < entities; ++e) {
        int64_t* begin = order.data() + start[e];
        int64_t* end = order.data() + start[e + 1];
        std::stable_sort(begin, end, [tv](int64_t a, int64_t b) { return tv[a] < tv[b]; });
    }

    // Each entity's bins run from its first to its last row's bin.
    std::vector<int64_t> first_bin(static_cast<size_t>(entities)),
        offset(static_cast<size_t>(entities) + 1, 0);
    constexpr int64_t kMaxBins = 50'000'000;
    for (Py_ssize_t e = 0; e < entities; ++e) {
        if (start[e] == start[e + 1]) return py::none();
        int64_t first = tv[order.data()[start[e]]];
        int64_t last = tv[order.data()[start[e + 1] - 1]];
        first_bin[e] = rule.bin(first, first);
        int64_t count = (rule.bin(last, first) - first_bin[e]) / rule.step + 1;
        if (count <= 0 || offset[e] + count > kMaxBins) return py::none();
        offset[e + 1] = offset[e] + count;
    }
    const int64_t total = offset[entities];

    py::object slot_obj = new_int64_array(n);  // result row of each sorted row
    Int64Array slot(slot_obj, true);
    for (Py_ssize_t e = 0; e < entities; ++e) {
        int64_t first = tv[order.data()[start[e]]];
        for (int64_t k = start[e]; k < start[e + 1]; ++k)
            slot.data()[k] =
                offset[e] + (rule.bin(tv[order.data()[k]], first) - first_bin[e]) / rule.step;
    }
    py::object labels_obj = new_int64_array(total);
    py::object owner_obj = new_int64_array(total);  // entity of each result row
    {
        Int64Array labels(labels_obj, true), owner(owner_obj, true);
        for (Py_ssize_t e = 0; e < entities; ++e)
            for (int64_t k = offset[e]; k < offset[e + 1]; ++k) {
                labels.data()[k] = rule.label_ns(first_bin[e] + (k - offset[e]) * rule.step);
                owner.data()[k] = e;
            }
    }

    py::object firsts_obj = new_int64_array(entities);
    {
        Int64Array firsts(firsts_obj, true);
        for (Py_ssize_t e = 0; e < entities; ++e) firsts.data()[e] = first_pos[e];
    }
    for (size_t j = 0; j < fills.size(); ++j) {
        if (fills[j] != Fill::kObject) continue;
        Fill kind = fill_kind(rt::call_method(preserved_values[j], RT_METHOD("take"), firsts_obj));
        if (kind == Fill::kUnsupported) return py::none();
        fills[j] = kind;
    }

    // Sums: one groupby over the result slots, then the empty bins as missing values.
    py::object numeric_part = rt::get_item(frame, w.numeric);
    numeric_part = rt::call_method(numeric_part, RT_METHOD("take"), order_obj);
    static PyObject* group_names = rt::kwnames({RT_STR("sort")});
    py::object grouped =
        rt::call_method_kw(numeric_part, RT_STR("groupby"), {slot_obj, Py_True}, group_names);
    static PyObject* sum_names = rt::kwnames({RT_STR("min_count")});
    py::object sums = rt::call_method_kw(grouped, RT_STR("sum"), {rt::new_int(1)}, sum_names);
    py::object range = rt::call(RT_ATTR(pd, "RangeIndex"), rt::new_int(total));
    if (rt::length(sums) != total) sums = rt::call_method(sums, RT_METHOD("reindex"), range);
    static PyObject* drop = rt::kwnames({RT_STR("drop")});
    sums = rt::call_method_kw(sums, RT_STR("reset_index"), {Py_True}, drop);

    py::object result = rt::new_dict();
    rt::set_item(result, w.date_col,
                 rt::call(RT_ATTR(pd, "Series"),
                          rt::call_method(labels_obj, RT_METHOD("view"), RT_STR("M8[ns]"))));
    for (py::handle col : w.numeric) rt::set_item(result, col, rt::get_item(sums, col));
    if (!w.id_col.is_none())
        rt::set_item(result, w.id_col, rt::call_method(uniques, RT_METHOD("take"), owner_obj));
    size_t j = 0;
    for (py::handle col : w.preserved) {
        py::object firsts = rt::call_method(preserved_values[j], RT_METHOD("take"), firsts_obj);
        switch (fills[j]) {
            case Fill::kFloat:
                firsts = rt::call_method(firsts, RT_METHOD("astype"), RT_STR("float64"));
                break;
            case Fill::kInt:
                firsts = rt::call_method(firsts, RT_METHOD("astype"), RT_STR("int64"));
                break;
            case Fill::kBool:
                firsts = rt::call_method(firsts, RT_METHOD("astype"), RT_STR("bool"));
                break;
            default:
                break;
        }
        rt::set_item(result, col, rt::call_method(firsts, RT_METHOD("take"), owner_obj));
        ++j;
    }
    return rt::call(RT_ATTR(pd, "DataFrame"), result);
}

// The straightforward algorithm, one pandas resample per entity: for the rules and
// column kinds whose combined layout the grouped pass does not reproduce.
py::object resample_per_entity(const rt::Call& c, py::handle original, const Work& w,
                               py::handle interval) {
    py::object pd = c.global(RT_STR("pd"));
    py::object results = rt::new_list();
    auto one = [&](py::handle key, py::handle rows) {
        py::object indexed = rt::call_method(rows, RT_METHOD("set_index"), w.date_col);
        py::object numeric_part = rt::get_item(indexed, w.numeric);
        py::object resampler = rt::call_method(numeric_part, RT_METHOD("resample"), interval);
        static PyObject* sum_names = rt::kwnames({RT_STR("min_count")});
        py::object res = rt::call_method_kw(resampler, RT_STR("sum"), {rt::new_int(1)}, sum_names);
        if (rt::truthy(RT_ATTR(res, "empty"))) return;
        rt::setattr(RT_ATTR(res, "index"), RT_STR("name"), w.date_col);
        res = rt::call_method(res, RT_METHOD("reset_index"));
        if (!w.id_col.is_none() && !key.is_none())
            rt::set_item(res, w.id_col, rt::call(c.global(RT_STR("_strict_str")), key));
        for (py::handle col : RT_ATTR(rows, "columns")) {
            if (rt::contains(w.numeric, col) || rt::compare(col, w.date_col, Py_EQ) ||
                rt::compare(col, w.id_col, Py_EQ))
                continue;
            py::object first =
                rt::get_item(RT_ATTR(rt::get_item(rows, col), "iloc"), rt::new_int(0));
            rt::set_item(res, col, first);
        }
        rt::append(results, res);
    };
    if (w.id_col.is_none()) {
        one(py::none(), w.frame);
    } else {
        static PyObject* names = rt::kwnames({RT_STR("group_keys")});
        py::object groups =
            rt::call_method_kw(w.frame, RT_STR("groupby"), {w.id_col, Py_False}, names);
        py::object iterator = rt::steal_or_throw(PyObject_GetIter(groups.ptr()));
        while (PyObject* raw = PyIter_Next(iterator.ptr())) {
            py::object pair = py::reinterpret_steal<py::object>(raw);
            one(rt::get_item(pair, rt::new_int(0)), rt::get_item(pair, rt::new_int(1)));
        }
        if (PyErr_Occurred()) rt::throw_pending();
    }
    if (PyList_GET_SIZE(results.ptr()) == 0) return py::reinterpret_borrow<py::object>(original);

    static PyObject* concat_names = rt::kwnames({RT_STR("ignore_index")});
    py::object combined = rt::call_kw(RT_ATTR(pd, "concat"), {results, Py_True}, concat_names);
    py::object combined_columns = RT_ATTR(combined, "columns");
    py::object keys = rt::new_list();
    if (!w.id_col.is_none() && rt::contains(combined_columns, w.id_col)) rt::append(keys, w.id_col);
    if (rt::contains(combined_columns, w.date_col)) rt::append(keys, w.date_col);
    if (PyList_GET_SIZE(keys.ptr()) == 0) return combined;
    static PyObject* sort_names = rt::kwnames({RT_STR("kind")});
    combined =
        rt::call_method_kw(combined, RT_STR("sort_values"), {keys, RT_STR("stable")}, sort_names);
    static PyObject* drop = rt::kwnames({RT_STR("drop")});
    return rt::call_method_kw(combined, RT_STR("reset_index"), {Py_True}, drop);
}

py::object dropna_on(py::handle frame, py::handle column) {
    py::object subset = rt::new_list();
    rt::append(subset, column);
    static PyObject* names = rt::kwnames({RT_STR("subset")});
    return rt::call_method_kw(frame, RT_STR("dropna"), {subset}, names);
}

// work[id] = work[id].apply(_strict_str); rows whose identifier is now "" dropped.
py::object clean_identifiers(const rt::Call& c, py::object work, py::handle id_col) {
    py::object column = rt::get_item(work, id_col);
    py::object cleaner = c.global(RT_STR("_strict_str"));
    std::string dtype = text_of(RT_ATTR(column, "dtype"));
    bool direct = cleaner.ptr() == g_strict_str &&
                  (dtype == "object" || dtype == "int64" || dtype == "float64");
    bool any_blank = true;
    if (direct) {
        // The same values apply() would hand the function, converted here.
        py::object values = rt::call_method(column, RT_METHOD("tolist"));
        Py_ssize_t n = PyList_GET_SIZE(values.ptr());
        py::object cleaned = rt::new_list(n);
        any_blank = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object s = strict_str(PyList_GET_ITEM(values.ptr(), i));
            any_blank = any_blank || PyUnicode_GET_LENGTH(s.ptr()) == 0;
            PyList_SET_ITEM(cleaned.ptr(), i, s.release().ptr());
        }
        py::object index = RT_ATTR(work, "index");
        static PyObject* names = rt::kwnames({RT_STR("index"), RT_STR("dtype")});
        column = rt::call_kw(RT_ATTR(c.global(RT_STR("pd")), "Series"),
                             {cleaned, index, RT_STR("object")}, names);
    } else {
        column = rt::call_method(column, RT_METHOD("apply"), cleaner);
    }
    rt::set_item(work, id_col, column);
    if (!any_blank) return work;
    py::object mask = rt::steal_or_throw(
        PyObject_RichCompare(rt::get_item(work, id_col).ptr(), RT_STR("").ptr(), Py_NE));
    return rt::get_item(work, mask);
}

py::object resample_frame(rt::Call& c) {
    py::handle self = c[0], frame = c[1], ns = c[2], interval = c[3];
    py::object original = py::reinterpret_borrow<py::object>(frame);
    if (rt::truthy(RT_ATTR(frame, "empty"))) return original;
    py::object columns = RT_ATTR(frame, "columns");
    py::object date_col;
    if (rt::contains(columns, RT_STR("date"))) {
        date_col = py::reinterpret_borrow<py::object>(RT_STR("date"));
    } else if (rt::contains(columns, RT_STR("Date"))) {
        date_col = py::reinterpret_borrow<py::object>(RT_STR("Date"));
    } else {
        return original;
    }

    py::object work = dropna_on(frame, date_col);
    if (rt::truthy(RT_ATTR(work, "empty"))) return original;
    work = rt::call_method(work, RT_METHOD("copy"));
    static PyObject* errors = rt::kwnames({RT_STR("errors")});
    rt::set_item(work, date_col,
                 rt::call_kw(RT_ATTR(c.global(RT_STR("pd")), "to_datetime"),
                             {rt::get_item(work, date_col), RT_STR("coerce")}, errors));
    work = dropna_on(work, date_col);
    if (rt::truthy(RT_ATTR(work, "empty"))) return original;

    py::object work_columns = RT_ATTR(work, "columns");
    py::object id_col = py::none();
    py::object own = id_field(self, ns, py::none());
    for (py::handle candidate :
         {py::handle(own), RT_STR("symbol"), RT_STR("icb"), RT_STR("code"), RT_STR("ticker")}) {
        if (rt::truthy(candidate) && rt::contains(work_columns, candidate)) {
            id_col = py::reinterpret_borrow<py::object>(candidate);
            break;
        }
    }
    if (!id_col.is_none()) work = clean_identifiers(c, work, id_col);

    static PyObject* include = rt::kwnames({RT_STR("include")});
    py::object selected =
        rt::call_method_kw(work, RT_STR("select_dtypes"), {RT_STR("number")}, include);
    py::object selected_columns =
        rt::call_method(RT_ATTR(selected, "columns"), RT_METHOD("tolist"));
    Work w{work, date_col, id_col, rt::new_list(), rt::new_list()};
    for (py::handle col : selected_columns)
        if (id_col.is_none() || !rt::compare(col, id_col, Py_EQ)) rt::append(w.numeric, col);
    if (PyList_GET_SIZE(w.numeric.ptr()) == 0) return original;
    if (rt::length(work) == 0) return original;  // identifier cleaning left no rows
    for (py::handle col : RT_ATTR(work, "columns"))
        if (!rt::contains(w.numeric, col) && !rt::compare(col, date_col, Py_EQ) &&
            !rt::compare(col, id_col, Py_EQ))
            rt::append(w.preserved, col);

    py::object result = resample_grouped(c, w, interval);
    if (!result.is_none()) return result;
    return resample_per_entity(c, original, w, interval);
}

// --- the driver -----------------------------------------------------------------------

py::object fetch_df(rt::Call& c) {
    py::handle self = c[0], params = c[3];
    py::object ns = rt::call_method(c[1], RT_METHOD("lower"));
    py::object table = RT_ATTR(self, "_NAMESPACE_OPS");
    if (!rt::contains(table, ns))
        rt::raise_format(PyExc_ValueError, "Unsupported investor namespace: %R", ns.ptr());
    py::object op = rt::call_method(c[2], RT_METHOD("lower"));
    py::object allowed = rt::get_item(table, ns);
    if (!rt::contains(allowed, op)) {
        py::object sorted_ops = rt::steal_or_throw(PySequence_List(allowed.ptr()));
        if (PyList_Sort(sorted_ops.ptr()) < 0) rt::throw_pending();
        rt::raise_format(PyExc_ValueError,
                         "Operation %R is not available for namespace %R. Allowed operations: %S.",
                         op.ptr(), ns.ptr(), sorted_ops.ptr());
    }
    py::object endpoint = rt::format("/market-data/investor/%U/%U", ns.ptr(), op.ptr());
    py::object payload = rt::call_method(self, RT_METHOD("_prepare_payload"), params);

    py::object ids = rt::call_method(payload, RT_METHOD("get"), RT_STR("ids"));
    py::object rows;
    if (PyList_Check(ids.ptr()) && PyList_GET_SIZE(ids.ptr()) > 1) {
        py::object collected = rt::new_list();
        py::object label = rt::format("%U:%U", ns.ptr(), op.ptr());
        rt::call(c.global(RT_STR("start_progress")), rt::new_int(PyList_GET_SIZE(ids.ptr())),
                 label);
        rt::try_finally(
            [&]() -> py::object {
                // Rows of a bare or enveloped answer do not say which id they are
                // for: tag them, or resampling would add the ids together.
                py::object field = id_field(self, ns, RT_STR("id"));
                py::object iterator = rt::steal_or_throw(PyObject_GetIter(ids.ptr()));
                long done = 0;
                while (PyObject* raw = PyIter_Next(iterator.ptr())) {
                    py::object ident = py::reinterpret_steal<py::object>(raw);
                    py::object one = copy_mapping(payload);
                    py::object only = rt::new_list();
                    rt::append(only, ident);
                    rt::set_item(one, RT_STR("ids"), only);
                    py::object response =
                        rt::call_method(self, RT_METHOD("_request"), endpoint, one);
                    py::object records =
                        rt::call_method(self, RT_METHOD("_normalise_records"), response, ns);
                    py::object record_iter = rt::steal_or_throw(PyObject_GetIter(records.ptr()));
                    while (PyObject* rec_raw = PyIter_Next(record_iter.ptr())) {
                        py::object record = py::reinterpret_steal<py::object>(rec_raw);
                        if (!rt::contains(record, field)) rt::set_item(record, field, ident);
                        rt::append(collected, record);
                    }
                    if (PyErr_Occurred()) rt::throw_pending();
                    rt::call(c.global(RT_STR("update_progress")), rt::new_int(++done));
                }
                if (PyErr_Occurred()) rt::throw_pending();
                return py::none();
            },
            [&] { rt::call(c.global(RT_STR("finish_progress"))); });
        rows = collected;
    } else {
        py::object response = rt::call_method(self, RT_METHOD("_request"), endpoint, payload);
        rows = rt::call_method(self, RT_METHOD("_normalise_records"), response, ns);
    }

    py::object frame = rt::call_method(self, RT_METHOD("_to_dataframe"), rows, ns);
    py::object interval =
        rt::call_method(payload, RT_METHOD("get"), RT_STR("interval"), RT_STR("1D"));
    if (PyUnicode_Check(interval.ptr())) {
        py::object upper = rt::call_method(interval, RT_METHOD("upper"));
        if (!rt::compare(upper, RT_STR("1D"), Py_EQ))
            frame = rt::call_method(self, RT_METHOD("_resample_frame"), frame, ns, upper);
    }
    return frame;
}

py::object engine_init(rt::Call& c) {
    rt::setattr(c[0], RT_STR("session"), c[1]);
    return py::none();
}

void body(rt::Module& m) {
    m.from_import("datetime", {"date", "datetime"});
    m.from_import("typing", {"Any", "Iterable", "Mapping"});
    m.import("pandas", "pd");
    m.from_import("tavrix.exceptions", {"DataDecodingError", "HttpError"});
    m.from_import("transport_base", {"HttpSession"}, 2);
    m.from_import("progress", {"finish_progress", "start_progress", "update_progress"}, 2);

    m.bind("Namespace", py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    m.bind("Operation", py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    py::object strict = m.function("_strict_str", strict_str_fn, "(value: Any) -> str");
    m.bind("_strict_str", strict);
    hold(g_strict_str, strict);

    auto str = &PyUnicode_Type;
    auto dict = &PyDict_Type;
    py::object ops = rt::new_dict();
    auto ops_set = [](std::initializer_list<const char*> names) {
        py::object set = rt::steal_or_throw(PySet_New(nullptr));
        for (const char* n : names)
            if (PySet_Add(set.ptr(), rt::new_str(n).ptr()) < 0) rt::throw_pending();
        return set;
    };
    rt::set_item(ops, RT_STR("stock"), ops_set({"flow", "breakdown", "foreign_room"}));
    rt::set_item(ops, RT_STR("market"), ops_set({"flow", "breakdown"}));
    rt::set_item(ops, RT_STR("sector"), ops_set({"flow", "breakdown", "foreign_room"}));
    py::object id_fields = rt::new_dict();
    rt::set_item(id_fields, RT_STR("stock"), RT_STR("symbol"));
    rt::set_item(id_fields, RT_STR("market"), RT_STR("symbol"));
    rt::set_item(id_fields, RT_STR("sector"), RT_STR("icb"));
    py::object annotations = rt::new_dict();
    rt::set_item(annotations, RT_STR("_NAMESPACE_OPS"),
                 m.eval("Mapping[Namespace, set[Operation]]"));
    rt::set_item(annotations, RT_STR("_ID_FIELD"), m.eval("Mapping[Namespace, str]"));

    py::object cls =
        m.cls("InvestorFlowEngine")
            .doc(kEngineDoc)
            .attr("__annotations__", annotations)
            .attr("_NAMESPACE_OPS", ops)
            .attr("_ID_FIELD", id_fields)
            .method("__init__", engine_init, "(self, session: HttpSession) -> None")
            .method("fetch_df", fetch_df,
                    "(self, namespace: Namespace, op: Operation, params: dict[str, Any]) "
                    "-> pd.DataFrame",
                    nullptr, {{"params", dict}})
            .method("_prepare_payload", prepare_payload,
                    "(self, params: dict[str, Any]) -> dict[str, Any]", nullptr, {{"params", dict}})
            .method("_request", request, "(self, endpoint: str, payload: dict[str, Any]) -> Any",
                    nullptr, {{"endpoint", str}, {"payload", dict}})
            .method("_to_query_params", to_query_params,
                    "(self, payload: dict[str, Any]) -> dict[str, Any]", nullptr,
                    {{"payload", dict}})
            .method("_normalise_records", normalise_records,
                    "(self, payload: Any, namespace: Namespace) -> list[dict[str, Any]]")
            .method("_ensure_mapping", ensure_mapping,
                    "(self, entry: Any, namespace: Namespace, identifier: str | None = None) "
                    "-> dict[str, Any]",
                    nullptr, {{"identifier", str}})
            .method("_to_dataframe", to_dataframe,
                    "(self, rows: list[dict[str, Any]], namespace: Namespace) -> pd.DataFrame",
                    nullptr, {{"rows", &PyList_Type}})
            .method("_resample_frame", resample_frame,
                    "(self, frame: pd.DataFrame, namespace: Namespace, interval: str) "
                    "-> pd.DataFrame",
                    nullptr, {{"interval", str}})
            .build();
    hold(g_ensure_mapping, rt::get_item(RT_ATTR(cls, "__dict__"), RT_STR("_ensure_mapping")));
    m.bind("InvestorFlowEngine", cls);
}

}  // namespace

RT_MODULE(flow_engine, body)
