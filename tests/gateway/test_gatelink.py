import contextlib

import pytest

from varden.mod.tradeapi.sdk import client, gatelink
from varden.sandbox.gateway import running_gateway

HANDSHAKE = ["protocol_comfirm", "protocol_auth", "client_auth", "client_login"]


class FakeSession:
    """Records construction and hand-shake calls; ``fail_at`` names a step that raises."""

    calls = []
    fail_at = None
    failure = ConnectionRefusedError("gateway down")

    def __init__(self, *args, **kwargs):
        self.calls.append(("__init__", args, kwargs))

    def __getattr__(self, step):
        def call(*args):
            self.calls.append((step, args))
            if step == self.fail_at:
                raise self.failure

        return call


@pytest.fixture
def fake_session(monkeypatch):
    monkeypatch.setattr(FakeSession, "calls", [])
    monkeypatch.setattr(gatelink, "GatewaySession", FakeSession)
    user_ids = iter(["user-1", "user-2"])
    monkeypatch.setattr(gatelink, "get_user_id", lambda: next(user_ids))
    return FakeSession


@pytest.mark.parametrize("kwargs", [{}, {"timeout": 5}, {"timeout": 1.5, "auth_code": "k"}])
def test_make_session_connects_locally_and_shakes_hands_in_order(fake_session, kwargs):
    gw_client = gatelink.GatewayClient("ACC-1")
    first = gw_client._make_session(**kwargs)
    second = gw_client._make_session()
    assert isinstance(first, FakeSession) and first is not second
    assert fake_session.calls == [
        ("__init__", ("127.0.0.1", 9999), kwargs),
        ("protocol_comfirm", ()),
        ("protocol_auth", ()),
        ("client_auth", ()),
        ("client_login", ("user-1", "varden")),
        ("__init__", ("127.0.0.1", 9999), {}),
        *[(step, ()) for step in HANDSHAKE[:3]],
        ("client_login", ("user-2", "varden")),
    ]


def test_positional_argument_is_refused_before_connecting(fake_session):
    with pytest.raises(TypeError) as refused:
        gatelink.GatewayClient("ACC-1")._make_session(5)
    assert str(refused.value) == (
        "GatewayClient._make_session() takes 1 positional argument but 2 were given"
    )
    assert fake_session.calls == []


@pytest.mark.parametrize("fail_at", HANDSHAKE)
def test_failing_step_propagates_and_stops_the_hand_shake(fake_session, monkeypatch, fail_at):
    monkeypatch.setattr(FakeSession, "fail_at", fail_at)
    with pytest.raises(ConnectionRefusedError) as failed:
        gatelink.GatewayClient("ACC-1")._make_session()
    assert failed.value is FakeSession.failure
    assert [call[0] for call in fake_session.calls[1:]] == HANDSHAKE[: HANDSHAKE.index(fail_at) + 1]


def test_account_id_is_set_before_the_base_initialiser(monkeypatch):
    seen = []

    def failing_init(self, *args):
        seen.append((self.account_id, args))
        raise RuntimeError("base refused")

    monkeypatch.setattr(client.GatewayClient, "__init__", failing_init)
    account = object()
    with pytest.raises(RuntimeError, match="base refused"):
        gatelink.GatewayClient(account_id=account)
    assert seen == [(account, (None, None, None, None))]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "GatewayClient.__init__() missing 1 required positional argument: 'account_id'"),
        (("a", "b"), {}, "GatewayClient.__init__() takes 2 positional arguments but 3 were given"),
        (
            ("a",),
            {"host": "h"},
            "GatewayClient.__init__() got an unexpected keyword argument 'host'",
        ),
    ],
)
def test_constructor_takes_exactly_the_account(args, kwargs, message):
    with pytest.raises(TypeError) as refused:
        gatelink.GatewayClient(*args, **kwargs)
    assert str(refused.value) == message


def test_client_is_a_generic_gateway_client():
    gw_client = gatelink.GatewayClient("ACC-9")
    assert isinstance(gw_client, client.GatewayClient)
    assert gatelink._GatewayClient is client.GatewayClient
    assert gatelink.GatewayClient.__module__ == "varden.mod.tradeapi.sdk.gatelink"
    assert vars(gw_client) == {
        "account_id": "ACC-9",
        "host": None,
        "port": None,
        "user_id": None,
        "product": None,
        "_session": None,
    }


@contextlib.contextmanager
def gateway_on_9999(monkeypatch):
    """The sandbox on 9999, or, when 9999 is taken, on a free port with sessions redirected."""
    with contextlib.ExitStack() as stack:
        try:
            gw = stack.enter_context(running_gateway(9999))
        except OSError as exc:
            if "9999 is already in use" not in str(exc):
                raise
            gw = stack.enter_context(running_gateway(0))

            class RedirectedSession(client.GatewaySession):
                def __init__(self, host, port, **kwargs):
                    assert (host, port) == ("127.0.0.1", 9999)
                    super().__init__(host, gw.port, **kwargs)

            monkeypatch.setattr(gatelink, "GatewaySession", RedirectedSession)
        yield gw


def test_end_to_end_session_with_the_sandbox_gateway(monkeypatch):
    monkeypatch.setenv("VARDEN_USER_ID", "e2e-user")
    with gateway_on_9999(monkeypatch) as gw:
        with gatelink.GatewayClient("ACC-1") as gw_client:
            session = gw_client.session
            assert session.request("gateway.Session", "ping", b"hello") == b"hello"
        assert session.closed
        with gatelink.GatewayClient("ACC-1")._make_session(timeout=2.5) as direct:
            assert direct.timeout == 2.5
    assert [step.method_name for step in gw.steps] == HANDSHAKE + ["ping"] + HANDSHAKE
    assert {step.error_code for step in gw.steps} == {0}
    assert gw.steps[3].fields == {"user_id": "e2e-user", "product": "varden"}


def test_login_step_is_looked_up_before_the_user_id(monkeypatch):
    asked = []

    class SessionWithoutLogin:
        def __init__(self, host, port):
            pass

        def protocol_comfirm(self):
            pass

        protocol_auth = client_auth = protocol_comfirm

    monkeypatch.setattr(gatelink, "GatewaySession", SessionWithoutLogin)
    monkeypatch.setattr(gatelink, "get_user_id", lambda: asked.append("user") or "user-1")
    with pytest.raises(AttributeError, match="client_login"):
        gatelink.GatewayClient("ACC-1")._make_session()
    assert asked == []
