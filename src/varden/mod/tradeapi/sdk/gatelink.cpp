// Gateway client of one brokerage account whose trading gateway runs on this machine.

#include <pybind11/pybind11.h>

#include "gatelink_docs.hpp"
#include "pyglue/pyglue.hpp"

namespace py = pybind11;

namespace {

pyglue::Namespace ns;

constexpr const char* kGatewayHost = "127.0.0.1";
constexpr int kGatewayPort = 9999;
constexpr const char* kProduct = "varden";

void define_gateway_client(py::module_& m) {
    py::tuple bases = py::make_tuple(ns.get("_GatewayClient"));
    pyglue::ClassBuilder client("GatewayClient", ns.name(), bases);
    client.attr("__doc__", py::str(gatelink_docs::kGatewayClient));

    client.method("__init__", {"self", "account_id"}, [](py::handle self, py::handle account_id) {
        // Set first, so that the base initialiser may already use it.
        self.attr("account_id") = account_id;
        py::object super = py::module_::import("builtins").attr("super");
        super(ns.get("GatewayClient"), self)
            .attr("__init__")(py::none(), py::none(), py::none(), py::none());
    });

    // Opens a session to the local gateway and takes it through the hand-shake, in this order.
    // A failing step propagates; the half-opened session is left to its owner's collector.
    client.method("_make_session", {"self"}, [](py::handle /*self*/, pyglue::VarKwargs kwargs) {
        py::object session = ns.get("GatewaySession")(kGatewayHost, kGatewayPort, **kwargs);
        session.attr("protocol_comfirm")();
        session.attr("protocol_auth")();
        session.attr("client_auth")();
        // The method is fetched before the user id is asked for, as `session.client_login(...)`.
        py::object client_login = session.attr("client_login");
        client_login(ns.get("get_user_id")(), kProduct);
        return session;
    });

    ns.set("GatewayClient", client.build());
    pyglue::document(m.attr("GatewayClient"), gatelink_docs::kGatewayClientMembers);
}

}  // namespace

PYBIND11_MODULE(gatelink, m) {
    m.doc() = gatelink_docs::kModule;
    ns.bind(m);
    ns.import_from("varden.mod.kelpie.utils.paths", {"get_user_id"});
    ns.import_as("varden.mod.tradeapi.sdk.client", "GatewayClient", "_GatewayClient");
    ns.import_from("varden.mod.tradeapi.sdk.client", {"GatewaySession"});
    define_gateway_client(m);
}
