// What every part of the data service client shares: its namespace, the kit's error and the
// pickle protocol of what it sends.
#pragma once

#include <pybind11/pybind11.h>

#include "pyglue/pyglue.hpp"

namespace kprpc {
namespace py = pybind11;

inline constexpr const char* kModuleName = "varden.mod.kelpie.utils.kprpc";

// The module namespace: every collaborator (requests, pickle, zlib, msgpack, the settings
// module, APIException, ...) is bound here at import and read back at each call, so tests and
// users can patch them on this module as on a Python one.
inline pyglue::Namespace ns;

// Request bodies and the login passport are pickled at protocol 4 on every interpreter (3.14
// made 5 the default): the bytes on the wire must not depend on the user's interpreter.
inline constexpr int kWirePickleProtocol = 4;

[[noreturn]] inline void raise_api_exception(py::handle message) {
    pyglue::raise(ns.get("APIException"), message);
}

}  // namespace kprpc
