// Fundamentals queries: built with the query builder, evaluated by the platform's data service.
#pragma once

#include "studybench_common.hpp"

namespace studybench {

inline void define_query_functions() {
    pyglue::def(ns.module(), "query", {},
                [](pyglue::VarArgs fields) { return ns.get("StrQuery")(*fields); });
    // The service runs one line of code and hands back the variable it assigns.
    pyglue::def(ns.module(), "run_query", {"query_object"}, checked(), [](py::handle query_object) {
        py::object code = py::str("df = run_query({})").format(query_object);
        return ns.get("kp_api").attr("run_api")(py::arg("code") = code, py::arg("name") = "df");
    });
    pyglue::def(
        ns.module(), "get_fundamentals",
        {"query_object",
         {"date", py::none()},
         {"statDate", py::none()},
         {"latest", py::bool_(false)}},
        checked(),
        [](py::handle query_object, py::handle date, py::handle stat_date, py::handle latest) {
            return ns.get("kp_api").attr("get_fundamentals")(
                py::arg("query_object") = py::str(query_object), py::arg("date") = date,
                py::arg("statDate") = stat_date, py::arg("latest") = latest);
        });
}

}  // namespace studybench
