// Docstrings of varden.mod.tradeapi.sdk.protogen.gatemeta.
#pragma once

namespace gatemeta_docs {

inline constexpr const char* kModule =
    R"doc(Protocol buffer header messages of the trading gateway (meta.proto).

RequestMeta, ResponseMeta and PushMeta are protobuf message classes of the
package "gateway"; encode with SerializeToString() and decode with
FromString(data).)doc";

inline constexpr const char* kRequestMeta =
    R"doc(Header of a request to the trading gateway (gateway.RequestMeta).

Fields, by number: 1 service_name (str), 2 method_name (str), 3 tracing_key
(str), 4 method_type (int), 5 context_id (str), 6 channel_key (str),
7 service_type (int). Unset fields are "" or 0.

Examples
--------
>>> RequestMeta(service_name="trade", method_name="query").SerializeToString())doc";

inline constexpr const char* kResponseMeta =
    R"doc(Header of a response from the trading gateway (gateway.ResponseMeta).

Fields, by number: 1 error_code (int), 2 error_text (bytes), 3 is_last
(bool), 4 method_type (int), 5 context_id (str), 6 tracing_key (str),
7 service_name (str), 8 method_name (str). Unset fields are "", b"", 0 or
False.)doc";

inline constexpr const char* kPushMeta =
    R"doc(Header of a message pushed by the trading gateway (gateway.PushMeta).

Fields, by number: 1 method_type (int), 2 method_name (str), 3 service_name
(str). Unset fields are "" or 0.)doc";

}  // namespace gatemeta_docs
