"""Platform API client: response decoding and one remote call against the loopback sandbox.

Compares the compiled client with the bare Python pipeline doing the same work:
  handle_response  APIClient._handle_response on a 5 MB MessagePack answer, against
                   msgpack.unpackb(zlib.decompress(pickle.loads(content)), raw=False)
  pickled frame    APIClient._handle_response on a 5 MB pickled DataFrame answer (its pickles
                   loaded by the restricted unpicklers), against the same steps with pickle.loads
  remote_call      kp_api-style api call with a cached token, against requests.request with the
                   same method, URL, headers, time-out and body, decoded the same way
"""

import gc
import os
import pickle
import statistics
import tempfile
import time
import zlib

os.environ.setdefault("VARDEN_ROOT", tempfile.mkdtemp(prefix="varden-bench-"))

import msgpack  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import requests  # noqa: E402

from varden.mod.kelpie.utils.kprpc import APIClient  # noqa: E402
from varden.sandbox.dataservice import running_data_service  # noqa: E402


class Response:
    status_code = 200

    def __init__(self, content):
        self.content = content


def five_megabyte_answer():
    rows = 152_000
    value = {
        "symbol": ["%06d.SZ" % (i % 4000) for i in range(rows)],
        "close": [10.0 + i * 0.001 for i in range(rows)],
        "volume": list(range(rows)),
        "paused": [i % 7 == 0 for i in range(rows)],
        "note": ["样本数据" if i % 3 else "" for i in range(rows)],
    }
    packed = msgpack.packb(value, use_bin_type=True)
    return value, packed


def timed(fn):
    # as timeit does: no collector pauses inside a measurement, whichever side triggers them
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return (time.perf_counter() - start) * 1e6
    finally:
        gc.enable()


def compare(name, ours, python, repeat):
    ours_times, python_times = [], []
    ours()
    python()  # warm both paths
    for _ in range(repeat):  # interleaved, so drift hits both alike
        ours_times.append(timed(ours))
        python_times.append(timed(python))
    x, y = statistics.median(ours_times), statistics.median(python_times)
    print("%s: ours %.1f us, python %.1f us, ratio %.3f" % (name, x, y, y / x))


def bench_handle_response(client):
    value, packed = five_megabyte_answer()
    content = pickle.dumps(zlib.compress(packed))
    response = Response(content)
    assert client._handle_response(response) == value
    print("handle_response payload: %.1f MB MessagePack, %.1f MB on the wire"
          % (len(packed) / 1e6, len(content) / 1e6))
    compare("kprpc._handle_response 5MB",
            lambda: client._handle_response(response),
            lambda: msgpack.unpackb(zlib.decompress(pickle.loads(response.content)), raw=False),
            repeat=25)


def five_megabyte_frame():
    rows = 132_000
    return pd.DataFrame({
        "order_book_id": ["%06d.SZ" % (i % 4000) for i in range(rows)],
        "close": np.linspace(10.0, 20.0, rows),
        "volume": np.arange(rows, dtype="int64"),
        "paused": np.arange(rows) % 7 == 0,
        "industry": pd.Categorical(["银行", "券商", "保险"] * (rows // 3)),
    }, index=pd.date_range("2024-01-02 09:31", periods=rows, freq="min", tz="Asia/Shanghai"))


def bare_pickle_pipeline(content):
    packed = zlib.decompress(pickle.loads(content))
    try:
        return msgpack.unpackb(packed, raw=False, strict_map_key=False)
    except Exception:
        return pickle.loads(packed)


def bench_pickled_frame(client):
    frame = five_megabyte_frame()
    packed = pickle.dumps(frame)
    response = Response(pickle.dumps(zlib.compress(packed)))
    assert client._handle_response(response).equals(frame)
    print("pickled frame payload: %.1f MB pickle, %.1f MB on the wire"
          % (len(packed) / 1e6, len(response.content) / 1e6))
    compare("kprpc._handle_response 5MB pickled DataFrame",
            lambda: client._handle_response(response),
            lambda: bare_pickle_pipeline(response.content),
            repeat=25)


def bench_remote_call(client, service):
    service.handlers["instruments"] = lambda user, **kwargs: {"symbol": kwargs["symbols"]}
    payload = {"symbols": ["000001.SZ", "600001.SH"]}
    client.instruments(**payload)  # refreshes once; the token stays cached from here on
    sent = service.requests[-1]
    headers = {name: sent.headers[name] for name in
               ("serialize-type", "x-consumer-sdk-version", "Authorization")}
    url = client._compose_url("api/sdk_instruments")
    body = pickle.dumps(payload, 4)

    def bare():
        answer = requests.request("POST", url, headers=headers, timeout=10, data=body)
        assert answer.status_code == 200
        return msgpack.unpackb(zlib.decompress(pickle.loads(answer.content)), raw=False)

    assert bare() == client.instruments(**payload)
    compare("kprpc remote call (loopback)", lambda: client.instruments(**payload), bare,
            repeat=400)


def main():
    with running_data_service() as service:
        client = APIClient(base_url=service.url)
        client.login("demo", "demo")
        bench_handle_response(client)
        bench_pickled_frame(client)
        bench_remote_call(client, service)


if __name__ == "__main__":
    main()
