// Our function type: Python's calling surface (argument binding, CPython's error
// wording, metadata, method binding) around a C++ body.
#include "rt.hpp"  // Python.h first

#include <structmember.h>

#include <memory>
#include <string>
#include <vector>

namespace rt {

namespace detail {
// Around every call of one of our functions (interpreter.cpp): false with RecursionError.
bool enter_native_call();
void leave_native_call();
}  // namespace detail

namespace {

struct Param {
    py::object name;                // interned
    py::object default_value;       // null when required
    PyTypeObject* exact = nullptr;  // exact type required, if any
};

// Parameters in binding order: positional (posonly first), keyword-only, then the
// *args and **kwargs slots when declared.
struct Signature {
    std::vector<Param> params;
    Py_ssize_t posonly = 0;
    Py_ssize_t positional = 0;
    Py_ssize_t kwonly = 0;
    Py_ssize_t positional_defaults = 0;
    bool varargs = false;
    bool varkw = false;
    // Callers pass the same keyword-names tuple (a code constant) call after call:
    // the slots its names went to last time, valid while `kwnames` is that tuple.
    mutable py::object kwnames;
    mutable std::vector<Py_ssize_t> kw_slots;

    Py_ssize_t slots() const { return positional + kwonly + varargs + varkw; }
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    Impl impl;
    Signature* signature;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* owner;              // defining class, set when the class is built
    PyObject* annotations;        // dict
    PyObject* defaults;           // tuple or None
    PyObject* kwdefaults;         // dict or None
    PyObject* template_fn;        // the plain function the signature was read from
    PyObject* inspect_signature;  // cached inspect.Signature
    PyObject* dict;
};

// --- error messages, worded as CPython words them for Python functions ------------

std::string quoted_names(const std::vector<PyObject*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        py::str text = py::reinterpret_borrow<py::str>(names[i]);
        out += '\'';
        out += std::string(text);
        out += '\'';
    }
    return out;
}

void missing_arguments(FunctionObject* f, const std::vector<PyObject*>& names, const char* kind) {
    std::string list = quoted_names(names);
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %s", f->qualname,
                 static_cast<Py_ssize_t>(names.size()), kind, names.size() == 1 ? "" : "s",
                 list.c_str());
}

void too_many_positional(FunctionObject* f, Py_ssize_t given, PyObject* const* slots) {
    const Signature& s = *f->signature;
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = s.positional; i < s.positional + s.kwonly; ++i)
        if (slots[i] != nullptr) ++kwonly_given;
    std::string sig;
    bool plural;
    if (s.positional_defaults) {
        plural = true;
        sig = "from " + std::to_string(s.positional - s.positional_defaults) + " to " +
              std::to_string(s.positional);
    } else {
        plural = s.positional != 1;
        sig = std::to_string(s.positional);
    }
    std::string kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" +
                     (kwonly_given != 1 ? "s" : "") + ")";
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd%s %s given",
                 f->qualname, sig.c_str(), plural ? "s" : "", given, kwonly_sig.c_str(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

bool same_name(PyObject* a, PyObject* b) {
    if (a == b) return true;
    return PyUnicode_Compare(a, b) == 0;
}

// --- binding ----------------------------------------------------------------------

// The exact-type checks, in declaration order, once every argument is bound.
bool check_types(FunctionObject* f, PyObject* const* slots) {
    const Signature& s = *f->signature;
    for (Py_ssize_t i = 0; i < s.positional + s.kwonly; ++i) {
        const Param& p = s.params[i];
        if (p.exact == nullptr || Py_IS_TYPE(slots[i], p.exact)) continue;
        if (slots[i] == Py_None && p.default_value.ptr() == Py_None) continue;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     PyUnicode_AsUTF8(p.name.ptr()), p.exact->tp_name, Py_TYPE(slots[i])->tp_name);
        return false;
    }
    return true;
}

// Binds the call's arguments into `slots` (borrowed, except *args / **kwargs, which
// are stored in `owned`). Returns false with a TypeError set on a mistake (or another
// error when memory runs out).
bool bind_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots, py::object owned[2]) {
    const Signature& s = *f->signature;
    Py_ssize_t named = s.positional + s.kwonly;
    Py_ssize_t n = nargs < s.positional ? nargs : s.positional;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];

    if (s.varargs) {
        owned[0] = py::reinterpret_steal<py::object>(
            PyTuple_New(nargs > s.positional ? nargs - s.positional : 0));
        if (!owned[0]) return false;
        for (Py_ssize_t i = s.positional; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(owned[0].ptr(), i - s.positional, args[i]);
        }
        slots[named] = owned[0].ptr();
    }
    if (s.varkw) {
        owned[1] = py::reinterpret_steal<py::object>(PyDict_New());
        if (!owned[1]) return false;
        slots[named + s.varargs] = owned[1].ptr();
    }

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw && kwnames == s.kwnames.ptr() && nargs <= s.positional) {
        bool clash = false;  // a name also given by position: the full path words it
        for (Py_ssize_t k = 0; k < nkw; ++k) clash |= s.kw_slots[k] < nargs;
        if (!clash) {
            for (Py_ssize_t k = 0; k < nkw; ++k) slots[s.kw_slots[k]] = args[nargs + k];
            nkw = 0;
        }
    }
    if (nkw) {
        s.kwnames = py::object();
        s.kw_slots.resize(static_cast<size_t>(nkw));
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return false;
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t j = s.posonly; j < named; ++j)
            if (s.params[j].name.ptr() == key) {
                found = j;
                break;
            }
        if (found < 0)
            for (Py_ssize_t j = s.posonly; j < named; ++j)
                if (same_name(s.params[j].name.ptr(), key)) {
                    found = j;
                    break;
                }
        if (found < 0) {
            if (s.varkw) {
                if (PyDict_SetItem(owned[1].ptr(), key, value) < 0) return false;
                continue;
            }
            std::vector<PyObject*> posonly_given;
            for (Py_ssize_t j = 0; j < s.posonly; ++j)
                for (Py_ssize_t k2 = 0; k2 < nkw; ++k2)
                    if (same_name(s.params[j].name.ptr(), PyTuple_GET_ITEM(kwnames, k2))) {
                        posonly_given.push_back(s.params[j].name.ptr());
                        break;
                    }
            if (!posonly_given.empty()) {
                std::string joined;
                for (size_t i = 0; i < posonly_given.size(); ++i) {
                    if (i) joined += ", ";
                    joined += std::string(py::reinterpret_borrow<py::str>(posonly_given[i]));
                }
                PyErr_Format(PyExc_TypeError,
                             "%U() got some positional-only arguments passed as keyword "
                             "arguments: '%s'",
                             f->qualname, joined.c_str());
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->qualname, key);
            }
            return false;
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         key);
            return false;
        }
        slots[found] = value;
        s.kw_slots[k] = found;
    }
    if (nkw && !s.varkw) s.kwnames = py::reinterpret_borrow<py::object>(kwnames);

    if (nargs > s.positional && !s.varargs) {
        too_many_positional(f, nargs, slots);
        return false;
    }

    if (nargs < s.positional) {
        Py_ssize_t required = s.positional - s.positional_defaults;
        std::vector<PyObject*> missing;  // those before nargs were given by position
        for (Py_ssize_t i = nargs; i < required; ++i)
            if (slots[i] == nullptr) missing.push_back(s.params[i].name.ptr());
        if (!missing.empty()) {
            missing_arguments(f, missing, "positional");
            return false;
        }
        for (Py_ssize_t i = required; i < s.positional; ++i)
            if (slots[i] == nullptr) slots[i] = s.params[i].default_value.ptr();
    }

    if (s.kwonly) {
        std::vector<PyObject*> missing;
        for (Py_ssize_t i = s.positional; i < named; ++i) {
            if (slots[i] != nullptr) continue;
            if (s.params[i].default_value) {
                slots[i] = s.params[i].default_value.ptr();
            } else {
                missing.push_back(s.params[i].name.ptr());
            }
        }
        if (!missing.empty()) {
            missing_arguments(f, missing, "keyword-only");
            return false;
        }
    }

    return true;
}

// Rewords a binding mistake as the running interpreter words it for a Python function:
// the same arguments go to the plain function our signature was read from, under our
// current qualname. The wording changes between versions (3.13 suggests a close
// keyword name, for one); the checks above decide that there is a mistake, and in
// which order, exactly as the interpreter does, so its first complaint is the same
// one. Our own message stays if the interpreter unexpectedly accepts the call.
void reword_as_interpreter(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject *type, *value, *trace;  // ours, kept aside while the interpreter is asked
    PyErr_Fetch(&type, &value, &trace);
    if (PyObject_SetAttr(f->template_fn, RT_STR("__qualname__").ptr(), f->qualname) < 0) {
        PyErr_Clear();
        PyErr_Restore(type, value, trace);
        return;
    }
    PyObject* result =
        PyObject_Vectorcall(f->template_fn, args, static_cast<size_t>(nargs), kwnames);
    if (result == nullptr) {  // the interpreter's own error replaces ours
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        return;
    }
    Py_DECREF(result);
    PyErr_Restore(type, value, trace);
}

// Runs the body on bound arguments. Each call counts against the interpreter's
// recursion limit, as a call of a built-in function does: a body that calls back into
// our functions (an envelope unwrapped level by level, say) then ends in
// RecursionError instead of overflowing the C stack.
PyObject* run_body(FunctionObject* f, PyObject* self, PyObject* const* slots) {
    if (!detail::enter_native_call()) return nullptr;
    PyObject* result = nullptr;
    try {
        Call call(self, slots);
        result = f->impl(call).release().ptr();
    } catch (PyErrOccurred&) {
        // The common failure, caught by type: the error is set already, and the
        // rethrow that sorting out other exceptions takes would double the cost.
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (...) {
        set_python_error_from_current_exception();
    }
    detail::leave_native_call();
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const Signature& s = *f->signature;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == s.positional && s.kwonly == 0 && !s.varargs && !s.varkw) {
        // Every parameter given by position: the arguments are the slots.
        if (!check_types(f, args)) return nullptr;
        return run_body(f, self, args);
    }
    Py_ssize_t nslots = s.slots();
    PyObject* small[16];
    std::unique_ptr<PyObject*[]> large;
    PyObject** slots = small;
    if (nslots > 16) {
        large.reset(new PyObject*[nslots]);
        slots = large.get();
    }
    for (Py_ssize_t i = 0; i < nslots; ++i) slots[i] = nullptr;
    py::object owned[2];  // what binding built (*args, **kwargs): alive for the body
    try {
        if (!bind_arguments(f, args, nargs, kwnames, slots, owned)) {
            if (PyErr_ExceptionMatches(PyExc_TypeError))
                reword_as_interpreter(f, args, nargs, kwnames);
            return nullptr;
        }
        if (!check_types(f, slots)) return nullptr;
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
    return run_body(f, self, slots);
}

// --- the type -----------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->globals);
    Py_VISIT(f->owner);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->template_fn);
    Py_VISIT(f->inspect_signature);
    Py_VISIT(f->dict);
    Py_VISIT(f->doc);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->template_fn);
    Py_CLEAR(f->inspect_signature);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->doc);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    delete f->signature;
    f->signature = nullptr;
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XINCREF(value ? value : Py_None);
    Py_SETREF(f->doc, value ? value : Py_None);
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<FunctionObject*>(self)->annotations, value);
    return 0;
}
#if PY_VERSION_HEX >= 0x030E0000
// 3.14 gives a def a lazy __annotate__, which annotationlib calls (also for the source
// texts of the annotations): the template def's, compiled from the declared signature.
PyObject* get_annotate(PyObject* self, void*) {
    return PyObject_GetAttrString(reinterpret_cast<FunctionObject*>(self)->template_fn,
                                  "__annotate__");
}
#endif
PyObject* get_defaults(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->defaults);
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->kwdefaults);
}
PyObject* get_globals(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->globals);
}
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->inspect_signature == nullptr) {
        PyObject* inspect = PyImport_ImportModule("inspect");
        if (inspect == nullptr) return nullptr;
        PyObject* sig = PyObject_CallMethod(inspect, "signature", "O", f->template_fn);
        Py_DECREF(inspect);
        if (sig == nullptr) return nullptr;
        f->inspect_signature = sig;
    }
    return Py_NewRef(f->inspect_signature);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, as Python functions are.
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
#endif
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t = {};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "private_core.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function of a private_core extension module.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

// Reads parameters, defaults and annotations from a throwaway `def` with the declared
// signature, so that CPython itself parses and evaluates them.
py::object template_function(py::handle globals, const char* name, const char* signature) {
    std::string source = std::string("def ") + name + signature + ": pass\n";
    py::dict scope_globals = py::reinterpret_borrow<py::dict>(globals).attr("copy")();
    py::dict scope_locals;
    py::object result = steal_or_throw(
        PyRun_String(source.c_str(), Py_file_input, scope_globals.ptr(), scope_locals.ptr()));
    return scope_locals[name];
}

}  // namespace

py::object make_function(py::handle globals, const char* name, const char* qualname, Impl impl,
                         const char* signature, const char* doc,
                         std::initializer_list<Exact> exact) {
    if (!(FunctionType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&FunctionType) < 0)
        throw_pending();
    py::object tmpl = template_function(globals, name, signature);
    py::object code = tmpl.attr("__code__");
    auto sig = std::make_unique<Signature>();
    sig->positional = code.attr("co_argcount").cast<Py_ssize_t>();
    sig->posonly = code.attr("co_posonlyargcount").cast<Py_ssize_t>();
    sig->kwonly = code.attr("co_kwonlyargcount").cast<Py_ssize_t>();
    long flags = code.attr("co_flags").cast<long>();
    sig->varargs = (flags & CO_VARARGS) != 0;
    sig->varkw = (flags & CO_VARKEYWORDS) != 0;
    py::tuple varnames = code.attr("co_varnames");
    py::object defaults = tmpl.attr("__defaults__");
    py::object kwdefaults = tmpl.attr("__kwdefaults__");
    Py_ssize_t named = sig->positional + sig->kwonly;
    for (Py_ssize_t i = 0; i < named; ++i) {
        Param p;
        PyObject* param_name = varnames[i].ptr();
        Py_INCREF(param_name);
        PyUnicode_InternInPlace(&param_name);
        p.name = py::reinterpret_steal<py::object>(param_name);
        sig->params.push_back(std::move(p));
    }
    if (!defaults.is_none()) {
        py::tuple d = defaults;
        sig->positional_defaults = static_cast<Py_ssize_t>(d.size());
        for (Py_ssize_t i = 0; i < sig->positional_defaults; ++i)
            sig->params[sig->positional - sig->positional_defaults + i].default_value = d[i];
    }
    if (!kwdefaults.is_none()) {
        py::dict kd = kwdefaults;
        for (Py_ssize_t i = sig->positional; i < named; ++i)
            if (kd.contains(sig->params[i].name))
                sig->params[i].default_value = kd[sig->params[i].name];
    }
    for (const Exact& e : exact) {
        bool matched = false;
        for (Param& p : sig->params)
            if (std::string(py::str(p.name)) == e.name) {
                p.exact = e.type;
                matched = true;
            }
        if (!matched)
            internal_error(
                (std::string("exact type declared for unknown argument ") + e.name).c_str());
    }

    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) throw_pending();
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->signature = sig.release();
    f->name = py::str(name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    py::object module_name = py::reinterpret_borrow<py::dict>(globals).attr("get")("__name__");
    f->module = module_name.release().ptr();
    f->doc = doc ? py::str(doc).release().ptr() : Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals.ptr());
    f->owner = nullptr;
    f->annotations = py::object(tmpl.attr("__annotations__")).release().ptr();
    f->defaults = defaults.release().ptr();
    f->kwdefaults = kwdefaults.release().ptr();
    f->template_fn = tmpl.release().ptr();
    f->inspect_signature = nullptr;
    f->dict = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

namespace detail {
bool is_function(py::handle obj) { return Py_IS_TYPE(obj.ptr(), &FunctionType); }
void set_owner(py::handle function, py::handle owner) {
    auto* f = reinterpret_cast<FunctionObject*>(function.ptr());
    Py_XINCREF(owner.ptr());
    Py_XSETREF(f->owner, owner.ptr());
}
}  // namespace detail

py::object Call::global(py::handle name) const {
    PyObject* globals = reinterpret_cast<FunctionObject*>(function_)->globals;
    PyObject* value = PyDict_GetItemWithError(globals, name.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw_pending();
        PyObject* builtins = PyEval_GetBuiltins();
        value = builtins ? PyDict_GetItemWithError(builtins, name.ptr()) : nullptr;
        if (value == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            throw_pending();
        }
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::handle Call::owner() const { return reinterpret_cast<FunctionObject*>(function_)->owner; }

py::handle Call::globals() const { return reinterpret_cast<FunctionObject*>(function_)->globals; }

}  // namespace rt
