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
    py::object result = pyglue::runs_python(
        [&] { return py::reinterpret_borrow<py::object>(text).attr(method)(py::handle(affixes)); });
    return pyglue::truth(result);
}

// The bar time of `record` as the discard tests read it.
inline BarTime bar_time(Reader& record) {
    return BarTime(record.item(PYGLUE_INTERN("trade_date")));
}

inline py::object borrow(PyObject* o) {
    return py::reinterpret_borrow<py::object>(o);
}

// S.get("settle") when truthy, else S.get("close", 0); held, as the fixes use it twice.
inline py::object live_settle(Reader& record, Field& close) {
    py::object settle = borrow(record.get(PYGLUE_INTERN("settle")));
    if (pyglue::truth(settle)) return settle;
    return borrow(close.get(int_const<0>()));
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

namespace detail {

inline void define_data_fix(py::module_& m) {
    // One list, created here and shared by every call that does not pass rm_mins.
    py::list no_discarded_minutes;
    pyglue::def(
        m, "_data_fix",
        {"symbol_dict", "last_data", "last_symbol_dict", {"rm_mins", no_discarded_minutes}},
        [](py::handle symbol_dict, py::handle last_data, py::handle last_symbol_dict,
           py::handle rm_mins) {
            Reader record(symbol_dict), ref(last_data), prev(last_symbol_dict);
            PyObject* const zero = int_const<0>();
            PyObject* const one = int_const<1>();
            PyObject* const hundred = int_const<100>();
            Field s_volume(record, PYGLUE_INTERN("volume"));
            Field r_close(ref, PYGLUE_INTERN("close")), r_is_st(ref, PYGLUE_INTERN("is_st"));
            Field r_volume(ref, PYGLUE_INTERN("volume")),
                r_turnover_rate(ref, PYGLUE_INTERN("turnover_rate"));
            Field p_close(prev, PYGLUE_INTERN("close")), p_volume(prev, PYGLUE_INTERN("volume"));
            Field p_turnover_rate(prev, PYGLUE_INTERN("turnover_rate"));

            if (bar_time(record).in(rm_mins)) discard_record();
            const bool minute_mode = pyglue::truth(rm_mins);

            // Price-limit width: none without a reference limit, else by board and ST flag.
            double margin = 0.1;
            if (!pyglue::truth(ref.get(PYGLUE_INTERN("high_limit")))) {
                margin = NAN;
            } else if (text_test(ref.item(PYGLUE_INTERN("order_book_id")), "endswith",
                                 PYGLUE_INTERN(".BJ"))) {
                margin = 0.3;
            } else if (text_test(record.item(PYGLUE_INTERN("ticker")), "startswith",
                                 growth_boards)) {
                margin = 0.2;
            } else if (pyglue::truth(r_is_st.get())) {
                margin = 0.05;
            }

            NewFields<10> values;

            values.add(PYGLUE_INTERN("high_limit"),
                       (Num::of(r_close.get(zero)) * Num::float_(1 + margin)).round2().object());
            values.add(PYGLUE_INTERN("low_limit"),
                       (Num::of(r_close.get(zero)) * Num::float_(1 - margin)).round2().object());
            values.add_borrowed(PYGLUE_INTERN("factor"), ref.get(PYGLUE_INTERN("factor")));

            if (minute_mode) {
                values.add_borrowed(PYGLUE_INTERN("prev_close"), get_or(p_close, r_close));
            } else {
                py::object pre_field = borrow(ref.get(PYGLUE_INTERN("pre_field_fn"), no_pre_field));
                py::object close = borrow(r_close.get());
                if (pre_field.ptr() == no_pre_field) {
                    values.add(PYGLUE_INTERN("prev_close"), std::move(close));
                } else {
                    values.add(PYGLUE_INTERN("prev_close"), pyglue::steal(pyglue::runs_python([&] {
                                   return PyObject_CallOneArg(pre_field.ptr(), close.ptr());
                               })));
                }
            }

            if (pyglue::truth(s_volume.get()) || pyglue::truth(p_volume.get())) {
                values.add_borrowed(PYGLUE_INTERN("is_paused"), zero_float);
            } else {
                PyObject* paused = ref.get(PYGLUE_INTERN("is_paused"));
                auto to_float = [paused] { return PyNumber_Float(paused); };
                values.add(PYGLUE_INTERN("is_paused"),
                           pyglue::steal(pyglue::is_inert(paused) ? to_float()
                                                                  : pyglue::runs_python(to_float)));
            }
            values.add_borrowed(PYGLUE_INTERN("is_st"), r_is_st.get());

            if (pyglue::truth(s_volume.get(one))) {
                Num turnover = Num::of(record.get(PYGLUE_INTERN("turnover"), zero));
                values.add(PYGLUE_INTERN("avg_price"),
                           (turnover / Num::of(s_volume.get(one))).object());
            } else {
                Field p_avg_price(prev, PYGLUE_INTERN("avg_price")),
                    r_avg_price(ref, PYGLUE_INTERN("avg_price"));
                values.add_borrowed(PYGLUE_INTERN("avg_price"),
                                    get_or(p_avg_price, r_avg_price, one));
            }

            {
                Num close = Num::of(record.get(PYGLUE_INTERN("close"), zero));
                Num ratio = close / Num::of(r_close.get(one));
                values.add(PYGLUE_INTERN("quote_rate"),
                           ((ratio - Num::of(one)) * Num::of(hundred)).object());
            }

            if (pyglue::truth(s_volume.get(one)) &&
                pyglue::truth(get_or(p_volume, r_volume, one))) {
                Num volume = Num::of(s_volume.get(zero));
                Num scaled = volume * Num::of(get_or(p_turnover_rate, r_turnover_rate, zero));
                values.add(PYGLUE_INTERN("turnover_rate"),
                           (scaled / Num::of(get_or(p_volume, r_volume, one))).object());
            } else {
                values.add_borrowed(PYGLUE_INTERN("turnover_rate"),
                                    get_or(p_turnover_rate, r_turnover_rate, one));
            }

            {
                Num high = Num::of(record.get(PYGLUE_INTERN("high"), zero));
                Num range = high - Num::of(record.get(PYGLUE_INTERN("low"), zero));
                Num ratio = range / Num::of(get_or(p_close, r_close, one));
                values.add(PYGLUE_INTERN("amp_rate"), (ratio * Num::of(hundred)).object());
            }

            values.apply(symbol_dict);
            return borrow(symbol_dict.ptr());
        });
}

inline void define_data_future_fix(py::module_& m) {
    pyglue::def(
        m, "_data_future_fix", {"symbol_dict", "last_data"},
        [](py::handle symbol_dict, py::handle last_data) {
            Reader record(symbol_dict), ref(last_data);
            PyObject* const zero = int_const<0>();
            PyObject* const one = int_const<1>();
            PyObject* const hundred = int_const<100>();
            Field s_close(record, PYGLUE_INTERN("close")), r_settle(ref, PYGLUE_INTERN("settle"));

            if (bar_time(record).in(opening_times) &&
                !ref.contains(PYGLUE_INTERN("rm_before_dt"))) {
                int stored = pyglue::runs_python([&] {
                    return PyObject_SetItem(last_data.ptr(), PYGLUE_INTERN("rm_before_dt"),
                                            Py_True);
                });
                if (stored < 0) throw py::error_already_set();
                discard_record();
            }
            py::object settle = live_settle(record, s_close);

            NewFields<22> values;

            {
                Num close = Num::of(s_close.get(zero));
                values.add(PYGLUE_INTERN("change"), (close - Num::of(r_settle.get(zero))).object());
            }
            values.add(PYGLUE_INTERN("change1"),
                       (Num::of(settle.ptr()) - Num::of(r_settle.get(zero))).object());
            {
                Num high = Num::of(record.get(PYGLUE_INTERN("high"), zero));
                Num range = high - Num::of(record.get(PYGLUE_INTERN("low"), zero));
                Num ratio = range / Num::of(r_settle.get(one));
                values.add(PYGLUE_INTERN("amp_rate"), (ratio * Num::of(hundred)).object());
            }
            values.add_borrowed(PYGLUE_INTERN("high_limit"), np_nan);
            values.add_borrowed(PYGLUE_INTERN("low_limit"), np_nan);
            values.add(PYGLUE_INTERN("settle"), settle);
            values.add_borrowed(PYGLUE_INTERN("prev_close"), ref.get(PYGLUE_INTERN("close"), zero));
            values.add_borrowed(PYGLUE_INTERN("prev_settle"), r_settle.get(zero));
            // Margins and fees are taken over from the reference record.
            static PyObject* const margin_keys[] = {
                PYGLUE_INTERN("buy_margin"),     PYGLUE_INTERN("sell_margin"),
                PYGLUE_INTERN("flat_fee"),       PYGLUE_INTERN("float_fee"),
                PYGLUE_INTERN("float_today"),    PYGLUE_INTERN("d1_buy_margin"),
                PYGLUE_INTERN("d1_sell_margin"), PYGLUE_INTERN("d2_buy_margin"),
                PYGLUE_INTERN("d2_sell_margin"), PYGLUE_INTERN("d3_buy_margin"),
                PYGLUE_INTERN("d3_sell_margin")};
            for (PyObject* key : margin_keys) values.add_borrowed(key, ref.get(key, zero));
            {
                Num close = Num::of(s_close.get(zero));
                Num ratio = close / Num::of(r_settle.get(one));
                values.add(PYGLUE_INTERN("quote_rate"),
                           ((ratio - Num::of(one)) * Num::of(hundred)).object());
            }
            values.add_borrowed(PYGLUE_INTERN("main_contract"),
                                ref.get(PYGLUE_INTERN("main_contract"), zero));
            {
                Num interest = Num::of(record.get(PYGLUE_INTERN("open_interest"), zero));
                values.add(
                    PYGLUE_INTERN("pos_change"),
                    (interest - Num::of(ref.get(PYGLUE_INTERN("open_interest"), zero))).object());
            }

            values.apply(symbol_dict);
            return borrow(symbol_dict.ptr());
        });
}

inline void define_data_option_fix(py::module_& m) {
    pyglue::def(
        m, "_data_option_fix", {"symbol_dict", "last_data", "last_symbol_dict"},
        [](py::handle symbol_dict, py::handle last_data, py::handle last_symbol_dict) {
            Reader record(symbol_dict), ref(last_data), prev(last_symbol_dict);
            PyObject* const zero = int_const<0>();
            PyObject* const one = int_const<1>();
            Field s_close(record, PYGLUE_INTERN("close")),
                s_volume(record, PYGLUE_INTERN("volume"));
            Field r_settle(ref, PYGLUE_INTERN("settle")), r_close(ref, PYGLUE_INTERN("close"));

            if (bar_time(record).equals(PYGLUE_INTERN("0930"))) discard_record();
            py::object settle = live_settle(record, s_close);

            NewFields<13> values;

            {
                Num close = Num::of(s_close.get(zero));
                values.add(PYGLUE_INTERN("change"), (close - Num::of(r_settle.get(zero))).object());
            }
            values.add(PYGLUE_INTERN("change1"),
                       (Num::of(settle.ptr()) - Num::of(r_settle.get(zero))).object());
            values.add_borrowed(PYGLUE_INTERN("prev_close"), r_close.get(zero));
            values.add_borrowed(PYGLUE_INTERN("prev_settle"), r_settle.get(zero));
            {
                Num close = Num::of(s_close.get(zero));
                values.add(PYGLUE_INTERN("quote"),
                           (close - Num::of(get_or(r_settle, r_close, zero))).object());
            }
            {
                Num close = Num::of(s_close.get(zero));
                Num ratio = close / Num::of(get_or(r_settle, r_close, one));
                values.add(PYGLUE_INTERN("quote_rate"),
                           ((ratio - Num::of(one)) * Num::of(int_const<100>())).object());
            }
            values.add(PYGLUE_INTERN("settle"), settle);
            if (pyglue::truth(s_volume.get(one))) {
                Num turnover = Num::of(record.get(PYGLUE_INTERN("turnover"), zero));
                Num per_unit = turnover / Num::of(s_volume.get(one));
                values.add(PYGLUE_INTERN("avg_price"),
                           (per_unit / Num::of(int_const<10000>())).object());
            } else {
                Field p_avg_price(prev, PYGLUE_INTERN("avg_price")),
                    r_avg_price(ref, PYGLUE_INTERN("avg_price"));
                values.add_borrowed(PYGLUE_INTERN("avg_price"),
                                    get_or(p_avg_price, r_avg_price, one));
            }
            values.add_borrowed(PYGLUE_INTERN("date"),
                                record.get(PYGLUE_INTERN("trade_date"), zero));
            static PyObject* const greek_keys[] = {
                PYGLUE_INTERN("delta"), PYGLUE_INTERN("implied_volatility"),
                PYGLUE_INTERN("exercise_amount"), PYGLUE_INTERN("volume_num")};
            for (PyObject* key : greek_keys) values.add_borrowed(key, record.get(key, zero));

            values.apply(symbol_dict);
            return borrow(symbol_dict.ptr());
        });
}

}  // namespace detail

inline void define_fixes(py::module_& m) {
    detail::define_data_fix(m);
    detail::define_data_future_fix(m);
    detail::define_data_option_fix(m);
}

}  // namespace quotewire
