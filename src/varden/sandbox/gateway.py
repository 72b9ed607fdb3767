"""Loopback stand-in of the local trading gateway.

Speaks the framing of ``varden.mod.tradeapi.sdk.client`` and answers the session hand-shake in
its fixed order: protocol_comfirm, protocol_auth, client_auth, client_login. A step out of order
or with a bad body is refused with an error code and an ``error_text``; the connection stays
usable. Once logged in, a session gets a ``session_ready`` push and may ``ping``.

    python -m varden.sandbox.gateway [--port 9999] [--auth-code CODE]
"""

import argparse
import collections
import contextlib
import errno
import os
import secrets
import socket
import socketserver
import threading

from google.protobuf.message import DecodeError

from varden.mod.tradeapi.sdk.client import (
    FRAME_PUSH,
    FRAME_REQUEST,
    FRAME_RESPONSE,
    METHOD_TYPE_PUSH,
    PROTOCOL_VERSION,
    SESSION_SERVICE,
    GatewayProtocolError,
    challenge_answer,
    decode_json,
    encode_json,
    recv_frame,
    send_frame,
)
from varden.mod.tradeapi.sdk.protogen.gatemeta import PushMeta, RequestMeta, ResponseMeta

HOST = "127.0.0.1"
DEFAULT_PORT = 9999
HANDSHAKE = ("protocol_comfirm", "protocol_auth", "client_auth", "client_login")

ERR_OUT_OF_ORDER = 1001
ERR_BAD_REQUEST = 1002
ERR_AUTH_FAILED = 1003
ERR_LOGIN_REFUSED = 1004
ERR_UNKNOWN_METHOD = 1005

# One request as the gateway saw it: the method, its decoded JSON body (None when the body was
# not a JSON object) and the error code it was answered with (0: accepted).
GatewayStep = collections.namedtuple("GatewayStep", "method_name fields error_code")


class _Refusal(Exception):
    def __init__(self, error_code, error_text):
        super().__init__(error_text)
        self.error_code = error_code
        self.error_text = error_text


class _Connection:
    """Hand-shake state of one client connection."""

    def __init__(self, auth_code):
        self.auth_code = auth_code
        self.done = 0  # hand-shake steps accepted so far
        self.context_id = ""
        self.challenge = ""
        self.login = None

    def answer(self, meta, fields, body):
        """The response body to one request, and the pushes to send before it."""
        if meta.service_name != SESSION_SERVICE:
            raise _Refusal(ERR_UNKNOWN_METHOD, f"unknown service {meta.service_name!r}")
        if meta.method_name in HANDSHAKE:
            return self._step(meta.method_name, fields)
        if meta.method_name == "ping" and self.login is not None:
            return body, []
        raise _Refusal(ERR_UNKNOWN_METHOD, f"unknown method {meta.method_name!r}")

    def _step(self, method_name, fields):
        if self.done == len(HANDSHAKE):
            raise _Refusal(ERR_OUT_OF_ORDER, f"{method_name}: session is already logged in")
        expected = HANDSHAKE[self.done]
        if method_name != expected:
            raise _Refusal(ERR_OUT_OF_ORDER, f"{method_name} out of order: expected {expected}")
        if fields is None:
            raise _Refusal(ERR_BAD_REQUEST, f"{method_name}: body is not a JSON object")
        answer, pushes = getattr(self, "_" + method_name)(fields)
        self.done += 1
        return encode_json(answer), pushes

    def _protocol_comfirm(self, fields):
        if fields.get("version") != PROTOCOL_VERSION:
            version = fields.get("version")
            raise _Refusal(ERR_BAD_REQUEST, f"protocol version {version!r} unsupported")
        self.context_id = secrets.token_hex(8)
        self.challenge = secrets.token_hex(16)
        return {"version": PROTOCOL_VERSION, "challenge": self.challenge}, []

    def _protocol_auth(self, fields):
        if fields.get("answer") != challenge_answer(self.challenge):
            raise _Refusal(ERR_AUTH_FAILED, "protocol_auth: wrong answer to the challenge")
        return {}, []

    def _client_auth(self, fields):
        if not fields.get("app_id"):
            raise _Refusal(ERR_AUTH_FAILED, "client_auth: no app_id")
        if self.auth_code and fields.get("auth_code") != self.auth_code:
            raise _Refusal(ERR_AUTH_FAILED, "client_auth: wrong auth_code")
        return {}, []

    def _client_login(self, fields):
        user_id, product = fields.get("user_id"), fields.get("product")
        if not isinstance(user_id, str) or not user_id:
            raise _Refusal(ERR_LOGIN_REFUSED, "client_login: no user_id")
        if not isinstance(product, str) or not product:
            raise _Refusal(ERR_LOGIN_REFUSED, "client_login: no product")
        self.login = (user_id, product)
        ready_meta = PushMeta(
            method_type=METHOD_TYPE_PUSH, method_name="session_ready", service_name=SESSION_SERVICE
        )
        ready = (ready_meta, encode_json({"user_id": user_id, "product": product}))
        return {"user_id": user_id, "product": product}, [ready]


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        connection = _Connection(self.server.gateway.auth_code)
        while True:
            try:
                frame = recv_frame(self.request)
            except (OSError, GatewayProtocolError):
                return
            if frame is None or frame[0] != FRAME_REQUEST:
                return
            try:
                meta = RequestMeta.FromString(frame[1])
            except DecodeError:  # not a header: the stream cannot be trusted any more
                return
            try:
                self._reply(connection, meta, frame[2])
            except OSError:
                return

    def _reply(self, connection, meta, body):
        fields = decode_json(body)
        response = ResponseMeta(
            is_last=True,
            method_type=meta.method_type,
            tracing_key=meta.tracing_key,
            service_name=meta.service_name,
            method_name=meta.method_name,
        )
        try:
            answer, pushes = connection.answer(meta, fields, body)
        except _Refusal as refusal:
            response.error_code = refusal.error_code
            response.error_text = refusal.error_text.encode("utf-8")
            answer, pushes = b"", []
        response.context_id = connection.context_id
        self.server.gateway.record(GatewayStep(meta.method_name, fields, response.error_code))
        for push_meta, push_body in pushes:
            send_frame(self.request, FRAME_PUSH, push_meta, push_body)
        send_frame(self.request, FRAME_RESPONSE, response, answer)


class _Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True

    def __init__(self, address, gateway):
        self.gateway = gateway
        self._open = set()
        self._open_lock = threading.Lock()
        super().__init__(address, _Handler)

    def process_request(self, request, client_address):
        with self._open_lock:
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def drop_connections(self):
        # Wakes every handler blocked on its client so that server_close can join it.
        with self._open_lock:
            for request in self._open:
                with contextlib.suppress(OSError):
                    request.shutdown(socket.SHUT_RDWR)


class SandboxGateway:
    """A gateway listening on 127.0.0.1; ``steps`` records every request answered, in order."""

    def __init__(self, port=DEFAULT_PORT, auth_code=""):
        self.auth_code = auth_code
        self.steps = []
        self._steps_lock = threading.Lock()
        try:
            self._server = _Server((HOST, port), self)
        except OSError as exc:
            if exc.errno != errno.EADDRINUSE:
                raise
            raise OSError(
                errno.EADDRINUSE,
                f"cannot start the sandbox gateway: {HOST}:{port} is already in use by "
                + _listener_of(port),
            ) from exc
        self.host, self.port = self._server.server_address
        self._thread = None

    def record(self, step):
        with self._steps_lock:
            self.steps.append(step)

    def start(self):
        # A short poll keeps stop() quick: shutdown waits for the loop's next poll.
        self._thread = threading.Thread(
            target=self._server.serve_forever, args=(0.05,), name="sandbox-gateway"
        )
        self._thread.start()

    def serve_forever(self):
        self._server.serve_forever()

    def stop(self):
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.drop_connections()
        self._server.server_close()


@contextlib.contextmanager
def running_gateway(port=0, auth_code=""):
    """Run a sandbox gateway on ``port`` (0: a free one) for the duration of the block."""
    gateway = SandboxGateway(port, auth_code)
    gateway.start()
    try:
        yield gateway
    finally:
        gateway.stop()


def _listener_of(port):
    """Who listens on a TCP port, as far as /proc lets this user see."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as lines:
                rows = [line.split() for line in lines][1:]
        except OSError:
            continue
        for row in rows:
            local_port = int(row[1].rsplit(":", 1)[1], 16)
            if row[3] == "0A" and local_port == port:  # 0A: LISTEN
                inodes.add(f"socket:[{row[9]}]")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                if os.readlink(f"/proc/{pid}/fd/{fd}") in inodes:
                    return f"pid {pid} ({_command_line(pid)})"
        except OSError:
            continue
    return "another program that this user cannot see"


def _command_line(pid):
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        return f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Loopback sandbox of the local trading gateway.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    parser.add_argument("--auth-code", default="", help="auth code client_auth must present")
    args = parser.parse_args(argv)
    gateway = SandboxGateway(args.port, args.auth_code)
    print(f"sandbox trading gateway on {gateway.host}:{gateway.port} (Ctrl-C to stop)", flush=True)
    try:
        with contextlib.suppress(KeyboardInterrupt):
            gateway.serve_forever()
    finally:
        gateway.stop()


if __name__ == "__main__":
    main()
