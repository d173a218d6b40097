#include "flows.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "calendar.hpp"
#include "floats.hpp"
#include "grouped.hpp"

namespace frames {

namespace {

// The rule as a BinRule for dates of `unit_ns` nanoseconds a unit, or false when
// pandas' own resampler must lay out the bins.
bool bin_rule_for(py::handle pd, py::handle interval, int64_t unit_ns, BinRule& rule) {
    const int64_t day = 86400LL * (1000000000LL / unit_ns);
    py::object to_offset = RT_ATTR(RT_ATTR(RT_ATTR(pd, "tseries"), "frequencies"), "to_offset");
    py::object offset = rt::call(to_offset, interval);
    py::object n_obj = RT_ATTR(offset, "n");
    long long n = PyLong_AsLongLong(n_obj.ptr());
    if (n == -1 && PyErr_Occurred()) rt::throw_pending();
    if (n < 1 || rt::truthy(RT_ATTR(offset, "normalize"))) return false;
    std::string kind = text_of(RT_ATTR(py::type::handle_of(offset), "__name__"));
    py::object offsets = RT_ATTR(pd, "offsets");
    if (rt::isinstance(offset, RT_ATTR(offsets, "Tick"))) {
        py::object nanos = RT_ATTR(offset, "nanos");
        long long step = PyLong_AsLongLong(nanos.ptr());
        if (step == -1 && PyErr_Occurred()) rt::throw_pending();
        if (step <= 0 || step % unit_ns != 0) return false;
        rule = BinRule{};
        rule.kind = BinRule::kSpan;
        rule.step = step / unit_ns;
        rule.per_day = day;
        return true;
    }
    if (kind == "Week") {
        py::object weekday = RT_ATTR(offset, "weekday");
        if (weekday.is_none()) return false;
        long w = PyLong_AsLong(weekday.ptr());
        if (w == -1 && PyErr_Occurred()) rt::throw_pending();
        // Weeks end on their weekday, closed and labelled there. 1970-01-01 was a
        // Thursday (weekday 3).
        rule = BinRule{};
        rule.kind = BinRule::kWeek;
        rule.step = n;
        rule.weekday_day0 = ((w - 3) % 7 + 7) % 7;
        rule.per_day = day;
        rule.closed_right = rule.label_right = true;
        return true;
    }
    if (kind == "MonthEnd") {
        rule = BinRule{};
        rule.kind = BinRule::kMonth;
        rule.step = n;
        rule.per_day = day;
        rule.closed_right = rule.label_right = true;
        return true;
    }
    return false;
}

enum class Fill { kTake, kText, kObject, kFloat, kInt, kBool, kUnsupported };

// How pandas types a column set to one entity's first value, joined over all
// entities (the per-entity frames are concatenated): only the cases whose outcome
// is certain are handled here. Texts alone are typed by pandas' own inference
// (object on pandas 2, str on pandas 3); texts joined with anything else, object.
Fill fill_kind(py::handle firsts_object_array) {
    bool any_object = false, any_none = false, any_float = false, any_int = false, any_bool = false,
         all_text = true;
    py::object values = rt::call_method(firsts_object_array, RT_METHOD("tolist"));
    for (py::handle v : values) {
        PyObject* p = v.ptr();
        // A text subclass is typed apart by pandas versions: that goes to pandas.
        if (PyUnicode_Check(p) && !PyUnicode_CheckExact(p)) return Fill::kUnsupported;
        all_text = all_text && PyUnicode_CheckExact(p);
        if (p == Py_None) {
            any_none = true;
        } else if (PyUnicode_CheckExact(p)) {
            any_object = true;
        } else if (PyBool_Check(p)) {
            any_bool = true;
        } else if (PyFloat_CheckExact(p)) {
            any_float = true;
        } else if (PyLong_CheckExact(p)) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(p, &overflow);
            if (overflow) return Fill::kUnsupported;
            any_int = true;
        } else {
            return Fill::kUnsupported;
        }
    }
    // An entity whose first value is None gives an all-missing object part, which
    // concat may leave out of the joined dtype (pandas versions differ).
    if (any_none && (any_bool || any_float || any_int)) return Fill::kUnsupported;
    if (any_object || any_none) return all_text ? Fill::kText : Fill::kObject;
    // pandas joins booleans with numbers in ways that vary: leave those to it.
    if (any_bool) return (any_float || any_int) ? Fill::kUnsupported : Fill::kBool;
    if (any_float) return Fill::kFloat;
    return any_int ? Fill::kInt : Fill::kObject;
}

}  // namespace

// One grouped pass for every entity: bins computed here for all rows, one groupby
// over (entity, bin) for the sums, and the empty bins inside each entity's range
// added by one reindex.
py::object resample_flows(py::handle pd, const FlowFrame& w, py::handle interval) {
    py::object np = numpy();
    py::object frame = w.frame;
    py::object columns = RT_ATTR(frame, "columns");
    if (!rt::truthy(RT_ATTR(columns, "is_unique"))) return py::none();
    py::object dates = rt::get_item(frame, w.date_col);
    // The bins are laid out, and labelled, in the dates' resolution, as pandas does.
    std::string dates_dtype = text_of(RT_ATTR(dates, "dtype"));
    const int64_t unit_ns = datetime_unit_ns(dates_dtype);
    if (unit_ns == 0) return py::none();

    // Preserved columns: only kinds whose joined dtype is certain.
    std::vector<Fill> fills;
    std::vector<py::object> preserved_values;
    for (py::handle col : w.preserved) {
        py::object series = rt::get_item(frame, col);
        std::string dt = text_of(RT_ATTR(series, "dtype"));
        // A column set to a timestamp of another resolution is typed differently by
        // pandas versions: those go to pandas.
        if (dt == "bool" || dt == "datetime64[ns]") {
            fills.push_back(Fill::kTake);
        } else if (dt == "object" || dt == "str") {
            fills.push_back(Fill::kObject);  // refined once the first rows are known
        } else {
            return py::none();
        }
        preserved_values.push_back(rt::call_method(series, RT_METHOD("to_numpy")));
    }

    BinRule rule{};
    if (!bin_rule_for(pd, interval, unit_ns, rule)) return py::none();

    NumArray<int64_t> t(int64_view(rt::call_method(dates, RT_METHOD("to_numpy"))), false, "lq");
    const Py_ssize_t n = t.size();
    py::object uniques;
    py::object codes_obj;
    if (!w.id_col.is_none()) {
        static PyObject* names = rt::kwnames({RT_STR("sort")});
        py::object factorized =
            rt::call_kw(RT_ATTR(pd, "factorize"), {rt::get_item(frame, w.id_col), Py_True}, names);
        codes_obj = rt::get_item(factorized, rt::new_int(0));
        uniques = rt::call_method(rt::get_item(factorized, rt::new_int(1)), RT_METHOD("to_numpy"));
    } else {
        codes_obj = rt::call(RT_ATTR(np, "zeros"), rt::new_int(n), RT_STR("int64"));
    }
    NumArray<int64_t> codes(rt::call_method(codes_obj, RT_METHOD("astype"), RT_STR("int64")), false,
                            "lq");
    const Py_ssize_t entities = w.id_col.is_none() ? 1 : rt::length(uniques);

    // Rows by (entity, time), stably: the order pandas sums them in per entity.
    std::vector<int64_t> first_pos(static_cast<size_t>(entities), -1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int64_t e = codes.data()[i];
        // A missing identifier (a categorical keeps NaN through the cleaning): the
        // per-entity grouping leaves such rows out.
        if (e < 0) return py::none();
        if (e >= entities) rt::internal_error("entity code out of range");
        if (first_pos[static_cast<size_t>(e)] < 0) first_pos[static_cast<size_t>(e)] = i;
    }
    for (int64_t pos : first_pos)
        if (pos < 0) return py::none();
    const Runs runs = entity_runs(codes.data(), n, entities, t.data());
    // Each entity's bins run from its first to its last row's bin, empty ones kept.
    Bins bins;
    if (!cut_bins(runs, t.data(), rule, true, 50'000'000, bins)) return py::none();
    const int64_t total = bins.size();
    std::vector<int64_t> slots(static_cast<size_t>(n));  // result row of each sorted row
    for (int64_t k = 0; k < total; ++k)
        for (int64_t r = bins.begin[k]; r < bins.begin[k + 1]; ++r) slots[r] = k;
    py::object order_obj = array_of(runs.order, "int64");
    py::object slot_obj = array_of(slots, "int64");
    py::object labels_obj = array_of(bins.label, "int64");
    py::object owner_obj = array_of(bins.entity, "int64");  // entity of each result row
    py::object firsts_obj = array_of(first_pos, "int64");
    for (size_t j = 0; j < fills.size(); ++j) {
        if (fills[j] != Fill::kObject) continue;
        Fill kind = fill_kind(rt::call_method(preserved_values[j], RT_METHOD("take"), firsts_obj));
        if (kind == Fill::kUnsupported) return py::none();
        fills[j] = kind;
    }

    // Sums: one groupby over the result slots, then the empty bins as missing values.
    py::object numeric_part = rt::get_item(frame, w.numeric);
    // Where pandas sums an entity's floats one way or the other by whether they hold
    // a NaN, the per-entity path gives each entity its own way; where its way is not
    // known, that path defines the sums.
    const FloatReductions ways = float_reductions(pd);
    if (ways == FloatReductions::kUnknown ||
        (ways == FloatReductions::kNumpyWhenClean &&
         rt::truthy(
             rt::call_method(rt::call_method(rt::call_method(numeric_part, RT_METHOD("isna")),
                                             RT_METHOD("to_numpy")),
                             RT_METHOD("any")))))
        return py::none();
    numeric_part = rt::call_method(numeric_part, RT_METHOD("take"), order_obj);
    static PyObject* group_names = rt::kwnames({RT_STR("sort")});
    py::object grouped =
        rt::call_method_kw(numeric_part, RT_STR("groupby"), {slot_obj, Py_True}, group_names);
    static PyObject* sum_names = rt::kwnames({RT_STR("min_count")});
    py::object sums = rt::call_method_kw(grouped, RT_STR("sum"), {rt::new_int(1)}, sum_names);
    py::object range = rt::call(RT_ATTR(pd, "RangeIndex"), rt::new_int(total));
    if (rt::length(sums) != total) sums = rt::call_method(sums, RT_METHOD("reindex"), range);
    static PyObject* drop = rt::kwnames({RT_STR("drop")});
    sums = rt::call_method_kw(sums, RT_STR("reset_index"), {Py_True}, drop);

    py::object result = rt::new_dict();
    rt::set_item(
        result, w.date_col,
        rt::call(RT_ATTR(pd, "Series"),
                 rt::call_method(labels_obj, RT_METHOD("view"), rt::new_str(dates_dtype.c_str()))));
    for (py::handle col : w.numeric) rt::set_item(result, col, rt::get_item(sums, col));
    if (!w.id_col.is_none())
        rt::set_item(result, w.id_col, rt::call_method(uniques, RT_METHOD("take"), owner_obj));
    size_t j = 0;
    for (py::handle col : w.preserved) {
        py::object firsts = rt::call_method(preserved_values[j], RT_METHOD("take"), firsts_obj);
        switch (fills[j]) {
            case Fill::kFloat:
                firsts = rt::call_method(firsts, RT_METHOD("astype"), RT_STR("float64"));
                break;
            case Fill::kInt:
                firsts = rt::call_method(firsts, RT_METHOD("astype"), RT_STR("int64"));
                break;
            case Fill::kBool:
                firsts = rt::call_method(firsts, RT_METHOD("astype"), RT_STR("bool"));
                break;
            default:
                break;
        }
        py::object values = rt::call_method(firsts, RT_METHOD("take"), owner_obj);
        // pandas 3 reads an object array of texts as its text dtype: mixed values
        // stay object, as concatenating them does.
        if (fills[j] == Fill::kObject) {
            static PyObject* names = rt::kwnames({RT_STR("dtype")});
            values = rt::call_kw(RT_ATTR(pd, "Series"), {values, RT_STR("object")}, names);
        }
        rt::set_item(result, col, values);
        ++j;
    }
    return rt::call(RT_ATTR(pd, "DataFrame"), result);
}

py::object resample_flows_per_entity(py::handle pd, const FlowFrame& w, py::handle interval,
                                     py::handle original, py::handle strict_str) {
    py::object results = rt::new_list();
    auto one = [&](py::handle key, py::handle rows) {
        py::object indexed = rt::call_method(rows, RT_METHOD("set_index"), w.date_col);
        py::object numeric_part = rt::get_item(indexed, w.numeric);
        py::object resampler = rt::call_method(numeric_part, RT_METHOD("resample"), interval);
        static PyObject* sum_names = rt::kwnames({RT_STR("min_count")});
        py::object res = rt::call_method_kw(resampler, RT_STR("sum"), {rt::new_int(1)}, sum_names);
        if (rt::truthy(RT_ATTR(res, "empty"))) return;
        rt::setattr(RT_ATTR(res, "index"), RT_STR("name"), w.date_col);
        res = rt::call_method(res, RT_METHOD("reset_index"));
        if (!w.id_col.is_none() && !key.is_none())
            rt::set_item(res, w.id_col, rt::call(strict_str, key));
        for (py::handle col : RT_ATTR(rows, "columns")) {
            if (rt::contains(w.numeric, col) || rt::compare(col, w.date_col, Py_EQ) ||
                rt::compare(col, w.id_col, Py_EQ))
                continue;
            py::object first =
                rt::get_item(RT_ATTR(rt::get_item(rows, col), "iloc"), rt::new_int(0));
            rt::set_item(res, col, first);
        }
        rt::append(results, res);
    };
    if (w.id_col.is_none()) {
        one(py::none(), w.frame);
    } else {
        static PyObject* names = rt::kwnames({RT_STR("group_keys")});
        py::object groups =
            rt::call_method_kw(w.frame, RT_STR("groupby"), {w.id_col, Py_False}, names);
        rt::for_each(groups, [&](py::handle pair) {
            one(rt::get_item(pair, rt::new_int(0)), rt::get_item(pair, rt::new_int(1)));
        });
    }
    if (PyList_GET_SIZE(results.ptr()) == 0) return py::reinterpret_borrow<py::object>(original);

    static PyObject* concat_names = rt::kwnames({RT_STR("ignore_index")});
    py::object combined = rt::call_kw(RT_ATTR(pd, "concat"), {results, Py_True}, concat_names);
    py::object combined_columns = RT_ATTR(combined, "columns");
    py::object keys = rt::new_list();
    if (!w.id_col.is_none() && rt::contains(combined_columns, w.id_col)) rt::append(keys, w.id_col);
    if (rt::contains(combined_columns, w.date_col)) rt::append(keys, w.date_col);
    if (PyList_GET_SIZE(keys.ptr()) == 0) return combined;
    static PyObject* sort_names = rt::kwnames({RT_STR("kind")});
    combined =
        rt::call_method_kw(combined, RT_STR("sort_values"), {keys, RT_STR("stable")}, sort_names);
    static PyObject* drop = rt::kwnames({RT_STR("drop")});
    return rt::call_method_kw(combined, RT_STR("reset_index"), {Py_True}, drop);
}

}  // namespace frames
