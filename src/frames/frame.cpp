#include "frame.hpp"

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "arrays.hpp"

namespace frames {

py::object column_values(const Column& col, Py_ssize_t n) {
    switch (col.type) {
        case ColumnType::kFloat:
            return array_filled<double>(n, "float64", [&](double* d) { col.fill(d); });
        case ColumnType::kInt:
            return array_filled<int64_t>(n, "int64", [&](int64_t* d) { col.fill(d); });
        case ColumnType::kBool:
            return array_filled<uint8_t>(n, "bool", [&](uint8_t* d) { col.fill(d); });
        case ColumnType::kObject:
            break;
    }
    return col.text ? object_array(col.objects) : col.objects;
}

py::object frame_from_rows(py::handle pd, py::handle rows) {
    py::object from_records = RT_ATTR(RT_ATTR(pd, "DataFrame"), "from_records");
    Columns columns;
    if (!build_columns(rows, columns) || columns.columns.empty())
        return rt::call(from_records, rows);
    py::object by_name = rt::new_dict(static_cast<Py_ssize_t>(columns.columns.size()));
    for (size_t j = 0; j < columns.columns.size(); ++j)
        rt::set_item(by_name, PyList_GET_ITEM(columns.names.ptr(), static_cast<Py_ssize_t>(j)),
                     column_values(columns.columns[j], columns.rows));
    return rt::call(RT_ATTR(pd, "DataFrame"), by_name);
}

// True when the frame, fresh from the rows, is already in the order a stable
// sort by `keys` would give (the service mostly answers sorted): sorting would
// then change nothing. Only key kinds whose order is plain are judged here:
// text compared as Python compares it, integers, and datetimes with NaT last.
bool already_sorted(py::handle pd, py::handle frame, py::handle keys) {
    py::object index = RT_ATTR(frame, "index");
    if (!Py_IS_TYPE(index.ptr(),
                    reinterpret_cast<PyTypeObject*>(RT_ATTR(pd, "RangeIndex").ptr())) ||
        !rt::compare(RT_ATTR(index, "start"), rt::new_int(0), Py_EQ) ||
        !rt::compare(RT_ATTR(index, "step"), rt::new_int(1), Py_EQ))
        return false;
    struct Key {
        py::object texts;                         // list of exact str, or
        std::unique_ptr<NumArray<int64_t>> ints;  // int64 values
        bool nat_last = false;
    };
    std::vector<Key> columns;
    Py_ssize_t n = rt::length(frame);
    for (py::handle name : keys) {
        py::object column = rt::get_item(frame, name);
        std::string dtype = text_of(RT_ATTR(column, "dtype"));
        Key key;
        // "str": pandas 3's text dtype, whose order is the code points' as Python's.
        if (dtype == "object" || dtype == "str") {
            key.texts = rt::call_method(column, RT_METHOD("tolist"));
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!PyUnicode_CheckExact(PyList_GET_ITEM(key.texts.ptr(), i))) return false;
        } else if (dtype == "int64" || datetime_unit_ns(dtype) != 0) {
            py::object values = rt::call_method(column, RT_METHOD("to_numpy"));
            key.ints = std::make_unique<NumArray<int64_t>>(int64_view(values), false, "lq");
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

}  // namespace frames
