"""Stand-in: argument checks for the research functions.

``accepts(*specs)(func)`` checks the leading arguments of each call against ``specs``, one
spec per parameter in order; parameters beyond the last spec are not checked. A spec is

- a type, or a tuple of types: the argument must be an instance of one of them;
- a tuple of sample values: the argument must be an instance of the type of one of the
  samples (("post", None) accepts any text and None; (False,) any bool). Samples name the
  kind of value expected, not the full list of allowed values;
- a ``DateValidator()``: anything ``pandas.Timestamp`` accepts, or None.

None also passes a type spec when the parameter's own default is None, so that a default
can be passed explicitly. An argument left out is not checked. Positional arguments are
matched to specs by position, keyword arguments by parameter name; the names and defaults
come from ``inspect.signature(func)``, which for a builtin (C) function needs its
``__text_signature__``. A mismatch raises ``TypeError`` (``ValueError`` for a text that is
no date) naming the function and the parameter. Calls with wrong argument counts or
unknown keywords are left to ``func`` itself to refuse.
"""

import functools
import inspect

import pandas as pd


class DateValidator:
    def check(self, func_name, param, value):
        if value is None:
            return
        try:
            pd.Timestamp(value)
        except TypeError as exc:
            raise TypeError(
                f"{func_name}() argument '{param}' must be a date, not {type(value).__name__}"
            ) from exc
        except (ValueError, OverflowError) as exc:
            raise ValueError(f"{func_name}() argument '{param}' is not a date: {value!r}") from exc


class _TypeSpec:
    def __init__(self, types, shown):
        self.types = types
        self.shown = shown

    def check(self, func_name, param, value):
        if not isinstance(value, self.types):
            raise TypeError(
                f"{func_name}() argument '{param}' must be {self.shown}, "
                f"not {type(value).__name__}"
            )


def _spec_checker(spec):
    if isinstance(spec, DateValidator):
        return spec
    if isinstance(spec, type):
        return _TypeSpec(spec, spec.__name__)
    if isinstance(spec, tuple) and spec:
        if all(isinstance(member, type) for member in spec):
            return _TypeSpec(spec, " or ".join(t.__name__ for t in spec))
        sample_types = tuple(dict.fromkeys(type(sample) for sample in spec))
        return _TypeSpec(sample_types, f"like one of {spec!r}")
    raise TypeError(f"accepts: a spec must be a type, a non-empty tuple or a DateValidator, "
                    f"not {spec!r}")


class _NoneOrSpec:
    """A spec that also lets None through: the parameter defaults to None."""

    def __init__(self, checker):
        self.checker = checker

    def check(self, func_name, param, value):
        if value is not None:
            self.checker.check(func_name, param, value)


def accepts(*specs):
    checkers = [_spec_checker(spec) for spec in specs]

    def decorate(func):
        name = getattr(func, "__name__", repr(func))
        checked = []
        if checkers:
            try:
                params = list(inspect.signature(func).parameters.values())
            except (TypeError, ValueError) as exc:
                raise TypeError(f"accepts: cannot read the parameters of {name}; "
                                "a builtin needs a __text_signature__") from exc
            if len(params) < len(checkers):
                raise TypeError(f"accepts: {len(checkers)} specs for {len(params)} "
                                f"parameters of {name}")
            for checker, param in zip(checkers, params):
                if param.default is None:
                    checker = _NoneOrSpec(checker)
                checked.append((param.name, checker))
        by_name = dict(checked)

        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            for (param, checker), value in zip(checked, args):
                checker.check(name, param, value)
            for param, value in kwargs.items():
                checker = by_name.get(param)
                if checker is not None:
                    checker.check(name, param, value)
            return func(*args, **kwargs)

        return wrapper

    return decorate
