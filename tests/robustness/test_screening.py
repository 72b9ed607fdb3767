"""The question screening client on any question, dates and service answer.

Every attempt runs under the client's own handler and the retry decorator, so whatever the
service answers and whatever the dates are, a call with the right arguments returns a dict.
"""

import json
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

import robustness_harness as H
import robustness_strategies as S
from varden.mod.stock.utils import querybay


class Response:
    def __init__(self, status_code, content):
        self.status_code, self.content = status_code, content

    def __repr__(self):
        return f"Response({self.status_code!r}, {self.content!r})"


json_texts = st.one_of(
    st.fixed_dictionaries({}, optional={
        "status_code": st.one_of(st.just(0), st.integers(-2, 2), S.texts),
        "status_msg": st.one_of(S.texts, st.none()),
        "result": st.one_of(st.dictionaries(S.texts, st.one_of(
            S.texts, st.sampled_from([",000001.SZ,600000.SH,", ""]), st.none(), st.integers())),
            st.lists(st.integers(), max_size=2), S.texts),
    }).map(lambda d: json.dumps(d).encode()),
    st.sampled_from([b"", b"{", b"\xff", b"[]", b"null", b"  {\"status_code\": 0}  "]),
)
responses = st.one_of(
    st.builds(Response, st.one_of(st.just(200), st.sampled_from([404, 500]), S.values),
              st.one_of(json_texts, S.values)),
    S.values,
)


class NullLog:
    def warn(self, message):
        return None

    info = warn


@pytest.fixture(autouse=True)
def service(monkeypatch):
    monkeypatch.setattr(querybay, "log", NullLog())
    monkeypatch.setattr(querybay, "setting",
                        types.SimpleNamespace(QUERYBAY_URL="http://127.0.0.1:9/query"))
    monkeypatch.setattr(querybay, "requests", None)


def question(data):
    answers = H.Answers(data, responses)
    querybay.requests = types.SimpleNamespace(get=lambda url, params, timeout: answers())
    return querybay.QueryBay(data.draw(st.one_of(st.none(), S.texts, S.values))).question


def always_a_dict(fn, outcome, args, kwargs):
    assert not outcome.raised and isinstance(outcome.value, dict), outcome


TARGETS = [
    H.Target("QueryBay", "version=None", lambda data: querybay.QueryBay),
    H.Target("QueryBay.question", "question_str, start_dt, end_dt", question,
             args=st.one_of(S.timestamps, S.texts, S.values), check=always_a_dict),
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)
