# The oldest C++ toolchain that builds the kit: C++17 with std::to_chars and std::from_chars for
# double, which Python-exact rounding uses (src/pyglue/pyround.hpp). That is g++ 11 or newer
# (libstdc++ 11), or clang with libstdc++ 11 or libc++ 20. An older one stops the configure
# with that said, rather than a module's compile with a page of template errors.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles([[
#include <charconv>
int main() {
    char text[32];
    auto printed = std::to_chars(text, text + sizeof text, 2.675, std::chars_format::fixed, 2);
    double parsed = 0;
    return std::from_chars(text, printed.ptr, parsed).ec == std::errc() ? 0 : 1;
}
]] VARDEN_CXX_HAS_FLOAT_CHARCONV)
if(NOT VARDEN_CXX_HAS_FLOAT_CHARCONV)
  message(FATAL_ERROR
    "varden needs a C++17 compiler and library with std::to_chars and std::from_chars for "
    "double: g++ 11 or newer, or clang with libstdc++ 11 or libc++ 20 or newer; "
    "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER}) lacks them.")
endif()
