"""get_price over fifty codes of the sample store: time per code, and how much of it is the
research module's own work rather than the data layer's."""

import statistics
import time

import pandas as pd
import py_get_price

from varden.mod.kelpie.research import studybench
from varden.mod.stock.data.fast_data_source import FastDataSource

CODES = 50
FIELDS = ["open", "close", "volume"]
BAR_COUNT = 20


def pick_codes(day):
    listed = studybench.get_all_securities(None, day)
    codes = [code for code, kind in zip(listed.index, listed["type"]) if kind != "option"]
    return (codes * CODES)[:CODES]


def per_code_us(runs, repeat):
    """Runs each function `repeat` times, interleaved; median microseconds per code of each."""
    times = {name: [] for name in runs}
    for _ in range(repeat):
        for name, fn in runs.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) / CODES * 1e6 for name, t in times.items()}


class PreparedSource:
    """Stands in for the data layer with a ready answer, to time the module's own work."""

    frame = None

    def history_window(self, *args):
        return self.frame


def main():
    days = studybench.get_all_trade_days()
    day = days[days < pd.Timestamp.now().normalize()][-5]
    codes = pick_codes(day)
    end_ns = day.value

    def data_layer_alone():
        for code in codes:
            FastDataSource().history_window(code, end_ns, BAR_COUNT, "1d", FIELDS, False, "pre",
                                            None)

    def ours():
        studybench.get_price(codes, end_date=day, bar_count=BAR_COUNT, fields=FIELDS)

    def python():
        py_get_price.get_price(codes, end_date=day, bar_count=BAR_COUNT, fields=FIELDS)

    ours()  # warm the store and the imports
    full = per_code_us({"ours": ours, "python": python, "layer": data_layer_alone}, repeat=9)

    PreparedSource.frame = FastDataSource().history_window(codes[0], end_ns, BAR_COUNT, "1d",
                                                           FIELDS, False, "pre", None)
    studybench.FastDataSource = py_get_price.FastDataSource = PreparedSource
    own = per_code_us({"ours": ours, "python": python}, repeat=201)

    print("get_price: ours %.1f us, python %.1f us, ratio %.2f (per code, sample store)"
          % (full["ours"], full["python"], full["python"] / full["ours"]))
    print("get_price own work: ours %.2f us, python %.2f us, ratio %.2f (per code, data layer "
          "answering at once)" % (own["ours"], own["python"], own["python"] / own["ours"]))
    print("get_price: of %.1f us per code, the data layer's history_window alone takes %.1f us; "
          "the research module's own share is %.2f us (%.3f%%)"
          % (full["ours"], full["layer"], own["ours"], 100.0 * own["ours"] / full["ours"]))


if __name__ == "__main__":
    main()
