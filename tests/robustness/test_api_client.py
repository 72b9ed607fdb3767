"""The platform API client on any argument, server answer and transport response.

``requests`` is replaced by a fake whose answers are drawn (login answers with missing or
wrongly typed keys, responses with any status and body, read time-outs now and then); the
settings folder is a temporary directory.
"""

import pickle
import types
import zlib

import msgpack
import pytest
import requests
from hypothesis import given
from hypothesis import strategies as st

import robustness_harness as H
import robustness_strategies as S
from varden.mod.kelpie.utils import kprpc
from varden.utils.exception import APIException


class Response:
    def __init__(self, status_code, content):
        self.status_code, self.content = status_code, content

    def __repr__(self):
        return f"Response({self.status_code!r}, {self.content!r})"


def packed(value, pickled_inside=False):
    inner = pickle.dumps(value) if pickled_inside else msgpack.packb(value)
    return pickle.dumps(zlib.compress(inner))


plain_values = st.recursive(st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1), S.texts,
                                      st.floats()),
                            lambda c: st.lists(c, max_size=3), max_leaves=5)
bodies = st.one_of(
    plain_values.map(packed),
    plain_values.map(lambda v: packed(v, pickled_inside=True)),
    st.binary(max_size=24).map(lambda b: pickle.dumps(zlib.compress(b))),
    S.binary, S.values,
)
responses = st.one_of(
    st.builds(Response, st.one_of(st.just(200), st.sampled_from([204, 404, 500]), S.values),
              bodies),
    S.values,
)
login_answers = st.one_of(
    st.fixed_dictionaries({}, optional={
        "meta": st.one_of(st.fixed_dictionaries({}, optional={
            "code": st.one_of(st.just(200), S.values), "message": S.values}), S.values),
        "data": st.one_of(st.fixed_dictionaries({}, optional={
            "token": st.one_of(S.texts, S.values), "notice": st.one_of(S.texts, S.values)}),
            S.values),
    }),
    S.values,
)


class FakeRequests:
    """The transport: drawn responses, a read time-out for at most two attempts in a row."""

    exceptions = requests.exceptions

    def __init__(self, data):
        self.responses = H.Answers(data, responses)
        self.logins = H.Answers(data, login_answers)
        self.timeouts = 0

    def request(self, method, url, headers=None, timeout=None, data=None):
        if self.timeouts < 2 and self.responses.rng.random() < 0.2:
            self.timeouts += 1
            raise requests.exceptions.ReadTimeout("slow")
        self.timeouts = 0
        return self.responses()

    def post(self, url, json=None, timeout=None):
        answer = self.logins()
        return types.SimpleNamespace(json=lambda: answer)


@pytest.fixture(autouse=True)
def platform(monkeypatch, tmp_path):
    monkeypatch.setattr(kprpc, "setting", types.SimpleNamespace(ROOT_PATH=str(tmp_path)))
    monkeypatch.setattr(kprpc, "requests", None)


def client(logged_in=True):
    def reach(data):
        kprpc.requests = FakeRequests(data)
        api = kprpc.APIClient(base_url="http://127.0.0.1:9/sdk/")
        api._refresh_token = data.draw(st.one_of(S.texts, S.values)) if logged_in else None
        return api

    return reach


def method(name, logged_in=True):
    return lambda data: getattr(client(logged_in)(data), name)


def check_getattr(fn, outcome, args, kwargs):
    name = H.signature("func").bind(*args, **kwargs).arguments["func"]
    if type(name) is str and name not in kprpc.APIClient.request_methods and not (
            name.startswith("__") and name.endswith("__")):
        assert isinstance(outcome.error, APIException), outcome
        assert str(outcome.error) == "该方法(%s)暂不支持." % name


def check_handle_response(fn, outcome, args, kwargs):
    response = H.signature("response").bind(*args, **kwargs).arguments["response"]
    if type(response) is not Response:
        return
    status, content = response.status_code, response.content
    if type(status) is int and status != 200 and type(content) is bytes:
        text = H.run_plain(content.decode, "utf-8")
        assert type(outcome.error) is type(text.error) or isinstance(outcome.error, APIException)
        if not text.raised:
            assert str(outcome.error) == text.value, outcome


def not_logged_in(fn, outcome, args, kwargs):
    assert isinstance(outcome.error, APIException), outcome
    assert str(outcome.error) == "账号未登录, 请先登录!"


def remote_method(data):
    name = data.draw(st.sampled_from(list(kprpc.APIClient.request_methods)))
    return getattr(client()(data), name)


REQUEST_PARAMS = "_method='POST', _path='', _headers={}, _timeout=10, _timeout_retry=1, **kw"

TARGETS = [
    H.Target("APIClient", "encoding='utf-8', base_url=None", lambda data: kprpc.APIClient),
    H.Target("APIClient.login", "username, password", method("login")),
    H.Target("APIClient.logout", "", method("logout")),
    H.Target("APIClient._get_token", "", method("_get_token")),
    H.Target("APIClient._get_token (logged out)", "", method("_get_token", logged_in=False),
             check=not_logged_in),
    H.Target("APIClient._compose_url", "path", method("_compose_url")),
    H.Target("APIClient._request", REQUEST_PARAMS, method("_request"),
             args=st.one_of(S.texts, st.integers(-1, 3), S.values)),
    H.Target("APIClient._handle_response", "response", method("_handle_response"),
             args=responses, check=check_handle_response),
    H.Target("APIClient.__getattr__", "func", method("__getattr__"),
             args=st.one_of(S.texts, st.sampled_from(list(kprpc.APIClient.request_methods)),
                            S.values), check=check_getattr),
    H.Target("APIClient.<remote method>", "**kw", remote_method,
             keywords=("_timeout", "_timeout_retry", "_headers", "code", "name")),
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)
