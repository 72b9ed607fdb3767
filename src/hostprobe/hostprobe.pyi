"""pybind11 bind for ctp hostprobe"""

# Host information gathered by the vendor's CTP data-collection library.
def get_system_info() -> bytes: ...
