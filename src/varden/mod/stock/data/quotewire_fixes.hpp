// The record fixes: each live record is completed from the last historical bar (the reference
// record) and, for stocks and options, from the previous kept record of the same fetch.
//
// They run once per live bar inside the data layer, so every value is read and computed without
// detours; the arithmetic gives what the Python expressions give (see quotewire_numbers.hpp).
// All fields are computed before the record is touched: a fix that raises leaves it unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>

#include "quotewire_bartime.hpp"
#include "quotewire_common.hpp"
#include "quotewire_numbers.hpp"

namespace quotewire {

#define QW_KEY(text) PYGLUE_INTERN(text)

namespace detail {

inline PyObject* np_nan = nullptr;         // numpy.nan, what the futures fix stores as limits
inline PyObject* no_pre_field = nullptr;   // marks a reference record without pre_field_fn
inline PyObject* opening_times = nullptr;  // ("0900", "0930", "2100")
inline PyObject* growth_boards = nullptr;  // ("30", "688", "689")

// text.endswith(suffix) or text.startswith(prefixes), for any object that has the method.
inline bool text_test(py::handle text, const char* method, PyObject* affixes) {
    if (PyUnicode_CheckExact(text.ptr())) {
        const int direction = method[0] == 'e' ? 1 : -1;
        if (PyUnicode_CheckExact(affixes)) {
            Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), affixes, 0, PY_SSIZE_T_MAX, direction);
            if (r < 0) throw py::error_already_set();
            return r != 0;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(affixes); ++i) {
            Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), PyTuple_GET_ITEM(affixes, i), 0,
                                               PY_SSIZE_T_MAX, direction);
            if (r < 0) throw py::error_already_set();
            if (r) return true;
        }
        return false;
    }
    return truthy(text.attr(method)(py::handle(affixes)));
}

// Price-limit width of the day: none without a reference limit, else by board and ST flag.
inline double limit_margin(py::handle record, py::handle ref) {
    if (!truthy(get(ref, QW_KEY("high_limit")))) return NAN;
    if (text_test(item_at(ref, QW_KEY("order_book_id")), "endswith", QW_KEY(".BJ"))) return 0.3;
    if (text_test(item_at(record, QW_KEY("ticker")), "startswith", growth_boards)) return 0.2;
    if (truthy(get(ref, QW_KEY("is_st")))) return 0.05;
    return 0.1;
}

}  // namespace detail

// Called once at import.
inline void init_fixes(py::handle np_nan) {
    detail::np_nan = py::reinterpret_borrow<py::object>(np_nan).release().ptr();
    detail::no_pre_field = py::object(py::module_::import("builtins").attr("object")())
                               .release()
                               .ptr();
    detail::opening_times = py::make_tuple("0900", "0930", "2100").release().ptr();
    detail::growth_boards = py::make_tuple("30", "688", "689").release().ptr();
}

// _data_fix(symbol_dict, last_data, last_symbol_dict, rm_mins=<shared []>)
inline py::object data_fix(const pyglue::Args& args) {
    py::handle record = args[0], ref = args[1], prev = args[2], rm_mins = args[3];
    PyObject* const zero = int_const<0>();
    PyObject* const one = int_const<1>();

    BarTime when(item_at(record, QW_KEY("trade_date")));
    if (when.in(rm_mins)) discard_record();
    const bool minute_mode = truthy(rm_mins);
    const double margin = detail::limit_margin(record, ref);

    static PyObject* const keys[10] = {
        QW_KEY("high_limit"), QW_KEY("low_limit"),  QW_KEY("factor"),
        QW_KEY("prev_close"), QW_KEY("is_paused"),  QW_KEY("is_st"),
        QW_KEY("avg_price"),  QW_KEY("quote_rate"), QW_KEY("turnover_rate"),
        QW_KEY("amp_rate")};
    py::object values[10];

    values[0] = (Num::of(get(ref, QW_KEY("close"), zero)) * Num::float_(1 + margin))
                    .round2()
                    .object();
    values[1] = (Num::of(get(ref, QW_KEY("close"), zero)) * Num::float_(1 - margin))
                    .round2()
                    .object();
    values[2] = get(ref, QW_KEY("factor"));

    if (minute_mode) {
        values[3] = get_or(prev, QW_KEY("close"), ref, QW_KEY("close"));
    } else {
        py::object pre_field = get(ref, QW_KEY("pre_field_fn"), detail::no_pre_field);
        py::object close = get(ref, QW_KEY("close"));
        values[3] = pre_field.ptr() == detail::no_pre_field
                        ? close
                        : steal_or_throw(PyObject_CallOneArg(pre_field.ptr(), close.ptr()));
    }

    if (truthy(get(record, QW_KEY("volume"))) || truthy(get(prev, QW_KEY("volume")))) {
        values[4] = py::float_(0.0);
    } else {
        values[4] = steal_or_throw(PyNumber_Float(get(ref, QW_KEY("is_paused")).ptr()));
    }
    values[5] = get(ref, QW_KEY("is_st"));

    if (truthy(get(record, QW_KEY("volume"), one))) {
        Num turnover = Num::of(get(record, QW_KEY("turnover"), zero));
        values[6] = (turnover / Num::of(get(record, QW_KEY("volume"), one))).object();
    } else {
        values[6] = get_or(prev, QW_KEY("avg_price"), ref, QW_KEY("avg_price"), one);
    }

    {
        Num close = Num::of(get(record, QW_KEY("close"), zero));
        Num ratio = close / Num::of(get(ref, QW_KEY("close"), one));
        values[7] = ((ratio - Num::of(one)) * Num::of(int_const<100>())).object();
    }

    if (truthy(get(record, QW_KEY("volume"), one)) &&
        truthy(get_or(prev, QW_KEY("volume"), ref, QW_KEY("volume"), one))) {
        Num volume = Num::of(get(record, QW_KEY("volume"), zero));
        Num scaled = volume * Num::of(get_or(prev, QW_KEY("turnover_rate"), ref,
                                             QW_KEY("turnover_rate"), zero));
        values[8] = (scaled / Num::of(get_or(prev, QW_KEY("volume"), ref, QW_KEY("volume"), one)))
                        .object();
    } else {
        values[8] = get_or(prev, QW_KEY("turnover_rate"), ref, QW_KEY("turnover_rate"), one);
    }

    {
        Num high = Num::of(get(record, QW_KEY("high"), zero));
        Num range = high - Num::of(get(record, QW_KEY("low"), zero));
        Num ratio = range / Num::of(get_or(prev, QW_KEY("close"), ref, QW_KEY("close"), one));
        values[9] = (ratio * Num::of(int_const<100>())).object();
    }

    update_record(record, keys, values);
    return py::reinterpret_borrow<py::object>(record);
}

// S.get("settle") when truthy, else S.get("close", 0)
inline py::object live_settle(py::handle record) {
    py::object settle = get(record, QW_KEY("settle"));
    if (truthy(settle)) return settle;
    return get(record, QW_KEY("close"), int_const<0>());
}

// _data_future_fix(symbol_dict, last_data)
inline py::object data_future_fix(const pyglue::Args& args) {
    py::handle record = args[0], ref = args[1];
    PyObject* const zero = int_const<0>();
    PyObject* const one = int_const<1>();
    PyObject* const hundred = int_const<100>();

    BarTime when(item_at(record, QW_KEY("trade_date")));
    if (when.in(detail::opening_times)) {
        int marked = PySequence_Contains(ref.ptr(), QW_KEY("rm_before_dt"));
        if (marked < 0) throw py::error_already_set();
        if (!marked) {
            if (PyObject_SetItem(ref.ptr(), QW_KEY("rm_before_dt"), Py_True) < 0) {
                throw py::error_already_set();
            }
            discard_record();
        }
    }
    py::object settle = live_settle(record);

    static PyObject* const keys[22] = {
        QW_KEY("change"),         QW_KEY("change1"),        QW_KEY("amp_rate"),
        QW_KEY("high_limit"),     QW_KEY("low_limit"),      QW_KEY("settle"),
        QW_KEY("prev_close"),     QW_KEY("prev_settle"),    QW_KEY("buy_margin"),
        QW_KEY("sell_margin"),    QW_KEY("flat_fee"),       QW_KEY("float_fee"),
        QW_KEY("float_today"),    QW_KEY("d1_buy_margin"),  QW_KEY("d1_sell_margin"),
        QW_KEY("d2_buy_margin"),  QW_KEY("d2_sell_margin"), QW_KEY("d3_buy_margin"),
        QW_KEY("d3_sell_margin"), QW_KEY("quote_rate"),     QW_KEY("main_contract"),
        QW_KEY("pos_change")};
    py::object values[22];

    {
        Num close = Num::of(get(record, QW_KEY("close"), zero));
        values[0] = (close - Num::of(get(ref, QW_KEY("settle"), zero))).object();
    }
    values[1] = (Num::of(settle) - Num::of(get(ref, QW_KEY("settle"), zero))).object();
    {
        Num high = Num::of(get(record, QW_KEY("high"), zero));
        Num range = high - Num::of(get(record, QW_KEY("low"), zero));
        Num ratio = range / Num::of(get(ref, QW_KEY("settle"), one));
        values[2] = (ratio * Num::of(hundred)).object();
    }
    values[3] = py::reinterpret_borrow<py::object>(detail::np_nan);
    values[4] = py::reinterpret_borrow<py::object>(detail::np_nan);
    values[5] = settle;
    values[6] = get(ref, QW_KEY("close"), zero);
    values[7] = get(ref, QW_KEY("settle"), zero);
    for (int i = 8; i < 19; ++i) values[i] = get(ref, keys[i], zero);
    {
        Num close = Num::of(get(record, QW_KEY("close"), zero));
        Num ratio = close / Num::of(get(ref, QW_KEY("settle"), one));
        values[19] = ((ratio - Num::of(one)) * Num::of(hundred)).object();
    }
    values[20] = get(ref, QW_KEY("main_contract"), zero);
    {
        Num interest = Num::of(get(record, QW_KEY("open_interest"), zero));
        values[21] = (interest - Num::of(get(ref, QW_KEY("open_interest"), zero))).object();
    }

    update_record(record, keys, values);
    return py::reinterpret_borrow<py::object>(record);
}

// _data_option_fix(symbol_dict, last_data, last_symbol_dict)
inline py::object data_option_fix(const pyglue::Args& args) {
    py::handle record = args[0], ref = args[1], prev = args[2];
    PyObject* const zero = int_const<0>();
    PyObject* const one = int_const<1>();

    BarTime when(item_at(record, QW_KEY("trade_date")));
    if (when.equals(QW_KEY("0930"))) discard_record();
    py::object settle = live_settle(record);

    static PyObject* const keys[13] = {
        QW_KEY("change"),     QW_KEY("change1"), QW_KEY("prev_close"), QW_KEY("prev_settle"),
        QW_KEY("quote"),      QW_KEY("quote_rate"), QW_KEY("settle"),  QW_KEY("avg_price"),
        QW_KEY("date"),       QW_KEY("delta"),   QW_KEY("implied_volatility"),
        QW_KEY("exercise_amount"), QW_KEY("volume_num")};
    py::object values[13];

    {
        Num close = Num::of(get(record, QW_KEY("close"), zero));
        values[0] = (close - Num::of(get(ref, QW_KEY("settle"), zero))).object();
    }
    values[1] = (Num::of(settle) - Num::of(get(ref, QW_KEY("settle"), zero))).object();
    values[2] = get(ref, QW_KEY("close"), zero);
    values[3] = get(ref, QW_KEY("settle"), zero);
    {
        Num close = Num::of(get(record, QW_KEY("close"), zero));
        values[4] =
            (close - Num::of(get_or(ref, QW_KEY("settle"), ref, QW_KEY("close"), zero))).object();
    }
    {
        Num close = Num::of(get(record, QW_KEY("close"), zero));
        Num ratio = close / Num::of(get_or(ref, QW_KEY("settle"), ref, QW_KEY("close"), one));
        values[5] = ((ratio - Num::of(one)) * Num::of(int_const<100>())).object();
    }
    values[6] = settle;
    if (truthy(get(record, QW_KEY("volume"), one))) {
        Num turnover = Num::of(get(record, QW_KEY("turnover"), zero));
        Num per_unit = turnover / Num::of(get(record, QW_KEY("volume"), one));
        values[7] = (per_unit / Num::of(int_const<10000>())).object();
    } else {
        values[7] = get_or(prev, QW_KEY("avg_price"), ref, QW_KEY("avg_price"), one);
    }
    values[8] = get(record, QW_KEY("trade_date"), zero);
    for (int i = 9; i < 13; ++i) values[i] = get(record, keys[i], zero);

    update_record(record, keys, values);
    return py::reinterpret_borrow<py::object>(record);
}

#undef QW_KEY

}  // namespace quotewire
