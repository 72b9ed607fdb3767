// Answers: pickles that may name only known globals.
//
// A pickle may name any importable callable and have it called while loading, so an answer is
// loaded by an unpickler whose find_class refuses what the service has no reason to send: the
// body (a pickle of bytes) may name nothing at all, the value inside it only the globals of
// ALLOWED_PICKLE_GLOBALS, read at each use so that users can extend it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "kprpc_common.hpp"
#include "kprpc_globals.hpp"

namespace kprpc {

// The global refused last on this thread (UTF-8, lone surrogates kept), for the error that names
// it; unpickling runs on the calling thread, holding the GIL, from the refusal to the caller's
// catch.
inline thread_local std::string refused_global;

[[noreturn]] inline void refuse_global(py::handle module, py::handle name) {
    py::str dotted = py::str("{}.{}").format(module, name);
    refused_global = py::bytes(dotted.attr("encode")("utf-8", "surrogatepass"));
    pyglue::raise(ns.get("pickle").attr("UnpicklingError"),
                  py::str("global '{}' is forbidden").format(dotted));
}

inline bool is_allowed(py::handle module, py::handle name) {
    return pyglue::contains(ns.get("ALLOWED_PICKLE_GLOBALS"), py::make_tuple(module, name));
}

inline pyglue::ClassBuilder unpickler_builder(const char* name) {
    return pyglue::ClassBuilder(name, kModuleName,
                                py::make_tuple(ns.get("pickle").attr("Unpickler")));
}

// For the body, which carries bytes: every global is refused.
inline py::object body_unpickler_class() {
    pyglue::ClassBuilder cls = unpickler_builder("_BodyUnpickler");
    cls.method("find_class", {"self", "module", "name"},
               [](py::handle /*self*/, py::handle module, py::handle name) {
                   refuse_global(module, name);
               });
    return cls.build();
}

// For the value: the allow-listed globals, found as pickle finds them.
inline py::object value_unpickler_class(py::module_& m) {
    // Stands in for builtins.getattr: reaches a class attribute only when the allow-list names
    // it as "Class.attribute", as a protocol 4 pickle names nested globals.
    py::object getattr_standin = pyglue::module_function(
        m, "getattr", {"object", "name"}, [](py::handle owner, py::handle name) -> py::object {
            if (!PyType_Check(owner.ptr()) || !PyUnicode_Check(name.ptr())) {
                refuse_global(py::str("builtins"), py::str("getattr"));
            }
            py::object module = owner.attr("__module__");
            py::object dotted = py::str("{}.{}").format(owner.attr("__qualname__"), name);
            if (!is_allowed(module, dotted)) refuse_global(module, dotted);
            return owner.attr(name);
        });
    py::object find_global = ns.get("pickle").attr("Unpickler").attr("find_class");

    pyglue::ClassBuilder cls = unpickler_builder("_ValueUnpickler");
    cls.method("find_class", {"self", "module", "name"},
               pyglue::capture(find_global, getattr_standin),
               [](py::handle find_global, py::handle getattr_standin, py::handle self,
                  py::handle module, py::handle name) -> py::object {
                   if (pyglue::equals(PYGLUE_INTERN("builtins"), module) &&
                       pyglue::equals(PYGLUE_INTERN("getattr"), name)) {
                       return py::reinterpret_borrow<py::object>(getattr_standin);
                   }
                   if (!is_allowed(module, name)) refuse_global(module, name);
                   return find_global(self, module, name);
               });
    return cls.build();
}

inline py::frozenset allowed_globals() {
    py::set pairs;
    for (const auto& entry : kprpc_globals::kAllowed) {
        for (const char* name : entry.names) pairs.add(py::make_tuple(entry.module, name));
    }
    return py::frozenset(pairs);
}

// `unpickler_class(io.BytesIO(data)).load()`; a refused global raises APIException naming it,
// with the UnpicklingError as its context.
inline py::object load_answer(const char* unpickler_class, py::handle data) {
    if (!PyObject_CheckBuffer(data.ptr())) {  // BytesIO would take None for empty input
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.100s'",
                     Py_TYPE(data.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object unpickler = ns.get(unpickler_class)(ns.get("io").attr("BytesIO")(data));
    refused_global.clear();
    try {
        return unpickler.attr("load")();
    } catch (py::error_already_set& e) {
        if (refused_global.empty() || !e.matches(ns.get("pickle").attr("UnpicklingError"))) throw;
        py::object refused = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(refused_global.data(),
                                 static_cast<Py_ssize_t>(refused_global.size()), "surrogatepass"));
        refused_global.clear();
        if (!refused) throw py::error_already_set();
        pyglue::HandlingScope handling(e);
        raise_api_exception(py::str("拒绝解析服务器返回的数据: {}").format(refused));
    }
}

// ALLOWED_PICKLE_GLOBALS and the two unpicklers, bound in the module.
inline void define_answers(py::module_& m) {
    ns.set("ALLOWED_PICKLE_GLOBALS", allowed_globals());
    ns.set("_BodyUnpickler", body_unpickler_class());
    ns.set("_ValueUnpickler", value_unpickler_class(m));
}

}  // namespace kprpc
