// Fundamentals queries: built with the query builder, evaluated by the platform's data service.
#pragma once

#include "studybench_common.hpp"

namespace studybench {

inline py::object query(const pyglue::Args& a) {
    return ns.get("StrQuery")(*a.varargs());
}

// The service runs one line of code and hands back the variable it assigns.
inline py::object run_query(const pyglue::Args& a) {
    py::object code = py::str("df = run_query({})").format(a[0]);
    return ns.get("kp_api").attr("run_api")(py::arg("code") = code, py::arg("name") = "df");
}

inline py::object get_fundamentals(const pyglue::Args& a) {
    return ns.get("kp_api").attr("get_fundamentals")(
        py::arg("query_object") = py::str(a[0]), py::arg("date") = a[1], py::arg("statDate") = a[2],
        py::arg("latest") = a[3]);
}

inline void define_query_functions() {
    define("query", {}, query, unchecked(), /*varargs=*/true);
    define("run_query", {"query_object"}, run_query, checked());
    define("get_fundamentals",
           {"query_object",
            {"date", py::none()},
            {"statDate", py::none()},
            {"latest", py::bool_(false)}},
           get_fundamentals, checked());
}

}  // namespace studybench
