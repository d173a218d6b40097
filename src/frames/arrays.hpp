// numpy arrays seen from C++: made through numpy's own functions (looked up at the
// point of use), read and filled through the buffer protocol.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rt.hpp"

namespace frames {

namespace py = pybind11;

// The text of str(obj), for comparing dtype names and the like.
std::string text_of(py::handle obj);

// Nanoseconds per unit of a naive datetime64 dtype, 0 for any other dtype. pandas 2
// parses text to nanoseconds, pandas 3 to microseconds; both keep a given resolution.
int64_t datetime_unit_ns(const std::string& dtype);

// `import numpy` at the point of use: the module as sys.modules holds it now.
py::object numpy();

// numpy.empty(n, dtype).
py::object new_array(Py_ssize_t n, const char* dtype);

// A one-dimensional, contiguous numpy array of T; `codes` are the buffer format
// characters accepted for T.
template <class T>
class NumArray {
   public:
    NumArray(py::object array, bool writable, const char* codes) : array_(std::move(array)) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(array_.ptr(), &view_, flags) < 0) rt::throw_pending();
        const char* format = view_.format ? view_.format : "B";
        char code = format[std::strlen(format) - 1];
        if (view_.ndim != 1 || view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
            std::strchr(codes, code) == nullptr) {
            PyBuffer_Release(&view_);
            rt::internal_error("unexpected numpy array layout");
        }
    }
    ~NumArray() { PyBuffer_Release(&view_); }
    NumArray(const NumArray&) = delete;
    NumArray& operator=(const NumArray&) = delete;

    T* data() const { return static_cast<T*>(view_.buf); }
    Py_ssize_t size() const { return view_.shape[0]; }
    const py::object& object() const { return array_; }

   private:
    py::object array_;
    Py_buffer view_{};
};

inline const char* codes_for(double*) { return "d"; }
inline const char* codes_for(int64_t*) { return "lq"; }
inline const char* codes_for(uint8_t*) { return "?"; }

// A new numpy array of `dtype` holding `values`.
template <class T>
py::object array_of(const std::vector<T>& values, const char* dtype) {
    py::object array = new_array(static_cast<Py_ssize_t>(values.size()), dtype);
    NumArray<T> view(array, true, codes_for(static_cast<T*>(nullptr)));
    if (!values.empty()) std::memcpy(view.data(), values.data(), values.size() * sizeof(T));
    return array;
}

// A numpy object array holding the items of `list` (an exact list).
py::object object_array(py::handle list);

// A new numpy array of `n` items of `dtype`, filled by `fill(T* data)`.
template <class T, class Fill>
py::object array_filled(Py_ssize_t n, const char* dtype, Fill&& fill) {
    py::object array = new_array(n, dtype);
    NumArray<T> view(array, true, codes_for(static_cast<T*>(nullptr)));
    fill(view.data());
    return array;
}

// The int64 values of a one-dimensional array of 8-byte items (int64, datetime64),
// made contiguous first when it is not.
py::object int64_view(py::handle array);

}  // namespace frames
