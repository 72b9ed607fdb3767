"""Stand-in: ``superreload(module)``: reload a module so that old references follow the new code.

After ``importlib.reload`` the module's names point at new objects, but objects handed out
before (a function stored in a dict, an instance of a class) still point at the old ones.
For every function and class that the module itself defined, the old object is updated in
place from the new one: a function takes the new code, defaults, doc and attributes; a
class takes the new class's attributes (its methods updated the same way). The module's
names are then bound back to the old, updated objects, so instances created before the
reload keep passing ``isinstance`` checks. Other objects (constants, imported names) are
left to the reload.

A function whose closure changed size cannot take the new code; it is replaced in the
module rather than updated.
"""

import importlib
import types

_CLASS_SKIP = {"__dict__", "__weakref__", "__module__", "__qualname__"}


def _update_function(old, new):
    try:
        old.__code__ = new.__code__
    except ValueError:  # closure size differs
        return False
    old.__defaults__ = new.__defaults__
    old.__kwdefaults__ = new.__kwdefaults__
    old.__doc__ = new.__doc__
    old.__dict__.update(new.__dict__)
    return True


def _update_class(old, new):
    for key, new_value in list(new.__dict__.items()):
        if key in _CLASS_SKIP:
            continue
        old_value = old.__dict__.get(key)
        if isinstance(old_value, types.FunctionType) and isinstance(new_value, types.FunctionType):
            if _update_function(old_value, new_value):
                continue
        setattr(old, key, new_value)
    for key in set(old.__dict__) - set(new.__dict__) - _CLASS_SKIP:
        delattr(old, key)


def superreload(module):
    """Reload ``module`` and update its old functions and classes in place; returns it."""
    old_objects = {
        name: obj
        for name, obj in vars(module).items()
        if isinstance(obj, (types.FunctionType, type))
        and getattr(obj, "__module__", None) == module.__name__
    }
    importlib.reload(module)
    namespace = vars(module)
    for name, old in old_objects.items():
        new = namespace.get(name)
        if isinstance(old, types.FunctionType) and isinstance(new, types.FunctionType):
            if _update_function(old, new):
                namespace[name] = old
        elif isinstance(old, type) and isinstance(new, type):
            _update_class(old, new)
            namespace[name] = old
    return module
