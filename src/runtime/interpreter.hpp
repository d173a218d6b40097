// Interpreter details the runtime's attribute caches and `with` blocks read, by
// CPython version, one function each; inline, as they run on every cached look-up.
// The runtime's own files include it; modules never do.
#pragma once

#include "rt.hpp"

namespace rt {
namespace detail {

// The type's attribute-cache version tag, when it has a valid one: the tag changes
// whenever the type or one of its bases is modified. 3.10 and 3.11 mark a valid tag
// with a flag; from 3.12 a tag of 0 means none, and 3.13 no longer keeps the flag.
inline bool version_tag(PyTypeObject* type, unsigned int& tag) {
#if PY_VERSION_HEX >= 0x030C0000
    tag = type->tp_version_tag;
    return tag != 0;
#else
    tag = type->tp_version_tag;
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// Same, assigning a tag first if the type has none (a type lookup assigns one too).
inline bool assign_version_tag(PyTypeObject* type, unsigned int& tag) {
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
#endif
    return version_tag(type, tag);
}

// Instances of the type have a __dict__ slot (from 3.11 a managed dict counts).
inline bool has_instance_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
    return type->tp_dictoffset != 0;
}

// The instance dict of obj, or null when its type has none. From 3.11 the attributes
// may live in the object's inline values: asking for the dict makes one, as reading
// obj.__dict__ would.
inline py::object instance_dict(py::handle obj) {
    if (!has_instance_dict(Py_TYPE(obj.ptr()))) return py::object();
    return steal_or_throw(PyObject_GenericGetDict(obj.ptr(), nullptr));
}

// The attribute `name` found along the type's MRO (borrowed), without calling a
// descriptor: what the interpreter's own attribute lookup starts with. Exported by
// every supported version under this name; there is no public equivalent before 3.14.
inline PyObject* type_lookup(PyTypeObject* type, py::handle name) {
    return _PyType_Lookup(type, name.ptr());
}

}  // namespace detail
}  // namespace rt
