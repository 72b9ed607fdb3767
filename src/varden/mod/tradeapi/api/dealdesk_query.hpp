// The frame of an account query: one request to the trading client, the broker's refusal or a
// failure on the way turned into the kit's TradeException, the outcome logged.
#pragma once

#include <pybind11/pybind11.h>

#include "dealdesk_common.hpp"
#include "dealdesk_records.hpp"

namespace dealdesk {

// The texts of one account query: log keys, the refusal prefix and the failure template.
struct QueryTexts {
    const char* success_key;
    const char* fail_key;
    const char* refusal_prefix;
    const char* failure_template;
};

constexpr const char* kNoDetail = "参数输入有误";

[[noreturn]] inline void raise_trade_exception(py::handle message) {
    pyglue::raise(ns.get("TradeException"), message);
}

// template % (value,)
inline py::object percent(const char* templ, py::handle value) {
    return pyglue::steal(PyUnicode_Format(py::str(templ).ptr(), py::make_tuple(value).ptr()));
}

// reply.get("error", {}).get("message") or fallback
inline py::object error_message(py::handle reply, const char* fallback) {
    py::object error = pyglue::get(reply, "error", py::dict());
    py::object message = pyglue::get(error, "message");
    return pyglue::truth(message) ? message : py::str(fallback);
}

// prefix + str(reply.get("id")) + "): " + message
inline py::object refusal_text(const char* prefix, py::handle reply) {
    py::object id = pyglue::steal(PyObject_Str(pyglue::get(reply, "id").ptr()));
    py::object message = pyglue::steal(PyObject_Str(error_message(reply, kNoDetail).ptr()));
    return pyglue::concat({py::str(prefix).ptr(), id.ptr(), py::str("): ").ptr(), message.ptr()});
}

// system_log.<level>(key, extra={"status": status, **request})
inline void log_query(const char* level, const char* key, const char* status,
                      const py::dict& request) {
    py::dict extra;
    extra["status"] = status;
    if (PyDict_Update(extra.ptr(), request.ptr()) < 0) throw py::error_already_set();
    ns.get("system_log").attr(level)(key, py::arg("extra") = extra);
}

inline py::dict stocknx_request(py::handle self, StocknxRequest kind) {
    py::dict params;
    params["FunID"] = kind.fun_id;
    params["fund_token"] = self.attr("_get_account_token")();
    py::dict request;
    request["ReqType"] = kind.req_type;
    request["method"] = "stocknx";
    request["params"] = params;
    return request;
}

// Sends the request, refuses a reply without result, logs, translates (translate(self,
// result)); any Exception on the way is logged and re-raised as TradeException carrying its
// traceback (and kept as the new exception's context).
template <typename Refusal, typename Translate>
py::object run_query(py::handle self, const py::dict& request, const QueryTexts& texts,
                     Refusal refusal, Translate translate) {
    try {
        py::object reply = self.attr("_trader_rpc").attr("call_rpc_json")(request);
        if (!pyglue::truth(pyglue::get(reply, "result"))) raise_trade_exception(refusal(reply));
        log_query("info", texts.success_key, "success", request);
        return translate(self, reply["result"]);
    } catch (py::error_already_set& e) {
        if (!pyglue::is_exception(e)) throw;
        pyglue::HandlingScope scope(e);
        log_query("error", texts.fail_key, "fail", request);
        py::object trace = ns.get("traceback").attr("format_exc")();
        raise_trade_exception(percent(texts.failure_template, trace));
    }
}

// Account query with the usual refusal text: prefix, reply id, broker message.
template <typename Translate>
py::object run_stocknx(py::handle self, StocknxRequest kind, const QueryTexts& texts,
                       Translate translate) {
    py::dict request = stocknx_request(self, kind);
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
    for (py::handle item : item_get(result, PYGLUE_INTERN("Array"), py::list())) {
        out.append(record(ctx, item));
    }
    return out;
}

}  // namespace dealdesk
