"""The module surface, the remote method table and attribute dispatch."""

import copy
import functools
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from varden.utils.exception import APIException

TABLE = {
    "api_usage": {"_method": "POST", "_path": "api/sdk_api_usage"},
    "instruments": {"_method": "POST", "_path": "api/sdk_instruments"},
    "trading_dates": {"_method": "POST", "_path": "api/sdk_trading_dates"},
    "extra_hdf_store": {"_method": "POST", "_path": "api/sdk_extra_hdf_store"},
    "arsenal_request": {"_method": "POST", "_path": "api/sdk_arsenal_request"},
    "data_array": {"_method": "POST", "_path": "api/sdk_data_array"},
    "all_api": {"_method": "POST", "_path": "api/sdk_all_api", "_timeout": 30},
    "run_api": {"_method": "POST", "_path": "api/sdk_run_api", "_timeout": 30},
    "trade_api": {"_method": "POST", "_path": "api/sdk_trade_api", "_timeout": 30},
    "upload_file": {"_method": "POST", "_path": "api/sdk_upload_file", "_timeout": 30},
    "download_file": {"_method": "POST", "_path": "api/sdk_download_file", "_timeout": 30},
    "get_fundamentals": {"_method": "POST", "_path": "api/sdk_get_fundamentals", "_timeout": 60},
}


def run_python(code, **env):
    environment = {k: v for k, v in os.environ.items() if k != "VARDEN_URL"}
    environment.update(env, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=environment, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_module_namespace(kprpc):
    import cachetools.func
    import msgpack
    import requests
    import varden
    from varden.mod.kelpie import setting

    names = [n for n in vars(kprpc) if not n.startswith("__") or n == "__version__"]
    assert names == ["os", "zlib", "base64", "pickle", "io", "msgpack", "requests", "partial",
                     "ttl_cache", "__version__", "setting", "APIException", "_token_timer",
                     "LOGIN_TIMEOUT", "ALLOWED_PICKLE_GLOBALS", "_BodyUnpickler",
                     "_ValueUnpickler", "APIClient", "kp_api"]
    assert (kprpc.msgpack, kprpc.requests, kprpc.partial, kprpc.ttl_cache) == (
        msgpack, requests, functools.partial, cachetools.func.ttl_cache)
    assert (kprpc.__version__, kprpc.setting, kprpc.APIException) == (
        varden.__version__, setting, APIException)
    assert isinstance(kprpc.APIClient, type) and kprpc.APIClient.__mro__[1:] == (object,)
    assert isinstance(kprpc.kp_api, kprpc.APIClient)
    assert not hasattr(kprpc, "__all__")


def test_request_methods_table(kprpc):
    assert kprpc.APIClient.request_methods == TABLE
    assert list(kprpc.APIClient.request_methods) == list(TABLE)
    assert [list(v) for v in kprpc.APIClient.request_methods.values()] == [
        list(v) for v in TABLE.values()]


def test_token_cache_is_cachetools_ttl_cache(kprpc):
    cached = kprpc.APIClient._get_token
    assert cached.cache_parameters() == {"maxsize": 1, "typed": False}
    assert (cached.cache.maxsize, cached.cache.ttl) == (1, 7200)
    assert cached.__wrapped__.__qualname__ == "APIClient._get_token"


@pytest.mark.parametrize("name", list(TABLE))
def test_dispatch_binds_the_table_entry(kprpc, root, name):
    api = kprpc.APIClient()
    call = getattr(api, name)
    assert isinstance(call, functools.partial)
    assert call.func == api._request and call.args == ()
    assert call.keywords == TABLE[name]
    assert getattr(api, name) is not call


def test_unknown_method_raises_at_access(kprpc, root, data_service):
    api = kprpc.APIClient(base_url=data_service.url)
    with pytest.raises(APIException) as caught:
        api.no_such_method
    assert caught.value.args == ("该方法(no_such_method)暂不支持.",)
    with pytest.raises(APIException, match=r"^该方法\(missing\)暂不支持\.$"):
        getattr(api, "missing", None)
    with pytest.raises(APIException):
        hasattr(api, "_private")
    assert data_service.requests == []


@pytest.mark.parametrize("name", [
    "__array__", "__setstate__", "__deepcopy__", "__len__", "____",
    pytest.param("__getstate__", marks=pytest.mark.skipif(
        hasattr(object, "__getstate__"), reason="object defines __getstate__ from 3.11 on")),
])
def test_dunder_probes_get_attribute_error(kprpc, root, name):
    api = kprpc.APIClient()
    with pytest.raises(AttributeError) as caught:
        getattr(api, name)
    assert str(caught.value) == "'APIClient' object has no attribute '%s'" % name
    assert not hasattr(api, name)


def test_protocol_probes_work_on_a_client(kprpc, root):
    api = kprpc.APIClient(base_url="http://127.0.0.1:1/sdk/")
    assert vars(copy.copy(api)) == vars(api)
    assert vars(copy.deepcopy(api)) == vars(api)
    assert vars(pickle.loads(pickle.dumps(api))) == vars(api)
    assert np.array([api], dtype=object)[0] is api


def test_positional_arguments_to_a_remote_method_collide(kprpc, root):
    with pytest.raises(TypeError) as caught:
        kprpc.APIClient().api_usage("x")
    assert str(caught.value) == "APIClient._request() got multiple values for argument '_method'"


def test_end_to_end_through_the_sandbox(client, data_service):
    stored = client.upload_file(file="reports/a.csv", data=b"a,b\n")
    assert stored == {"file": "reports/a.csv", "size": 4}
    assert client.download_file(file="reports/a.csv") == b"a,b\n"
    pushed = client.all_api(api_name="notify_push", content="hi", channel="wxpusher",
                            subject="Varden消息提醒", email_list=None, uids=None,
                            topic_ids=None, group_id=None)
    assert pushed["status"] == "ok" and data_service.pushes[0]["content"] == "hi"
    frame = client.get_fundamentals(
        query_object="query(valuation).filter(valuation.symbol=='000001.SZ')", date="20240105",
        statDate=None, latest=False)
    assert frame[["symbol", "date"]].values.tolist() == [["000001.SZ", pd.Timestamp("2024-01-05")]]
    bars = client.all_api(api_name="get_candle_stick", securities=["000001.SZ"],
                          end_date="20240105 15:00:00", fre_step="1d", fields=["close"],
                          skip_paused=False, fq="pre", bar_count=2)
    assert bars["000001.SZ"].index.strftime("%Y%m%d").tolist() == ["20240104", "20240105"]
    assert client.api_usage() == {"api_name": ["all_api", "api_usage", "download_file",
                                               "get_fundamentals", "upload_file"],
                                  "calls": [2, 1, 1, 1, 1]}


@pytest.mark.parametrize("env, expected", [
    ({}, "https://platform.varden.cn/sdk/"),
    ({"VARDEN_URL": "http://127.0.0.1:8765/sdk/"}, "http://127.0.0.1:8765/sdk/"),
    ({"VARDEN_URL": ""}, ""),
])
def test_varden_url_is_read_once_at_import(tmp_path, env, expected):
    out = run_python(
        "import os\n"
        "from varden.mod.kelpie.utils import kprpc\n"
        "os.environ['VARDEN_URL'] = 'http://changed/'\n"
        "print(repr(kprpc.APIClient.base_url), repr(kprpc.kp_api.base_url),"
        " repr(kprpc.APIClient()._compose_url('login')))\n",
        VARDEN_ROOT=str(tmp_path), **env)
    assert out == "%r %r %r" % (expected, expected, expected + "login")


def test_kp_api_reads_the_credential_file_at_import(tmp_path):
    (tmp_path / "auth").write_text("saved-credential")
    out = run_python("from varden.mod.kelpie.utils.kprpc import kp_api\n"
                     "print(kp_api._refresh_token, kp_api.encoding)\n",
                     VARDEN_ROOT=str(tmp_path))
    assert out == "saved-credential utf-8"
