// The price helpers' pipeline (private_core.helpers through private_core._frames):
// rows to a typed frame in one pass, and OHLCV bars of every symbol resampled in one
// grouped pass. Each returns None for input outside what it reproduces exactly; the
// helpers then take their plain pandas path.
#pragma once

#include "rt.hpp"

namespace frames {

namespace py = pybind11;

// pd.DataFrame of `rows` (a non-empty exact list of dicts), its time column (the
// first of `time_columns` present) parsed as pd.to_datetime parses it.
py::object price_frame_from_rows(py::handle pd, py::handle rows, py::handle time_columns);

// The bars of `frame` resampled to `interval` (text) per symbol, as pandas resamples
// each symbol's bars and concatenates them; `times` is its time column as datetimes.
py::object resample_price_bars(py::handle pd, py::handle frame, py::handle time_column,
                               py::handle times, py::handle interval);

}  // namespace frames
