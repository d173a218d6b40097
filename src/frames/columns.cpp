#include "columns.hpp"

#include <cmath>
#include <unordered_map>

namespace frames {

namespace {

// Records the kind of `value` in `col`; false for a value outside JSON's scalars.
bool note_kind(Column& col, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        col.text = true;
    } else if (type == &PyFloat_Type) {
        col.real = true;
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return false;
        col.integer = true;
    } else if (type == &PyBool_Type) {
        col.boolean = true;
    } else if (value == Py_None) {
        col.none = true;
    } else {
        return false;
    }
    return true;
}

ColumnType type_of(const Column& k, bool missing) {
    bool numbers = (k.integer || k.real) && !k.text && !k.boolean;
    if (numbers && k.integer && !k.real && !k.none && !missing) return ColumnType::kInt;
    if (numbers) return ColumnType::kFloat;
    if (k.boolean && !k.text && !k.integer && !k.real && !k.none && !missing)
        return ColumnType::kBool;
    return ColumnType::kObject;
}

}  // namespace

bool build_columns(py::handle rows, Columns& out) {
    const Py_ssize_t n = PyList_GET_SIZE(rows.ptr());
    out.rows = n;
    out.names = rt::new_list();
    out.columns.clear();

    // Column of each key, by address first: the JSON decoder shares key objects
    // between the rows of one answer, and rows built by one loop share theirs.
    // Keys are exact text, so hashing and comparing them runs no Python code and
    // the rows cannot change under the two passes.
    py::object seen = rt::new_dict();
    std::unordered_map<PyObject*, Py_ssize_t> by_pointer;  // keys held by `names`/`seen`
    py::object held = rt::new_list();
    std::vector<PyObject*> previous, current;  // the last row's keys, by position
    std::vector<Py_ssize_t> previous_columns;
    std::vector<Py_ssize_t> slots;  // column of every (row, item), in row order
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows.ptr(), i);
        if (!PyDict_CheckExact(row)) return false;
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
                    if (!PyUnicode_CheckExact(key)) return false;
                    PyObject* known = PyDict_GetItemWithError(seen.ptr(), key);
                    if (known != nullptr) {
                        column = PyLong_AsSsize_t(known);
                    } else {
                        if (PyErr_Occurred()) rt::throw_pending();
                        column = PyList_GET_SIZE(out.names.ptr());
                        rt::set_item(seen, key, rt::new_int(column));
                        rt::append(out.names, key);
                        out.columns.emplace_back();
                    }
                    rt::append(held, key);
                    by_pointer.emplace(key, column);
                }
            }
            slots.push_back(column);
            Column& col = out.columns[static_cast<size_t>(column)];
            ++col.count;
            if (!note_kind(col, value)) return false;
            current.push_back(key);
            ++item;
        }
        previous.swap(current);
        current.clear();
        previous_columns.assign(slots.begin() + static_cast<std::ptrdiff_t>(row_start),
                                slots.end());
    }

    const double nan_value = std::nan("");
    py::object nan = rt::new_float(nan_value);
    for (Column& col : out.columns) {
        col.type = type_of(col, col.count < n);
        switch (col.type) {
            case ColumnType::kObject:
                col.objects = rt::new_list(n);
                for (Py_ssize_t i = 0; i < n; ++i)
                    PyList_SET_ITEM(col.objects.ptr(), i, Py_NewRef(nan.ptr()));
                break;
            case ColumnType::kFloat:
                col.reals.assign(static_cast<size_t>(n), nan_value);
                break;
            case ColumnType::kInt:
                col.ints.resize(static_cast<size_t>(n));
                break;
            case ColumnType::kBool:
                col.bools.resize(static_cast<size_t>(n));
                break;
        }
    }

    // Second pass: no Python code ran since the first, so each row's items come in
    // the recorded order.
    size_t next = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows.ptr(), i);
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(row, &pos, &key, &value)) {
            if (next >= slots.size()) rt::internal_error("rows changed while read");
            Column& col = out.columns[static_cast<size_t>(slots[next++])];
            switch (col.type) {
                case ColumnType::kObject: {
                    PyObject* list = col.objects.ptr();
                    PyObject* old = PyList_GET_ITEM(list, i);
                    PyList_SET_ITEM(list, i, Py_NewRef(value));
                    Py_DECREF(old);
                    break;
                }
                case ColumnType::kFloat:
                    col.reals[static_cast<size_t>(i)] =
                        value == Py_None            ? nan_value
                        : PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value)
                                                    : static_cast<double>(PyLong_AsLongLong(value));
                    break;
                case ColumnType::kInt:
                    col.ints[static_cast<size_t>(i)] = PyLong_AsLongLong(value);
                    break;
                case ColumnType::kBool:
                    col.bools[static_cast<size_t>(i)] = value == Py_True;
                    break;
            }
        }
    }
    if (next != slots.size()) rt::internal_error("rows changed while read");
    return true;
}

}  // namespace frames
