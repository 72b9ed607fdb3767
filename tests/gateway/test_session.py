import os
import signal
import socket
import struct
import subprocess
import sys

import pytest

from varden.mod.kelpie.utils import paths
from varden.mod.tradeapi.sdk import client
from varden.mod.tradeapi.sdk.client import (
    GatewayClient,
    GatewayClosed,
    GatewayProtocolError,
    GatewayRefused,
    GatewaySession,
    GatewayTimeout,
)
from varden.mod.tradeapi.sdk.protogen.gatemeta import PushMeta, RequestMeta, ResponseMeta
from varden.sandbox import gateway as sandbox
from varden.sandbox.gateway import GatewayStep, SandboxGateway, running_gateway

HANDSHAKE = ["protocol_comfirm", "protocol_auth", "client_auth", "client_login"]


def run_steps(session, steps, user_id="u1", product="varden"):
    for step in steps:
        if step == "client_login":
            session.client_login(user_id, product)
        else:
            getattr(session, step)()


def test_client_opens_an_authenticated_session(gateway):
    with GatewayClient(None, gateway.port, "trader-7", None) as gw_client:
        session = gw_client.session
        assert gw_client.session is session
        assert [step.method_name for step in gateway.steps] == HANDSHAKE
        assert all(step.error_code == 0 for step in gateway.steps)
        assert gateway.steps[0].fields == {"version": client.PROTOCOL_VERSION}
        assert gateway.steps[2].fields == {"app_id": "varden", "auth_code": ""}
        assert gateway.steps[3].fields == {"user_id": "trader-7", "product": "varden"}
        assert len(session.context_id) == 16
        [(push_meta, push_body)] = session.pushes
        assert push_meta.method_name == "session_ready"
        assert push_meta.service_name == "gateway.Session"
        assert push_body == b'{"user_id": "trader-7", "product": "varden"}'
        assert gw_client.request("gateway.Session", "ping", b"\x00abc") == b"\x00abc"
    assert session.closed


def test_client_defaults_user_to_the_kits_user(gateway, monkeypatch):
    monkeypatch.setenv("VARDEN_USER_ID", "from-env")
    with GatewayClient("127.0.0.1", gateway.port, None, "research") as gw_client:
        gw_client.session
    assert gateway.steps[-1].fields == {"user_id": "from-env", "product": "research"}


@pytest.mark.parametrize(
    "done, step, error_text",
    [
        ([], "client_auth", "client_auth out of order: expected protocol_comfirm"),
        ([], "protocol_auth", "protocol_auth out of order: expected protocol_comfirm"),
        (HANDSHAKE[:1], "client_login", "client_login out of order: expected protocol_auth"),
        (HANDSHAKE[:2], "protocol_comfirm", "protocol_comfirm out of order: expected client_auth"),
        (HANDSHAKE, "client_auth", "client_auth: session is already logged in"),
    ],
)
def test_out_of_order_step_is_refused_and_session_goes_on(gateway, done, step, error_text):
    with GatewaySession("127.0.0.1", gateway.port) as session:
        run_steps(session, done)
        with pytest.raises(GatewayRefused) as refused:
            run_steps(session, [step])
        assert refused.value.error_code == sandbox.ERR_OUT_OF_ORDER
        assert refused.value.error_text == error_text
        assert str(refused.value) == f"gateway refused {step}: error 1001: {error_text}"
        run_steps(session, HANDSHAKE[len(done) :])
    assert [s.error_code for s in gateway.steps] == [0] * len(done) + [1001] + [0] * (4 - len(done))


@pytest.mark.parametrize(
    "options, user_id, error_code, error_text",
    [
        ({"auth_code": "wrong"}, "u1", sandbox.ERR_AUTH_FAILED, "client_auth: wrong auth_code"),
        ({"app_id": ""}, "u1", sandbox.ERR_AUTH_FAILED, "client_auth: no app_id"),
        ({"auth_code": "s3cret"}, "", sandbox.ERR_LOGIN_REFUSED, "client_login: no user_id"),
    ],
)
def test_failed_authentication_raises(options, user_id, error_code, error_text):
    with running_gateway(auth_code="s3cret") as gw:
        with GatewaySession("127.0.0.1", gw.port, **options) as session:
            with pytest.raises(GatewayRefused) as refused:
                run_steps(session, HANDSHAKE, user_id=user_id)
    assert (refused.value.error_code, refused.value.error_text) == (error_code, error_text)


def test_protocol_auth_checks_the_challenge_answer(gateway, monkeypatch):
    # The sandbox keeps its own reference to the real answer function.
    monkeypatch.setattr(client, "challenge_answer", lambda challenge: challenge)
    with GatewaySession("127.0.0.1", gateway.port) as session:
        session.protocol_comfirm()
        with pytest.raises(GatewayRefused, match="wrong answer to the challenge"):
            session.protocol_auth()


def test_gateway_refuses_unknown_service_and_method_before_login(gateway):
    with GatewaySession("127.0.0.1", gateway.port) as session:
        with pytest.raises(GatewayRefused, match="unknown service 'gateway.Orders'"):
            session.request("gateway.Orders", "place")
        with pytest.raises(GatewayRefused, match="unknown method 'ping'"):
            session.request("gateway.Session", "ping")


def test_failed_handshake_of_base_client_closes_the_session(gateway, monkeypatch):
    sessions = []

    class RecordingSession(GatewaySession):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            sessions.append(self)

    monkeypatch.setattr(client, "GatewaySession", RecordingSession)
    gw_client = GatewayClient(None, gateway.port, "", None)
    with pytest.raises(GatewayRefused, match="no user_id"):
        gw_client.session
    assert sessions[0].closed


def read_request(conn):
    kind, header, body = client.recv_frame(conn)
    assert kind == client.FRAME_REQUEST
    return RequestMeta.FromString(header), body


def wait_for_close(conn):
    assert conn.recv(1) == b""


def test_multi_frame_answer_is_joined_and_pushes_kept(scripted_peer):
    def play(conn):
        meta, body = read_request(conn)
        reply = ResponseMeta(tracing_key=meta.tracing_key, context_id="ctx-1")
        client.send_frame(conn, client.FRAME_RESPONSE, reply, b'{"challenge": ')
        client.send_frame(conn, client.FRAME_PUSH, PushMeta(method_name="notice"), b"n1")
        reply.is_last = True
        client.send_frame(conn, client.FRAME_RESPONSE, reply, b'"abc"}')
        wait_for_close(conn)

    with GatewaySession("127.0.0.1", scripted_peer(play)) as session:
        session.protocol_comfirm()
        assert session.context_id == "ctx-1"
        assert [(meta.method_name, body) for meta, body in session.pushes] == [("notice", b"n1")]


def answer_with(frame_bytes):
    def play(conn):
        read_request(conn)
        conn.sendall(frame_bytes)
        wait_for_close(conn)

    return play


def frame(kind, header, body=b""):
    header_bytes = header.SerializeToString()
    return struct.pack(">BII", kind, len(header_bytes), len(body)) + header_bytes + body


@pytest.mark.parametrize(
    "frame_bytes, message",
    [
        (struct.pack(">BII", 2, 1 << 20, 0), "frame too large: header 1048576, body 0"),
        (struct.pack(">BII", 9, 0, 0), "unknown frame kind 9"),
        (frame(2, ResponseMeta(tracing_key="other", is_last=True)), "answered another request"),
        (frame(1, RequestMeta()), "sent a request frame"),
        (struct.pack(">BII", 2, 2, 0) + b"\xff\xff", "sent a malformed header"),
    ],
)
def test_malformed_answers_close_the_session(scripted_peer, frame_bytes, message):
    session = GatewaySession("127.0.0.1", scripted_peer(answer_with(frame_bytes)))
    with pytest.raises(GatewayProtocolError, match=message):
        session.protocol_comfirm()
    assert session.closed


def test_closed_connection_and_time_out_are_reported(scripted_peer):
    def hang_up(conn):
        read_request(conn)

    session = GatewaySession("127.0.0.1", scripted_peer(hang_up))
    with pytest.raises(GatewayClosed, match="closed the connection during protocol_comfirm"):
        session.protocol_comfirm()
    with pytest.raises(GatewayClosed, match="is closed; cannot send protocol_auth"):
        session.protocol_auth()

    def stay_silent(conn):
        read_request(conn)
        wait_for_close(conn)

    port = scripted_peer(stay_silent)
    session = GatewaySession("127.0.0.1", port, timeout=0.2)
    expected = f":{port} did not answer protocol_comfirm within 0.2 s"
    with pytest.raises(GatewayTimeout, match=expected):
        session.protocol_comfirm()
    assert session.closed


def test_busy_port_names_what_is_in_the_way():
    with socket.create_server(("127.0.0.1", 0)) as squatter:
        port = squatter.getsockname()[1]
        with pytest.raises(OSError) as busy:
            SandboxGateway(port)
    assert f"127.0.0.1:{port} is already in use by pid {os.getpid()} (" in str(busy.value)


def test_command_line_gateway_serves_until_interrupted():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen(
        [sys.executable, "-m", "varden.sandbox.gateway", "--port", "0", "--auth-code", "k"],
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    with process:
        line = process.stdout.readline()
        assert line.startswith("sandbox trading gateway on 127.0.0.1:")
        port = int(line.split(":")[1].split()[0])
        with GatewaySession("127.0.0.1", port, auth_code="k") as session:
            run_steps(session, HANDSHAKE)
        process.send_signal(signal.SIGINT)
        assert process.wait() == 0


@pytest.mark.parametrize(
    "env_value, expected",
    [("u-42", "u-42"), ("", "login-name"), (None, "login-name")],
)
def test_get_user_id(monkeypatch, env_value, expected):
    monkeypatch.setattr(paths.getpass, "getuser", lambda: "login-name")
    if env_value is None:
        monkeypatch.delenv("VARDEN_USER_ID", raising=False)
    else:
        monkeypatch.setenv("VARDEN_USER_ID", env_value)
    assert paths.get_user_id() == expected


def test_steps_record_refused_bodies(gateway):
    with socket.create_connection(("127.0.0.1", gateway.port)) as conn:
        header = RequestMeta(service_name="gateway.Session", method_name="protocol_comfirm")
        client.send_frame(conn, client.FRAME_REQUEST, header, b"not json")
        kind, reply, _ = client.recv_frame(conn)
    assert kind == client.FRAME_RESPONSE
    assert ResponseMeta.FromString(reply).error_code == sandbox.ERR_BAD_REQUEST
    assert gateway.steps == [GatewayStep("protocol_comfirm", None, sandbox.ERR_BAD_REQUEST)]
