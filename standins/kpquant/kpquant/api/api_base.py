"""Stand-in: the registry of names published to strategies."""

_published = {}


def register_api(name, obj):
    _published[name] = obj


def export_as_api(func):
    """Publish ``func`` under its own name; usable as a decorator."""
    register_api(func.__name__, func)
    return func


def published_apis():
    """A copy of the registry, in publication order."""
    return dict(_published)
