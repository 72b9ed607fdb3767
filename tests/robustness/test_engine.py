"""The engine mod, the strategy event hooks and the host probe on any argument.

The engine's environment, event bus, strategy, API registry and Kafka output are fakes; the
class registry of EventFunc is restored after every example, since registering under a drawn
name may replace any attribute of the class.
"""

import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

import hostprobe
import robustness_harness as H
import robustness_strategies as S
from varden.mod.kelpie import eventhook, kafka_output
from varden.mod.kelpie import mod as kelpie_mod
from varden.mod.kelpie.errors import UserError


class FakeBus:
    def __init__(self):
        self.listeners = []

    def add_listener(self, event, listener):
        self.listeners.append((event, listener))


@st.composite
def environments(draw):
    """An engine environment whose strategy defines drawn callbacks."""
    scope = draw(st.dictionaries(
        st.sampled_from(["on_order", "on_trade"]),
        st.one_of(st.just(lambda context, item: (context, item)), S.values)), label="scope")
    strategy = types.SimpleNamespace(scope=scope, user_context=draw(S.values))
    return types.SimpleNamespace(event_bus=FakeBus(), get_user_strategy=lambda: strategy,
                                 set_persist_provider=lambda provider: None)


def environment(data):
    return data.draw(environments(), label="environment")

events = st.one_of(st.builds(types.SimpleNamespace, order=S.values, trade=S.values), S.values)
mod_configs = st.one_of(
    st.builds(types.SimpleNamespace, enable_kafka_output=st.one_of(st.booleans(), S.values),
              daily_last_event=S.values, daily_collect_trade=S.values, style=S.values,
              persist_provider=st.one_of(st.none(), S.values)),
    S.values,
)


class FakeKafka:
    def __init__(self, env, daily_last_event, daily_collect_trade, style):
        self.env = env

    def register_event(self):
        return None


@pytest.fixture(autouse=True)
def engine(monkeypatch):
    saved = dict(vars(eventhook.EventFunc))
    monkeypatch.setattr(kelpie_mod, "export_as_api", lambda api: None)
    monkeypatch.setattr(kelpie_mod, "register_api", lambda name, api: None)
    monkeypatch.setattr(kafka_output, "KafkaOutput", FakeKafka)
    yield
    restore_event_func(saved)


def restore_event_func(saved):
    cls = eventhook.EventFunc
    for name in set(vars(cls)) - set(saved):
        delattr(cls, name)
    for name, value in saved.items():
        if name not in ("__dict__", "__weakref__") and vars(cls).get(name) is not value:
            setattr(cls, name, value)


def with_restored_registry(reach):
    saved = dict(vars(eventhook.EventFunc))

    def restored(data):
        restore_event_func(saved)
        return reach(data)

    return restored


def event_func(name):
    return with_restored_registry(
        lambda data: getattr(eventhook.EventFunc(environment(data)), name))


def decorator(data):
    return eventhook.EventFunc.register(data.draw(st.one_of(st.none(), S.texts, S.values)))


def strategy_handler(data):
    """One of the listeners that load_strategy adds for the strategy's callbacks."""
    env = environment(data)
    # A drawn strategy scope may refuse to be read: loading then fails with its own error.
    loaded = H.invoke(eventhook.EventFunc(env).load_strategy, None)
    if loaded.raised or not env.event_bus.listeners:
        return lambda e: None  # no callback of the strategy was connected: nothing to call
    return data.draw(st.sampled_from([listener for _, listener in env.event_bus.listeners]))


def check_registered(fn, outcome, args, kwargs):
    """The decorator hands back the very function it was given."""
    if not outcome.raised:
        func = H.signature("func").bind(*args, **kwargs).arguments["func"]
        assert outcome.value is func


def check_host_info(fn, outcome, args, kwargs):
    """The collected bytes, cut at the first zero byte, never past the 344-byte buffer."""
    assert isinstance(outcome.value, bytes) and b"\0" not in outcome.value, outcome
    assert len(outcome.value) < 344


def check_tear_down(fn, outcome, args, kwargs):
    exception = H.signature("success, exception=None").bind(*args, **kwargs).arguments.get(
        "exception")
    truthy = H.run_plain(bool, exception)
    if not truthy.raised and not truthy.value:
        assert not outcome.raised and outcome.value is None, outcome
    elif not truthy.raised and isinstance(getattr(exception, "error", None), str):
        assert isinstance(outcome.error, UserError), outcome


class EngineError:
    def __init__(self, error):
        self.error = error


TARGETS = [
    H.Target("EventFunc", "env", lambda data: eventhook.EventFunc,
             args=st.one_of(environments(), S.values)),
    H.Target("EventFunc.register", "name=None",
             with_restored_registry(lambda data: eventhook.EventFunc.register)),
    H.Target("EventFunc.register()", "func", with_restored_registry(decorator),
             args=st.one_of(S.values, st.just(len)), check=check_registered),
    H.Target("EventFunc.register_event", "", event_func("register_event")),
    H.Target("EventFunc.load_strategy", "event", event_func("load_strategy"), args=events),
    H.Target("EventFunc strategy handler", "e", strategy_handler, args=events),
    H.Target("KelpieMod", "", lambda data: kelpie_mod.KelpieMod),
    H.Target("KelpieMod.start_up", "env, mod_config",
             with_restored_registry(lambda data: kelpie_mod.KelpieMod().start_up),
             args=st.one_of(mod_configs, environments())),
    H.Target("KelpieMod.tear_down", "success, exception=None",
             lambda data: kelpie_mod.KelpieMod().tear_down,
             args=st.one_of(S.values, st.builds(EngineError, st.one_of(S.texts, S.values))),
             check=check_tear_down),
    H.Target("hostprobe.get_system_info", "", lambda data: hostprobe.get_system_info,
             check=check_host_info),
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)
