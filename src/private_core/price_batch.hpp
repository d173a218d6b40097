// What the two price-series modules (daily_bars, tick_feed) share: the symbol
// normaliser, the console progress bar, and the per-symbol batch loop behind their
// three fetchers. Each module binds its own function objects over this one code.
//
// Every module-level name the loop uses (the normaliser, the endpoint constant,
// DataDecodingError, the progress hooks, the frame helpers, pd) is read from the
// calling module's namespace at the point of use, so a replaced attribute takes
// effect on the next call.
#pragma once

#include <cmath>

#include "rt.hpp"

namespace price_batch {

namespace py = pybind11;

// --- _normalize_symbols -----------------------------------------------------------

// The trimmed, upper-cased text of a string. A str subclass counts by its text: its
// own strip() or upper() may return anything, and a symbol must stay plain text that
// hashes and compares as text. Always an exact str.
inline py::object symbol_text(py::handle text) {
    py::object plain = rt::steal_or_throw(PyUnicode_FromObject(text.ptr()));
    py::object cleaned = rt::call_method(plain, RT_METHOD("strip"));
    if (PyUnicode_GET_LENGTH(cleaned.ptr()) == 0) return cleaned;
    return rt::call_method(cleaned, RT_METHOD("upper"));
}

// Symbols are normalised (trimmed, upper-cased) before duplicates are dropped, so
// "abc" and " ABC" are one symbol, fetched once; the caller's order is kept.
inline py::object normalize_symbols(rt::Call& c) {
    py::handle symbols = c[0];
    if (PyUnicode_Check(symbols.ptr())) {
        py::object symbol = symbol_text(symbols);
        if (PyUnicode_GET_LENGTH(symbol.ptr()) == 0)
            rt::raise_error(PyExc_ValueError, "symbol must not be empty.");
        py::object result = rt::new_list();
        rt::append(result, symbol);
        return result;
    }
    // bytes is a Sequence too, but of integers, never of symbols.
    if (PyBytes_Check(symbols.ptr()) || !rt::isinstance(symbols, c.global(RT_STR("Sequence"))))
        rt::raise_error(PyExc_TypeError, "symbol must be a string or a sequence of strings.");

    py::object items = rt::steal_or_throw(PySequence_List(symbols.ptr()));
    // Every element is checked before any is used: an unhashable or otherwise
    // foreign element gets this message, never a hashing error.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
        if (!PyUnicode_Check(PyList_GET_ITEM(items.ptr(), i)))
            rt::raise_error(PyExc_TypeError, "All symbols in the sequence must be strings.");

    py::object normalised = rt::new_list();
    py::object seen = rt::steal_or_throw(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::object symbol = symbol_text(PyList_GET_ITEM(items.ptr(), i));
        if (PyUnicode_GET_LENGTH(symbol.ptr()) == 0) continue;
        int known = PySet_Contains(seen.ptr(), symbol.ptr());
        if (known < 0) rt::throw_pending();
        if (known) continue;
        if (PySet_Add(seen.ptr(), symbol.ptr()) < 0) rt::throw_pending();
        rt::append(normalised, symbol);
    }
    if (PyList_GET_SIZE(normalised.ptr()) == 0)
        rt::raise_error(PyExc_ValueError,
                        "symbol sequence must contain at least one non-empty string.");
    return normalised;
}

// --- _render_progress ---------------------------------------------------------------

constexpr long kBarWidth = 49;

// Writes through sys.stdout as it is bound at each write, so redirected or captured
// output receives the bar.
inline void stdout_write(rt::Call& c, py::handle text) {
    py::object out = RT_ATTR(c.global(RT_STR("sys")), "stdout");
    rt::call_method(out, RT_METHOD("write"), text);
}

inline void stdout_flush(rt::Call& c) {
    py::object out = RT_ATTR(c.global(RT_STR("sys")), "stdout");
    rt::call_method(out, RT_METHOD("flush"));
}

inline py::object render_progress(rt::Call& c) {
    py::handle current = c[0], total = c[1], symbol = c[2];
    py::object zero = rt::new_int(0);
    if (rt::compare(total, zero, Py_LE)) return py::none();

    // Python's own arithmetic throughout: the ratio is a double, the cell count and
    // percentage are truncated toward zero, and nothing is clamped.
    py::object ratio = rt::steal_or_throw(PyNumber_TrueDivide(current.ptr(), total.ptr()));
    const double progress = PyFloat_AsDouble(ratio.ptr());
    if (progress == -1.0 && PyErr_Occurred()) rt::throw_pending();
    py::object filled =
        rt::steal_or_throw(PyLong_FromDouble(static_cast<double>(kBarWidth) * progress));
    py::object open =
        rt::steal_or_throw(PyNumber_Subtract(rt::new_int(kBarWidth).ptr(), filled.ptr()));
    py::object done_cells = rt::steal_or_throw(PyNumber_Multiply(RT_STR("*").ptr(), filled.ptr()));
    py::object open_cells = rt::steal_or_throw(PyNumber_Multiply(RT_STR(" ").ptr(), open.ptr()));
    py::object percent = rt::steal_or_throw(PyLong_FromDouble(progress * 100.0));
    py::object percent_text =
        rt::steal_or_throw(PyObject_Format(percent.ptr(), RT_STR("3d").ptr()));

    py::object parts = rt::new_tuple(RT_STR("\r["), done_cells, open_cells, RT_STR("] "),
                                     percent_text, RT_STR("%  "), rt::str(current), RT_STR(" of "),
                                     rt::str(total), RT_STR(" completed | "), symbol);
    py::object message = rt::steal_or_throw(PyUnicode_Join(RT_STR("").ptr(), parts.ptr()));

    stdout_write(c, message);
    stdout_flush(c);
    if (rt::compare(current, total, Py_EQ)) {
        stdout_write(c, RT_STR("\n"));
        stdout_flush(c);
    }
    return py::none();
}

// Binds both helpers into a price module, in this order, with their documented
// surface. Annotations stay texts, as everywhere in these modules.
inline void define_helpers(rt::Module& m) {
    m.def("_normalize_symbols", normalize_symbols,
          "(symbols: 'Union[str, Sequence[str]]') -> 'List[str]'",
          "Return a normalised, non-empty list of uppercase symbols.");
    m.def("_render_progress", render_progress,
          "(current: 'int', total: 'int', symbol: 'str') -> 'None'", "Render a progress bar",
          {{"current", &PyLong_Type}, {"total", &PyLong_Type}, {"symbol", &PyUnicode_Type}});
}

// --- the batch loop -------------------------------------------------------------------

// What tells the three fetchers apart, besides their query parameters.
struct Batch {
    py::handle endpoint;  // interned name of the module constant holding the path
    const char* label;    // for start_progress
    const char* wording;  // "OHLCV" or "orderbook", in the DataDecodingError messages
    bool resample;        // hand the frame to resample_ohlcv_multi
};

// Adds the non-empty text argument `value` under `key`; None and "" are left out.
inline void set_if_text(py::handle params, py::handle key, py::handle value) {
    if (PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0)
        rt::set_item(params, key, value);
}

// "Backend returned error for <symbol>: <error>", the error read as payload["error"].
[[noreturn]] inline void raise_backend_error(rt::Call& c, py::handle payload, py::handle symbol) {
    py::object error = rt::get_item(payload, RT_STR("error"));
    py::object parts = rt::new_tuple(RT_STR("Backend returned error for "), rt::str(symbol),
                                     RT_STR(": "), rt::str(error));
    rt::raise_decoding(c, rt::steal_or_throw(PyUnicode_Join(RT_STR("").ptr(), parts.ptr())));
}

// The hot path: one new row per element, "symbol" first, then the element's own
// keys in order (its own "symbol" overrides the value, not the position).
inline void append_row(rt::Call& c, py::handle rows, py::handle symbol, py::handle item,
                       const Batch& batch) {
    if (!PyDict_Check(item.ptr()))
        rt::raise_decoding(c, rt::format("Each %s row must be a dictionary.", batch.wording));
    // Room for the element's keys and "symbol", in the table the running interpreter
    // fills fastest (rt::new_dict).
    py::object row = rt::new_dict(PyDict_GET_SIZE(item.ptr()) + 1);
    rt::set_item(row, RT_STR("symbol"), symbol);
    if (PyDict_Update(row.ptr(), item.ptr()) < 0) rt::throw_pending();
    rt::append(rows, row);
}

// Decodes one symbol's reply and appends its rows.
inline void collect_rows(rt::Call& c, py::handle rows, py::handle symbol, py::handle response,
                         const Batch& batch) {
    py::object payload = rt::response_json(response, [&](py::handle error) -> py::object {
        rt::raise_decoding(c, rt::format("Unable to decode %s response as JSON", batch.wording),
                           error);
    });
    if (!PyDict_Check(payload.ptr()))
        rt::raise_decoding(
            c, rt::format("Unexpected payload structure for %s response.", batch.wording));
    if (rt::truthy(rt::mapping_get(payload, RT_STR("error"))))
        raise_backend_error(c, payload, symbol);
    py::object data = rt::mapping_get(payload, RT_STR("data"));
    if (!PyList_Check(data.ptr()))
        rt::raise_decoding(c,
                           rt::format("Unexpected payload format for %s series.", batch.wording));

    if (PyList_CheckExact(data.ptr())) {
        // As list iteration does: the length is read again at each step, and the
        // element is held while a mapping subclass's own code may run.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.ptr()); ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(data.ptr(), i));
            append_row(c, rows, symbol, item, batch);
        }
        return;
    }
    rt::for_each(data, [&](py::handle item) { append_row(c, rows, symbol, item, batch); });
}

inline PyObject* params_keyword() {
    static PyObject* names = rt::kwnames({RT_STR("params")});
    return names;
}

inline PyObject* interval_keyword() {
    static PyObject* names = rt::kwnames({RT_STR("interval")});
    return names;
}

// One GET per normalised symbol, in order; rows tagged with their symbol; progress
// through the hooks; one frame at the end. Any error ends the call with nothing
// returned, and finish_progress is then not called. `build_params(symbol)` returns
// the query mapping of one request; `interval` is used only when resampling.
template <class BuildParams>
py::object fetch_batch(rt::Call& c, const Batch& batch, py::handle session, py::handle symbol,
                       py::handle interval, py::handle show_progress, BuildParams&& build_params) {
    py::object symbols = rt::call(c.global(RT_STR("_normalize_symbols")), symbol);
    Py_ssize_t total = rt::length(symbols);
    py::object rows = rt::new_list();
    rt::call(c.global(RT_STR("start_progress")), rt::new_int(total), rt::new_str(batch.label));

    Py_ssize_t index = 0;
    rt::for_each(symbols, [&](py::handle current) {
        ++index;
        py::object params = build_params(current);
        py::object response = rt::call_method_kw(
            session, RT_STR("get"), {c.global(batch.endpoint), params}, params_keyword());
        collect_rows(c, rows, current, response, batch);
        if (rt::truthy(show_progress))
            rt::call(c.global(RT_STR("update_progress")), rt::new_int(index));
    });

    rt::call(c.global(RT_STR("finish_progress")));
    if (PyList_GET_SIZE(rows.ptr()) == 0)
        return rt::call(RT_ATTR(c.global(RT_STR("pd")), "DataFrame"));
    py::object frame = rt::call(c.global(RT_STR("_to_dataframe")), rows);
    if (!batch.resample) return frame;
    return rt::call_kw(c.global(RT_STR("resample_ohlcv_multi")), {frame, interval},
                       interval_keyword());
}

}  // namespace price_batch
