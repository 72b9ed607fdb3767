// Host information of the vendor's CTP data-collection library, as bytes.

#include <pybind11/pybind11.h>

#include <cstring>

#include "ctp_sysinfo.h"

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

}  // namespace

PYBIND11_MODULE(hostprobe, m) {
    m.doc() = "pybind11 bind for ctp hostprobe";
    m.def("get_system_info", &get_system_info, "CTP_GetSystemInfo");
}
