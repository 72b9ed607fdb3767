"""The sandbox data service over loopback: login, tokens, wire format and test hooks."""

import base64
import datetime
import os
import pickle
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import requests

from varden.sandbox.dataservice import (
    DataService,
    RawResponse,
    ServiceError,
    pack_answer,
    running_data_service,
    unpack_answer,
)


def login(service, action, passport):
    answer = requests.post(service.url + "login", json={"passport": passport, "action": action})
    assert answer.status_code == 200
    return answer.json()


def passport(username, password):
    return base64.b64encode(pickle.dumps((username, password))).decode()


def access_token(service, username="demo", password="demo"):
    credential = login(service, "login", passport(username, password))["data"]["token"]
    return login(service, "refresh", credential)["data"]["token"]


def call(service, name, token, body=None, **payload):
    return requests.post(service.url + "api/sdk_" + name,
                         headers={"Authorization": "Bearer %s" % token},
                         data=pickle.dumps(payload) if body is None else body, timeout=10)


class _Exploit:
    def __reduce__(self):
        return (os.system, ("echo should-not-run",))


def test_login_refresh_and_bearer_carry_the_notice(data_service):
    data_service.notice = "系统维护通知"
    granted = login(data_service, "login", passport("demo", "demo"))
    assert granted["meta"]["code"] == 200
    assert granted["data"]["notice"] == "系统维护通知"
    refreshed = login(data_service, "refresh", granted["data"]["token"])
    assert refreshed["meta"]["code"] == 200
    token = refreshed["data"]["token"]
    answer = call(data_service, "api_usage", token)
    assert answer.status_code == 200
    assert unpack_answer(answer.content) == {"api_name": ["api_usage"], "calls": [1]}
    # a credential from login is good for refreshing only
    assert call(data_service, "api_usage", granted["data"]["token"]).status_code == 401


@pytest.mark.parametrize("action, make_passport, code, message", [
    ("login", lambda: passport("demo", "wrong"), 401, "用户名或密码错误"),
    ("login", lambda: passport("nobody", "demo"), 401, "用户名或密码错误"),
    ("login", lambda: "not base64!", 400, "passport无效"),
    ("login", lambda: base64.b64encode(pickle.dumps(_Exploit())).decode(), 400, "passport无效"),
    ("refresh", lambda: "unknown-token", 401, "登录已失效, 请重新登录"),
    ("logout", lambda: "x", 400, "未知的action: 'logout'"),
])
def test_login_refusals(data_service, action, make_passport, code, message):
    answer = login(data_service, action, make_passport())
    assert answer == {"meta": {"code": code, "message": message}, "data": None}


def test_tokens_expire_with_the_service_clock(data_service):
    credential = login(data_service, "login", passport("demo", "demo"))["data"]["token"]
    token = login(data_service, "refresh", credential)["data"]["token"]
    data_service.advance_clock(data_service.access_ttl + 1)
    expired = call(data_service, "api_usage", token)
    assert (expired.status_code, expired.text) == (401, "认证失败: 访问令牌无效或已过期")
    # the expired access token still refreshes until the refresh lifetime is over
    assert login(data_service, "refresh", token)["meta"]["code"] == 200
    data_service.advance_clock(data_service.refresh_ttl)
    assert login(data_service, "refresh", credential)["meta"]["code"] == 401


@pytest.mark.parametrize("headers", [{}, {"Authorization": "Bearer nope"},
                                     {"Authorization": "Token abc"}])
def test_data_endpoints_need_a_bearer_token(data_service, headers):
    answer = requests.post(data_service.url + "api/sdk_api_usage", headers=headers,
                           data=pickle.dumps({}))
    assert answer.status_code == 401
    assert data_service.usage == {}


@pytest.mark.parametrize("value", [
    {"when": pd.Timestamp("2020-01-02 09:30"), "n": np.int64(3), "x": np.float64(1.5)},
    {"day": datetime.date(2020, 1, 2),
     "tz": datetime.datetime(2020, 1, 2, tzinfo=datetime.timezone.utc)},
    {"codes": {"000001.SZ"}, "frozen": frozenset([1]), "raw": bytearray(b"ab"), "c": 1j},
])
def test_plain_values_unpickle(data_service, value):
    token = access_token(data_service)
    data_service.handlers["arsenal_request"] = lambda user, **kw: sorted(kw)
    answer = call(data_service, "arsenal_request", token, **value)
    assert answer.status_code == 200
    assert unpack_answer(answer.content) == sorted(value)
    assert data_service.requests[-1].payload == value


@pytest.mark.parametrize("body, message", [
    (pickle.dumps({"x": _Exploit()}), "refused global posix.system"),
    (pickle.dumps({"frame": pd.DataFrame({"a": [1]})}), "refused global"),
    (b"garbage", "请求体无法解析"),
    (pickle.dumps([1, 2]), "请求体必须是关键字参数的字典"),
], ids=["os.system", "dataframe", "garbage", "list"])
def test_unsafe_or_malformed_payload_is_refused(data_service, body, message):
    answer = call(data_service, "arsenal_request", access_token(data_service), body=body)
    assert answer.status_code == 400
    assert message in answer.text


def test_handler_outcomes_and_hooks(data_service):
    token = access_token(data_service)
    data_service.fail("instruments", 500, "内部错误")
    data_service.handlers["trading_dates"] = lambda user, **kw: RawResponse(204)

    def refuse(user, **kwargs):
        raise ServiceError(403, "%s 无权限" % user)

    data_service.handlers["data_array"] = refuse
    outcomes = [call(data_service, name, token) for name in
                ("instruments", "trading_dates", "data_array")]
    assert [(a.status_code, a.content) for a in outcomes] == [
        (500, "内部错误".encode()), (204, b""), (403, "demo 无权限".encode())]
    bad_keyword = call(data_service, "download_file", token, nope=1)
    assert bad_keyword.status_code == 400
    assert "unexpected keyword argument 'nope'" in bad_keyword.text
    recorded = data_service.requests[-1]
    assert (recorded.endpoint, recorded.path, recorded.user, recorded.payload) == (
        "download_file", "/sdk/api/sdk_download_file", "demo", {"nope": 1})
    assert recorded.headers["authorization"] == "Bearer " + token


def test_delayed_endpoint_times_out_the_client(data_service):
    token = access_token(data_service)
    data_service.delays["api_usage"] = 30
    with pytest.raises(requests.exceptions.ReadTimeout):
        requests.post(data_service.url + "api/sdk_api_usage",
                      headers={"Authorization": "Bearer " + token}, data=pickle.dumps({}),
                      timeout=0.2)


@pytest.mark.parametrize("value, packer, packed_as", [
    ({1: "a", "b": [1, 2.5, None]}, "auto", "msgpack"),
    (pd.DataFrame({"a": [1, 2]}), "auto", "pickle"),
    ((1, 2), "pickle", "pickle"),
])
def test_answer_encoding(value, packer, packed_as):
    import msgpack
    import zlib

    packed = zlib.decompress(pickle.loads(pack_answer(value, packer)))
    if packed_as == "msgpack":
        assert msgpack.unpackb(packed, raw=False, strict_map_key=False) == value
    else:
        decoded = pickle.loads(packed)
        assert decoded.equals(value) if isinstance(value, pd.DataFrame) else decoded == value


def test_files_are_per_user_and_confined(data_service):
    demo, analyst = access_token(data_service), access_token(data_service, "analyst", "quant2024")
    stored = call(data_service, "upload_file", demo, file="reports/a.csv", data=b"x,y\n1,2\n")
    assert unpack_answer(stored.content) == {"file": "reports/a.csv", "size": 8}
    fetched = call(data_service, "download_file", demo, file="reports/a.csv")
    assert unpack_answer(fetched.content) == b"x,y\n1,2\n"
    missing = call(data_service, "download_file", analyst, file="reports/a.csv")
    assert (missing.status_code, missing.text) == (404, "文件不存在: reports/a.csv")


@pytest.mark.parametrize("file", ["../analyst/a.csv", "/etc/passwd", "a/../../b", "", "C:\\x",
                                  "reports/.."])
def test_file_paths_leaving_the_user_folder_are_refused(data_service, file):
    answer = call(data_service, "upload_file", access_token(data_service), file=file, data=b"x")
    assert answer.status_code == 400
    assert not any(name.endswith("a.csv") for _, _, names in os.walk(data_service.files_root)
                   for name in names)


def test_usage_counts_and_pushes_per_user(data_service):
    demo, analyst = access_token(data_service), access_token(data_service, "analyst", "quant2024")
    pushed = call(data_service, "all_api", demo, api_name="notify_push", content="成交提醒",
                  channel="wxpusher", subject="Varden消息提醒", email_list=None, uids=None,
                  topic_ids=None, group_id=None)
    assert unpack_answer(pushed.content) == {"status": "ok", "channel": "wxpusher", "id": 1}
    assert data_service.pushes[0]["content"] == "成交提醒"
    call(data_service, "all_api", analyst, api_name="no_such")
    usage = call(data_service, "api_usage", demo)
    assert unpack_answer(usage.content) == {"api_name": ["all_api", "api_usage"], "calls": [1, 1]}


def test_service_stops_and_removes_its_files():
    with running_data_service(notice="hello", users={"u": "p"}) as service:
        assert service.url.startswith("http://127.0.0.1:") and service.url.endswith("/sdk/")
        assert login(service, "login", passport("u", "p"))["data"]["notice"] == "hello"
        root = service.files_root
    assert not os.path.exists(root)
    with pytest.raises(requests.exceptions.ConnectionError):
        requests.post(service.url + "login", json={}, timeout=2)


def test_taken_port_raises_and_leaves_nothing_behind(data_service):
    port = int(data_service.url.split(":")[2].split("/")[0])
    service = DataService()
    with pytest.raises(OSError):
        service.start(port)
    assert service.files_root is None


def test_command_line_serves_until_interrupted(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-m", "varden.sandbox.dataservice", "--port", "0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        banner = process.stdout.readline()
        url = banner.split(" at ")[1].split(" ")[0]
        answer = requests.post(url + "login", json={"passport": passport("demo", "demo"),
                                                    "action": "login"}, timeout=10)
        assert answer.json()["meta"]["code"] == 200
    finally:
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=20)
    assert process.returncode == 0, err
    assert out.strip() == "stopped"
