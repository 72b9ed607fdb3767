// The account's balances and positions: TradeAPI.portfolio and TradeAPI.positions.
#pragma once

#include <pybind11/pybind11.h>

#include "dealdesk_common.hpp"
#include "dealdesk_docs.hpp"
#include "dealdesk_query.hpp"
#include "dealdesk_records.hpp"

namespace dealdesk {

constexpr QueryTexts kPortfolio{"portfolio_success", "portfolio_fail", "账号资金查询失败(",
                                "账号资金查询失败: %s"};
constexpr QueryTexts kPositions{"positions_success", "positions_fail", "账号持仓查询失败(",
                                "账号持仓查询失败: %s"};

inline void define_balances(pyglue::ClassBuilder& cb) {
    cb.property(
        "portfolio",
        [](py::handle self) {
            return run_stocknx(self, kBalancesRequest, kPortfolio,
                               [](py::handle, py::handle result) {
                                   py::object item = result["Array"][py::int_(0)];
                                   py::dict fields;
                                   fields["available_cash"] = item["AvailableValue"];
                                   fields["market_value"] = item["MarketValue"];
                                   fields["total_value"] = item["TotalAssets"];
                                   fields["frozen_cash"] = item["FrozenValue"];
                                   return ns.get("NameDict")(fields);
                               });
        },
        dealdesk_docs::kPortfolio);

    cb.property(
        "positions",
        [](py::handle self) {
            return run_stocknx(
                self, kPositionsRequest, kPositions, [](py::handle self, py::handle result) {
                    RecordContext ctx(self);
                    py::dict out;
                    for (py::handle item : item_get(result, PYGLUE_INTERN("Array"), py::list())) {
                        py::object record = position_record(ctx, item);
                        out[pyglue::item(record, PYGLUE_INTERN("symbol"))] = record;
                    }
                    return py::object(out);
                });
        },
        dealdesk_docs::kPositions);
}

}  // namespace dealdesk
