// InvestorFlowEngine: forwards investor-flow requests to the private endpoints and
// turns the JSON answers into DataFrames, resampled per entity when a coarser
// interval than daily is asked for.
//
// Every internal step goes through `self`, so a subclass that overrides one step
// (say `_request`) is honoured by the others; where the steps are our own the hot
// loops run here instead of through Python calls. Building and resampling the
// frames is the frames engine's (src/frames/).
#include <cmath>
#include <string>

#include "arrays.hpp"
#include "flows.hpp"
#include "frame.hpp"
#include "rt.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kEngineDoc =
    "Pure investor bridge.\n"
    "\n"
    "Forwards validated requests from the public client to the matching private\n"
    "investor endpoints and turns their JSON payloads into pandas DataFrames.\n";

constexpr const char* kUnexpectedPayload = "Unexpected payload format for investor endpoint.";
constexpr const char* kEntryNotObject = "Investor payload entries must be JSON objects.";

// Our own function objects, so that a step can tell whether `self` still uses them
// (and may then take the direct route) or a subclass replaced them. Held: the
// addresses must not come to name other objects. Running the module body again (a
// new module object for the same extension) replaces them and releases the old
// ones, so a discarded module is freed; the older module's steps then take the
// general route, which gives the same results.
PyObject* g_ensure_mapping = nullptr;
PyObject* g_strict_str = nullptr;

void hold(PyObject*& slot, py::handle value) { Py_XSETREF(slot, Py_NewRef(value.ptr())); }

// --- small helpers ------------------------------------------------------------------

// str(value) stripped, always an exact str: str() may give a str subclass, whose own
// strip() is not trusted to return text; its text is trimmed instead.
py::object stripped_text(py::handle value) {
    py::object plain = rt::steal_or_throw(PyUnicode_FromObject(rt::str(value).ptr()));
    return rt::call_method(plain, RT_METHOD("strip"));
}

using frames::text_of;

// dict(mapping): a new plain dict, as the dict constructor copies a mapping.
py::object copy_mapping(py::handle mapping) {
    py::object copy = rt::new_dict();
    if (PyDict_Merge(copy.ptr(), mapping.ptr(), 1) < 0) rt::throw_pending();
    return copy;
}

bool is_mapping(const rt::Call& c, py::handle obj) {
    return PyDict_Check(obj.ptr()) || rt::isinstance(obj, c.global(RT_STR("Mapping")));
}

py::object id_field(py::handle self, py::handle ns, py::handle fallback) {
    return rt::call_method(RT_ATTR(self, "_ID_FIELD"), RT_METHOD("get"), ns, fallback);
}

// True while `self.<name>` is still our own function, i.e. no subclass or
// instance attribute replaced that step.
bool uses_own(py::handle self, py::handle name, PyObject* ours) {
    if (ours == nullptr) return false;
    py::object bound = rt::getattr(self, name);
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == ours &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

// --- _strict_str ----------------------------------------------------------------------

// None and float NaN give "", anything else its stripped text. New reference.
py::object strict_str(py::handle value) {
    if (value.is_none()) return rt::new_str("");
    if (PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr())))
        return rt::new_str("");
    if (PyUnicode_CheckExact(value.ptr())) return rt::call_method(value, RT_METHOD("strip"));
    return stripped_text(value);
}

py::object strict_str_fn(rt::Call& c) { return strict_str(c[0]); }

// --- request building ---------------------------------------------------------------

py::object prepare_payload(rt::Call& c) {
    // Walked as a private copy: inserting a key runs its __hash__, which may change
    // the caller's dict under the walk. Copying runs no code of the caller's.
    py::object params = rt::steal_or_throw(PyDict_Copy(c[1].ptr()));
    py::object payload = rt::new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(params.ptr(), &pos, &key, &value))
        if (value != Py_None && PyDict_SetItem(payload.ptr(), key, value) < 0) rt::throw_pending();

    if (PyObject* ids = PyDict_GetItemWithError(payload.ptr(), RT_STR("ids").ptr())) {
        py::object ids_ref = py::reinterpret_borrow<py::object>(ids);
        py::object cleaned = rt::new_list();
        if (PyList_Check(ids) || PyTuple_Check(ids)) {
            rt::for_each(ids, [&](py::handle raw) {
                py::object item = stripped_text(raw);
                if (PyUnicode_GET_LENGTH(item.ptr()) > 0) rt::append(cleaned, item);
            });
        } else {
            rt::append(cleaned, stripped_text(ids_ref));
        }
        rt::set_item(payload, RT_STR("ids"), cleaned);
    } else if (PyErr_Occurred()) {
        rt::throw_pending();
    }

    struct Folded {
        py::handle key;
        bool upper;
    };
    for (const Folded& f : {Folded{RT_STR("group"), false}, Folded{RT_STR("interval"), true}}) {
        PyObject* raw = PyDict_GetItemWithError(payload.ptr(), f.key.ptr());
        if (raw == nullptr) {
            if (PyErr_Occurred()) rt::throw_pending();
            continue;
        }
        py::object s = stripped_text(py::reinterpret_borrow<py::object>(raw));
        s = f.upper ? rt::call_method(s, RT_METHOD("upper"))
                    : rt::call_method(s, RT_METHOD("lower"));
        // A blank value is sent as the caller gave it.
        if (PyUnicode_GET_LENGTH(s.ptr()) > 0) rt::set_item(payload, f.key, s);
    }

    for (py::handle key : {RT_STR("start"), RT_STR("end")}) {
        PyObject* raw = PyDict_GetItemWithError(payload.ptr(), key.ptr());
        if (raw == nullptr) {
            if (PyErr_Occurred()) rt::throw_pending();
            continue;
        }
        py::object value = py::reinterpret_borrow<py::object>(raw);
        // datetime first: every datetime is also a date. Its calendar date is sent
        // as written, with no time zone conversion.
        if (rt::isinstance(value, c.global(RT_STR("datetime")))) {
            py::object day = rt::call_method(value, RT_METHOD("date"));
            rt::set_item(payload, key, rt::call_method(day, RT_METHOD("isoformat")));
        } else if (rt::isinstance(value, c.global(RT_STR("date")))) {
            rt::set_item(payload, key, rt::call_method(value, RT_METHOD("isoformat")));
        } else {
            rt::set_item(payload, key, stripped_text(value));
        }
    }
    return payload;
}

py::object to_query_params(rt::Call& c) {
    // A private copy: str() of an id may change the caller's dict under the walk.
    py::object payload = rt::steal_or_throw(PyDict_Copy(c[1].ptr()));
    py::object query = rt::new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(payload.ptr(), &pos, &key, &value)) {
        py::object v = py::reinterpret_borrow<py::object>(value);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "ids") == 0 &&
            !PyUnicode_Check(value) && !PyBytes_Check(value) &&
            rt::isinstance(v, c.global(RT_STR("Iterable")))) {
            py::object parts = rt::new_list();
            rt::for_each(value, [&](py::handle raw) {
                py::object item = stripped_text(raw);
                if (PyUnicode_GET_LENGTH(item.ptr()) > 0) rt::append(parts, item);
            });
            v = rt::steal_or_throw(PyUnicode_Join(RT_STR(",").ptr(), parts.ptr()));
        }
        if (PyDict_SetItem(query.ptr(), key, v.ptr()) < 0) rt::throw_pending();
    }
    return query;
}

py::object request(rt::Call& c) {
    py::handle self = c[0], endpoint = c[1], payload = c[2];
    py::object response;
    try {
        static PyObject* names = rt::kwnames({RT_STR("json_body")});
        response = rt::call_method_kw(RT_ATTR(self, "session"), RT_STR("post"), {endpoint, payload},
                                      names);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        if (!handling.matches(c.global(RT_STR("HttpError")))) handling.reraise();
        py::object status = RT_ATTR(handling.error(), "status_code");
        bool fallback = false;
        for (long code : {404L, 405L})
            fallback = fallback || rt::compare(status, rt::new_int(code), Py_EQ);
        // Only "no such route" and "method not allowed" mean the endpoint may want a
        // GET; everything else is the caller's error, raised as the session raised it.
        if (!fallback) handling.reraise();
        py::object query = rt::call_method(self, RT_METHOD("_to_query_params"), payload);
        static PyObject* names = rt::kwnames({RT_STR("params")});
        response =
            rt::call_method_kw(RT_ATTR(self, "session"), RT_STR("get"), {endpoint, query}, names);
    }
    return rt::call_method(response, RT_METHOD("json"));
}

// --- payload normalisation ----------------------------------------------------------

// `field` is the identifier column, looked up (once, into `field`) only when a row
// is to be tagged, after the row was copied.
py::object ensure_mapping_impl(const rt::Call& c, py::handle self, py::handle entry, py::handle ns,
                               py::handle identifier, py::object& field) {
    if (!is_mapping(c, entry)) rt::raise_decoding(c, rt::new_str(kEntryNotObject));
    py::object row = copy_mapping(entry);
    if (!identifier.is_none()) {
        if (!field) field = id_field(self, ns, RT_STR("id"));
        int present = PyDict_Contains(row.ptr(), field.ptr());
        if (present < 0) rt::throw_pending();
        // The row's own value wins over the key it was filed under.
        if (!present && PyDict_SetItem(row.ptr(), field.ptr(), identifier.ptr()) < 0)
            rt::throw_pending();
    }
    return row;
}

py::object ensure_mapping(rt::Call& c) {
    py::handle self = c[0], entry = c[1], ns = c[2], identifier = c[3];
    py::object field;
    return ensure_mapping_impl(c, self, entry, ns, identifier, field);
}

// Appends the rows of `entries` (any iterable) to `out`, tagged with `identifier`
// unless it is None.
void collect_rows(const rt::Call& c, py::handle self, py::handle entries, py::handle ns,
                  py::handle identifier, py::handle out) {
    // The direct route skips the call's argument checks: a key that is not text
    // takes the call, which reports it.
    bool direct = uses_own(self, RT_STR("_ensure_mapping"), g_ensure_mapping) &&
                  (identifier.is_none() || PyUnicode_CheckExact(identifier.ptr()));
    py::object field;
    auto one = [&](py::handle entry) {
        if (direct) {
            rt::append(out, ensure_mapping_impl(c, self, entry, ns, identifier, field));
        } else if (identifier.is_none()) {
            rt::append(out, rt::call_method(self, RT_METHOD("_ensure_mapping"), entry, ns));
        } else {
            rt::append(out,
                       rt::call_method(self, RT_METHOD("_ensure_mapping"), entry, ns, identifier));
        }
    };
    if (PyList_CheckExact(entries.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i)
            one(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(entries.ptr(), i)));
        return;
    }
    rt::for_each(entries, one);
}

py::object normalise_records(rt::Call& c) {
    py::handle self = c[0], payload = c[1], ns = c[2];
    py::object rows = rt::new_list();
    if (payload.is_none()) return rows;
    if (PyList_Check(payload.ptr())) {
        collect_rows(c, self, payload, ns, py::none(), rows);
        return rows;
    }
    if (is_mapping(c, payload)) {
        for (py::handle key :
             {RT_STR("data"), RT_STR("results"), RT_STR("items"), RT_STR("records")}) {
            if (rt::contains(payload, key))
                return rt::call_method(self, RT_METHOD("_normalise_records"),
                                       rt::get_item(payload, key), ns);
        }
        py::object items = rt::call_method(payload, RT_METHOD("items"));
        py::object pairs = rt::steal_or_throw(PySequence_List(items.ptr()));
        bool keyed = true;
        for (py::handle pair : pairs)
            keyed = keyed && PyList_Check(rt::get_item(pair, rt::new_int(1)).ptr());
        if (keyed) {
            for (py::handle pair : pairs)
                collect_rows(c, self, rt::get_item(pair, rt::new_int(1)), ns,
                             rt::get_item(pair, rt::new_int(0)), rows);
            return rows;
        }
    }
    rt::raise_decoding(c, rt::new_str(kUnexpectedPayload));
}

py::object to_dataframe(rt::Call& c) {
    py::handle self = c[0], rows = c[1], ns = c[2];
    py::object pd = c.global(RT_STR("pd"));
    if (PyList_GET_SIZE(rows.ptr()) == 0) return rt::call(RT_ATTR(pd, "DataFrame"));
    py::object frame = frames::frame_from_rows(pd, rows);

    py::object columns = RT_ATTR(frame, "columns");
    py::object to_datetime = RT_ATTR(pd, "to_datetime");
    py::handle coerce = RT_STR("coerce");
    for (py::handle name :
         {RT_STR("date"), RT_STR("Date"), RT_STR("trade_date"), RT_STR("timestamp")}) {
        if (!rt::contains(columns, name)) continue;
        py::object column = rt::get_item(frame, name);
        bool epoch = false;
        if (PyUnicode_CompareWithASCIIString(name.ptr(), "timestamp") == 0) {
            py::object types = RT_ATTR(RT_ATTR(pd, "api"), "types");
            epoch = rt::truthy(rt::call_method(types, RT_METHOD("is_numeric_dtype"), column));
        }
        py::object converted;
        if (epoch) {
            static PyObject* names = rt::kwnames({RT_STR("unit"), RT_STR("errors")});
            converted = rt::call_kw(to_datetime, {column, RT_STR("s"), coerce}, names);
        } else {
            static PyObject* names = rt::kwnames({RT_STR("errors")});
            converted = rt::call_kw(to_datetime, {column, coerce}, names);
        }
        rt::set_item(frame, name, converted);
    }

    py::object keys = rt::new_list();
    py::object field = id_field(self, ns, py::none());
    if (rt::truthy(field) && rt::contains(columns, field)) rt::append(keys, field);
    if (rt::contains(columns, RT_STR("date"))) {
        rt::append(keys, RT_STR("date"));
    } else if (rt::contains(columns, RT_STR("Date"))) {
        rt::append(keys, RT_STR("Date"));
    }
    if (PyList_GET_SIZE(keys.ptr()) > 0 && !frames::already_sorted(pd, frame, keys)) {
        // Stable: rows of one entity and day keep the service's order.
        static PyObject* names = rt::kwnames({RT_STR("kind")});
        frame = rt::call_method_kw(frame, RT_STR("sort_values"), {keys, RT_STR("stable")}, names);
        static PyObject* drop = rt::kwnames({RT_STR("drop")});
        frame = rt::call_method_kw(frame, RT_STR("reset_index"), {Py_True}, drop);
    }
    return frame;
}

// --- resampling ---------------------------------------------------------------------

py::object dropna_on(py::handle frame, py::handle column) {
    py::object subset = rt::new_list();
    rt::append(subset, column);
    static PyObject* names = rt::kwnames({RT_STR("subset")});
    return rt::call_method_kw(frame, RT_STR("dropna"), {subset}, names);
}

// work[id] = work[id].apply(_strict_str); rows whose identifier is now "" dropped.
py::object clean_identifiers(const rt::Call& c, py::object work, py::handle id_col) {
    py::object column = rt::get_item(work, id_col);
    py::object cleaner = c.global(RT_STR("_strict_str"));
    std::string dtype = text_of(RT_ATTR(column, "dtype"));
    bool direct = cleaner.ptr() == g_strict_str &&
                  (dtype == "object" || dtype == "str" || dtype == "int64" || dtype == "float64");
    bool any_blank = true;
    if (direct) {
        // The same values apply() would hand the function, converted here.
        py::object values = rt::call_method(column, RT_METHOD("tolist"));
        Py_ssize_t n = PyList_GET_SIZE(values.ptr());
        py::object cleaned = rt::new_list(n);
        any_blank = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object s = strict_str(PyList_GET_ITEM(values.ptr(), i));
            any_blank = any_blank || PyUnicode_GET_LENGTH(s.ptr()) == 0;
            PyList_SET_ITEM(cleaned.ptr(), i, s.release().ptr());
        }
        py::object index = RT_ATTR(work, "index");
        static PyObject* names = rt::kwnames({RT_STR("index"), RT_STR("dtype")});
        column = rt::call_kw(RT_ATTR(c.global(RT_STR("pd")), "Series"),
                             {cleaned, index, RT_STR("object")}, names);
    } else {
        column = rt::call_method(column, RT_METHOD("apply"), cleaner);
    }
    rt::set_item(work, id_col, column);
    if (!any_blank) return work;
    py::object mask = rt::steal_or_throw(
        PyObject_RichCompare(rt::get_item(work, id_col).ptr(), RT_STR("").ptr(), Py_NE));
    return rt::get_item(work, mask);
}

// The rule handed to pandas. The contract's "1M" is calendar months labelled by
// their last day: pandas' "M", which pandas 2.2 renamed "ME" (warning for "M") and
// pandas 3 no longer accepts. A pandas that knows "ME" gets "1ME"; every other rule
// goes as given, with pandas' own meaning and errors.
py::object pandas_rule(const rt::Call& c, py::handle interval) {
    py::object given = py::reinterpret_borrow<py::object>(interval);
    if (PyUnicode_CompareWithASCIIString(interval.ptr(), "1M") != 0) return given;
    py::object pd = c.global(RT_STR("pd"));
    py::object month_end = py::reinterpret_borrow<py::object>(RT_STR("1ME"));
    try {
        rt::call(RT_ATTR(RT_ATTR(RT_ATTR(pd, "tseries"), "frequencies"), "to_offset"), month_end);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        if (!handling.matches(PyExc_ValueError)) handling.reraise();
        return given;  // a pandas before 2.2 knows month ends only as "M"
    }
    return month_end;
}

py::object resample_frame(rt::Call& c) {
    py::handle self = c[0], frame = c[1], ns = c[2], interval = c[3];
    py::object original = py::reinterpret_borrow<py::object>(frame);
    if (rt::truthy(RT_ATTR(frame, "empty"))) return original;
    py::object columns = RT_ATTR(frame, "columns");
    py::object date_col;
    if (rt::contains(columns, RT_STR("date"))) {
        date_col = py::reinterpret_borrow<py::object>(RT_STR("date"));
    } else if (rt::contains(columns, RT_STR("Date"))) {
        date_col = py::reinterpret_borrow<py::object>(RT_STR("Date"));
    } else {
        return original;
    }

    py::object work = dropna_on(frame, date_col);
    if (rt::truthy(RT_ATTR(work, "empty"))) return original;
    work = rt::call_method(work, RT_METHOD("copy"));
    static PyObject* errors = rt::kwnames({RT_STR("errors")});
    rt::set_item(work, date_col,
                 rt::call_kw(RT_ATTR(c.global(RT_STR("pd")), "to_datetime"),
                             {rt::get_item(work, date_col), RT_STR("coerce")}, errors));
    work = dropna_on(work, date_col);
    if (rt::truthy(RT_ATTR(work, "empty"))) return original;

    py::object work_columns = RT_ATTR(work, "columns");
    py::object id_col = py::none();
    py::object own = id_field(self, ns, py::none());
    for (py::handle candidate :
         {py::handle(own), RT_STR("symbol"), RT_STR("icb"), RT_STR("code"), RT_STR("ticker")}) {
        if (rt::truthy(candidate) && rt::contains(work_columns, candidate)) {
            id_col = py::reinterpret_borrow<py::object>(candidate);
            break;
        }
    }
    if (!id_col.is_none()) work = clean_identifiers(c, work, id_col);

    static PyObject* include = rt::kwnames({RT_STR("include")});
    py::object selected =
        rt::call_method_kw(work, RT_STR("select_dtypes"), {RT_STR("number")}, include);
    py::object selected_columns =
        rt::call_method(RT_ATTR(selected, "columns"), RT_METHOD("tolist"));
    frames::FlowFrame w{work, date_col, id_col, rt::new_list(), rt::new_list()};
    for (py::handle col : selected_columns)
        if (id_col.is_none() || !rt::compare(col, id_col, Py_EQ)) rt::append(w.numeric, col);
    if (PyList_GET_SIZE(w.numeric.ptr()) == 0) return original;
    if (rt::length(work) == 0) return original;  // identifier cleaning left no rows
    for (py::handle col : RT_ATTR(work, "columns"))
        if (!rt::contains(w.numeric, col) && !rt::compare(col, date_col, Py_EQ) &&
            !rt::compare(col, id_col, Py_EQ))
            rt::append(w.preserved, col);

    py::object rule = pandas_rule(c, interval);
    // Each entity's rows are labelled `_strict_str(key)`: only ours gives its own
    // result back unchanged, as the grouped pass's cleaned identifiers assume.
    if (w.id_col.is_none() || c.global(RT_STR("_strict_str")).ptr() == g_strict_str) {
        py::object result = frames::resample_flows(c.global(RT_STR("pd")), w, rule);
        if (!result.is_none()) return result;
    }
    // The labeller is needed (and looked up) only when there are entities to label.
    py::object label =
        w.id_col.is_none() ? py::object(py::none()) : c.global(RT_STR("_strict_str"));
    return frames::resample_flows_per_entity(c.global(RT_STR("pd")), w, rule, original, label);
}

// --- the driver -----------------------------------------------------------------------

py::object fetch_df(rt::Call& c) {
    py::handle self = c[0], params = c[3];
    py::object ns = rt::call_method(c[1], RT_METHOD("lower"));
    py::object table = RT_ATTR(self, "_NAMESPACE_OPS");
    if (!rt::contains(table, ns))
        rt::raise_format(PyExc_ValueError, "Unsupported investor namespace: %R", ns.ptr());
    py::object op = rt::call_method(c[2], RT_METHOD("lower"));
    py::object allowed = rt::get_item(table, ns);
    if (!rt::contains(allowed, op)) {
        py::object sorted_ops = rt::steal_or_throw(PySequence_List(allowed.ptr()));
        if (PyList_Sort(sorted_ops.ptr()) < 0) rt::throw_pending();
        rt::raise_format(PyExc_ValueError,
                         "Operation %R is not available for namespace %R. Allowed operations: %S.",
                         op.ptr(), ns.ptr(), sorted_ops.ptr());
    }
    py::object endpoint = rt::format("/market-data/investor/%U/%U", ns.ptr(), op.ptr());
    py::object payload = rt::call_method(self, RT_METHOD("_prepare_payload"), params);

    py::object ids = rt::call_method(payload, RT_METHOD("get"), RT_STR("ids"));
    py::object rows;
    if (PyList_Check(ids.ptr()) && PyList_GET_SIZE(ids.ptr()) > 1) {
        py::object collected = rt::new_list();
        py::object label = rt::format("%U:%U", ns.ptr(), op.ptr());
        rt::call(c.global(RT_STR("start_progress")), rt::new_int(PyList_GET_SIZE(ids.ptr())),
                 label);
        rt::try_finally(
            [&]() -> py::object {
                // Rows of a bare or enveloped answer do not say which id they are
                // for: tag them, or resampling would add the ids together.
                py::object field = id_field(self, ns, RT_STR("id"));
                long done = 0;
                rt::for_each(ids, [&](py::handle ident) {
                    py::object one = copy_mapping(payload);
                    py::object only = rt::new_list();
                    rt::append(only, ident);
                    rt::set_item(one, RT_STR("ids"), only);
                    py::object response =
                        rt::call_method(self, RT_METHOD("_request"), endpoint, one);
                    py::object records =
                        rt::call_method(self, RT_METHOD("_normalise_records"), response, ns);
                    rt::for_each(records, [&](py::handle record) {
                        if (!rt::contains(record, field)) rt::set_item(record, field, ident);
                        rt::append(collected, record);
                    });
                    rt::call(c.global(RT_STR("update_progress")), rt::new_int(++done));
                });
                return py::none();
            },
            [&] { rt::call(c.global(RT_STR("finish_progress"))); });
        rows = collected;
    } else {
        py::object response = rt::call_method(self, RT_METHOD("_request"), endpoint, payload);
        rows = rt::call_method(self, RT_METHOD("_normalise_records"), response, ns);
    }

    py::object frame = rt::call_method(self, RT_METHOD("_to_dataframe"), rows, ns);
    py::object interval =
        rt::call_method(payload, RT_METHOD("get"), RT_STR("interval"), RT_STR("1D"));
    if (PyUnicode_Check(interval.ptr())) {
        py::object upper = rt::call_method(interval, RT_METHOD("upper"));
        if (!rt::compare(upper, RT_STR("1D"), Py_EQ))
            frame = rt::call_method(self, RT_METHOD("_resample_frame"), frame, ns, upper);
    }
    return frame;
}

py::object engine_init(rt::Call& c) {
    rt::setattr(c[0], RT_STR("session"), c[1]);
    return py::none();
}

void body(rt::Module& m) {
    m.from_import("datetime", {"date", "datetime"});
    m.from_import("typing", {"Any", "Iterable", "Mapping"});
    m.import("pandas", "pd");
    m.from_import("tavrix.exceptions", {"DataDecodingError", "HttpError"});
    m.from_import("transport_base", {"HttpSession"}, 2);
    m.from_import("progress", {"finish_progress", "start_progress", "update_progress"}, 2);

    m.bind("Namespace", py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    m.bind("Operation", py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    py::object strict = m.function("_strict_str", strict_str_fn, "(value: Any) -> str");
    m.bind("_strict_str", strict);
    hold(g_strict_str, strict);

    auto str = &PyUnicode_Type;
    auto dict = &PyDict_Type;
    py::object ops = rt::new_dict();
    auto ops_set = [](std::initializer_list<const char*> names) {
        py::object set = rt::steal_or_throw(PySet_New(nullptr));
        for (const char* n : names)
            if (PySet_Add(set.ptr(), rt::new_str(n).ptr()) < 0) rt::throw_pending();
        return set;
    };
    rt::set_item(ops, RT_STR("stock"), ops_set({"flow", "breakdown", "foreign_room"}));
    rt::set_item(ops, RT_STR("market"), ops_set({"flow", "breakdown"}));
    rt::set_item(ops, RT_STR("sector"), ops_set({"flow", "breakdown", "foreign_room"}));
    py::object id_fields = rt::new_dict();
    rt::set_item(id_fields, RT_STR("stock"), RT_STR("symbol"));
    rt::set_item(id_fields, RT_STR("market"), RT_STR("symbol"));
    rt::set_item(id_fields, RT_STR("sector"), RT_STR("icb"));

    py::object cls =
        m.cls("InvestorFlowEngine")
            .doc(kEngineDoc)
            .annotations({{"_NAMESPACE_OPS", "Mapping[Namespace, set[Operation]]"},
                          {"_ID_FIELD", "Mapping[Namespace, str]"}})
            .attr("_NAMESPACE_OPS", ops)
            .attr("_ID_FIELD", id_fields)
            .method("__init__", engine_init, "(self, session: HttpSession) -> None")
            .method("fetch_df", fetch_df,
                    "(self, namespace: Namespace, op: Operation, params: dict[str, Any]) "
                    "-> pd.DataFrame",
                    nullptr, {{"params", dict}})
            .method("_prepare_payload", prepare_payload,
                    "(self, params: dict[str, Any]) -> dict[str, Any]", nullptr, {{"params", dict}})
            .method("_request", request, "(self, endpoint: str, payload: dict[str, Any]) -> Any",
                    nullptr, {{"endpoint", str}, {"payload", dict}})
            .method("_to_query_params", to_query_params,
                    "(self, payload: dict[str, Any]) -> dict[str, Any]", nullptr,
                    {{"payload", dict}})
            .method("_normalise_records", normalise_records,
                    "(self, payload: Any, namespace: Namespace) -> list[dict[str, Any]]")
            .method("_ensure_mapping", ensure_mapping,
                    "(self, entry: Any, namespace: Namespace, identifier: str | None = None) "
                    "-> dict[str, Any]",
                    nullptr, {{"identifier", str}})
            .method("_to_dataframe", to_dataframe,
                    "(self, rows: list[dict[str, Any]], namespace: Namespace) -> pd.DataFrame",
                    nullptr, {{"rows", &PyList_Type}})
            .method("_resample_frame", resample_frame,
                    "(self, frame: pd.DataFrame, namespace: Namespace, interval: str) "
                    "-> pd.DataFrame",
                    nullptr, {{"interval", str}})
            .build();
    hold(g_ensure_mapping, rt::get_item(RT_ATTR(cls, "__dict__"), RT_STR("_ensure_mapping")));
    m.bind("InvestorFlowEngine", cls);
}

}  // namespace

RT_MODULE(flow_engine, body)
