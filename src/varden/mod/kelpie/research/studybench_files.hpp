// Research files, the platform's file store, push messages, the research log and API usage.
#pragma once

#include "studybench_common.hpp"
#include "studybench_writes.hpp"

namespace studybench {

inline py::object read_file(const pyglue::Args& a) {
    return with_open(a[0], "rb", [](py::object& file) { return file.attr("read")(); });
}

inline py::object write_file(const pyglue::Args& a) {
    py::object content = borrow(a[1]);
    if (pyglue::isinstance(content, ns.get("six").attr("text_type"))) {
        content = content.attr("encode")("utf-8");
    }
    require_bytes_like(content);
    return pyglue::truthy(a[2]) ? append_file(a[0], content) : replace_file(a[0], content);
}

inline py::object remove_file(const pyglue::Args& a) {
    return ns.get(pyglue::truthy(a[1]) ? "send2trash" : "send2empty")(a[0]);
}

// The remote path: the target folder joined with the local file's name, "/"-separated.
inline py::object remote_path(py::handle folder, py::handle local_file) {
    py::object os = ns.get("os");
    py::object path = os.attr("path");
    py::object joined = path.attr("join")(folder, path.attr("basename")(local_file));
    return joined.attr("replace")(os.attr("sep"), "/");
}

inline py::object upload_file(const pyglue::Args& a) {
    py::object remote = remote_path(a[1], a[0]);
    return with_open(a[0], "rb", [&](py::object& file) {
        return ns.get("kp_api").attr("upload_file")(py::arg("file") = remote,
                                                    py::arg("data") = file.attr("read")());
    });
}

// The local file is written only once the download has succeeded.
inline py::object download_file(const pyglue::Args& a) {
    py::object path = ns.get("os").attr("path");
    py::object local = path.attr("join")(a[1], path.attr("basename")(a[0]));
    py::object data = ns.get("kp_api").attr("download_file")(py::arg("file") = a[0]);
    require_bytes_like(data);
    return replace_file(local, data);
}

inline py::object notify_push(const pyglue::Args& a) {
    return ns.get("kp_api").attr("all_api")(
        py::arg("api_name") = "notify_push", py::arg("content") = a[0], py::arg("channel") = a[1],
        py::arg("subject") = a[2], py::arg("email_list") = a[3], py::arg("uids") = a[4],
        py::arg("topic_ids") = a[5], py::arg("group_id") = a[6]);
}

inline py::object set_log_level(const pyglue::Args& a) {
    py::handle level = a[0], is_limit = a[1], filename = a[2];
    py::object log = ns.get("log");
    if (!contains(py::make_tuple("info", "warn", "error"), level)) {
        log.attr("warn")(
            "set_log_level(level)使用方法错误，请查看API文档 level must is "
            "('info','warn','error')");
    } else {
        log.attr("set_limited")(level, is_limit);
    }
    if (!filename.is_none() && log.attr("set_tofile")(filename).ptr() == Py_False) {
        log.attr("warn")("set_log_level(filename)只在研究平台生效");
    }
    return py::none();
}

inline py::object get_api_usage(const pyglue::Args&) {
    return ns.get("pd").attr("DataFrame")(ns.get("kp_api").attr("api_usage")());
}

inline void define_file_functions() {
    py::object none = py::none(), str_t = builtin_type("str"), list_t = builtin_type("list");
    define("read_file", {"path"}, read_file, checked({str_t}));
    define("write_file", {"path", "content", {"append", py::bool_(false)}}, write_file,
           checked({str_t}));
    define("remove_file", {"path", {"trash", py::bool_(true)}}, remove_file, checked({str_t}));
    define("upload_file", {"file", {"path", py::str("")}}, upload_file, checked({str_t, str_t}));
    define("download_file", {"file", {"path", py::str("")}}, download_file,
           checked({str_t, str_t}));
    py::object text_or_list = py::make_tuple(list_t, str_t);
    define("notify_push",
           {"content",
            {"channel", py::str("wxpusher")},
            {"subject", py::str("Varden消息提醒")},
            {"email_list", none},
            {"uids", none},
            {"topic_ids", none},
            {"group_id", none}},
           notify_push,
           checked({str_t, samples("email", "vanish"), str_t, text_or_list, text_or_list}));
    define("set_log_level", {"level", {"is_limit", py::bool_(true)}, {"filename", none}},
           set_log_level, checked({str_t, samples(false), str_t}));
    define("get_api_usage", {}, get_api_usage, checked());
}

}  // namespace studybench
