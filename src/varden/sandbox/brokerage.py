"""Simulated brokerage account service on loopback.

Speaks the trading client's wire protocol: one JSON object per line over TCP.
A request line is a request envelope (``ReqType``, optional ``method``,
``params``) plus an ``id``; the answer line is a result envelope carrying the
same ``id`` with either ``result`` or ``error`` {``message``} (the instruction
service answers errors in ``msg``). Order updates pushed on the "entrustret"
channel travel as ``{"push": "entrustret", "params": record}`` lines to every
connection that subscribed with the order's ``fund_token``.

    with running_brokerage() as broker:
        os.environ["VARDEN_BROKER_ADDR"] = broker.address
        ...
        broker.push_order_update(broker.token("880001"), "O0001", OrderStatusMsg="已成")

Run in the foreground with ``python -m varden.sandbox.brokerage [--port N]``.
"""

import argparse
import contextlib
import copy
import json
import socket
import socketserver
import threading

__all__ = ["DEFAULT_PORT", "BrokerageService", "running_brokerage", "sample_accounts"]

DEFAULT_PORT = 19360

PUSH_CHANNEL = "entrustret"
PRICE_TYPE_TEXT = {0: "限价单", 3: "市价单"}

# ReqType of each "stocknx" query, with the FunID it must carry and the book it reads.
STOCKNX_QUERIES = {
    1201: (500016, "balances"),
    1202: (500015, "positions"),
    1203: (500014, "fills"),
    1204: (500013, "orders"),
}
REQ_ACCOUNTS = 594177
REQ_INSTRUCTIONS = 151553
REQ_SUBSCRIBE = 1601

# Fields of a polled broker order; a pushed order names two of them differently.
POLLED_ORDER_FIELDS = (
    "SecurityID", "SecurityName", "OrderID", "OrderQty", "Side", "OrderPrice", "OrderTypeMsg",
    "OrderDate", "OrderTime", "OrderStatusMsg", "TradeVolume", "AvgPx",
)
PUSHED_ORDER_FIELDS = (
    "SecurityID", "SecurityName", "OrderID", "OrderQty", "Side", "OrderPrice", "OrderType",
    "OrderDate", "OrderEntryTime", "OrderStatusMsg", "TradeVolume", "AvgPx",
)


def _position(code, name, amount, frozen, cost, price, net_money):
    return {
        "SecurityID": code, "SecurityName": name, "ActualAmt": amount, "FrozenQty": frozen,
        "AvailableStockBalance": amount - frozen, "MarketValue": round(amount * price, 2),
        "CostPrice": cost, "MarketPrice": price, "NetMoney": net_money,
    }


def _fill(code, name, order_id, volume, side, price, date, time, commission):
    return {
        "SecurityID": code, "SecurityName": name, "OrderID": order_id, "TradeVolume": volume,
        "Side": side, "AvgPx": price, "SettleDate": date, "TransactTime": time,
        "Commission": commission,
    }


def _order(code, name, order_id, qty, side, price, price_type, date, time, status, traded, avg):
    # Kept in one internal shape; the polled and pushed views are rendered from it.
    return {
        "SecurityID": code, "SecurityName": name, "OrderID": order_id, "OrderQty": qty,
        "Side": side, "OrderPrice": price, "OrderType": price_type, "OrderDate": date,
        "OrderTime": time, "OrderStatusMsg": status, "TradeVolume": traded, "AvgPx": avg,
    }


def _instruction(token, code, inst_id, order_id, qty, side, price, price_type, date, time,
                 status, cancelled, traded, avg, msg):
    return {
        "security": code, "instructionid": inst_id, "orderid": order_id, "qty": qty,
        "side": side, "price": price, "pricetype": price_type, "date": date, "time": time,
        "statusmsg": status, "qtycancel": cancelled, "qtytrade": traded, "avgpx": avg,
        "msg": msg, "fund_token": token,
    }


def sample_accounts():
    """The sandbox's accounts: the online-account list and one book per fund_token."""
    accounts = [
        {"AccountID": "880001", "TradeType": "0", "fund_token": "tk-880001-0",
         "AccountName": "样例普通账户"},
        {"AccountID": "880001", "TradeType": "1", "fund_token": "tk-880001-1",
         "AccountName": "样例信用账户"},
        {"AccountID": "880002", "TradeType": "0", "fund_token": "tk-880002-0",
         "AccountName": "样例普通账户二"},
    ]
    main = "tk-880001-0"
    books = {
        main: {
            "balances": [{"AvailableValue": 152340.5, "MarketValue": 63873.0,
                          "TotalAssets": 216213.5, "FrozenValue": 1050.0}],
            "positions": [
                _position("000001", "平安银行", 1000, 0, 10.0, 10.5, 500.0),
                _position("600000", "浦发银行", 2000, 500, 7.5, 7.2, 0),
                _position("510300", "沪深300ETF", 3000, 0, 3.512, 3.498, 0),
                _position("159915", "创业板ETF", 5000, 0, 2.0, 2.131, 655.0),
                _position("688981", "中芯国际", 200, 0, 0, 48.35, 0),
                _position("830799", "艾融软件", 300, 0, 21.0, 22.4, 0),
                _position("204001", "GC001", 10, 0, 1.8, 1.8, 0),
            ],
            "fills": [
                _fill("000001", "平安银行", "O0001", 1000, 0, 10.0, "20240105", "09:30:15", 5.0),
                _fill("600000", "浦发银行", "O0002", 2000, 0, 7.5, "20240105", "09:41:02", 5.0),
                _fill("159915", "创业板ETF", "O0003", 5000, 0, 2.0, "20240105", "10:02:47", 1.0),
                _fill("600000", "浦发银行", "O0004", 500, 1, 7.31, "", "13:15:00", 5.0),
            ],
            "orders": [
                _order("000001", "平安银行", "O0001", 1000, 0, 10.0, 0, "20240105", "09:30:10",
                       "已成", 1000, 10.0),
                _order("600000", "浦发银行", "O0004", 500, 1, 7.31, 0, "20240105", "13:14:58",
                       "已成", 500, 7.31),
                _order("688981", "中芯国际", "O0005", 200, 0, 48.0, 0, "20240105", "14:20:00",
                       "已报", 0, 0.0),
                _order("510300", "沪深300ETF", "O0006", 1000, 1, 0.0, 3, "20240105",
                       "14:30:00", "已报", 0, 0.0),
            ],
            "instructions": [
                _instruction(main, "000001", "I0001", "O0001", 1000, 0, 10.0, 0, "20240105",
                             "09:30:09", "已成", 0, 1000, 10.0, ""),
                _instruction(main, "600000", "I0002", "O0004", 500, 1, 7.31, 0, "20240105",
                             "13:14:57", "已成", 0, 500, 7.31, ""),
                _instruction(main, "688981", "I0003", "O0005", 200, 0, 48.0, 0, "20240105",
                             "14:19:59", "已报", 0, 0, 0.0, ""),
                _instruction(main, "510300", "I0004", "O0006", 1000, 1, 0.0, 3, "20240105",
                             "14:29:59", "已报", 0, 0, 0.0, ""),
            ],
        },
        "tk-880001-1": {
            "balances": [{"AvailableValue": 50000.0, "MarketValue": 0.0,
                          "TotalAssets": 50000.0, "FrozenValue": 0.0}],
            "positions": [], "fills": [], "orders": [], "instructions": [],
        },
        "tk-880002-0": {
            "balances": [{"AvailableValue": 8000.0, "MarketValue": 10500.0,
                          "TotalAssets": 18500.0, "FrozenValue": 0.0}],
            "positions": [_position("000001", "平安银行", 1000, 0, 10.2, 10.5, 0)],
            "fills": [],
            "orders": [],
            "instructions": [
                _instruction("tk-880002-0", "000001", "I0101", "O0101", 1000, 0, 10.2, 0,
                             "20240104", "10:00:00", "已成", 0, 1000, 10.2, ""),
            ],
        },
    }
    return accounts, books


def _polled_order(order):
    view = {k: order[k] for k in POLLED_ORDER_FIELDS if k != "OrderTypeMsg"}
    view["OrderTypeMsg"] = PRICE_TYPE_TEXT.get(order["OrderType"], str(order["OrderType"]))
    return {k: view[k] for k in POLLED_ORDER_FIELDS}


def _pushed_order(order):
    view = {k: order[k] for k in PUSHED_ORDER_FIELDS if k != "OrderEntryTime"}
    view["OrderEntryTime"] = order["OrderTime"]
    return {k: view[k] for k in PUSHED_ORDER_FIELDS}


def _instruction_time(item):
    return "%s-%s-%s %s" % (item["date"][:4], item["date"][4:6], item["date"][6:], item["time"])


class _Connection(socketserver.StreamRequestHandler):
    """One client connection: answers request lines, carries pushes."""

    def setup(self):
        super().setup()
        self._write_lock = threading.Lock()
        self.server.service._connected(self)

    def handle(self):
        service = self.server.service
        for raw in self.rfile:
            line = raw.strip()
            if line:
                self.send(service.answer_line(line, self))

    def finish(self):
        self.server.service._disconnected(self)
        super().finish()

    def send(self, message):
        data = (json.dumps(message, ensure_ascii=False) + "\n").encode("utf-8")
        with self._write_lock:
            try:
                self.wfile.write(data)
                self.wfile.flush()
            except OSError:
                # The client went away; its handler thread ends on its own.
                return False
        return True

    def close(self):
        with contextlib.suppress(OSError):
            self.connection.shutdown(socket.SHUT_RDWR)


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, service):
        self.service = service
        super().__init__(address, _Connection)


class BrokerageService:
    """The account data and request catalogue of the simulated broker.

    ``accounts`` is the online-account list; ``books`` maps each fund_token to
    its ``balances``, ``positions``, ``fills``, ``orders`` and ``instructions``.
    ``requests`` records every request envelope received, in order.
    """

    def __init__(self, accounts=None, books=None):
        if accounts is None or books is None:
            accounts, books = sample_accounts()
        self.accounts = accounts
        self.books = books
        self.requests = []
        self._lock = threading.Lock()
        self._injected = {}
        self._subscribers = {}
        self._connections = set()
        self._server = None
        self._thread = None

    # -- service lifetime ------------------------------------------------------------------

    @property
    def address(self):
        host, port = self._server.server_address[:2]
        return "%s:%d" % (host, port)

    def start(self, port=0):
        """Listen on 127.0.0.1:port and serve on a daemon thread."""
        self._server = _Server(("127.0.0.1", port), self)
        self._thread = threading.Thread(
            target=self._server.serve_forever, args=(0.05,), name="sandbox-brokerage",
            daemon=True)
        self._thread.start()
        return self

    def serve_forever(self, port=DEFAULT_PORT):
        self._server = _Server(("127.0.0.1", port), self)
        try:
            self._server.serve_forever()
        finally:
            self._server.server_close()

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            conn.close()
        self._thread.join()

    def _connected(self, conn):
        with self._lock:
            self._connections.add(conn)

    def _disconnected(self, conn):
        with self._lock:
            self._connections.discard(conn)
            for subscribers in self._subscribers.values():
                subscribers.discard(conn)

    # -- test and demo controls ----------------------------------------------------------------

    def token(self, account_id, trade_type="0"):
        """The fund_token of an account listed with the given trade type."""
        for entry in self.accounts:
            if entry["AccountID"] == account_id and entry["TradeType"] == trade_type:
                return entry["fund_token"]
        raise KeyError((account_id, trade_type))

    def inject_reply(self, req_type, reply, with_id=True):
        """Answer the next request of ``req_type`` with ``reply`` instead.

        The request's ``id`` is added unless ``with_id`` is false or the reply
        already has one. Several injected replies are used in order.
        """
        with self._lock:
            self._injected.setdefault(req_type, []).append((dict(reply), with_id))

    def subscriber_count(self, fund_token):
        with self._lock:
            return len(self._subscribers.get(fund_token, ()))

    def push_record(self, fund_token, record):
        """Push one raw record on the order channel; returns how many clients got it."""
        message = {"push": PUSH_CHANNEL, "params": record}
        with self._lock:
            targets = list(self._subscribers.get(fund_token, ()))
        return sum(1 for conn in targets if conn.send(message))

    def push_order_update(self, fund_token, order_id, **changes):
        """Change a broker order (status, traded volume, ...) and push it.

        Returns the pushed record, which names the order's price type
        ``OrderType`` and its time ``OrderEntryTime``.
        """
        with self._lock:
            order = next((o for o in self.books[fund_token]["orders"]
                          if o["OrderID"] == order_id), None)
            if order is None:
                raise KeyError(order_id)
            unknown = set(changes) - set(order)
            if unknown:
                raise KeyError(sorted(unknown))
            order.update(changes)
            record = _pushed_order(order)
        self.push_record(fund_token, record)
        return record

    # -- request catalogue ---------------------------------------------------------------------

    def answer_line(self, line, conn):
        try:
            request = json.loads(line)
        except ValueError:
            return {"id": None, "error": {"message": "请求格式错误"}}
        if not isinstance(request, dict):
            return {"id": None, "error": {"message": "请求格式错误"}}
        request_id = request.pop("id", None)
        with self._lock:
            self.requests.append(request)
            injected = self._injected.get(request.get("ReqType"))
            canned = injected.pop(0) if injected else None
        if canned is not None:
            reply, with_id = canned
            if with_id:
                reply.setdefault("id", request_id)
            return reply
        reply = self.answer(request, conn)
        return dict(reply, id=request_id)

    def answer(self, request, conn=None):
        """The result envelope (without ``id``) for one request envelope."""
        req_type = request.get("ReqType")
        params = request.get("params")
        if not isinstance(params, dict):
            return {"error": {"message": "缺少参数params"}}
        if req_type == REQ_ACCOUNTS:
            if params.get("action") != "getOnlineAccount":
                return {"error": {"message": "未知操作: %s" % params.get("action")}}
            with self._lock:
                return {"result": {"Accounts": copy.deepcopy(self.accounts)}}
        if req_type in STOCKNX_QUERIES:
            return self._answer_stocknx(req_type, request.get("method"), params)
        if req_type == REQ_INSTRUCTIONS:
            return self._answer_instructions(request.get("method"), params)
        if req_type == REQ_SUBSCRIBE:
            return self._subscribe(params, conn)
        return {"error": {"message": "未知的请求类型: %s" % (req_type,)}}

    def _book(self, params):
        return self.books.get(params.get("fund_token"))

    def _answer_stocknx(self, req_type, method, params):
        fun_id, part = STOCKNX_QUERIES[req_type]
        if method != "stocknx" or params.get("FunID") != fun_id:
            return {"error": {"message": "功能号错误: %s/%s" % (method, params.get("FunID"))}}
        with self._lock:
            book = self._book(params)
            if book is None:
                return {"error": {"message": "无效的fund_token"}}
            records = copy.deepcopy(book[part])
        if part == "orders":
            records = [_polled_order(o) for o in records]
        return {"result": {"Array": records}}

    def _answer_instructions(self, method, params):
        if method != "new_instmanage" or params.get("action") != "query":
            return {"msg": "不支持的指令操作"}
        wanted = params.get("instructionid")
        start, end = params.get("startdate"), params.get("enddate")
        with self._lock:
            if self._book(params) is None:
                return {"msg": "无效的fund_token"}
            # The instruction service answers for every account online in the session;
            # callers keep their own account's instructions by fund_token.
            orders = [copy.deepcopy(item) for book in self.books.values()
                      for item in book["instructions"]
                      if wanted is None or item["instructionid"] == wanted]
        if start and end:
            orders = [o for o in orders if start <= _instruction_time(o) <= end]
        return {"result": {"orders": orders, "total": len(orders)}}

    def _subscribe(self, params, conn):
        if params.get("action") != "subscribe" or params.get("Subkey") != PUSH_CHANNEL:
            return {"error": {"message": "不支持的订阅: %s" % params.get("Subkey")}}
        token = params.get("fund_token")
        with self._lock:
            if token not in self.books:
                return {"error": {"message": "无效的fund_token"}}
            if conn is not None:
                self._subscribers.setdefault(token, set()).add(conn)
        return {"result": {"Subkey": PUSH_CHANNEL, "status": "subscribed"}, "error": {}}


@contextlib.contextmanager
def running_brokerage(port=0, accounts=None, books=None):
    """Run a ``BrokerageService`` on 127.0.0.1 for the duration of the block."""
    service = BrokerageService(accounts, books).start(port)
    try:
        yield service
    finally:
        service.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Simulated brokerage account on loopback.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    args = parser.parse_args(argv)
    service = BrokerageService()
    print("brokerage sandbox on 127.0.0.1:%d (VARDEN_BROKER_ADDR)" % args.port, flush=True)
    try:
        service.serve_forever(args.port)
    except KeyboardInterrupt:
        print("brokerage sandbox stopped", flush=True)


if __name__ == "__main__":
    main()
