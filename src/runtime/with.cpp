// `with` blocks and super().
#include "interpreter.hpp"

namespace rt {

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

}  // namespace rt
