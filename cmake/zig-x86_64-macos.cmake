# Builds for macOS on Intel Macs with the pinned Zig, for macOS 11.0 and
# later: Zig 0.11 has no headers for older ones. See zig-macos.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUELMORA_NTP_ZIG_TARGET x86_64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
