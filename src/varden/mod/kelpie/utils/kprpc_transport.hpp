// Remote methods: the table that names them, the request that carries a call and the decoding of
// its answer.
#pragma once

#include <pybind11/pybind11.h>

#include "kprpc_answers.hpp"
#include "kprpc_common.hpp"
#include "kprpc_session.hpp"

namespace kprpc {

inline py::dict remote_method(const char* path, int timeout = 0) {
    py::dict entry;
    entry["_method"] = "POST";
    entry["_path"] = path;
    if (timeout) entry["_timeout"] = timeout;
    return entry;
}

inline py::dict request_methods_table() {
    py::dict table;
    table["api_usage"] = remote_method("api/sdk_api_usage");
    table["instruments"] = remote_method("api/sdk_instruments");
    table["trading_dates"] = remote_method("api/sdk_trading_dates");
    table["extra_hdf_store"] = remote_method("api/sdk_extra_hdf_store");
    table["arsenal_request"] = remote_method("api/sdk_arsenal_request");
    table["data_array"] = remote_method("api/sdk_data_array");
    table["all_api"] = remote_method("api/sdk_all_api", 30);
    table["run_api"] = remote_method("api/sdk_run_api", 30);
    table["trade_api"] = remote_method("api/sdk_trade_api", 30);
    table["upload_file"] = remote_method("api/sdk_upload_file", 30);
    table["download_file"] = remote_method("api/sdk_download_file", 30);
    table["get_fundamentals"] = remote_method("api/sdk_get_fundamentals", 60);
    return table;
}

// headers.update(extra), refusing what is not a mapping as `{**extra}` would.
inline void merge_headers(py::dict& headers, py::handle extra) {
    if (!PyDict_Check(extra.ptr()) && !py::hasattr(extra, "keys")) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                     Py_TYPE(extra.ptr())->tp_name);
        throw py::error_already_set();
    }
    if (PyDict_Merge(headers.ptr(), extra.ptr(), 1) < 0) throw py::error_already_set();
}

inline py::object send_once(py::handle self, py::handle method, py::handle url, py::handle headers,
                            py::handle timeout, py::handle body) {
    py::object response =
        ns.get("requests")
            .attr("request")(method.attr("upper")(), url, py::arg("headers") = headers,
                             py::arg("timeout") = timeout, py::arg("data") = body);
    return self.attr("_handle_response")(response);
}

inline void define_transport(pyglue::ClassBuilder& cls) {
    cls.method("_compose_url", {"self", "path"}, [](py::handle self, py::handle path) {
        return pyglue::steal(PyNumber_Add(py::object(self.attr("base_url")).ptr(), path.ptr()));
    });

    py::dict shared_headers;  // the one default `_headers`, shared by every call, only read
    cls.method(
        "_request",
        {"self",
         {"_method", py::str("POST")},
         {"_path", py::str("")},
         {"_headers", shared_headers},
         {"_timeout", py::int_(10)},
         {"_timeout_retry", py::int_(1)}},
        [](py::handle self, py::handle method, py::handle path, py::handle extra_headers,
           py::handle timeout, py::object retries_left, pyglue::VarKwargs kwargs) {
            py::object url = self.attr("_compose_url")(path);
            py::dict headers;
            headers["serialize-type"] = "0";
            headers["x-consumer-sdk-version"] = ns.get("__version__");
            headers["Authorization"] = py::str("Bearer {}").format(request_token(self));
            merge_headers(headers, extra_headers);
            py::object body = ns.get("pickle").attr("dumps")(kwargs, kWirePickleProtocol);

            py::int_ zero(0), one(1);
            while (pyglue::compare(retries_left, zero, Py_GT)) {
                try {
                    return send_once(self, method, url, headers, timeout, body);
                } catch (py::error_already_set& e) {
                    if (!e.matches(ns.get("requests").attr("exceptions").attr("ReadTimeout"))) {
                        throw;
                    }
                }
                retries_left =
                    pyglue::steal(PyNumber_InPlaceSubtract(retries_left.ptr(), one.ptr()));
            }
            return send_once(self, method, url, headers, timeout, body);
        });

    cls.method("_handle_response", {"self", "response"},
               [](py::handle self, py::handle response) -> py::object {
                   if (!pyglue::equals(py::object(response.attr("status_code")), py::int_(200))) {
                       py::object text =
                           response.attr("content").attr("decode")(self.attr("encoding"));
                       raise_api_exception(text);
                   }
                   py::object packed = ns.get("zlib").attr("decompress")(
                       load_answer("_BodyUnpickler", response.attr("content")));
                   try {
                       // integer map keys are valid MessagePack; strict_map_key would refuse them
                       return ns.get("msgpack").attr("unpackb")(packed, py::arg("raw") = false,
                                                                py::arg("strict_map_key") = false);
                   } catch (py::error_already_set& e) {
                       if (!pyglue::is_exception(e)) throw;
                       pyglue::HandlingScope handling(e);
                       return load_answer("_ValueUnpickler", packed);
                   }
               });

    // Unknown attributes name remote methods. Dunder names are protocol probes (copy, pickle,
    // numpy, hasattr): they get the AttributeError those callers expect instead of an
    // APIException. Only a real str can be a dunder name (and %U below requires one); anything
    // else passed to a direct __getattr__ call goes through the table like any other unknown name.
    cls.method("__getattr__", {"self", "func"}, [](py::handle self, py::handle func) {
        if (PyUnicode_Check(func.ptr()) && pyglue::truth(func.attr("startswith")("__")) &&
            pyglue::truth(func.attr("endswith")("__"))) {
            PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'",
                         Py_TYPE(self.ptr())->tp_name, func.ptr());
            throw py::error_already_set();
        }
        py::object entry;
        try {
            entry = self.attr("request_methods")[func];
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_KeyError)) throw;
            pyglue::HandlingScope handling(e);
            raise_api_exception(
                pyglue::steal(PyUnicode_Format(py::str("该方法(%s)暂不支持.").ptr(), func.ptr())));
        }
        py::dict bound_keywords(entry);
        return ns.get("partial")(self.attr("_request"), **bound_keywords);
    });
}

}  // namespace kprpc
