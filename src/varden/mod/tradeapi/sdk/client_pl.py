"""Stand-in: the kit's trading client: request envelopes to the brokerage, pushes back.

The client keeps one TCP connection to the brokerage service, whose address is
``host:port`` from ``$VARDEN_BROKER_ADDR`` (read when the client is created;
``127.0.0.1:19360`` when unset). Each request envelope travels as one JSON line
with an ``id`` added; the answer line with the same ``id`` is returned. Lines
carrying ``push`` are order updates: they are handed, in arrival order, to every
registered callback as ``handler(channel, message)`` on the client's delivery
thread, ``message["params"]`` being the pushed broker record.

The connection is opened by the first request and reopened by the next request
after it drops (subscriptions made on a dropped connection are gone with it).
"""

import itertools
import json
import logging
import os
import queue
import socket
import threading

__all__ = ["DEFAULT_ADDRESS", "PallasClient"]

DEFAULT_ADDRESS = "127.0.0.1:19360"

logger = logging.getLogger(__name__)


def _parse_address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit():
        raise ValueError("brokerage address must be host:port, got %r" % (text,))
    return host, int(port)


class _Pending:
    """A request waiting for its answer line."""

    __slots__ = ("done", "reply", "error")

    def __init__(self):
        self.done = threading.Event()
        self.reply = None
        self.error = None


class PallasClient:
    """Blocking request/answer calls and pushed updates over one connection."""

    def __init__(self, address=None, timeout=30.0):
        text = address or os.environ.get("VARDEN_BROKER_ADDR") or DEFAULT_ADDRESS
        self.address = _parse_address(text)
        self.timeout = timeout
        self._lock = threading.Lock()
        self._send_lock = threading.Lock()
        self._sock = None
        self._pending = {}
        self._ids = itertools.count(1)
        self._callbacks = []
        self._pushes = queue.SimpleQueue()
        self._delivery = None

    def call_rpc_json(self, params):
        """Send one request envelope and return the answer as a dict.

        Raises ``ConnectionError`` when the brokerage cannot be reached or the
        connection drops before the answer, ``TimeoutError`` after ``timeout``
        seconds without an answer.
        """
        request_id = next(self._ids)
        line = json.dumps(dict(params, id=request_id), ensure_ascii=False) + "\n"
        pending = _Pending()
        sock = self._connection()
        with self._lock:
            self._pending[request_id] = pending
        try:
            try:
                with self._send_lock:
                    sock.sendall(line.encode("utf-8"))
            except OSError as exc:
                self._drop(sock, exc)
                raise ConnectionError("brokerage connection lost: %s" % exc) from exc
            if not pending.done.wait(self.timeout):
                raise TimeoutError("brokerage did not answer request %d in %s s"
                                   % (request_id, self.timeout))
        finally:
            with self._lock:
                self._pending.pop(request_id, None)
        if pending.error is not None:
            raise ConnectionError("brokerage connection lost: %s" % pending.error)
        return pending.reply

    def register_callback(self, handler):
        """Call ``handler(channel, message)`` for every pushed message from now on."""
        if not callable(handler):
            raise TypeError("callback must be callable, got %r" % (handler,))
        with self._lock:
            self._callbacks.append(handler)
            if self._delivery is None:
                self._delivery = threading.Thread(
                    target=self._deliver, name="PallasClient-delivery", daemon=True)
                self._delivery.start()

    def close(self):
        """Close the connection; waiting calls fail with ``ConnectionError``."""
        with self._lock:
            sock = self._sock
        if sock is not None:
            self._drop(sock, ConnectionError("client closed"))

    def _connection(self):
        with self._lock:
            if self._sock is not None:
                return self._sock
            try:
                sock = socket.create_connection(self.address, timeout=self.timeout)
            except OSError as exc:
                raise ConnectionError("cannot reach brokerage at %s:%d: %s"
                                      % (self.address + (exc,))) from exc
            sock.settimeout(None)
            self._sock = sock
        threading.Thread(target=self._read, args=(sock,), name="PallasClient-reader",
                         daemon=True).start()
        return sock

    def _drop(self, sock, error):
        with self._lock:
            if self._sock is sock:
                self._sock = None
            waiting = list(self._pending.values())
        for pending in waiting:
            if not pending.done.is_set():
                pending.error = error
                pending.done.set()
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            logger.debug("brokerage socket already shut down")
        sock.close()

    def _read(self, sock):
        error = ConnectionError("brokerage closed the connection")
        try:
            with sock.makefile("rb") as stream:
                for raw in stream:
                    self._dispatch(raw)
        except OSError as exc:
            error = exc
        self._drop(sock, error)

    def _dispatch(self, raw):
        try:
            message = json.loads(raw)
        except ValueError:
            message = None
        if not isinstance(message, dict):
            logger.error("unreadable line from brokerage: %r", raw[:200])
            return
        if "push" in message:
            self._pushes.put((message["push"], message))
            return
        with self._lock:
            pending = self._pending.get(message.get("id"))
        if pending is None:
            logger.warning("answer to no waiting request: %r", message)
            return
        pending.reply = message
        pending.done.set()

    def _deliver(self):
        while True:
            channel, message = self._pushes.get()
            with self._lock:
                callbacks = list(self._callbacks)
            for handler in callbacks:
                try:
                    handler(channel, message)
                except Exception:
                    # One bad handler or record must not stop the others.
                    logger.exception("push handler %r failed on %s", handler, channel)
