// Docstrings of varden.mod.kelpie.utils.kprpc.
#pragma once

#include "pyglue/docstring.hpp"

namespace kprpc_docs {

inline constexpr const char* kModule = R"doc(Client of the platform's data service.

`kp_api` is the process's one client, created at import; every research
function reaches the data service through it. Log in once with
`kp_api.login(username, password)`; the login is kept for later sessions.
The service's base URL comes from the environment variable VARDEN_URL,
read once at import.

Module constants, read at each use (patch them to change them):

LOGIN_TIMEOUT
    Time-out in seconds of the login and token-refresh requests (30).
ALLOWED_PICKLE_GLOBALS
    Frozenset of the (module, name) pairs a pickled answer may name: the
    pandas, numpy, datetime and other classes and helpers of the values the
    service sends. An answer naming any other global is refused unloaded;
    add a pair for a trusted payload of an unusual type.)doc";

inline constexpr const char* kAPIClient = R"doc(Client of the platform's HTTPS data service.

Remote methods are reached as attributes named after the service's methods
(the keys of `request_methods`, such as `get_fundamentals` or `all_api`) and
take keyword arguments only; each call sends one authenticated request and
returns the decoded answer. A read time-out is retried once. A new client
finds the login saved by an earlier `login` and sends nothing when created.

Parameters
----------
encoding : str, default "utf-8"
    Encoding of the error texts the service sends back.
base_url : str, default None
    Base URL of the service, ending with "/". None or "" uses the class
    attribute `base_url` (VARDEN_URL at import, else the platform's address).

Raises
------
APIException
    From remote method calls: "账号未登录, 请先登录!" before any login,
    "账号认证失败, 请重新登录!" when the saved login is no longer accepted,
    the service's error text for an answer with a status other than 200,
    "拒绝解析服务器返回的数据: module.name" for an answer whose pickle names
    a global outside ALLOWED_PICKLE_GLOBALS (nothing of it is run).
    At attribute access: "该方法(%s)暂不支持." for a name that is no remote
    method.

Examples
--------
>>> from varden.mod.kelpie.utils.kprpc import kp_api
>>> kp_api.login("alice", "secret")
>>> kp_api.api_usage())doc";

inline constexpr const char* kLogin =
    R"doc(Log in to the platform and save the login for later sessions.

The credential the platform returns replaces this client's credential and
is saved, readable by the owner only, in the file "auth" of the kit's
settings folder; an access token cached earlier is dropped. A notice sent
along with the answer is written to the file "notice" of that folder.

Parameters
----------
username : str
    The platform user name.
password : str
    The password.

Returns
-------
None

Raises
------
APIException
    When the platform refuses the login, with its explanation; nothing is
    changed then.
OSError
    When the settings folder cannot be written.
requests.exceptions.RequestException
    When the platform cannot be reached, or does not answer within
    LOGIN_TIMEOUT seconds (a Timeout).)doc";

inline constexpr const char* kLogout =
    R"doc(Forget the saved login: delete the file "auth" of the settings folder.

This client keeps its credential and cached token until the process ends;
clients created afterwards start logged out.

Returns
-------
None)doc";

inline constexpr pyglue::Doc kModuleMembers[] = {
    {"APIClient", kAPIClient},
};

inline constexpr pyglue::Doc kAPIClientMembers[] = {
    {"login", kLogin},
    {"logout", kLogout},
};

}  // namespace kprpc_docs
