import datetime

import pytest
import requests

from varden.mod.kelpie import setting
from varden.sandbox.questions import running_question_service

FAILED = "初始化querybay股票池失败."
JAN2, JAN3 = datetime.date(2024, 1, 2), datetime.datetime(2024, 1, 3, 15, 30)


class WarnRecorder:
    def __init__(self):
        self.warnings = []

    def warn(self, message):
        self.warnings.append(message)


@pytest.fixture
def querybay():
    from varden.mod.stock.utils import querybay

    return querybay


@pytest.fixture
def service(monkeypatch):
    with running_question_service() as service:
        monkeypatch.setattr(setting, "QUERYBAY_URL", service.url)
        yield service


@pytest.fixture
def warnings(querybay, monkeypatch):
    recorder = WarnRecorder()
    monkeypatch.setattr(querybay, "log", recorder)
    return recorder.warnings


@pytest.mark.parametrize("version, sent", [((), ""), (("",), ""), ((None,), ""), (("v2",), "v2")])
def test_question_sends_four_parameters_in_order(querybay, service, version, sent):
    bay = querybay.QueryBay(*version)
    assert bay.version == sent
    assert bay.question("银行股", JAN2, JAN3) == {
        "20240102": ["000001.SZ", "600000.SH", "601398.SH"],
        "20240103": ["000001.SZ", "600000.SH", "601398.SH"]}
    assert service.requests == [("/querybay/question", [
        ("query", "银行股"), ("startDate", "20240102"), ("endDate", "20240103"),
        ("parserVersion", sent)])]


def test_request_has_an_eight_second_timeout(querybay, service, monkeypatch):
    calls = []

    class RecordingRequests:
        @staticmethod
        def get(url, **kwargs):
            calls.append((url, kwargs))
            return requests.get(url, **kwargs)

    monkeypatch.setattr(querybay, "requests", RecordingRequests)
    querybay.QueryBay().question("白酒", JAN2, JAN2)
    assert calls == [(service.url, {"params": {
        "query": "白酒", "startDate": "20240102", "endDate": "20240102", "parserVersion": ""},
        "timeout": 8})]


def test_two_server_errors_give_a_fresh_empty_dict(querybay, service, warnings):
    bay = querybay.QueryBay()
    service.fail_next("http_500", count=2)
    first = bay.question("银行股", JAN2, JAN3)
    assert first == {} and len(service.requests) == 2
    assert warnings == [FAILED, FAILED]
    first["kept"] = ["000001.SZ"]
    service.fail_next("not_json", count=2)
    assert bay.question("银行股", JAN2, JAN3) == {}


@pytest.mark.parametrize("failure, warning", [
    ("http_500", FAILED), ("not_json", FAILED), ("status", "初始化querybay股票池失败: 服务繁忙."),
])
def test_one_failure_is_retried(querybay, service, warnings, failure, warning):
    service.fail_next(failure)
    assert querybay.QueryBay().question("科创板", JAN2, JAN2) == {"20240102": ["688981.SH"]}
    assert len(service.requests) == 2
    assert warnings == [warning]


@pytest.mark.parametrize("answer, result", [
    ({"status_code": 0}, {}),
    ({"status_code": 0, "result": {"b": ",600000.SH,000001.SZ,", "a": "", "c": None}},
     {"b": ["600000.SH", "000001.SZ"], "a": [], "c": []}),
    ({"status_code": 0, "result": {"x": "300750.SZ"}}, {"x": ["300750.SZ"]}),
])
def test_answers_parse_at_once(querybay, service, warnings, answer, result):
    service.queue_answer(answer)
    got = querybay.QueryBay().question("anything", JAN2, JAN2)
    assert got == result and list(got) == list(result)
    assert len(service.requests) == 1 and warnings == []


@pytest.mark.parametrize("answer, warning", [
    ({"result": {}}, "初始化querybay股票池失败: None."),
    ({"status_code": 2, "status_msg": "问句过长"}, "初始化querybay股票池失败: 问句过长."),
    ({"status_code": 0, "result": {"a": 5}}, FAILED),
    ({"status_code": 0, "result": ["a"]}, FAILED),
    ([1, 2], FAILED),
])
def test_malformed_answers_are_warnings(querybay, service, warnings, answer, warning):
    body = answer if isinstance(answer, dict) else b"[1, 2]"
    service.queue_answer(body)
    service.queue_answer(body)
    assert querybay.QueryBay().question("q", JAN2, JAN2) == {}
    assert warnings == [warning, warning]


def test_unreachable_service_and_bad_dates(querybay, warnings, monkeypatch):
    with running_question_service() as gone:
        url = gone.url
    monkeypatch.setattr(setting, "QUERYBAY_URL", url)
    assert querybay.QueryBay().question("q", JAN2, JAN2) == {}
    assert querybay.QueryBay().question("q", "20240102", JAN2) == {}
    assert warnings == [FAILED] * 4


def test_service_url_is_read_at_every_call(querybay, service, monkeypatch):
    bay = querybay.QueryBay()
    with running_question_service() as other:
        monkeypatch.setattr(setting, "QUERYBAY_URL", other.url)
        bay.question("全部", JAN2, JAN2)
    assert len(other.requests) == 1 and service.requests == []


def test_argument_counts(querybay):
    with pytest.raises(TypeError):
        querybay.QueryBay("v", "extra")
    with pytest.raises(TypeError):
        querybay.QueryBay().question("q", JAN2)
