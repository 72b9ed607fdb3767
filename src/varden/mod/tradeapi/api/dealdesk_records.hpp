// Translation of broker records (CamelCase fields, bare codes, numeric sides) into the kit's
// records (NameDict with snake_case keys, suffixed symbols, side names, Timestamps).
//
// Fields read by plain indexing are required: a missing one raises KeyError like `item[key]`.
// Fields are read in the order the kit's keys are filled, so the first missing one is reported.
#pragma once

#include <pybind11/pybind11.h>

#include "dealdesk_common.hpp"
#include "dealdesk_conversions.hpp"
#include "dealdesk_timestamp.hpp"

namespace dealdesk {

// The collaborators of one translation run, read once from the instance and the module.
struct RecordContext {
    explicit RecordContext(py::handle self)
        : market(pyglue::getattr(self, PYGLUE_INTERN("MARKET"))),
          side(pyglue::getattr(self, PYGLUE_INTERN("SIDE"))),
          record(ns.get("NameDict")),
          timestamp(pyglue::getattr(ns.get("pd"), PYGLUE_INTERN("Timestamp"))) {}

    py::object symbol(py::handle code) const { return market.symbol(code); }
    py::object side_name(py::handle code) const { return side(code); }
    // pd.Timestamp("{}{}{}".format(date, " " if date else date, time))
    py::object moment(py::handle date, py::handle time) const {
        py::object day = pyglue::format_value(date);
        py::object middle =
            pyglue::truth(date) ? py::reinterpret_borrow<py::object>(PYGLUE_INTERN(" ")) : day;
        py::object clock = pyglue::format_value(time);
        return timestamp_from_text(timestamp,
                                   pyglue::concat({day.ptr(), middle.ptr(), clock.ptr()}));
    }

    MarketSuffixes market;
    SideNames side;
    RecordType record;
    py::object timestamp;
};

// One position: pnl is NetMoney, or (MarketPrice - CostPrice) * ActualAmt when that is falsy;
// profit_rate is (MarketPrice - CostPrice) / CostPrice, None when CostPrice is falsy. Both are
// rounded to 4 places as Python's round does.
inline py::object position_record(const RecordContext& ctx, py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, PYGLUE_INTERN("SecurityID")));
    py::object pnl = item_get(item, PYGLUE_INTERN("NetMoney"));
    if (!pyglue::truth(pnl)) {
        py::object price = pyglue::item(item, PYGLUE_INTERN("MarketPrice"));
        py::object cost = pyglue::item(item, PYGLUE_INTERN("CostPrice"));
        py::object diff = pyglue::steal(PyNumber_Subtract(price.ptr(), cost.ptr()));
        py::object amount = pyglue::item(item, PYGLUE_INTERN("ActualAmt"));
        pnl = pyglue::steal(PyNumber_Multiply(diff.ptr(), amount.ptr()));
    }
    pnl = pyglue::round_object(pnl, 4);
    py::object cost = pyglue::item(item, PYGLUE_INTERN("CostPrice"));
    py::object profit_rate = py::none();
    if (pyglue::truth(cost)) {
        py::object price = pyglue::item(item, PYGLUE_INTERN("MarketPrice"));
        py::object diff = pyglue::steal(PyNumber_Subtract(price.ptr(), cost.ptr()));
        py::object rate = pyglue::steal(PyNumber_TrueDivide(diff.ptr(), cost.ptr()));
        profit_rate = pyglue::round_object(rate, 4);
    }
    return ctx.record.make({
        {PYGLUE_INTERN("symbol"), symbol},
        {PYGLUE_INTERN("name"), pyglue::item(item, PYGLUE_INTERN("SecurityName"))},
        {PYGLUE_INTERN("amount"), pyglue::item(item, PYGLUE_INTERN("ActualAmt"))},
        {PYGLUE_INTERN("frozen_amount"), pyglue::item(item, PYGLUE_INTERN("FrozenQty"))},
        {PYGLUE_INTERN("available_amount"),
         pyglue::item(item, PYGLUE_INTERN("AvailableStockBalance"))},
        {PYGLUE_INTERN("market_value"), pyglue::item(item, PYGLUE_INTERN("MarketValue"))},
        {PYGLUE_INTERN("cost_basis"), pyglue::item(item, PYGLUE_INTERN("CostPrice"))},
        {PYGLUE_INTERN("last_price"), pyglue::item(item, PYGLUE_INTERN("MarketPrice"))},
        {PYGLUE_INTERN("pnl"), pnl},
        {PYGLUE_INTERN("profit_rate"), profit_rate},
    });
}

// One fill.
inline py::object tradelog_record(const RecordContext& ctx, py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, PYGLUE_INTERN("SecurityID")));
    return ctx.record.make({
        {PYGLUE_INTERN("symbol"), symbol},
        {PYGLUE_INTERN("name"), pyglue::item(item, PYGLUE_INTERN("SecurityName"))},
        {PYGLUE_INTERN("secondary_order_id"), pyglue::item(item, PYGLUE_INTERN("OrderID"))},
        {PYGLUE_INTERN("amount"), pyglue::item(item, PYGLUE_INTERN("TradeVolume"))},
        {PYGLUE_INTERN("side"), ctx.side_name(pyglue::item(item, PYGLUE_INTERN("Side")))},
        {PYGLUE_INTERN("trade_price"), pyglue::item(item, PYGLUE_INTERN("AvgPx"))},
        {PYGLUE_INTERN("datetime"),
         ctx.moment(item_get(item, PYGLUE_INTERN("SettleDate"), PYGLUE_INTERN("")),
                    pyglue::item(item, PYGLUE_INTERN("TransactTime")))},
        {PYGLUE_INTERN("commission"), pyglue::item(item, PYGLUE_INTERN("Commission"))},
    });
}

// One order as the broker lists it when polled.
inline py::object broker_order_record(const RecordContext& ctx, py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, PYGLUE_INTERN("SecurityID")));
    return ctx.record.make({
        {PYGLUE_INTERN("symbol"), symbol},
        {PYGLUE_INTERN("name"), pyglue::item(item, PYGLUE_INTERN("SecurityName"))},
        {PYGLUE_INTERN("secondary_order_id"), pyglue::item(item, PYGLUE_INTERN("OrderID"))},
        {PYGLUE_INTERN("amount"), pyglue::item(item, PYGLUE_INTERN("OrderQty"))},
        {PYGLUE_INTERN("side"), ctx.side_name(pyglue::item(item, PYGLUE_INTERN("Side")))},
        {PYGLUE_INTERN("price"), pyglue::item(item, PYGLUE_INTERN("OrderPrice"))},
        {PYGLUE_INTERN("price_type"), pyglue::item(item, PYGLUE_INTERN("OrderTypeMsg"))},
        {PYGLUE_INTERN("datetime"),
         ctx.moment(item_get(item, PYGLUE_INTERN("OrderDate"), PYGLUE_INTERN("")),
                    pyglue::item(item, PYGLUE_INTERN("OrderTime")))},
        {PYGLUE_INTERN("status"), item_get(item, PYGLUE_INTERN("OrderStatusMsg"))},
        {PYGLUE_INTERN("trade_amount"), pyglue::item(item, PYGLUE_INTERN("TradeVolume"))},
        {PYGLUE_INTERN("trade_price"), pyglue::item(item, PYGLUE_INTERN("AvgPx"))},
    });
}

// One order as the broker pushes it: OrderType and OrderEntryTime instead of OrderTypeMsg
// and OrderTime, and OrderDate required.
inline py::object pushed_order_record(const RecordContext& ctx, py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, PYGLUE_INTERN("SecurityID")));
    return ctx.record.make({
        {PYGLUE_INTERN("symbol"), symbol},
        {PYGLUE_INTERN("name"), pyglue::item(item, PYGLUE_INTERN("SecurityName"))},
        {PYGLUE_INTERN("secondary_order_id"), pyglue::item(item, PYGLUE_INTERN("OrderID"))},
        {PYGLUE_INTERN("amount"), pyglue::item(item, PYGLUE_INTERN("OrderQty"))},
        {PYGLUE_INTERN("side"), ctx.side_name(pyglue::item(item, PYGLUE_INTERN("Side")))},
        {PYGLUE_INTERN("price"), pyglue::item(item, PYGLUE_INTERN("OrderPrice"))},
        {PYGLUE_INTERN("price_type"), pyglue::item(item, PYGLUE_INTERN("OrderType"))},
        {PYGLUE_INTERN("datetime"),
         ctx.moment(pyglue::item(item, PYGLUE_INTERN("OrderDate")),
                    pyglue::item(item, PYGLUE_INTERN("OrderEntryTime")))},
        {PYGLUE_INTERN("status"), item_get(item, PYGLUE_INTERN("OrderStatusMsg"))},
        {PYGLUE_INTERN("trade_amount"), pyglue::item(item, PYGLUE_INTERN("TradeVolume"))},
        {PYGLUE_INTERN("trade_price"), pyglue::item(item, PYGLUE_INTERN("AvgPx"))},
    });
}

// One order instruction (lower-case fields); the price type becomes its display text.
inline py::object instruction_record(const RecordContext& ctx, py::handle price_types,
                                     py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, PYGLUE_INTERN("security")));
    return ctx.record.make({
        {PYGLUE_INTERN("symbol"), symbol},
        {PYGLUE_INTERN("order_id"), pyglue::item(item, PYGLUE_INTERN("instructionid"))},
        {PYGLUE_INTERN("secondary_order_id"), pyglue::item(item, PYGLUE_INTERN("orderid"))},
        {PYGLUE_INTERN("amount"), pyglue::item(item, PYGLUE_INTERN("qty"))},
        {PYGLUE_INTERN("side"), ctx.side_name(pyglue::item(item, PYGLUE_INTERN("side")))},
        {PYGLUE_INTERN("price"), pyglue::item(item, PYGLUE_INTERN("price"))},
        {PYGLUE_INTERN("price_type"),
         pyglue::call_method(price_types, PYGLUE_INTERN("revert"),
                             pyglue::item(item, PYGLUE_INTERN("pricetype")))},
        {PYGLUE_INTERN("datetime"), ctx.moment(pyglue::item(item, PYGLUE_INTERN("date")),
                                               pyglue::item(item, PYGLUE_INTERN("time")))},
        {PYGLUE_INTERN("status"), item_get(item, PYGLUE_INTERN("statusmsg"))},
        {PYGLUE_INTERN("cancel_amount"), pyglue::item(item, PYGLUE_INTERN("qtycancel"))},
        {PYGLUE_INTERN("trade_amount"), pyglue::item(item, PYGLUE_INTERN("qtytrade"))},
        {PYGLUE_INTERN("trade_price"), pyglue::item(item, PYGLUE_INTERN("avgpx"))},
        {PYGLUE_INTERN("message"), item_get(item, PYGLUE_INTERN("msg"))},
    });
}

}  // namespace dealdesk
