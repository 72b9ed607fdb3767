// pd.Timestamp(text) for the broker's date-time texts.
#pragma once

#include <pybind11/pybind11.h>

#include "dealdesk_common.hpp"

namespace dealdesk {

inline py::object timestamp_from_text(py::handle timestamp_cls, py::handle text) {
    return steal_or_throw(PyObject_CallOneArg(timestamp_cls.ptr(), text.ptr()));
}

}  // namespace dealdesk
