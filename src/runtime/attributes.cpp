// Attributes (with the call sites' caches), calls, and the small object builders.
#include "interpreter.hpp"

namespace rt {

using detail::assign_version_tag;
using detail::has_instance_dict;
using detail::instance_dict;
using detail::type_lookup;
using detail::version_tag;

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

}  // namespace rt
