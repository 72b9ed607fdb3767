"""Stand-in: seeded daily series of the sample store: bars, capital events, factors and valuations.

Random draws are made per (code, year) over all trading days of that year, so the value of a
past day never depends on the day the store is built.
"""

import bisect
import datetime as dt
import math
from itertools import groupby

import numpy as np

from varden.mod.stock.data.sample_catalog import (
    FUTURES, OPTION_MULTIPLIER, stable_seed,
)

_DECIMALS = {"stock": 2, "index": 2, "ota": 4}  # exchange-traded funds: 3
_NAN = float("nan")


def pre_close_reference(close, event):
    """Ex-rights reference price of a capital event (the same rule the quotation side uses)."""
    _, amount, div_ratio, split, allot_price, allot_num, cons_cash, cons_num, share_split = event
    value = (close - amount + allot_price * allot_num - cons_cash) / (
        div_ratio + 1 / split + allot_num + cons_num) / share_split
    return round(value * 100) / 100


def limit_margin(code, kind, is_st):
    """Price limit width of a day, NaN for securities without limits."""
    if kind in ("index", "ota"):
        return _NAN
    if code.endswith(".BJ"):
        return 0.3
    if code.startswith(("30", "688", "689")):
        return 0.2
    return 0.05 if is_st else 0.1


def draws(code, days, year_days, width):
    """Standard normal draws, one row per day of ``days`` (sorted dates)."""
    out = np.empty((len(days), width))
    row = 0
    for year, group in groupby(days, key=lambda d: d.year):
        group = list(group)
        all_days = year_days[year]
        block = np.random.default_rng(stable_seed(code, year)).standard_normal(
            (len(all_days), width))
        first = bisect.bisect_left(all_days, group[0])
        if all_days[first:first + len(group)] == group:
            out[row:row + len(group)] = block[first:first + len(group)]
        else:
            out[row:row + len(group)] = block[[bisect.bisect_left(all_days, d) for d in group]]
        row += len(group)
    return out


def _shift(values, first):
    return np.concatenate([[first], values[:-1]])


def _dividend_events(inst, days, paused, price_path):
    """(index, event-without-close) per year: a cash dividend, some years bonus shares."""
    events = []
    for year in sorted({d.year for d in days}):
        seed = stable_seed(inst["symbol"], "dividend", year)
        target = dt.date(year, 6, 15) + dt.timedelta(days=seed % 30)
        k = bisect.bisect_left(days, target)
        while k < len(days) and paused[k]:
            k += 1
        if k == 0 or k >= len(days) or days[k].year != year:
            continue
        bonus = 0.3 if seed % 4 == 0 else 0.0
        events.append((k, 0.01 + (seed % 25) / 1000, bonus))
    return events


def spot_series(inst, days, year_days):
    """Bars of a stock, fund, index or off-exchange fund over ``days`` (its trading days)."""
    code, kind, sigma = inst["symbol"], inst["type"], inst["sigma"]
    dec = _DECIMALS.get(kind, 3)
    n = len(days)
    z = draws(code, days, year_days, 6)
    is_st = np.array([inst["st_since"] is not None and d >= inst["st_since"] for d in days])
    margin = np.array([limit_margin(code, kind, st) for st in is_st])
    paused = (z[:, 5] > 2.65) & (kind not in ("index", "ota"))
    paused[0] = False
    cap = np.where(np.isnan(margin), 1.0, np.log1p(0.9 * np.nan_to_num(margin, nan=1.0)))
    ret = np.clip(sigma * z[:, 0] + 0.0002, -cap, cap)
    ret[paused] = 0.0
    path = inst["base"] * np.exp(np.cumsum(ret))

    factor = np.ones(n)
    events = []
    if kind == "stock":
        for k, yield_rate, bonus in _dividend_events(inst, days, paused, path):
            prev = round(path[k - 1] / factor[k - 1], dec)
            event = (days[k], round(prev * yield_rate, 3), bonus, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0)
            ref = pre_close_reference(prev, event)
            factor[k:] = factor[k - 1] * prev / ref
            events.append((k, event, ref))
    close = np.round(path / factor, dec)
    prev_close = _shift(close, round(close[0] / math.exp(ret[0]), dec))
    for k, _, ref in events:
        prev_close[k] = ref
    high_limit = np.round(prev_close * (1 + margin), 2)
    low_limit = np.round(prev_close * (1 - margin), 2)
    upper = np.where(np.isnan(high_limit), np.inf, high_limit)
    lower = np.where(np.isnan(low_limit), -np.inf, low_limit)
    close = np.clip(close, lower, upper)
    open_ = np.clip(np.round(prev_close * np.exp(0.3 * sigma * z[:, 1]), dec), lower, upper)
    high = np.clip(np.round(np.maximum(open_, close) * (1 + 0.5 * sigma * np.abs(z[:, 2])), dec),
                   None, upper)
    low = np.clip(np.round(np.minimum(open_, close) * (1 - 0.5 * sigma * np.abs(z[:, 3])), dec),
                  lower, None)
    if kind == "ota":
        open_, high, low = close.copy(), close.copy(), close.copy()
    for arr in (open_, high, low, close):
        arr[paused] = prev_close[paused]

    shares = (inst["float_shares"] or 0.0) * 1e8
    if kind == "index":
        volume = np.round(2.0e10 * np.exp(0.3 * z[:, 4]), -2)
    elif kind == "ota":
        volume = np.zeros(n)
    else:
        volume = np.round(shares * 0.012 * np.exp(0.4 * z[:, 4]), -2)
    volume[paused] = 0.0
    turnover = np.round(volume * (open_ + high + low + close) / 4, 2)
    turnover_rate = volume / shares * 100 if shares else np.full(n, _NAN)
    return {
        "date": days, "open": open_, "high": high, "low": low, "close": close,
        "volume": volume, "turnover": turnover, "prev_close": prev_close,
        "high_limit": high_limit, "low_limit": low_limit, "is_paused": paused.astype(float),
        "is_st": is_st.astype(float), "factor": factor, "turnover_rate": turnover_rate,
    }, [event for _, event, _ in events]


def valuation_rows(inst, series):
    """(symbol, date, pe, pb, ps, market_cap, circulating_market_cap, turnover_ratio) rows."""
    code = inst["symbol"]
    rows = []
    float_shares = inst["float_shares"]
    for d, close, rate in zip(series["date"], series["close"].tolist(),
                              series["turnover_rate"].tolist()):
        seed = stable_seed(code, "fundamentals", d.year)
        base = inst["base"]
        eps = base * (0.03 + (seed % 70) / 1000) * (-0.4 if inst["st_since"] else 1.0)
        bps = base * (0.5 + (seed % 71) / 100)
        sps = base * (0.3 + (seed % 73) / 100)
        rows.append((code, d.isoformat(), round(close / eps, 4), round(close / bps, 4),
                     round(close / sps, 4), round(close * float_shares * 1.25, 4),
                     round(close * float_shares, 4), round(rate, 4)))
    return rows


def underlying_path(underlying, days, year_days):
    """The futures underlying's price level over ``days``."""
    base, sigma = FUTURES[underlying][8], FUTURES[underlying][9]
    ret = sigma * draws(underlying, days, year_days, 1)[:, 0]
    return base * np.exp(np.cumsum(ret)), base * np.exp(np.cumsum(ret) - ret)


def _life_curve(n):
    """Open interest builds up over a contract's life and fades before its end."""
    return np.sin(np.pi * (np.arange(n) + 1) / (n + 1)) ** 0.7 + 0.02


def future_series(inst, life_days, bar_mask, level, prev_level, year_days):
    """Bars of one futures contract; ``level`` / ``prev_level`` are aligned with ``life_days``."""
    code = inst["symbol"]
    tick = inst["tick"]
    sigma = FUTURES[inst["underlying_symbol"]][9]
    z = draws(code, life_days, year_days, 6)
    basis = 1 + ((stable_seed(code) % 41) - 20) / 1000

    def on_tick(values):
        return np.round(np.round(values / tick) * tick, 4)

    close = on_tick(level * basis)
    prev_close = _shift(close, on_tick(prev_level[0] * basis))
    open_ = on_tick(prev_close * np.exp(0.3 * sigma * z[:, 1]))
    high = on_tick(np.maximum(open_, close) * (1 + 0.5 * sigma * np.abs(z[:, 2])))
    low = on_tick(np.minimum(open_, close) * (1 - 0.5 * sigma * np.abs(z[:, 3])))
    settle = on_tick((high + low + 2 * close) / 4)
    prev_settle = _shift(settle, prev_close[0])
    curve = _life_curve(len(life_days))
    volume = np.round(60000 * curve * np.exp(0.4 * z[:, 4]))
    open_interest = np.round(120000 * curve * np.exp(0.05 * z[:, 5]))
    pos_change = open_interest - _shift(open_interest, 0.0)
    turnover = np.round(volume * settle * inst["contract_multiplier"], 2)
    series = {
        "open": open_, "high": high, "low": low, "close": close, "volume": volume,
        "turnover": turnover, "prev_close": prev_close, "settle": settle,
        "prev_settle": prev_settle, "open_interest": open_interest, "pos_change": pos_change,
    }
    out = {key: values[bar_mask] for key, values in series.items()}
    out["date"] = [d for d, keep in zip(life_days, bar_mask) if keep]
    return out


def _norm_cdf(x):
    return 0.5 * (1.0 + np.vectorize(math.erf)(x / math.sqrt(2.0)))


def black_scholes(spot, strike, years, vol, call, rate=0.02):
    """Price and delta of a European option (arrays in, arrays out)."""
    years = np.maximum(years, 1.0 / 365)
    d1 = (np.log(spot / strike) + (rate + vol * vol / 2) * years) / (vol * np.sqrt(years))
    d2 = d1 - vol * np.sqrt(years)
    discount = strike * np.exp(-rate * years)
    if call:
        return spot * _norm_cdf(d1) - discount * _norm_cdf(d2), _norm_cdf(d1)
    return discount * _norm_cdf(-d2) - spot * _norm_cdf(-d1), _norm_cdf(d1) - 1.0


def option_series(inst, days, spot, prev_spot, life_days, year_days):
    """Bars of one option contract over ``days`` (part of its whole life ``life_days``);
    ``spot`` / ``prev_spot`` are the underlying's closes aligned with ``days``."""
    expiry = life_days[-1]
    code, strike, call = inst["symbol"], inst["strike_price"], inst["option_type"] == "C"
    z = draws(code, days, year_days, 6)
    years = np.array([(expiry - d).days / 365 for d in days])
    iv = np.round(0.21 + 0.015 * z[:, 0], 4)
    price, delta = black_scholes(spot, strike, years, iv, call)
    prev_price, _ = black_scholes(prev_spot, strike, years + 1 / 365, iv, call)
    close = np.maximum(np.round(price, 4), 0.0001)
    prev_close = _shift(close, max(round(float(prev_price[0]), 4), 0.0001))
    open_ = np.maximum(np.round(prev_close * np.exp(0.05 * z[:, 1]), 4), 0.0001)
    high = np.round(np.maximum(open_, close) * (1 + 0.04 * np.abs(z[:, 2])), 4)
    low = np.maximum(np.round(np.minimum(open_, close) * (1 - 0.04 * np.abs(z[:, 3])), 4), 0.0001)
    curve = _life_curve(len(life_days))[bisect.bisect_left(life_days, days[0]):][:len(days)]
    volume = np.round(3000 * np.exp(0.6 * z[:, 4]))
    open_interest = np.round(40000 * curve * np.exp(0.05 * z[:, 5]))
    itm = (spot > strike) if call else (spot < strike)
    exercise = np.where(np.array([d == expiry for d in days]) & itm,
                        np.round(open_interest * 0.5), 0.0)
    return {
        "date": days, "open": open_, "high": high, "low": low, "close": close,
        "volume": volume,
        "turnover": np.round((open_ + high + low + close) / 4 * volume * OPTION_MULTIPLIER, 2),
        "prev_close": prev_close, "settle": close, "prev_settle": prev_close,
        "open_interest": open_interest, "delta": np.round(delta, 4), "implied_volatility": iv,
        "exercise_amount": exercise, "volume_num": np.floor(volume / 4) + 1,
    }
