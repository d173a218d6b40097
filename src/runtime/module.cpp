// Module namespaces: imports, the module body and class building. The module body sets
// up pybind11's per-interpreter state, whose code is in pybind11's full header.
#include <pybind11/pybind11.h>

#include <string>

#include "rt.hpp"

namespace rt {

namespace detail {
bool is_function(py::handle obj);
void set_owner(py::handle function, py::handle owner);
}  // namespace detail

// --- imports ------------------------------------------------------------------------

namespace {

// Names go into namespaces and attribute look-ups interned, as the compiler interns
// identifiers: a fresh string per call would miss CPython's type attribute cache and
// stay referenced from it.
py::object interned(const char* name) { return steal_or_throw(PyUnicode_InternFromString(name)); }

py::object builtin(const char* name) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* value = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "%s not found", name);
        throw_pending();
    }
    return py::reinterpret_borrow<py::object>(value);
}

// The import statement's call of builtins.__import__.
py::object import_name(py::handle globals, const char* name, py::handle fromlist, int level) {
    return call(builtin("__import__"), new_str(name), globals, py::none(), fromlist,
                new_int(level));
}

// The `from module import name` lookup: the attribute, else an already imported
// submodule, else CPython's ImportError.
py::object import_attr(py::handle module, py::handle name) {
    PyObject* value = PyObject_GetAttr(module.ptr(), name.ptr());
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    py::object pkgname = py::getattr(module, "__name__", py::none());
    if (PyUnicode_Check(pkgname.ptr())) {
        py::object full = format("%U.%U", pkgname.ptr(), name.ptr());
        PyObject* sys_modules = PyImport_GetModuleDict();
        PyObject* sub = PyDict_GetItemWithError(sys_modules, full.ptr());
        if (sub != nullptr) return py::reinterpret_borrow<py::object>(sub);
        if (PyErr_Occurred()) throw_pending();
    } else {
        pkgname = new_str("<unknown module name>");
    }
    py::object file = py::getattr(module, "__file__", py::none());
    py::object where = PyUnicode_Check(file.ptr()) ? file : new_str("unknown location");
    py::object message =
        format("cannot import name %R from %R (%S)", name.ptr(), pkgname.ptr(), where.ptr());
    py::object error = call(py::handle(PyExc_ImportError), message);
    rt::setattr(error, RT_STR("name"), pkgname);
    raise(error);
}

}  // namespace

py::object import_from(py::handle globals, const char* module, const char* name, int level) {
    py::object attr = interned(name);
    py::object mod = import_name(globals, module, new_tuple(attr), level);
    return import_attr(mod, attr);
}

// --- modules ------------------------------------------------------------------------

Module::Module(py::handle module)
    : module_(py::reinterpret_borrow<py::object>(module)),
      dict_(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module.ptr()))) {}

py::str Module::name() const { return dict_["__name__"]; }

py::object Module::import(const char* name, const char* asname) {
    const std::string full(name);
    const size_t dot = full.find('.');
    // `import a.b` binds `a`, `import a as b` binds `a` as `b`; no module imports a
    // submodule under another name.
    if (asname != nullptr && dot != std::string::npos)
        internal_error("a submodule imported under another name");
    py::object top = import_name(dict_, name, py::none(), 0);
    bind(asname != nullptr ? asname : full.substr(0, dot).c_str(), top);
    return top;
}

void Module::from_import(const char* name, std::initializer_list<const char*> names, int level) {
    py::list fromlist;
    for (const char* n : names) fromlist.append(interned(n));
    py::object mod = import_name(dict_, name, py::tuple(fromlist), level);
    for (const char* n : names) bind(n, import_attr(mod, interned(n)));
}

py::object Module::eval(const char* expression) const {
    py::dict scope = dict_.attr("copy")();
    return steal_or_throw(PyRun_String(expression, Py_eval_input, scope.ptr(), scope.ptr()));
}

void Module::bind(const char* name, py::handle value) {
    if (PyDict_SetItem(dict_.ptr(), interned(name).ptr(), value.ptr()) < 0) throw_pending();
}

void Module::all(std::initializer_list<const char*> names) {
    py::list list;
    for (const char* name : names) list.append(py::str(name));
    bind("__all__", list);
}

py::object Module::function(const char* name, Impl impl, const char* signature, const char* doc,
                            std::initializer_list<Exact> exact) {
    return make_function(dict_, name, name, impl, signature, doc, exact);
}

void Module::def(const char* name, Impl impl, const char* signature, const char* doc,
                 std::initializer_list<Exact> exact) {
    bind(name, function(name, impl, signature, doc, exact));
}

int run_module_body(PyObject* module, void (*body)(Module&)) noexcept {
    try {
        // What PYBIND11_MODULE does first: pybind11's per-interpreter state is set up
        // at import. Left to itself it is set up lazily, on the first destruction of
        // an error_already_set (whose deleter takes the GIL through that state); when
        // that first error is a RecursionError at the limit, the set-up's own calls
        // fail and pybind11's error formatting recurses until the C stack overflows.
        PYBIND11_ENSURE_INTERNALS_READY
        Module m(module);
        body(m);
        return 0;
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

// --- classes ------------------------------------------------------------------------

ClassBuilder::ClassBuilder(Module& module, const char* name, py::object bases)
    : module_(module),
      name_(name),
      bases_(bases ? std::move(bases) : new_tuple()),
      entries_(new_list()) {}

ClassBuilder& ClassBuilder::doc(const char* text) { return attr("__doc__", new_str(text)); }

ClassBuilder& ClassBuilder::method(const char* name, Impl impl, const char* signature,
                                   const char* doc, std::initializer_list<Exact> exact) {
    std::string qualname = std::string(name_) + "." + name;
    return attr(name,
                make_function(module_.dict(), name, qualname.c_str(), impl, signature, doc, exact));
}

ClassBuilder& ClassBuilder::attr(const char* name, py::handle value) {
    append(entries_, new_tuple(interned(name), value));
    return *this;
}

ClassBuilder& ClassBuilder::annotations(
    std::initializer_list<std::pair<const char*, const char*>> fields) {
#if PY_VERSION_HEX >= 0x030E0000
    // A class statement compiles its annotations into an __annotate__ function that reads
    // names through the class namespace (a __classdict__ cell) and then the module; it
    // is what annotationlib calls, also for the source texts. The same statement,
    // compiled here, gives its code; build() makes the function for the real namespace.
    std::string source = std::string("class ") + name_ + ":\n";
    for (const auto& [name, text] : fields)
        source += std::string("    ") + name + ": " + text + "\n";
    py::dict scope = module_.dict().attr("copy")();
    steal_or_throw(PyRun_String(source.c_str(), Py_file_input, scope.ptr(), scope.ptr()));
    annotate_ = rt::getattr(rt::getattr(scope[name_], RT_STR("__annotate__")), RT_STR("__code__"));
    return *this;
#else
    py::object values = new_dict();
    for (const auto& [name, text] : fields) set_item(values, interned(name), module_.eval(text));
    return attr("__annotations__", values);
#endif
}

py::object ClassBuilder::build() {
    // What a class statement does: resolve the metaclass and bases, let the
    // metaclass prepare the namespace, fill it in body order, call the metaclass.
    py::object types = steal_or_throw(PyImport_ImportModule("types"));
    py::object resolved = call(rt::getattr(types, RT_STR("resolve_bases")), bases_);
    py::object prepared =
        call(rt::getattr(types, RT_STR("prepare_class")), new_str(name_), resolved);
    py::object meta = get_item(prepared, new_int(0));
    py::object ns = get_item(prepared, new_int(1));
    py::object kwds = get_item(prepared, new_int(2));
    set_item(ns, RT_STR("__module__"), module_.name());
    set_item(ns, RT_STR("__qualname__"), new_str(name_));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries_.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(entries_.ptr(), i);
        set_item(ns, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    if (annotate_) {
        // As the compiler leaves them at the end of the body; the metaclass points the
        // cell at the new class's namespace.
        py::object cell = steal_or_throw(PyCell_New(nullptr));
        py::object annotate = steal_or_throw(PyFunction_New(annotate_.ptr(), module_.dict().ptr()));
        if (PyFunction_SetClosure(annotate.ptr(), new_tuple(cell).ptr()) < 0) throw_pending();
        set_item(ns, RT_STR("__annotate_func__"), annotate);
        set_item(ns, RT_STR("__classdictcell__"), cell);
    }
    if (!resolved.is(bases_)) set_item(ns, RT_STR("__orig_bases__"), bases_);
    py::object args = new_tuple(new_str(name_), resolved, ns);
    py::object cls = steal_or_throw(PyObject_Call(meta.ptr(), args.ptr(), kwds.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries_.ptr()); ++i) {
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(entries_.ptr(), i), 1);
        if (detail::is_function(value)) detail::set_owner(value, cls);
    }
    return cls;
}

}  // namespace rt
