// varden.mod.stock.data.quotewire: completes a history block of bars with today's live bars.
//
// The data layer calls quotation_get_remote with a block that reaches the current day; the live
// reader it hands back to calls the record fixes once per live bar. Module-level names are
// created in the order the module's users see them; collaborators are read back from the
// module namespace at call time.
#include <pybind11/pybind11.h>

#include "pyglue/pyglue.hpp"
#include "quotewire_bartime.hpp"
#include "quotewire_common.hpp"
#include "quotewire_docs.hpp"
#include "quotewire_factors.hpp"
#include "quotewire_fetch.hpp"
#include "quotewire_fixes.hpp"
#include "quotewire_numbers.hpp"
#include "quotewire_reader.hpp"

namespace py = pybind11;
using pyglue::Param;

namespace {

std::vector<Param> getter_params() {
    return {"instrument", "start_dt", "end_dt", "field", "last_data"};
}

void define_fetch(py::module_& m) {
    pyglue::def(m, "quotation_get_remote",
                {"instrument", "start_date", "end_date", "last_data", "fre", "fields"},
                quotewire::quotation_get_remote);
    pyglue::def(m, "stock_daily_quotation_get", getter_params(),
                quotewire::stock_daily_quotation_get);
    pyglue::def(m, "stock_minute_quotation_get", getter_params(),
                quotewire::stock_minute_quotation_get);
    pyglue::def(m, "futures_daily_quotation_get", getter_params(), [](const pyglue::Args& a) {
        return quotewire::derivative_quotation_get(quotewire::kFuturesDaily, a);
    });
    pyglue::def(m, "futures_minute_quotation_get", getter_params(), [](const pyglue::Args& a) {
        return quotewire::derivative_quotation_get(quotewire::kFuturesMinute, a);
    });
    pyglue::def(m, "option_daily_quotation_get", getter_params(), [](const pyglue::Args& a) {
        return quotewire::derivative_quotation_get(quotewire::kOptionDaily, a);
    });
    pyglue::def(m, "option_minute_quotation_get", getter_params(), [](const pyglue::Args& a) {
        return quotewire::derivative_quotation_get(quotewire::kOptionMinute, a);
    });
    pyglue::Signature base;
    base.name = "stock_base";
    base.module = PyModule_GetName(m.ptr());
    base.params = {"instrument",
                   {"start_dt", py::none()},
                   {"end_dt", py::none()},
                   {"date_type", py::str("minute")}};
    base.varkw = true;
    base.varkw_name = "extra_params";
    m.attr("stock_base") = pyglue::make_function(std::move(base), quotewire::stock_base);
}

void define_fixes(py::module_& m) {
    // One list, created here and shared by every call that does not pass rm_mins.
    py::list no_discarded_minutes;
    pyglue::def(m, "_data_fix",
                {"symbol_dict", "last_data", "last_symbol_dict", {"rm_mins", no_discarded_minutes}},
                quotewire::data_fix);
    pyglue::def(m, "_data_future_fix", {"symbol_dict", "last_data"}, quotewire::data_future_fix);
    pyglue::def(m, "_data_option_fix", {"symbol_dict", "last_data", "last_symbol_dict"},
                quotewire::data_option_fix);
}

}  // namespace

PYBIND11_MODULE(quotewire, m) {
    using quotewire::ns;
    ns.bind(m);
    m.doc() = quotewire_docs::kModule;
    ns.import_module("numpy", "np");
    ns.import_module("pandas", "pd");
    ns.import_from("functools", {"partial"});
    ns.import_from("cachetools", {"TTLCache"});
    ns.import_from("kpquant.utils.logger", {"system_log"});
    ns.import_from("varden.mod.kelpie.data.extra_hdf_store", {"ExtraHDFStore"});
    ns.import_from("varden.mod.stock.model",
                   {"INST_TYPE_IN_STOCK_ACCOUNT", "INST_TYPE_IN_FUTURE_ACCOUNT",
                    "INST_TYPE_IN_OPTION_ACCOUNT"});
    ns.import_from(
        "varden.mod.stock.data.real_data",
        {"FutureBaseDataRequest", "RealData", "StockBaseDataRequest", "OptionBaseDataRequest"});

    quotewire::init_numbers(ns.get("np").attr("float64"));
    quotewire::init_bar_time(ns.get("pd").attr("Timestamp"));
    quotewire::init_fixes(ns.get("np").attr("nan"));

    define_fetch(m);
    pyglue::document(m, quotewire_docs::kModuleMembers);
    ns.set("real_factor_cache",
           ns.get("TTLCache")(py::arg("maxsize") = 10240, py::arg("ttl") = 72000));
    pyglue::def(m, "_real_factor", {"symbol"}, quotewire::real_factor);
    pyglue::def(m, "_real_pre_field", {"symbol"}, quotewire::real_pre_field);
    define_fixes(m);
}
