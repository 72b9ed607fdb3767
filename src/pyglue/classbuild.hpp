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

#include "pyglue/body.hpp"
#include "pyglue/capi.hpp"

namespace pyglue {
namespace py = pybind11;

namespace detail {

// The signature of a function named `name`, qualified as `qualname` (empty: as its name).
inline Signature signature(std::string name, std::string qualname, std::vector<Param> params,
                           std::string module) {
    Signature sig;
    sig.name = std::move(name);
    sig.qualname = std::move(qualname);
    sig.params = std::move(params);
    sig.module = std::move(module);
    return sig;
}

}  // namespace detail

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

    // An instance method; `params` starts with "self". `body` takes the parameters by name
    // (body.hpp), after the captured objects when `captures...` is given.
    template <typename... CapturesAndBody>
    ClassBuilder& method(const char* key, std::vector<Param> params, CapturesAndBody&&... body) {
        ns_[key] = function(key, std::move(params), std::forward<CapturesAndBody>(body)...);
        return *this;
    }

    // A class method; `params` starts with "cls".
    template <typename... CapturesAndBody>
    ClassBuilder& classmethod(const char* key, std::vector<Param> params,
                              CapturesAndBody&&... body) {
        py::object f = function(key, std::move(params), std::forward<CapturesAndBody>(body)...);
        ns_[key] = steal(PyClassMethod_New(f.ptr()));
        return *this;
    }

    // A static method (no implicit first argument).
    template <typename... CapturesAndBody>
    ClassBuilder& staticmethod(const char* key, std::vector<Param> params,
                               CapturesAndBody&&... body) {
        py::object f = function(key, std::move(params), std::forward<CapturesAndBody>(body)...);
        ns_[key] = steal(PyStaticMethod_New(f.ptr()));
        return *this;
    }

    // A read-only property whose getter takes the instance.
    template <typename Getter>
    ClassBuilder& property(const char* key, Getter getter, const char* doc = nullptr) {
        py::object f = function(key, {"self"}, std::move(getter));
        py::object prop = py::module_::import("builtins").attr("property");
        ns_[key] = doc ? prop(f, py::none(), py::none(), doc) : prop(f);
        return *this;
    }

    // A function of this class with its qualified name, without placing it in the namespace
    // (for decorating it first).
    template <typename... CapturesAndBody>
    py::object function(const char* key, std::vector<Param> params,
                        CapturesAndBody&&... body) const {
        return make_function(detail::signature(key, name_ + "." + key, std::move(params), module_),
                             std::forward<CapturesAndBody>(body)...);
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

// A module-level function of the module named `module` (its __module__).
template <typename... CapturesAndBody>
py::object module_function(const char* module, const char* name, std::vector<Param> params,
                           CapturesAndBody&&... body) {
    return make_function(detail::signature(name, "", std::move(params), module),
                         std::forward<CapturesAndBody>(body)...);
}

template <typename... CapturesAndBody>
py::object module_function(const py::module_& m, const char* name, std::vector<Param> params,
                           CapturesAndBody&&... body) {
    return module_function(PyModule_GetName(m.ptr()), name, std::move(params),
                           std::forward<CapturesAndBody>(body)...);
}

// A function defined inside another function or method, `outer`: Python qualifies its name as
// `outer.<locals>.name`.
template <typename... CapturesAndBody>
py::object local_function(const char* module, const std::string& outer, const char* name,
                          std::vector<Param> params, CapturesAndBody&&... body) {
    return make_function(
        detail::signature(name, outer + ".<locals>." + name, std::move(params), module),
        std::forward<CapturesAndBody>(body)...);
}

// A decorator applied to a function that def binds: the module attribute holds what it
// returns, as for a decorated `def`.
struct Decorator {
    py::object apply;
};

// Defines and binds a module-level function in one step.
template <typename... CapturesAndBody>
py::object def(const py::module_& m, const char* name, std::vector<Param> params,
               CapturesAndBody&&... body) {
    py::object f =
        module_function(m, name, std::move(params), std::forward<CapturesAndBody>(body)...);
    m.attr(name) = f;
    return f;
}

template <typename... CapturesAndBody>
py::object def(const py::module_& m, const char* name, std::vector<Param> params,
               Decorator decorator, CapturesAndBody&&... body) {
    py::object f = decorator.apply(
        module_function(m, name, std::move(params), std::forward<CapturesAndBody>(body)...));
    m.attr(name) = f;
    return f;
}

}  // namespace pyglue
