"""APIClient construction, login/logout, the credential and notice files, the token cache."""

import os
import socket
import stat
import threading
import time

import pytest
import requests

from varden.sandbox.dataservice import RawResponse
from varden.utils.exception import APIException


def test_construction_reads_the_credential_file_unstripped(kprpc, root):
    (root / "auth").write_text("credential\n")
    api = kprpc.APIClient("gbk", "http://127.0.0.1:1/x/")
    assert vars(api) == {
        "encoding": "gbk",
        "base_url": "http://127.0.0.1:1/x/",
        "_token_file": os.path.join(str(root), "auth"),
        "_refresh_token": "credential\n",
        "_notice_file": os.path.join(str(root), "notice"),
    }


@pytest.mark.parametrize("base_url", [None, ""])
def test_falsy_base_url_uses_the_class_one(kprpc, root, base_url):
    api = kprpc.APIClient(base_url=base_url)
    assert api.base_url == kprpc.APIClient.base_url
    assert api._refresh_token is None


def test_constructor_takes_at_most_two_arguments(kprpc, root):
    with pytest.raises(TypeError) as caught:
        kprpc.APIClient("utf-8", None, "extra")
    assert str(caught.value) == (
        "APIClient.__init__() takes from 1 to 3 positional arguments but 4 were given")


def test_login_writes_the_credential_owner_only(kprpc, root, clock, data_service):
    (root / "auth").write_text("old credential")
    os.chmod(root / "auth", 0o644)
    api = kprpc.APIClient(base_url=data_service.url)
    api.login("demo", "demo")
    credential = api._refresh_token
    assert credential != "old credential"
    assert (root / "auth").read_text() == credential
    assert stat.S_IMODE(os.stat(root / "auth").st_mode) == 0o600
    assert sorted(os.listdir(root)) == ["auth"]  # no temporary file left, no notice
    # the passport is Base64 of the pickled (username, password)
    sent = data_service.requests[0].payload
    assert sent["action"] == "login" and sent["passport"] == "gASVDAAAAAAAAACMBGRlbW+UaACGlC4="


def test_failed_credential_write_leaves_the_old_file(kprpc, root, clock, data_service):
    (root / "auth").write_text("old credential")
    api = kprpc.APIClient(base_url=data_service.url)
    api._token_file = str(root / "missing" / "auth")
    with pytest.raises(FileNotFoundError):
        api.login("demo", "demo")
    assert api._refresh_token != "old credential"  # memory first, as before the write
    assert (root / "auth").read_text() == "old credential"
    assert sorted(os.listdir(root)) == ["auth"]


@pytest.mark.parametrize("answer, message", [
    ({"meta": {"code": 401, "message": "用户名或密码错误"}, "data": None}, "用户名或密码错误"),
    ({"meta": {"code": 403, "message": "禁止"}, "data": {"reason": "locked"}}, {"reason": "locked"}),
    ({"meta": {"code": 500, "message": "维护中"}, "data": ""}, "维护中"),
])
def test_failed_login_raises_and_changes_nothing(kprpc, root, data_service, answer, message):
    (root / "auth").write_text("old credential")
    data_service.handlers["login"] = lambda payload: answer
    api = kprpc.APIClient(base_url=data_service.url)
    with pytest.raises(APIException) as caught:
        api.login("demo", "demo")
    assert caught.value.args == (message,)
    assert api._refresh_token == "old credential"
    assert sorted(os.listdir(root)) == ["auth"]
    assert (root / "auth").read_text() == "old credential"


def test_wrong_password_against_the_real_user_table(kprpc, root, data_service):
    api = kprpc.APIClient(base_url=data_service.url)
    with pytest.raises(APIException, match="^用户名或密码错误$"):
        api.login("demo", "wrong")
    assert not (root / "auth").exists()


def test_login_answer_that_is_not_json_propagates(kprpc, root, data_service):
    data_service.handlers["login"] = lambda payload: RawResponse(200, b"<html>busy</html>")
    api = kprpc.APIClient(base_url=data_service.url)
    with pytest.raises(requests.exceptions.JSONDecodeError):
        api.login("demo", "demo")
    assert not (root / "auth").exists()


def test_notice_is_written_only_when_delivered(kprpc, root, clock, data_service):
    data_service.notice = "今晚系统维护"
    api = kprpc.APIClient(base_url=data_service.url)
    api.login("demo", "demo")
    assert (root / "notice").read_text() == "今晚系统维护"
    data_service.notice = "维护延期"
    api.api_usage()  # the refresh answer carries the new notice
    assert (root / "notice").read_text() == "维护延期"
    data_service.notice = None
    api.login("demo", "demo")
    assert (root / "notice").read_text() == "维护延期"


def test_not_logged_in_sends_nothing(kprpc, root, clock, data_service):
    api = kprpc.APIClient(base_url=data_service.url)
    with pytest.raises(APIException) as caught:
        api.api_usage()
    assert caught.value.args == ("账号未登录, 请先登录!",)
    assert data_service.requests == []


def test_empty_credential_file_refreshes_with_an_empty_passport(kprpc, root, clock, data_service,
                                                                  hits):
    (root / "auth").write_text("")
    api = kprpc.APIClient(base_url=data_service.url)
    assert api._refresh_token == ""
    with pytest.raises(APIException) as caught:
        api.api_usage()
    assert caught.value.args == ("账号认证失败, 请重新登录!",)
    assert hits() == [("refresh", "")]


def test_token_is_cached_for_two_hours_then_refreshed_with_the_last_token(client, clock,
                                                                          data_service, hits):
    credential = client._refresh_token
    first = client._get_token()
    client.api_usage()
    clock.advance(7199)
    assert client._get_token() == first
    client.api_usage()
    assert hits() == [("refresh", credential), "api_usage", "api_usage"]
    clock.advance(2)
    data_service.advance_clock(7201)
    client.api_usage()
    assert hits()[3:] == [("refresh", first), "api_usage"]
    assert client._refresh_token != first
    assert (data_service.requests[-1].headers["Authorization"]
            == "Bearer " + client._refresh_token)


def test_failed_refresh_is_not_cached(client, data_service, hits):
    credential = client._refresh_token
    data_service.handlers["login"] = lambda payload: {"meta": {"code": 401, "message": "x"},
                                                      "data": None}
    with pytest.raises(APIException, match="^账号认证失败, 请重新登录!$"):
        client.api_usage()
    assert client._refresh_token == credential
    data_service.handlers["login"] = data_service.answer_login
    assert client.api_usage() == {"api_name": ["api_usage"], "calls": [1]}
    assert hits() == [("refresh", credential), ("refresh", credential), "api_usage"]


def test_two_clients_share_the_single_cache_entry(kprpc, client, data_service, hits):
    other = kprpc.APIClient(base_url=data_service.url)
    other.login("analyst", "quant2024")
    data_service.requests.clear()
    client.api_usage()
    other.api_usage()
    client.api_usage()
    assert [h if isinstance(h, str) else h[0] for h in hits()] == [
        "refresh", "api_usage", "refresh", "api_usage", "refresh", "api_usage"]
    assert [r.user for r in data_service.requests if r.endpoint != "login"] == [
        "demo", "analyst", "demo"]


def test_login_again_drops_the_cached_token(client, data_service, hits):
    client.api_usage()
    client.login("analyst", "quant2024")
    new_credential = client._refresh_token
    client.api_usage()
    assert hits()[2:] == [("login", "login"), ("refresh", new_credential), "api_usage"]
    assert data_service.requests[-1].user == "analyst"


def test_refresh_answered_after_a_login_is_neither_stored_nor_cached(client, data_service, hits):
    demo_credential = client._refresh_token
    released = data_service.hold("refresh")
    outcome = []
    caller = threading.Thread(target=lambda: outcome.append(client.api_usage()))
    caller.start()
    deadline = time.monotonic() + 10
    while ("refresh", demo_credential) not in hits() and time.monotonic() < deadline:
        time.sleep(0.01)
    client.login("analyst", "quant2024")  # while demo's refresh is on the wire
    analyst_credential = client._refresh_token
    released.set()
    caller.join(10)
    assert outcome == [{"api_name": ["api_usage"], "calls": [1]}]
    client.api_usage()
    assert hits() == [("refresh", demo_credential), ("login", "login"),
                      ("refresh", analyst_credential), "api_usage", "api_usage"]
    assert [r.user for r in data_service.requests if r.endpoint == "api_usage"] == [
        "analyst", "analyst"]
    assert data_service.bearer_user("Bearer " + client._refresh_token) == "analyst"


def test_a_cached_token_of_a_replaced_credential_is_not_used(kprpc, client, data_service):
    client.api_usage()  # demo's token is cached
    other = kprpc.APIClient(base_url=data_service.url)
    other.login("analyst", "quant2024")
    # what a login leaves when it lands between a refresh's last check and the cache's store
    client._refresh_token = other._refresh_token
    client.api_usage()
    client.api_usage()
    assert [r.user for r in data_service.requests if r.endpoint == "api_usage"] == [
        "demo", "analyst", "analyst"]


@pytest.fixture
def silent_service():
    """A base URL whose server accepts connections and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        yield "http://127.0.0.1:%d/sdk/" % listener.getsockname()[1]


@pytest.mark.parametrize("call", [
    lambda api: api.login("demo", "demo"),
    lambda api: api.api_usage(),  # its refresh
], ids=["login", "refresh"])
def test_login_endpoint_requests_time_out(kprpc, root, clock, monkeypatch, silent_service, call):
    monkeypatch.setattr(kprpc, "LOGIN_TIMEOUT", 0.2)
    (root / "auth").write_text("credential")
    api = kprpc.APIClient(base_url=silent_service)
    with pytest.raises(requests.exceptions.ReadTimeout):
        call(api)
    assert api._refresh_token == "credential"
    assert (root / "auth").read_text() == "credential"


def test_logout_removes_the_file_only(client, root, hits):
    client.api_usage()
    credential_in_memory = client._refresh_token
    client.logout()
    assert not (root / "auth").exists()
    client.logout()  # nothing left to remove
    client.api_usage()
    assert client._refresh_token == credential_in_memory
    assert hits()[1:] == ["api_usage", "api_usage"]


def test_files_are_opened_through_the_module_open(kprpc, root, monkeypatch):
    (root / "auth").write_text("credential")
    opened = []

    def recording_open(path, *args, **kwargs):
        opened.append(path)
        return open(path, *args, **kwargs)

    monkeypatch.setattr(kprpc, "open", recording_open, raising=False)
    api = kprpc.APIClient()
    assert api._refresh_token == "credential"
    assert opened == [os.path.join(str(root), "auth")]
