"""varden: research and live-trading kit (compiled core with Python stand-ins)."""

__version__ = "0.4.0"
