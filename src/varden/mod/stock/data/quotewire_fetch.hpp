// The quotation entry, the six getters and stock_base: today's live bars are fetched through
// the data layer's reader, each record completed by a record fix, and appended below the
// caller's history block in its column order.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>

#include "quotewire_common.hpp"

namespace quotewire {

namespace detail {

// dict(zip(field, last_data[-1])): the reference record of the last historical bar.
inline py::dict last_bar_record(py::handle field, py::handle last_data) {
    py::object row = pyglue::steal(PyObject_GetItem(last_data.ptr(), py::int_(-1).ptr()));
    py::object names = pyglue::steal(PyObject_GetIter(field.ptr()));
    py::object values = pyglue::steal(PyObject_GetIter(row.ptr()));
    py::dict record;
    while (true) {
        py::object name = py::reinterpret_steal<py::object>(PyIter_Next(names.ptr()));
        if (!name) break;
        py::object value = py::reinterpret_steal<py::object>(PyIter_Next(values.ptr()));
        if (!value) break;
        if (PyDict_SetItem(record.ptr(), name.ptr(), value.ptr()) < 0) {
            throw py::error_already_set();
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return record;
}

// RealData(system_log, request).get_real_data(Timestamp(start), Timestamp(end), date_type)
inline py::object read_real_data(py::handle request, py::handle start_dt, py::handle end_dt,
                                 py::handle date_type) {
    py::object reader = ns.get("RealData")(ns.get("system_log"), request);
    py::object get_real_data = reader.attr("get_real_data");
    py::object timestamp = ns.get("pd").attr("Timestamp");
    py::object start = timestamp(start_dt);
    py::object end = timestamp(end_dt);
    return get_real_data(start, end, date_type);
}

// One live fetch: request(instrument, data_fix_fn=partial(fix, last_data=reference)), then
// read_real_data.
inline py::object fetch_today(const char* request_class, const char* fix, py::handle instrument,
                              py::handle start_dt, py::handle end_dt, const char* date_type,
                              py::handle reference) {
    py::object request_type = ns.get(request_class);
    py::object bound_fix = ns.get("partial")(ns.get(fix), py::arg("last_data") = reference);
    py::object request = request_type(instrument, py::arg("data_fix_fn") = bound_fix);
    return read_real_data(request, start_dt, end_dt, py::str(date_type));
}

// Appends the fetched frame's rows below `last_data`, columns in the order of `field`; the
// date column becomes int64 nanoseconds (midnight for daily bars), as in the history block.
inline py::object append_today(py::object data, py::handle last_data, py::handle field,
                               const char* date_column, bool daily) {
    if (data.is_none() || pyglue::truth(data.attr("empty"))) {
        return py::reinterpret_borrow<py::object>(last_data);
    }
    py::object index = ns.get("pd").attr("DatetimeIndex")(data[date_column]);
    if (daily) index = index.attr("normalize")();
    // Nanoseconds whatever unit the frame came in: the block's dates are nanoseconds.
    data[date_column] = index.attr("as_unit")("ns").attr("astype")(ns.get("np").attr("int64"));
    py::object today = data[field].attr("values");
    return ns.get("np").attr("concatenate")(py::make_tuple(last_data, today));
}

// The stock reference record: the last bar, the instrument's code, today's factor if wanted.
inline py::dict stock_reference(py::handle instrument, py::handle field, py::handle last_data) {
    py::dict reference = last_bar_record(field, last_data);
    reference["order_book_id"] = instrument.attr("order_book_id");
    if (pyglue::contains(field, PYGLUE_INTERN("factor"))) {
        py::object today = ns.get("_real_factor")(instrument.attr("order_book_id"));
        reference["factor"] =
            pyglue::truth(today) ? today : pyglue::get(reference, PYGLUE_INTERN("factor"));
    }
    return reference;
}

}  // namespace detail

// The futures and option getters differ only in these.
struct DerivativeGetter {
    const char* request_class;
    const char* fix;
    const char* date_type;
    const char* date_column;
    bool daily;
    bool copy_field;
};

inline constexpr DerivativeGetter kFuturesDaily{
    "FutureBaseDataRequest", "_data_future_fix", "daily", "trade_date", true, false};
inline constexpr DerivativeGetter kFuturesMinute{
    "FutureBaseDataRequest", "_data_future_fix", "minute", "trade_date", false, false};
inline constexpr DerivativeGetter kOptionDaily{
    "OptionBaseDataRequest", "_data_option_fix", "daily", "date", true, true};
inline constexpr DerivativeGetter kOptionMinute{
    "OptionBaseDataRequest", "_data_option_fix", "minute", "trade_date", false, true};

inline py::object derivative_quotation_get(const DerivativeGetter& getter, py::handle instrument,
                                           py::handle start_dt, py::handle end_dt, py::handle field,
                                           py::handle last_data) {
    // The option getters work on their own copy of the caller's field list.
    py::object fields = getter.copy_field ? pyglue::steal(PySequence_List(field.ptr()))
                                          : py::reinterpret_borrow<py::object>(field);
    py::dict reference = detail::last_bar_record(fields, last_data);
    py::object data = detail::fetch_today(getter.request_class, getter.fix, instrument, start_dt,
                                          end_dt, getter.date_type, reference);
    return detail::append_today(data, last_data, fields, getter.date_column, getter.daily);
}

namespace detail {

// `instrument.enum_type in <collection named kinds>`
inline bool of_kind(py::handle instrument, const char* kinds) {
    py::object kind = instrument.attr("enum_type");
    return pyglue::contains(ns.get(kinds), kind);
}

inline py::object choose_getter(py::handle instrument, py::handle fre) {
    static const char* const table[3][3] = {
        {"INST_TYPE_IN_FUTURE_ACCOUNT", "futures_daily_quotation_get",
         "futures_minute_quotation_get"},
        {"INST_TYPE_IN_STOCK_ACCOUNT", "stock_daily_quotation_get", "stock_minute_quotation_get"},
        {"INST_TYPE_IN_OPTION_ACCOUNT", "option_daily_quotation_get",
         "option_minute_quotation_get"},
    };
    for (const auto& row : table) {
        if (!of_kind(instrument, row[0])) continue;
        return ns.get(pyglue::equals(fre, PYGLUE_INTERN("1d")) ? row[1] : row[2]);
    }
    return py::object();
}

}  // namespace detail

namespace detail {

// `read()`, or `placeholder` when reading raises an ordinary exception: the failure entry logs
// what it can and must not raise itself.
template <class Read>
py::object or_placeholder(Read read, py::object placeholder) {
    try {
        return read();
    } catch (py::error_already_set& e) {
        if (!pyglue::is_exception(e)) throw;
        return placeholder;
    }
}

// The name of `value`'s type without its module, as type(value).__name__ reads.
inline py::str type_name(py::handle value) {
    const char* name = Py_TYPE(value.ptr())->tp_name;
    const char* dot = std::strrchr(name, '.');
    return py::str(dot ? dot + 1 : name);
}

// str(value), or its type's name when that raises.
inline py::object text_or_type_name(py::handle value) {
    return or_placeholder([value] { return py::object(py::str(value)); }, type_name(value));
}

// One "quotation_get_remote_fail" entry for `error`.
inline void log_fetch_failure(py::handle instrument, py::handle start_date, py::handle end_date,
                              py::handle error) {
    py::dict extra;
    extra["symbol"] =
        or_placeholder([instrument] { return instrument.attr("order_book_id"); }, py::none());
    extra["start_date"] = text_or_type_name(start_date);
    extra["end_date"] = text_or_type_name(end_date);
    extra["reason"] = text_or_type_name(error);
    ns.get("system_log").attr("error")("quotation_get_remote_fail", py::arg("extra") = extra);
}

}  // namespace detail

// The module's fetch functions, in the order its users see them.
inline void define_derivative_getter(py::module_& m, const char* name,
                                     const DerivativeGetter& getter) {
    pyglue::def(m, name, {"instrument", "start_dt", "end_dt", "field", "last_data"},
                [&getter](py::handle instrument, py::handle start_dt, py::handle end_dt,
                          py::handle field, py::handle last_data) {
                    return derivative_quotation_get(getter, instrument, start_dt, end_dt, field,
                                                    last_data);
                });
}

inline void define_fetch(py::module_& m) {
    // A failure never reaches the caller, who gets the block back and one log entry.
    pyglue::def(m, "quotation_get_remote",
                {"instrument", "start_date", "end_date", "last_data", "fre", "fields"},
                [](py::handle instrument, py::handle start_date, py::handle end_date,
                   py::handle last_data, py::handle fre, py::handle fields) -> py::object {
                    try {
                        py::object getter = detail::choose_getter(instrument, fre);
                        if (!getter) return py::reinterpret_borrow<py::object>(last_data);
                        return getter(instrument, start_date, end_date, fields, last_data);
                    } catch (py::error_already_set& e) {
                        if (!pyglue::is_exception(e)) throw;
                        pyglue::HandlingScope handling(e);
                        try {
                            detail::log_fetch_failure(instrument, start_date, end_date, e.value());
                        } catch (py::error_already_set& log_error) {
                            // A broken logger: nothing more to do.
                            if (!pyglue::is_exception(log_error)) throw;
                        }
                        return py::reinterpret_borrow<py::object>(last_data);
                    }
                });
    pyglue::def(
        m, "stock_daily_quotation_get", {"instrument", "start_dt", "end_dt", "field", "last_data"},
        [](py::handle instrument, py::handle start_dt, py::handle end_dt, py::handle field,
           py::handle last_data) {
            py::dict reference = detail::stock_reference(instrument, field, last_data);
            if (pyglue::contains(field, PYGLUE_INTERN("prev_close"))) {
                reference["pre_field_fn"] =
                    ns.get("_real_pre_field")(instrument.attr("order_book_id"));
            }
            py::object stock_base_fn = ns.get("stock_base");
            py::object fix =
                ns.get("partial")(ns.get("_data_fix"), py::arg("last_data") = reference);
            py::object data =
                stock_base_fn(instrument, start_dt, end_dt, "daily", py::arg("data_fix_fn") = fix);
            return detail::append_today(data, last_data, field, "trade_date", true);
        });
    pyglue::def(m, "stock_minute_quotation_get",
                {"instrument", "start_dt", "end_dt", "field", "last_data"},
                [](py::handle instrument, py::handle start_dt, py::handle end_dt, py::handle field,
                   py::handle last_data) {
                    py::dict reference = detail::stock_reference(instrument, field, last_data);
                    py::object stock_base_fn = ns.get("stock_base");
                    py::list opening;
                    opening.append("0930");
                    py::object fix =
                        ns.get("partial")(ns.get("_data_fix"), py::arg("last_data") = reference,
                                          py::arg("rm_mins") = opening);
                    py::object data =
                        stock_base_fn(instrument, start_dt, end_dt, py::arg("data_fix_fn") = fix);
                    return detail::append_today(data, last_data, field, "trade_date", false);
                });
    define_derivative_getter(m, "futures_daily_quotation_get", kFuturesDaily);
    define_derivative_getter(m, "futures_minute_quotation_get", kFuturesMinute);
    define_derivative_getter(m, "option_daily_quotation_get", kOptionDaily);
    define_derivative_getter(m, "option_minute_quotation_get", kOptionMinute);
    pyglue::def(m, "stock_base",
                {"instrument",
                 {"start_dt", py::none()},
                 {"end_dt", py::none()},
                 {"date_type", py::str("minute")},
                 "**extra_params"},
                [](py::handle instrument, py::handle start_dt, py::handle end_dt,
                   py::handle date_type, pyglue::VarKwargs extra_params) {
                    py::object request_type = ns.get("StockBaseDataRequest");
                    py::object request = pyglue::steal(PyObject_Call(
                        request_type.ptr(), py::make_tuple(instrument).ptr(), extra_params.ptr()));
                    return detail::read_real_data(request, start_dt, end_dt, date_type);
                });
}

}  // namespace quotewire
