// Pushed order updates: TradeAPI.register_push subscribes the account and hands the trading
// client a handler that translates each update (_trans_order) for the user's function.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "dealdesk_common.hpp"
#include "dealdesk_query.hpp"
#include "dealdesk_records.hpp"

namespace dealdesk {

// The handler owns the instance and the user's function: an instance that reaches its own
// handler (through its client) is collected with it.
inline py::object make_push_handler(py::handle self, py::handle orderpush) {
    return pyglue::local_function(
        kModuleName, "TradeAPI.register_push", "_handler", {"m", "d"},
        pyglue::capture(self, orderpush),
        [](py::handle self, py::object orderpush, py::handle /*m*/, py::handle d) {
            py::object data = self.attr("_trans_order")(d["params"]);
            if (pyglue::truth(orderpush)) return orderpush(data);
            return orderpush;
        });
}

inline void define_pushes(pyglue::ClassBuilder& cb) {
    cb.method(
        "register_push", {"self", {"orderpush", py::none()}},
        [](py::handle self, py::handle orderpush) {
            py::dict params;
            params["action"] = "subscribe";
            params["Subkey"] = "entrustret";
            params["fund_token"] = self.attr("_get_account_token")();
            py::dict request;
            request["ReqType"] = kPushSubscriptionRequest;
            request["params"] = params;
            py::object client = self.attr("_trader_rpc");
            py::object reply = client.attr("call_rpc_json")(request);
            py::object error = pyglue::get(reply, "error");
            if (pyglue::truth(error)) {
                py::object id = pyglue::steal(PyObject_Str(pyglue::get(reply, "id").ptr()));
                py::object message = pyglue::get(error, "message");
                if (!pyglue::truth(message)) message = py::str(kNoDetail);
                message = pyglue::steal(PyObject_Str(message.ptr()));
                raise_trade_exception(pyglue::concat({py::str("委托推送注册失败(").ptr(), id.ptr(),
                                                      py::str("): ").ptr(), message.ptr()}));
            }
            client.attr("register_callback")(make_push_handler(self, orderpush));
        });

    cb.method("_trans_order", {"self", "item"}, [](py::handle self, py::handle item) {
        RecordContext ctx(self);
        return pushed_order_record(ctx, item);
    });
}

}  // namespace dealdesk
