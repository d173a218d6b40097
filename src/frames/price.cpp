// The price bars' pipeline (price.hpp): rows to a frame, OHLCV bars resampled in one pass.
#include "price.hpp"

#include <array>
#include <climits>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "calendar.hpp"
#include "columns.hpp"
#include "floats.hpp"
#include "frame.hpp"
#include "grouped.hpp"
#include "isotime.hpp"

namespace frames {

namespace {

// Ticks a second of a datetime64 unit; 0 for another unit.
int64_t ticks_per_second(const std::string& dtype) {
    int64_t unit_ns = datetime_unit_ns(dtype);
    return unit_ns == 0 ? 0 : 1000000000LL / unit_ns;
}

py::object datetime_array(const std::vector<int64_t>& ticks, const std::string& dtype) {
    py::object values = array_of(ticks, "int64");
    return rt::call_method(values, RT_METHOD("view"), rt::new_str(dtype.c_str()));
}

// --- rows to a frame --------------------------------------------------------------

// The texts of a time column read here, when every value is ASCII text of one
// layout; pandas reads such a column with one inferred format.
bool parse_times(py::handle values, std::vector<int64_t>& seconds, std::vector<int64_t>& nanos) {
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    seconds.resize(static_cast<size_t>(n));
    nanos.resize(static_cast<size_t>(n));
    IsoLayout first, layout;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(values.ptr(), i);
        if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_COMPACT_ASCII(v)) return false;
        const char* s = static_cast<const char*>(PyUnicode_DATA(v));
        if (!parse_iso(s, static_cast<size_t>(PyUnicode_GET_LENGTH(v)), layout, seconds[i],
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
    NumArray<int64_t> got(int64_view(rt::call_method(probe, RT_METHOD("to_numpy"))), false, "lq");
    for (int k = 0; k < 3; ++k)
        if (got.data()[k] != ticks[static_cast<size_t>(picks[k])]) return false;
    return true;
}

}  // namespace

py::object price_frame_from_rows(py::handle pd, py::handle rows, py::handle time_columns) {
    Columns columns;
    if (!build_columns(rows, columns)) return py::none();
    const Py_ssize_t width = PyList_GET_SIZE(columns.names.ptr());
    const Py_ssize_t n = columns.rows;

    Py_ssize_t time_column = -1;
    for (py::handle name : time_columns) {
        for (Py_ssize_t j = 0; j < width && time_column < 0; ++j)
            if (rt::compare(PyList_GET_ITEM(columns.names.ptr(), j), name, Py_EQ)) time_column = j;
        if (time_column >= 0) break;
    }

    py::object by_name = rt::new_dict(width);
    bool parsed = false;
    for (Py_ssize_t j = 0; j < width; ++j) {
        Column& col = columns.columns[static_cast<size_t>(j)];
        py::object values;
        if (j == time_column && col.type == ColumnType::kObject) {
            std::vector<int64_t> seconds, nanos, ticks;
            std::string dtype;
            if (parse_times(col.objects, seconds, nanos) &&
                times_as_pandas(pd, col.objects, seconds, nanos, ticks, dtype)) {
                values = datetime_array(ticks, dtype);
                parsed = true;
            }
        }
        if (!values) values = column_values(col, n);
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

namespace {

// The price helpers' intervals: bins closed and labelled on the left, weeks from
// Monday, months from the 1st.
bool price_rule(py::handle interval, int64_t per_second, BinRule& rule) {
    rule = BinRule{};
    rule.per_day = 86400 * per_second;
    struct Span {
        const char* name;
        int64_t seconds;
    };
    static const Span spans[] = {{"1m", 60},    {"5m", 300},  {"15m", 900},
                                 {"30m", 1800}, {"1H", 3600}, {"1D", 86400}};
    for (const Span& s : spans)
        if (PyUnicode_CompareWithASCIIString(interval.ptr(), s.name) == 0) {
            rule.kind = BinRule::kSpan;
            rule.step = s.seconds * per_second;
            return true;
        }
    if (PyUnicode_CompareWithASCIIString(interval.ptr(), "1W") == 0) {
        rule.kind = BinRule::kWeek;
        rule.weekday_day0 = 4;  // 1970-01-05 was a Monday
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(interval.ptr(), "1M") == 0) {
        rule.kind = BinRule::kMonth;
        return true;
    }
    return false;
}

struct Reduction {
    py::handle column;
    Reduce how;
};
const std::array<Reduction, 5>& reductions() {
    static const std::array<Reduction, 5> table{{{RT_STR("open"), Reduce::kFirst},
                                                 {RT_STR("high"), Reduce::kMax},
                                                 {RT_STR("low"), Reduce::kMin},
                                                 {RT_STR("close"), Reduce::kLast},
                                                 {RT_STR("volume"), Reduce::kSum}}};
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
            last_code = text_code(index, keys, v);
            last = v;
        }
        codes[static_cast<size_t>(i)] = last_code;
    }
    return true;
}

// The OHLCV columns of one symbol's bars at a time, each resampled by pandas and
// the symbols concatenated: the same bars, bins and dtypes from one pass here. An
// integer column comes out float64 from first/max/min/last when some symbol's range
// holds an empty period (pandas fills it with NaN before dropping it).
}  // namespace

py::object resample_price_bars(py::handle pd, py::handle frame, py::handle tcol, py::handle times,
                               py::handle interval) {
    py::object columns = RT_ATTR(frame, "columns");
    if (!rt::truthy(RT_ATTR(columns, "is_unique"))) return py::none();

    const std::string dtype = text_of(RT_ATTR(times, "dtype"));
    const int64_t per_second = ticks_per_second(dtype);
    BinRule rule;
    if (per_second == 0 || !price_rule(interval, per_second, rule)) return py::none();
    NumArray<int64_t> t(int64_view(rt::call_method(times, RT_METHOD("to_numpy"))), false, "lq");
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
        Reduce how;
        py::object array;
        bool real;
    };
    std::vector<Input> inputs;
    for (const Reduction& r : reductions()) {
        if (!rt::contains(columns, r.column)) continue;
        py::object series = rt::get_item(frame, r.column);
        std::string kind = text_of(RT_ATTR(series, "dtype"));
        if (kind != "float64" && kind != "int64") return py::none();
        if (kind == "float64" && way_matters(r.how) &&
            float_reductions(pd) == FloatReductions::kUnknown)
            return py::none();
        py::object array = rt::call(RT_ATTR(numpy(), "ascontiguousarray"),
                                    rt::call_method(series, RT_METHOD("to_numpy")));
        inputs.push_back({r.column, r.how, array, kind == "float64"});
    }

    Runs runs = entity_runs(codes.data(), n, entities, t.data());
    std::vector<int64_t> rank;
    runs = by_first_row(runs, t.data(), rank);
    Bins bins;
    if (!cut_bins(runs, t.data(), rule, false, INT64_MAX, bins)) return py::none();
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
                NumArray<double> data(in.array, false, "d");
                std::vector<double> out(static_cast<size_t>(out_rows));
                reduce_floats(runs, bins, data.data(), in.how, float_reductions(pd), out.data());
                values = array_of(out, "float64");
            } else {
                NumArray<int64_t> data(in.array, false, "lq");
                std::vector<int64_t> out(static_cast<size_t>(out_rows));
                reduce(runs, bins, data.data(), in.how, out.data());
                if (bins.gaps && in.how != Reduce::kSum) {
                    values = array_of(std::vector<double>(out.begin(), out.end()), "float64");
                } else {
                    values = array_of(out, "int64");
                }
            }
            rt::set_item(result, col, values);
        }
    }
    return rt::call(RT_ATTR(pd, "DataFrame"), result);
}

}  // namespace frames
