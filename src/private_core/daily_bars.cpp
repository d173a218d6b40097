// End-of-day OHLCV bars for one symbol or a batch: one request per symbol, rows
// tagged with their symbol, one frame resampled to the requested interval.
#include "price_batch.hpp"

namespace {

namespace py = pybind11;

py::object fetch_ohlcv(rt::Call& c) {
    py::handle session = c[0], symbol = c[1], start = c[2], end = c[3], interval = c[4],
               show_progress = c[5];
    static const price_batch::Batch batch{RT_STR("ENDPOINT"), "Batch EOD", "OHLCV", true};
    return price_batch::fetch_batch(c, batch, session, symbol, interval, show_progress,
                                    [&](py::handle current) {
                                        py::object params = rt::new_dict();
                                        rt::set_item(params, RT_STR("symbol"), current);
                                        rt::set_item(params, RT_STR("interval"), interval);
                                        price_batch::set_if_text(params, RT_STR("start"), start);
                                        price_batch::set_if_text(params, RT_STR("end"), end);
                                        return params;
                                    });
}

void body(rt::Module& m) {
    m.import("sys");
    m.from_import("typing", {"Any", "Dict", "List", "Optional", "Sequence", "Union"});
    m.from_import("tavrix.exceptions", {"DataDecodingError"});
    m.from_import("transport_base", {"HttpSession"}, 1);
    m.from_import("helpers", {"Interval", "_to_dataframe", "resample_ohlcv_multi"}, 1);
    m.from_import("progress", {"start_progress", "update_progress", "finish_progress"}, 1);
    m.import("pandas", "pd");

    m.bind("ENDPOINT", rt::new_str("/market-data/eod/ohlcv"));

    price_batch::define_helpers(m);
    m.def("fetch_ohlcv", fetch_ohlcv,
          "(session: 'HttpSession', symbol: 'Union[str, Sequence[str]]', "
          "start: 'Optional[str]' = None, end: 'Optional[str]' = None, "
          "interval: 'Interval' = '1D', *, show_progress: 'bool' = True) -> 'pd.DataFrame'",
          "Fetch raw OHLCV data for one or multiple symbols.",
          {{"start", &PyUnicode_Type}, {"end", &PyUnicode_Type}});
}

}  // namespace

RT_MODULE(daily_bars, body)
