"""Stand-in: the kit's generic trading-gateway client.

A session is one TCP connection to the gateway. Every message travels as one frame:

    kind (1 byte) | header length (4 bytes) | body length (4 bytes) | header | body

lengths big-endian. The header is a ``gateway.RequestMeta`` (kind 1), ``ResponseMeta`` (kind 2)
or ``PushMeta`` (kind 3); the body belongs to the method. Hand-shake bodies are UTF-8 JSON
objects. A response may span several frames, the last one marked ``is_last``; pushes that arrive
while a response is awaited are kept, in order, in ``GatewaySession.pushes``.

The hand-shake, in its fixed order: ``protocol_comfirm`` agrees on the protocol version and
receives a challenge, ``protocol_auth`` answers it with the protocol key, ``client_auth``
presents the application's id and auth code, ``client_login`` logs a user in for a product.
"""

import hashlib
import hmac
import json
import socket
import struct
import uuid

from google.protobuf.message import DecodeError

from varden.mod.kelpie.utils.paths import get_user_id
from varden.mod.tradeapi.sdk.protogen.gatemeta import PushMeta, RequestMeta, ResponseMeta

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 9999
DEFAULT_PRODUCT = "varden"
DEFAULT_TIMEOUT = 10.0

PROTOCOL_VERSION = 1
# Shared by every client and gateway of this protocol version: proves the peer speaks it.
PROTOCOL_KEY = b"varden-gateway-protocol-1"
SESSION_SERVICE = "gateway.Session"
METHOD_TYPE_UNARY = 1
METHOD_TYPE_PUSH = 2

FRAME_REQUEST = 1
FRAME_RESPONSE = 2
FRAME_PUSH = 3
MAX_HEADER_SIZE = 64 * 1024
MAX_BODY_SIZE = 16 * 1024 * 1024
_FRAME_PREFIX = struct.Struct(">BII")


class GatewayError(Exception):
    """A gateway session failed."""


class GatewayRefused(GatewayError):
    """The gateway answered a request with a non-zero ``error_code``."""

    def __init__(self, method_name, error_code, error_text):
        super().__init__(f"gateway refused {method_name}: error {error_code}: {error_text}")
        self.method_name = method_name
        self.error_code = error_code
        self.error_text = error_text


class GatewayClosed(GatewayError, ConnectionError):
    """The connection to the gateway is gone."""


class GatewayTimeout(GatewayError, TimeoutError):
    """The gateway did not answer in time."""


class GatewayProtocolError(GatewayError):
    """The peer sent something that is not a frame of this protocol."""


def challenge_answer(challenge):
    """The protocol_auth answer to a gateway's challenge text."""
    return hmac.new(PROTOCOL_KEY, challenge.encode("utf-8"), hashlib.sha256).hexdigest()


def send_frame(sock, kind, header, body=b""):
    """Write one frame: ``header`` is a meta message, ``body`` bytes."""
    header_bytes = header.SerializeToString()
    sock.sendall(_FRAME_PREFIX.pack(kind, len(header_bytes), len(body)) + header_bytes + body)


def recv_frame(sock):
    """Read one frame as ``(kind, header bytes, body)``; None when the peer closed before one."""
    prefix = _recv_exact(sock, _FRAME_PREFIX.size, eof_ok=True)
    if prefix is None:
        return None
    kind, header_size, body_size = _FRAME_PREFIX.unpack(prefix)
    if kind not in (FRAME_REQUEST, FRAME_RESPONSE, FRAME_PUSH):
        raise GatewayProtocolError(f"unknown frame kind {kind}")
    if header_size > MAX_HEADER_SIZE or body_size > MAX_BODY_SIZE:
        raise GatewayProtocolError(f"frame too large: header {header_size}, body {body_size}")
    return kind, _recv_exact(sock, header_size), _recv_exact(sock, body_size)


def _recv_exact(sock, size, eof_ok=False):
    data = bytearray()
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            if eof_ok and not data:
                return None
            raise ConnectionError("connection closed in the middle of a frame")
        data += chunk
    return bytes(data)


def encode_json(fields):
    return json.dumps(fields, ensure_ascii=False).encode("utf-8")


def decode_json(body):
    """A JSON object body as a dict; None when the body is not one."""
    try:
        fields = json.loads(body.decode("utf-8"))
    except ValueError:
        return None
    return fields if isinstance(fields, dict) else None


class GatewaySession:
    """One connection to a trading gateway, taken through the hand-shake step by step.

    Each step returns once the gateway has accepted it and raises ``GatewayRefused`` when the
    gateway refuses it; the session stays usable after a refusal. A time-out
    (``GatewayTimeout``), a closed connection (``GatewayClosed``) or a malformed answer
    (``GatewayProtocolError``) closes the session.
    """

    def __init__(self, host, port, timeout=DEFAULT_TIMEOUT, app_id=DEFAULT_PRODUCT, auth_code=""):
        self.host = host
        self.port = port
        self.timeout = timeout
        self.app_id = app_id
        self.auth_code = auth_code
        self.context_id = ""
        self.pushes = []
        self._challenge = None
        self._sock = socket.create_connection((host, port), timeout=timeout)

    @property
    def closed(self):
        return self._sock is None

    def protocol_comfirm(self):
        answer = self._handshake("protocol_comfirm", {"version": PROTOCOL_VERSION})
        challenge = answer.get("challenge")
        if not isinstance(challenge, str):
            self.close()
            raise GatewayProtocolError("protocol_comfirm answer carries no challenge")
        self._challenge = challenge

    def protocol_auth(self):
        # Without a challenge there is nothing to answer; the gateway refuses the step.
        answer = "" if self._challenge is None else challenge_answer(self._challenge)
        self._handshake("protocol_auth", {"answer": answer})

    def client_auth(self):
        self._handshake("client_auth", {"app_id": self.app_id, "auth_code": self.auth_code})

    def client_login(self, user_id, product):
        self._handshake("client_login", {"user_id": user_id, "product": product})

    def request(self, service_name, method_name, body=b""):
        """Send one request and return its response body (a multi-frame answer joined)."""
        sock = self._open_socket(method_name)
        tracing_key = uuid.uuid4().hex
        header = RequestMeta(
            service_name=service_name,
            method_name=method_name,
            tracing_key=tracing_key,
            method_type=METHOD_TYPE_UNARY,
            context_id=self.context_id,
        )
        self._guarded(method_name, send_frame, sock, FRAME_REQUEST, header, body)
        parts = []
        while True:
            frame = self._guarded(method_name, recv_frame, sock)
            if frame is None:
                self.close()
                raise GatewayClosed(f"{self._where()} closed the connection during {method_name}")
            kind, header_bytes, part = frame
            if kind == FRAME_PUSH:
                self.pushes.append((self._parse(PushMeta, header_bytes), part))
                continue
            if kind != FRAME_RESPONSE:
                self.close()
                raise GatewayProtocolError(f"{self._where()} sent a request frame")
            meta = self._parse(ResponseMeta, header_bytes)
            if meta.tracing_key != tracing_key:
                self.close()
                raise GatewayProtocolError(f"{self._where()} answered another request")
            if meta.error_code:
                text = meta.error_text.decode("utf-8", "replace")
                raise GatewayRefused(method_name, meta.error_code, text)
            if meta.context_id:
                self.context_id = meta.context_id
            parts.append(part)
            if meta.is_last:
                return b"".join(parts)

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()

    def __del__(self):
        # A session abandoned half-way (a failed hand-shake) still releases its socket.
        if getattr(self, "_sock", None) is not None:
            self._sock.close()

    def _handshake(self, method_name, fields):
        body = self.request(SESSION_SERVICE, method_name, encode_json(fields))
        answer = decode_json(body) if body else {}
        if answer is None:
            self.close()
            raise GatewayProtocolError(f"{method_name} answer is not a JSON object")
        return answer

    def _open_socket(self, method_name):
        if self._sock is None:
            raise GatewayClosed(f"session to {self._where()} is closed; cannot send {method_name}")
        return self._sock

    def _guarded(self, method_name, operation, *args):
        # After a time-out or a broken stream the framing is lost: the session cannot go on.
        try:
            return operation(*args)
        except TimeoutError as exc:
            self.close()
            raise GatewayTimeout(
                f"{self._where()} did not answer {method_name} within {self.timeout} s"
            ) from exc
        except GatewayProtocolError:
            self.close()
            raise
        except OSError as exc:
            self.close()
            raise GatewayClosed(
                f"connection to {self._where()} lost during {method_name}: {exc}"
            ) from exc

    def _parse(self, message_class, data):
        try:
            return message_class.FromString(data)
        except DecodeError as exc:
            self.close()
            raise GatewayProtocolError(f"{self._where()} sent a malformed header: {exc}") from exc

    def _where(self):
        return f"gateway {self.host}:{self.port}"


class GatewayClient:
    """A client of one trading gateway, which opens its authenticated session on first use.

    ``host``, ``port``, ``user_id`` and ``product`` say where and as whom to log in; None takes
    the default when the session is made: ``DEFAULT_HOST``, ``DEFAULT_PORT``, ``get_user_id()``
    and ``DEFAULT_PRODUCT``.
    """

    def __init__(self, host, port, user_id, product):
        self.host = host
        self.port = port
        self.user_id = user_id
        self.product = product
        self._session = None

    @property
    def session(self):
        """The open session, made again by ``_make_session()`` when there is none or it died."""
        if self._session is None or self._session.closed:
            self._session = self._make_session()
        return self._session

    def request(self, service_name, method_name, body=b""):
        return self.session.request(service_name, method_name, body)

    def close(self):
        if self._session is not None:
            self._session.close()
            self._session = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()

    def _make_session(self, **kwargs):
        host = DEFAULT_HOST if self.host is None else self.host
        port = DEFAULT_PORT if self.port is None else self.port
        session = GatewaySession(host, port, **kwargs)
        try:
            session.protocol_comfirm()
            session.protocol_auth()
            session.client_auth()
            user_id = get_user_id() if self.user_id is None else self.user_id
            session.client_login(user_id, DEFAULT_PRODUCT if self.product is None else self.product)
        except BaseException:
            session.close()
            raise
        return session
