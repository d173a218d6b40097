// A test-only module exercising the runtime layer on its own (built when
// PRIVATE_CORE_PROBE is on; never part of a release wheel).
#include "rt.hpp"

namespace {

namespace py = pybind11;

// Returns what was bound, so tests can compare with a plain def of the same signature.
py::object echo(rt::Call& c) { return rt::new_tuple(c[0], c[1], c[2], c[5], c[3], c[4], c[6]); }

py::object bound(rt::Call& c) { return rt::new_tuple(c[0], c[1], c[2], c[3]); }

py::object typed(rt::Call& c) { return rt::new_tuple(c[0], c[1], c[2], c[3], c[4]); }

py::object wide(rt::Call& c) {
    return rt::new_tuple(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11],
                         c[12], c[13], c[14], c[15], c[16]);
}

py::object global_value(rt::Call& c) { return c.global(RT_STR("VALUE")); }

py::object cooperative_init(rt::Call& c) {
    rt::super(c.owner(), c[0])
        .attr("__init__")(*py::reinterpret_borrow<py::tuple>(c[1]),
                          **py::reinterpret_borrow<py::dict>(c[2]));
    c[0].attr("probe_ready") = true;
    return py::none();
}

py::object owner_of(rt::Call& c) { return py::reinterpret_borrow<py::object>(c.owner()); }

// try: fn() except BaseException as exc: raise RuntimeError("wrapped") from exc
py::object wrap_error(rt::Call& c) {
    try {
        return rt::call(c[0]);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        rt::raise_from(rt::call(py::handle(PyExc_RuntimeError), RT_STR("wrapped")),
                       handling.error());
    }
}

// try: fn() except BaseException: handler()  (returns sys.exc_info() seen by handler)
py::object in_handler(rt::Call& c) {
    try {
        return rt::call(c[0]);
    } catch (rt::PyErrOccurred&) {
        rt::Handling handling;
        return rt::call(c[1]);
    }
}

py::object with_block(rt::Call& c) {
    py::handle body = c[1];
    return rt::with(c[0], [&] { return rt::call(body); });
}

py::object import_name(rt::Call& c) {
    return rt::import_from(c.globals(), py::str(c[0]).cast<std::string>().c_str(),
                           py::str(c[1]).cast<std::string>().c_str(), c[2].cast<int>());
}

py::object read_value(rt::Call& c) { return RT_ATTR(c[0], "value"); }

py::object call_speak(rt::Call& c) { return rt::call_method(c[0], RT_METHOD("speak"), c[1]); }

py::object greet(rt::Call& c) { return py::str("hello ") + py::str(c[0].attr("name")); }

py::object presized(rt::Call& c) { return rt::new_dict(c[0].cast<Py_ssize_t>()); }

void body(rt::Module& m) {
    m.from_import("typing", {"Any", "Optional", "Protocol", "runtime_checkable"});
    m.bind("VALUE", py::int_(1));
    m.def("echo", echo, "(a, b=2, /, c=3, *args, d, e=5, **kwargs)", "Echo the bound arguments.");
    m.def("bound", bound, "(x, y: 'Text' = 'y', *, z: int, w=None) -> tuple");
    m.def("typed", typed,
          "(s: str, i: int, d: dict, items: list, maybe: Optional[str] = None) -> tuple", nullptr,
          {{"s", &PyUnicode_Type},
           {"i", &PyLong_Type},
           {"d", &PyDict_Type},
           {"items", &PyList_Type},
           {"maybe", &PyUnicode_Type}});
    // More parameters than the binder binds on the stack, two of them positional-only.
    m.def("wide", wide,
          "(a, b=1, /, c=2, d=3, e=4, f=5, g=6, h=7, i=8, j=9, k=10, l=11, m=12, n=13, o=14, "
          "p=15, q=16)");
    m.def("global_value", global_value, "()");
    m.def("presized", presized, "(expected: int)", nullptr, {{"expected", &PyLong_Type}});
    m.def("wrap_error", wrap_error, "(fn)");
    m.def("in_handler", in_handler, "(fn, handler)");
    m.def("with_block", with_block, "(manager, body)");
    m.def("import_name", import_name, "(module, name, level)");
    m.def("read_value", read_value, "(obj)");
    m.def("call_speak", call_speak, "(obj, word)");

    py::object mixin = m.cls("Mixin")
                           .doc("A cooperative mixin.")
                           .method("__init__", cooperative_init, "(self, *args, **kwargs)")
                           .method("owner", owner_of, "(self)")
                           .build();
    m.bind("Mixin", mixin);

    py::object protocol = m.cls("Named", rt::new_tuple(m.dict()["Protocol"]))
                              .annotations({{"name", "str"}})
                              .method("greet", greet, "(self) -> str")
                              .build();
    m.bind("Named", m.dict()["runtime_checkable"](protocol));
}

}  // namespace

RT_MODULE(_runtime_probe, body)
