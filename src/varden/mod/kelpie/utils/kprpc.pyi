"""Client of the platform's data service: credentials, token, transport, remote methods."""

from collections.abc import Callable, Mapping
from typing import Any, ClassVar

# Time-out in seconds of the login endpoint's requests (login and token refresh).
LOGIN_TIMEOUT: float
# (module, name) of every global an answer's pickle may name; extend it for a trusted payload.
ALLOWED_PICKLE_GLOBALS: frozenset[tuple[str, str]]

class APIClient:
    # Class level: the VARDEN_URL read at import (or the platform's default URL).
    # Instances shadow it with their own base URL.
    base_url: str
    request_methods: ClassVar[dict[str, dict[str, str | int]]]
    encoding: str
    _token_file: str
    _refresh_token: str | None
    _notice_file: str
    def __init__(self, encoding: str = "utf-8", base_url: str | None = None) -> None: ...
    def login(self, username: str, password: str) -> None: ...
    def logout(self) -> None: ...
    def _get_token(self) -> str: ...
    def _compose_url(self, path: str) -> str: ...
    def _request(
        self,
        _method: str = "POST",
        _path: str = "",
        _headers: Mapping[str, str] = {},
        _timeout: float = 10,
        _timeout_retry: int = 1,
        **kwargs: Any,
    ) -> Any: ...
    # `response` is a response of the requests package.
    def _handle_response(self, response: Any) -> Any: ...
    # Remote methods of `request_methods` (get_fundamentals, run_api, ...): keyword
    # arguments only, returning the decoded reply.
    def __getattr__(self, func: str) -> Callable[..., Any]: ...

kp_api: APIClient
