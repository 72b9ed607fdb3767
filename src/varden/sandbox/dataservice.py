"""Loopback stand-in of the platform's data service.

Wire format, as the kit's client speaks it:

* ``POST <base>login`` takes JSON ``{"passport": ..., "action": "login" | "refresh"}``.
  For "login" the passport is Base64 of a pickle of ``(username, password)``; for
  "refresh" it is a token issued earlier. The answer is always HTTP 200 with JSON
  ``{"meta": {"code": 200, "message": "ok"}, "data": {"token": ..., "notice": ...}}``,
  or a ``meta.code`` other than 200 with the reason in ``meta.message``.
* ``POST <base>api/sdk_<name>`` takes a pickle of a dict of keywords and the header
  ``Authorization: Bearer <access token>``. Status 200 answers a pickle of bytes that are
  a zlib stream of MessagePack, or of a pickle for values MessagePack cannot carry.
  A missing or stale token gets 401 with a text body.

Tokens: a login issues a credential that is good only for refreshing; a refresh issues an
access token, good as a bearer for ``access_ttl`` seconds and as a refresh passport for
``refresh_ttl`` seconds. The service clock can be moved forward to expire them.

Tests plug in behaviour per endpoint through ``handlers`` (see ``DataService``).
"""

import argparse
import base64
import binascii
import contextlib
import io
import json
import pickle
import secrets
import shutil
import sys
import tempfile
import threading
import time
import zlib
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import msgpack

from varden.sandbox import datahandlers
from varden.sandbox.datahandlers import ServiceError

API_PREFIX = "api/sdk_"
ENDPOINTS = (
    "api_usage",
    "instruments",
    "trading_dates",
    "extra_hdf_store",
    "arsenal_request",
    "data_array",
    "all_api",
    "run_api",
    "trade_api",
    "upload_file",
    "download_file",
    "get_fundamentals",
)
DEFAULT_USERS = {"demo": "demo", "analyst": "quant2024"}
MAX_BODY = 64 * 1024 * 1024


@dataclass
class RawResponse:
    """A handler result sent as it is, to simulate odd or failing answers. A ``status`` of
    None closes the connection without answering."""

    status: int
    body: bytes = b""
    content_type: str = "text/plain; charset=utf-8"


@dataclass
class ReceivedRequest:
    """One request as the service saw it; ``payload`` is None when it was not decoded."""

    method: str
    path: str
    endpoint: str
    headers: object  # http.client.HTTPMessage: wire order, case-insensitive get()
    body: bytes
    payload: object = None
    user: str = None


@dataclass
class _Token:
    user: str
    kind: str  # "credential" (refresh only) or "access" (bearer and refresh)
    access_until: float
    refresh_until: float


class _SafeUnpickler(pickle.Unpickler):
    """Unpickles plain data only.

    A pickle may name any importable callable and have it called while loading, so a
    body from the network is code, not data, until its globals are restricted. Only
    value types are let through: containers and scalars need no globals at all.
    """

    _ALLOWED = {
        ("builtins", "set"),
        ("builtins", "frozenset"),
        ("builtins", "bytearray"),
        ("builtins", "complex"),
        ("datetime", "date"),
        ("datetime", "datetime"),
        ("datetime", "time"),
        ("datetime", "timedelta"),
        ("datetime", "timezone"),
        ("pandas._libs.tslibs.timestamps", "_unpickle_timestamp"),
        ("numpy", "dtype"),
        ("numpy.core.multiarray", "scalar"),
        ("numpy._core.multiarray", "scalar"),
    }

    def find_class(self, module, name):
        if (module, name) not in self._ALLOWED:
            raise pickle.UnpicklingError("refused global %s.%s" % (module, name))
        return super().find_class(module, name)


def safe_loads(data):
    """Unpickle ``data`` allowing plain values only (see ``_SafeUnpickler``)."""
    return _SafeUnpickler(io.BytesIO(data)).load()


def hostile_pickle(module, name, *args):
    """A pickle that calls ``module.name(*args)`` when loaded, as a hostile peer would answer.

    The global is written by its text, so it may name anything, even a module never imported;
    ``args`` are plain values (a command line, a path).
    """
    call = b"c%s\n%s\n" % (module.encode(), name.encode())
    return b"\x80\x02" + call + pickle.dumps(args, 2)[2:-1] + b"R."


def pack_answer(value, packer="auto"):
    """Encode a result as a 200 body: pickle(zlib(msgpack or pickle of value)).

    ``packer`` is "msgpack", "pickle", or "auto" (MessagePack when it can carry the value).
    """
    if packer == "pickle":
        packed = pickle.dumps(value)
    elif packer == "msgpack":
        packed = msgpack.packb(value, use_bin_type=True)
    else:
        try:
            packed = msgpack.packb(value, use_bin_type=True)
        except (TypeError, ValueError, OverflowError):
            packed = pickle.dumps(value)
    return pickle.dumps(zlib.compress(packed))


def unpack_answer(body):
    """Decode a 200 body made by ``pack_answer`` (for tests and tools)."""
    packed = zlib.decompress(pickle.loads(body))
    try:
        return msgpack.unpackb(packed, raw=False, strict_map_key=False)
    except Exception:
        return pickle.loads(packed)


class DataService:
    """State and behaviour of the data service, independent of the HTTP plumbing.

    Test hooks:

    * ``handlers[name] = fn(user, **kwargs)`` for each of ``ENDPOINTS``: returns the value
      to send, a ``RawResponse``, or raises ``ServiceError``. ``handlers["login"] =
      fn(payload)`` replaces the login endpoint (returns a JSON-able dict or RawResponse).
    * ``delays[name] = seconds``: the endpoint answers that much later (read time-outs).
    * ``hold(name)``: the endpoint, or the login endpoint's action "login" or "refresh", answers
      only once the returned event is set (a refresh still on the wire while the user logs in).
    * ``answer_hostile(name, payload, layer)``: the endpoint answers a pickle that runs code
      when loaded (see ``hostile_pickle``).
    * ``fail(name, status, body)``: the endpoint answers that status and body;
      ``drop(name)``: it closes the connection without an answer.
    * ``requests``: every request received, in order (``ReceivedRequest``).
    * ``users`` (name -> password), ``notice`` (text or None), ``advance_clock(seconds)``.
    * ``pushes``: the notify_push calls received; ``usage``: per-user call counts.
    """

    def __init__(self, base_path="/sdk/", users=None, notice=None, access_ttl=7500.0,
                 refresh_ttl=30 * 86400.0):
        if not (base_path.startswith("/") and base_path.endswith("/")):
            raise ValueError("base_path must begin and end with '/': %r" % base_path)
        self.base_path = base_path
        self.users = dict(DEFAULT_USERS if users is None else users)
        self.notice = notice
        self.access_ttl = access_ttl
        self.refresh_ttl = refresh_ttl
        self.requests = []
        self.delays = {}
        self.holds = {}
        self.pushes = []
        self.usage = {}
        self.files_root = None  # the uploaded files' folder, made once the service is bound
        self.handlers = {"login": self.answer_login}
        self.handlers.update(datahandlers.default_handlers(self))
        self._tokens = {}
        self._clock_offset = 0.0
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self._server = None
        self._thread = None

    # -- clock and tokens ---------------------------------------------------------------

    def now(self):
        return time.time() + self._clock_offset

    def advance_clock(self, seconds):
        """Move the service clock forward, so that tokens expire without waiting."""
        with self._lock:
            self._clock_offset += seconds

    def _issue(self, user, kind):
        token = secrets.token_urlsafe(24)
        now = self.now()
        access_until = now + self.access_ttl if kind == "access" else now
        with self._lock:
            self._tokens[token] = _Token(user, kind, access_until, now + self.refresh_ttl)
        return token

    def _token(self, token):
        with self._lock:
            return self._tokens.get(token)

    def bearer_user(self, authorization):
        """The user of a valid, unexpired access token in an Authorization header, or None."""
        scheme, _, token = (authorization or "").partition(" ")
        entry = self._token(token) if scheme == "Bearer" else None
        if entry is None or entry.kind != "access" or self.now() >= entry.access_until:
            return None
        return entry.user

    # -- login endpoint -----------------------------------------------------------------

    def _granted(self, token):
        return {"meta": {"code": 200, "message": "ok"},
                "data": {"token": token, "notice": self.notice}}

    @staticmethod
    def _refused(code, message):
        return {"meta": {"code": code, "message": message}, "data": None}

    def answer_login(self, payload):
        """Default login endpoint: the JSON answer for one decoded request object."""
        if not isinstance(payload, dict) or not isinstance(payload.get("passport"), str):
            return self._refused(400, "请求格式错误: 需要 passport 和 action")
        action, passport = payload.get("action"), payload["passport"]
        if action == "login":
            try:
                username, password = safe_loads(base64.b64decode(passport, validate=True))
            except (binascii.Error, pickle.UnpicklingError, EOFError, TypeError, ValueError):
                return self._refused(400, "passport无效")
            if not isinstance(username, str) or self.users.get(username) != password:
                return self._refused(401, "用户名或密码错误")
            return self._granted(self._issue(username, "credential"))
        if action == "refresh":
            entry = self._token(passport)
            if entry is None or self.now() >= entry.refresh_until:
                return self._refused(401, "登录已失效, 请重新登录")
            return self._granted(self._issue(entry.user, "access"))
        return self._refused(400, "未知的action: %r" % (action,))

    # -- data endpoints -----------------------------------------------------------------

    def fail(self, name, status, body=b""):
        """Make endpoint ``name`` answer ``status`` with ``body`` from now on."""
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.handlers[name] = lambda user, **kwargs: RawResponse(status, body)

    def drop(self, name):
        """Make endpoint ``name`` close the connection without answering from now on."""
        self.handlers[name] = lambda user, **kwargs: RawResponse(None)

    def count_call(self, user, name):
        with self._lock:
            per_user = self.usage.setdefault(user, {})
            per_user[name] = per_user.get(name, 0) + 1

    def record(self, request):
        with self._lock:
            self.requests.append(request)

    def answer_hostile(self, name, payload, layer):
        """Make endpoint ``name`` answer 200 with ``payload`` (a ``hostile_pickle``) as the body
        itself (``layer`` "outer") or as the value inside the zlib stream ("inner")."""
        body = payload if layer == "outer" else pickle.dumps(zlib.compress(payload))
        self.handlers[name] = lambda user, **kwargs: RawResponse(200, body)

    def hold(self, name):
        """Hold the answers of ``name`` (an endpoint, "login" or "refresh") until the returned
        event is set."""
        released = self.holds[name] = threading.Event()
        return released

    def pause(self, name):
        """Wait the configured delay and hold of an endpoint; cut short when the service
        closes."""
        delay = self.delays.get(name)
        if delay:
            self._closing.wait(delay)
        released = self.holds.get(name)
        while released is not None and not released.is_set() and not self._closing.is_set():
            released.wait(0.05)

    def call_handler(self, name, user, payload):
        """Run an endpoint's handler and turn its outcome into (status, body, content type)."""
        try:
            result = self.handlers[name](user, **payload)
        except ServiceError as exc:
            return exc.status, str(exc.message).encode("utf-8"), RawResponse.content_type
        except TypeError as exc:
            return 400, ("参数错误: %s" % exc).encode("utf-8"), RawResponse.content_type
        except Exception as exc:  # the service answers 500 instead of dropping the connection
            return 500, ("服务内部错误: %r" % exc).encode("utf-8"), RawResponse.content_type
        if isinstance(result, RawResponse):
            return result.status, result.body, result.content_type
        return 200, pack_answer(result), "application/octet-stream"

    # -- server lifecycle ---------------------------------------------------------------

    @property
    def url(self):
        host, port = self._server.server_address[:2]
        return "http://%s:%d%s" % (host, port, self.base_path)

    def _bind(self, port):
        self._server = ThreadingHTTPServer(("127.0.0.1", port), _RequestHandler)
        self._server.daemon_threads = True
        self._server.service = self
        self.files_root = tempfile.mkdtemp(prefix="varden-dataservice-")

    def start(self, port=0):
        """Serve on a background thread; returns the service."""
        self._bind(port)
        # a short poll keeps close() quick: shutdown waits for the loop to notice
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        name="varden-dataservice", daemon=True)
        self._thread.start()
        return self

    def serve_forever(self, port=0, announce=print):
        """Serve in the calling thread until interrupted (Ctrl-C), then clean up."""
        self._bind(port)
        announce("varden data service at %s (users: %s); Ctrl-C stops it"
                 % (self.url, ", ".join(sorted(self.users))))
        try:
            self._server.serve_forever()
        except KeyboardInterrupt:
            announce("stopped")
        finally:
            self.close()

    def close(self):
        self._closing.set()
        if self._server is not None:
            if self._thread is not None:
                self._server.shutdown()
                self._thread.join()
            self._server.server_close()
        if self.files_root is not None:
            shutil.rmtree(self.files_root, ignore_errors=True)


class _RequestHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VardenSandbox/1"

    def log_message(self, format, *args):
        """Quiet: tests read ``DataService.requests`` instead of an access log."""

    def _send(self, status, body, content_type):
        if status is None:
            self.close_connection = True
            return
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            # the client gave up (read time-out); nothing left to tell it
            self.close_connection = True

    def _send_text(self, status, text):
        self._send(status, text.encode("utf-8"), RawResponse.content_type)

    def _read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            raise ServiceError(413, "请求过大")
        return self.rfile.read(length)

    def do_POST(self):
        service = self.server.service
        try:
            body = self._read_body()
        except (ServiceError, ValueError) as exc:
            self.close_connection = True
            self._send_text(getattr(exc, "status", 400), str(exc))
            return
        path = self.path.split("?", 1)[0]
        if not path.startswith(service.base_path):
            self._send_text(404, "未知的路径: %s" % path)
            return
        endpoint = path[len(service.base_path):]
        if endpoint == "login":
            self._login(service, path, body)
        elif endpoint.startswith(API_PREFIX) and endpoint[len(API_PREFIX):] in ENDPOINTS:
            self._api(service, path, endpoint[len(API_PREFIX):], body)
        else:
            self._send_text(404, "未知的路径: %s" % path)

    def _login(self, service, path, body):
        request = ReceivedRequest("POST", path, "login", self.headers, body)
        service.record(request)
        try:
            request.payload = json.loads(body)
        except ValueError:
            self._send_text(400, "请求体不是JSON")
            return
        action = request.payload.get("action") if isinstance(request.payload, dict) else None
        if action in ("login", "refresh"):
            service.pause(action)
        answer = service.handlers["login"](request.payload)
        if isinstance(answer, RawResponse):
            self._send(answer.status, answer.body, answer.content_type)
        else:
            self._send(200, json.dumps(answer, ensure_ascii=False).encode("utf-8"),
                       "application/json; charset=utf-8")

    def _api(self, service, path, name, body):
        request = ReceivedRequest("POST", path, name, self.headers, body)
        service.record(request)
        request.user = service.bearer_user(self.headers.get("Authorization"))
        if request.user is None:
            self._send_text(401, "认证失败: 访问令牌无效或已过期")
            return
        try:
            request.payload = safe_loads(body)
        except Exception as exc:  # any malformed or refused pickle is the client's fault
            self._send_text(400, "请求体无法解析: %s" % exc)
            return
        if not isinstance(request.payload, dict) or not all(
                isinstance(key, str) for key in request.payload):
            self._send_text(400, "请求体必须是关键字参数的字典")
            return
        service.count_call(request.user, name)
        service.pause(name)
        self._send(*service.call_handler(name, request.user, request.payload))


@contextlib.contextmanager
def running_data_service(port=0, **options):
    """Run a ``DataService`` on 127.0.0.1 (``port`` 0: a free one) for the ``with`` block.

    ``options`` go to ``DataService`` (base_path, users, notice, access_ttl, refresh_ttl).
    """
    service = DataService(**options).start(port)
    try:
        yield service
    finally:
        service.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Loopback sandbox of the platform's data service")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--base-path", default="/sdk/", help="path prefix of the endpoints")
    parser.add_argument("--notice", default=None, help="notice text delivered at login")
    args = parser.parse_args(argv)
    service = DataService(base_path=args.base_path, notice=args.notice)
    service.serve_forever(args.port, announce=lambda text: print(text, flush=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
