"""Stand-in: how the engine reports a failed run."""

import traceback


class ErrorRecord:
    """What went wrong in a run: the exception and the frames of the user's strategy file
    (or, when the failure happened outside it, the frames of the whole traceback)."""

    def __init__(self, exc, phase, strategy_path):
        self.exc_type = type(exc)
        self.exc_value = exc
        self.phase = phase
        frames = traceback.extract_tb(exc.__traceback__)
        in_strategy = [f for f in frames if f.filename == strategy_path]
        self.stack_info = in_strategy or list(frames)

    def __repr__(self):
        return f"ErrorRecord({self.phase!r}, {self.exc_type.__name__}: {self.exc_value})"


class StrategyRunError(Exception):
    """Raised by ``run`` when a run failed and no mod turned the failure into its own error."""

    def __init__(self, error):
        super().__init__(f"{error.phase}: {error.exc_type.__name__}: {error.exc_value}")
        self.error = error
