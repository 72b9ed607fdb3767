// The account's fills, broker orders and order instructions: TradeAPI.get_tradelogs,
// secondary_orders (rate-limited), get_orders and _trans_inst.
#pragma once

#include <pybind11/pybind11.h>

#include "dealdesk_common.hpp"
#include "dealdesk_docs.hpp"
#include "dealdesk_query.hpp"
#include "dealdesk_records.hpp"

namespace dealdesk {

constexpr QueryTexts kTradelogs{"tradelogs_success", "tradelogs_fail", "账号成交查询失败(",
                                "账号成交查询失败: %s"};
constexpr QueryTexts kOrders{"orders_success", "orders_fail", "账号委托查询失败(",
                             "账号委托查询失败: %s"};
constexpr QueryTexts kInstructions{"get_orders_success", "get_orders_fail", nullptr,
                                   "委托查询失败: %s"};

// pd.Timestamp(value).strftime("%Y-%m-%d %H:%M:%S")
inline py::object request_time(py::handle value) {
    return ns.get("pd").attr("Timestamp")(value).attr("strftime")("%Y-%m-%d %H:%M:%S");
}

// The refusal of an instruction query: the reply's "msg" in the failure template.
inline py::object instruction_refusal(py::handle reply) {
    py::object msg = pyglue::get(reply, "msg");
    return percent(kInstructions.failure_template, pyglue::truth(msg) ? msg : py::str(kNoDetail));
}

// The account's own instructions: the instruction service answers for every account of the
// session.
inline py::object own_instructions(py::handle self, py::handle result) {
    py::list out;
    for (py::handle item : item_get(result, PYGLUE_INTERN("orders"), py::list())) {
        py::object token = pyglue::call_method(self, PYGLUE_INTERN("_get_account_token"));
        if (pyglue::compare(pyglue::item(item, PYGLUE_INTERN("fund_token")), token, Py_NE)) {
            continue;
        }
        out.append(pyglue::call_method(self, PYGLUE_INTERN("_trans_inst"), item));
    }
    return py::object(out);
}

inline void define_orders(pyglue::ClassBuilder& cb) {
    cb.method("get_tradelogs", {"self"}, [](py::handle self) {
        return run_stocknx(self, kFillsRequest, kTradelogs, [](py::handle self, py::handle result) {
            return translate_array(self, result, tradelog_record);
        });
    });

    // One query in 3 seconds for all accounts of the process.
    py::object limited = cb.function("secondary_orders", {"self"}, [](py::handle self) {
        return run_stocknx(self, kOrdersRequest, kOrders, [](py::handle self, py::handle result) {
            return translate_array(self, result, broker_order_record);
        });
    });
    limited.attr("__doc__") = dealdesk_docs::kSecondaryOrders;
    py::object rate_limit = ns.get("rate_limit")(
        py::arg("calls") = 1, py::arg("period") = 3,
        py::arg("raise_message") = "该查询函数使用最小间隔为3秒，请稍后重试。");
    cb.attr("secondary_orders", rate_limit(limited));

    cb.method(
        "get_orders",
        {"self", {"order_id", py::none()}, {"start_time", py::none()}, {"end_time", py::none()}},
        [](py::handle self, py::handle order_id, py::handle start_time, py::handle end_time) {
            py::dict params;
            params["action"] = "query";
            params["instructionid"] = order_id;
            params["fund_token"] = self.attr("_get_account_token")();
            params["type"] = 1;
            if (pyglue::truth(start_time) && pyglue::truth(end_time)) {
                params["startdate"] = request_time(start_time);
                params["enddate"] = request_time(end_time);
            }
            py::dict request;
            request["ReqType"] = kOrderInstructionsRequest;
            request["method"] = "new_instmanage";
            request["params"] = params;
            return run_query(self, request, kInstructions, instruction_refusal, own_instructions);
        });

    cb.method("_trans_inst", {"self", "item"}, [](py::handle self, py::handle item) {
        RecordContext ctx(self);
        return instruction_record(ctx, pyglue::getattr(self, PYGLUE_INTERN("PRICETYPE")), item);
    });
}

}  // namespace dealdesk
