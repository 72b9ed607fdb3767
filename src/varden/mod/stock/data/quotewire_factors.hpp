// Today's adjustment factors (loaded once per calendar day into real_factor_cache) and the
// previous-close function of the day's capital event.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "quotewire_common.hpp"

namespace quotewire {

namespace detail {

constexpr const char* kFactorQuery =
    "select symbol, factor from last_stock_factor where trade_date = '{}';";

// a, b, ... = value: Python's unpacking, with its error texts.
inline std::vector<py::object> unpack(py::handle value, std::size_t count) {
    py::object items = pyglue::steal(PyObject_GetIter(value.ptr()));
    std::vector<py::object> out;
    while (out.size() < count) {
        PyObject* item = PyIter_Next(items.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                         count, out.size());
            throw py::error_already_set();
        }
        out.push_back(py::reinterpret_steal<py::object>(item));
    }
    PyObject* extra = PyIter_Next(items.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
}

// getattr(obj, name, "") != date
inline bool differs_from(py::handle obj, const char* name, py::handle date) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        value = PyUnicode_FromString("");
    }
    py::object current = pyglue::steal(value);
    return pyglue::compare(current, date, Py_NE);
}

// The special method `name` of `obj`, looked up on its type and bound, as `with` does.
inline py::object special_method(py::handle obj, const char* name) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()));
    PyObject* found = PyObject_GetAttrString(type, name);
    if (!found) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_AttributeError, name);
        }
        throw py::error_already_set();
    }
    py::object method = py::reinterpret_steal<py::object>(found);
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (!bind) return method;
    return pyglue::steal(bind(found, obj.ptr(), type));
}

// with ExtraHDFStore() as store: frame = store.read(query)
inline py::object read_extra_store(py::handle query) {
    py::object manager = ns.get("ExtraHDFStore")();
    py::object enter = special_method(manager, "__enter__");
    py::object exit = special_method(manager, "__exit__");
    py::object store = enter();
    py::object frame;
    try {
        frame = store.attr("read")(query);
    } catch (py::error_already_set& e) {
        pyglue::HandlingScope handling(e);
        if (!pyglue::truth(exit(e.type(), e.value(), e.trace()))) throw;
        // The store swallowed the error: `frame` was never assigned.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "local variable 'frame' referenced before assignment");
        throw py::error_already_set();
    }
    exit(py::none(), py::none(), py::none());
    return frame;
}

// Fills real_factor_cache with the day's factors; returns false when the store had no rows.
inline bool load_factors(py::handle date) {
    if (!differs_from(ns.get("real_factor_cache"), "date", date)) {
        PyErr_SetString(PyExc_Exception, "already load, skip.");
        throw py::error_already_set();
    }
    py::object frame = read_extra_store(py::str(kFactorQuery).attr("format")(date));
    if (pyglue::truth(frame.attr("empty"))) return false;
    // zip(frame["symbol"], frame.get("factor", repeat(None))): column by column, since a row
    // across the columns takes their common dtype, which next to pandas 3's string column turns
    // a factor of None into NaN.
    py::object no_factors = py::module_::import("itertools").attr("repeat")(py::none());
    py::object symbols = frame["symbol"];
    py::object factors = frame.attr("get")("factor", no_factors);
    py::object rows = py::module_::import("builtins").attr("zip")(symbols, factors);
    py::object pairs = pyglue::steal(PyObject_GetIter(rows.ptr()));
    while (PyObject* pair = PyIter_Next(pairs.ptr())) {
        std::vector<py::object> row = unpack(py::reinterpret_steal<py::object>(pair), 2);
        py::object cache = ns.get("real_factor_cache");
        py::object key = py::str("{}-{}").attr("format")(date, row[0]);
        cache[key] = row[1];
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    py::setattr(ns.get("real_factor_cache"), "date", date);
    return true;
}

// from varden.mod.stock.data.fast_data_source import FastDataSource
inline py::object import_fast_data_source() {
    constexpr const char* kModule = "varden.mod.stock.data.fast_data_source";
    py::object module = py::module_::import("builtins")
                            .attr("__import__")(kModule, py::none(), py::none(),
                                                py::make_tuple("FastDataSource"), 0);
    PyObject* cls = PyObject_GetAttrString(module.ptr(), "FastDataSource");
    if (cls) return py::reinterpret_steal<py::object>(cls);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object file = py::getattr(module, "__file__", py::none());
    std::string where = file.is_none() ? "unknown location" : py::str(file).cast<std::string>();
    py::str message("cannot import name 'FastDataSource' from '" + std::string(kModule) + "' (" +
                    where + ")");
    PyErr_SetImportError(message.ptr(), py::str(kModule).ptr(), file.ptr());
    throw py::error_already_set();
}

}  // namespace detail

inline void define_factors(py::module_& m) {
    ns.set("real_factor_cache",
           ns.get("TTLCache")(py::arg("maxsize") = 10240, py::arg("ttl") = 72000));
    // Today's factor as a float, or None.
    pyglue::def(m, "_real_factor", {"symbol"}, [](py::handle symbol) -> py::object {
        py::object date = ns.get("pd").attr("Timestamp").attr("now")().attr("strftime")("%Y-%m-%d");
        if (detail::differs_from(ns.get("real_factor_cache"), "date", date)) {
            try {
                if (!detail::load_factors(date)) return py::none();
            } catch (py::error_already_set& e) {
                if (!pyglue::is_exception(e)) throw;
                pyglue::HandlingScope handling(e);
                py::setattr(ns.get("real_factor_cache"), "date", date);
            }
        }
        try {
            py::object key = py::str("{}-{}").attr("format")(date, symbol);
            py::object value = ns.get("real_factor_cache").attr("get")(key);
            return pyglue::steal(PyNumber_Float(value.ptr()));
        } catch (py::error_already_set& e) {
            if (!pyglue::is_exception(e)) throw;
            return py::none();
        }
    });
    // The previous-close function of today's first capital event.
    pyglue::def(m, "_real_pre_field", {"symbol"}, [](py::handle symbol) {
        py::object fast_data_source = detail::import_fast_data_source();
        py::object now_dt =
            ns.get("pd").attr("Timestamp").attr("now")().attr("normalize")().attr("value");
        py::object fq_data = fast_data_source()
                                 .attr("_dividends")
                                 .attr("get_pre_with_symbol")(symbol, now_dt, now_dt);
        if (py::len(fq_data) > 0) {
            // (_, amount, dividend_ratio, ..., share_split_num) = fq_data[0]
            std::vector<py::object> event = detail::unpack(fq_data[py::int_(0)], 9);
            return pyglue::local_function(
                ns.name(), "_real_pre_field", "pre_field", {"x"},
                pyglue::capture(py::make_tuple(event[1], event[2], event[3], event[4], event[5],
                                               event[6], event[7], event[8])),
                [](py::handle captured, py::object x) {
                    auto [amount, dividend_ratio, split_ratio, allotment_price, allotment_num,
                          consideration_cash, consideration_num, share_split_num] =
                        pyglue::unpack<8>(captured);
                    // round((x - amount + allotment_price * allotment_num - consideration_cash)
                    //       / (dividend_ratio + 1 / split_ratio + allotment_num
                    //          + consideration_num) / share_split_num * 100) / 100
                    // One operation per statement: C++ leaves the operands' order open, Python
                    // goes left to right, and that order decides which error a bad event raises.
                    py::object numerator = x - amount;
                    numerator = numerator + allotment_price * allotment_num;
                    numerator = numerator - consideration_cash;
                    py::object denominator = dividend_ratio + py::int_(1) / split_ratio +
                                             allotment_num + consideration_num;
                    py::object scaled = numerator / denominator / share_split_num * py::int_(100);
                    py::object rounded = py::module_::import("builtins").attr("round")(scaled);
                    return rounded / py::int_(100);
                });
        }
        return pyglue::local_function(ns.name(), "_real_pre_field", "<lambda>", {"x"},
                                      [](py::object x) { return x; });
    });
}

}  // namespace quotewire
