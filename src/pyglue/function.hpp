// Python functions implemented in C++ that callers cannot tell from `def` functions.
//
// pybind11's cpp_function reports argument errors in its own words, cannot carry attributes
// (so functools.wraps fails on it), adds dispatcher overhead, and must not be named __init__ on a
// class made with type(). pyglue::Function is a small callable type instead: vectorcall entry,
// Python's own binding rules and error texts (positional-or-keyword parameters with defaults,
// *args, **kwargs), descriptor binding like a function (so it works as a method), an instance
// __dict__, writable __name__/__qualname__/__doc__/__module__, and an inspect signature.
//
// The type derives from the built-in function type (but for a class's __init__, __new__ and
// __call__, see function_type): profilers (cProfile, sys.setprofile) report only built-in
// functions among C calls, pydoc and IPython then show the function's name and signature as for
// any compiled function, and C callers that call a built-in's method table entry directly find
// one that works.
#pragma once

#include <pybind11/pybind11.h>
#include <structmember.h>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pyglue/errors.hpp"
#include "pyglue/pyversion.hpp"

namespace pyglue {
namespace py = pybind11;

// One positional-or-keyword parameter; a null default means "required".
struct Param {
    Param(const char* n) : name(n) {}  // NOLINT(google-explicit-constructor)
    Param(const char* n, py::object d) : name(n), default_value(std::move(d)) {}
    std::string name;
    py::object default_value;
};

// The arguments of one call after binding: one slot per parameter (borrowed references, valid
// for the duration of the call), *args and **kwargs when the signature collects them, and the
// objects the function captured when it was made. Bodies do not see it: body.hpp hands each
// slot to the body's own parameter of that name.
class Args {
  public:
    Args(PyObject* const* slots, PyObject* varargs, PyObject* varkw, PyObject* captures)
        : slots_(slots), varargs_(varargs), varkw_(varkw), captures_(captures) {}
    py::handle slot(std::size_t i) const { return slots_[i]; }
    py::handle captured(std::size_t i) const { return PyTuple_GET_ITEM(captures_, i); }
    // The extra positional arguments (an empty tuple when none were given).
    py::tuple varargs() const { return py::reinterpret_borrow<py::tuple>(varargs_); }
    // The extra keyword arguments, a fresh dict owned by this call.
    py::dict varkw() const { return py::reinterpret_borrow<py::dict>(varkw_); }

  private:
    PyObject* const* slots_;
    PyObject* varargs_;
    PyObject* varkw_;
    PyObject* captures_;
};

using Impl = std::function<py::object(const Args&)>;

struct Signature {
    std::string name;
    std::string qualname;  // empty: same as name
    std::vector<Param> params;
    bool varargs = false;
    bool varkw = false;
    std::string varargs_name = "args";  // how inspect.signature shows *args and **kwargs
    std::string varkw_name = "kwargs";
    std::string doc;
    std::string module;  // __module__; empty: None
};

namespace detail {

struct FunctionRecord {
    Signature sig;
    Impl impl;
    std::vector<PyObject*> interned;  // parameter names, interned, owned
    std::size_t first_default = 0;    // index of the first parameter with a default
    bool captures_expected = false;
    // The built-in function's method entry: profilers key their records on it and name them
    // after ml_name, which follows __qualname__.
    PyMethodDef def = {nullptr, nullptr, 0, nullptr};
    std::string label;
};

// The built-in part holds the method entry (m_ml), the object itself as m_self (borrowed, so
// that the entry's C function can find the record), __module__ (m_module), the weak reference
// list and the vectorcall entry.
struct FunctionObject {
    PyCFunctionObject base;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* captures;  // the captured objects (a tuple, or null when none)
    FunctionRecord* rec;
};

inline std::string quoted_list(const std::vector<std::string>& names) {
    // Python's wording: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

inline PyObject* fail_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

inline std::string qualname_of(FunctionObject* self) {
    const char* q = PyUnicode_Check(self->qualname) ? PyUnicode_AsUTF8(self->qualname) : nullptr;
    return q ? q : self->rec->sig.name;
}

// Runs the C++ body, turning C++ exceptions into Python ones.
inline PyObject* run_impl(FunctionRecord* rec, const Args& args) {
    try {
        return rec->impl(args).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Binds the arguments as Python would and runs the body. Inlined into vectorcall, so that the
// profiler check before it adds no call of its own to the record fixes' path.
__attribute__((always_inline)) inline PyObject* bind_and_run(PyObject* callable,
                                                             PyObject* const* args, size_t nargsf,
                                                             PyObject* kwnames) {
    auto* self = reinterpret_cast<FunctionObject*>(callable);
    FunctionRecord* rec = self->rec;
    const Signature& sig = rec->sig;
    const std::size_t nparams = sig.params.size();
    const std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));

    PyObject* small[8] = {};
    std::vector<PyObject*> large;
    PyObject** slots = small;
    if (nparams > 8) {
        large.assign(nparams, nullptr);
        slots = large.data();
    }
    const std::size_t npos = nargs < nparams ? nargs : nparams;
    for (std::size_t i = 0; i < npos; ++i) slots[i] = args[i];

    py::object varargs, varkw;
    if (sig.varargs) {
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(nargs - npos));
        if (!t) return nullptr;
        varargs = py::reinterpret_steal<py::object>(t);
        for (std::size_t i = npos; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i - npos), args[i]);
        }
    }
    if (sig.varkw) varkw = py::dict();

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + static_cast<std::size_t>(k)];
            std::size_t idx = nparams;
            for (std::size_t i = 0; i < nparams; ++i) {
                if (rec->interned[i] == key) {
                    idx = i;
                    break;
                }
            }
            if (idx == nparams) {
                for (std::size_t i = 0; i < nparams; ++i) {
                    int eq = PyUnicode_Compare(rec->interned[i], key);
                    if (eq == -1 && PyErr_Occurred()) return nullptr;
                    if (eq == 0) {
                        idx = i;
                        break;
                    }
                }
            }
            if (idx == nparams) {
                if (!PyUnicode_Check(key)) {  // only C callers can pass such a name
                    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                    return nullptr;
                }
                if (!sig.varkw) {
                    // %U copies the name as it is: it may hold lone surrogates, which have no
                    // UTF-8 form (PyUnicode_AsUTF8 would give null).
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 qualname_of(self).c_str(), key);
                    return nullptr;
                }
                if (PyDict_SetItem(varkw.ptr(), key, value) < 0) return nullptr;
                continue;
            }
            if (slots[idx]) {
                return fail_type_error(qualname_of(self) + "() got multiple values for argument '" +
                                       sig.params[idx].name + "'");
            }
            slots[idx] = value;
        }
    }

    if (nargs > nparams && !sig.varargs) {
        const std::size_t required = rec->first_default;
        std::string takes = required == nparams ? std::to_string(nparams)
                                                : "from " + std::to_string(required) + " to " +
                                                      std::to_string(nparams);
        return fail_type_error(qualname_of(self) + "() takes " + takes + " positional argument" +
                               (nparams == 1 && required == nparams ? "" : "s") + " but " +
                               std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < nparams; ++i) {
        if (slots[i]) continue;
        if (sig.params[i].default_value) {
            slots[i] = sig.params[i].default_value.ptr();
        } else {
            missing.push_back(sig.params[i].name);
        }
    }
    if (!missing.empty()) {
        return fail_type_error(qualname_of(self) + "() missing " + std::to_string(missing.size()) +
                               " required positional argument" + (missing.size() == 1 ? "" : "s") +
                               ": " + quoted_list(missing));
    }

    if (rec->captures_expected && !self->captures) {
        // Only a finalizer of a collected cycle can still reach the function at this point.
        PyErr_Format(PyExc_ReferenceError, "%s() was released with its captured objects",
                     qualname_of(self).c_str());
        return nullptr;
    }
    // The body may drop the last other reference to the function (a wrapper that rebinds the
    // attribute it was read from); the captured objects stay alive until it returns.
    py::object captures = py::reinterpret_borrow<py::object>(self->captures);
    Args bound(slots, varargs.ptr(), varkw.ptr(), captures.ptr());
    return run_impl(rec, bound);
}

// The call while a profiler runs, kept out of the hot path.
__attribute__((noinline, cold)) inline PyObject* profiled_call(PyObject* callable,
                                                               PyObject* const* args, size_t nargsf,
                                                               PyObject* kwnames) {
    return profiling::reported_call(callable,
                                    [&] { return bind_and_run(callable, args, nargsf, kwnames); });
}

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    if (profiling::hook_waiting()) return profiled_call(callable, args, nargsf, kwnames);
    return bind_and_run(callable, args, nargsf, kwnames);
}

// The method entry's C function, for C code that calls a built-in's entry directly.
inline PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return vectorcall(self, args, static_cast<std::size_t>(nargs), kwnames);
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline PyObject* repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->doc);
    Py_VISIT(f->base.m_module);
    Py_VISIT(f->captures);
    return 0;
}

inline int clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->base.m_module);
    Py_CLEAR(f->captures);
    return 0;
}

inline void dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->base.m_weakreflist) PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    if (f->rec) {
        for (PyObject* s : f->rec->interned) Py_DECREF(s);
        delete f->rec;
        f->rec = nullptr;
    }
    PyObject_GC_Del(self);
}

// __name__ and __qualname__ must stay text (Python enforces the same for functions).
template <std::size_t Offset>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}

// `closure` is the attribute's name, for the error message.
template <std::size_t Offset, bool TextOnly>
int set_field(PyObject* self, PyObject* value, void* closure) {
    if (TextOnly && (value == nullptr || !PyUnicode_Check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     static_cast<const char*>(closure));
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_XINCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

// A renamed function (functools.wraps on a decorator's inner function) is profiled under its
// new name.
inline int set_qualname(PyObject* self, PyObject* value, void* closure) {
    if (set_field<offsetof(FunctionObject, qualname), true>(self, value, closure) < 0) return -1;
    const char* text = PyUnicode_AsUTF8(value);
    if (!text) {  // a name with no UTF-8 form (lone surrogates): profiled under the old one
        PyErr_Clear();
        return 0;
    }
    FunctionRecord* rec = reinterpret_cast<FunctionObject*>(self)->rec;
    rec->label = text;
    rec->def.ml_name = rec->label.c_str();
    return 0;
}

// A def function has no __self__; the built-in one would report the object itself.
inline PyObject* no_self(PyObject* self, void*) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '__self__'",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

// Like a Python function, pickled as a reference to the name it is found under; copy and
// deepcopy then hand back the function itself.
inline PyObject* reduce(PyObject* self, PyObject* /*unused*/) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

inline PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object P = inspect.attr("Parameter");
        py::list params;
        for (const Param& p : f->rec->sig.params) {
            py::object d =
                p.default_value ? p.default_value : inspect.attr("Parameter").attr("empty");
            params.append(P(p.name, P.attr("POSITIONAL_OR_KEYWORD"), py::arg("default") = d));
        }
        const Signature& sig = f->rec->sig;
        if (sig.varargs) params.append(P(sig.varargs_name, P.attr("VAR_POSITIONAL")));
        if (sig.varkw) params.append(P(sig.varkw_name, P.attr("VAR_KEYWORD")));
        return inspect.attr("Signature")(params).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

// Fills and readies one of the two function types (see function_type).
inline PyTypeObject* ready_type(PyTypeObject& t, PyTypeObject* base) {
    static PyMemberDef members[] = {
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__name__", get_field<offsetof(FunctionObject, name)>,
         set_field<offsetof(FunctionObject, name), true>, nullptr, const_cast<char*>("__name__")},
        {"__qualname__", get_field<offsetof(FunctionObject, qualname)>, set_qualname, nullptr,
         const_cast<char*>("__qualname__")},
        {"__doc__", get_field<offsetof(FunctionObject, doc)>,
         set_field<offsetof(FunctionObject, doc), false>, nullptr, nullptr},
        {"__module__", get_field<offsetof(FunctionObject, base.m_module)>,
         set_field<offsetof(FunctionObject, base.m_module), false>, nullptr, nullptr},
        {"__self__", no_self, nullptr, nullptr, nullptr},
        {"__signature__", get_signature, nullptr, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr},
                                    {nullptr, nullptr, 0, nullptr}};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "pyglue.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_base = base;
    t.tp_dealloc = dealloc;
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_vectorcall_offset = offsetof(PyCFunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = descr_get;
    t.tp_repr = repr;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_weaklistoffset = offsetof(PyCFunctionObject, m_weakreflist);
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_members = members;
    t.tp_getset = getset;
    t.tp_methods = methods;
    if (PyType_Ready(&t) < 0) throw py::error_already_set();
    return &t;
}

// inspect takes a class's signature from its __init__ or __new__, and a callable instance's from
// its type's __call__, only where that method is not a built-in function. These methods are of a
// twin type that derives from object (same layout and behaviour); profilers see every other
// function. Both types are static (the built-in function type admits no subclass made from a
// spec), created once per extension module and never destroyed.
inline PyTypeObject* function_type(const std::string& name) {
    static PyTypeObject builtin_storage{};
    static PyTypeObject plain_storage{};
    static PyTypeObject* builtin = ready_type(builtin_storage, &PyCFunction_Type);
    static PyTypeObject* plain = ready_type(plain_storage, nullptr);
    return name == "__init__" || name == "__new__" || name == "__call__" ? plain : builtin;
}

}  // namespace detail

namespace detail {

// A function object from a signature, the body that reads the bound arguments, and the objects
// the body captured (an empty tuple for none). See body.hpp for the public spelling.
inline py::object new_function(Signature sig, Impl impl, py::tuple captures) {
    auto* rec = new FunctionRecord{std::move(sig), std::move(impl), {}, 0, false, {}, {}};
    rec->captures_expected = !captures.empty();
    rec->first_default = rec->sig.params.size();
    for (std::size_t i = 0; i < rec->sig.params.size(); ++i) {
        PyObject* s = PyUnicode_InternFromString(rec->sig.params[i].name.c_str());
        if (!s) {
            for (PyObject* done : rec->interned) Py_DECREF(done);
            delete rec;
            throw py::error_already_set();
        }
        rec->interned.push_back(s);
        if (rec->sig.params[i].default_value && rec->first_default == rec->sig.params.size()) {
            rec->first_default = i;
        }
    }
    const Signature& s = rec->sig;
    rec->label = s.qualname.empty() ? s.name : s.qualname;
    rec->def.ml_name = rec->label.c_str();
    rec->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    rec->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    auto* f = PyObject_GC_New(FunctionObject, function_type(s.name));
    if (!f) {
        for (PyObject* done : rec->interned) Py_DECREF(done);
        delete rec;
        throw py::error_already_set();
    }
    f->base.m_ml = &rec->def;
    f->base.m_self = reinterpret_cast<PyObject*>(f);
    f->base.m_weakreflist = nullptr;
    f->base.vectorcall = vectorcall;
    f->dict = nullptr;
    f->captures = rec->captures_expected ? captures.release().ptr() : nullptr;
    f->rec = rec;
    f->name = py::str(s.name).release().ptr();
    f->qualname = py::str(rec->label).release().ptr();
    f->doc = s.doc.empty() ? (Py_INCREF(Py_None), Py_None) : py::str(s.doc).release().ptr();
    f->base.m_module =
        s.module.empty() ? (Py_INCREF(Py_None), Py_None) : py::str(s.module).release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

}  // namespace detail
}  // namespace pyglue
