import sys
import types
from types import SimpleNamespace

import pytest

from kpquant.interface import AbstractMod
from varden.mod.kelpie import kafka_output
from varden.mod.kelpie.errors import UserError

KAFKA_MODULE = "varden.mod.kelpie.kafka_output"


def config(**overrides):
    values = dict(enable_kafka_output=False, daily_last_event="POST_BAR",
                  daily_collect_trade=True, style="backtest", persist_provider=None)
    values.update(overrides)
    return SimpleNamespace(**values)


def fake_module(name, names):
    module = types.ModuleType(name)
    module.__all__ = list(names)
    for n in names:
        setattr(module, n, f"{name}.{n}")
    return module


@pytest.fixture
def steps(kelpie_mod, monkeypatch):
    """Replaces every collaborator of start_up by a fake that records its call."""
    log = []

    class FakeKafka:
        def __init__(self, *args):
            log.append(("KafkaOutput", args))

        def register_event(self, *args):
            log.append(("kafka.register_event", args))

    class FakeEventFunc:
        def __init__(self, env):
            log.append(("EventFunc", env))

        def register_event(self):
            log.append(("hooks.register_event",))

    monkeypatch.setattr(kafka_output, "KafkaOutput", FakeKafka)
    monkeypatch.setattr(kelpie_mod, "EventFunc", FakeEventFunc)
    monkeypatch.setattr(kelpie_mod, "export_as_api", lambda f: log.append(("export", f)))
    monkeypatch.setattr(kelpie_mod, "register_api", lambda n, f: log.append(("register", n, f)))
    monkeypatch.setattr(kelpie_mod, "api_comm", fake_module("comm", ["a1", "a2"]))
    monkeypatch.setattr(kelpie_mod, "research", fake_module("research", ["r1", "r2"]))
    monkeypatch.setattr(kelpie_mod, "studybench", fake_module("bench", ["b1", "b2"]))
    return log


class FakeEnv:
    def __init__(self, log):
        self.log = log

    def set_persist_provider(self, provider):
        self.log.append(("set_persist_provider", provider))


def test_start_up_steps_come_in_their_fixed_order(kelpie_mod, steps):
    env = FakeEnv(steps)
    result = kelpie_mod.KelpieMod().start_up(
        env, config(enable_kafka_output=1, persist_provider="store"))
    assert result is None
    assert steps == [
        ("KafkaOutput", (env, "POST_BAR", True, "backtest")),
        ("kafka.register_event", ()),
        ("export", "comm.a1"), ("export", "comm.a2"),
        ("register", "r1", "research.r1"), ("register", "r2", "research.r2"),
        ("export", "bench.b1"), ("export", "bench.b2"),
        ("set_persist_provider", "store"),
        ("EventFunc", env), ("hooks.register_event",),
    ]


def test_kafka_output_is_never_imported_when_disabled(kelpie_mod, steps, monkeypatch):
    monkeypatch.delitem(sys.modules, KAFKA_MODULE)
    monkeypatch.delattr("varden.mod.kelpie.kafka_output")
    kelpie_mod.KelpieMod().start_up(FakeEnv(steps), config(enable_kafka_output=0))
    assert KAFKA_MODULE not in sys.modules
    assert steps[0] == ("export", "comm.a1")


@pytest.mark.parametrize("provider, stored", [
    (None, False), ("", False), (0, False), ([], False), ("db", True), ([1], True),
])
def test_persist_provider_only_when_truthy(kelpie_mod, steps, provider, stored):
    kelpie_mod.KelpieMod().start_up(FakeEnv(steps), config(persist_provider=provider))
    assert (("set_persist_provider", provider) in steps) is stored


def test_start_up_errors_propagate_and_earlier_steps_stay_done(kelpie_mod, steps, monkeypatch):
    monkeypatch.setattr(kelpie_mod, "research", types.ModuleType("no_all"))
    with pytest.raises(AttributeError, match="__all__"):
        kelpie_mod.KelpieMod().start_up(FakeEnv(steps), config())
    assert steps == [("export", "comm.a1"), ("export", "comm.a2")]


def test_a_missing_kafka_output_class_is_an_import_error(kelpie_mod, steps, monkeypatch):
    monkeypatch.delattr(kafka_output, "KafkaOutput")
    with pytest.raises(ImportError, match=f"cannot import name 'KafkaOutput' from '{KAFKA_MODULE}'"):
        kelpie_mod.KelpieMod().start_up(FakeEnv(steps), config(enable_kafka_output=True))
    assert steps == []


@pytest.mark.parametrize("args", [(True,), (False, None), (False, 0), (True, None)])
def test_tear_down_without_an_exception_returns_none(kelpie_mod, args):
    assert kelpie_mod.KelpieMod().tear_down(*args) is None


def test_tear_down_turns_the_engine_error_into_user_error(kelpie_mod, monkeypatch):
    seen = []
    monkeypatch.setattr(kelpie_mod, "get_error_message",
                        lambda error: seen.append(error) or "engine text")
    engine_error = RuntimeError("boom")
    engine_error.error = "the record"
    with pytest.raises(UserError) as caught:
        kelpie_mod.KelpieMod().tear_down(False, exception=engine_error)
    assert (caught.value.error_type, caught.value.traceback_msg) == ("回测运行错误", "engine text")
    assert seen == ["the record"]
    assert caught.value is not engine_error


def test_kelpie_mod_is_an_engine_mod(kelpie_mod):
    mod = kelpie_mod.KelpieMod()
    assert isinstance(mod, AbstractMod)
    assert vars(mod) == {"_env": None}
    assert type(mod).__module__ == "varden.mod.kelpie.mod"
    with pytest.raises(TypeError, match=r"KelpieMod.__init__\(\) takes 1 positional argument"):
        kelpie_mod.KelpieMod(1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'success'"):
        mod.tear_down()


def test_module_names_are_bound_at_import(kelpie_mod):
    from kpquant import export_as_api
    from kpquant.api.api_base import register_api
    from varden.mod.kelpie import errors, eventhook, research
    from varden.mod.kelpie.api import api_comm

    assert kelpie_mod.AbstractMod is AbstractMod
    assert (kelpie_mod.export_as_api, kelpie_mod.register_api) == (export_as_api, register_api)
    assert (kelpie_mod.api_comm, kelpie_mod.research) == (api_comm, research)
    assert kelpie_mod.EventFunc is eventhook.EventFunc
    assert kelpie_mod.UserError is errors.UserError
    assert kelpie_mod.get_error_message is errors.get_error_message
    assert kelpie_mod.studybench.__name__ == "varden.mod.kelpie.research.studybench"
