"""Header messages of the trading gateway ("meta.proto", package "gateway")."""

from google.protobuf.descriptor import Descriptor, FileDescriptor
from google.protobuf.message import Message
from google.protobuf.symbol_database import SymbolDatabase

DESCRIPTOR: FileDescriptor
_REQUESTMETA: Descriptor
_RESPONSEMETA: Descriptor
_PUSHMETA: Descriptor
_sym_db: SymbolDatabase

def _b(x: str) -> bytes: ...

class RequestMeta(Message):
    service_name: str
    method_name: str
    tracing_key: str
    method_type: int
    context_id: str
    channel_key: str
    service_type: int
    def __init__(
        self,
        *,
        service_name: str | None = ...,
        method_name: str | None = ...,
        tracing_key: str | None = ...,
        method_type: int | None = ...,
        context_id: str | None = ...,
        channel_key: str | None = ...,
        service_type: int | None = ...,
    ) -> None: ...

class ResponseMeta(Message):
    error_code: int
    error_text: bytes
    is_last: bool
    method_type: int
    context_id: str
    tracing_key: str
    service_name: str
    method_name: str
    def __init__(
        self,
        *,
        error_code: int | None = ...,
        error_text: bytes | None = ...,
        is_last: bool | None = ...,
        method_type: int | None = ...,
        context_id: str | None = ...,
        tracing_key: str | None = ...,
        service_name: str | None = ...,
        method_name: str | None = ...,
    ) -> None: ...

class PushMeta(Message):
    method_type: int
    method_name: str
    service_name: str
    def __init__(
        self,
        *,
        method_type: int | None = ...,
        method_name: str | None = ...,
        service_name: str | None = ...,
    ) -> None: ...
