"""varden: research and live-trading kit (compiled core with Python stand-ins)."""

# The kit's version, written here only: the distribution's metadata is read from this line.
__version__ = "0.4.0"

# The kit's compiled modules, by import path: the one list of them. `varden doctor`, the tests
# and CI read it; tests/packaging checks it against the modules the build makes.
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
