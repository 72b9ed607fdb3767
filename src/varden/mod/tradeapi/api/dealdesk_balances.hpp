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
            return run_stocknx(
                self, kBalancesRequest, kPortfolio, [](py::handle, py::handle result) {
                    py::object item = pyglue::steal(PyObject_GetItem(
                        pyglue::item(result, PYGLUE_INTERN("Array")).ptr(), py::int_(0).ptr()));
                    return RecordType(ns.get("NameDict"))
                        .make({
                            {PYGLUE_INTERN("available_cash"),
                             pyglue::item(item, PYGLUE_INTERN("AvailableValue"))},
                            {PYGLUE_INTERN("market_value"),
                             pyglue::item(item, PYGLUE_INTERN("MarketValue"))},
                            {PYGLUE_INTERN("total_value"),
                             pyglue::item(item, PYGLUE_INTERN("TotalAssets"))},
                            {PYGLUE_INTERN("frozen_cash"),
                             pyglue::item(item, PYGLUE_INTERN("FrozenValue"))},
                        });
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
