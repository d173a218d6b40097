#include "interpreter.hpp"

namespace rt {

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

}  // namespace rt
