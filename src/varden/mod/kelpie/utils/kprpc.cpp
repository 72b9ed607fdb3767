// varden.mod.kelpie.utils.kprpc: the client of the platform's data service.
//
// APIClient is a real Python class assembled with pyglue: its session (kprpc_session.hpp) and its
// remote methods (kprpc_transport.hpp), whose answers load through restricted unpicklers
// (kprpc_answers.hpp).
#include <pybind11/pybind11.h>

#include "kprpc_answers.hpp"
#include "kprpc_common.hpp"
#include "kprpc_docs.hpp"
#include "kprpc_session.hpp"
#include "kprpc_transport.hpp"
#include "pyglue/pyglue.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kDefaultBaseUrl = "https://platform.varden.cn/sdk/";
constexpr int kLoginTimeoutSeconds = 30;

void import_collaborators() {
    using kprpc::ns;
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
}

void define_api_client(py::module_& m) {
    pyglue::ClassBuilder cls("APIClient", kprpc::kModuleName);
    py::object environ = kprpc::ns.get("os").attr("environ");
    cls.attr("base_url", environ.attr("get")("VARDEN_URL", kDefaultBaseUrl));
    cls.attr("request_methods", kprpc::request_methods_table());
    kprpc::define_session(cls, m);
    kprpc::define_transport(cls);
    m.attr("APIClient") = cls.build();
}

}  // namespace

PYBIND11_MODULE(kprpc, m) {
    kprpc::ns.bind(m);
    m.doc() = kprpc_docs::kModule;
    import_collaborators();
    kprpc::define_answers(m);
    define_api_client(m);
    pyglue::document(m, kprpc_docs::kModuleMembers);
    pyglue::document(m.attr("APIClient"), kprpc_docs::kAPIClientMembers);
    m.attr("kp_api") = m.attr("APIClient")();
}
