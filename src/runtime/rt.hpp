// The small runtime every private_core extension module is written against.
//
// Module sources use pybind11's handle types for references, and this layer for
// everything Python-visible: functions with Python's exact calling surface, classes
// built through their metaclass, module namespaces and exception chaining.
#pragma once

#include <pybind11/cast.h>

#include <initializer_list>
#include <utility>

namespace rt {

namespace py = pybind11;

// An interned string, created once per use site. Use for attribute and global names.
#define RT_STR(literal)                                                  \
    ([]() -> ::pybind11::handle {                                        \
        static PyObject* interned = PyUnicode_InternFromString(literal); \
        if (interned == nullptr) ::rt::throw_pending();                  \
        return interned;                                                 \
    }())

// ---------------------------------------------------------------------------------
// Errors. A Python error stays in the interpreter while C++ unwinds: PyErrOccurred
// carries nothing, and the boundary of our function type returns NULL with the error
// still set. Nothing ever returns NULL without an exception set.

// "A Python error is set": thrown after a C API call failed, or to raise one.
struct PyErrOccurred {};

// Throws PyErrOccurred (a C API call returned NULL / -1); SystemError if, against its
// contract, no error is set.
[[noreturn]] void throw_pending();
// Throws if `p` is NULL; returns a new reference otherwise.
inline py::object steal_or_throw(PyObject* p) {
    if (p == nullptr) throw_pending();
    return py::reinterpret_steal<py::object>(p);
}

// `raise type(message)`, and the same with a PyUnicode_FromFormat message.
[[noreturn]] void raise_error(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// An internal invariant failed: SystemError("private_core internal error: <what>").
[[noreturn]] void internal_error(const char* what);

// Python's truth test of an object.
bool truthy(py::handle obj);

// `raise exc` with an exception instance.
[[noreturn]] void raise(py::handle exc);
// `raise exc from cause`: cause set, context suppressed.
[[noreturn]] void raise_from(py::handle exc, py::handle cause);

// An `except` block. Made inside `catch (rt::PyErrOccurred&)`, it takes the pending
// error out of the interpreter; while it lives that error is the exception being
// handled: sys.exc_info() reports it, and every exception raised meanwhile (by our
// code or by Python code we call) gets it as __context__.
//
//     } catch (rt::PyErrOccurred&) {
//         rt::Handling handling;
//         if (!handling.matches(PyExc_ValueError)) handling.reraise();
//         rt::raise_from(..., handling.error());
//     }
class Handling {
   public:
    Handling();
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    // The exception instance being handled.
    py::handle error() const { return error_; }
    // isinstance of the exception: `except type:` (a class or a tuple of classes).
    bool matches(py::handle type) const;
    // A bare `raise`: the same exception, pending again.
    [[noreturn]] void reraise() const;

   private:
    py::object error_;
    // The exception being handled before, restored on exit (3.11 on keep only the
    // exception itself, in saved_value_).
    PyObject *saved_type_ = nullptr, *saved_value_ = nullptr, *saved_tb_ = nullptr;
};

// Translates the C++ exception in flight into the Python error indicator. Call only
// from a catch (...) block. A pending Python error always wins: a C++ exception thrown
// while one is set (pybind11 reports a failed allocation that way) leaves it as it is.
void set_python_error_from_current_exception() noexcept;

// ---------------------------------------------------------------------------------
// Building objects and filling containers. New objects come from the C API, so a
// failed allocation is always a MemoryError (pybind11's constructors report some as
// SystemError). Module code builds and fills objects with these, and nothing else.

inline py::object new_dict() { return steal_or_throw(PyDict_New()); }
// An empty dict with room for `expected` items, so filling it never resizes (from
// CPython 3.11 only above 16 items: a smaller one grows as `{...}` does, which is faster).
py::object new_dict(Py_ssize_t expected);
inline py::object new_list(Py_ssize_t size = 0) { return steal_or_throw(PyList_New(size)); }
inline py::object new_str(const char* utf8) { return steal_or_throw(PyUnicode_FromString(utf8)); }
inline py::object new_int(long long value) { return steal_or_throw(PyLong_FromLongLong(value)); }
inline py::object new_float(double value) { return steal_or_throw(PyFloat_FromDouble(value)); }
// (items...), a new tuple holding a reference to each item.
template <class... Items>
py::object new_tuple(Items... items) {
    return steal_or_throw(PyTuple_Pack(sizeof...(Items), py::handle(items).ptr()...));
}
// str(obj)
inline py::object str(py::handle obj) { return steal_or_throw(PyObject_Str(obj.ptr())); }
// A str made by PyUnicode_FromFormat.
py::object format(const char* format, ...);

// container[key] = value (a plain dict directly).
inline void set_item(py::handle container, py::handle key, py::handle value) {
    if (PyDict_CheckExact(container.ptr())) {
        if (PyDict_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw_pending();
        return;
    }
    // The reference Python's own `obj[key] = value` keeps on its stack: pandas reads
    // the count to detect chained assignment, and must not mistake ours for one.
    py::object held = py::reinterpret_borrow<py::object>(container);
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw_pending();
}
// container[key]
inline py::object get_item(py::handle container, py::handle key) {
    return steal_or_throw(PyObject_GetItem(container.ptr(), key.ptr()));
}
// mapping.get(key) or mapping.get(key, fallback): a plain dict is read directly, any
// other mapping through its own get().
py::object mapping_get(py::handle mapping, py::handle key, py::handle fallback = py::handle());
// item in container
inline bool contains(py::handle container, py::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0) throw_pending();
    return result == 1;
}
// list.append(item) on a list
inline void append(py::handle list, py::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw_pending();
}
// `a <op> b` as a truth value, op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE.
inline bool compare(py::handle a, py::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw_pending();
    return result == 1;
}
// len(obj)
inline Py_ssize_t length(py::handle obj) {
    Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) throw_pending();
    return n;
}
// `for item in iterable: body(item)`, each item an owned py::object.
template <class Body>
void for_each(py::handle iterable, Body&& body) {
    py::object iterator = steal_or_throw(PyObject_GetIter(iterable.ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr()))
        body(py::reinterpret_steal<py::object>(item));
    if (PyErr_Occurred()) throw_pending();
}
// A cell that owns its reference (an object array's item, written through its
// buffer): it takes a new reference to `value` and releases the one it held.
inline void set_cell(PyObject*& cell, py::handle value) {
    Py_XSETREF(cell, Py_NewRef(value.ptr()));
}

// ---------------------------------------------------------------------------------
// Attribute access and calls without argument tuples.

py::object getattr(py::handle obj, py::handle name);

// An inline cache for reading an instance attribute at one call site, kept the way
// the interpreter keeps its own for `obj.name`: while the object's type is unchanged
// (same version tag) and defines no data descriptor under the name, a value found in
// the instance dict is the answer. Anything else takes the full lookup.
// The site holds a reference to the type (never released: sites are static), so the
// address cannot come to name another type.
struct AttrSite {
    PyObject* type = nullptr;
    unsigned int version = 0;
};
py::object getattr(py::handle obj, py::handle name, AttrSite& site);

// obj.<literal>, through a cache of its own at this call site.
#define RT_ATTR(obj, literal)                                \
    ([](::pybind11::handle target) -> ::pybind11::object {   \
        static ::rt::AttrSite site;                          \
        return ::rt::getattr(target, RT_STR(literal), site); \
    }(obj))
void setattr(py::handle obj, py::handle name, py::handle value);
bool isinstance(py::handle obj, py::handle cls);

// callable(*args)
template <class... Args>
py::object call(py::handle callable, Args... args) {
    PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
    return steal_or_throw(PyObject_Vectorcall(
        callable.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), through an inline cache at the call site (see AttrSite): while
// the type is unchanged and the instance dict does not shadow the name, the method
// found last time is called directly. Write the name as RT_METHOD("name").
struct MethodSite {
    PyObject* type = nullptr;  // held, as in AttrSite
    unsigned int version = 0;
    PyObject* method = nullptr;  // held
};
struct MethodRef {
    py::handle name;
    MethodSite* site;
};
// The cached method for obj, or null when the full lookup must run.
PyObject* cached_method(py::handle obj, const MethodRef& ref);
// After a full lookup: remember the method when it can be called unbound.
void remember_method(py::handle obj, const MethodRef& ref);

template <class... Args>
py::object call_method(py::handle obj, const MethodRef& ref, Args... args) {
    PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
    constexpr size_t nargs = sizeof...(Args) + 1;
    if (PyObject* cached = cached_method(obj, ref)) {
        // Held for the call: a re-entrant call at this site may replace the entry.
        py::object method = py::reinterpret_borrow<py::object>(cached);
        return steal_or_throw(PyObject_Vectorcall(method.ptr(), argv, nargs, nullptr));
    }
    py::object result = steal_or_throw(PyObject_VectorcallMethod(
        ref.name.ptr(), argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    remember_method(obj, ref);
    return result;
}

// The name of a method call with a cache of its own at this call site:
// rt::call_method(obj, RT_METHOD("get"), key).
#define RT_METHOD(literal)                              \
    ([]() -> ::rt::MethodRef {                          \
        static ::rt::MethodSite site;                   \
        return ::rt::MethodRef{RT_STR(literal), &site}; \
    }())

// A tuple of keyword names for the calls below; make it once (a static) per call site.
PyObject* kwnames(std::initializer_list<py::handle> names);

// callable(*positional, **dict(zip(names, keyword_values))): `args` holds the
// positional values followed by one value per name.
py::object call_kw(py::handle callable, std::initializer_list<py::handle> args, PyObject* names);
// obj.name(...) in the same form.
py::object call_method_kw(py::handle obj, py::handle name, std::initializer_list<py::handle> args,
                          PyObject* names);

// try: body() finally: cleanup(). While an error propagates, cleanup runs as in
// Python's finally clause: the error is being handled, so one that cleanup raises
// replaces it and carries it as __context__.
template <class Body, class Cleanup>
py::object try_finally(Body&& body, Cleanup&& cleanup);

// ---------------------------------------------------------------------------------
// Functions.

class Call;
using Impl = py::object (*)(Call&);

// An argument that must be exactly `type` (a subclass is refused, so bool is not an
// int). None passes only when the argument's default is None.
struct Exact {
    const char* name;
    PyTypeObject* type;
};

// The arguments of one call, bound to the declared parameters in declaration order:
// positional ones, then keyword-only ones, then *args (a tuple) and **kwargs (a dict).
class Call {
   public:
    Call(PyObject* function, PyObject* const* slots) : function_(function), slots_(slots) {}

    py::handle operator[](Py_ssize_t index) const { return slots_[index]; }
    // The module-level name as it is bound at this moment (then builtins), like a
    // global lookup in Python code: NameError when it is bound nowhere.
    py::object global(py::handle name) const;
    // The class whose body defined this method (Python's __class__ cell).
    py::handle owner() const;
    py::handle globals() const;

   private:
    PyObject* function_;
    PyObject* const* slots_;
};

// `raise DataDecodingError(message)`, the module's DataDecodingError as bound now;
// `raise ... from cause` when a cause is given.
[[noreturn]] void raise_decoding(const Call& c, py::handle message,
                                 py::handle cause = py::handle());

// Creates a function object. `signature` is written as in a `def` statement, e.g.
// "(self, path: str, *, timeout: Optional[int] = None) -> requests.Response"; its
// defaults and annotations are evaluated in the module namespace now, as a `def`
// statement would evaluate them.
py::object make_function(py::handle module_globals, const char* name, const char* qualname,
                         Impl impl, const char* signature, const char* doc,
                         std::initializer_list<Exact> exact);

// ---------------------------------------------------------------------------------
// Classes: a genuine Python class made the way a `class` statement makes it.

class Module;

class ClassBuilder {
   public:
    // `bases`: a tuple (rt::new_tuple(...)); none given means no bases.
    ClassBuilder(Module& module, const char* name, py::object bases = py::object());
    ClassBuilder& doc(const char* text);
    ClassBuilder& method(const char* name, Impl impl, const char* signature,
                         const char* doc = nullptr, std::initializer_list<Exact> exact = {});
    ClassBuilder& attr(const char* name, py::handle value);
    // The body's annotated names, {name, expression text} as in `name: text`, with a
    // class statement's semantics for the running interpreter: evaluated now into
    // __annotations__ before 3.14, lazily through a compiled __annotate__ from 3.14.
    ClassBuilder& annotations(std::initializer_list<std::pair<const char*, const char*>> fields);
    // Runs the metaclass; our methods get the new class as their defining class.
    py::object build();

   private:
    Module& module_;
    const char* name_;
    py::object bases_;
    py::object entries_;   // (name, value) pairs in body order
    py::object annotate_;  // 3.14: the code of the class's __annotate__
};

// ---------------------------------------------------------------------------------
// Module namespace.

class Module {
   public:
    explicit Module(py::handle module);

    py::dict dict() const { return dict_; }
    py::str name() const;

    // `import name` (binds the top-level package) or `import name as asname`.
    py::object import(const char* name, const char* asname = nullptr);
    // `from <'.' * level><name> import a, b, ...`, binding in the given order.
    void from_import(const char* name, std::initializer_list<const char*> names, int level = 0);
    // Evaluates a Python expression in the module namespace (for annotations and the
    // like at load time).
    py::object eval(const char* expression) const;

    void bind(const char* name, py::handle value);
    // __all__ as a list, in the given order.
    void all(std::initializer_list<const char*> names);
    py::object function(const char* name, Impl impl, const char* signature,
                        const char* doc = nullptr, std::initializer_list<Exact> exact = {});
    // function() and bind() in one step.
    void def(const char* name, Impl impl, const char* signature, const char* doc = nullptr,
             std::initializer_list<Exact> exact = {});
    ClassBuilder cls(const char* name, py::object bases = py::object()) {
        return ClassBuilder(*this, name, std::move(bases));
    }

   private:
    py::object module_;
    py::dict dict_;
};

// `from <module> import <name>` at call time, through builtins.__import__, relative to
// the package of `globals` when level > 0. Binds nothing.
py::object import_from(py::handle globals, const char* module, const char* name, int level = 0);

// response.json(). When the body is not JSON (a ValueError), `otherwise(error)`
// gives the value instead, or raises (the ValueError is being handled meanwhile).
template <class Otherwise>
py::object response_json(py::handle response, Otherwise&& otherwise);

// `with manager: body()`. Returns body's result, or None when __exit__ swallowed the
// exception (as the code after a `with` block would then run).
template <class Body>
py::object with(py::handle manager, Body&& body);

// super(owner, self)
py::object super(py::handle owner, py::handle self);

// ---------------------------------------------------------------------------------
// Module definition. Multi-phase init: importlib sets __spec__, __file__, __package__
// before the body runs, exactly as for a Python module. Every module's code lives in the
// one shared library; the module's own file (src/runtime/entry.c) only hands its
// PyInit_ call to private_core_init_<name> here.
int run_module_body(PyObject* module, void (*body)(Module&)) noexcept;

// No Py_mod_gil slot: a free-threaded interpreter turns the GIL on to import the module,
// which the runtime relies on (borrowed references, unlocked caches).
#define RT_MODULE(modname, body)                                                                   \
    static int modname##_exec(PyObject* m) { return ::rt::run_module_body(m, body); }              \
    static PyModuleDef_Slot modname##_slots[] = {                                                  \
        {Py_mod_exec, reinterpret_cast<void*>(modname##_exec)}, {0, nullptr}};                     \
    static PyModuleDef modname##_def = {PyModuleDef_HEAD_INIT, #modname, nullptr, 0,      nullptr, \
                                        modname##_slots,       nullptr,  nullptr, nullptr};        \
    extern "C" __attribute__((visibility("default"))) PyObject* private_core_init_##modname() {  \
        return PyModuleDef_Init(&modname##_def);                                                   \
    }

// ---------------------------------------------------------------------------------
// The running interpreter. What differs between the supported CPython versions is
// read in the runtime, through each version's own API, so module sources carry no
// version checks.

// False when the interpreter runs with -O or -OO, which drops `assert` statements.
bool asserts_enabled();

// ---------------------------------------------------------------------------------
// Implementation of templates.

namespace detail {
struct ContextExit {
    py::object exit;
    py::handle manager;
    bool unbound;  // `exit` is a method descriptor; the manager goes in front
    bool rlock;    // the interpreter's own RLock: release() is its __exit__
};
ContextExit enter(py::handle manager);
// Calls __exit__ for the C++ exception in flight (catch blocks only): returns when
// __exit__ swallowed it, throws it (or what __exit__ raised) otherwise.
void exit_with_error(const ContextExit& cm);
void exit_clean(const ContextExit& cm);
}  // namespace detail

template <class Body>
py::object with(py::handle manager, Body&& body) {
    detail::ContextExit cm = detail::enter(manager);
    py::object result;
    try {
        result = body();
    } catch (...) {
        // Any failure, Python's or C++'s, goes through __exit__: a lock is never
        // left held.
        detail::exit_with_error(cm);
        return py::none();
    }
    detail::exit_clean(cm);
    return result;
}

template <class Otherwise>
py::object response_json(py::handle response, Otherwise&& otherwise) {
    try {
        return call_method(response, RT_METHOD("json"));
    } catch (PyErrOccurred&) {
        Handling handling;
        if (!handling.matches(PyExc_ValueError)) handling.reraise();
        return otherwise(handling.error());
    }
}

template <class Body, class Cleanup>
py::object try_finally(Body&& body, Cleanup&& cleanup) {
    py::object result;
    try {
        result = body();
    } catch (...) {
        set_python_error_from_current_exception();
        Handling handling;
        cleanup();
        handling.reraise();
    }
    cleanup();
    return result;
}

}  // namespace rt
