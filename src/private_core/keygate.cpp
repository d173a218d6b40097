// API key validation: the client's login check against the backend. Every failure,
// whether the backend refuses, the network fails or the answer is malformed, becomes
// ApiKeyValidationError chained to its cause.
#include "rt.hpp"

namespace {

namespace py = pybind11;

py::object logger(rt::Call& c) { return c.global(RT_STR("logger")); }

// The error text a failed HTTP answer carries: the JSON object's "detail" (if truthy)
// or "message", or a text body stripped. None when there is nothing usable (empty).
py::object payload_message(py::handle payload) {
    py::object message = py::none();
    if (PyDict_Check(payload.ptr())) {
        message = rt::call_method(payload, RT_METHOD("get"), RT_STR("detail"));
        if (!rt::truthy(message)) {
            message = rt::call_method(payload, RT_METHOD("get"), RT_STR("message"));
        }
    } else if (PyUnicode_Check(payload.ptr())) {
        message = rt::call_method(payload, RT_METHOD("strip"));
    }
    if (!rt::truthy(message)) return py::none();
    // A list of field errors or a number is still worth showing, but as text: the
    // exception's message must be a string.
    if (!PyUnicode_Check(message.ptr())) {
        message = rt::str(message);
    }
    return message;
}

[[noreturn]] void reject_http_error(rt::Call& c, py::handle error) {
    py::object status = RT_ATTR(error, "status_code");
    py::object payload = RT_ATTR(error, "payload");
    rt::call_method(logger(c), RT_METHOD("error"),
                    RT_STR("Backend rejected API key validation (status=%s, payload=%s)"), status,
                    payload);

    py::object message = payload_message(payload);
    if (message.is_none() || !rt::truthy(message)) {  // str() of a value may be empty
        py::object status_text = rt::steal_or_throw(PyObject_Format(status.ptr(), nullptr));
        message = rt::format("Backend rejected API key validation (HTTP %U)", status_text.ptr());
    }
    rt::raise_from(rt::call(c.global(RT_STR("ApiKeyValidationError")), message), error);
}

py::object validate_api_key(rt::Call& c) {
    py::handle session = c[0], client_version = c[1], include_messages = c[2], extra_context = c[3];

    // Read before the guarded send: a session without a key is the caller's mistake,
    // not a failed validation.
    py::object body = rt::new_dict();
    rt::set_item(body, RT_STR("apiKey"), RT_ATTR(session, "api_key"));
    rt::set_item(body, RT_STR("clientVersion"), client_version);
    rt::set_item(body, RT_STR("includeMessages"), include_messages);
    if (rt::truthy(extra_context)) rt::set_item(body, RT_STR("context"), extra_context);

    py::object response;
    try {
        static PyObject* kwnames = rt::kwnames({RT_STR("json_body")});
        response = rt::call_method_kw(session, RT_STR("post"),
                                      {c.global(RT_STR("VALIDATION_ENDPOINT")), body}, kwnames);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        if (handling.matches(c.global(RT_STR("HttpError")))) reject_http_error(c, handling.error());
        if (!handling.matches(PyExc_Exception)) handling.reraise();
        rt::call_method(logger(c), RT_METHOD("exception"),
                        RT_STR("Failed to validate API key with Tavrix backend"));
        rt::raise_from(rt::call(c.global(RT_STR("ApiKeyValidationError")),
                                RT_STR("Unable to validate API key")),
                       handling.error());
    }

    py::object payload = rt::response_json(response, [&](py::handle error) -> py::object {
        rt::raise_from(rt::call(c.global(RT_STR("ApiKeyValidationError")),
                                RT_STR("Backend returned invalid JSON payload")),
                       error);
    });

    py::object result;
    try {
        py::object model = c.global(RT_STR("ApiKeyValidationResponse"));
        result = rt::call(rt::getattr(model, RT_STR("model_validate")), payload);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        if (!handling.matches(c.global(RT_STR("ValidationError")))) handling.reraise();
        rt::raise_from(rt::call(c.global(RT_STR("ApiKeyValidationError")),
                                RT_STR("Backend response did not match expected schema")),
                       handling.error());
    }

    rt::call_method(logger(c), RT_METHOD("debug"),
                    RT_STR("API key validated successfully for version %s"), client_version);
    return result;
}

void body(rt::Module& m) {
    m.import("logging");
    m.from_import("typing", {"Optional"});
    m.from_import("pydantic", {"ValidationError"});
    m.from_import("tavrix.exceptions", {"ApiKeyValidationError", "HttpError"});
    m.from_import("tavrix.types", {"ApiKeyValidationResponse"});
    m.from_import("transport_base", {"HttpSession"}, 1);

    m.bind("VALIDATION_ENDPOINT", rt::new_str("/auth/validate"));
    m.bind("logger", rt::call_method(m.dict()["logging"], RT_METHOD("getLogger"), m.name()));

    m.def("validate_api_key", validate_api_key,
          "(session: HttpSession, *, client_version: str, include_messages: bool = True, "
          "extra_context: Optional[dict] = None) -> ApiKeyValidationResponse",
          "Validate the provided API key with the backend.",
          {{"client_version", &PyUnicode_Type}, {"extra_context", &PyDict_Type}});
}

}  // namespace

RT_MODULE(keygate, body)
