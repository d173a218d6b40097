// The columnar builder: a list of row dicts (as JSON decoding gives them) read once
// into typed columns, in the order the keys are first seen.
#pragma once

#include <cstdint>
#include <vector>

#include "rt.hpp"

namespace frames {

namespace py = pybind11;

// What one column holds, typed the way pandas types a column of objects: only
// numbers give int64 or float64 (a missing value or None makes it float64), only
// booleans give bool; anything else stays a column of objects.
enum class ColumnType { kObject, kFloat, kInt, kBool };

struct Column {
    ColumnType type = ColumnType::kObject;
    bool text = false, integer = false, real = false, boolean = false, none = false;
    Py_ssize_t count = 0;  // rows that have the key
    std::vector<double> reals;
    std::vector<int64_t> ints;
    std::vector<uint8_t> bools;
    py::object objects;  // kObject: a list, float NaN where a row lacks the key
};

struct Columns {
    py::object names = py::none();  // list of the keys, first seen first
    std::vector<Column> columns;
    Py_ssize_t rows = 0;
};

// Fills `out` from `rows` (an exact list). Returns false, with `out` unusable, when a
// row is not an exact dict, a key is not exact text or a value is not a JSON scalar
// (text, float, int within int64, bool, None): those rows take pandas' own path.
bool build_columns(py::handle rows, Columns& out);

}  // namespace frames
