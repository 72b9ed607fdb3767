"""Charts of the tour and the research notebook, drawn with matplotlib (`pip install
'varden[plot]'`); the kit itself draws nothing.

Every function returns a `matplotlib.figure.Figure` made without pyplot, so it works under
any backend: a notebook shows the figure, a script saves it with `figure.savefig(path)`.
"""

import numpy as np
import pandas as pd
from matplotlib.dates import AutoDateLocator, DateFormatter
from matplotlib.figure import Figure

HISTORY_COLOUR, LIVE_COLOUR, BREAK_COLOUR = "tab:blue", "tab:orange", "0.9"
MINUTE = pd.Timedelta(minutes=1).value


def closes(frames, title="Closing prices"):
    """One line per security: `frames` maps a code to its bars (a "close" column)."""
    fig = Figure(figsize=(9, 3.5), layout="constrained")
    ax = fig.add_subplot()
    for code, bars in frames.items():
        ax.plot(bars.index, bars["close"], marker=".", label=code)
    ax.set_title(title)
    ax.set_ylabel("close")
    ax.legend()
    ax.grid(alpha=0.3)
    fig.autofmt_xdate()
    return fig


def completed_block(code, history, completed, fields, column="close"):
    """A history block completed with today's live minute bars.

    `history` is the block handed to the completer (rows of `fields`, bar time first, in
    nanoseconds), `completed` what it returned: the same rows followed by today's bars. The
    history bars are on the left, today's live bars on the right, each in its own colour;
    gaps in today's bars (the midday break) are shaded.
    """
    at, col = 0, fields.index(column)
    when = pd.to_datetime(completed[:, at].astype("int64"))
    live = slice(len(history), None)
    fig = Figure(figsize=(10, 4), layout="constrained")
    past, today = fig.subplots(1, 2, sharey=True, width_ratios=[1, 3])

    past.plot(when[:len(history)], completed[:len(history), col], marker="o",
              color=HISTORY_COLOUR, label="history bars")
    past.set_title("history (daily)")
    past.set_ylabel(column)
    past.xaxis.set_major_locator(AutoDateLocator(maxticks=4))
    past.xaxis.set_major_formatter(DateFormatter("%m-%d"))

    times, values = when[live], completed[live, col].astype(float)
    x, y = list(times), list(values)
    for g in reversed(np.flatnonzero(np.diff(times.asi8) > MINUTE)):
        start, end = times[g], times[g + 1]
        today.axvspan(start, end, color=BREAK_COLOUR, zorder=0)
        today.text(start + (end - start) / 2, np.nanmax(values), "midday break",
                   ha="center", va="top", fontsize=8, color="0.4")
        # A NaN inside the gap breaks the line there instead of bridging it.
        x.insert(g + 1, start + (end - start) / 2)
        y.insert(g + 1, np.nan)
    today.plot(x, y, color=LIVE_COLOUR, label="today's live bars")
    today.set_title("today (live, 1 minute)")
    today.xaxis.set_major_formatter(DateFormatter("%H:%M"))
    for ax in (past, today):
        ax.grid(alpha=0.3)
    fig.legend(loc="outside lower center", ncols=2)
    fig.suptitle("%s: history block completed with today's bars" % code)
    return fig


def positions_by_value(positions):
    """Horizontal bars of the account's positions (rows with "symbol" and "market_value")."""
    ranked = positions.sort_values("market_value")
    fig = Figure(figsize=(7, 0.5 + 0.45 * max(len(ranked), 1)), layout="constrained")
    ax = fig.add_subplot()
    ax.barh(ranked["symbol"], ranked["market_value"], color=HISTORY_COLOUR)
    ax.set_xlabel("market value")
    ax.set_title("Positions by market value")
    ax.grid(axis="x", alpha=0.3)
    return fig
