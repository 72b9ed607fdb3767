// Docstrings of hostprobe.
#pragma once

namespace hostprobe_docs {

inline constexpr const char* kModule = "pybind11 bind for ctp hostprobe";

// The text signature, up to "--", which inspect.signature reads and __doc__ leaves out; then the
// docstring: its signature line first, as help() has always shown it, then the description.
inline constexpr const char* kGetSystemInfo =
    "get_system_info()\n--\n\nget_system_info() -> bytes\n\nCTP_GetSystemInfo\n";

}  // namespace hostprobe_docs
