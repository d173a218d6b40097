// The authenticated HTTP session: session-wide headers, URL resolution against the
// backend root, a default timeout, and HttpError for transport failures and HTTP
// statuses of 400 and above.
#include "rt.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kTransportFailure = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!";

py::object default_user_agent(rt::Call& c) {
    return py::str("tavrix/") + py::reinterpret_borrow<py::str>(c[0]);
}

py::object init(rt::Call& c) {
    py::handle self = c[0], api_key = c[1], base_url = c[2], version = c[3], timeout = c[4],
               user_agent = c[5];
    self.attr(RT_STR("api_key")) = api_key;
    self.attr(RT_STR("base_url")) = base_url.attr("rstrip")("/");
    self.attr(RT_STR("timeout")) = timeout;
    py::object session = c.global(RT_STR("requests")).attr("Session")();
    self.attr(RT_STR("_session")) = session;

    py::dict headers;
    headers["Authorization"] = py::str("Bearer ") + py::reinterpret_borrow<py::str>(api_key);
    headers["Accept"] = "application/json";
    headers["Content-Type"] = "application/json";
    headers["User-Agent"] = rt::truthy(user_agent)
                                ? py::reinterpret_borrow<py::object>(user_agent)
                                : c.global(RT_STR("_default_user_agent"))(version);
    session.attr(RT_STR("headers")).attr("update")(headers);
    return py::none();
}

py::object prepare_url(rt::Call& c) {
    py::str path = py::reinterpret_borrow<py::str>(c[1]);
    if (path.attr("startswith")(py::make_tuple("http://", "https://")).cast<bool>()) return path;
    py::object base = c[0].attr(RT_STR("base_url"));
    return c.global(RT_STR("urljoin"))(base + py::str("/"), path.attr("lstrip")("/"));
}

py::object request(rt::Call& c) {
    py::handle self = c[0], method = c[1], path = c[2], params = c[3], json_body = c[4],
               data = c[5], headers = c[6], timeout = c[7];
    py::object url = self.attr(RT_STR("_prepare_url"))(path);
    py::dict merged_headers;
    if (rt::truthy(headers)) merged_headers.attr("update")(headers);
    c.global(RT_STR("logger")).attr("debug")("HTTP %s %s params=%s", method, url, params);

    py::object response;
    try {
        py::object effective_headers =
            merged_headers.empty() ? py::object(py::none()) : merged_headers;
        py::object effective_timeout = rt::truthy(timeout)
                                           ? py::reinterpret_borrow<py::object>(timeout)
                                           : self.attr(RT_STR("timeout"));
        response = self.attr(RT_STR("_session"))
                       .attr("request")(method, url, py::arg("params") = params,
                                        py::arg("json") = json_body, py::arg("data") = data,
                                        py::arg("headers") = effective_headers,
                                        py::arg("timeout") = effective_timeout);
    } catch (py::error_already_set& exc) {
        rt::Handling handling(exc);
        if (!exc.matches(c.global(RT_STR("requests")).attr("RequestException"))) throw;
        py::object HttpError = rt::import_from(c.globals(), "tavrix.exceptions", "HttpError");
        rt::raise_from(HttpError(kTransportFailure), exc.value());
    }

    py::object status = response.attr(RT_STR("status_code"));
    if (status >= py::int_(400)) {
        py::object payload;
        try {
            payload = response.attr("json")();
        } catch (py::error_already_set& exc) {
            rt::Handling handling(exc);
            if (!exc.matches(PyExc_ValueError)) throw;
            payload = response.attr("text");
        }
        py::object HttpError = rt::import_from(c.globals(), "tavrix.exceptions", "HttpError");
        py::str message = py::str("Tavrix backend returned HTTP ") + py::str(status) +
                          py::str(" for ") + py::str(url);
        rt::raise(
            HttpError(message, py::arg("status_code") = status, py::arg("payload") = payload));
    }
    return response;
}

py::object get(rt::Call& c) {
    return c[0].attr(RT_STR("request"))("GET", c[1], py::arg("params") = c[2],
                                        py::arg("headers") = c[3], py::arg("timeout") = c[4]);
}

py::object post(rt::Call& c) {
    return c[0].attr(RT_STR("request"))("POST", c[1], py::arg("json_body") = c[2],
                                        py::arg("data") = c[3], py::arg("headers") = c[4],
                                        py::arg("timeout") = c[5]);
}

py::object close(rt::Call& c) {
    c[0].attr(RT_STR("_session")).attr("close")();
    return py::none();
}

py::object enter(rt::Call& c) { return py::reinterpret_borrow<py::object>(c[0]); }

py::object exit(rt::Call& c) {
    c[0].attr(RT_STR("close"))();
    return py::none();
}

void body(rt::Module& m) {
    m.import("logging");
    m.import("typing");
    m.from_import("typing", {"Any", "Optional"});
    m.from_import("urllib.parse", {"urljoin"});
    m.import("requests");

    m.bind("BASE_URL", py::str("https://api.tavrix.example/api/v1/tavrix"));
    m.bind("DEFAULT_TIMEOUT", py::int_(30));
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
