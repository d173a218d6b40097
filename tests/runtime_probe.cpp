// A test-only module exercising the runtime layer on its own, and the frames engine's
// kernels by name (built when PRIVATE_CORE_PROBE is on; never part of a release wheel).
#include <cstring>
#include <vector>

#include "calendar.hpp"
#include "floats.hpp"
#include "grouped.hpp"
#include "isotime.hpp"
#include "rt.hpp"

namespace {

namespace py = pybind11;

// Returns what was bound, so tests can compare with a plain def of the same signature.
py::object echo(rt::Call& c) { return rt::new_tuple(c[0], c[1], c[2], c[5], c[3], c[4], c[6]); }

py::object bound(rt::Call& c) { return rt::new_tuple(c[0], c[1], c[2], c[3]); }

py::object typed(rt::Call& c) { return rt::new_tuple(c[0], c[1], c[2], c[3], c[4]); }

py::object wide(rt::Call& c) {
    return rt::new_tuple(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11],
                         c[12], c[13], c[14], c[15], c[16]);
}

py::object global_value(rt::Call& c) { return c.global(RT_STR("VALUE")); }

py::object cooperative_init(rt::Call& c) {
    rt::super(c.owner(), c[0])
        .attr("__init__")(*py::reinterpret_borrow<py::tuple>(c[1]),
                          **py::reinterpret_borrow<py::dict>(c[2]));
    c[0].attr("probe_ready") = true;
    return py::none();
}

py::object owner_of(rt::Call& c) { return py::reinterpret_borrow<py::object>(c.owner()); }

// try: fn() except BaseException as exc: raise RuntimeError("wrapped") from exc
py::object wrap_error(rt::Call& c) {
    try {
        return rt::call(c[0]);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        rt::raise_from(rt::call(py::handle(PyExc_RuntimeError), RT_STR("wrapped")),
                       handling.error());
    }
}

// try: fn() except BaseException: handler()  (returns sys.exc_info() seen by handler)
py::object in_handler(rt::Call& c) {
    try {
        return rt::call(c[0]);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        return rt::call(c[1]);
    }
}

py::object with_block(rt::Call& c) {
    py::handle body = c[1];
    return rt::with(c[0], [&] { return rt::call(body); });
}

py::object import_name(rt::Call& c) {
    return rt::import_from(c.globals(), py::str(c[0]).cast<std::string>().c_str(),
                           py::str(c[1]).cast<std::string>().c_str(), c[2].cast<int>());
}

py::object read_value(rt::Call& c) { return RT_ATTR(c[0], "value"); }

py::object call_speak(rt::Call& c) { return rt::call_method(c[0], RT_METHOD("speak"), c[1]); }

py::object greet(rt::Call& c) { return py::str("hello ") + py::str(c[0].attr("name")); }

py::object presized(rt::Call& c) { return rt::new_dict(c[0].cast<Py_ssize_t>()); }

// --- frames kernels ---------------------------------------------------------------

int64_t int_of(py::handle value) {
    long long x = PyLong_AsLongLong(value.ptr());
    if (x == -1 && PyErr_Occurred()) rt::throw_pending();
    return x;
}

std::vector<int64_t> ints_of(py::handle list) {
    std::vector<int64_t> out;
    rt::for_each(list, [&](py::handle v) { out.push_back(int_of(v)); });
    return out;
}

py::object list_of(const std::vector<int64_t>& values) {
    py::object out = rt::new_list();
    for (int64_t v : values) rt::append(out, rt::new_int(v));
    return out;
}

// bin_labels(kind, step, per_day, weekday_day0, closed_right, label_right, ticks): the
// label of each tick's bin under a BinRule, the series starting at ticks[0].
py::object bin_labels(rt::Call& c) {
    frames::BinRule rule{};
    const char* kind = PyUnicode_AsUTF8(c[0].ptr());
    if (kind == nullptr) rt::throw_pending();
    rule.kind = std::strcmp(kind, "week") == 0    ? frames::BinRule::kWeek
                : std::strcmp(kind, "month") == 0 ? frames::BinRule::kMonth
                                                  : frames::BinRule::kSpan;
    rule.step = int_of(c[1]);
    rule.per_day = int_of(c[2]);
    rule.weekday_day0 = int_of(c[3]);
    rule.closed_right = rt::truthy(c[4]);
    rule.label_right = rt::truthy(c[5]);
    std::vector<int64_t> ticks = ints_of(c[6]), labels;
    for (int64_t t : ticks) labels.push_back(rule.label(rule.bin(t, ticks.front())));
    return list_of(labels);
}

// parse_iso(text) -> (seconds, nanos, separator) or None
py::object parse_iso(rt::Call& c) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(c[0].ptr(), &size);
    if (text == nullptr) rt::throw_pending();
    frames::IsoLayout layout;
    int64_t seconds = 0, nanos = 0;
    if (!frames::parse_iso(text, static_cast<size_t>(size), layout, seconds, nanos))
        return py::none();
    char separator[2] = {layout.separator, 0};
    return rt::new_tuple(rt::new_int(seconds), rt::new_int(nanos), rt::new_str(separator));
}

// reduce_bins(values, starts, how, min_count, numpy_when_clean): one entity's float
// values (in time order) cut into bins at `starts`, each reduced by `how` ("first",
// "max", "min", "last", "sum") as the price bars reduce them.
py::object reduce_bins(rt::Call& c) {
    std::vector<double> values;
    rt::for_each(c[0], [&](py::handle v) {
        double x = PyFloat_AsDouble(v.ptr());
        if (x == -1.0 && PyErr_Occurred()) rt::throw_pending();
        values.push_back(x);
    });
    const int64_t n = static_cast<int64_t>(values.size());
    frames::Runs runs;
    for (int64_t i = 0; i < n; ++i) runs.order.push_back(i);
    runs.start = {0, n};
    frames::Bins bins;
    bins.begin = ints_of(c[1]);
    for (size_t k = 0; k < bins.begin.size(); ++k) {
        bins.label.push_back(static_cast<int64_t>(k));
        bins.entity.push_back(0);
    }
    bins.begin.push_back(n);
    const char* how = PyUnicode_AsUTF8(c[2].ptr());
    if (how == nullptr) rt::throw_pending();
    const frames::Reduce reduce = std::strcmp(how, "first") == 0  ? frames::Reduce::kFirst
                                  : std::strcmp(how, "max") == 0  ? frames::Reduce::kMax
                                  : std::strcmp(how, "min") == 0  ? frames::Reduce::kMin
                                  : std::strcmp(how, "last") == 0 ? frames::Reduce::kLast
                                                                  : frames::Reduce::kSum;
    std::vector<double> out(static_cast<size_t>(bins.size()));
    if (rt::truthy(c[4])) {
        frames::reduce_floats(runs, bins, values.data(), reduce,
                              frames::FloatReductions::kNumpyWhenClean, out.data());
    } else {
        frames::reduce(runs, bins, values.data(), reduce, int_of(c[3]), out.data());
    }
    py::object result = rt::new_list();
    for (double v : out) rt::append(result, rt::new_float(v));
    return result;
}

// float_reductions(pd): the float-reduction probe asked of `pd` anew, by its way's
// name ("loops", "numpy_when_clean", "unknown").
py::object float_reductions(rt::Call& c) {
    switch (frames::probe_float_reductions(c[0])) {
        case frames::FloatReductions::kLoops: return rt::new_str("loops");
        case frames::FloatReductions::kNumpyWhenClean: return rt::new_str("numpy_when_clean");
        default: return rt::new_str("unknown");
    }
}

void body(rt::Module& m) {
    m.from_import("typing", {"Any", "Optional", "Protocol", "runtime_checkable"});
    m.bind("VALUE", py::int_(1));
    m.def("echo", echo, "(a, b=2, /, c=3, *args, d, e=5, **kwargs)", "Echo the bound arguments.");
    m.def("bound", bound, "(x, y: 'Text' = 'y', *, z: int, w=None) -> tuple");
    m.def("typed", typed,
          "(s: str, i: int, d: dict, items: list, maybe: Optional[str] = None) -> tuple", nullptr,
          {{"s", &PyUnicode_Type},
           {"i", &PyLong_Type},
           {"d", &PyDict_Type},
           {"items", &PyList_Type},
           {"maybe", &PyUnicode_Type}});
    // More parameters than the binder binds on the stack, two of them positional-only.
    m.def("wide", wide,
          "(a, b=1, /, c=2, d=3, e=4, f=5, g=6, h=7, i=8, j=9, k=10, l=11, m=12, n=13, o=14, "
          "p=15, q=16)");
    m.def("global_value", global_value, "()");
    m.def("presized", presized, "(expected: int)", nullptr, {{"expected", &PyLong_Type}});
    m.def("wrap_error", wrap_error, "(fn)");
    m.def("in_handler", in_handler, "(fn, handler)");
    m.def("with_block", with_block, "(manager, body)");
    m.def("import_name", import_name, "(module, name, level)");
    m.def("read_value", read_value, "(obj)");
    m.def("call_speak", call_speak, "(obj, word)");
    m.def("bin_labels", bin_labels,
          "(kind, step, per_day, weekday_day0, closed_right, label_right, ticks)");
    m.def("parse_iso", parse_iso, "(text)", nullptr, {{"text", &PyUnicode_Type}});
    m.def("reduce_bins", reduce_bins, "(values, starts, how, min_count, numpy_when_clean)");
    m.def("float_reductions", float_reductions, "(pd)");

    py::object mixin = m.cls("Mixin")
                           .doc("A cooperative mixin.")
                           .method("__init__", cooperative_init, "(self, *args, **kwargs)")
                           .method("owner", owner_of, "(self)")
                           .build();
    m.bind("Mixin", mixin);

    py::object protocol = m.cls("Named", rt::new_tuple(m.dict()["Protocol"]))
                              .annotations({{"name", "str"}})
                              .method("greet", greet, "(self) -> str")
                              .build();
    m.bind("Named", m.dict()["runtime_checkable"](protocol));
}

}  // namespace

RT_MODULE(_runtime_probe, body)
