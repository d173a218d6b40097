// Freshness policy of the result cache: whether a request reaches today (and so is
// live), and the time-to-live for each kind of cached data.
#include "rt.hpp"

namespace {

namespace py = pybind11;

py::object touches_latest_trading_day(rt::Call& c) {
    // is_today is read at each call, so a replaced module attribute is honoured.
    return rt::call(c.global(RT_STR("is_today")), c[0]);
}

// A new timedelta(minutes=1) per call: callers may keep or compare it freely.
py::object one_minute(rt::Call& c) {
    static PyObject* kwnames = rt::kwnames({RT_STR("minutes")});
    return rt::call_kw(c.global(RT_STR("timedelta")), {rt::new_int(1)}, kwnames);
}

py::object no_expiry(rt::Call&) { return py::none(); }

void body(rt::Module& m) {
    m.from_import("datetime", {"timedelta"});
    m.from_import("typing", {"Optional"});
    m.from_import("memo_store", {"is_today"}, 1);

    m.all({"touches_latest_trading_day", "ttl_intraday_live", "ttl_intraday_history",
           "ttl_orderbook_live", "ttl_eod_latest", "ttl_eod_history"});

    m.def("touches_latest_trading_day", touches_latest_trading_day, "(end: object) -> bool");
    m.def("ttl_intraday_live", one_minute, "() -> timedelta");
    m.def("ttl_intraday_history", no_expiry, "() -> Optional[timedelta]");
    m.def("ttl_orderbook_live", one_minute, "() -> timedelta");
    m.def("ttl_eod_latest", one_minute, "() -> timedelta");
    m.def("ttl_eod_history", no_expiry, "() -> Optional[timedelta]");
}

}  // namespace

RT_MODULE(memo_rules, body)
