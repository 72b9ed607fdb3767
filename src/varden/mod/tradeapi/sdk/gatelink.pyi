"""Gateway client of one account, served by the trading gateway on the local machine."""

from typing import Any

from varden.mod.tradeapi.sdk.client import GatewayClient as _GatewayClient
from varden.mod.tradeapi.sdk.client import GatewaySession

class GatewayClient(_GatewayClient):
    account_id: str
    def __init__(self, account_id: str) -> None: ...
    # A session to 127.0.0.1:9999 through its four hand-shake steps; `kwargs` go to
    # GatewaySession.
    def _make_session(self, **kwargs: Any) -> GatewaySession: ...
