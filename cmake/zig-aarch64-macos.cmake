# Builds for macOS on Apple silicon (11.0, the first macOS it runs) with the
# pinned Zig; its linker signs the library and programs ad hoc, without
# which Apple silicon loads no code. See zig-macos.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(QUELMORA_NTP_ZIG_TARGET aarch64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
