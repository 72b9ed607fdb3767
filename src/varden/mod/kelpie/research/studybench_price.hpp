// Bars: read locally through the fast data source, or as candlesticks from the data service.
#pragma once

#include "studybench_common.hpp"

namespace studybench {

constexpr const char* kMultiStepFields[] = {"open",   "close",    "high",   "low",
                                            "volume", "turnover", "settle", "open_interest"};

// Reads the bar step and the end day; None when either cannot be read or when a step of more
// than one unit asks for fields that cannot be aggregated (the user is told which can).
inline bool read_bar_request(py::handle fre_step, py::handle end_date, py::handle fields,
                             py::object& end_ns) {
    try {
        py::object step = py::int_(fre_step[slice(py::none(), py::int_(-1))]);
        py::object unit = fre_step[py::int_(-1)];
        end_ns = timestamp(end_date).attr("value");
        if (!pyglue::contains(py::make_tuple("d", "m", "t"), unit)) return false;
        if (pyglue::compare(step, py::int_(1), Py_GT)) {
            py::object allowed = ns.get("MULTI_STEP_FIELDS");
            bool aggregatable = !fields.is_none();
            if (aggregatable) {
                for (py::handle field : fields) {
                    if (!pyglue::contains(allowed, field)) {
                        aggregatable = false;
                        break;
                    }
                }
            }
            if (!aggregatable) {
                py::str message("当step大于1时,只允许取%s其中字段.");
                py::object names = py::list(allowed);
                ns.get("user_system_log")
                    .attr("info")(pyglue::steal(PyUnicode_Format(message.ptr(), names.ptr())));
                return false;
            }
        }
        return true;
    } catch (py::error_already_set& e) {
        if (!pyglue::is_exception(e)) throw;
        return false;
    }
}

inline py::object multi_step_fields() {
    py::list names;
    for (const char* name : kMultiStepFields) names.append(name);
    return pyglue::steal(PyFrozenSet_New(names.ptr()));
}

inline void define_price_functions() {
    py::object none = py::none(), no = py::bool_(false);
    py::object str_t = builtin_type("str"), list_t = builtin_type("list");
    py::object flag = samples(true, 0, 1), fq_kind = samples("post", none);
    pyglue::def(
        ns.module(), "get_price",
        {"securities",
         {"start_date", none},
         {"end_date", py::str("20180101")},
         {"fre_step", py::str("1d")},
         {"fields", none},
         {"skip_paused", no},
         {"fq", py::str("pre")},
         {"bar_count", py::int_(0)},
         {"is_panel", no}},
        checked({py::make_tuple(str_t, list_t), date_spec(), date_spec(), str_t, list_t, flag,
                 fq_kind, builtin_type("int"), flag}),
        [](py::handle securities, py::object start_date, py::handle end_date, py::handle fre_step,
           py::handle fields, py::handle skip_paused, py::handle fq, py::handle bar_count,
           py::handle is_panel) -> py::object {
            // A type keyword is expanded for the end day exactly as the user wrote it.
            py::object codes = ns.get("get_all_symbol_filter")(end_date, securities);
            py::object end_ns;
            if (!read_bar_request(fre_step, end_date, fields, end_ns)) return py::none();

            if (pyglue::truth(start_date)) {
                if (pyglue::compare(bar_count, py::int_(0), Py_NE)) {
                    py::object message = py::str("开始日期 {0} 和bar_count {1} 同时设置")
                                             .format(start_date, bar_count);
                    pyglue::raise(py::handle(PyExc_Exception), message);
                }
                start_date = timestamp(start_date).attr("value");
            }

            // One new source per security: FastDataSource().history_window(code, ...), eight
            // positional arguments.
            auto read = [&](py::handle code) {
                py::object source =
                    pyglue::steal(PyObject_CallNoArgs(ns.get("FastDataSource").ptr()));
                PyObject* args[] = {source.ptr(),      code.ptr(),     end_ns.ptr(),
                                    bar_count.ptr(),   fre_step.ptr(), fields.ptr(),
                                    skip_paused.ptr(), fq.ptr(),       start_date.ptr()};
                return pyglue::steal(PyObject_VectorcallMethod(PYGLUE_INTERN("history_window"),
                                                               args, std::size(args), nullptr));
            };
            if (PyUnicode_Check(codes.ptr())) return read(codes);
            if (!PyList_Check(codes.ptr())) return py::none();

            py::dict by_code;
            for (py::handle code : codes) {
                if (PyDict_SetItem(by_code.ptr(), code.ptr(), read(code).ptr()) < 0) {
                    throw py::error_already_set();
                }
            }
            if (!pyglue::truth(is_panel)) return std::move(by_code);

            py::object panel =
                ns.get("pd_Panel").attr("from_dict")(by_code, py::arg("orient") = "minor");
            if (!pyglue::truth(bar_count)) return panel;
            py::object last = pyglue::steal(PyNumber_Negative(bar_count.ptr()));
            return panel.attr(
                "iloc")[py::make_tuple(slice(py::none(), py::none()), slice(last, py::none()))];
        });
    pyglue::def(
        ns.module(), "get_candle_stick",
        {"securities",
         {"end_date", py::str("20180101")},
         {"fre_step", py::str("1d")},
         {"fields", none},
         {"skip_paused", no},
         {"fq", py::str("pre")},
         {"bar_count", py::int_(0)},
         {"is_panel", no}},
        checked({py::make_tuple(str_t, list_t), date_spec(), str_t, list_t, flag, fq_kind,
                 builtin_type("int")}),
        [](py::handle securities, py::handle end_date, py::handle fre_step, py::handle fields,
           py::handle skip_paused, py::handle fq, py::handle bar_count, py::handle is_panel) {
            py::object end = timestamp(end_date).attr("strftime")("%Y%m%d %H:%M:00");
            py::object result = ns.get("kp_api").attr("all_api")(
                py::arg("api_name") = "get_candle_stick", py::arg("securities") = securities,
                py::arg("end_date") = end, py::arg("fre_step") = fre_step,
                py::arg("fields") = fields, py::arg("skip_paused") = skip_paused,
                py::arg("fq") = fq, py::arg("bar_count") = bar_count);
            if (pyglue::truth(is_panel)) return ns.get("pd_Panel")(result);
            return result;
        });
}

}  // namespace studybench
