"""Stand-in: the running strategy's environment."""

from kpquant.events import EventBus


class Environment:
    """State of one run. ``Environment._env`` is the running one, None between runs."""

    _env = None

    def __init__(self, config):
        self.config = config
        self.event_bus = EventBus()
        self.trading_dt = None
        self.user_strategy = None
        self.persist_provider = None
        self.portfolio = None
        self.broker = None

    @classmethod
    def get_instance(cls):
        if cls._env is None:
            raise RuntimeError("no strategy run is active")
        return cls._env

    def get_user_strategy(self):
        return self.user_strategy

    def set_persist_provider(self, provider):
        self.persist_provider = provider
