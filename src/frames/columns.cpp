#include "columns.hpp"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace frames {

namespace {

ColumnType type_of(const Column& k, bool missing) {
    bool numbers = (k.integer || k.real) && !k.text && !k.boolean;
    if (numbers && k.integer && !k.real && !k.none && !missing) return ColumnType::kInt;
    if (numbers) return ColumnType::kFloat;
    if (k.boolean && !k.text && !k.integer && !k.real && !k.none && !missing)
        return ColumnType::kBool;
    return ColumnType::kObject;
}

}  // namespace

void Column::fill(double* out) const {
    const size_t n = kinds.size();
    for (size_t i = 0; i < n; ++i) {
        switch (kinds[i]) {
            case kReal:
                std::memcpy(&out[i], &payload[i], sizeof(double));
                break;
            case kInteger:
                out[i] = static_cast<double>(static_cast<int64_t>(payload[i]));
                break;
            default:
                out[i] = std::nan("");
                break;
        }
    }
}

void Column::fill(int64_t* out) const {
    for (size_t i = 0; i < kinds.size(); ++i) out[i] = static_cast<int64_t>(payload[i]);
}

void Column::fill(uint8_t* out) const {
    for (size_t i = 0; i < kinds.size(); ++i) out[i] = payload[i] != 0;
}

bool build_columns(py::handle rows, Columns& out) {
    const Py_ssize_t n = PyList_GET_SIZE(rows.ptr());
    out.rows = n;
    out.names = rt::new_list();
    out.columns.clear();

    // Column of each key, by address first: the JSON decoder shares key objects
    // between the rows of one answer, and rows built by one loop share theirs.
    // Keys are exact text, so hashing and comparing them runs no Python code. Keys are
    // kept alive by `held`, text cells by their column's list (a collection run by an
    // allocation here may run code that changes the rows).
    py::object seen = rt::new_dict();
    std::unordered_map<PyObject*, Py_ssize_t> by_pointer;  // keys held by `held`
    py::object held = rt::new_list();
    std::vector<PyObject*> previous;  // the last row's keys, by position
    std::vector<Py_ssize_t> previous_columns;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows.ptr(), i);
        if (!PyDict_CheckExact(row)) return false;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        size_t item = 0;
        while (PyDict_Next(row, &pos, &key, &value)) {
            Py_ssize_t column;
            if (item < previous.size() && previous[item] == key) {
                column = previous_columns[item];
            } else {
                auto hit = by_pointer.find(key);
                if (hit != by_pointer.end()) {
                    column = hit->second;
                } else {
                    if (!PyUnicode_CheckExact(key)) return false;
                    column = text_code(seen, out.names, key);
                    if (static_cast<size_t>(column) == out.columns.size()) {  // a new key
                        out.columns.emplace_back();
                        out.columns.back().kinds.assign(static_cast<size_t>(n), kMissing);
                        out.columns.back().payload.assign(static_cast<size_t>(n), 0);
                    }
                    rt::append(held, key);
                    by_pointer.emplace(key, column);
                }
                if (item >= previous.size()) {
                    previous.resize(item + 1);
                    previous_columns.resize(item + 1);
                }
                previous[item] = key;
                previous_columns[item] = column;
            }
            Column& col = out.columns[static_cast<size_t>(column)];
            ++col.count;
            uint8_t& kind = col.kinds[static_cast<size_t>(i)];
            uint64_t& cell = col.payload[static_cast<size_t>(i)];
            PyTypeObject* type = Py_TYPE(value);
            if (type == &PyFloat_Type) {
                col.real = true;
                kind = kReal;
                double d = PyFloat_AS_DOUBLE(value);
                std::memcpy(&cell, &d, sizeof d);
            } else if (type == &PyLong_Type) {
                int overflow = 0;
                long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
                if (overflow) return false;
                col.integer = true;
                kind = kInteger;
                cell = static_cast<uint64_t>(v);
            } else if (type == &PyUnicode_Type) {
                col.text = true;
                kind = kText;
                // Text makes a column of objects: its list holds the text from here on.
                if (!col.objects) col.objects = rt::new_list(n);
                PyList_SET_ITEM(col.objects.ptr(), i, Py_NewRef(value));
            } else if (type == &PyBool_Type) {
                col.boolean = true;
                kind = kBoolean;
                cell = value == Py_True;
            } else if (value == Py_None) {
                col.none = true;
                kind = kNone;
            } else {
                return false;
            }
            ++item;
        }
        // A shorter row leaves later positions of the last row's keys unmatched.
        previous.resize(item);
        previous_columns.resize(item);
    }

    // Object columns as lists.
    py::object nan = rt::new_float(std::nan(""));
    for (Column& col : out.columns) {
        col.type = type_of(col, col.count < n);
        if (col.type != ColumnType::kObject) continue;
        if (!col.objects) col.objects = rt::new_list(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const size_t at = static_cast<size_t>(i);
            py::object value;
            switch (col.kinds[at]) {
                case kText:
                    continue;  // in place already
                case kMissing:
                    value = nan;
                    break;
                case kNone:
                    value = py::none();
                    break;
                case kBoolean:
                    value =
                        py::reinterpret_borrow<py::object>(col.payload[at] ? Py_True : Py_False);
                    break;
                case kReal: {
                    double d;
                    std::memcpy(&d, &col.payload[at], sizeof d);
                    value = rt::new_float(d);
                    break;
                }
                default:
                    value = rt::new_int(static_cast<int64_t>(col.payload[at]));
                    break;
            }
            PyList_SET_ITEM(col.objects.ptr(), i, value.release().ptr());
        }
        col.kinds = {};
        col.payload = {};
    }
    return true;
}

Py_ssize_t text_code(py::handle index, py::handle order, PyObject* text) {
    PyObject* known = PyDict_GetItemWithError(index.ptr(), text);
    if (known != nullptr) return PyLong_AsSsize_t(known);
    if (PyErr_Occurred()) rt::throw_pending();
    Py_ssize_t code = PyList_GET_SIZE(order.ptr());
    rt::set_item(index, text, rt::new_int(code));
    rt::append(order, text);
    return code;
}

}  // namespace frames
