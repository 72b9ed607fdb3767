from types import SimpleNamespace
from unittest import mock

import pytest

import kpquant
from kpquant.events import EVENT
from varden.mod.kelpie import eventhook
from varden.mod.kelpie.eventhook import EventFunc

ORDER_EVENTS = [
    EVENT.ORDER_PENDING_NEW, EVENT.ORDER_CREATION_PASS, EVENT.ORDER_CREATION_REJECT,
    EVENT.ORDER_PENDING_CANCEL, EVENT.ORDER_CANCELLATION_PASS, EVENT.ORDER_CANCELLATION_REJECT,
    EVENT.ORDER_UNSOLICITED_UPDATE, EVENT.TRADE,
]


class RecordingBus:
    def __init__(self):
        self.added = []

    def add_listener(self, event_type, listener):
        self.added.append((event_type, listener))


class FakeEnv:
    def __init__(self, scope):
        self.event_bus = RecordingBus()
        self.strategy = SimpleNamespace(scope=scope, user_context="context-1")

    def get_user_strategy(self):
        return self.strategy


def loaded(scope):
    env = FakeEnv(scope)
    assert EventFunc(env).load_strategy(object()) is None
    return env


def test_register_event_listens_for_the_strategy_start():
    env = FakeEnv({})
    hook = EventFunc(env)
    assert hook._env is env
    assert hook.register_event() is None
    [(event_type, listener)] = env.event_bus.added
    assert event_type is EVENT.PRE_STRATEGY_RUN
    assert listener.__self__ is hook and listener.__func__ is EventFunc.load_strategy


def test_one_order_handler_for_eight_events_then_the_trade_handler():
    env = loaded({"on_order": lambda c, o: None, "on_trade": lambda c, t: None})
    added = env.event_bus.added
    assert [event_type for event_type, _ in added] == ORDER_EVENTS + [EVENT.TRADE]
    order_handlers = {id(listener) for _, listener in added[:8]}
    assert len(order_handlers) == 1
    assert id(added[8][1]) not in order_handlers


@pytest.mark.parametrize("scope, count", [
    ({}, 0),
    ({"on_order": None, "on_trade": None}, 0),
    ({"on_order": 0, "on_trade": ""}, 0),
    ({"on_trade": lambda c, t: None}, 1),
    ({"on_order": lambda c, o: None}, 8),
])
def test_absent_or_falsy_callbacks_add_no_listener(scope, count):
    assert len(loaded(scope).event_bus.added) == count


def test_handlers_read_the_context_when_called_and_return_the_result():
    calls = []
    env = loaded({
        "on_order": lambda context, order: calls.append(("order", context, order)) or "o-result",
        "on_trade": lambda context, trade: calls.append(("trade", context, trade)) or "t-result",
    })
    order_handler, trade_handler = env.event_bus.added[0][1], env.event_bus.added[8][1]
    env.strategy.user_context = "context-2"
    event = SimpleNamespace(order="the order", trade="the fill")
    assert order_handler(event) == "o-result"
    assert trade_handler(event) == "t-result"
    assert calls == [("order", "context-2", "the order"), ("trade", "context-2", "the fill")]


def test_errors_propagate_unchanged():
    env = loaded({"on_trade": lambda context, trade: 1 / 0})
    with pytest.raises(ZeroDivisionError):
        env.event_bus.added[0][1](SimpleNamespace(trade=None))

    class Failing(FakeEnv):
        def get_user_strategy(self):
            raise LookupError("no strategy")

    with pytest.raises(LookupError, match="no strategy"):
        EventFunc(Failing({})).load_strategy(None)


def test_events_are_looked_up_through_the_module_at_call_time():
    fake_events = SimpleNamespace(PRE_STRATEGY_RUN="fake-start")
    env = FakeEnv({})
    with mock.patch("varden.mod.kelpie.eventhook.EVENT", fake_events):
        EventFunc(env).register_event()
    assert env.event_bus.added[0][0] == "fake-start"
    assert eventhook.EVENT is EVENT


@pytest.fixture
def restore_class_dict():
    before = set(vars(EventFunc))
    yield
    for name in set(vars(EventFunc)) - before:
        delattr(EventFunc, name)


@pytest.mark.parametrize("register_args, attached_as", [
    ((), "double_it"),
    ((None,), "double_it"),
    (("",), "double_it"),
    (("twice",), "twice"),
])
def test_register_attaches_a_static_function(restore_class_dict, register_args, attached_as):
    def double_it(x):
        return 2 * x

    decorated = EventFunc.register(*register_args)(double_it)
    assert decorated is double_it
    assert isinstance(vars(EventFunc)[attached_as], staticmethod)
    assert getattr(EventFunc, attached_as)(4) == 8
    assert getattr(EventFunc(None), attached_as)(5) == 10


@pytest.mark.parametrize("make", [lambda: EventFunc(), lambda: EventFunc(1, 2)])
def test_constructor_takes_exactly_the_environment(make):
    with pytest.raises(TypeError, match=r"EventFunc.__init__\(\)"):
        make()


def test_callbacks_follow_the_engine_events_of_a_run(write_strategy, no_data_layer):
    class HookMod:
        def start_up(self, env, mod_config):
            EventFunc(env).register_event()

        def tear_down(self, success, exception=None):
            pass

    path = write_strategy("""
        def init(context):
            context.calls = []
        def handle_bar(context, bar_dict):
            cancel_order(order_shares("000001.SZ", 100, price=10.0))
        def on_order(context, order):
            context.calls.append(("order", order.status.name))
        def on_trade(context, trade):
            context.calls.append(("trade", trade.quantity))
    """)
    result = kpquant.run(path, "2024-03-01", "2024-03-01", mods={"h": HookMod})
    # Order events show the order as it stands when the event is published.
    assert result.context.calls == [
        ("order", "PENDING_NEW"), ("order", "ACTIVE"), ("order", "FILLED"), ("trade", 100),
        ("order", "FILLED"), ("order", "FILLED")]


def test_a_strategy_that_reaches_its_event_bus_stays_collectable():
    import gc
    import weakref

    env = FakeEnv({"on_order": lambda c, o: None, "on_trade": lambda c, t: None})
    env.strategy.scope["env"] = env  # strategy -> env -> bus -> handlers -> strategy
    EventFunc(env).load_strategy(None)
    gone = weakref.ref(env)
    del env
    gc.collect()
    assert gone() is None


def test_a_class_that_keeps_its_own_register_decorator_stays_collectable():
    import gc
    import weakref

    class Hooks(EventFunc):
        pass

    Hooks.decorate = Hooks.register("on_bar")  # class -> decorator -> class
    gone = weakref.ref(Hooks)
    del Hooks
    gc.collect()
    assert gone() is None


def test_scope_is_asked_with_the_name_alone():
    class Scope:
        """A mapping of the strategy's names whose ``get`` takes only the name."""

        def __init__(self, names):
            self.names = names
            self.asked = []

        def get(self, name):
            self.asked.append(name)
            return self.names.get(name)

    scope = Scope({"on_trade": lambda context, trade: "t-result"})
    env = loaded(scope)
    assert scope.asked == ["on_order", "on_trade"]
    [(event_type, handler)] = env.event_bus.added
    assert event_type is EVENT.TRADE
    assert handler(SimpleNamespace(trade="fill")) == "t-result"
