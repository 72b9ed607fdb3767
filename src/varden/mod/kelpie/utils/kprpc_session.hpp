// The client's session: construction, login and logout, the credential and notice files, and the
// access token with its cache.
//
// The access token cache is cachetools' ttl_cache applied to the C++ _get_token. Its clock is the
// module attribute `_token_timer` (time.monotonic at import), read at every cache access: a test
// moves time by patching `kprpc._token_timer`, without touching the process-wide clock.
#pragma once

#include <pybind11/pybind11.h>

#include "kprpc_common.hpp"

namespace kprpc {

inline constexpr int kTokenTtlSeconds = 7200;

inline py::object path_join(py::handle folder, const char* name) {
    return ns.get("os").attr("path").attr("join")(folder, name);
}

inline bool path_exists(py::handle path) {
    return pyglue::truth(ns.get("os").attr("path").attr("exists")(path));
}

// `with open(path, "w") as f: f.write(text)`
inline void write_text_file(py::handle path, py::handle text) {
    py::object file = ns.resolve("open")(path, "w");
    try {
        file.attr("write")(text);
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

// The credential file holds a login that lasts across processes: write it owner-only and
// atomically (a temporary file in the same folder renamed over the old one), so that no reader
// ever sees a truncated or world-readable token.
inline void write_credential_file(py::handle path, py::handle token) {
    py::object os = ns.get("os");
    py::object temporary = py::str("{}.{}.tmp").format(path, os.attr("urandom")(8).attr("hex")());
    py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
    py::object fd = os.attr("open")(temporary, flags, 0600);
    try {
        py::object file;
        try {
            os.attr("fchmod")(fd, 0600);  // the umask must not widen or narrow it
            file = ns.resolve("open")(fd, "w");
        } catch (py::error_already_set&) {
            os.attr("close")(fd);
            throw;
        }
        try {
            file.attr("write")(token);
            file.attr("flush")();
            os.attr("fsync")(fd);
        } catch (py::error_already_set&) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        os.attr("replace")(temporary, path);
    } catch (py::error_already_set&) {
        try {
            os.attr("unlink")(temporary);
        } catch (py::error_already_set& cleanup) {
            if (!cleanup.matches(PyExc_OSError)) throw;
        }
        throw;
    }
}

// Writes data["notice"] to the notice file when the answer carries one that is not null.
inline void keep_notice(py::handle self, py::handle data) {
    py::object notice = pyglue::get(data, "notice");
    if (!notice.is_none()) write_text_file(self.attr("_notice_file"), notice);
}

// POSTs {"passport": ..., "action": ...} to the login endpoint and parses the JSON answer. The
// time-out matters beyond this call: a refresh runs under the token cache's lock, so a silent
// service would otherwise hold every thread that needs a token.
inline py::object post_login_endpoint(py::handle self, py::handle passport, const char* action) {
    py::dict body;
    body["passport"] = passport;
    body["action"] = action;
    py::object url = self.attr("_compose_url")("login");
    return ns.get("requests")
        .attr("post")(url, py::arg("json") = body, py::arg("timeout") = ns.get("LOGIN_TIMEOUT"))
        .attr("json")();
}

inline bool is_success(py::handle answer) {
    py::object code = answer["meta"]["code"];
    return pyglue::equals(code, py::int_(200));
}

// A new credential makes the cached access token stale: drop this client's cache entry so the
// next request refreshes with the new credential. With `only`, the entry is dropped only while it
// still holds that token. True when the cache was consulted (it is cachetools' cache).
inline bool drop_cached_token(py::handle self, py::handle only = py::handle()) {
    py::object cached = py::type::handle_of(self).attr("_get_token");
    py::object cache = py::getattr(cached, "cache", py::none());
    if (cache.is_none()) return false;  // replaced by something that does not cache
    py::object lock = cached.attr("cache_lock");
    py::object key = cached.attr("cache_key")(self);
    bool dropped = true;
    lock.attr("__enter__")();
    try {
        if (only && !py::object(cache.attr("get")(key)).is(only)) {
            dropped = false;
        } else {
            cache.attr("pop")(key, py::none());
        }
    } catch (py::error_already_set&) {
        lock.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    lock.attr("__exit__")(py::none(), py::none(), py::none());
    return dropped;
}

// The access token of a request. A refresh makes its token the credential, so a cached token that
// is not the credential was obtained with one a login has replaced since: a login that lands
// between a refresh's last look at the credential and the cache storing its answer leaves it
// there. It is dropped and the refresh done again with the current credential.
inline py::object request_token(py::handle self) {
    py::object token = self.attr("_get_token")();
    if (token.is(self.attr("_refresh_token")) || !drop_cached_token(self, token)) return token;
    return self.attr("_get_token")();
}

inline void define_session(pyglue::ClassBuilder& cls, py::module_& m) {
    cls.method("__init__", {"self", {"encoding", py::str("utf-8")}, {"base_url", py::none()}},
               [](py::handle self, py::handle encoding, py::handle base_url) {
                   py::setattr(self, "encoding", encoding);
                   py::setattr(self, "base_url",
                               pyglue::truth(base_url)
                                   ? py::reinterpret_borrow<py::object>(base_url)
                                   : py::object(self.attr("base_url")));
                   py::setattr(self, "_token_file",
                               path_join(ns.get("setting").attr("ROOT_PATH"), "auth"));
                   py::object token_file = self.attr("_token_file");
                   if (path_exists(token_file)) {
                       py::object file = ns.resolve("open")(token_file);
                       py::object content;
                       try {
                           content = file.attr("read")();
                       } catch (py::error_already_set&) {
                           file.attr("close")();
                           throw;
                       }
                       file.attr("close")();
                       py::setattr(self, "_refresh_token", content);
                   } else {
                       py::setattr(self, "_refresh_token", py::none());
                   }
                   py::setattr(self, "_notice_file",
                               path_join(ns.get("setting").attr("ROOT_PATH"), "notice"));
               });

    cls.method("login", {"self", "username", "password"},
               [](py::handle self, py::handle username, py::handle password) {
                   py::object pickled = ns.get("pickle").attr("dumps")(
                       py::make_tuple(username, password), kWirePickleProtocol);
                   py::object passport =
                       ns.get("base64").attr("b64encode")(pickled).attr("decode")();
                   py::object answer = post_login_endpoint(self, passport, "login");
                   if (!is_success(answer)) {
                       py::object data = answer["data"];
                       raise_api_exception(
                           pyglue::truth(data) ? data : py::object(answer["meta"]["message"]));
                   }
                   py::object data = answer["data"];
                   py::setattr(self, "_refresh_token", data["token"]);
                   drop_cached_token(self);
                   write_credential_file(self.attr("_token_file"), self.attr("_refresh_token"));
                   keep_notice(self, data);
               });

    cls.method("logout", {"self"}, [](py::handle self) {
        py::object token_file = self.attr("_token_file");
        if (path_exists(token_file)) ns.get("os").attr("remove")(token_file);
    });

    py::object token_timer =
        pyglue::module_function(m, "_token_now", {}, [] { return ns.get("_token_timer")(); });
    py::object ttl_cache = ns.get("ttl_cache")(
        py::arg("maxsize") = 1, py::arg("ttl") = kTokenTtlSeconds, py::arg("timer") = token_timer);
    // A login may replace the credential while a refresh is on the wire. The answer then belongs
    // to the old credential (another user, perhaps): it is neither stored nor returned to be
    // cached, and the refresh is sent again with the current credential.
    cls.attr("_get_token", ttl_cache(cls.function("_get_token", {"self"}, [](py::handle self) {
                 for (;;) {
                     py::object credential = self.attr("_refresh_token");
                     if (credential.is_none())
                         raise_api_exception(py::str("账号未登录, 请先登录!"));
                     py::object answer = post_login_endpoint(self, credential, "refresh");
                     if (!py::object(self.attr("_refresh_token")).is(credential)) continue;
                     if (!is_success(answer))
                         raise_api_exception(py::str("账号认证失败, 请重新登录!"));
                     py::object data = answer["data"];
                     py::object token = data["token"];
                     py::setattr(self, "_refresh_token", token);
                     keep_notice(
                         self, data);  // file I/O lets a login run meanwhile: check again after it
                     if (py::object(self.attr("_refresh_token")).is(token)) return token;
                 }
             })));
}

}  // namespace kprpc
