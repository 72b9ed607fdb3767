"""Positions and fills of a 5,000-record account: the compiled translation against plain Python."""

import random
import statistics
import time
import timeit

import py_dealdesk

from varden.mod.tradeapi.api import dealdesk

RECORDS = 5000
PREFIXES = ["000", "002", "300", "600", "601", "688", "510", "159", "830", "204"]


class QuietLog:
    def info(self, key, extra=None):
        return None

    error = info


class PrebuiltClient:
    """Answers every request with one prebuilt reply, as fast as a dict lookup."""

    def __init__(self, replies):
        self.replies = replies

    def call_rpc_json(self, params):
        return self.replies[params["ReqType"]]


def broker_records(rng):
    positions, fills = [], []
    for n in range(RECORDS):
        code = "%s%03d" % (rng.choice(PREFIXES), n % 1000)
        cost = round(rng.uniform(1, 100), 3)
        price = round(cost * rng.uniform(0.8, 1.2), 3)
        amount = rng.randrange(100, 10000, 100)
        positions.append({
            "SecurityID": code, "SecurityName": "样例%d" % n, "ActualAmt": amount,
            "FrozenQty": 0, "AvailableStockBalance": amount,
            "MarketValue": round(price * amount, 2), "CostPrice": cost if n % 50 else 0,
            "MarketPrice": price, "NetMoney": 0 if n % 3 else round((price - cost) * amount, 2)})
        seconds = 9 * 3600 + 30 * 60 + rng.randrange(4 * 3600)
        fills.append({
            "SecurityID": code, "SecurityName": "样例%d" % n, "OrderID": "O%05d" % n,
            "TradeVolume": amount, "Side": rng.choice([0, 1, 6, 7, 2]), "AvgPx": price,
            "SettleDate": "202401%02d" % rng.randrange(2, 30),
            "TransactTime": "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60),
            "Commission": 5.0})
    return positions, fills


def field_types(result):
    """The type of every record and field value, with the unit of Timestamps."""
    records = result.values() if isinstance(result, dict) else result
    return [(type(r), [(type(v), getattr(v, "unit", None)) for v in r.values()]) for r in records]


def median_us(fn, repeat=9, number=3):
    # CPU time of this process: the shared build machines make wall time too noisy.
    runs = timeit.repeat(fn, repeat=repeat, number=number, timer=time.process_time)
    return statistics.median(runs) / number * 1e6


def main():
    positions, fills = broker_records(random.Random(7))
    client = PrebuiltClient({1202: {"id": 1, "result": {"Array": positions}},
                             1203: {"id": 2, "result": {"Array": fills}}})
    dealdesk.system_log = py_dealdesk.system_log = QuietLog()
    dealdesk.TraderRPC._instance = client
    ours_api = dealdesk.TradeAPI("880001")
    ours_api._account_token = "tok"
    python_api = py_dealdesk.TradeAPI(client, "tok")

    cases = [("positions", lambda api: api.positions),
             ("get_tradelogs", lambda api: api.get_tradelogs())]
    for name, run in cases:
        ours_result, python_result = run(ours_api), run(python_api)
        assert ours_result == python_result, "%s: the two translations disagree" % name
        assert field_types(ours_result) == field_types(python_result), "%s: types differ" % name
        ours = median_us(lambda: run(ours_api))
        python = median_us(lambda: run(python_api))
        print("dealdesk.%s (%d records): ours %.0f us, python %.0f us, ratio %.2f"
              % (name, RECORDS, ours, python, python / ours))


if __name__ == "__main__":
    main()
