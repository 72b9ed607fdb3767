// Writing research files so that a failed write (a full disk, a file-size limit, an I/O error)
// never costs the user the file's old content.
//
// An overwrite goes to a temporary file in the target's folder, renamed over the target once
// complete; the target keeps its permission bits (and owner, where the process may set it), and
// a symbolic link stays a link, the file it points to being replaced. An append writes in
// place and, when it fails, cuts the file back to the length it had. Both run with the builtin
// `open`; a module `open` patched by a caller is called exactly as before, with the target
// path.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include "studybench_common.hpp"

namespace studybench {

inline bool builtin_open(py::handle open) {
    return open.is(py::module_::import("io").attr("open"));
}

// with open(path, "wb") as f: return f.write(data)
inline py::object write_in_place(py::handle path, py::handle data) {
    return with_open(path, "wb", [&](py::object& file) { return file.attr("write")(data); });
}

// Runs `step`, dropping any error it raises: cleaning up after a failure that is reported.
template <typename Step>
void quietly(Step step) {
    try {
        step();
    } catch (py::error_already_set&) {
    }
}

// path's file replaced by one holding `data`; returns the count the write reported.
inline py::object replace_file(py::handle path, py::handle data) {
    if (!builtin_open(ns.resolve("open"))) return write_in_place(path, data);
    py::object os = ns.get("os");
    const bool existed = pyglue::truth(os.attr("path").attr("exists")(path));
    // Opened as `open(path, "wb")` would open it, without emptying it: the same errors (no such
    // folder, a folder, no permission, ...), and the mode a new file gets under the umask.
    py::object fd = os.attr("open")(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    py::object st;
    try {
        st = os.attr("fstat")(fd);
    } catch (py::error_already_set& e) {
        pyglue::HandlingScope handling(e);
        os.attr("close")(fd);
        throw;
    }
    os.attr("close")(fd);
    const auto mode = st.attr("st_mode").cast<long>();
    if (!S_ISREG(mode)) return write_in_place(path, data);  // a device or a pipe: no rename

    py::object target = os.attr("path").attr("realpath")(path);
    py::tuple parts = os.attr("path").attr("split")(target);
    py::object prefix = py::str(".") + parts[1][py::slice(0, 64, 1)] + py::str(".");
    py::object made;
    try {
        made = py::module_::import("tempfile")
                   .attr("mkstemp")(py::arg("suffix") = ".tmp", py::arg("prefix") = prefix,
                                    py::arg("dir") = parts[0]);
    } catch (py::error_already_set& e) {
        // A folder that takes no new files while the file itself is writable: in place.
        if (!e.matches(PyExc_PermissionError)) throw;
        return write_in_place(path, data);
    }
    py::object temp_fd = made[py::int_(0)], temp = made[py::int_(1)];
    try {
        py::object count = with_open(temp_fd, "wb", [&](py::object& file) {
            py::object n = file.attr("write")(data);
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
            return n;
        });
        py::object uid = st.attr("st_uid"), gid = st.attr("st_gid");
        py::object own = os.attr("stat")(temp);
        if (!pyglue::equals(uid, own.attr("st_uid")) || !pyglue::equals(gid, own.attr("st_gid"))) {
            try {
                os.attr("chown")(temp, uid, gid);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_PermissionError)) throw;
            }
        }
        os.attr("chmod")(temp, mode & 07777);  // after chown, which clears set-id bits
        os.attr("replace")(temp, target);
        return count;
    } catch (py::error_already_set& e) {
        pyglue::HandlingScope handling(e);
        quietly([&] { os.attr("unlink")(temp); });
        if (!existed) quietly([&] { os.attr("unlink")(target); });
        throw;
    }
}

// with open(path, "ab") as f: return f.write(data), the file cut back to its old length when
// the write fails.
inline py::object append_file(py::handle path, py::handle data) {
    py::object open = ns.resolve("open");
    if (!builtin_open(open)) {
        return with_open(path, "ab", [&](py::object& file) { return file.attr("write")(data); });
    }
    py::object file = open(path, "ab");
    py::object start;  // None for a pipe or a terminal, which cannot be cut back
    py::object count;
    try {
        if (pyglue::truth(file.attr("seekable")())) start = file.attr("tell")();
        count = file.attr("write")(data);
        file.attr("close")();
    } catch (py::error_already_set& e) {
        pyglue::HandlingScope handling(e);
        quietly([&] { file.attr("close")(); });  // what is still buffered fails again
        if (start) ns.get("os").attr("truncate")(path, start);
        throw;
    }
    return count;
}

}  // namespace studybench
