// Question screening: securities picked by a natural-language question, answered by the
// platform's question service as lists of codes per key.
//
// A failed attempt is logged as a warning and answered with None, which the retry decorator
// turns into a second attempt and, after two failures, into an empty dict. Collaborators
// (json, requests, setting, ContactServerError, log, retry_on_result) are module attributes
// read at call time.
#include <pybind11/pybind11.h>

#include <utility>

#include "pyglue/pyglue.hpp"
#include "querybay_docs.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleName = "varden.mod.stock.utils.querybay";
constexpr const char* kFailed = "初始化querybay股票池失败.";
constexpr const char* kRefused = "初始化querybay股票池失败: %s.";
constexpr int kTimeoutSeconds = 8;

pyglue::Namespace ns;

void warn(py::handle message) {
    ns.get("log").attr("warn")(message);
}

// {key: "," code "," ...} -> {key: [code, ...]}; empty or falsy texts give empty lists.
py::dict code_lists(py::handle result) {
    py::dict out;
    for (py::handle pair : result.attr("items")()) {
        py::object key = pair[py::int_(0)], value = pair[py::int_(1)];
        if (pyglue::truth(value)) {
            out[key] = value.attr("strip")(",").attr("split")(",");
        } else {
            out[key] = py::list();
        }
    }
    return out;
}

void define_query_bay(py::module_& m) {
    pyglue::ClassBuilder cb("QueryBay", kModuleName);
    cb.attr("__doc__", py::str(querybay_docs::kQueryBay));

    cb.method(
        "__init__", {"self", {"version", py::none()}}, [](py::handle self, py::handle version) {
            self.attr("version") =
                pyglue::truth(version) ? py::reinterpret_borrow<py::object>(version) : py::str("");
        });

    // One attempt: the code lists, or None (after a warning) when anything went wrong.
    py::object attempt = cb.function(
        "question", {"self", "question_str", "start_dt", "end_dt"},
        [](py::handle self, py::handle question_str, py::handle start_dt,
           py::handle end_dt) -> py::object {
            try {
                py::dict params;
                params["query"] = question_str;
                params["startDate"] = start_dt.attr("strftime")("%Y%m%d");
                params["endDate"] = end_dt.attr("strftime")("%Y%m%d");
                params["parserVersion"] = self.attr("version");
                py::object url = ns.get("setting").attr("QUERYBAY_URL");
                py::object response = ns.get("requests")
                                          .attr("get")(url, py::arg("params") = params,
                                                       py::arg("timeout") = kTimeoutSeconds);
                py::object status = response.attr("status_code");
                if (pyglue::compare(status, py::int_(200), Py_NE)) {
                    pyglue::raise(ns.get("ContactServerError")(py::arg("code") = status));
                }
                py::object text = response.attr("content").attr("decode")("utf-8").attr("strip")();
                py::object answer = ns.get("json").attr("loads")(text);
                if (pyglue::equals(answer.attr("get")("status_code", -1), py::int_(0))) {
                    return code_lists(answer.attr("get")("result", py::dict()));
                }
                py::object message = answer.attr("get")("status_msg");
                warn(pyglue::steal(
                    PyUnicode_Format(py::str(kRefused).ptr(), py::make_tuple(message).ptr())));
                return py::none();
            } catch (py::error_already_set& e) {
                if (!pyglue::is_exception(e)) throw;
                pyglue::HandlingScope scope(e);
                warn(py::str(kFailed));
                return py::none();
            }
        });
    attempt.attr("__doc__") = querybay_docs::kQuestion;
    // The decorator hands back this one dict after two failed attempts; each caller gets a
    // fresh copy of it instead, so that filling one result cannot change later ones.
    py::dict no_answer;
    py::object retried = ns.get("retry_on_result")(
        py::arg("except_result") = py::none(), py::arg("except_return") = no_answer,
        py::arg("tries") = 2, py::arg("logger") = ns.get("log"))(attempt);
    py::object question = cb.function(
        "question", {"self", "question_str", "start_dt", "end_dt"},
        pyglue::capture(retried, no_answer),
        [](py::handle retried, py::handle no_answer, py::handle self, py::handle question_str,
           py::handle start_dt, py::handle end_dt) -> py::object {
            py::object result = retried(self, question_str, start_dt, end_dt);
            if (result.is(no_answer)) return py::dict();
            return result;
        });
    question.attr("__doc__") = attempt.attr("__doc__");
    question.attr("__wrapped__") = retried;
    cb.attr("question", question);
    m.attr("QueryBay") = cb.build();
}

}  // namespace

PYBIND11_MODULE(querybay, m) {
    ns.bind(m);
    m.doc() = querybay_docs::kModule;
    ns.import_module("json", "json");
    ns.import_module("requests", "requests");
    ns.import_module("varden.mod.kelpie.setting", "setting");
    ns.import_from("varden.mod.kelpie.utils.wrap_utils", {"retry_on_result"});
    ns.import_from("varden.mod.kelpie.errors", {"ContactServerError"});
    ns.import_from("varden.mod.kelpie.utils.recorder", {"log"});
    define_query_bay(m);
}
