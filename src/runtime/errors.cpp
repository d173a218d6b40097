// Errors for the runtime layer: raising, handling and the boundary's conversion.
// The out-of-line parts of pybind11's handle types (error_already_set's vtable, for
// the errors pybind11's own API reports at load time) are compiled here once; rt.hpp
// includes only the handle and call headers, which keeps every module's build short.
#include <pybind11/pybind11.h>

#include <cstdarg>
#include <new>
#include <stdexcept>

#include "rt.hpp"

namespace rt {

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

void raise_decoding(const Call& c, py::handle message, py::handle cause) {
    py::object error = call(c.global(RT_STR("DataDecodingError")), message);
    if (cause) raise_from(error, cause);
    raise(error);
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

}  // namespace rt
