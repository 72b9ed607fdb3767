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

namespace py = pybind11;

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

    pyglue::set_numpy_float64(ns.get("np").attr("float64"));
    quotewire::init_numbers(ns.get("np").attr("float64"));
    quotewire::init_bar_time(ns.get("pd").attr("Timestamp"));
    quotewire::init_fixes(ns.get("np").attr("nan"));

    quotewire::define_fetch(m);
    pyglue::document(m, quotewire_docs::kModuleMembers);
    quotewire::define_factors(m);
    quotewire::define_fixes(m);
}
