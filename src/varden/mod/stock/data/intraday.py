"""Stand-in: the sample live feed: today's records of one instrument, deterministic per (code, day).

A day's whole session is generated from a seed of (code, day) and anchored on the last
closed bar of the store, then cut at ``now``; so the records up to a given minute never
depend on when they are asked for.

Record keys: every record has "trade_date" (a ``pd.Timestamp``), "ticker" (the code without
its suffix), "open", "close", "high", "low", "volume", "turnover"; futures add "settle" (the
running volume-weighted price) and "open_interest"; options add "settle", "open_interest",
"delta", "implied_volatility", "exercise_amount" and "volume_num" (number of trades).

Minute stamps: stocks, funds, indexes, options and day-only futures 09:30 (the opening
auction), 09:31-11:30, 13:01-15:00; night-trading futures 21:00-23:00 on the previous trading
evening, then 09:00-10:15, 10:31-11:30, 13:31-15:00. The daily record sums the minutes so far
and is stamped at 15:00 (futures: midnight of the trading day). The session served is the one
of ``now``'s calendar date; a day that is no trading day, an instrument not listed that day,
an off-exchange fund, or one without a closed bar before that day yields no records.
"""

import math
import os
from contextlib import closing

import numpy as np
import pandas as pd

from varden.mod.stock.data.sample_catalog import FUTURES, OPTION_MULTIPLIER, stable_seed
from varden.mod.stock.data.sample_series import limit_margin
from varden.mod.stock.data.sample_store import open_store

DATE_TYPES = ("daily", "minute")
LIVE_CLOCK_VARIABLE = "VARDEN_LIVE_CLOCK"
ZERO_VOLUME_SHARE = 0.03
_DECIMALS = {"stock": 2, "index": 2, "option": 4}  # funds 3; futures use their tick
_SIGMA = {"stock": 0.0013, "index": 0.0008, "futures": 0.0009, "option": 0.012}  # funds 0.0008


def _clock(day, first, last):
    return list(pd.date_range(day + pd.Timedelta(first), day + pd.Timedelta(last), freq="min"))


def session_stamps(day, previous_day, night):
    """Minute stamps of the trading day ``day`` (midnight Timestamps) in time order."""
    if not night:
        return _clock(day, "09:30:00", "11:30:00") + _clock(day, "13:01:00", "15:00:00")
    return (_clock(previous_day, "21:00:00", "23:00:00") + _clock(day, "09:00:00", "10:15:00")
            + _clock(day, "10:31:00", "11:30:00") + _clock(day, "13:31:00", "15:00:00"))


def _lookup(code, day):
    """Instrument row, previous trading day and last closed bar, or None when not quoted."""
    day_text = day.strftime("%Y-%m-%d")
    with closing(open_store()) as conn:
        inst = conn.execute(
            "SELECT type, night_session, start_date, end_date, underlying_symbol, "
            "contract_multiplier FROM instruments WHERE symbol = ?", (code,)).fetchone()
        if inst is None:
            raise ValueError(f"unknown instrument code: {code!r}")
        kind, night, start, end, underlying, multiplier = inst
        trading = conn.execute("SELECT 1 FROM trading_days WHERE date = ?", (day_text,)).fetchone()
        if kind == "ota" or not trading or not start <= day_text <= end:
            return None
        previous_day = conn.execute(
            "SELECT max(date) FROM trading_days WHERE date < ?", (day_text,)).fetchone()[0]
        last = conn.execute(
            "SELECT close, volume, is_st, open_interest, delta, implied_volatility "
            "FROM daily_bars WHERE symbol = ? AND date < ? ORDER BY date DESC LIMIT 1",
            (code, day_text)).fetchone()
    if last is None or previous_day is None:
        return None
    return {
        "kind": kind, "night": bool(night), "previous_day": pd.Timestamp(previous_day),
        "tick": FUTURES[underlying][5] if kind == "futures" else None,
        "multiplier": multiplier or 1.0, "close": last[0], "volume": last[1],
        "is_st": bool(last[2]), "open_interest": last[3], "delta": last[4], "iv": last[5],
    }


def _round_price(values, info):
    if info["tick"]:
        return np.round(np.round(values / info["tick"]) * info["tick"], 4)
    return np.round(values, _DECIMALS.get(info["kind"], 3))


def _session(code, day, info):
    """Every minute record of the day's whole session."""
    stamps = session_stamps(day, info["previous_day"], info["night"] and info["kind"] == "futures")
    n = len(stamps)
    rng = np.random.default_rng(stable_seed(code, day.date()))
    z = rng.standard_normal((n, 6))
    idle = rng.random(n) < ZERO_VOLUME_SHARE
    idle[0] = False
    kind, anchor = info["kind"], info["close"]
    ret = _SIGMA.get(kind, 0.0008) * z[:, 0]
    ret[idle] = 0.0
    lower, upper = 0.0, np.inf
    if kind not in ("futures", "option"):
        margin = limit_margin(code, kind, info["is_st"])
        if not math.isnan(margin):  # stay inside the day's price limits
            lower, upper = anchor * (1 - 0.95 * margin), anchor * (1 + 0.95 * margin)
    close = _round_price(np.clip(anchor * np.exp(np.cumsum(ret)), lower, upper), info)
    open_ = np.concatenate([[close[0]], close[:-1]])
    spread = 0.4 * _SIGMA.get(kind, 0.0008)
    high = _round_price(np.clip(np.maximum(open_, close) * (1 + spread * np.abs(z[:, 1])),
                                None, upper), info)
    low = _round_price(np.clip(np.minimum(open_, close) * (1 - spread * np.abs(z[:, 2])),
                               lower, None), info)
    lot = 100 if kind not in ("futures", "option", "index") else 1
    volume = np.round(max(info["volume"] or 0.0, 1.0) / n * np.exp(0.5 * z[:, 3]) / lot) * lot
    volume[idle] = 0.0
    for values in (open_, high, low):
        values[idle] = close[idle]
    multiplier = OPTION_MULTIPLIER if kind == "option" else info["multiplier"]
    turnover = np.round(volume * (open_ + high + low + close) / 4 * multiplier, 2)
    records = [
        {"trade_date": stamp, "ticker": code.split(".")[0], "open": o, "close": c, "high": h,
         "low": lo, "volume": v, "turnover": t}
        for stamp, o, c, h, lo, v, t in zip(stamps, open_.tolist(), close.tolist(), high.tolist(),
                                             low.tolist(), volume.tolist(), turnover.tolist())]
    if kind in ("futures", "option"):
        traded = np.cumsum(volume)
        vwap = np.where(traded > 0, np.cumsum(turnover) / np.maximum(traded, 1) / multiplier, close)
        settle = _round_price(vwap, info).tolist()
        for record, value in zip(records, settle):
            record["settle"] = value
    if kind in ("futures", "option"):
        change = np.cumsum(np.round(volume * 0.1 * z[:, 4]))
        interest = np.maximum((info["open_interest"] or 0.0) + change, 0.0)
        for record, value in zip(records, interest.tolist()):
            record["open_interest"] = value
    if kind == "option":
        delta = np.clip((info["delta"] or 0.0) + np.cumsum(0.002 * z[:, 4]), -1.0, 1.0)
        iv = np.maximum((info["iv"] or 0.2) + np.cumsum(0.0005 * z[:, 5]), 0.01)
        for record, d, v, vol in zip(records, np.round(delta, 4).tolist(),
                                     np.round(iv, 4).tolist(), volume.tolist()):
            record.update(delta=d, implied_volatility=v, exercise_amount=0.0,
                          volume_num=float(np.floor(vol / 4) + (vol > 0)))
    return records


def _daily(minutes, day, kind):
    record = dict(minutes[-1])
    record.update(
        trade_date=day if kind == "futures" else day + pd.Timedelta(hours=15),
        open=minutes[0]["open"], high=max(m["high"] for m in minutes),
        low=min(m["low"] for m in minutes), volume=sum(m["volume"] for m in minutes),
        turnover=round(sum(m["turnover"] for m in minutes), 2))
    if kind == "option":
        record["volume_num"] = sum(m["volume_num"] for m in minutes)
        record["exercise_amount"] = sum(m["exercise_amount"] for m in minutes)
    return record


def live_clock():
    """The feed's notion of now: ``$VARDEN_LIVE_CLOCK`` when set (the sandbox pins it so that a
    tour run at night or on a weekend still sees a session), else the local time."""
    pinned = os.environ.get(LIVE_CLOCK_VARIABLE)
    return pd.Timestamp(pinned) if pinned else pd.Timestamp.now()


def live_records(code, date_type, now=None):
    """Today's records of ``code`` up to ``now`` (default ``live_clock()``): a list of fresh
    dicts, oldest first; "daily" gives at most one record, "minute" one per minute."""
    if date_type not in DATE_TYPES:
        raise ValueError(f"date_type must be one of {DATE_TYPES}, not {date_type!r}")
    now = live_clock() if now is None else pd.Timestamp(now)
    day = now.normalize()
    info = _lookup(code, day)
    if info is None:
        return []
    minutes = [record for record in _session(code, day, info) if record["trade_date"] <= now]
    if date_type == "minute" or not minutes:
        return minutes
    return [_daily(minutes, day, info["kind"])]
