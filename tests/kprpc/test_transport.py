"""APIClient._request and _handle_response against the sandbox data service."""

import inspect
import pickle
import threading
import zlib

import msgpack
import pandas as pd
import pytest
import requests

import varden
from varden.sandbox.dataservice import RawResponse, pack_answer
from varden.utils.exception import APIException


def test_request_headers_body_and_url(client, data_service):
    token = client._get_token()
    answer = client.arsenal_request(code="df = 1", name="df", extra=[1, 2])
    assert answer == {"status": "unsupported", "received": ["code", "extra", "name"]}
    received = data_service.requests[-1]
    assert received.path == "/sdk/api/sdk_arsenal_request"
    names = [name for name, _ in received.headers.items()]
    ours = [n for n in names if n in ("serialize-type", "x-consumer-sdk-version", "Authorization")]
    assert ours == ["serialize-type", "x-consumer-sdk-version", "Authorization"]
    assert received.headers["serialize-type"] == "0"
    assert received.headers["x-consumer-sdk-version"] == varden.__version__
    assert received.headers["Authorization"] == "Bearer " + token
    assert received.body == pickle.dumps({"code": "df = 1", "name": "df", "extra": [1, 2]}, 4)
    assert received.body[:2] == b"\x80\x04"


def test_call_without_payload_sends_an_empty_dict(client, data_service):
    assert client.api_usage() == {"api_name": ["api_usage"], "calls": [1]}
    assert data_service.requests[-1].body == pickle.dumps({}, 4)


def test_method_is_upper_cased_and_url_is_base_plus_path(client, data_service):
    assert client._compose_url("api/sdk_api_usage") == data_service.url + "api/sdk_api_usage"
    assert client._request("post", "api/sdk_api_usage") == {"api_name": ["api_usage"],
                                                            "calls": [1]}
    assert data_service.requests[-1].method == "POST"


def test_header_override_replaces_the_bearer(client, data_service):
    with pytest.raises(APIException) as caught:
        client.api_usage(_headers={"Authorization": "Bearer forged", "X-Trace": "t1"})
    assert caught.value.args == ("认证失败: 访问令牌无效或已过期",)
    received = data_service.requests[-1]
    assert received.headers["Authorization"] == "Bearer forged"
    assert received.headers["X-Trace"] == "t1"
    shared = inspect.signature(type(client)._request).parameters["_headers"].default
    assert shared == {} and shared is inspect.signature(
        type(client)._request).parameters["_headers"].default


@pytest.mark.parametrize("headers", [[("X-Trace", "t1")], None, "X-Trace"])
def test_headers_that_are_no_mapping_raise_type_error(client, data_service, headers, hits):
    with pytest.raises(TypeError, match="object is not a mapping"):
        client.api_usage(_headers=headers)
    assert "api_usage" not in hits()


@pytest.mark.parametrize("retries, attempts", [(0, 1), (3, 4), (-2, 1)])
def test_read_timeouts_are_retried_then_propagate(client, data_service, hits, retries, attempts):
    data_service.delays["api_usage"] = 30
    with pytest.raises(requests.exceptions.ReadTimeout):
        client.api_usage(_timeout=0.2, _timeout_retry=retries)
    assert hits()[1:] == ["api_usage"] * attempts
    assert len({r.headers["Authorization"] for r in data_service.requests[1:]}) == 1


def test_one_read_timeout_is_absorbed_by_default(client, data_service, hits):
    calls, never = [], threading.Event()

    def slow_once(user, **kwargs):
        calls.append(kwargs)
        if len(calls) == 1:
            never.wait(1.0)  # past the client's read time-out
        return {"attempt": len(calls)}

    data_service.handlers["instruments"] = slow_once
    assert client.instruments(_timeout=0.3, symbols=["000001.SZ"]) == {"attempt": 2}
    assert calls == [{"symbols": ["000001.SZ"]}] * 2


def test_call_time_timeout_replaces_the_table_one(client, data_service):
    data_service.delays["get_fundamentals"] = 30
    with pytest.raises(requests.exceptions.ReadTimeout):
        client.get_fundamentals(query_object="q", _timeout=0.2, _timeout_retry=0)


def test_connection_errors_are_not_retried(client, data_service, hits):
    data_service.drop("api_usage")
    with pytest.raises(requests.exceptions.ConnectionError):
        client.api_usage(_timeout_retry=5)
    assert hits()[1:] == ["api_usage"]


@pytest.mark.parametrize("status, body, encoding, message", [
    (204, b"", "utf-8", ""),
    (500, "服务内部错误".encode(), "utf-8", "服务内部错误"),
    (502, "网关错误".encode("gbk"), "gbk", "网关错误"),
    (201, b"created", "utf-8", "created"),
])
def test_status_other_than_200_raises_the_body_text(kprpc, root, clock, data_service, status,
                                                     body, encoding, message):
    api = kprpc.APIClient(encoding, data_service.url)
    api.login("demo", "demo")
    data_service.fail("api_usage", status, body)
    with pytest.raises(APIException) as caught:
        api.api_usage(_timeout_retry=3)
    assert caught.value.args == (message,)
    assert [r.endpoint for r in data_service.requests].count("api_usage") == 1


def test_undecodable_error_body_raises_the_decoding_error(client, data_service):
    data_service.fail("api_usage", 500, "错误".encode("gbk"))
    with pytest.raises(UnicodeDecodeError):
        client.api_usage()


@pytest.mark.parametrize("answer, expected", [
    ({1: "a", 2: [1, 2]}, {1: "a", 2: [1, 2]}),
    ((1, "b"), [1, "b"]),
    ({"bin": b"\x00\x01", "f": 1.5, "n": None}, {"bin": b"\x00\x01", "f": 1.5, "n": None}),
])
def test_messagepack_answers(client, data_service, answer, expected):
    data_service.handlers["arsenal_request"] = lambda user, **kw: answer
    assert client.arsenal_request() == expected


def test_pickle_answer_when_messagepack_cannot_carry_it(client, data_service):
    frame = pd.DataFrame({"symbol": ["000001.SZ"], "pe_ratio": [7.5]},
                         index=pd.DatetimeIndex(["2020-01-02"]))
    data_service.handlers["run_api"] = lambda user, **kw: frame
    result = client.run_api(code="df = x", name="df")
    pd.testing.assert_frame_equal(result, frame)


def test_valid_messagepack_wins_over_pickle(client, data_service):
    both = b"\x8f" + b"N0" * 14 + b"N."  # a 15-pair map with int keys, and the pickle of None
    assert pickle.loads(both) is None
    data_service.handlers["data_array"] = lambda user, **kw: RawResponse(
        200, pickle.dumps(zlib.compress(both)))
    assert client.data_array() == {78: 46}


@pytest.mark.parametrize("body, error", [
    (b"plain text", pickle.UnpicklingError),
    (pickle.dumps(b"not a zlib stream"), zlib.error),
    (pickle.dumps("text, not bytes"), TypeError),
])
def test_200_with_a_body_that_is_no_pickle_of_zlib_data(client, data_service, body, error):
    data_service.handlers["trading_dates"] = lambda user, **kw: RawResponse(200, body)
    with pytest.raises(error):
        client.trading_dates()


def test_unpicklable_packed_result_raises_with_the_messagepack_error_as_context(client,
                                                                                data_service):
    data_service.handlers["data_array"] = lambda user, **kw: RawResponse(
        200, pickle.dumps(zlib.compress(b"\xc1 neither")))
    with pytest.raises(pickle.UnpicklingError) as caught:
        client.data_array()
    assert isinstance(caught.value.__context__, msgpack.exceptions.UnpackException)


def test_handle_response_on_a_plain_response_object(kprpc, root):
    class Response:
        status_code = 200
        content = pack_answer({"k": [1, 2]})

    assert kprpc.APIClient()._handle_response(Response()) == {"k": [1, 2]}
