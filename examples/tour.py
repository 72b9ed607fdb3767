"""A guided tour of varden against the sandbox: what a new user would do in a notebook.

Run it with `make demo`, or by hand:

    python -m varden.sandbox --run examples/tour.py

The sandbox exports VARDEN_URL, VARDEN_QUERYBAY_URL, VARDEN_BROKER_ADDR, VARDEN_LIVE_CLOCK
and VARDEN_ROOT before the kit is imported; the kit itself knows nothing of the sandbox.
"""

import logging
import os
import socket
import stat
import sys
import tempfile
import textwrap
import threading
import time
from urllib.parse import urlsplit

import numpy as np
import pandas as pd

# The kit logs every account query and dropped live record at INFO; the tour shows results.
logging.disable(logging.INFO)
pd.set_option("display.width", 110)
pd.set_option("display.max_columns", 10)

SANDBOX_USER = ("demo", "demo")
ACCOUNT_ID = "880001"
STOCK, STOCK2 = "000001.SZ", "300001.SZ"


def section(title):
    print("\n== %s %s" % (title, "=" * max(0, 72 - len(title))))


def show(label, value):
    text = value if isinstance(value, str) else repr(value)
    if "\n" in text:
        print("%s:\n%s" % (label, textwrap.indent(text, "  ")))
    else:
        print("%s: %s" % (label, text))


def sandbox_reachable():
    url = os.environ.get("VARDEN_URL")
    if not url:
        return "VARDEN_URL is not set"
    parts = urlsplit(url)
    try:
        with socket.create_connection((parts.hostname, parts.port or 80), timeout=2):
            return None
    except OSError as exc:
        return "cannot reach the data service at %s (%s)" % (url, exc.strerror or exc)


def login():
    section("1. Log in to the platform")
    from varden.mod.kelpie.utils.kprpc import kp_api

    kp_api.login(*SANDBOX_USER)
    mode = stat.S_IMODE(os.stat(kp_api._token_file).st_mode)
    show("data service", kp_api.base_url)
    show("credential file", "%s (mode %o)" % (kp_api._token_file, mode))
    return kp_api


def fundamentals(sb):
    section("2. Fundamentals query")
    from varden.mod.kelpie.research.normal_query.tablespec import valuation

    q = sb.query(valuation.symbol, valuation.pe_ratio, valuation.market_cap).filter(
        valuation.symbol.in_([STOCK, STOCK2])).limit(4)
    show("query text", str(q))
    show("get_fundamentals", sb.get_fundamentals(q).to_string())
    q1 = sb.query(valuation).filter(valuation.symbol == STOCK).limit(2)
    show("run_query", sb.run_query(q1).iloc[:, :6].to_string())


def securities_and_bars(sb):
    section("3. Securities, calendar and bars")
    # The last closed trading day: today's bars are still live (section 5).
    day = sb.get_last_trade_day()
    stocks = sb.get_all_securities("stock", day)
    show("stocks listed on %s" % day.date(), "%d, e.g. %s" % (len(stocks), list(stocks.index[:5])))
    show("last five trading days", [d.strftime("%Y-%m-%d") for d in
                                     sb.get_trade_days(end_date=day, count=5)])
    show("normalize_symbol('300001')", sb.normalize_symbol("300001"))
    fields = ["open", "close", "volume"]
    one = sb.get_price(STOCK, end_date=day, bar_count=3, fields=fields)
    show("get_price %s" % STOCK, one.to_string())
    several = sb.get_price([STOCK, STOCK2], end_date=day, bar_count=3, fields=fields)
    show("get_price as a dict", {code: frame.shape for code, frame in several.items()})
    panel = sb.get_price([STOCK, STOCK2], end_date=day, bar_count=2, fields=fields,
                         is_panel=True)
    show("get_price as a panel ('close')", panel["close"].to_string())
    candles = sb.get_candle_stick(STOCK, end_date=day, bar_count=3, fields=["open", "close"])
    show("get_candle_stick (remote)", candles.to_string() if hasattr(candles, "to_string")
         else candles)
    return day


def research_files(sb):
    section("4. Research files")
    with tempfile.TemporaryDirectory() as folder:
        local = os.path.join(folder, "notes.txt")
        show("write_file bytes", sb.write_file(local, "收益曲线 looks fine\n"))
        show("upload_file", sb.upload_file(local, "reports"))
        back = os.path.join(folder, "back")
        os.mkdir(back)
        show("download_file bytes", sb.download_file("reports/notes.txt", back))
        show("read back", sb.read_file(os.path.join(back, "notes.txt")).decode("utf-8").strip())
    show("notify_push", sb.notify_push("tour finished the file section"))
    show("get_api_usage", sb.get_api_usage().to_string())


def history_block(source, code, day, fields, count=3):
    """The block the data layer would hand over: closed daily bars before `day`."""
    end = source.calendar_day(day - pd.Timedelta(days=1)) if hasattr(source, "calendar_day") \
        else day - pd.Timedelta(days=1)
    bars = source.history_window(code, pd.Timestamp(end).value, count, "1d",
                                 fields[1:], False, None)
    block = bars.copy()
    block.insert(0, fields[0], bars.index.values.astype("int64"))
    return block[fields].to_numpy(dtype=float)


def show_block(label, before, after, fields):
    added = after[len(before):]
    frame = pd.DataFrame(added, columns=fields)
    frame[fields[0]] = pd.to_datetime(frame[fields[0]].astype("int64"))
    print("%s: %d history rows + %d live rows" % (label, len(before), len(added)))
    print(textwrap.indent(frame.tail(3).to_string(index=False), "  "))


def block_chart(source, inst, day, clock, fields):
    """The minute block of a longer history as a chart, a PNG in the settings folder."""
    try:
        import matplotlib
    except ImportError:
        show("chart", "not drawn: matplotlib is missing "
                      "(pip install matplotlib, or the varden[plot] extra)")
        return
    matplotlib.use("Agg")
    import charts  # beside this script
    from varden.mod.kelpie import setting
    from varden.mod.stock.data.quotewire import quotation_get_remote

    block = history_block(source, inst.order_book_id, day, fields, count=10)
    completed = quotation_get_remote(inst, day, clock, block, "1m", fields)
    path = os.path.join(setting.ROOT_PATH, "completed_block.png")
    charts.completed_block(inst.order_book_id, block, completed, fields).savefig(path, dpi=100)
    show("chart of the completed minute block", "%s (%d bytes)" % (path, os.path.getsize(path)))


def live_quotes():
    section("5. Live quotation: history blocks completed with today's bars")
    from varden.mod.stock.data.fast_data_source import FastDataSource
    from varden.mod.stock.data.quotewire import quotation_get_remote

    source = FastDataSource()
    clock = pd.Timestamp(os.environ.get("VARDEN_LIVE_CLOCK") or pd.Timestamp.now())
    day = clock.normalize()
    show("live feed clock", str(clock))
    inst = source.instrument(STOCK)
    fields = ["trade_date", "open", "close", "volume", "factor", "prev_close"]
    block = history_block(source, STOCK, day, fields)
    merged = quotation_get_remote(inst, day, clock, block, "1d", fields)
    show_block("stock daily " + STOCK, block, merged, fields)
    minute = quotation_get_remote(inst, day, clock, block, "1m", fields)
    show_block("stock minute " + STOCK, block, minute, fields)
    block_chart(source, inst, day, clock, fields)

    future = [i for i in source.get_all_instruments()
              if i.type == "futures" and i.listed_on(day)][0]
    ffields = ["trade_date", "open", "close", "settle", "open_interest"]
    fblock = history_block(source, future.order_book_id, day, ffields)
    show_block("futures minute " + future.order_book_id, fblock,
               quotation_get_remote(future, day, clock, fblock, "1m", ffields), ffields)

    option = [i for i in source.get_all_instruments()
              if i.type == "option" and i.listed_on(day)][0]
    # The option daily getter re-encodes the bar time under "date".
    ofields = ["date", "open", "close", "settle", "volume"]
    oblock = history_block(source, option.order_book_id, day, ofields)
    show_block("option daily " + option.order_book_id, oblock,
               quotation_get_remote(option, day, clock, oblock, "1d", ofields), ofields)


def screening(day):
    section("6. Question screening")
    from varden.mod.stock.utils.querybay import QueryBay

    question = "银行股"
    answer = QueryBay().question(question, day - pd.Timedelta(days=3), day)
    show("question", question)
    show("answer", "\n".join("%s: %s" % item for item in answer.items()))


def live_account():
    section("7. Live account (simulated brokerage)")
    from varden.mod.tradeapi.api.dealdesk import TradeAPI

    api = TradeAPI(ACCOUNT_ID)
    show("portfolio", dict(api.portfolio))
    positions = pd.DataFrame([dict(p) for p in api.positions.values()])
    show("positions", positions[["symbol", "name", "amount", "last_price", "pnl",
                                 "profit_rate"]].to_string(index=False))
    logs = pd.DataFrame([dict(t) for t in api.get_tradelogs()])
    show("get_tradelogs", logs[["symbol", "side", "amount", "trade_price", "datetime"]]
         .to_string(index=False))
    orders = pd.DataFrame([dict(o) for o in api.secondary_orders()])
    show("secondary_orders", orders[["symbol", "side", "amount", "price", "status"]]
         .to_string(index=False))
    inst = pd.DataFrame([dict(o) for o in api.get_orders()])
    show("get_orders", inst[["order_id", "symbol", "side", "price_type", "status"]]
         .to_string(index=False))

    pushed, arrived = [], threading.Event()

    def on_push(order):
        pushed.append(order)
        arrived.set()

    api.register_push(on_push)
    if arrived.wait(5):
        order = pushed[0]
        show("pushed order update", "%s %s %s: %s (%s of %s traded)" % (
            order.symbol, order.side, order.secondary_order_id, order.status,
            order.trade_amount, order.amount))
    else:
        show("pushed order update", "none within 5 s")


def gateway_session():
    section("8. Trading gateway session")
    from varden.mod.tradeapi.sdk.gatelink import GatewayClient

    try:
        session = GatewayClient(ACCOUNT_ID)._make_session(timeout=5)
    except OSError as exc:
        show("gateway", "not reachable on 127.0.0.1:9999 (%s)" % (exc.strerror or exc))
        return
    with session:
        show("session", "hand-shake done: protocol confirm, protocol auth, client auth, login")


def host_information():
    section("9. Host information")
    import hostprobe

    info = hostprobe.get_system_info()
    show("get_system_info()", "%d bytes: %s" % (len(info), info.decode("utf-8", "replace")))


STRATEGY = '''
def init(context):
    context.days = get_trade_days(end_date=context.now, count=3)

def handle_bar(context, bar_dict):
    bars = get_price("{stock}", end_date=context.now, bar_count=2, fields=["close"])
    if len(bars) == 2 and bars["close"].iloc[-1] >= bars["close"].iloc[0]:
        order_shares("{stock}", 100)

def on_order(context, order):
    print("    on_order  order %d %s" % (order.order_id, order.status.value))

def on_trade(context, trade):
    print("    on_trade  order %d: %d x %s at %.2f" % (
        trade.order_id, trade.quantity, trade.symbol, trade.price))
'''.format(stock=STOCK)


def strategy_run(day):
    section("10. A strategy run through the engine with the kit's mod")
    import kpquant

    start = day - pd.Timedelta(days=6)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "strategy.py")
        with open(path, "w") as f:
            f.write(STRATEGY)
        config = dict(enable_kafka_output=False, daily_last_event="POST_BAR",
                      daily_collect_trade=True, style="backtest", persist_provider=None)
        result = kpquant.run(path, start, day, mods={"kelpie": "varden.mod.kelpie.mod.KelpieMod"},
                             mod_configs={"kelpie": config})
    show("run", "%d trading days, %d orders, %d trades" % (
        len(result.trading_days), len(result.orders), len(result.trades)))


def main():
    problem = sandbox_reachable()
    if problem:
        print("The tour needs the sandbox: %s.\nStart it with `make demo`, or run "
              "`python -m varden.sandbox --run examples/tour.py`." % problem, file=sys.stderr)
        return 2
    started = time.perf_counter()
    login()
    from varden.mod.kelpie.research import studybench as sb

    fundamentals(sb)
    day = securities_and_bars(sb)
    research_files(sb)
    live_quotes()
    screening(day)
    live_account()
    gateway_session()
    host_information()
    strategy_run(day)
    print("\nTour finished in %.1f s." % (time.perf_counter() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
