// The frames engine bound for the price helpers (private_core.helpers): rows to a
// typed frame in one pass, and OHLCV bars of every symbol resampled in one grouped
// pass. Each function returns None for input outside what it reproduces exactly;
// the helpers then take their plain pandas path.
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "calendar.hpp"
#include "columns.hpp"
#include "frame.hpp"
#include "grouped.hpp"
#include "isotime.hpp"
#include "rt.hpp"

namespace {

namespace py = pybind11;

using frames::text_of;

// Ticks a second of a datetime64 unit; 0 for another unit.
int64_t ticks_per_second(const std::string& dtype) {
    int64_t unit_ns = frames::datetime_unit_ns(dtype);
    return unit_ns == 0 ? 0 : 1000000000LL / unit_ns;
}

py::object datetime_array(const std::vector<int64_t>& ticks, const std::string& dtype) {
    py::object values = frames::array_of(ticks, "int64");
    return rt::call_method(values, RT_METHOD("view"), rt::new_str(dtype.c_str()));
}

// --- rows to a frame --------------------------------------------------------------

// The texts of a time column read here, when every value is ASCII text of one
// layout; pandas reads such a column with one inferred format.
bool parse_times(py::handle values, std::vector<int64_t>& seconds, std::vector<int64_t>& nanos) {
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    seconds.resize(static_cast<size_t>(n));
    nanos.resize(static_cast<size_t>(n));
    frames::IsoLayout first, layout;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(values.ptr(), i);
        if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_COMPACT_ASCII(v)) return false;
        const char* s = static_cast<const char*>(PyUnicode_DATA(v));
        if (!frames::parse_iso(s, static_cast<size_t>(PyUnicode_GET_LENGTH(v)), layout, seconds[i],
                               nanos[i]))
            return false;
        if (i == 0) {
            first = layout;
        } else if (!(layout == first)) {
            return false;
        }
    }
    return n > 0;
}

// The parsed times in the unit pandas gives this column. pandas reads a sample (first,
// middle, last value); its dtype fixes the unit, and its values must agree with ours.
bool times_as_pandas(py::handle pd, py::handle values, const std::vector<int64_t>& seconds,
                     const std::vector<int64_t>& nanos, std::vector<int64_t>& ticks,
                     std::string& dtype) {
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    const Py_ssize_t picks[] = {0, n / 2, n - 1};
    py::object sample = rt::new_list(3);
    for (int k = 0; k < 3; ++k)
        PyList_SET_ITEM(sample.ptr(), k, Py_NewRef(PyList_GET_ITEM(values.ptr(), picks[k])));
    py::object probe =
        rt::call(RT_ATTR(pd, "to_datetime"), rt::call(RT_ATTR(pd, "Series"), sample));
    dtype = text_of(RT_ATTR(probe, "dtype"));
    const int64_t per_second = ticks_per_second(dtype);
    if (per_second == 0) return false;
    const int64_t nanos_per_tick = 1000000000LL / per_second;
    ticks.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (nanos[i] % nanos_per_tick != 0) return false;
        ticks[i] = seconds[i] * per_second + nanos[i] / nanos_per_tick;
    }
    frames::NumArray<int64_t> got(frames::int64_view(rt::call_method(probe, RT_METHOD("to_numpy"))),
                                  false, "lq");
    for (int k = 0; k < 3; ++k)
        if (got.data()[k] != ticks[static_cast<size_t>(picks[k])]) return false;
    return true;
}

// rows_to_frame(rows, time_columns) -> DataFrame | None
py::object rows_to_frame(rt::Call& c) {
    py::handle rows = c[0], time_columns = c[1];
    if (!PyList_CheckExact(rows.ptr()) || PyList_GET_SIZE(rows.ptr()) == 0) return py::none();
    frames::Columns columns;
    if (!frames::build_columns(rows, columns)) return py::none();
    const Py_ssize_t width = PyList_GET_SIZE(columns.names.ptr());
    const Py_ssize_t n = columns.rows;

    Py_ssize_t time_column = -1;
    for (py::handle name : time_columns) {
        for (Py_ssize_t j = 0; j < width && time_column < 0; ++j)
            if (rt::compare(PyList_GET_ITEM(columns.names.ptr(), j), name, Py_EQ)) time_column = j;
        if (time_column >= 0) break;
    }

    py::object pd = c.global(RT_STR("pd"));
    py::object by_name = rt::new_dict(width);
    bool parsed = false;
    for (Py_ssize_t j = 0; j < width; ++j) {
        frames::Column& col = columns.columns[static_cast<size_t>(j)];
        py::object values;
        if (j == time_column && col.type == frames::ColumnType::kObject) {
            std::vector<int64_t> seconds, nanos, ticks;
            std::string dtype;
            if (parse_times(col.objects, seconds, nanos) &&
                times_as_pandas(pd, col.objects, seconds, nanos, ticks, dtype)) {
                values = datetime_array(ticks, dtype);
                parsed = true;
            }
        }
        if (!values) values = frames::column_values(col, n);
        rt::set_item(by_name, PyList_GET_ITEM(columns.names.ptr(), j), values);
    }
    py::object frame = rt::call(RT_ATTR(pd, "DataFrame"), by_name);
    if (time_column >= 0 && !parsed) {
        py::handle name = PyList_GET_ITEM(columns.names.ptr(), time_column);
        rt::set_item(frame, name, rt::call(RT_ATTR(pd, "to_datetime"), rt::get_item(frame, name)));
    }
    return frame;
}

// --- OHLCV resampling -------------------------------------------------------------

// The price helpers' intervals: bins closed and labelled on the left, weeks from
// Monday, months from the 1st.
bool price_rule(py::handle interval, int64_t per_second, frames::BinRule& rule) {
    rule = frames::BinRule{};
    rule.per_day = 86400 * per_second;
    struct Span {
        const char* name;
        int64_t seconds;
    };
    static const Span spans[] = {{"1m", 60},    {"5m", 300},  {"15m", 900},
                                 {"30m", 1800}, {"1H", 3600}, {"1D", 86400}};
    for (const Span& s : spans)
        if (PyUnicode_CompareWithASCIIString(interval.ptr(), s.name) == 0) {
            rule.kind = frames::BinRule::kSpan;
            rule.step = s.seconds * per_second;
            return true;
        }
    if (PyUnicode_CompareWithASCIIString(interval.ptr(), "1W") == 0) {
        rule.kind = frames::BinRule::kWeek;
        rule.weekday_day0 = 4;  // 1970-01-05 was a Monday
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(interval.ptr(), "1M") == 0) {
        rule.kind = frames::BinRule::kMonth;
        return true;
    }
    return false;
}

struct Reduction {
    py::handle column;
    frames::Reduce how;
};
const std::array<Reduction, 5>& reductions() {
    static const std::array<Reduction, 5> table{{{RT_STR("open"), frames::Reduce::kFirst},
                                                 {RT_STR("high"), frames::Reduce::kMax},
                                                 {RT_STR("low"), frames::Reduce::kMin},
                                                 {RT_STR("close"), frames::Reduce::kLast},
                                                 {RT_STR("volume"), frames::Reduce::kSum}}};
    return table;
}

// Entity codes of exact-text symbols, numbered in order of first appearance. False
// for any other value (missing symbols are left to pandas' grouping).
bool symbol_codes(py::handle values, std::vector<int64_t>& codes, py::object& keys) {
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    codes.resize(static_cast<size_t>(n));
    keys = rt::new_list();
    py::object index = rt::new_dict();
    PyObject* last = nullptr;
    int64_t last_code = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(values.ptr(), i);
        if (v != last) {
            if (!PyUnicode_CheckExact(v)) return false;
            last_code = frames::text_code(index, keys, v);
            last = v;
        }
        codes[static_cast<size_t>(i)] = last_code;
    }
    return true;
}

// Some pandas versions (3.1) reduce a series without NaN with numpy's ufunc.reduceat (its
// own order of addition, its own pick between 0.0 and -0.0) and only the others with
// the skipping, compensated loops. Each symbol's series is one such call: symbols
// without NaN in the column take numpy's result for their bins.
void reduce_like_numpy(const frames::Runs& runs, const frames::Bins& bins, const double* values,
                       frames::Reduce how, std::vector<double>& out) {
    std::vector<uint8_t> clean(static_cast<size_t>(runs.entities()), 1);
    bool any = false;
    for (int64_t e = 0; e < runs.entities(); ++e) {
        for (int64_t k = runs.start[e]; k < runs.start[e + 1] && clean[e]; ++k)
            clean[e] = !std::isnan(values[runs.order[k]]);
        any = any || clean[e];
    }
    if (!any || bins.size() == 0) return;
    std::vector<double> sorted(runs.order.size());
    for (size_t k = 0; k < sorted.size(); ++k) sorted[k] = values[runs.order[k]];
    std::vector<int64_t> starts(bins.begin.begin(), bins.begin.end() - 1);
    py::object np = frames::numpy();
    py::object ufunc = how == frames::Reduce::kSum   ? RT_ATTR(np, "add")
                       : how == frames::Reduce::kMax ? RT_ATTR(np, "maximum")
                                                     : RT_ATTR(np, "minimum");
    py::object reduced =
        rt::call_method(ufunc, RT_METHOD("reduceat"), frames::array_of(sorted, "float64"),
                        frames::array_of(starts, "int64"));
    frames::NumArray<double> seg(reduced, false, "d");
    if (seg.size() != bins.size()) rt::internal_error("reduceat gave another number of bins");
    for (int64_t k = 0; k < bins.size(); ++k)
        if (clean[bins.entity[k]]) out[k] = seg.data()[k];
}

// The OHLCV columns of one symbol's bars at a time, each resampled by pandas and
// the symbols concatenated: the same bars, bins and dtypes from one pass here. An
// integer column comes out float64 from first/max/min/last when some symbol's range
// holds an empty period (pandas fills it with NaN before dropping it).
py::object resample_ohlcv(rt::Call& c) {
    py::handle frame = c[0], tcol = c[1], times = c[2], interval = c[3];
    // None: this pandas reduces float bins in a way not reproduced here.
    const bool floats_known = !c[4].is_none();
    const bool numpy_reductions = floats_known && rt::truthy(c[4]);
    py::object columns = RT_ATTR(frame, "columns");
    if (!rt::truthy(RT_ATTR(columns, "is_unique"))) return py::none();

    const std::string dtype = text_of(RT_ATTR(times, "dtype"));
    const int64_t per_second = ticks_per_second(dtype);
    frames::BinRule rule;
    if (per_second == 0 || !PyUnicode_Check(interval.ptr()) ||
        !price_rule(interval, per_second, rule))
        return py::none();
    frames::NumArray<int64_t> t(frames::int64_view(rt::call_method(times, RT_METHOD("to_numpy"))),
                                false, "lq");
    const int64_t n = t.size();
    if (n != rt::length(frame)) return py::none();
    for (int64_t i = 0; i < n; ++i)
        if (t.data()[i] == INT64_MIN) return py::none();  // NaT

    const bool has_symbol = rt::contains(columns, RT_STR("symbol"));
    std::vector<int64_t> codes(static_cast<size_t>(n), 0);
    py::object keys;
    int64_t entities = 1;
    if (has_symbol) {
        py::object symbols = rt::get_item(frame, RT_STR("symbol"));
        std::string kind = text_of(RT_ATTR(symbols, "dtype"));
        if (kind != "object" && kind != "str") return py::none();
        py::object values =
            rt::call_method(rt::call_method(symbols, RT_METHOD("to_numpy")), RT_METHOD("tolist"));
        if (!symbol_codes(values, codes, keys)) return py::none();
        entities = rt::length(keys);
    }

    struct Input {
        py::handle name;
        frames::Reduce how;
        py::object array;
        bool real;
    };
    std::vector<Input> inputs;
    for (const Reduction& r : reductions()) {
        if (!rt::contains(columns, r.column)) continue;
        py::object series = rt::get_item(frame, r.column);
        std::string kind = text_of(RT_ATTR(series, "dtype"));
        if (kind != "float64" && kind != "int64") return py::none();
        if (kind == "float64" && !floats_known && r.how != frames::Reduce::kFirst &&
            r.how != frames::Reduce::kLast)
            return py::none();
        py::object array = rt::call(RT_ATTR(frames::numpy(), "ascontiguousarray"),
                                    rt::call_method(series, RT_METHOD("to_numpy")));
        inputs.push_back({r.column, r.how, array, kind == "float64"});
    }

    frames::Runs runs = frames::entity_runs(codes.data(), n, entities, t.data());
    std::vector<int64_t> rank;
    runs = frames::by_first_row(runs, t.data(), rank);
    frames::Bins bins;
    if (!frames::cut_bins(runs, t.data(), rule, false, INT64_MAX, bins)) return py::none();
    const int64_t out_rows = bins.size();

    py::object result = rt::new_dict();
    if (has_symbol) {
        py::object values = rt::new_list(out_rows);
        for (int64_t k = 0; k < out_rows; ++k)
            PyList_SET_ITEM(values.ptr(), k,
                            Py_NewRef(PyList_GET_ITEM(keys.ptr(), rank[bins.entity[k]])));
        rt::set_item(result, RT_STR("symbol"), values);
    }
    for (py::handle col : columns) {
        if (has_symbol && rt::compare(col, RT_STR("symbol"), Py_EQ)) continue;
        if (rt::compare(col, tcol, Py_EQ)) {
            rt::set_item(result, col, datetime_array(bins.label, dtype));
            continue;
        }
        for (const Input& in : inputs) {
            if (!rt::compare(col, in.name, Py_EQ)) continue;
            py::object values;
            if (in.real) {
                frames::NumArray<double> data(in.array, false, "d");
                std::vector<double> out(static_cast<size_t>(out_rows));
                frames::reduce(runs, bins, data.data(), in.how, 0, out.data());
                if (numpy_reductions && in.how != frames::Reduce::kFirst &&
                    in.how != frames::Reduce::kLast)
                    reduce_like_numpy(runs, bins, data.data(), in.how, out);
                values = frames::array_of(out, "float64");
            } else {
                frames::NumArray<int64_t> data(in.array, false, "lq");
                std::vector<int64_t> out(static_cast<size_t>(out_rows));
                frames::reduce(runs, bins, data.data(), in.how, out.data());
                if (bins.gaps && in.how != frames::Reduce::kSum) {
                    values =
                        frames::array_of(std::vector<double>(out.begin(), out.end()), "float64");
                } else {
                    values = frames::array_of(out, "int64");
                }
            }
            rt::set_item(result, col, values);
        }
    }
    return rt::call(RT_ATTR(c.global(RT_STR("pd")), "DataFrame"), result);
}

void body(rt::Module& m) {
    m.import("pandas", "pd");
    m.def("rows_to_frame", rows_to_frame, "(rows, time_columns)",
          "A DataFrame of row dicts, or None for rows outside the native path.");
    m.def("resample_ohlcv", resample_ohlcv,
          "(frame, time_column, times, interval, numpy_reductions)",
          "OHLCV bars of every symbol resampled in one pass, or None where the per-symbol "
          "path must run.");
}

}  // namespace

RT_MODULE(_frames, body)
