// The account's session: the process's one trading client (TraderRPC) and the account token
// every query carries.
#pragma once

#include <pybind11/pybind11.h>

#include "dealdesk_common.hpp"
#include "dealdesk_query.hpp"

namespace dealdesk {

inline void define_trader_rpc(py::module_& m) {
    pyglue::ClassBuilder cb("TraderRPC", kModuleName);
    cb.attr("_instance", py::none());
    cb.staticmethod("__new__", {"cls"}, [](py::handle cls) -> py::object {
        if (cls.attr("_instance").is_none()) cls.attr("_instance") = ns.get("PallasClient")();
        return cls.attr("_instance");
    });
    m.attr("TraderRPC") = cb.build();
}

// TradeAPI's __init__, _get_account_token and __del__.
inline void define_session(pyglue::ClassBuilder& cb) {
    cb.method("__init__", {"self", "account_id"}, [](py::handle self, py::handle account_id) {
        self.attr("account_id") = account_id;
        self.attr("_trader_rpc") = ns.get("TraderRPC")();
        self.attr("timeout") = 6;
        self.attr("_trade_type") = "0";
        self.attr("_account_token") = py::none();
    });

    cb.method("_get_account_token", {"self", {"force", py::bool_(false)}},
              [](py::handle self, py::handle force) -> py::object {
                  if (!pyglue::truth(force) && !self.attr("_account_token").is_none()) {
                      return self.attr("_account_token");
                  }
                  py::dict params;
                  params["action"] = "getOnlineAccount";
                  py::dict request;
                  request["ReqType"] = kOnlineAccountsRequest;
                  request["params"] = params;
                  py::object reply = self.attr("_trader_rpc").attr("call_rpc_json")(request);
                  py::object result = pyglue::get(reply, "result", py::dict());
                  for (py::handle account : pyglue::get(result, "Accounts", py::list())) {
                      // One Python operation a statement: Python's left-to-right order decides
                      // which error a malformed account raises.
                      py::object account_id = account["AccountID"];
                      if (!pyglue::equals(account_id, self.attr("account_id"))) continue;
                      py::object trade_type = account["TradeType"];
                      if (!pyglue::equals(trade_type, self.attr("_trade_type"))) continue;
                      py::object token = account["fund_token"];
                      self.attr("_account_token") = token;
                      return token;
                  }
                  py::object id = pyglue::get(reply, "id");
                  raise_trade_exception(py::str("获取账户({})：失败({}).")
                                            .format(id, error_message(reply, "该账户不存在!")));
              });

    cb.method("__del__", {"self"}, [](py::handle self) {
        if (PyObject_DelAttrString(self.ptr(), "_trader_rpc") < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
        }
    });
}

}  // namespace dealdesk
