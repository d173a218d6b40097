// private_core._frames: the price helpers' pipeline of the frames engine
// (src/frames/price.hpp), bound for private_core.helpers. Each function returns None
// for input outside what the engine reproduces exactly; the helpers then take their
// plain pandas path.
#include "price.hpp"
#include "rt.hpp"

namespace {

namespace py = pybind11;

// rows_to_frame(rows, time_columns) -> DataFrame | None
py::object rows_to_frame(rt::Call& c) {
    py::handle rows = c[0];
    if (!PyList_CheckExact(rows.ptr()) || PyList_GET_SIZE(rows.ptr()) == 0) return py::none();
    return frames::price_frame_from_rows(c.global(RT_STR("pd")), rows, c[1]);
}

// resample_ohlcv(frame, time_column, times, interval) -> DataFrame | None
py::object resample_ohlcv(rt::Call& c) {
    if (!PyUnicode_Check(c[3].ptr())) return py::none();
    return frames::resample_price_bars(c.global(RT_STR("pd")), c[0], c[1], c[2], c[3]);
}

void body(rt::Module& m) {
    m.import("pandas", "pd");
    m.def("rows_to_frame", rows_to_frame, "(rows, time_columns)",
          "A DataFrame of row dicts, or None for rows outside the native path.");
    m.def("resample_ohlcv", resample_ohlcv, "(frame, time_column, times, interval)",
          "OHLCV bars of every symbol resampled in one pass, or None where the per-symbol "
          "path must run.");
}

}  // namespace

RT_MODULE(_frames, body)
