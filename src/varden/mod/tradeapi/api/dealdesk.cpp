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
#include "dealdesk_records.hpp"

namespace py = pybind11;

namespace dealdesk {
namespace {

#define DD_KEY(text) PYGLUE_INTERN(text)

// The texts of one account query: log keys, the refusal prefix and the failure template.
struct QueryTexts {
    const char* success_key;
    const char* fail_key;
    const char* refusal_prefix;
    const char* failure_template;
};

constexpr QueryTexts kPortfolio{"portfolio_success", "portfolio_fail", "账号资金查询失败(",
                                "账号资金查询失败: %s"};
constexpr QueryTexts kPositions{"positions_success", "positions_fail", "账号持仓查询失败(",
                                "账号持仓查询失败: %s"};
constexpr QueryTexts kTradelogs{"tradelogs_success", "tradelogs_fail", "账号成交查询失败(",
                                "账号成交查询失败: %s"};
constexpr QueryTexts kOrders{"orders_success", "orders_fail", "账号委托查询失败(",
                             "账号委托查询失败: %s"};
constexpr QueryTexts kInstructions{"get_orders_success", "get_orders_fail", nullptr,
                                   "委托查询失败: %s"};

constexpr const char* kNoDetail = "参数输入有误";

[[noreturn]] void raise_trade_exception(py::handle message) {
    pyglue::raise(ns.get("TradeException"), message);
}

// template % (value,)
py::object percent(const char* templ, py::handle value) {
    return pyglue::steal(PyUnicode_Format(py::str(templ).ptr(), py::make_tuple(value).ptr()));
}

// reply.get("error", {}).get("message") or fallback
py::object error_message(py::handle reply, const char* fallback) {
    py::object error = item_get(reply, DD_KEY("error"), py::dict());
    py::object message = item_get(error, DD_KEY("message"));
    return pyglue::truthy(message) ? message : py::str(fallback);
}

// prefix + str(reply.get("id")) + "): " + message
py::object refusal_text(const char* prefix, py::handle reply) {
    py::object id = pyglue::steal(PyObject_Str(item_get(reply, DD_KEY("id")).ptr()));
    py::object message = pyglue::steal(PyObject_Str(error_message(reply, kNoDetail).ptr()));
    return pyglue::concat({py::str(prefix).ptr(), id.ptr(), DD_KEY("): "), message.ptr()});
}

// system_log.<level>(key, extra={"status": status, **request})
void log_query(PyObject* level, const char* key, const char* status, const py::dict& request) {
    py::dict extra;
    extra["status"] = status;
    if (PyDict_Update(extra.ptr(), request.ptr()) < 0) throw py::error_already_set();
    pyglue::getattr(ns.get("system_log"), level)(key, py::arg("extra") = extra);
}

py::dict stocknx_request(py::handle self, int req_type, int fun_id) {
    py::dict params;
    params["FunID"] = fun_id;
    params["fund_token"] = pyglue::call_method(self, DD_KEY("_get_account_token"));
    py::dict request;
    request["ReqType"] = req_type;
    request["method"] = "stocknx";
    request["params"] = params;
    return request;
}

// The frame shared by the account queries: send the request, refuse a reply without result,
// log, translate; any Exception on the way is logged and re-raised as TradeException carrying
// its traceback (and kept as the new exception's context).
template <typename Refusal, typename Translate>
py::object run_query(py::handle self, const py::dict& request, const QueryTexts& texts,
                     Refusal refusal, Translate translate) {
    try {
        py::object client = pyglue::getattr(self, DD_KEY("_trader_rpc"));
        py::object reply = pyglue::call_method(client, DD_KEY("call_rpc_json"), request);
        if (!pyglue::truthy(item_get(reply, DD_KEY("result")))) {
            raise_trade_exception(refusal(reply));
        }
        log_query(DD_KEY("info"), texts.success_key, "success", request);
        return translate(pyglue::item(reply, DD_KEY("result")));
    } catch (py::error_already_set& e) {
        if (!pyglue::is_exception(e)) throw;
        pyglue::HandlingScope scope(e);
        log_query(DD_KEY("error"), texts.fail_key, "fail", request);
        py::object trace = ns.get("traceback").attr("format_exc")();
        raise_trade_exception(percent(texts.failure_template, trace));
    }
}

// Account query with the usual refusal text: prefix, reply id, broker message.
template <typename Translate>
py::object run_stocknx(py::handle self, int req_type, int fun_id, const QueryTexts& texts,
                       Translate translate) {
    py::dict request = stocknx_request(self, req_type, fun_id);
    return run_query(
        self, request, texts,
        [&texts](py::handle reply) { return refusal_text(texts.refusal_prefix, reply); },
        translate);
}

// result.get("Array", []) translated record by record into a list.
template <typename Record>
py::object translate_array(py::handle self, py::handle result, Record record) {
    RecordContext ctx(self);
    py::list out;
    for (py::handle item : item_get(result, DD_KEY("Array"), py::list())) {
        out.append(record(ctx, item));
    }
    return out;
}

// ---- session --------------------------------------------------------------------------------

py::object make_trader_rpc() {
    pyglue::ClassBuilder cb("TraderRPC", kModuleName);
    cb.attr("_instance", py::none());
    cb.staticmethod("__new__", {"cls"}, [](const pyglue::Args& a) {
        py::handle cls = a[0];
        if (pyglue::getattr(cls, DD_KEY("_instance")).is_none()) {
            cls.attr("_instance") = ns.get("PallasClient")();
        }
        return pyglue::getattr(cls, DD_KEY("_instance"));
    });
    return cb.build();
}

py::object init(const pyglue::Args& a) {
    py::handle self = a[0];
    self.attr("account_id") = a[1];
    self.attr("_trader_rpc") = ns.get("TraderRPC")();
    self.attr("timeout") = 6;
    self.attr("_trade_type") = "0";
    self.attr("_account_token") = py::none();
    return py::none();
}

bool equal(py::handle a, py::handle b) {
    return pyglue::truthy(pyglue::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

bool differ(py::handle a, py::handle b) {
    return pyglue::truthy(pyglue::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

py::object get_account_token(const pyglue::Args& a) {
    py::handle self = a[0];
    if (!pyglue::truthy(a[1]) && !pyglue::getattr(self, DD_KEY("_account_token")).is_none()) {
        return pyglue::getattr(self, DD_KEY("_account_token"));
    }
    py::dict params;
    params["action"] = "getOnlineAccount";
    py::dict request;
    request["ReqType"] = 594177;
    request["params"] = params;
    py::object reply = pyglue::call_method(pyglue::getattr(self, DD_KEY("_trader_rpc")),
                                           DD_KEY("call_rpc_json"), request);
    py::object result = item_get(reply, DD_KEY("result"), py::dict());
    for (py::handle account : item_get(result, DD_KEY("Accounts"), py::list())) {
        if (equal(pyglue::item(account, DD_KEY("AccountID")),
                  pyglue::getattr(self, DD_KEY("account_id"))) &&
            equal(pyglue::item(account, DD_KEY("TradeType")),
                  pyglue::getattr(self, DD_KEY("_trade_type")))) {
            py::object token = pyglue::item(account, DD_KEY("fund_token"));
            self.attr("_account_token") = token;
            return token;
        }
    }
    raise_trade_exception(
        py::str("获取账户({})：失败({}).")
            .format(item_get(reply, DD_KEY("id")), error_message(reply, "该账户不存在!")));
}

py::object del(const pyglue::Args& a) {
    if (PyObject_DelAttr(a[0].ptr(), DD_KEY("_trader_rpc")) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
    }
    return py::none();
}

// ---- balances and positions ------------------------------------------------------------------

py::object portfolio(const pyglue::Args& a) {
    return run_stocknx(a[0], 1201, 500016, kPortfolio, [](py::handle result) {
        py::object item = pyglue::steal(
            PyObject_GetItem(pyglue::item(result, DD_KEY("Array")).ptr(), py::int_(0).ptr()));
        return RecordType(ns.get("NameDict"))
            .make({
                {DD_KEY("available_cash"), pyglue::item(item, DD_KEY("AvailableValue"))},
                {DD_KEY("market_value"), pyglue::item(item, DD_KEY("MarketValue"))},
                {DD_KEY("total_value"), pyglue::item(item, DD_KEY("TotalAssets"))},
                {DD_KEY("frozen_cash"), pyglue::item(item, DD_KEY("FrozenValue"))},
            });
    });
}

py::object positions(const pyglue::Args& a) {
    return run_stocknx(a[0], 1202, 500015, kPositions, [&a](py::handle result) {
        RecordContext ctx(a[0]);
        py::dict out;
        for (py::handle item : item_get(result, DD_KEY("Array"), py::list())) {
            py::object record = position_record(ctx, item);
            out[pyglue::item(record, DD_KEY("symbol"))] = record;
        }
        return py::object(out);
    });
}

// ---- fills, orders, instructions -------------------------------------------------------------

py::object get_tradelogs(const pyglue::Args& a) {
    return run_stocknx(a[0], 1203, 500014, kTradelogs, [&a](py::handle result) {
        return translate_array(a[0], result, tradelog_record);
    });
}

py::object secondary_orders(const pyglue::Args& a) {
    return run_stocknx(a[0], 1204, 500013, kOrders, [&a](py::handle result) {
        return translate_array(a[0], result, broker_order_record);
    });
}

// pd.Timestamp(value).strftime("%Y-%m-%d %H:%M:%S")
py::object request_time(py::handle value) {
    return pyglue::getattr(ns.get("pd"), DD_KEY("Timestamp"))(value).attr("strftime")(
        "%Y-%m-%d %H:%M:%S");
}

py::object get_orders(const pyglue::Args& a) {
    py::handle self = a[0], order_id = a[1], start_time = a[2], end_time = a[3];
    py::dict params;
    params["action"] = "query";
    params["instructionid"] = order_id;
    params["fund_token"] = pyglue::call_method(self, DD_KEY("_get_account_token"));
    params["type"] = 1;
    if (pyglue::truthy(start_time) && pyglue::truthy(end_time)) {
        params["startdate"] = request_time(start_time);
        params["enddate"] = request_time(end_time);
    }
    py::dict request;
    request["ReqType"] = 151553;
    request["method"] = "new_instmanage";
    request["params"] = params;
    auto refusal = [](py::handle reply) {
        py::object msg = item_get(reply, DD_KEY("msg"));
        return percent(kInstructions.failure_template,
                       pyglue::truthy(msg) ? msg : py::str(kNoDetail));
    };
    return run_query(self, request, kInstructions, refusal, [self](py::handle result) {
        py::list out;
        for (py::handle item : item_get(result, DD_KEY("orders"), py::list())) {
            // The instruction service answers for every account of the session.
            py::object token = pyglue::call_method(self, DD_KEY("_get_account_token"));
            if (differ(pyglue::item(item, DD_KEY("fund_token")), token)) continue;
            out.append(pyglue::call_method(self, DD_KEY("_trans_inst"), item));
        }
        return py::object(out);
    });
}

py::object trans_inst(const pyglue::Args& a) {
    RecordContext ctx(a[0]);
    return instruction_record(ctx, pyglue::getattr(a[0], DD_KEY("PRICETYPE")), a[1]);
}

// ---- pushed order updates --------------------------------------------------------------------

py::object trans_order(const pyglue::Args& a) {
    RecordContext ctx(a[0]);
    return pushed_order_record(ctx, a[1]);
}

py::object make_push_handler(py::object self, py::object orderpush) {
    pyglue::Signature sig;
    sig.name = "_handler";
    sig.qualname = "TradeAPI.register_push.<locals>._handler";
    sig.params = {"m", "d"};
    sig.module = kModuleName;
    return pyglue::make_function(std::move(sig), [self, orderpush](const pyglue::Args& a) {
        py::object data =
            pyglue::call_method(self, DD_KEY("_trans_order"), pyglue::item(a[1], DD_KEY("params")));
        if (pyglue::truthy(orderpush)) return orderpush(data);
        return orderpush;
    });
}

py::object register_push(const pyglue::Args& a) {
    py::handle self = a[0];
    py::dict params;
    params["action"] = "subscribe";
    params["Subkey"] = "entrustret";
    params["fund_token"] = pyglue::call_method(self, DD_KEY("_get_account_token"));
    py::dict request;
    request["ReqType"] = 1601;
    request["params"] = params;
    py::object client = pyglue::getattr(self, DD_KEY("_trader_rpc"));
    py::object reply = pyglue::call_method(client, DD_KEY("call_rpc_json"), request);
    py::object error = item_get(reply, DD_KEY("error"));
    if (pyglue::truthy(error)) {
        py::object id = pyglue::steal(PyObject_Str(item_get(reply, DD_KEY("id")).ptr()));
        py::object message = item_get(error, DD_KEY("message"));
        if (!pyglue::truthy(message)) message = py::str(kNoDetail);
        message = pyglue::steal(PyObject_Str(message.ptr()));
        raise_trade_exception(pyglue::concat(
            {py::str("委托推送注册失败(").ptr(), id.ptr(), DD_KEY("): "), message.ptr()}));
    }
    py::object handler = make_push_handler(py::reinterpret_borrow<py::object>(self),
                                           py::reinterpret_borrow<py::object>(a[1]));
    pyglue::call_method(client, DD_KEY("register_callback"), handler);
    return py::none();
}

py::object make_trade_api(py::handle side, py::handle market, py::handle pricetype) {
    pyglue::ClassBuilder cb("TradeAPI", kModuleName);
    cb.attr("__doc__", py::str(dealdesk_docs::kTradeAPI));
    cb.attr("SIDE", side);
    cb.attr("MARKET", market);
    cb.attr("PRICETYPE", pricetype);
    cb.method("__init__", {"self", "account_id"}, init);
    cb.method("_get_account_token", {"self", {"force", py::bool_(false)}}, get_account_token);
    cb.method("__del__", {"self"}, del);
    cb.property("portfolio", portfolio, dealdesk_docs::kPortfolio);
    cb.property("positions", positions, dealdesk_docs::kPositions);
    cb.method("get_tradelogs", {"self"}, get_tradelogs);
    py::object limited = cb.function("secondary_orders", {"self"}, secondary_orders, false, false);
    limited.attr("__doc__") = dealdesk_docs::kSecondaryOrders;
    py::object rate_limit = ns.get("rate_limit")(
        py::arg("calls") = 1, py::arg("period") = 3,
        py::arg("raise_message") = "该查询函数使用最小间隔为3秒，请稍后重试。");
    cb.attr("secondary_orders", rate_limit(limited));
    cb.method(
        "get_orders",
        {"self", {"order_id", py::none()}, {"start_time", py::none()}, {"end_time", py::none()}},
        get_orders);
    cb.method("_trans_inst", {"self", "item"}, trans_inst);
    cb.method("register_push", {"self", {"orderpush", py::none()}}, register_push);
    cb.method("_trans_order", {"self", "item"}, trans_order);
    return cb.build();
}

#undef DD_KEY

}  // namespace
}  // namespace dealdesk

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

    py::object market = make_market_class();
    py::object pricetype = make_pricetype_class();
    py::object side_mixin = make_side_mixin();
    m.attr("MARKET") = market;
    m.attr("PRICETYPE") = pricetype;
    m.attr("SideMixin") = side_mixin;
    py::object side = make_side_enum(side_mixin);
    m.attr("SIDE") = side;
    define_rate_limit(m);
    m.attr("TraderRPC") = make_trader_rpc();
    m.attr("TradeAPI") = make_trade_api(side, market, pricetype);
    pyglue::document(m, dealdesk_docs::kModuleMembers);
    pyglue::document(market, dealdesk_docs::kMarketMembers);
    pyglue::document(pricetype, dealdesk_docs::kPriceTypeMembers);
    pyglue::document(side_mixin, dealdesk_docs::kSideMixinMembers);
    pyglue::document(m.attr("TradeAPI"), dealdesk_docs::kTradeAPIMembers);
    py::list all;
    all.append("TradeAPI");
    m.attr("__all__") = all;
}
