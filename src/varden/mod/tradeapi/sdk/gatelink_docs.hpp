// Docstrings of varden.mod.tradeapi.sdk.gatelink.
#pragma once

#include "pyglue/docstring.hpp"

namespace gatelink_docs {

inline constexpr const char* kModule =
    R"doc(Gateway client of a brokerage account served by the local trading gateway.

GatewayClient opens its sessions to the trading gateway on this machine
(127.0.0.1, port 9999) and logs in as the kit's current user.)doc";

inline constexpr const char* kGatewayClient =
    R"doc(Gateway client of one brokerage account whose gateway runs on this machine.

Every new session connects to 127.0.0.1, port 9999, and passes the
hand-shake in this order: protocol confirmation, protocol authentication,
client authentication, client login as the kit's current user for the
product "varden". A failing step raises its error; nothing is retried.

Parameters
----------
account_id : str
    The broker account number the client serves.)doc";

inline constexpr const char* kMakeSession =
    R"doc(Open and authenticate a new session to the local gateway.

Parameters
----------
**kwargs
    Passed on to the session, such as timeout=5.

Returns
-------
GatewaySession
    The session, logged in.)doc";

inline constexpr pyglue::Doc kGatewayClientMembers[] = {
    {"_make_session", kMakeSession},
};

}  // namespace gatelink_docs
