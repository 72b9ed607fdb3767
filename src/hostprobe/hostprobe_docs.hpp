// Docstrings of hostprobe.
#pragma once

namespace hostprobe_docs {

inline constexpr const char* kModule = "pybind11 bind for ctp hostprobe";

// The signature line first, as help() has always shown it, then the description.
inline constexpr const char* kGetSystemInfo = "get_system_info() -> bytes\n\nCTP_GetSystemInfo\n";

}  // namespace hostprobe_docs
