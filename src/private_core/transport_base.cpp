// The authenticated HTTP session: session-wide headers, URL resolution against the
// backend root, a default timeout, and HttpError for transport failures and HTTP
// statuses of 400 and above.
#include "rt.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kTransportFailure = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!";

py::object concat(py::handle left, py::handle right) {
    return rt::steal_or_throw(PyUnicode_Concat(left.ptr(), right.ptr()));
}

py::object default_user_agent(rt::Call& c) { return concat(RT_STR("tavrix/"), c[0]); }

py::object init(rt::Call& c) {
    py::handle self = c[0], api_key = c[1], base_url = c[2], version = c[3], timeout = c[4],
               user_agent = c[5];
    rt::setattr(self, RT_STR("api_key"), api_key);
    rt::setattr(self, RT_STR("base_url"),
                rt::call_method(base_url, RT_METHOD("rstrip"), RT_STR("/")));
    rt::setattr(self, RT_STR("timeout"), timeout);
    py::object session = rt::call_method(c.global(RT_STR("requests")), RT_METHOD("Session"));
    rt::setattr(self, RT_STR("_session"), session);

    py::object headers = rt::new_dict();
    rt::set_item(headers, RT_STR("Authorization"), concat(RT_STR("Bearer "), api_key));
    rt::set_item(headers, RT_STR("Accept"), RT_STR("application/json"));
    rt::set_item(headers, RT_STR("Content-Type"), RT_STR("application/json"));
    rt::set_item(headers, RT_STR("User-Agent"),
                 rt::truthy(user_agent)
                     ? py::reinterpret_borrow<py::object>(user_agent)
                     : rt::call(c.global(RT_STR("_default_user_agent")), version));
    rt::call_method(RT_ATTR(session, "headers"), RT_METHOD("update"), headers);
    return py::none();
}

py::object prepare_url(rt::Call& c) {
    py::handle path = c[1];
    // Made once: a constant of the function, like the tuple in its Python form.
    static PyObject* schemes = rt::new_tuple(RT_STR("http://"), RT_STR("https://")).release().ptr();
    if (rt::truthy(rt::call_method(path, RT_METHOD("startswith"), schemes)))
        return py::reinterpret_borrow<py::object>(path);
    py::object base =
        rt::steal_or_throw(PyNumber_Add(RT_ATTR(c[0], "base_url").ptr(), RT_STR("/").ptr()));
    return rt::call(c.global(RT_STR("urljoin")), base,
                    rt::call_method(path, RT_METHOD("lstrip"), RT_STR("/")));
}

py::object request(rt::Call& c) {
    py::handle self = c[0], method = c[1], path = c[2], params = c[3], json_body = c[4],
               data = c[5], headers = c[6], timeout = c[7];
    py::object url = rt::call_method(self, RT_METHOD("_prepare_url"), path);
    py::object merged_headers = rt::new_dict();
    if (rt::truthy(headers) && PyDict_Update(merged_headers.ptr(), headers.ptr()) < 0)
        rt::throw_pending();
    rt::call_method(c.global(RT_STR("logger")), RT_METHOD("debug"), RT_STR("HTTP %s %s params=%s"),
                    method, url, params);

    py::object response;
    try {
        py::object effective_headers =
            PyDict_GET_SIZE(merged_headers.ptr()) == 0 ? py::object(py::none()) : merged_headers;
        py::object effective_timeout = rt::truthy(timeout)
                                           ? py::reinterpret_borrow<py::object>(timeout)
                                           : RT_ATTR(self, "timeout");
        static PyObject* kwnames = rt::kwnames({RT_STR("params"), RT_STR("json"), RT_STR("data"),
                                                RT_STR("headers"), RT_STR("timeout")});
        response = rt::call_method_kw(
            RT_ATTR(self, "_session"), RT_STR("request"),
            {method, url, params, json_body, data, effective_headers, effective_timeout}, kwnames);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        if (!handling.matches(RT_ATTR(c.global(RT_STR("requests")), "RequestException")))
            handling.reraise();
        py::object HttpError = rt::import_from(c.globals(), "tavrix.exceptions", "HttpError");
        rt::raise_from(rt::call(HttpError, rt::new_str(kTransportFailure)), handling.error());
    }

    py::object status = RT_ATTR(response, "status_code");
    if (rt::compare(status, rt::new_int(400), Py_GE)) {
        // A body that is not JSON is handed on as its text.
        py::object payload = rt::response_json(
            response, [&](py::handle) -> py::object { return RT_ATTR(response, "text"); });
        py::object HttpError = rt::import_from(c.globals(), "tavrix.exceptions", "HttpError");
        // The URL joined as `+` joins it: a str subclass keeps its own text (and may
        // answer through __radd__).
        py::object message = rt::steal_or_throw(
            PyNumber_Add(rt::format("Tavrix backend returned HTTP %S for ", status.ptr()).ptr(),
                         url.ptr()));
        static PyObject* kwnames = rt::kwnames({RT_STR("status_code"), RT_STR("payload")});
        rt::raise(rt::call_kw(HttpError, {message, status, payload}, kwnames));
    }
    return response;
}

py::object get(rt::Call& c) {
    static PyObject* kwnames =
        rt::kwnames({RT_STR("params"), RT_STR("headers"), RT_STR("timeout")});
    return rt::call_method_kw(c[0], RT_STR("request"), {RT_STR("GET"), c[1], c[2], c[3], c[4]},
                              kwnames);
}

py::object post(rt::Call& c) {
    static PyObject* kwnames =
        rt::kwnames({RT_STR("json_body"), RT_STR("data"), RT_STR("headers"), RT_STR("timeout")});
    return rt::call_method_kw(c[0], RT_STR("request"),
                              {RT_STR("POST"), c[1], c[2], c[3], c[4], c[5]}, kwnames);
}

py::object close(rt::Call& c) {
    rt::call_method(RT_ATTR(c[0], "_session"), RT_METHOD("close"));
    return py::none();
}

py::object enter(rt::Call& c) { return py::reinterpret_borrow<py::object>(c[0]); }

py::object exit(rt::Call& c) {
    rt::call_method(c[0], RT_METHOD("close"));
    return py::none();
}

void body(rt::Module& m) {
    m.import("logging");
    m.import("typing");
    m.from_import("typing", {"Any", "Optional"});
    m.from_import("urllib.parse", {"urljoin"});
    m.import("requests");

    m.bind("BASE_URL", rt::new_str("https://api.tavrix.example/api/v1/tavrix"));
    m.bind("DEFAULT_TIMEOUT", rt::new_int(30));
    m.bind("logger", m.dict()["logging"].attr("getLogger")(m.name()));

    m.def("_default_user_agent", default_user_agent, "(version: str) -> str", nullptr,
          {{"version", &PyUnicode_Type}});

    auto str = &PyUnicode_Type;
    auto integer = &PyLong_Type;
    auto dict = &PyDict_Type;
    py::object cls =
        m.cls("HttpSession")
            .doc("Lightweight wrapper around :class:`requests.Session` with Tavrix defaults.")
            .method("__init__", init,
                    "(self, api_key: str, *, base_url: str = BASE_URL, version: str = '0.0.0', "
                    "timeout: int = DEFAULT_TIMEOUT, user_agent: Optional[str] = None) -> None",
                    nullptr,
                    {{"api_key", str},
                     {"base_url", str},
                     {"version", str},
                     {"timeout", integer},
                     {"user_agent", str}})
            .method("_prepare_url", prepare_url, "(self, path: str) -> str", nullptr,
                    {{"path", str}})
            .method("request", request,
                    "(self, method: str, path: str, *, params: Optional[dict] = None, "
                    "json_body: Optional[dict] = None, data: Any = None, "
                    "headers: Optional[dict] = None, timeout: Optional[int] = None) "
                    "-> requests.Response",
                    nullptr,
                    {{"method", str},
                     {"path", str},
                     {"params", dict},
                     {"json_body", dict},
                     {"headers", dict},
                     {"timeout", integer}})
            .method("get", get,
                    "(self, path: str, *, params: Optional[dict] = None, "
                    "headers: Optional[dict] = None, timeout: Optional[int] = None) "
                    "-> requests.Response",
                    nullptr,
                    {{"path", str}, {"params", dict}, {"headers", dict}, {"timeout", integer}})
            .method("post", post,
                    "(self, path: str, *, json_body: Optional[dict] = None, data: Any = None, "
                    "headers: Optional[dict] = None, timeout: Optional[int] = None) "
                    "-> requests.Response",
                    nullptr,
                    {{"path", str}, {"json_body", dict}, {"headers", dict}, {"timeout", integer}})
            .method("close", close, "(self) -> None")
            .method("__enter__", enter, "(self) -> 'HttpSession'")
            .method("__exit__", exit, "(self, exc_type, exc_value, traceback) -> None")
            .build();
    m.bind("HttpSession", cls);
}

}  // namespace

RT_MODULE(transport_base, body)
