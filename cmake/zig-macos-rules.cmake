# CMake links with run paths (@rpath) only for a macOS that sw_vers says is
# 10.5 or later; a cross-build has no sw_vers to ask. Read after the
# platform's own settings (CMAKE_USER_MAKE_RULES_OVERRIDE of zig-macos.cmake).
set(CMAKE_SHARED_LIBRARY_RUNTIME_C_FLAG "-Wl,-rpath,")
set(CMAKE_SHARED_LIBRARY_RUNTIME_CXX_FLAG "-Wl,-rpath,")
set(CMAKE_EXECUTABLE_RUNTIME_C_FLAG "-Wl,-rpath,")
set(CMAKE_EXECUTABLE_RUNTIME_CXX_FLAG "-Wl,-rpath,")
