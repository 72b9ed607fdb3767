// Research files, the platform's file store, push messages, the research log and API usage.
#pragma once

#include "studybench_common.hpp"
#include "studybench_writes.hpp"

namespace studybench {

// The remote path: the target folder joined with the local file's name, "/"-separated.
inline py::object remote_path(py::handle folder, py::handle local_file) {
    py::object os = ns.get("os");
    py::object path = os.attr("path");
    py::object joined = path.attr("join")(folder, path.attr("basename")(local_file));
    return joined.attr("replace")(os.attr("sep"), "/");
}

inline void define_file_functions() {
    py::object none = py::none(), str_t = builtin_type("str"), list_t = builtin_type("list");
    pyglue::def(ns.module(), "read_file", {"path"}, checked({str_t}), [](py::handle path) {
        return with_open(path, "rb", [](py::object& file) { return file.attr("read")(); });
    });
    pyglue::def(ns.module(), "write_file", {"path", "content", {"append", py::bool_(false)}},
                checked({str_t}), [](py::handle path, py::object content, py::handle append) {
                    if (pyglue::isinstance(content, ns.get("six").attr("text_type"))) {
                        content = content.attr("encode")("utf-8");
                    }
                    require_bytes_like(content);
                    return pyglue::truth(append) ? append_file(path, content)
                                                 : replace_file(path, content);
                });
    pyglue::def(ns.module(), "remove_file", {"path", {"trash", py::bool_(true)}}, checked({str_t}),
                [](py::handle path, py::handle trash) {
                    return ns.get(pyglue::truth(trash) ? "send2trash" : "send2empty")(path);
                });
    pyglue::def(ns.module(), "upload_file", {"file", {"path", py::str("")}},
                checked({str_t, str_t}), [](py::handle file, py::handle path) {
                    py::object remote = remote_path(path, file);
                    return with_open(file, "rb", [&](py::object& opened) {
                        return ns.get("kp_api").attr("upload_file")(
                            py::arg("file") = remote, py::arg("data") = opened.attr("read")());
                    });
                });
    // The local file is written only once the download has succeeded.
    pyglue::def(ns.module(), "download_file", {"file", {"path", py::str("")}},
                checked({str_t, str_t}), [](py::handle file, py::handle path) {
                    py::object os_path = ns.get("os").attr("path");
                    py::object local = os_path.attr("join")(path, os_path.attr("basename")(file));
                    py::object data =
                        ns.get("kp_api").attr("download_file")(py::arg("file") = file);
                    require_bytes_like(data);
                    return replace_file(local, data);
                });
    py::object text_or_list = py::make_tuple(list_t, str_t);
    pyglue::def(
        ns.module(), "notify_push",
        {"content",
         {"channel", py::str("wxpusher")},
         {"subject", py::str("Varden消息提醒")},
         {"email_list", none},
         {"uids", none},
         {"topic_ids", none},
         {"group_id", none}},
        checked({str_t, samples("email", "vanish"), str_t, text_or_list, text_or_list}),
        [](py::handle content, py::handle channel, py::handle subject, py::handle email_list,
           py::handle uids, py::handle topic_ids, py::handle group_id) {
            return ns.get("kp_api").attr("all_api")(
                py::arg("api_name") = "notify_push", py::arg("content") = content,
                py::arg("channel") = channel, py::arg("subject") = subject,
                py::arg("email_list") = email_list, py::arg("uids") = uids,
                py::arg("topic_ids") = topic_ids, py::arg("group_id") = group_id);
        });
    pyglue::def(ns.module(), "set_log_level",
                {"level", {"is_limit", py::bool_(true)}, {"filename", none}},
                checked({str_t, samples(false), str_t}),
                [](py::handle level, py::handle is_limit, py::handle filename) {
                    py::object log = ns.get("log");
                    if (!pyglue::contains(py::make_tuple("info", "warn", "error"), level)) {
                        log.attr("warn")(
                            "set_log_level(level)使用方法错误，请查看API文档 level must is "
                            "('info','warn','error')");
                    } else {
                        log.attr("set_limited")(level, is_limit);
                    }
                    if (!filename.is_none() && log.attr("set_tofile")(filename).ptr() == Py_False) {
                        log.attr("warn")("set_log_level(filename)只在研究平台生效");
                    }
                });
    pyglue::def(ns.module(), "get_api_usage", {}, checked(), [] {
        return ns.get("pd").attr("DataFrame")(ns.get("kp_api").attr("api_usage")());
    });
}

}  // namespace studybench
