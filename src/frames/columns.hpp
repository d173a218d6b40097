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

// The kind of one cell.
enum Cell : uint8_t { kMissing, kText, kReal, kInteger, kBoolean, kNone };

struct Column {
    ColumnType type = ColumnType::kObject;
    bool text = false, integer = false, real = false, boolean = false, none = false;
    Py_ssize_t count = 0;  // rows that have the key
    // Per row: the cell's kind and payload (a double's or int64's bits, a bool; a text
    // cell's value is in `objects`).
    std::vector<uint8_t> kinds;
    std::vector<uint64_t> payload;
    py::object objects;  // kObject: a list of the values, float NaN where a row lacks the key

    // The values of a kFloat, kInt or kBool column, `rows` of them.
    void fill(double* out) const;
    void fill(int64_t* out) const;
    void fill(uint8_t* out) const;
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

// The number of exact text `text` in order of first appearance: its entry in `index`
// (a dict of text to number), or the next number, recorded there and appended to
// `order` (a list of the texts). The caller checks that `text` is an exact str, so
// hashing and comparing it run no Python code.
Py_ssize_t text_code(py::handle index, py::handle order, PyObject* text);

}  // namespace frames
