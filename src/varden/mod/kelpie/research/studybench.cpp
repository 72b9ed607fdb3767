// The research API: the functions notebooks and strategies call for securities, calendars,
// bars, fundamentals, files, push messages and API usage.
//
// Every collaborator is bound as a module attribute at import and looked up there at each
// call, and functions reach each other through the module too, so patching a name of this
// module affects it exactly as it would a Python module.
#include <pybind11/pybind11.h>

#include "studybench_calendar.hpp"
#include "studybench_common.hpp"
#include "studybench_docs.hpp"
#include "studybench_files.hpp"
#include "studybench_price.hpp"
#include "studybench_query.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kExported[] = {"pd_Panel",           "get_all_securities",
                                     "normalize_symbol",   "get_security_info",
                                     "get_price",          "get_candle_stick",
                                     "get_all_trade_days", "get_trade_days",
                                     "get_last_trade_day", "query",
                                     "run_query",          "get_fundamentals",
                                     "read_file",          "write_file",
                                     "remove_file",        "get_future_code",
                                     "superreload",        "notify_push",
                                     "set_log_level",      "get_api_usage",
                                     "upload_file",        "download_file"};

void import_collaborators() {
    using studybench::ns;
    ns.import_module("os", "os");
    ns.import_module("re", "re");
    ns.import_from("collections", {"namedtuple"});
    ns.import_module("six", "six");
    ns.import_module("pandas", "pd");
    ns.import_from("varden.mod.kelpie.utils.recorder", {"log"});
    ns.import_from("varden.mod.kelpie.utils.compat", {"pd_Panel"});
    ns.import_from("varden.mod.kelpie.utils.pyvalid", {"accepts", "DateValidator"});
    ns.import_from("kpquant.environment", {"Environment"});
    ns.import_from("kpquant.utils.logger", {"user_system_log"});
    ns.import_from("varden.mod.kelpie.utils.kprpc", {"kp_api"});
    ns.import_from("varden.mod.kelpie.utils.send2trash", {"send2trash", "send2empty"});
    ns.import_from("varden.mod.kelpie.utils.autoreload", {"superreload"});
    ns.import_from("varden.mod.stock.data.fast_data_source", {"FastDataSource"});
    ns.import_from("varden.mod.stock.data.data_proxy", {"DataProxy"});
    ns.import_from("varden.mod.kelpie.research.normal_query.tablespec", {"StrQuery"});
}

void create_module_state() {
    using studybench::ns;
    py::object proxy = ns.get("DataProxy")(ns.get("FastDataSource")());
    ns.set("default_data_proxy", proxy);
    ns.set("MULTI_STEP_FIELDS", studybench::multi_step_fields());
    py::object industry_fields =
        proxy.attr("_data_source").attr("_extra_reader")["symbol_industry"].attr("fields");
    // namedtuple names its module after the calling frame, which is not ours during an import.
    ns.set("Symbol_Industry",
           ns.get("namedtuple")("Symbol_Industry", industry_fields, py::arg("module") = ns.name()));
}

}  // namespace

PYBIND11_MODULE(studybench, m) {
    studybench::ns.bind(m);
    m.doc() = studybench_docs::kModule;
    import_collaborators();
    create_module_state();
    studybench::define_query_functions();
    studybench::define_price_functions();
    studybench::define_calendar_functions();
    studybench::define_file_functions();
    pyglue::document(m, studybench_docs::kModuleMembers);
    py::list exported;
    for (const char* name : kExported) exported.append(name);
    m.attr("__all__") = exported;
}
