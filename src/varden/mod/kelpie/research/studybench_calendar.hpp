// Securities and the trading calendar, read through the module's data proxy.
#pragma once

#include "studybench_common.hpp"

namespace studybench {

// Instrument types that research code may name instead of codes.
constexpr const char* kTypeKeywords[] = {"fjb",   "qdii", "fja",  "index", "ota",
                                         "stock", "lof",  "fund", "etf",   "futures"};
// "fund" stands for these types, in this order.
constexpr const char* kFundTypes[] = {"etf", "lof", "fja", "fjb"};
// Codes of these types are never the answer of an untyped normalize_symbol.
constexpr const char* kNotTradedAlone[] = {"index", "futures", "ota"};

template <std::size_t N>
py::tuple text_tuple(const char* const (&texts)[N]) {
    py::tuple out(N);
    for (std::size_t i = 0; i < N; ++i) out[i] = py::str(texts[i]);
    return out;
}

inline void define_calendar_functions() {
    py::object none = py::none();
    pyglue::def(
        ns.module(), "get_all_securities", {{"ty", none}, {"date", none}},
        checked({builtin_type("str"), date_spec()}),
        [](py::handle ty, py::object date) -> py::object {
            py::object env = ns.get("Environment").attr("_env");
            py::object proxy = data_proxy();
            if (date.is_none()) date = proxy.attr("previous_execution_day")(base_time(env));
            date = timestamp(date).attr("normalize")();

            py::list records;
            for (py::handle instrument : proxy.attr("_data_source").attr("get_all_instruments")()) {
                if (pyglue::truth(ty) && !pyglue::equals(instrument.attr("type"), ty)) continue;
                records.append(instrument.attr("show_valid_fields")());
            }
            py::object pd = ns.get("pd");
            // A type without instruments lists nothing: an empty table, still indexed by symbol.
            py::object frame = records.empty()
                                   ? pd.attr("DataFrame")(py::arg("columns") = py::make_tuple(
                                                              "symbol", "start_date", "end_date"))
                                   : pd.attr("DataFrame")(records);
            frame = frame.attr("set_index")("symbol");
            py::object listed =
                rich(frame["start_date"], date, Py_LE) & rich(frame["end_date"], date, Py_GE);
            return frame[listed];
        });
    pyglue::def(ns.module(), "normalize_symbol", {"symbol", {"ty", none}},
                [](py::handle symbol, py::handle ty) {
                    // Optional letters, then digits: 000001 of 000001.SZ; a text without digits has
                    // no match.
                    py::object core =
                        ns.get("re").attr("search")(R"([a-z,A-Z]*\d+)", symbol).attr("group")();
                    py::object table = data_proxy().attr("_data_source").attr("instruments_df");
                    py::object types = table["type"];
                    py::object keep =
                        ty.is_none() ? pyglue::steal(PyNumber_Invert(
                                           types.attr("isin")(text_tuple(kNotTradedAlone)).ptr()))
                                     : rich(types, ty, Py_EQ);
                    table = table[keep].attr("sort_values")("order_book_id");
                    for (py::handle code : table["order_book_id"]) {
                        if (pyglue::contains(code, core)) return borrow(code);
                    }
                    return borrow(symbol);
                });
    pyglue::def(ns.module(), "get_security_info", {"symbol"}, checked({builtin_type("str")}),
                [](py::handle symbol) { return data_proxy().attr("instruments")(symbol); });
    pyglue::def(ns.module(), "get_all_trade_days", {}, checked(),
                []() -> py::object { return data_proxy().attr("all_execution_days"); });
    pyglue::def(
        ns.module(), "get_trade_days",
        {{"start_date", none}, {"end_date", py::str("20180101")}, {"count", none}},
        checked({date_spec(), date_spec(), builtin_type("int")}),
        [](py::object start, py::object end, py::object count) -> py::object {
            py::object proxy = data_proxy();
            py::object days = proxy.attr("all_execution_days");
            if (pyglue::truth(start)) start = timestamp(start);
            if (pyglue::truth(end)) end = timestamp(end);

            if (pyglue::truth(start) && pyglue::truth(end)) {
                py::object first = days.attr("searchsorted")(start, py::arg("side") = "left");
                py::object stop = days.attr("searchsorted")(end, py::arg("side") = "right");
                return days[slice(first, stop)];
            }
            py::object zero = py::int_(0);
            if (pyglue::truth(end) && pyglue::truth(count)) {
                // the last `count` trading days up to and including the one on or before
                // `end`
                py::object last = proxy.attr("ensure_execution_day")(end, -1);
                py::object stop = days.attr("searchsorted")(last, py::arg("side") = "right");
                py::object first = stop - count;
                return days[slice(pyglue::compare(first, zero, Py_LT) ? zero : first, stop)];
            }
            if (pyglue::truth(start) && pyglue::truth(count)) {
                // `count` trading days from the one on or after `start`
                py::object first_day = proxy.attr("ensure_execution_day")(start, 1);
                py::object first =
                    days.attr("searchsorted")(first_day, py::arg("side") = "right") - py::int_(1);
                if (pyglue::compare(first, zero, Py_LT)) first = zero;
                return days[slice(first, first + count)];
            }
            return py::none();
        });
    pyglue::def(ns.module(), "get_last_trade_day",
                {{"date", none}, {"n", py::int_(-1)}, {"match_n", none}},
                checked({date_spec(), builtin_type("int"), builtin_type("int")}),
                [](py::handle date, py::handle n, py::handle match_n) {
                    py::object day = timestamp(pyglue::truth(date) ? borrow(date) : py::str("now"));
                    day = day.attr("normalize")();
                    return data_proxy().attr("ensure_execution_day")(
                        day, n, match_n.is_none() ? n : match_n);
                });
    pyglue::def(ns.module(), "get_future_code", {"underlying_symbol", {"date", none}},
                checked({builtin_type("str"), date_spec()}),
                [](py::handle underlying_symbol, py::object date) {
                    py::object env = ns.get("Environment").attr("_env");
                    py::object proxy = data_proxy();
                    if (date.is_none()) date = proxy.attr("previous_execution_day")(base_time(env));
                    date = timestamp(date).attr("normalize")();
                    return proxy.attr("get_future_contracts")(underlying_symbol, timestamp(date));
                });
    // Expands a type keyword ("stock", "fund", ...) into the codes listed on `date`; a list or
    // any other text (a single code) is returned as it is.
    pyglue::def(ns.module(), "get_all_symbol_filter", {"date", {"symbol_type", py::str("stock")}},
                [](py::object date, py::object symbol_type) -> py::object {
                    if (PyList_Check(symbol_type.ptr())) return symbol_type;
                    py::object keyword = symbol_type.attr("lower")().attr("strip")();
                    if (!pyglue::contains(text_tuple(kTypeKeywords), keyword)) return symbol_type;

                    // No listing exists for days to come: use the last trading day before now.
                    if (pyglue::compare(timestamp(date), now(), Py_GE)) {
                        date = data_proxy().attr("previous_execution_day")(now()).attr("strftime")(
                            "%Y%m%d");
                    }
                    py::object get_all = ns.get("get_all_securities");
                    if (pyglue::equals(keyword, py::str("fund"))) {
                        py::list codes;
                        for (const char* fund_type : kFundTypes) {
                            py::object listed = get_all(fund_type, date).attr("index");
                            for (py::handle code : listed) codes.append(code);
                        }
                        return std::move(codes);
                    }
                    return py::list(get_all(keyword, date).attr("index"));
                });
}

}  // namespace studybench
