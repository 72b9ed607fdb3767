"""A record fix with no profiler and under cProfile, ours against the plain-Python rendition
(bench/py_quotewire.py): what profiling costs per call, now that the compiled fixes are reported
to the profiler as the Python ones are. The fixes are called as bench_quotewire calls them."""

import cProfile
from functools import partial

import bench_quotewire as bq

from varden.mod.stock.data import quotewire

N = 20000


def main():
    future_ref = bq.reference(bq.FUTURE_FIELDS, {"close": 3598.0, "settle": 3601.0,
                                                 "open_interest": 149000.0})
    future_ref["rm_before_dt"] = True
    records = bq.future_records(200) * (N // 200)
    for label, profiler in [("no profiler", None), ("cProfile", cProfile.Profile())]:
        times = {}
        for name, module in [("ours", quotewire), ("python", bq.py_quotewire)]:
            fix = partial(module._data_future_fix, last_data=future_ref)
            if profiler:
                profiler.enable()
            times[name] = bq.per_call_us(fix, records, None)
            if profiler:
                profiler.disable()
        ours, python = times["ours"], times["python"]
        print(f"_data_future_fix, {label}: ours {ours:.3f} us, python {python:.3f} us, "
              f"ratio {python / ours:.1f}")


if __name__ == "__main__":
    main()
