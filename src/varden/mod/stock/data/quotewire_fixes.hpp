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
#include "quotewire_reader.hpp"

namespace quotewire {

#define QW_KEY(text) PYGLUE_INTERN(text)

namespace detail {

inline PyObject* np_nan = nullptr;         // numpy.nan, what the futures fix stores as limits
inline PyObject* no_pre_field = nullptr;   // marks a reference record without pre_field_fn
inline PyObject* opening_times = nullptr;  // ("0900", "0930", "2100")
inline PyObject* growth_boards = nullptr;  // ("30", "688", "689")
inline PyObject* zero_float = nullptr;     // the 0.0 of an untraded-but-not-paused bar

// text.endswith(suffix) or text.startswith(prefixes), for any object that has the method.
inline bool text_test(PyObject* text, const char* method, PyObject* affixes) {
    if (PyUnicode_CheckExact(text)) {
        const int direction = method[0] == 'e' ? 1 : -1;
        if (PyUnicode_CheckExact(affixes)) {
            Py_ssize_t r = PyUnicode_Tailmatch(text, affixes, 0, PY_SSIZE_T_MAX, direction);
            if (r < 0) throw py::error_already_set();
            return r != 0;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(affixes); ++i) {
            Py_ssize_t r = PyUnicode_Tailmatch(text, PyTuple_GET_ITEM(affixes, i), 0,
                                               PY_SSIZE_T_MAX, direction);
            if (r < 0) throw py::error_already_set();
            if (r) return true;
        }
        return false;
    }
    ++code_epoch;
    py::object owner = py::reinterpret_borrow<py::object>(text);
    py::object result = owner.attr(method)(py::handle(affixes));
    return truth(result.ptr());
}

// The bar time of `record` as the discard tests read it.
inline BarTime bar_time(Reader& record) {
    return BarTime(record.item(QW_KEY("trade_date")));
}

inline py::object borrow(PyObject* o) {
    return py::reinterpret_borrow<py::object>(o);
}

}  // namespace detail

// Called once at import.
inline void init_fixes(py::handle np_nan) {
    detail::np_nan = py::reinterpret_borrow<py::object>(np_nan).release().ptr();
    detail::no_pre_field =
        py::object(py::module_::import("builtins").attr("object")()).release().ptr();
    detail::opening_times = py::make_tuple("0900", "0930", "2100").release().ptr();
    detail::growth_boards = py::make_tuple("30", "688", "689").release().ptr();
    detail::zero_float = py::float_(0.0).release().ptr();
}

// _data_fix(symbol_dict, last_data, last_symbol_dict, rm_mins=<shared []>)
inline py::object data_fix(const pyglue::Args& args) {
    using detail::borrow;
    Reader record(args[0]), ref(args[1]), prev(args[2]);
    py::handle rm_mins = args[3];
    PyObject* const zero = int_const<0>();
    PyObject* const one = int_const<1>();
    PyObject* const hundred = int_const<100>();
    Field s_volume(record, QW_KEY("volume"));
    Field r_close(ref, QW_KEY("close")), r_is_st(ref, QW_KEY("is_st"));
    Field r_volume(ref, QW_KEY("volume")), r_turnover_rate(ref, QW_KEY("turnover_rate"));
    Field p_close(prev, QW_KEY("close")), p_volume(prev, QW_KEY("volume"));
    Field p_turnover_rate(prev, QW_KEY("turnover_rate"));

    if (detail::bar_time(record).in(rm_mins)) discard_record();
    const bool minute_mode = truth(rm_mins.ptr());

    // Price-limit width: none without a reference limit, else by board and ST flag.
    double margin = 0.1;
    if (!truth(ref.get(QW_KEY("high_limit")))) {
        margin = NAN;
    } else if (detail::text_test(ref.item(QW_KEY("order_book_id")), "endswith", QW_KEY(".BJ"))) {
        margin = 0.3;
    } else if (detail::text_test(record.item(QW_KEY("ticker")), "startswith",
                                 detail::growth_boards)) {
        margin = 0.2;
    } else if (truth(r_is_st.get())) {
        margin = 0.05;
    }

    static PyObject* const keys[10] = {
        QW_KEY("high_limit"),    QW_KEY("low_limit"), QW_KEY("factor"),    QW_KEY("prev_close"),
        QW_KEY("is_paused"),     QW_KEY("is_st"),     QW_KEY("avg_price"), QW_KEY("quote_rate"),
        QW_KEY("turnover_rate"), QW_KEY("amp_rate")};
    NewFields<10> values;

    values.set(0, (Num::of(r_close.get(zero)) * Num::float_(1 + margin)).round2().object());
    values.set(1, (Num::of(r_close.get(zero)) * Num::float_(1 - margin)).round2().object());
    values.set_borrowed(2, ref.get(QW_KEY("factor")));

    if (minute_mode) {
        values.set_borrowed(3, get_or(p_close, r_close));
    } else {
        py::object pre_field = borrow(ref.get(QW_KEY("pre_field_fn"), detail::no_pre_field));
        py::object close = borrow(r_close.get());
        if (pre_field.ptr() == detail::no_pre_field) {
            values.set(3, std::move(close));
        } else {
            ++code_epoch;
            values.set(3, pyglue::steal(PyObject_CallOneArg(pre_field.ptr(), close.ptr())));
        }
    }

    if (truth(s_volume.get()) || truth(p_volume.get())) {
        values.set_borrowed(4, detail::zero_float);
    } else {
        PyObject* paused = ref.get(QW_KEY("is_paused"));
        if (!is_inert(paused)) ++code_epoch;
        values.set(4, pyglue::steal(PyNumber_Float(paused)));
    }
    values.set_borrowed(5, r_is_st.get());

    if (truth(s_volume.get(one))) {
        Num turnover = Num::of(record.get(QW_KEY("turnover"), zero));
        values.set(6, (turnover / Num::of(s_volume.get(one))).object());
    } else {
        Field p_avg_price(prev, QW_KEY("avg_price")), r_avg_price(ref, QW_KEY("avg_price"));
        values.set_borrowed(6, get_or(p_avg_price, r_avg_price, one));
    }

    {
        Num close = Num::of(record.get(QW_KEY("close"), zero));
        Num ratio = close / Num::of(r_close.get(one));
        values.set(7, ((ratio - Num::of(one)) * Num::of(hundred)).object());
    }

    if (truth(s_volume.get(one)) && truth(get_or(p_volume, r_volume, one))) {
        Num volume = Num::of(s_volume.get(zero));
        Num scaled = volume * Num::of(get_or(p_turnover_rate, r_turnover_rate, zero));
        values.set(8, (scaled / Num::of(get_or(p_volume, r_volume, one))).object());
    } else {
        values.set_borrowed(8, get_or(p_turnover_rate, r_turnover_rate, one));
    }

    {
        Num high = Num::of(record.get(QW_KEY("high"), zero));
        Num range = high - Num::of(record.get(QW_KEY("low"), zero));
        Num ratio = range / Num::of(get_or(p_close, r_close, one));
        values.set(9, (ratio * Num::of(hundred)).object());
    }

    values.apply(args[0], keys);
    return borrow(args[0].ptr());
}

// S.get("settle") when truthy, else S.get("close", 0); held, as the fixes use it twice.
inline py::object live_settle(Reader& record, Field& close) {
    py::object settle = detail::borrow(record.get(QW_KEY("settle")));
    if (truth(settle.ptr())) return settle;
    return detail::borrow(close.get(int_const<0>()));
}

// _data_future_fix(symbol_dict, last_data)
inline py::object data_future_fix(const pyglue::Args& args) {
    using detail::borrow;
    Reader record(args[0]), ref(args[1]);
    PyObject* const zero = int_const<0>();
    PyObject* const one = int_const<1>();
    PyObject* const hundred = int_const<100>();
    Field s_close(record, QW_KEY("close")), r_settle(ref, QW_KEY("settle"));

    if (detail::bar_time(record).in(detail::opening_times) &&
        !ref.contains(QW_KEY("rm_before_dt"))) {
        if (PyObject_SetItem(args[1].ptr(), QW_KEY("rm_before_dt"), Py_True) < 0) {
            throw py::error_already_set();
        }
        discard_record();
    }
    py::object settle = live_settle(record, s_close);

    static PyObject* const keys[22] = {
        QW_KEY("change"),         QW_KEY("change1"),        QW_KEY("amp_rate"),
        QW_KEY("high_limit"),     QW_KEY("low_limit"),      QW_KEY("settle"),
        QW_KEY("prev_close"),     QW_KEY("prev_settle"),    QW_KEY("buy_margin"),
        QW_KEY("sell_margin"),    QW_KEY("flat_fee"),       QW_KEY("float_fee"),
        QW_KEY("float_today"),    QW_KEY("d1_buy_margin"),  QW_KEY("d1_sell_margin"),
        QW_KEY("d2_buy_margin"),  QW_KEY("d2_sell_margin"), QW_KEY("d3_buy_margin"),
        QW_KEY("d3_sell_margin"), QW_KEY("quote_rate"),     QW_KEY("main_contract"),
        QW_KEY("pos_change")};
    NewFields<22> values;

    {
        Num close = Num::of(s_close.get(zero));
        values.set(0, (close - Num::of(r_settle.get(zero))).object());
    }
    values.set(1, (Num::of(settle.ptr()) - Num::of(r_settle.get(zero))).object());
    {
        Num high = Num::of(record.get(QW_KEY("high"), zero));
        Num range = high - Num::of(record.get(QW_KEY("low"), zero));
        Num ratio = range / Num::of(r_settle.get(one));
        values.set(2, (ratio * Num::of(hundred)).object());
    }
    values.set_borrowed(3, detail::np_nan);
    values.set_borrowed(4, detail::np_nan);
    values.set(5, settle);
    values.set_borrowed(6, ref.get(QW_KEY("close"), zero));
    values.set_borrowed(7, r_settle.get(zero));
    for (int i = 8; i < 19; ++i) values.set_borrowed(i, ref.get(keys[i], zero));
    {
        Num close = Num::of(s_close.get(zero));
        Num ratio = close / Num::of(r_settle.get(one));
        values.set(19, ((ratio - Num::of(one)) * Num::of(hundred)).object());
    }
    values.set_borrowed(20, ref.get(QW_KEY("main_contract"), zero));
    {
        Num interest = Num::of(record.get(QW_KEY("open_interest"), zero));
        values.set(21, (interest - Num::of(ref.get(QW_KEY("open_interest"), zero))).object());
    }

    values.apply(args[0], keys);
    return borrow(args[0].ptr());
}

// _data_option_fix(symbol_dict, last_data, last_symbol_dict)
inline py::object data_option_fix(const pyglue::Args& args) {
    using detail::borrow;
    Reader record(args[0]), ref(args[1]), prev(args[2]);
    PyObject* const zero = int_const<0>();
    PyObject* const one = int_const<1>();
    Field s_close(record, QW_KEY("close")), s_volume(record, QW_KEY("volume"));
    Field r_settle(ref, QW_KEY("settle")), r_close(ref, QW_KEY("close"));

    if (detail::bar_time(record).equals(QW_KEY("0930"))) discard_record();
    py::object settle = live_settle(record, s_close);

    static PyObject* const keys[13] = {QW_KEY("change"),
                                       QW_KEY("change1"),
                                       QW_KEY("prev_close"),
                                       QW_KEY("prev_settle"),
                                       QW_KEY("quote"),
                                       QW_KEY("quote_rate"),
                                       QW_KEY("settle"),
                                       QW_KEY("avg_price"),
                                       QW_KEY("date"),
                                       QW_KEY("delta"),
                                       QW_KEY("implied_volatility"),
                                       QW_KEY("exercise_amount"),
                                       QW_KEY("volume_num")};
    NewFields<13> values;

    {
        Num close = Num::of(s_close.get(zero));
        values.set(0, (close - Num::of(r_settle.get(zero))).object());
    }
    values.set(1, (Num::of(settle.ptr()) - Num::of(r_settle.get(zero))).object());
    values.set_borrowed(2, r_close.get(zero));
    values.set_borrowed(3, r_settle.get(zero));
    {
        Num close = Num::of(s_close.get(zero));
        values.set(4, (close - Num::of(get_or(r_settle, r_close, zero))).object());
    }
    {
        Num close = Num::of(s_close.get(zero));
        Num ratio = close / Num::of(get_or(r_settle, r_close, one));
        values.set(5, ((ratio - Num::of(one)) * Num::of(int_const<100>())).object());
    }
    values.set(6, settle);
    if (truth(s_volume.get(one))) {
        Num turnover = Num::of(record.get(QW_KEY("turnover"), zero));
        Num per_unit = turnover / Num::of(s_volume.get(one));
        values.set(7, (per_unit / Num::of(int_const<10000>())).object());
    } else {
        Field p_avg_price(prev, QW_KEY("avg_price")), r_avg_price(ref, QW_KEY("avg_price"));
        values.set_borrowed(7, get_or(p_avg_price, r_avg_price, one));
    }
    values.set_borrowed(8, record.get(QW_KEY("trade_date"), zero));
    for (int i = 9; i < 13; ++i) values.set_borrowed(i, record.get(keys[i], zero));

    values.apply(args[0], keys);
    return borrow(args[0].ptr());
}

#undef QW_KEY

}  // namespace quotewire
