"""A small research script written for a type checker (`mypy --strict` and pyright in strict
mode pass on it).

It reads fundamentals, the calendar and bars, completes a daily history block with today's
live bars, and reads a live account. Run it against the sandbox:

    python -m varden.sandbox --run examples/typed_research.py
"""

import logging
import os
import sys

import numpy as np
import numpy.typing as npt
import pandas as pd

from varden.mod.kelpie.research.normal_query.tablespec import valuation
from varden.mod.kelpie.research.studybench import (
    get_all_securities,
    get_fundamentals,
    get_last_trade_day,
    get_price,
    get_security_info,
    get_trade_days,
    query,
)
from varden.mod.kelpie.utils.kprpc import kp_api
from varden.mod.stock.data.quotewire import quotation_get_remote
from varden.mod.tradeapi.api.dealdesk import TradeAPI

SANDBOX_USER = ("demo", "demo")
ACCOUNT_ID = "880001"
STOCK = "000001.SZ"
BLOCK_FIELDS = ["trade_date", "open", "close", "volume"]


def valuation_of(codes: list[str]) -> pd.DataFrame:
    q = query(valuation.symbol, valuation.pe_ratio).filter(valuation.symbol.in_(codes)).limit(5)
    answer = get_fundamentals(q)
    if not isinstance(answer, pd.DataFrame):
        raise TypeError(f"expected a DataFrame from the service, got {type(answer).__name__}")
    return answer


def closes(codes: list[str], day: pd.Timestamp, count: int) -> dict[str, pd.Series]:
    """The last `count` closes up to `day` of each code."""
    bars = get_price(codes, end_date=day, bar_count=count, fields=["close"])
    if not isinstance(bars, dict):
        raise TypeError("a list of codes gives one frame per code")
    return {code: frame["close"] for code, frame in bars.items()}


def history_block(code: str, day: pd.Timestamp) -> npt.NDArray[np.float64]:
    """Closed daily bars up to `day`, as the data layer hands them over: the bar time in
    int64 nanoseconds, then the other fields."""
    bars = get_price(code, end_date=day, bar_count=3, fields=BLOCK_FIELDS[1:], fq=None)
    if not isinstance(bars, pd.DataFrame):
        raise TypeError(f"no bars for {code}")
    times = pd.DatetimeIndex(bars.index).as_unit("ns").to_numpy().astype(np.int64)
    return np.column_stack([times.astype(np.float64), bars.to_numpy(dtype=np.float64)])


def with_live_bars(code: str, day: pd.Timestamp) -> tuple[int, int]:
    """History rows and live rows after completing the block with today's daily bar."""
    block = history_block(code, day)
    now = pd.Timestamp(os.environ.get("VARDEN_LIVE_CLOCK") or pd.Timestamp.now())
    merged = quotation_get_remote(
        get_security_info(code), now.normalize(), now, block, "1d", BLOCK_FIELDS
    )
    return len(block), len(merged) - len(block)


def account_summary(account_id: str) -> list[str]:
    api = TradeAPI(account_id)
    cash = api.portfolio["available_cash"]
    lines = [f"available cash {cash}"]
    for symbol, position in api.positions.items():
        lines.append(f"{symbol}: {position['amount']} held, last price {position['last_price']}")
    fills = api.get_tradelogs()
    sides = sorted({str(fill["side"]) for fill in fills})
    lines.append(f"{len(fills)} fills, sides {', '.join(sides)}")
    return lines


def main() -> int:
    if not os.environ.get("VARDEN_URL"):
        print("Run me with: python -m varden.sandbox --run examples/typed_research.py",
              file=sys.stderr)
        return 2
    logging.disable(logging.INFO)  # the kit logs every account query at INFO
    kp_api.login(*SANDBOX_USER)
    day = get_last_trade_day()
    stocks = get_all_securities("stock", day)
    codes = [str(code) for code in stocks.index[:3]]
    week = get_trade_days(end_date=day, count=5)
    print(f"{len(stocks)} stocks listed on {day.date()}; last days: "
          f"{[d.strftime('%m-%d') for d in week] if week is not None else []}")
    print(valuation_of(codes).to_string())
    for code, close in closes(codes, day, 3).items():
        print(f"{code}: closes {[round(float(v), 2) for v in close]}")
    history, live = with_live_bars(STOCK, day)
    print(f"{STOCK}: {history} closed daily bars, {live} live bar(s) appended")
    print("\n".join(account_summary(ACCOUNT_ID)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
