# Cross-builds for Windows ARM64 with the pinned Zig (scripts/zig), its own
# clang and MinGW-w64 runtime; the programs link against msvcrt.dll, and
# lld writes a PDB beside each DLL and program. Version resources are
# compiled by LLVM's windres, which knows ARM64 objects (binutils' does not).
# Runs what it builds with Debian's arm64 Wine under qemu-user where
# QUELMORA_NTP_WINE_ARM64 names a launcher for it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(zig_tools ${CMAKE_CURRENT_LIST_DIR}/zig-aarch64-windows)
set(CMAKE_C_COMPILER ${zig_tools}/cc)
set(CMAKE_CXX_COMPILER ${zig_tools}/c++)
set(CMAKE_AR ${zig_tools}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${zig_tools}/ranlib CACHE FILEPATH "")
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 --no-preprocess")
unset(zig_tools)
set(QUELMORA_NTP_LINKER_PDB ON)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(QUELMORA_NTP_WINE_ARM64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELMORA_NTP_WINE_ARM64})
endif()
