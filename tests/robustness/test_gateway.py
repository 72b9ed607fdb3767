"""The gateway link and the gateway header messages on any argument.

The gateway session is a fake that records the hand-shake; no connection is made.
"""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import robustness_harness as H
import robustness_strategies as S
from varden.mod.tradeapi.sdk import gatelink
from varden.mod.tradeapi.sdk.protogen import gatemeta

HANDSHAKE = ["protocol_comfirm", "protocol_auth", "client_auth", "client_login"]


class FakeSession:
    def __init__(self, *address, **kwargs):
        self.opened = (address, kwargs)
        self.steps = []

    def __getattr__(self, step):
        if step not in HANDSHAKE:
            raise AttributeError(step)
        return lambda *args: self.steps.append((step, args))


@pytest.fixture(autouse=True)
def gateway(monkeypatch):
    monkeypatch.setattr(gatelink, "GatewaySession", FakeSession)
    monkeypatch.setattr(gatelink, "get_user_id", None)


def make_session(data):
    user = H.Answers(data, S.values)
    gatelink.get_user_id = user
    return gatelink.GatewayClient(data.draw(S.values))._make_session


def check_session(fn, outcome, args, kwargs):
    assert not outcome.raised, outcome
    session = outcome.value
    assert session.opened == (("127.0.0.1", 9999), kwargs)
    assert [step for step, _ in session.steps] == HANDSHAKE
    assert session.steps[-1][1][1] == "varden"


def check_latin1(fn, outcome, args, kwargs):
    text = H.signature("x").bind(*args, **kwargs).arguments["x"]
    expected = H.run_plain(lambda: text.encode("latin1"))
    assert type(outcome.error) is type(expected.error), (outcome, expected)
    assert outcome.value == expected.value


fields = {cls: [f.name for f in cls.DESCRIPTOR.fields]
          for cls in (gatemeta.RequestMeta, gatemeta.ResponseMeta, gatemeta.PushMeta)}
field_values = st.one_of(st.integers(-(2**31), 2**31 - 1), S.texts, S.binary, st.booleans(),
                         S.values)


def message(cls):
    names = ", ".join(f"{name}=None" for name in fields[cls])
    return H.Target(cls.__name__, f"*, {names}", lambda data: cls, args=field_values,
                    refusals=(TypeError, ValueError))


TARGETS = [
    H.Target("GatewayClient", "account_id", lambda data: gatelink.GatewayClient),
    H.Target("GatewayClient._make_session", "**kwargs", make_session,
             keywords=("timeout", "host"), check=check_session),
    H.Target("_b", "x", lambda data: gatemeta._b, args=st.one_of(S.texts, S.values),
             check=check_latin1),
    *[message(cls) for cls in fields],
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)
