// Frames from typed columns (the thin step from the columnar builder to pandas), and
// the order check that spares a sort.
#pragma once

#include "columns.hpp"
#include "rt.hpp"

namespace frames {

namespace py = pybind11;

// A column's values as pandas is handed them: a numpy array for numbers and
// booleans, an object array for a column with text (pandas takes it as it is), a
// list otherwise (pandas converts it as it converts a column of objects).
py::object column_values(const Column& col, Py_ssize_t rows);

// DataFrame.from_records(rows) for a list of row dicts: built from typed columns, or
// by from_records itself for rows outside the builder's reach.
py::object frame_from_rows(py::handle pd, py::handle rows);

// True when `frame`, fresh from the rows, is already in the order a stable sort by
// `keys` (a list of column names) would give.
bool already_sorted(py::handle pd, py::handle frame, py::handle keys);

}  // namespace frames
