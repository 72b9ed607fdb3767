"""varden: research and live-trading kit (compiled core with Python stand-ins)."""

__version__ = "0.4.0"

# The kit's compiled modules, by import path: what `varden doctor`, the tests and CI check.
COMPILED_MODULES = (
    "varden.mod.kelpie.utils.kprpc",
    "varden.mod.kelpie.research.normal_query.tablespec",
    "varden.mod.kelpie.research.studybench",
    "varden.mod.stock.data.quotewire",
    "varden.mod.stock.utils.querybay",
    "varden.mod.tradeapi.api.dealdesk",
    "varden.mod.tradeapi.sdk.gatelink",
    "varden.mod.tradeapi.sdk.protogen.gatemeta",
    "varden.mod.kelpie.eventhook",
    "varden.mod.kelpie.mod",
    "hostprobe",
)
