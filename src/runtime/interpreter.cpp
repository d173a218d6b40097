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

}  // namespace detail

}  // namespace rt
