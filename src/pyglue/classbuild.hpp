// Real Python classes assembled from C++ functions.
//
// The class is created by calling type(name, bases, namespace) once the namespace is complete,
// so metaclasses (ABCMeta, ...) see every method at creation, `isinstance` and attribute
// assignment behave as for a class statement, and methods are pyglue functions that bind like
// `def` methods.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "pyglue/function.hpp"

namespace pyglue {
namespace py = pybind11;

class ClassBuilder {
  public:
    // `module` is the dotted name callers see as __module__.
    ClassBuilder(std::string name, std::string module, py::tuple bases = py::tuple())
        : name_(std::move(name)), module_(std::move(module)), bases_(std::move(bases)) {
        ns_["__module__"] = module_;
        ns_["__qualname__"] = name_;
    }

    const std::string& name() const { return name_; }

    // A plain class attribute (a table, a constant, a nested class).
    ClassBuilder& attr(const char* key, py::handle value) {
        ns_[key] = value;
        return *this;
    }

    // An instance method; `params` starts with "self".
    ClassBuilder& method(const char* key, std::vector<Param> params, Impl impl,
                         bool varargs = false, bool varkw = false) {
        ns_[key] = function(key, std::move(params), std::move(impl), varargs, varkw);
        return *this;
    }

    // A class method; `params` starts with "cls".
    ClassBuilder& classmethod(const char* key, std::vector<Param> params, Impl impl) {
        py::object f = function(key, std::move(params), std::move(impl), false, false);
        ns_[key] = py::reinterpret_steal<py::object>(PyClassMethod_New(f.ptr()));
        return *this;
    }

    // A static method (no implicit first argument).
    ClassBuilder& staticmethod(const char* key, std::vector<Param> params, Impl impl) {
        py::object f = function(key, std::move(params), std::move(impl), false, false);
        ns_[key] = py::reinterpret_steal<py::object>(PyStaticMethod_New(f.ptr()));
        return *this;
    }

    // A read-only property whose getter receives the instance.
    ClassBuilder& property(const char* key, Impl getter, const char* doc = nullptr) {
        py::object f = function(key, {"self"}, std::move(getter), false, false);
        py::object prop = py::module_::import("builtins").attr("property");
        ns_[key] = doc ? prop(f, py::none(), py::none(), doc) : prop(f);
        return *this;
    }

    // A function of this class with its qualified name, without placing it in the namespace
    // (for decorating it first).
    py::object function(const char* key, std::vector<Param> params, Impl impl, bool varargs,
                        bool varkw) const {
        Signature sig;
        sig.name = key;
        sig.qualname = name_ + "." + key;
        sig.params = std::move(params);
        sig.varargs = varargs;
        sig.varkw = varkw;
        sig.module = module_;
        return make_function(std::move(sig), std::move(impl));
    }

    // Creates the class: type(name, bases, namespace), which defers to the bases' metaclass.
    py::object build() const {
        py::object type_ =
            py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
        py::tuple bases = bases_.empty() ? py::make_tuple(py::reinterpret_borrow<py::object>(
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type)))
                                         : bases_;
        return type_(name_, bases, ns_);
    }

  private:
    std::string name_;
    std::string module_;
    py::tuple bases_;
    py::dict ns_;
};

// A module-level function with the module as __module__.
inline py::object module_function(const py::module_& m, const char* name, std::vector<Param> params,
                                  Impl impl, bool varargs = false, bool varkw = false) {
    Signature sig;
    sig.name = name;
    sig.params = std::move(params);
    sig.varargs = varargs;
    sig.varkw = varkw;
    sig.module = PyModule_GetName(m.ptr());
    return make_function(std::move(sig), std::move(impl));
}

// Defines and binds a module-level function in one step.
inline py::object def(py::module_& m, const char* name, std::vector<Param> params, Impl impl,
                      bool varargs = false, bool varkw = false) {
    py::object f = module_function(m, name, std::move(params), std::move(impl), varargs, varkw);
    m.attr(name) = f;
    return f;
}

}  // namespace pyglue
