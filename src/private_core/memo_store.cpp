// The in-memory result cache: entries per (namespace, key) with optional expiry, the
// single-flight counts, and the date helpers the freshness rules build on.
//
// Every attribute of a cache (_store, _lock, _inflight, _singleflight) is read from
// the instance at each call, and module names (datetime, date, RLock, CacheEntry,
// to_date) from the module namespace, so replacing either takes effect at once.
#include "rt.hpp"

namespace {

namespace py = pybind11;

// mapping.pop(key, None), result discarded.
void mapping_discard(py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value == nullptr) {
            if (PyErr_Occurred()) rt::throw_pending();
            return;
        }
        if (PyDict_DelItem(mapping.ptr(), key.ptr()) < 0) rt::throw_pending();
        return;
    }
    rt::call_method(mapping, RT_METHOD("pop"), key, py::none());
}

py::object now(rt::Call& c) {
    return rt::call_method(c.global(RT_STR("datetime")), RT_METHOD("now"));
}

py::object compare(py::handle a, py::handle b, int op) {
    return rt::steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// `assert self._inflight is not None`, which Python drops under -O.
void assert_inflight(py::handle self) {
    if (!rt::asserts_enabled()) return;
    if (RT_ATTR(self, "_inflight").is_none()) {
        PyErr_SetNone(PyExc_AssertionError);
        throw rt::PyErrOccurred();
    }
}

// --- CacheEntry ---------------------------------------------------------------------

py::object entry_is_expired(rt::Call& c) {
    py::object expires_at = RT_ATTR(c[0], "expires_at");
    if (expires_at.is_none()) return py::bool_(false);
    // Inclusive: at the expiry instant the entry is already stale.
    return compare(now(c), expires_at, Py_GE);
}

// --- _Cache -------------------------------------------------------------------------

py::object cache_init(rt::Call& c) {
    py::handle self = c[0], enable_singleflight = c[1];
    rt::setattr(self, RT_STR("_store"), rt::new_dict());
    rt::setattr(self, RT_STR("_lock"), rt::call(c.global(RT_STR("RLock"))));
    rt::setattr(self, RT_STR("_inflight"),
                rt::truthy(enable_singleflight) ? rt::new_dict() : py::object(py::none()));
    // Kept as passed: only its truth value is ever consulted.
    rt::setattr(self, RT_STR("_singleflight"), enable_singleflight);
    return py::none();
}

py::object cache_get(rt::Call& c) {
    py::handle self = c[0], ns = c[1], key = c[2];
    return rt::with(RT_ATTR(self, "_lock"), [&]() -> py::object {
        py::object bucket = rt::mapping_get(RT_ATTR(self, "_store"), ns);
        if (!rt::truthy(bucket)) return py::none();
        py::object entry = rt::mapping_get(bucket, key);
        if (entry.is_none()) return py::none();
        if (rt::truthy(rt::call_method(entry, RT_METHOD("is_expired")))) {
            // Lazy eviction; the bucket itself stays even when this empties it.
            mapping_discard(bucket, key);
            return py::none();
        }
        return entry;
    });
}

py::object cache_set(rt::Call& c) {
    py::handle self = c[0], ns = c[1], key = c[2], data = c[3], params = c[4], ttl = c[5];
    return rt::with(RT_ATTR(self, "_lock"), [&]() -> py::object {
        py::object store = RT_ATTR(self, "_store");
        if (!rt::contains(store, ns)) rt::set_item(store, ns, rt::new_dict());

        // A zero timedelta is false too, so it means "never expires" like None.
        py::object expires_at = py::none();
        if (rt::truthy(ttl)) expires_at = rt::steal_or_throw(PyNumber_Add(now(c).ptr(), ttl.ptr()));
        py::object fetched_at = now(c);
        py::object stored_params =
            rt::truthy(params) ? py::reinterpret_borrow<py::object>(params) : rt::new_dict();

        static PyObject* kwnames = rt::kwnames(
            {RT_STR("data"), RT_STR("fetched_at"), RT_STR("params"), RT_STR("expires_at")});
        py::object entry = rt::call_kw(c.global(RT_STR("CacheEntry")),
                                       {data, fetched_at, stored_params, expires_at}, kwnames);

        py::object bucket = rt::get_item(store, ns);
        rt::set_item(bucket, key, entry);
        return entry;
    });
}

py::object cache_clear_ns(rt::Call& c) {
    py::handle self = c[0], ns = c[1];
    rt::with(RT_ATTR(self, "_lock"), [&]() -> py::object {
        mapping_discard(RT_ATTR(self, "_store"), ns);
        return py::none();
    });
    return py::none();
}

py::object cache_clear_all(rt::Call& c) {
    py::handle self = c[0];
    rt::with(RT_ATTR(self, "_lock"), [&]() -> py::object {
        py::object store = RT_ATTR(self, "_store");
        if (PyDict_CheckExact(store.ptr())) {
            PyDict_Clear(store.ptr());
        } else {
            rt::call_method(store, RT_METHOD("clear"));
        }
        return py::none();
    });
    return py::none();
}

py::object cache_begin_inflight(rt::Call& c) {
    py::handle self = c[0], ns = c[1], key = c[2];
    if (!rt::truthy(RT_ATTR(self, "_singleflight"))) return py::bool_(true);
    assert_inflight(self);
    py::object pair = rt::new_tuple(ns, key);
    return rt::with(RT_ATTR(self, "_lock"), [&]() -> py::object {
        py::object inflight = RT_ATTR(self, "_inflight");
        py::object count = rt::mapping_get(inflight, pair, rt::new_int(0));
        py::object next = rt::steal_or_throw(PyNumber_Add(count.ptr(), rt::new_int(1).ptr()));
        rt::set_item(inflight, pair, next);
        return compare(count, rt::new_int(0), Py_EQ);
    });
}

py::object cache_end_inflight(rt::Call& c) {
    py::handle self = c[0], ns = c[1], key = c[2];
    if (!rt::truthy(RT_ATTR(self, "_singleflight"))) return py::none();
    assert_inflight(self);
    py::object pair = rt::new_tuple(ns, key);
    rt::with(RT_ATTR(self, "_lock"), [&]() -> py::object {
        py::object inflight = RT_ATTR(self, "_inflight");
        py::object count = rt::mapping_get(inflight, pair, rt::new_int(1));
        if (rt::truthy(compare(count, rt::new_int(1), Py_LE))) {
            mapping_discard(inflight, pair);
        } else {
            rt::set_item(inflight, pair,
                         rt::steal_or_throw(PyNumber_Subtract(count.ptr(), rt::new_int(1).ptr())));
        }
        return py::none();
    });
    return py::none();
}

// --- date helpers -------------------------------------------------------------------

py::object to_date(rt::Call& c) {
    py::handle d = c[0];
    if (d.is_none()) return rt::call_method(now(c), RT_METHOD("date"));
    py::object datetime = c.global(RT_STR("datetime"));
    if (rt::isinstance(d, c.global(RT_STR("date"))) && !rt::isinstance(d, datetime))
        return py::reinterpret_borrow<py::object>(d);
    if (rt::isinstance(d, datetime)) return rt::call_method(d, RT_METHOD("date"));
    if (PyUnicode_Check(d.ptr())) {
        py::object parsed = rt::call_method(datetime, RT_METHOD("strptime"), d, RT_STR("%Y-%m-%d"));
        return rt::call_method(parsed, RT_METHOD("date"));
    }
    rt::raise_format(PyExc_ValueError, "Unsupported date type: %S", Py_TYPE(d.ptr()));
}

py::object is_today(rt::Call& c) {
    py::object day = rt::call(c.global(RT_STR("to_date")), c[0]);
    py::object today = rt::call_method(now(c), RT_METHOD("date"));
    return compare(day, today, Py_EQ);
}

// --- module -------------------------------------------------------------------------

void body(rt::Module& m) {
    m.from_import("dataclasses", {"dataclass", "field"});
    m.from_import("datetime", {"date", "datetime", "timedelta"});
    m.from_import("threading", {"RLock"});
    m.from_import("typing", {"Any", "Dict", "Hashable", "Optional", "Tuple"});
    m.import("pandas", "pd");

    m.all({"_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"});

    m.bind("CacheKey", m.eval("Tuple[Hashable, ...]"));
    m.bind("Namespace", reinterpret_cast<PyObject*>(&PyUnicode_Type));

    py::object entry = m.cls("CacheEntry")
                           .annotations({{"data", "pd.DataFrame"},
                                         {"fetched_at", "datetime"},
                                         {"params", "Dict[str, Any]"},
                                         {"expires_at", "Optional[datetime]"}})
                           .attr("params", m.eval("field(default_factory=dict)"))
                           .attr("expires_at", py::none())
                           .method("is_expired", entry_is_expired, "(self) -> bool")
                           .build();
    m.bind("CacheEntry", m.dict()["dataclass"](entry));

    py::object cache =
        m.cls("_Cache")
            .doc(
                "Namespace-keyed cache with optional TTL and (optional) singleflight.\n"
                "Thread-safe via RLock.")
            .method("__init__", cache_init, "(self, enable_singleflight: bool = True)")
            .method("get", cache_get,
                    "(self, ns: Namespace, key: CacheKey) -> Optional[CacheEntry]")
            .method("set", cache_set,
                    "(self, ns: Namespace, key: CacheKey, data: pd.DataFrame, *, "
                    "params: Optional[Dict[str, Any]] = None, "
                    "ttl: Optional[timedelta] = None) -> CacheEntry",
                    nullptr, {{"params", &PyDict_Type}})
            .method("clear_ns", cache_clear_ns, "(self, ns: Namespace) -> None")
            .method("clear_all", cache_clear_all, "(self) -> None")
            .method("_begin_inflight", cache_begin_inflight,
                    "(self, ns: Namespace, key: CacheKey) -> bool",
                    "Returns True if caller should fetch; False if another fetch in progress.")
            .method("_end_inflight", cache_end_inflight,
                    "(self, ns: Namespace, key: CacheKey) -> None")
            .build();
    m.bind("_Cache", cache);

    m.def("to_date", to_date, "(d: Any) -> date");
    m.def("is_today", is_today, "(d: Any) -> bool");
}

}  // namespace

RT_MODULE(memo_store, body)
