"""Stand-in: base class of engine mods."""


class AbstractMod:
    """A mod is constructed without arguments; the engine then calls ``start_up`` once
    before the strategy runs and ``tear_down`` once when the run ends."""

    def start_up(self, env, mod_config):
        raise NotImplementedError

    def tear_down(self, success, exception=None):
        raise NotImplementedError
