// TradeAPI: one brokerage account read through the process's trading client, its methods
// defined part by part in the order callers see them.
#pragma once

#include <pybind11/pybind11.h>

#include "dealdesk_balances.hpp"
#include "dealdesk_common.hpp"
#include "dealdesk_docs.hpp"
#include "dealdesk_orders.hpp"
#include "dealdesk_push.hpp"
#include "dealdesk_session.hpp"

namespace dealdesk {

inline void define_trade_api(py::module_& m) {
    pyglue::ClassBuilder cb("TradeAPI", kModuleName);
    cb.attr("__doc__", py::str(dealdesk_docs::kTradeAPI));
    cb.attr("SIDE", m.attr("SIDE"));
    cb.attr("MARKET", m.attr("MARKET"));
    cb.attr("PRICETYPE", m.attr("PRICETYPE"));
    define_session(cb);
    define_balances(cb);
    define_orders(cb);
    define_pushes(cb);
    m.attr("TradeAPI") = cb.build();
    pyglue::document(m.attr("TradeAPI"), dealdesk_docs::kTradeAPIMembers);
}

}  // namespace dealdesk
