"""Build and render a query with twenty filters: the compiled builder against plain Python."""

import datetime
import statistics
import timeit

import py_tablespec

from varden.mod.kelpie.research.normal_query import tablespec

DAY = datetime.date(2020, 1, 2)


def build_and_render(ts):
    v, i = ts.valuation, ts.income
    q = ts.StrQuery(v.symbol, v.pe_ratio, v.pb_ratio, i.net_profit).filter(
        v.symbol == "000001.SZ",
        v.symbol != "000002.SZ",
        v.pe_ratio > 10,
        v.pe_ratio < 50.5,
        v.pb_ratio >= 1,
        v.pb_ratio <= 8,
        v.market_cap > 100,
        v.turnover_ratio < 3.5,
        v.symbol.in_(["000001.SZ", "000002.SZ", "600000.SH"]),
        v.ps_ratio.is_(None),
        v.date == DAY,
        i.net_profit > 0,
        i.revenue >= 1e9,
        i.eps.any_([0.1, 0.2]),
        i.roe.all_((5, 10)),
        i.report_type == "annual",
        i.flag == True,  # noqa: E712
        i.symbol.in_({"000001.SZ"}),
        v.circulating_market_cap <= 5000,
        v.pe_ratio != i.eps,
    ).limit(100).offset(10)
    return str(q)


def median_us(runs, repeat=31, number=500):
    """Times each function `number` times per round, rounds interleaved; median microseconds."""
    times = {name: [] for name in runs}
    for _ in range(repeat):
        for name, fn in runs.items():
            times[name].append(timeit.timeit(fn, number=number) / number * 1e6)
    return {name: statistics.median(t) for name, t in times.items()}


def main():
    ours_text = build_and_render(tablespec)
    assert ours_text == build_and_render(py_tablespec), "the two builders disagree"
    us = median_us({"ours": lambda: build_and_render(tablespec),
                    "python": lambda: build_and_render(py_tablespec)})
    print("tablespec: ours %.2f us, python %.2f us, ratio %.2f"
          % (us["ours"], us["python"], us["python"] / us["ours"]))


if __name__ == "__main__":
    main()
