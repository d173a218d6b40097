// Errors, module namespaces, imports and class building for the runtime layer.
// The out-of-line parts of pybind11's handle types (error_already_set's vtable, for
// the errors pybind11's own API reports at load time) are compiled here once; rt.hpp
// includes only the handle and call headers, which keeps every module's build short.
#include <pybind11/pybind11.h>

#include <cstdarg>
#include <new>
#include <stdexcept>
#include <string>

#include "rt.hpp"

namespace rt {

namespace detail {
bool is_function(py::handle obj);
void set_owner(py::handle function, py::handle owner);
}  // namespace detail

// --- errors -------------------------------------------------------------------------

void throw_pending() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PyErrOccurred();
}

void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrOccurred();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PyErrOccurred();
}

void internal_error(const char* what) {
    raise_format(PyExc_SystemError, "private_core internal error: %s", what);
}

py::object format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyObject* text = PyUnicode_FromFormatV(format, args);
    va_end(args);
    return steal_or_throw(text);
}

bool truthy(py::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw_pending();
    return result == 1;
}

void raise(py::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw PyErrOccurred();
}

void raise_from(py::handle exc, py::handle cause) {
    // Like `raise exc from cause` inside the handler of `cause`: the cause is recorded,
    // __suppress_context__ is set, and the context comes from the exception being
    // handled (see Handling).
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
    raise(exc);
}

Handling::Handling() {
    // The pending error, normalised to an instance that carries its traceback, as
    // entering an except block leaves it.
#if PY_VERSION_HEX >= 0x030C0000
    error_ = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    if (trace != nullptr && value != nullptr) PyException_SetTraceback(value, trace);
    Py_XDECREF(type);
    Py_XDECREF(trace);
    error_ = py::reinterpret_steal<py::object>(value);
#endif
    if (!error_) {
        // Made outside a failure: handle a SystemError rather than nothing.
        error_ = steal_or_throw(
            PyObject_CallFunction(PyExc_SystemError, "s", "error return without exception set"));
    }
#if PY_VERSION_HEX >= 0x030B0000
    saved_value_ = PyErr_GetHandledException();
    PyErr_SetHandledException(error_.ptr());
#else
    PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_tb_);
    PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error_.ptr()))),
                     Py_NewRef(error_.ptr()), PyException_GetTraceback(error_.ptr()));
#endif
}

Handling::~Handling() {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(saved_value_);
    Py_XDECREF(saved_value_);
#else
    PyErr_SetExcInfo(saved_type_, saved_value_, saved_tb_);
#endif
}

bool Handling::matches(py::handle type) const {
    return PyErr_GivenExceptionMatches(error_.ptr(), type.ptr()) != 0;
}

void Handling::reraise() const {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(error_.ptr()));
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error_.ptr()))),
                  Py_NewRef(error_.ptr()), PyException_GetTraceback(error_.ptr()));
#endif
    throw PyErrOccurred();
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PyErrOccurred&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (py::error_already_set& e) {
        // pybind11's own API (load-time code) reports Python errors this way.
        e.restore();
    } catch (py::builtin_exception& e) {
        if (!PyErr_Occurred()) e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// --- the running interpreter, by CPython version --------------------------------------
// Every use of an interpreter detail that changed between the supported versions is
// here, one function each.

bool asserts_enabled() {
#if PY_VERSION_HEX >= 0x030C0000
    // Py_OptimizeFlag is deprecated from 3.12; sys.flags says the same. The level is
    // fixed at start-up, so it is read once.
    static const int optimize = [] {
        PyObject* flags = PySys_GetObject("flags");  // borrowed
        if (flags == nullptr) throw_pending();
        py::object level = rt::getattr(flags, RT_STR("optimize"));
        long value = PyLong_AsLong(level.ptr());
        if (value == -1 && PyErr_Occurred()) throw_pending();
        return static_cast<int>(value);
    }();
    return optimize == 0;
#else
    return Py_OptimizeFlag == 0;
#endif
}

namespace detail {

#if PY_VERSION_HEX >= 0x030C0000
// Calls through our functions made on this thread and not yet returned.
thread_local int native_depth = 0;
#endif

// A call of one of our functions counts against the recursion limit. Up to 3.11 the
// interpreter's own counter is checked against that limit. From 3.12 that counter is
// checked against a separate C-level limit (10,000 deep on 3.13), and that many of
// our calls nested overflow the C stack first: the depth is then also kept here and
// checked against the interpreter's recursion limit.
bool enter_native_call() {
    constexpr const char* where = " while calling a Python object";
    if (Py_EnterRecursiveCall(where) != 0) return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (++native_depth > Py_GetRecursionLimit()) {
        --native_depth;
        Py_LeaveRecursiveCall();
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
#endif
    return true;
}

void leave_native_call() {
#if PY_VERSION_HEX >= 0x030C0000
    --native_depth;
#endif
    Py_LeaveRecursiveCall();
}

}  // namespace detail

namespace {

// The type's attribute-cache version tag, when it has a valid one: the tag changes
// whenever the type or one of its bases is modified. 3.10 and 3.11 mark a valid tag
// with a flag; from 3.12 a tag of 0 means none, and 3.13 no longer keeps the flag.
bool version_tag(PyTypeObject* type, unsigned int& tag) {
#if PY_VERSION_HEX >= 0x030C0000
    tag = type->tp_version_tag;
    return tag != 0;
#else
    tag = type->tp_version_tag;
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// Same, assigning a tag first if the type has none (a type lookup assigns one too).
bool assign_version_tag(PyTypeObject* type, unsigned int& tag) {
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
#endif
    return version_tag(type, tag);
}

// Instances of the type have a __dict__ slot (from 3.11 a managed dict counts).
bool has_instance_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
    return type->tp_dictoffset != 0;
}

// The instance dict of obj, or null when its type has none. From 3.11 the attributes
// may live in the object's inline values: asking for the dict makes one, as reading
// obj.__dict__ would.
py::object instance_dict(py::handle obj) {
    if (!has_instance_dict(Py_TYPE(obj.ptr()))) return py::object();
    return steal_or_throw(PyObject_GenericGetDict(obj.ptr(), nullptr));
}

// The attribute `name` found along the type's MRO (borrowed), without calling a
// descriptor: what the interpreter's own attribute lookup starts with. Exported by
// every supported version under this name; there is no public equivalent before 3.14.
PyObject* type_lookup(PyTypeObject* type, py::handle name) {
    return _PyType_Lookup(type, name.ptr());
}

}  // namespace

// --- attributes and calls -------------------------------------------------------------

py::object getattr(py::handle obj, py::handle name) {
    return steal_or_throw(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

py::object getattr(py::handle obj, py::handle name, AttrSite& site) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    unsigned int tag;
    if (reinterpret_cast<PyObject*>(type) == site.type && version_tag(type, tag) &&
        tag == site.version) {
        if (py::object dict = instance_dict(obj)) {
            PyObject* value = PyDict_GetItemWithError(dict.ptr(), name.ptr());
            if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
            if (PyErr_Occurred()) throw_pending();
        }
        // Not in the instance dict: __getattr__ or the AttributeError, as usual.
    }
    py::object value = rt::getattr(obj, name);
    // Cacheable when the instance dict wins the lookup: the classes define nothing
    // under the name, or only a plain value or non-data descriptor (a dataclass
    // field's default, a method).
    PyObject* descr = nullptr;
    if (type->tp_getattro == PyObject_GenericGetAttr && has_instance_dict(type) &&
        ((descr = type_lookup(type, name)) == nullptr || Py_TYPE(descr)->tp_descr_set == nullptr) &&
        assign_version_tag(type, tag)) {
        PyObject* old_type = site.type;
        site.type = Py_NewRef(reinterpret_cast<PyObject*>(type));
        site.version = tag;
        Py_XDECREF(old_type);  // last: the site is whole again if this runs code
    }
    return value;
}

void setattr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw_pending();
}

namespace {
// True while the type is the one cached, at the cached version, and the instance
// dict (if any) does not hold `name`.
bool site_holds(py::handle obj, PyObject* type, unsigned int version, py::handle name) {
    PyTypeObject* actual = Py_TYPE(obj.ptr());
    unsigned int tag;
    if (reinterpret_cast<PyObject*>(actual) != type || !version_tag(actual, tag) || tag != version)
        return false;
    py::object dict = instance_dict(obj);
    if (!dict) return true;
    PyObject* shadow = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (shadow == nullptr && PyErr_Occurred()) throw_pending();
    return shadow == nullptr;
}
}  // namespace

PyObject* cached_method(py::handle obj, const MethodRef& ref) {
    const MethodSite& site = *ref.site;
    return site_holds(obj, site.type, site.version, ref.name) ? site.method : nullptr;
}

void remember_method(py::handle obj, const MethodRef& ref) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return;
    PyObject* method = type_lookup(type, ref.name);
    unsigned int tag;
    if (method == nullptr || !PyType_HasFeature(Py_TYPE(method), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
        !assign_version_tag(type, tag))
        return;
    MethodSite& site = *ref.site;
    PyObject *old_type = site.type, *old_method = site.method;
    site.type = Py_NewRef(reinterpret_cast<PyObject*>(type));
    site.method = Py_NewRef(method);
    site.version = tag;
    Py_XDECREF(old_type);  // last: the site is whole again if this runs code
    Py_XDECREF(old_method);
}

bool isinstance(py::handle obj, py::handle cls) {
    int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (result < 0) throw_pending();
    return result == 1;
}

PyObject* kwnames(std::initializer_list<py::handle> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) throw_pending();
    Py_ssize_t i = 0;
    for (py::handle name : names) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(name.ptr()));
    return tuple;
}

namespace {
constexpr size_t kMaxCallArgs = 16;

size_t fill_args(PyObject** argv, std::initializer_list<py::handle> args) {
    if (args.size() >= kMaxCallArgs) internal_error("too many call arguments");
    size_t n = 0;
    for (py::handle arg : args) argv[n++] = arg.ptr();
    return n;
}
}  // namespace

py::object call_kw(py::handle callable, std::initializer_list<py::handle> args, PyObject* names) {
    PyObject* argv[kMaxCallArgs + 1];
    size_t n = fill_args(argv + 1, args);
    size_t positional = n - static_cast<size_t>(PyTuple_GET_SIZE(names));
    return steal_or_throw(PyObject_Vectorcall(callable.ptr(), argv + 1,
                                              positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

py::object call_method_kw(py::handle obj, py::handle name, std::initializer_list<py::handle> args,
                          PyObject* names) {
    PyObject* argv[kMaxCallArgs + 1];
    argv[0] = obj.ptr();
    size_t n = fill_args(argv + 1, args);
    size_t positional = n + 1 - static_cast<size_t>(PyTuple_GET_SIZE(names));
    return steal_or_throw(PyObject_VectorcallMethod(
        name.ptr(), argv, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

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

// --- building objects ---------------------------------------------------------------

py::object mapping_get(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value == nullptr && PyErr_Occurred()) throw_pending();
        if (value == nullptr) value = fallback ? fallback.ptr() : Py_None;
        return py::reinterpret_borrow<py::object>(value);
    }
    if (fallback) return call_method(mapping, RT_METHOD("get"), key, fallback);
    return call_method(mapping, RT_METHOD("get"), key);
}

py::object new_dict(Py_ssize_t expected) {
#if PY_VERSION_HEX >= 0x030B0000
    // From 3.11 a presized table takes keys of any type, in entries half as wide again
    // as those of the str-keyed table a new dict starts with and keeps as it grows. A
    // few items (a row's fields) go in faster, and are read faster later, grown from the
    // minimum table as Python's own `{...}` grows them; only a large dict is presized.
    constexpr Py_ssize_t kGrownUpTo = 16;
    if (expected <= kGrownUpTo) return new_dict();
#endif
    // A private but exported CPython function (3.x): one allocation of the right size
    // instead of the minimum table followed by resizes.
    return steal_or_throw(_PyDict_NewPresized(expected));
}

// --- with / super -------------------------------------------------------------------

namespace detail {

namespace {
// A `with` block's manager lacks a special method: the error the running interpreter
// raises. 3.10 names the method in an AttributeError; from 3.11 it is a TypeError
// that names the type (3.11-3.13 say when only __exit__ is missing; 3.14 names the
// type with its module and the missing method, and points at `async with` when the type
// has __aenter__/__aexit__).
[[noreturn]] void not_a_context_manager(py::handle manager, py::handle name, bool exit) {
#if PY_VERSION_HEX >= 0x030E0000
    (void)name;
    auto has = [&](py::handle method) {
        PyObject* descr = type_lookup(Py_TYPE(manager.ptr()), method);
        return descr != nullptr && Py_TYPE(descr)->tp_descr_get != nullptr;
    };
    const char* hint = has(RT_STR("__aenter__")) && has(RT_STR("__aexit__"))
                           ? " but it supports the asynchronous context manager protocol. "
                             "Did you mean to use 'async with'?"
                           : "";
    raise_format(PyExc_TypeError,
                 "'%T' object does not support the context manager protocol (missed %s method)%s",
                 manager.ptr(), exit ? "__exit__" : "__enter__", hint);
#elif PY_VERSION_HEX >= 0x030B0000
    (void)name;
    raise_format(PyExc_TypeError,
                 exit ? "'%.200s' object does not support the context manager protocol "
                        "(missed __exit__ method)"
                      : "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager.ptr())->tp_name);
#else
    (void)manager;
    (void)exit;
    PyErr_SetObject(PyExc_AttributeError, name.ptr());
    throw PyErrOccurred();
#endif
}

// Looks a special method up on the type, as the interpreter does. A method
// descriptor is returned unbound (`unbound` set), which spares a bound-method object.
py::object special_method(py::handle obj, py::handle name, bool& unbound) {
    PyObject* descr = type_lookup(Py_TYPE(obj.ptr()), name);
    if (descr == nullptr) not_a_context_manager(obj, name, name.ptr() == RT_STR("__exit__").ptr());
    unbound = PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR);
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (unbound || get == nullptr) return py::reinterpret_borrow<py::object>(descr);
    return steal_or_throw(get(descr, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))));
}

py::object call_special(const py::object& method, py::handle self, bool unbound,
                        PyObject* a = nullptr, PyObject* b = nullptr, PyObject* c = nullptr) {
    PyObject* args[4] = {self.ptr(), a, b, c};
    size_t nargs = a ? 3 : 0;
    PyObject* const* start = args + 1;
    if (unbound) {
        start = args;
        ++nargs;
    }
    return steal_or_throw(PyObject_Vectorcall(method.ptr(), start, nargs, nullptr));
}
}  // namespace

// threading.RLock's C type and its acquire/release method descriptors. Its __enter__
// and __exit__ are acquire() and release(); the type is immutable, so calling the
// descriptors directly is the same call, without the look-ups or the argument tuple
// __exit__ would need.
struct RLockMethods {
    PyTypeObject* type;
    PyObject* acquire;
    PyObject* release;
};

const RLockMethods& rlock() {
    static RLockMethods methods = [] {
        py::object cls = steal_or_throw(PyImport_ImportModule("_thread")).attr("RLock");
        RLockMethods m;
        m.type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        m.acquire = py::object(cls.attr("acquire")).release().ptr();
        m.release = py::object(cls.attr("release")).release().ptr();
        cls.release();
        return m;
    }();
    return methods;
}

void rlock_call(PyObject* method, py::handle lock) {
    PyObject* argv[] = {lock.ptr()};
    steal_or_throw(PyObject_Vectorcall(method, argv, 1, nullptr));
}

ContextExit enter(py::handle manager) {
    if (Py_IS_TYPE(manager.ptr(), rlock().type)) {
        rlock_call(rlock().acquire, manager);
        return ContextExit{py::object(), manager, false, true};
    }
    bool enter_unbound = false, exit_unbound = false;
#if PY_VERSION_HEX >= 0x030E0000
    // 3.14 looks __exit__ up first.
    py::object exit_method = special_method(manager, RT_STR("__exit__"), exit_unbound);
    py::object enter_method = special_method(manager, RT_STR("__enter__"), enter_unbound);
#else
    py::object enter_method = special_method(manager, RT_STR("__enter__"), enter_unbound);
    py::object exit_method = special_method(manager, RT_STR("__exit__"), exit_unbound);
#endif
    call_special(enter_method, manager, enter_unbound);
    return ContextExit{std::move(exit_method), manager, exit_unbound, false};
}

void exit_with_error(const ContextExit& cm) {
    set_python_error_from_current_exception();
    Handling handling;
    if (cm.rlock) {
        rlock_call(rlock().release, cm.manager);
        handling.reraise();
    }
    py::handle error = handling.error();
    PyObject* trace = PyException_GetTraceback(error.ptr());  // new reference or NULL
    py::object held_trace = py::reinterpret_steal<py::object>(trace);
    py::object swallowed = call_special(cm.exit, cm.manager, cm.unbound,
                                        reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())),
                                        error.ptr(), trace ? trace : Py_None);
    if (!truthy(swallowed)) handling.reraise();
}

void exit_clean(const ContextExit& cm) {
    if (cm.rlock) {
        rlock_call(rlock().release, cm.manager);
        return;
    }
    call_special(cm.exit, cm.manager, cm.unbound, Py_None, Py_None, Py_None);
}

}  // namespace detail

py::object super(py::handle owner, py::handle self) {
    return steal_or_throw(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                       owner.ptr(), self.ptr(), nullptr));
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
