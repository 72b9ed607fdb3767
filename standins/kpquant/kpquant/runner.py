"""Stand-in: running a strategy from start to end date with a set of mods."""

import importlib
import json
import os
from dataclasses import dataclass
from types import SimpleNamespace

import pandas as pd

import kpquant.api.api_order  # noqa: F401  (publishes the order functions)
from kpquant.broker import Broker
from kpquant.environment import Environment
from kpquant.events import EVENT, Event
from kpquant.exception import ErrorRecord, StrategyRunError
from kpquant.market import BarMap, MarketData
from kpquant.model import Portfolio, UserContext
from kpquant.strategy import UserStrategy

# A daily bar closes at this time; it is the strategy's ``context.now`` in ``handle_bar``.
MARKET_CLOSE = pd.Timedelta(hours=15)


@dataclass
class RunResult:
    trading_days: list
    orders: list
    trades: list
    portfolio: Portfolio
    context: UserContext


def _mod_class(spec):
    if not isinstance(spec, str):
        return spec
    module_name, _, class_name = spec.rpartition(".")
    return getattr(importlib.import_module(module_name), class_name)


def _mod_config(config):
    if config is None:
        return SimpleNamespace()
    if isinstance(config, dict):
        return SimpleNamespace(**config)
    return config


def _publish(env, event_type, **payload):
    env.event_bus.publish_event(Event(event_type, **payload))


def _tear_down(started, success, exception):
    """Tear every started mod down, last started first; the first error raised wins."""
    first_error = None
    for mod in reversed(started):
        try:
            mod.tear_down(success, exception)
        except Exception as error:  # the other mods still get their tear_down
            if first_error is None:
                first_error = error
    if first_error is not None:
        if first_error.__context__ is None:
            # Show the run's own failure beneath the mod's error, as Python chains an error
            # raised while another is handled.
            first_error.__context__ = exception
        raise first_error


def run(strategy_path, start_date, end_date, mods=None, mod_configs=None,
        starting_cash=1_000_000.0):
    """Run the strategy file at ``strategy_path`` over the trading days from ``start_date``
    to ``end_date`` (both included).

    ``mods`` maps a mod name to its class (or the dotted path of its class);
    ``mod_configs`` maps the same name to its configuration, a dict or any object whose
    attributes the mod reads. Returns a ``RunResult``. A failed run raises what a mod's
    ``tear_down`` raised, else ``StrategyRunError`` carrying the ``ErrorRecord`` as ``error``.
    """
    strategy_path = os.path.abspath(strategy_path)
    mod_configs = mod_configs or {}
    env = Environment(SimpleNamespace(start_date=start_date, end_date=end_date))
    env.portfolio = Portfolio(starting_cash, starting_cash)
    Environment._env = env
    started, success, exception, phase = [], False, None, "start_up"
    try:
        try:
            instances = [(name, _mod_class(spec)()) for name, spec in (mods or {}).items()]
            for name, mod in instances:
                started.append(mod)
                mod.start_up(env, _mod_config(mod_configs.get(name)))

            phase = "load"
            market = MarketData()
            env.broker = Broker(env, market)
            days = market.trading_days(start_date, end_date)
            strategy = UserStrategy(strategy_path, UserContext(env.portfolio))
            env.user_strategy = strategy
            _publish(env, EVENT.PRE_STRATEGY_RUN)

            phase = "init"
            # During init the current time is the start of the first trading day.
            env.trading_dt = days[0] if days else pd.Timestamp(start_date).normalize()
            strategy.user_context.now = env.trading_dt
            strategy.init()
            phase = "handle_bar"
            for day in days:
                env.trading_dt = day + MARKET_CLOSE
                strategy.user_context.now = env.trading_dt
                _publish(env, EVENT.PRE_BAR)
                strategy.handle_bar(BarMap(market, env.trading_dt))
                _publish(env, EVENT.POST_BAR)
                if env.persist_provider:
                    snapshot = json.dumps(env.portfolio.snapshot()).encode()
                    env.persist_provider.store("portfolio", snapshot)
            _publish(env, EVENT.POST_STRATEGY_RUN)
            success = True
        except Exception as exc:
            exception = StrategyRunError(ErrorRecord(exc, phase, strategy_path))
            exception.__cause__ = exc
        finally:
            _tear_down(started, success, exception)
    finally:
        Environment._env = None
    if exception is not None:
        raise exception
    return RunResult(days, env.broker.orders, env.broker.trades, env.portfolio,
                     strategy.user_context)
