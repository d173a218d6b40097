// How the installed pandas reduces float bins (floats.hpp): the probe, and that way.
#include "floats.hpp"

#include <cmath>
#include <cstring>

#include "arrays.hpp"

namespace frames {

namespace {

// numpy's way for the entities whose series holds no NaN; the others keep `out`.
void reduce_like_numpy(const Runs& runs, const Bins& bins, const double* values, Reduce how,
                       double* out) {
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
    py::object np = numpy();
    py::object ufunc = how == Reduce::kSum   ? RT_ATTR(np, "add")
                       : how == Reduce::kMax ? RT_ATTR(np, "maximum")
                                             : RT_ATTR(np, "minimum");
    py::object reduced = rt::call_method(ufunc, RT_METHOD("reduceat"), array_of(sorted, "float64"),
                                         array_of(starts, "int64"));
    NumArray<double> seg(reduced, false, "d");
    if (seg.size() != bins.size()) rt::internal_error("reduceat gave another number of bins");
    for (int64_t k = 0; k < bins.size(); ++k)
        if (clean[bins.entity[k]]) out[k] = seg.data()[k];
}

}  // namespace

// The probe: one series of five-minute bins, each where the known ways differ, and
// the same series with its last value missing.
//   00:00  -0.0                       a sum of one negative zero: the loops add it to
//                                     0.0 and give 0.0, numpy gives -0.0
//   00:05  0.0, -0.0                  max and min of equal zeros: which one is kept,
//   00:10  -0.0, 0.0                  in both orders
//   00:15  0.1 eleven times           the order of addition of a sum
//   00:20  1e16, 1, 1, -1e16, 3       compensation: the small terms a plain sum loses
// The series with NaN ("gappy") is reduced by the loops under either way. Each is
// resampled on its own, as the per-symbol path reduces each column.
FloatReductions probe_float_reductions(py::handle pd) {
    static const struct {
        int minute;
        double value;
    } rows[] = {{0, -0.0}, {5, 0.0},  {5, -0.0},  {10, -0.0}, {10, 0.0}, {15, 0.1},   {15, 0.1},
                {15, 0.1}, {15, 0.1}, {15, 0.1},  {15, 0.1},  {15, 0.1}, {15, 0.1},   {15, 0.1},
                {15, 0.1}, {15, 0.1}, {20, 1e16}, {20, 1.0},  {20, 1.0}, {20, -1e16}, {20, 3.0}};
    const int64_t n = sizeof rows / sizeof rows[0];
    std::vector<int64_t> t(n);
    std::vector<double> clean(n), gappy(n);
    for (int64_t i = 0; i < n; ++i) {
        t[i] = rows[i].minute * 60LL * 1000000000LL;
        clean[i] = gappy[i] = rows[i].value;
    }
    gappy[n - 1] = std::nan("");

    py::object index = rt::call(
        RT_ATTR(pd, "DatetimeIndex"),
        rt::call_method(array_of(t, "int64"), RT_METHOD("view"), RT_STR("datetime64[ns]")));
    static PyObject* index_name = rt::kwnames({RT_STR("index")});
    py::object resamplers[2];
    for (int column = 0; column < 2; ++column) {
        py::object series =
            rt::call_kw(RT_ATTR(pd, "Series"),
                        {array_of(column == 0 ? clean : gappy, "float64"), index}, index_name);
        resamplers[column] = rt::call_method(series, RT_METHOD("resample"), RT_STR("5min"));
    }

    const std::vector<int64_t> codes(n, 0);
    const Runs runs = entity_runs(codes.data(), n, 1, t.data());
    BinRule rule{};
    rule.kind = BinRule::kSpan;
    rule.step = 5 * 60LL * 1000000000LL;
    Bins bins;
    cut_bins(runs, t.data(), rule, false, n, bins);

    bool matches[2] = {true, true};  // kLoops, kNumpyWhenClean
    const struct {
        Reduce how;
        py::handle method;
    } reductions[] = {{Reduce::kSum, RT_STR("sum")},
                      {Reduce::kMax, RT_STR("max")},
                      {Reduce::kMin, RT_STR("min")}};
    for (const auto& r : reductions) {
        for (int column = 0; column < 2; ++column) {
            py::object series = rt::call(rt::getattr(resamplers[column], r.method));
            NumArray<double> values(rt::call(RT_ATTR(numpy(), "ascontiguousarray"),
                                             rt::call_method(series, RT_METHOD("to_numpy"))),
                                    false, "d");
            const double* input = column == 0 ? clean.data() : gappy.data();
            for (int way = 0; way < 2; ++way) {
                std::vector<double> want(static_cast<size_t>(bins.size()));
                reduce_floats(runs, bins, input, r.how,
                              way == 0 ? FloatReductions::kLoops : FloatReductions::kNumpyWhenClean,
                              want.data());
                matches[way] =
                    matches[way] && values.size() == bins.size() &&
                    std::memcmp(values.data(), want.data(), want.size() * sizeof(double)) == 0;
            }
        }
    }
    if (matches[0]) return FloatReductions::kLoops;
    if (matches[1]) return FloatReductions::kNumpyWhenClean;
    py::object logger =
        rt::call(RT_ATTR(rt::steal_or_throw(PyImport_ImportModule("logging")), "getLogger"),
                 RT_STR("private_core.frames"));
    rt::call_method(logger, RT_METHOD("debug"),
                    RT_STR("pandas %s reduces float bins neither with its own loops nor with "
                           "numpy's reduceat: float columns take pandas' own path"),
                    RT_ATTR(pd, "__version__"));
    return FloatReductions::kUnknown;
}

FloatReductions float_reductions(py::handle pd) {
    static int known = -1;
    if (known < 0) known = static_cast<int>(probe_float_reductions(pd));
    return static_cast<FloatReductions>(known);
}

void reduce_floats(const Runs& runs, const Bins& bins, const double* values, Reduce how,
                   FloatReductions ways, double* out) {
    reduce(runs, bins, values, how, 0, out);
    if (ways == FloatReductions::kNumpyWhenClean && way_matters(how))
        reduce_like_numpy(runs, bins, values, how, out);
}

}  // namespace frames
