// varden.mod.kelpie.utils.kprpc: the client of the platform's data service.
//
// APIClient is a real Python class assembled with pyglue. Every collaborator (requests, pickle,
// zlib, msgpack, the settings module, APIException, ...) is a module attribute read at call time,
// so tests and users can patch them on this module as on a Python one.
//
// The access token cache is cachetools' ttl_cache applied to the C++ _get_token. Its clock is the
// module attribute `_token_timer` (time.monotonic at import), read at every cache access: a test
// moves time by patching `kprpc._token_timer`, without touching the process-wide clock.
#include <pybind11/pybind11.h>

#include <string>

#include "kprpc_docs.hpp"
#include "kprpc_globals.hpp"
#include "pyglue/pyglue.hpp"

namespace py = pybind11;
using pyglue::Args;
using pyglue::Param;

namespace {

constexpr const char* kModuleName = "varden.mod.kelpie.utils.kprpc";
constexpr const char* kDefaultBaseUrl = "https://platform.varden.cn/sdk/";
constexpr int kTokenTtlSeconds = 7200;
constexpr int kLoginTimeoutSeconds = 30;

pyglue::Namespace ns;

py::object path_join(py::handle folder, const char* name) {
    return ns.get("os").attr("path").attr("join")(folder, name);
}

bool path_exists(py::handle path) {
    return pyglue::truthy(ns.get("os").attr("path").attr("exists")(path));
}

[[noreturn]] void raise_api_exception(py::handle message) {
    pyglue::raise(ns.get("APIException"), message);
}

// `with open(path, "w") as f: f.write(text)`
void write_text_file(py::handle path, py::handle text) {
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
void write_credential_file(py::handle path, py::handle token) {
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
void keep_notice(py::handle self, py::handle data) {
    py::object notice = pyglue::get(data, "notice");
    if (!notice.is_none()) write_text_file(self.attr("_notice_file"), notice);
}

// POSTs {"passport": ..., "action": ...} to the login endpoint and parses the JSON answer. The
// time-out matters beyond this call: a refresh runs under the token cache's lock, so a silent
// service would otherwise hold every thread that needs a token.
py::object post_login_endpoint(py::handle self, py::handle passport, const char* action) {
    py::dict body;
    body["passport"] = passport;
    body["action"] = action;
    py::object url = self.attr("_compose_url")("login");
    return ns.get("requests")
        .attr("post")(url, py::arg("json") = body, py::arg("timeout") = ns.get("LOGIN_TIMEOUT"))
        .attr("json")();
}

bool is_success(py::handle answer) {
    py::object code = answer["meta"]["code"];
    return code.equal(py::int_(200));
}

// A new credential makes the cached access token stale: drop this client's cache entry so the
// next request refreshes with the new credential. With `only`, the entry is dropped only while it
// still holds that token. True when the cache was consulted (it is cachetools' cache).
bool drop_cached_token(py::handle self, py::handle only = py::handle()) {
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
py::object request_token(py::handle self) {
    py::object token = self.attr("_get_token")();
    if (token.is(self.attr("_refresh_token")) || !drop_cached_token(self, token)) return token;
    return self.attr("_get_token")();
}

// -- answers: pickles that may name only known globals -------------------------------------------
//
// A pickle may name any importable callable and have it called while loading, so an answer is
// loaded by an unpickler whose find_class refuses what the service has no reason to send: the
// body (a pickle of bytes) may name nothing at all, the value inside it only the globals of
// ALLOWED_PICKLE_GLOBALS, read at each use so that users can extend it.

// The global refused last on this thread (UTF-8, lone surrogates kept), for the error that names
// it; unpickling runs on the calling thread, holding the GIL, from the refusal to the caller's
// catch.
thread_local std::string refused_global;

[[noreturn]] void refuse_global(py::handle module, py::handle name) {
    py::str dotted = py::str("{}.{}").format(module, name);
    refused_global = py::bytes(dotted.attr("encode")("utf-8", "surrogatepass"));
    pyglue::raise(ns.get("pickle").attr("UnpicklingError"),
                  py::str("global '{}' is forbidden").format(dotted));
}

bool is_allowed(py::handle module, py::handle name) {
    int found = PySequence_Contains(ns.get("ALLOWED_PICKLE_GLOBALS").ptr(),
                                    py::make_tuple(module, name).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// Stands in for builtins.getattr: reaches a class attribute only when the allow-list names it
// as "Class.attribute", as a protocol 4 pickle names nested globals.
py::object checked_getattr(const Args& a) {
    py::handle owner = a[0], name = a[1];
    if (!PyType_Check(owner.ptr()) || !PyUnicode_Check(name.ptr())) {
        refuse_global(py::str("builtins"), py::str("getattr"));
    }
    py::object module = owner.attr("__module__");
    py::object dotted = py::str("{}.{}").format(owner.attr("__qualname__"), name);
    if (!is_allowed(module, dotted)) refuse_global(module, dotted);
    return owner.attr(name);
}

py::object unpickler_class(const char* name, pyglue::Impl find_class) {
    pyglue::ClassBuilder cls(name, kModuleName, py::make_tuple(ns.get("pickle").attr("Unpickler")));
    cls.method("find_class", {"self", "module", "name"}, std::move(find_class));
    return cls.build();
}

// For the body, which carries bytes: every global is refused.
py::object body_unpickler_class() {
    return unpickler_class("_BodyUnpickler",
                           [](const Args& a) -> py::object { refuse_global(a[1], a[2]); });
}

// For the value: the allow-listed globals, found as pickle finds them.
py::object value_unpickler_class(py::module_& m) {
    py::object find_global = ns.get("pickle").attr("Unpickler").attr("find_class");
    py::object getattr_standin =
        pyglue::module_function(m, "getattr", {"object", "name"}, checked_getattr);
    return unpickler_class("_ValueUnpickler", [find_global, getattr_standin](const Args& a) {
        py::handle module = a[1], name = a[2];
        if (py::str("builtins").equal(module) && py::str("getattr").equal(name)) {
            return getattr_standin;
        }
        if (!is_allowed(module, name)) refuse_global(module, name);
        return find_global(a[0], module, name);
    });
}

py::frozenset allowed_globals() {
    py::set pairs;
    for (const auto& entry : kprpc_globals::kAllowed) {
        for (const char* name : entry.names) pairs.add(py::make_tuple(entry.module, name));
    }
    return py::frozenset(pairs);
}

// `unpickler_class(io.BytesIO(data)).load()`; a refused global raises APIException naming it,
// with the UnpicklingError as its context.
py::object load_answer(const char* unpickler_class, py::handle data) {
    if (!PyObject_CheckBuffer(data.ptr())) {  // BytesIO would take None for empty input
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.100s'",
                     Py_TYPE(data.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object unpickler = ns.get(unpickler_class)(ns.get("io").attr("BytesIO")(data));
    refused_global.clear();
    try {
        return unpickler.attr("load")();
    } catch (py::error_already_set& e) {
        if (refused_global.empty() || !e.matches(ns.get("pickle").attr("UnpicklingError"))) throw;
        py::object refused = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(refused_global.data(),
                                 static_cast<Py_ssize_t>(refused_global.size()), "surrogatepass"));
        refused_global.clear();
        if (!refused) throw py::error_already_set();
        pyglue::HandlingScope handling(e);
        raise_api_exception(py::str("拒绝解析服务器返回的数据: {}").format(refused));
    }
}

// -- APIClient methods --------------------------------------------------------------------------

py::object client_init(const Args& a) {
    py::handle self = a[0];
    py::setattr(self, "encoding", a[1]);
    py::setattr(self, "base_url",
                pyglue::truthy(a[2]) ? py::reinterpret_borrow<py::object>(a[2])
                                     : py::object(self.attr("base_url")));
    py::setattr(self, "_token_file", path_join(ns.get("setting").attr("ROOT_PATH"), "auth"));
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
    py::setattr(self, "_notice_file", path_join(ns.get("setting").attr("ROOT_PATH"), "notice"));
    return py::none();
}

py::object client_login(const Args& a) {
    py::handle self = a[0];
    py::object pickled = ns.get("pickle").attr("dumps")(py::make_tuple(a[1], a[2]));
    py::object passport = ns.get("base64").attr("b64encode")(pickled).attr("decode")();
    py::object answer = post_login_endpoint(self, passport, "login");
    if (!is_success(answer)) {
        py::object data = answer["data"];
        raise_api_exception(pyglue::truthy(data) ? data : py::object(answer["meta"]["message"]));
    }
    py::object data = answer["data"];
    py::setattr(self, "_refresh_token", data["token"]);
    drop_cached_token(self);
    write_credential_file(self.attr("_token_file"), self.attr("_refresh_token"));
    keep_notice(self, data);
    return py::none();
}

py::object client_logout(const Args& a) {
    py::object token_file = a[0].attr("_token_file");
    if (path_exists(token_file)) ns.get("os").attr("remove")(token_file);
    return py::none();
}

// A login may replace the credential while a refresh is on the wire. The answer then belongs to
// the old credential (another user, perhaps): it is neither stored nor returned to be cached, and
// the refresh is sent again with the current credential.
py::object client_get_token(const Args& a) {
    py::handle self = a[0];
    for (;;) {
        py::object credential = self.attr("_refresh_token");
        if (credential.is_none()) raise_api_exception(py::str("账号未登录, 请先登录!"));
        py::object answer = post_login_endpoint(self, credential, "refresh");
        if (!py::object(self.attr("_refresh_token")).is(credential)) continue;
        if (!is_success(answer)) raise_api_exception(py::str("账号认证失败, 请重新登录!"));
        py::object data = answer["data"];
        py::object token = data["token"];
        py::setattr(self, "_refresh_token", token);
        keep_notice(self, data);  // file I/O lets a login run meanwhile: check again after it
        if (py::object(self.attr("_refresh_token")).is(token)) return token;
    }
}

py::object client_compose_url(const Args& a) {
    PyObject* url = PyNumber_Add(py::object(a[0].attr("base_url")).ptr(), a[1].ptr());
    if (!url) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(url);
}

// headers.update(extra), refusing what is not a mapping as `{**extra}` would.
void merge_headers(py::dict& headers, py::handle extra) {
    if (!PyDict_Check(extra.ptr()) && !py::hasattr(extra, "keys")) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                     Py_TYPE(extra.ptr())->tp_name);
        throw py::error_already_set();
    }
    if (PyDict_Merge(headers.ptr(), extra.ptr(), 1) < 0) throw py::error_already_set();
}

py::object send_once(py::handle self, py::handle method, py::handle url, py::handle headers,
                     py::handle timeout, py::handle body) {
    py::object response =
        ns.get("requests")
            .attr("request")(method.attr("upper")(), url, py::arg("headers") = headers,
                             py::arg("timeout") = timeout, py::arg("data") = body);
    return self.attr("_handle_response")(response);
}

py::object client_request(const Args& a) {
    py::handle self = a[0], method = a[1], timeout = a[4];
    py::object url = self.attr("_compose_url")(a[2]);
    py::dict headers;
    headers["serialize-type"] = "0";
    headers["x-consumer-sdk-version"] = ns.get("__version__");
    headers["Authorization"] = py::str("Bearer {}").format(request_token(self));
    merge_headers(headers, a[3]);
    py::object body = ns.get("pickle").attr("dumps")(a.varkw());

    py::object retries_left = py::reinterpret_borrow<py::object>(a[5]);
    py::int_ zero(0), one(1);
    while (retries_left > zero) {
        try {
            return send_once(self, method, url, headers, timeout, body);
        } catch (py::error_already_set& e) {
            if (!e.matches(ns.get("requests").attr("exceptions").attr("ReadTimeout"))) throw;
        }
        PyObject* decreased = PyNumber_InPlaceSubtract(retries_left.ptr(), one.ptr());
        if (!decreased) throw py::error_already_set();
        retries_left = py::reinterpret_steal<py::object>(decreased);
    }
    return send_once(self, method, url, headers, timeout, body);
}

py::object client_handle_response(const Args& a) {
    py::handle self = a[0], response = a[1];
    if (!py::object(response.attr("status_code")).equal(py::int_(200))) {
        py::object text = response.attr("content").attr("decode")(self.attr("encoding"));
        raise_api_exception(text);
    }
    py::object packed =
        ns.get("zlib").attr("decompress")(load_answer("_BodyUnpickler", response.attr("content")));
    try {
        // integer map keys are valid MessagePack; strict_map_key would refuse them
        return ns.get("msgpack").attr("unpackb")(packed, py::arg("raw") = false,
                                                 py::arg("strict_map_key") = false);
    } catch (py::error_already_set& e) {
        if (!pyglue::is_exception(e)) throw;
        pyglue::HandlingScope handling(e);
        return load_answer("_ValueUnpickler", packed);
    }
}

// Unknown attributes name remote methods. Dunder names are protocol probes (copy, pickle, numpy,
// hasattr): they get the AttributeError those callers expect instead of an APIException. Only a
// real str can be a dunder name (and %U below requires one); anything else passed to a direct
// __getattr__ call goes through the table like any other unknown name.
py::object client_getattr(const Args& a) {
    py::handle self = a[0], func = a[1];
    if (PyUnicode_Check(func.ptr()) && pyglue::truthy(func.attr("startswith")("__")) &&
        pyglue::truthy(func.attr("endswith")("__"))) {
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
        PyObject* message = PyUnicode_Format(py::str("该方法(%s)暂不支持.").ptr(), func.ptr());
        if (!message) throw py::error_already_set();
        raise_api_exception(py::reinterpret_steal<py::object>(message));
    }
    py::dict bound_keywords(entry);
    return ns.get("partial")(self.attr("_request"), **bound_keywords);
}

// -- class assembly -------------------------------------------------------------------------------

py::dict remote_method(const char* path, int timeout = 0) {
    py::dict entry;
    entry["_method"] = "POST";
    entry["_path"] = path;
    if (timeout) entry["_timeout"] = timeout;
    return entry;
}

py::dict request_methods_table() {
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

py::object build_api_client(py::module_& m) {
    pyglue::ClassBuilder cls("APIClient", kModuleName);
    py::object environ = ns.get("os").attr("environ");
    cls.attr("base_url", environ.attr("get")("VARDEN_URL", kDefaultBaseUrl));
    cls.attr("request_methods", request_methods_table());

    cls.method("__init__", {"self", {"encoding", py::str("utf-8")}, {"base_url", py::none()}},
               client_init);
    cls.method("login", {"self", "username", "password"}, client_login);
    cls.method("logout", {"self"}, client_logout);

    py::object token_timer = pyglue::module_function(
        m, "_token_now", {}, [](const Args&) { return ns.get("_token_timer")(); });
    py::object ttl_cache = ns.get("ttl_cache")(
        py::arg("maxsize") = 1, py::arg("ttl") = kTokenTtlSeconds, py::arg("timer") = token_timer);
    cls.attr("_get_token",
             ttl_cache(cls.function("_get_token", {"self"}, client_get_token, false, false)));

    cls.method("_compose_url", {"self", "path"}, client_compose_url);
    py::dict shared_headers;  // the one default `_headers`, shared by every call, only read
    cls.method("_request",
               {"self",
                {"_method", py::str("POST")},
                {"_path", py::str("")},
                {"_headers", shared_headers},
                {"_timeout", py::int_(10)},
                {"_timeout_retry", py::int_(1)}},
               client_request, /*varargs=*/false, /*varkw=*/true);
    cls.method("_handle_response", {"self", "response"}, client_handle_response);
    cls.method("__getattr__", {"self", "func"}, client_getattr);
    return cls.build();
}

}  // namespace

PYBIND11_MODULE(kprpc, m) {
    ns.bind(m);
    m.doc() = kprpc_docs::kModule;
    ns.import_module("os", "os");
    ns.import_module("zlib", "zlib");
    ns.import_module("base64", "base64");
    ns.import_module("pickle", "pickle");
    ns.import_module("io", "io");
    ns.import_module("msgpack", "msgpack");
    ns.import_module("requests", "requests");
    ns.import_from("functools", {"partial"});
    ns.import_from("cachetools.func", {"ttl_cache"});
    ns.import_from("varden", {"__version__"});
    ns.import_module("varden.mod.kelpie.setting", "setting");
    ns.import_from("varden.utils.exception", {"APIException"});
    ns.set("_token_timer", py::module_::import("time").attr("monotonic"));
    ns.set("LOGIN_TIMEOUT", py::int_(kLoginTimeoutSeconds));
    ns.set("ALLOWED_PICKLE_GLOBALS", allowed_globals());
    ns.set("_BodyUnpickler", body_unpickler_class());
    ns.set("_ValueUnpickler", value_unpickler_class(m));

    m.attr("APIClient") = build_api_client(m);
    pyglue::document(m, kprpc_docs::kModuleMembers);
    pyglue::document(m.attr("APIClient"), kprpc_docs::kAPIClientMembers);
    m.attr("kp_api") = m.attr("APIClient")();
}
