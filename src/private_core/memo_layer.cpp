// BaseMemoLayer: the mixin through which client objects run cached fetches, with a
// best-effort single-flight guard so concurrent callers of one pair share one fetch.
//
// The cache is always reached through self._cache and its Python methods, so a
// replaced or subclassed cache is honoured; `time` and `_Cache` are read from the
// module namespace at each use.
#include "rt.hpp"

namespace {

namespace py = pybind11;

py::object cache_of(py::handle self) { return RT_ATTR(self, "_cache"); }

py::object data_of(py::handle entry) { return RT_ATTR(entry, "data"); }

// float(x) for any real number, as the C API converts it; TypeError otherwise.
double seconds(py::handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) rt::throw_pending();
    return result;
}

py::object monotonic(rt::Call& c) {
    return rt::call_method(c.global(RT_STR("time")), RT_METHOD("monotonic"));
}

py::object layer_init(rt::Call& c) {
    py::handle self = c[0], args = c[1], kwargs = c[2];
    // Cooperative: the next class in the instance's MRO gets every argument.
    py::object next_init = rt::getattr(rt::super(c.owner(), self), RT_STR("__init__"));
    rt::steal_or_throw(PyObject_Call(next_init.ptr(), args.ptr(), kwargs.ptr()));

    static PyObject* kwnames = rt::kwnames({RT_STR("enable_singleflight")});
    rt::setattr(self, RT_STR("_cache"),
                rt::call_kw(c.global(RT_STR("_Cache")), {Py_True}, kwnames));
    return py::none();
}

py::object clear_cache(rt::Call& c) {
    py::handle self = c[0], ns = c[1];
    // None and the empty name both mean every namespace.
    if (rt::truthy(ns)) {
        rt::call_method(cache_of(self), RT_METHOD("clear_ns"), ns);
    } else {
        rt::call_method(cache_of(self), RT_METHOD("clear_all"));
    }
    return py::none();
}

py::object fetch_with_cache(rt::Call& c) {
    py::handle self = c[0], ns = c[1], key = c[2], live = c[3], fetcher = c[4], ttl_live = c[5],
               ttl_history = c[6], params = c[7], wait_timeout_arg = c[8], wait_interval_arg = c[9];
    const double wait_timeout = seconds(wait_timeout_arg);
    const double wait_interval = seconds(wait_interval_arg);

    // A live request never takes a stored result up front: it must reach the backend
    // unless a concurrent caller is already doing so.
    if (!rt::truthy(live)) {
        py::object hit = rt::call_method(cache_of(self), RT_METHOD("get"), ns, key);
        if (!hit.is_none()) return data_of(hit);
    }

    py::object should_fetch =
        rt::call_method(cache_of(self), RT_METHOD("_begin_inflight"), ns, key);
    return rt::try_finally(
        [&]() -> py::object {
            if (!rt::truthy(should_fetch)) {
                // Poll for the other caller's result; no lock is held while sleeping.
                py::object deadline = rt::steal_or_throw(
                    PyNumber_Add(monotonic(c).ptr(), rt::new_float(wait_timeout).ptr()));
                py::object interval = rt::new_float(wait_interval);
                while (true) {
                    if (!rt::compare(monotonic(c), deadline, Py_LT)) break;
                    py::object hit = rt::call_method(cache_of(self), RT_METHOD("get"), ns, key);
                    if (!hit.is_none()) return data_of(hit);
                    rt::call_method(c.global(RT_STR("time")), RT_METHOD("sleep"), interval);
                }
                // Deadline passed: fetch ourselves rather than fail.
            }
            py::object data = rt::call(fetcher);
            py::handle ttl = rt::truthy(live) ? ttl_live : ttl_history;

            static PyObject* kwnames = rt::kwnames({RT_STR("params"), RT_STR("ttl")});
            rt::call_method_kw(cache_of(self), RT_STR("set"), {ns, key, data, params, ttl},
                               kwnames);
            return data;
        },
        [&] { rt::call_method(cache_of(self), RT_METHOD("_end_inflight"), ns, key); });
}

void body(rt::Module& m) {
    m.import("time");
    m.from_import("datetime", {"timedelta"});
    m.from_import("typing", {"Any", "Callable", "Dict", "Optional"});
    m.import("pandas", "pd");
    m.from_import("memo_store", {"CacheKey", "Namespace", "_Cache"}, 1);

    m.all({"BaseMemoLayer"});

    py::object cls =
        m.cls("BaseMemoLayer")
            .doc("Mixin providing a shared _Cache instance and helper utilities.")
            .method("__init__", layer_init, "(self, *args, **kwargs)")
            .method("clear_cache", clear_cache, "(self, ns: Optional[str] = None) -> None", nullptr,
                    {{"ns", &PyUnicode_Type}})
            .method("_fetch_with_cache", fetch_with_cache,
                    "(self, namespace: Namespace, key: CacheKey, *, live: bool, "
                    "fetcher: Callable[[], pd.DataFrame], ttl_live: Optional[timedelta], "
                    "ttl_history: Optional[timedelta], params: Optional[Dict[str, Any]] = None, "
                    "wait_timeout: float = 1.0, wait_interval: float = 0.05) -> pd.DataFrame",
                    "Shared helper encapsulating get/set + singleflight orchestration.",
                    {{"params", &PyDict_Type}})
            .build();
    m.bind("BaseMemoLayer", cls);
}

}  // namespace

RT_MODULE(memo_layer, body)
