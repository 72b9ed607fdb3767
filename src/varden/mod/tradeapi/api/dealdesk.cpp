// Live account access: balances, positions, orders, fills and pushed order updates of one
// brokerage account, read through the process's one trading client and translated into the
// kit's vocabulary.
//
// Every collaborator (PallasClient, NameDict, TradeException, system_log, pd, re, traceback,
// the rate-limit helpers) is a module attribute read at call time, so tests and users can
// patch them as in Python code.
#include <pybind11/pybind11.h>

#include "dealdesk_common.hpp"
#include "dealdesk_conversions.hpp"
#include "dealdesk_docs.hpp"
#include "dealdesk_ratelimit.hpp"
#include "dealdesk_session.hpp"
#include "dealdesk_timestamp.hpp"
#include "dealdesk_trade_api.hpp"

namespace py = pybind11;

PYBIND11_MODULE(dealdesk, m) {
    using namespace dealdesk;
    ns.bind(m);
    m.doc() = dealdesk_docs::kModule;
    ns.import_module("re", "re");
    ns.import_module("traceback", "traceback");
    ns.import_module("pandas", "pd");
    ns.import_from("enum", {"Enum"});
    ns.import_from("varden.mod.tradeapi.sdk.client_pl", {"PallasClient"});
    ns.import_from("varden.mod.tradeapi.sdk.utils", {"NameDict"});
    ns.import_from("varden.utils.exception", {"TradeException"});
    ns.import_from("varden.utils.logger", {"system_log"});
    ns.import_from("varden.mod.kelpie.utils.ratelimit", {"limits", "sleep_and_retry", "wraps"});
    pattern_matcher.bind(ns.get("re"));
    timestamp_maker.bind(ns.get("pd").attr("Timestamp"));

    define_conversions(m);
    define_rate_limit(m);
    define_trader_rpc(m);
    define_trade_api(m);

    pyglue::document(m, dealdesk_docs::kModuleMembers);
    py::list all;
    all.append("TradeAPI");
    m.attr("__all__") = all;
}
