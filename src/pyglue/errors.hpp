// Raising Python exceptions from C++ the way Python code raises them.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pyglue/pyversion.hpp"

namespace pyglue {
namespace py = pybind11;

// Raises `cls(*args)` (a kit exception class looked up at call time, say).
template <typename... A>
[[noreturn]] void raise(py::handle cls, A&&... args) {
    py::object exc = cls(std::forward<A>(args)...);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

// Marks `caught` as the exception being handled, as inside a Python `except` block, for the
// lifetime of the scope: an exception raised meanwhile gets it as __context__, and
// traceback.format_exc() or a logger's exc_info see it. The previous state is restored on exit.
class HandlingScope {
  public:
    explicit HandlingScope(py::error_already_set& caught) : saved_(get_exc_info()) {
        set_exc_info(exc_info_of(caught));
    }
    ~HandlingScope() { set_exc_info(saved_); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

  private:
    ExcInfo saved_;
};

// True when `e` is an instance of Exception (not KeyboardInterrupt, SystemExit, ...): what a
// Python `except Exception:` clause would catch.
inline bool is_exception(py::error_already_set& e) {
    return e.matches(PyExc_Exception);
}

}  // namespace pyglue
