"""Question service on loopback: screens the sample instruments by a question.

``GET /querybay/question?query=...&startDate=YYYYMMDD&endDate=YYYYMMDD&parserVersion=...``
answers JSON ``{"status_code": 0, "status_msg": "ok", "result": {day: codes}}`` with
one key per weekday of the range and the matching codes as one text with a
comma at each end (",000001.SZ,600000.SH,"; "" when nothing matches). A
question that none of the canned patterns understands, or bad dates, get a
non-zero ``status_code`` and a ``status_msg``.

    with running_question_service() as service:
        monkeypatch.setattr(setting, "QUERYBAY_URL", service.url)
        service.fail_next("http_500", count=2)

Run in the foreground with ``python -m varden.sandbox.questions [--port N]``.
"""

import argparse
import contextlib
import datetime
import http.server
import json
import threading
import urllib.parse

__all__ = ["QUESTION_PATH", "QuestionService", "running_question_service"]

QUESTION_PATH = "/querybay/question"
DEFAULT_PORT = 19361
MAX_DAYS = 366

# code, name, industry
INSTRUMENTS = (
    ("000001.SZ", "平安银行", "银行"),
    ("600000.SH", "浦发银行", "银行"),
    ("601398.SH", "工商银行", "银行"),
    ("600519.SH", "贵州茅台", "白酒"),
    ("000858.SZ", "五粮液", "白酒"),
    ("688981.SH", "中芯国际", "半导体"),
    ("300750.SZ", "宁德时代", "电池"),
    ("830799.BJ", "艾融软件", "软件"),
)

# Question keyword -> which instruments it selects; the first keyword found wins.
PATTERNS = (
    ("银行", lambda code, industry: industry == "银行"),
    ("白酒", lambda code, industry: industry == "白酒"),
    ("科创板", lambda code, industry: code.startswith("688")),
    ("创业板", lambda code, industry: code.startswith("300")),
    ("北交所", lambda code, industry: code.endswith(".BJ")),
    ("停牌", lambda code, industry: False),
    ("全部", lambda code, industry: True),
)

# Canned failures: HTTP status, body.
FAILURES = {
    "http_500": (500, b"internal error"),
    "not_json": (200, b"<html>busy</html>"),
    "status": (200, json.dumps({"status_code": 1, "status_msg": "服务繁忙"},
                               ensure_ascii=False).encode("utf-8")),
}


def screen(question, start, end):
    """The JSON answer (a dict) for one question over a range of days."""
    selector = next((select for keyword, select in PATTERNS if keyword in question), None)
    if selector is None:
        return {"status_code": 1, "status_msg": "无法理解的问句: %s" % question}
    try:
        first = datetime.datetime.strptime(start, "%Y%m%d").date()
        last = datetime.datetime.strptime(end, "%Y%m%d").date()
    except ValueError:
        return {"status_code": 2, "status_msg": "日期格式错误: %s, %s" % (start, end)}
    if first > last or (last - first).days >= MAX_DAYS:
        return {"status_code": 3, "status_msg": "日期范围错误: %s, %s" % (start, end)}
    codes = [code for code, _, industry in INSTRUMENTS if selector(code, industry)]
    text = ",%s," % ",".join(codes) if codes else ""
    result = {}
    day = first
    while day <= last:
        if day.weekday() < 5:
            result[day.strftime("%Y%m%d")] = text
        day += datetime.timedelta(days=1)
    return {"status_code": 0, "status_msg": "ok", "result": result}


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        params = urllib.parse.parse_qsl(url.query, keep_blank_values=True)
        status, body = self.server.service.respond(url.path, params)
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        # Requests are kept in QuestionService.requests; stderr stays quiet.
        return


class QuestionService:
    """The question service; ``requests`` records (path, [(name, value), ...]) in order."""

    def __init__(self):
        self.requests = []
        self._lock = threading.Lock()
        self._queued = []
        self._server = None
        self._thread = None

    @property
    def url(self):
        host, port = self._server.server_address[:2]
        return "http://%s:%d%s" % (host, port, QUESTION_PATH)

    def start(self, port=0):
        self._server = self._make_server(port)
        self._thread = threading.Thread(
            target=self._server.serve_forever, args=(0.05,), name="sandbox-questions",
            daemon=True)
        self._thread.start()
        return self

    def serve_forever(self, port=DEFAULT_PORT):
        self._server = self._make_server(port)
        try:
            self._server.serve_forever()
        finally:
            self._server.server_close()

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def _make_server(self, port):
        server = http.server.ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        server.daemon_threads = True
        server.service = self
        return server

    def queue_answer(self, body, status=200):
        """Answer the next request with ``body`` (a dict sent as JSON, or raw bytes)."""
        if isinstance(body, dict):
            body = json.dumps(body, ensure_ascii=False).encode("utf-8")
        with self._lock:
            self._queued.append((status, body))

    def fail_next(self, kind, count=1):
        """Make the next ``count`` requests fail: "http_500", "not_json" or "status"."""
        status, body = FAILURES[kind]
        for _ in range(count):
            self.queue_answer(body, status)

    def respond(self, path, params):
        with self._lock:
            self.requests.append((path, params))
            queued = self._queued.pop(0) if self._queued else None
        if queued is not None:
            return queued
        if path != QUESTION_PATH:
            return 404, b'{"status_code": 404, "status_msg": "not found"}'
        args = dict(params)
        answer = screen(args.get("query", ""), args.get("startDate", ""), args.get("endDate", ""))
        return 200, json.dumps(answer, ensure_ascii=False).encode("utf-8")


@contextlib.contextmanager
def running_question_service(port=0):
    """Run a ``QuestionService`` on 127.0.0.1 for the duration of the block."""
    service = QuestionService().start(port)
    try:
        yield service
    finally:
        service.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Question service on loopback.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    args = parser.parse_args(argv)
    service = QuestionService()
    print("question service on http://127.0.0.1:%d%s (VARDEN_QUERYBAY_URL)"
          % (args.port, QUESTION_PATH), flush=True)
    try:
        service.serve_forever(args.port)
    except KeyboardInterrupt:
        print("question service stopped", flush=True)


if __name__ == "__main__":
    main()
