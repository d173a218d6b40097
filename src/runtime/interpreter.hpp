// The runtime's own view of interpreter details (interpreter.cpp), for its other
// files; modules never include it.
#pragma once

#include "rt.hpp"

namespace rt {
namespace detail {
bool version_tag(PyTypeObject* type, unsigned int& tag);
bool assign_version_tag(PyTypeObject* type, unsigned int& tag);
bool has_instance_dict(PyTypeObject* type);
py::object instance_dict(py::handle obj);
PyObject* type_lookup(PyTypeObject* type, py::handle name);
}  // namespace detail
}  // namespace rt
