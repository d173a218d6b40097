#include "arrays.hpp"

namespace frames {

std::string text_of(py::handle obj) {
    py::object text = rt::str(obj);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) rt::throw_pending();
    return std::string(data, static_cast<size_t>(size));
}

int64_t datetime_unit_ns(const std::string& dtype) {
    if (dtype == "datetime64[ns]") return 1;
    if (dtype == "datetime64[us]") return 1000;
    if (dtype == "datetime64[ms]") return 1000000;
    if (dtype == "datetime64[s]") return 1000000000;
    return 0;
}

py::object numpy() {
    if (PyObject* module = PyImport_GetModule(RT_STR("numpy").ptr()))
        return py::reinterpret_steal<py::object>(module);
    if (PyErr_Occurred()) rt::throw_pending();
    return rt::steal_or_throw(PyImport_Import(RT_STR("numpy").ptr()));
}

py::object new_array(Py_ssize_t n, const char* dtype) {
    return rt::call(RT_ATTR(numpy(), "empty"), rt::new_int(n), rt::new_str(dtype));
}

py::object object_array(py::handle list) {
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    py::object array = new_array(n, "object");
    // numpy.empty fills an object array with None; each slot owns its reference.
    NumArray<PyObject*> slots(array, true, "O");
    for (Py_ssize_t i = 0; i < n; ++i)
        rt::set_cell(slots.data()[i], PyList_GET_ITEM(list.ptr(), i));
    return array;
}

py::object int64_view(py::handle array) {
    py::object contiguous = rt::call(RT_ATTR(numpy(), "ascontiguousarray"), array);
    return rt::call_method(contiguous, RT_METHOD("view"), RT_STR("i8"));
}

}  // namespace frames
