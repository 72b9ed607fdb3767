// Host information of the vendor's CTP data-collection library, as bytes.

#include <pybind11/pybind11.h>

#include <cstring>

#include "ctp_sysinfo.h"
#include "hostprobe_docs.hpp"

namespace py = pybind11;

namespace {

py::bytes get_system_info() {
    char buffer[CTP_SYSTEM_INFO_SIZE] = {};
    int length = 0;
    CTP_GetSystemInfo(buffer, length);
    // Bounded by the buffer: a library that fills all of it leaves no terminator.
    const std::size_t size = strnlen(buffer, sizeof buffer);
    PyObject* info = PyBytes_FromStringAndSize(buffer, static_cast<Py_ssize_t>(size));
    if (info == nullptr) {
        py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(info);
}

PyObject* get_system_info_entry(PyObject* /*module*/, PyObject* /*unused*/) {
    try {
        return get_system_info().release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

// A plain module-level builtin: help() then shows it as the module's own function, where a
// pybind11 function would show its internal C++ function record as the owner.
PyMethodDef methods[] = {
    {"get_system_info", get_system_info_entry, METH_NOARGS, hostprobe_docs::kGetSystemInfo},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PYBIND11_MODULE(hostprobe, m) {
    m.doc() = hostprobe_docs::kModule;
    if (PyModule_AddFunctions(m.ptr(), methods) < 0) throw py::error_already_set();
}
