// Intraday data for one symbol or a batch: one-minute OHLCV bars (resampled to the
// requested interval afterwards) and orderbook (tape) rows.
#include "price_batch.hpp"

namespace {

namespace py = pybind11;

py::object fetch_ohlcv(rt::Call& c) {
    py::handle session = c[0], symbol = c[1], start = c[2], end = c[3], interval = c[4],
               adjusted = c[5], show_progress = c[6];
    static const price_batch::Batch batch{RT_STR("ENDPOINT"), "Batch intraday", "OHLCV", true};
    return price_batch::fetch_batch(
        c, batch, session, symbol, interval, show_progress, [&](py::handle current) {
            py::object params = rt::new_dict();
            rt::set_item(params, RT_STR("symbol"), current);
            // The backend is always asked for one-minute bars; the caller's interval
            // is applied by resampling.
            rt::set_item(params, RT_STR("interval"), RT_STR("1m"));
            price_batch::set_if_text(params, RT_STR("start"), start);
            price_batch::set_if_text(params, RT_STR("end"), end);
            if (!adjusted.is_none())
                rt::set_item(params, RT_STR("adjusted"),
                             rt::truthy(adjusted) ? RT_STR("true") : RT_STR("false"));
            return params;
        });
}

py::object fetch_orderbook(rt::Call& c) {
    py::handle session = c[0], symbol = c[1], target_date = c[2], show_progress = c[3];
    static const price_batch::Batch batch{RT_STR("ORDERBOOK_ENDPOINT"), "Orderbook intraday",
                                          "orderbook", false};
    return price_batch::fetch_batch(
        c, batch, session, symbol, py::handle(), show_progress, [&](py::handle current) {
            py::object params = rt::new_dict();
            rt::set_item(params, RT_STR("symbol"), current);
            price_batch::set_if_text(params, RT_STR("target_date"), target_date);
            return params;
        });
}

void body(rt::Module& m) {
    m.import("sys");
    m.from_import("typing", {"Any", "Dict", "List", "Optional", "Sequence", "Union"});
    m.from_import("tavrix.exceptions", {"DataDecodingError"});
    m.from_import("transport_base", {"HttpSession"}, 1);
    m.from_import("helpers", {"IntervalIntraday", "_to_dataframe", "resample_ohlcv_multi"}, 1);
    m.from_import("progress", {"start_progress", "update_progress", "finish_progress"}, 1);
    m.import("pandas", "pd");

    m.bind("ENDPOINT", rt::new_str("/market-data/intraday/ohlcv"));
    m.bind("ORDERBOOK_ENDPOINT", rt::new_str("/market-data/intraday/orderbook"));

    price_batch::define_helpers(m);
    m.def("fetch_ohlcv", fetch_ohlcv,
          "(session: 'HttpSession', symbol: 'Union[str, Sequence[str]]', "
          "start: 'Optional[str]' = None, end: 'Optional[str]' = None, "
          "interval: 'IntervalIntraday' = '1m', adjusted: 'Optional[bool]' = None, *, "
          "show_progress: 'bool' = True) -> 'pd.DataFrame'",
          "Fetch raw OHLCV data for one or multiple symbols.",
          {{"start", &PyUnicode_Type}, {"end", &PyUnicode_Type}});
    m.def("fetch_orderbook", fetch_orderbook,
          "(session: 'HttpSession', symbol: 'Union[str, Sequence[str]]', "
          "target_date: 'Optional[str]' = None, *, show_progress: 'bool' = True) "
          "-> 'pd.DataFrame'",
          "Fetch raw orderbook (tape) data for one or multiple symbols.",
          {{"target_date", &PyUnicode_Type}});
}

}  // namespace

RT_MODULE(tick_feed, body)
