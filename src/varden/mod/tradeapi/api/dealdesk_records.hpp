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

#define DD_KEY(text) PYGLUE_INTERN(text)

// The collaborators of one translation run, read once from the instance and the module.
struct RecordContext {
    explicit RecordContext(py::handle self)
        : market(pyglue::getattr(self, DD_KEY("MARKET"))),
          side(pyglue::getattr(self, DD_KEY("SIDE"))),
          record(ns.get("NameDict")),
          timestamp(pyglue::getattr(ns.get("pd"), DD_KEY("Timestamp"))) {}

    py::object symbol(py::handle code) const { return market.symbol(code); }
    py::object side_name(py::handle code) const { return side(code); }
    // pd.Timestamp("{}{}{}".format(date, " " if date else date, time))
    py::object moment(py::handle date, py::handle time) const {
        py::object day = pyglue::format_value(date);
        py::object middle =
            pyglue::truthy(date) ? py::reinterpret_borrow<py::object>(DD_KEY(" ")) : day;
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
    py::object symbol = ctx.symbol(pyglue::item(item, DD_KEY("SecurityID")));
    py::object pnl = item_get(item, DD_KEY("NetMoney"));
    if (!pyglue::truthy(pnl)) {
        py::object price = pyglue::item(item, DD_KEY("MarketPrice"));
        py::object cost = pyglue::item(item, DD_KEY("CostPrice"));
        py::object diff = pyglue::steal(PyNumber_Subtract(price.ptr(), cost.ptr()));
        py::object amount = pyglue::item(item, DD_KEY("ActualAmt"));
        pnl = pyglue::steal(PyNumber_Multiply(diff.ptr(), amount.ptr()));
    }
    pnl = pyglue::round_object(pnl, 4);
    py::object cost = pyglue::item(item, DD_KEY("CostPrice"));
    py::object profit_rate = py::none();
    if (pyglue::truthy(cost)) {
        py::object price = pyglue::item(item, DD_KEY("MarketPrice"));
        py::object diff = pyglue::steal(PyNumber_Subtract(price.ptr(), cost.ptr()));
        py::object rate = pyglue::steal(PyNumber_TrueDivide(diff.ptr(), cost.ptr()));
        profit_rate = pyglue::round_object(rate, 4);
    }
    return ctx.record.make({
        {DD_KEY("symbol"), symbol},
        {DD_KEY("name"), pyglue::item(item, DD_KEY("SecurityName"))},
        {DD_KEY("amount"), pyglue::item(item, DD_KEY("ActualAmt"))},
        {DD_KEY("frozen_amount"), pyglue::item(item, DD_KEY("FrozenQty"))},
        {DD_KEY("available_amount"), pyglue::item(item, DD_KEY("AvailableStockBalance"))},
        {DD_KEY("market_value"), pyglue::item(item, DD_KEY("MarketValue"))},
        {DD_KEY("cost_basis"), pyglue::item(item, DD_KEY("CostPrice"))},
        {DD_KEY("last_price"), pyglue::item(item, DD_KEY("MarketPrice"))},
        {DD_KEY("pnl"), pnl},
        {DD_KEY("profit_rate"), profit_rate},
    });
}

// One fill.
inline py::object tradelog_record(const RecordContext& ctx, py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, DD_KEY("SecurityID")));
    return ctx.record.make({
        {DD_KEY("symbol"), symbol},
        {DD_KEY("name"), pyglue::item(item, DD_KEY("SecurityName"))},
        {DD_KEY("secondary_order_id"), pyglue::item(item, DD_KEY("OrderID"))},
        {DD_KEY("amount"), pyglue::item(item, DD_KEY("TradeVolume"))},
        {DD_KEY("side"), ctx.side_name(pyglue::item(item, DD_KEY("Side")))},
        {DD_KEY("trade_price"), pyglue::item(item, DD_KEY("AvgPx"))},
        {DD_KEY("datetime"), ctx.moment(item_get(item, DD_KEY("SettleDate"), DD_KEY("")),
                                        pyglue::item(item, DD_KEY("TransactTime")))},
        {DD_KEY("commission"), pyglue::item(item, DD_KEY("Commission"))},
    });
}

// One order as the broker lists it when polled.
inline py::object broker_order_record(const RecordContext& ctx, py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, DD_KEY("SecurityID")));
    return ctx.record.make({
        {DD_KEY("symbol"), symbol},
        {DD_KEY("name"), pyglue::item(item, DD_KEY("SecurityName"))},
        {DD_KEY("secondary_order_id"), pyglue::item(item, DD_KEY("OrderID"))},
        {DD_KEY("amount"), pyglue::item(item, DD_KEY("OrderQty"))},
        {DD_KEY("side"), ctx.side_name(pyglue::item(item, DD_KEY("Side")))},
        {DD_KEY("price"), pyglue::item(item, DD_KEY("OrderPrice"))},
        {DD_KEY("price_type"), pyglue::item(item, DD_KEY("OrderTypeMsg"))},
        {DD_KEY("datetime"), ctx.moment(item_get(item, DD_KEY("OrderDate"), DD_KEY("")),
                                        pyglue::item(item, DD_KEY("OrderTime")))},
        {DD_KEY("status"), item_get(item, DD_KEY("OrderStatusMsg"))},
        {DD_KEY("trade_amount"), pyglue::item(item, DD_KEY("TradeVolume"))},
        {DD_KEY("trade_price"), pyglue::item(item, DD_KEY("AvgPx"))},
    });
}

// One order as the broker pushes it: OrderType and OrderEntryTime instead of OrderTypeMsg
// and OrderTime, and OrderDate required.
inline py::object pushed_order_record(const RecordContext& ctx, py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, DD_KEY("SecurityID")));
    return ctx.record.make({
        {DD_KEY("symbol"), symbol},
        {DD_KEY("name"), pyglue::item(item, DD_KEY("SecurityName"))},
        {DD_KEY("secondary_order_id"), pyglue::item(item, DD_KEY("OrderID"))},
        {DD_KEY("amount"), pyglue::item(item, DD_KEY("OrderQty"))},
        {DD_KEY("side"), ctx.side_name(pyglue::item(item, DD_KEY("Side")))},
        {DD_KEY("price"), pyglue::item(item, DD_KEY("OrderPrice"))},
        {DD_KEY("price_type"), pyglue::item(item, DD_KEY("OrderType"))},
        {DD_KEY("datetime"), ctx.moment(pyglue::item(item, DD_KEY("OrderDate")),
                                        pyglue::item(item, DD_KEY("OrderEntryTime")))},
        {DD_KEY("status"), item_get(item, DD_KEY("OrderStatusMsg"))},
        {DD_KEY("trade_amount"), pyglue::item(item, DD_KEY("TradeVolume"))},
        {DD_KEY("trade_price"), pyglue::item(item, DD_KEY("AvgPx"))},
    });
}

// One order instruction (lower-case fields); the price type becomes its display text.
inline py::object instruction_record(const RecordContext& ctx, py::handle price_types,
                                     py::handle item) {
    py::object symbol = ctx.symbol(pyglue::item(item, DD_KEY("security")));
    return ctx.record.make({
        {DD_KEY("symbol"), symbol},
        {DD_KEY("order_id"), pyglue::item(item, DD_KEY("instructionid"))},
        {DD_KEY("secondary_order_id"), pyglue::item(item, DD_KEY("orderid"))},
        {DD_KEY("amount"), pyglue::item(item, DD_KEY("qty"))},
        {DD_KEY("side"), ctx.side_name(pyglue::item(item, DD_KEY("side")))},
        {DD_KEY("price"), pyglue::item(item, DD_KEY("price"))},
        {DD_KEY("price_type"), pyglue::call_method(price_types, DD_KEY("revert"),
                                                   pyglue::item(item, DD_KEY("pricetype")))},
        {DD_KEY("datetime"),
         ctx.moment(pyglue::item(item, DD_KEY("date")), pyglue::item(item, DD_KEY("time")))},
        {DD_KEY("status"), item_get(item, DD_KEY("statusmsg"))},
        {DD_KEY("cancel_amount"), pyglue::item(item, DD_KEY("qtycancel"))},
        {DD_KEY("trade_amount"), pyglue::item(item, DD_KEY("qtytrade"))},
        {DD_KEY("trade_price"), pyglue::item(item, DD_KEY("avgpx"))},
        {DD_KEY("message"), item_get(item, DD_KEY("msg"))},
    });
}

#undef DD_KEY

}  // namespace dealdesk
