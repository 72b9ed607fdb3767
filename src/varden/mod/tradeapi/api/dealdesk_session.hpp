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
    cb.staticmethod("__new__", {"cls"}, [](py::handle cls) {
        if (pyglue::getattr(cls, PYGLUE_INTERN("_instance")).is_none()) {
            cls.attr("_instance") = ns.get("PallasClient")();
        }
        return pyglue::getattr(cls, PYGLUE_INTERN("_instance"));
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

    cb.method(
        "_get_account_token", {"self", {"force", py::bool_(false)}},
        [](py::handle self, py::handle force) -> py::object {
            if (!pyglue::truth(force) &&
                !pyglue::getattr(self, PYGLUE_INTERN("_account_token")).is_none()) {
                return pyglue::getattr(self, PYGLUE_INTERN("_account_token"));
            }
            py::dict params;
            params["action"] = "getOnlineAccount";
            py::dict request;
            request["ReqType"] = 594177;
            request["params"] = params;
            py::object reply =
                pyglue::call_method(pyglue::getattr(self, PYGLUE_INTERN("_trader_rpc")),
                                    PYGLUE_INTERN("call_rpc_json"), request);
            py::object result = item_get(reply, PYGLUE_INTERN("result"), py::dict());
            for (py::handle account : item_get(result, PYGLUE_INTERN("Accounts"), py::list())) {
                if (pyglue::compare(pyglue::item(account, PYGLUE_INTERN("AccountID")),
                                    pyglue::getattr(self, PYGLUE_INTERN("account_id")), Py_EQ) &&
                    pyglue::compare(pyglue::item(account, PYGLUE_INTERN("TradeType")),
                                    pyglue::getattr(self, PYGLUE_INTERN("_trade_type")), Py_EQ)) {
                    py::object token = pyglue::item(account, PYGLUE_INTERN("fund_token"));
                    self.attr("_account_token") = token;
                    return token;
                }
            }
            raise_trade_exception(py::str("获取账户({})：失败({}).")
                                      .format(item_get(reply, PYGLUE_INTERN("id")),
                                              error_message(reply, "该账户不存在!")));
        });

    cb.method("__del__", {"self"}, [](py::handle self) {
        if (PyObject_DelAttr(self.ptr(), PYGLUE_INTERN("_trader_rpc")) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
        }
    });
}

}  // namespace dealdesk
