# What the two macOS toolchain files share (each sets CMAKE_SYSTEM_PROCESSOR
# and QUELMORA_NTP_ZIG_TARGET first): the pinned Zig (scripts/zig), whose
# clang and linker build for macOS with Zig's own libSystem stubs and
# headers, so no Apple SDK is needed. CMake takes one program per tool, so
# small wrappers that name the target are written beside the build. Zig 0.11
# ships macOS headers for 11 and later only: 11.0 is the oldest macOS its
# builds can name. Nothing built here runs on this machine.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.1.0)  # Darwin 20: macOS 11
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake)
set(CMAKE_OSX_SYSROOT "" CACHE PATH "No Apple SDK: Zig brings its own")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "The target's version is in the Zig target")
get_filename_component(quelmora_ntp_zig ${CMAKE_CURRENT_LIST_DIR}/../scripts/zig ABSOLUTE)
execute_process(COMMAND ${quelmora_ntp_zig} --path OUTPUT_VARIABLE quelmora_ntp_zig_path
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(quelmora_ntp_zig_path ${quelmora_ntp_zig_path} DIRECTORY)
string(REGEX REPLACE "^aarch64" arm64 quelmora_ntp_triple ${QUELMORA_NTP_ZIG_TARGET})
string(REGEX REPLACE "-macos\\." "-apple-macos" quelmora_ntp_triple ${quelmora_ntp_triple})
set(quelmora_ntp_wrappers ${CMAKE_BINARY_DIR}/zig-${QUELMORA_NTP_ZIG_TARGET})
# The C driver links objects alone (the library) with clang and LLVM's
# ld64.lld, against Zig's libSystem stubs: Zig 0.11's own linker exports
# hidden symbols and takes no exported-symbols list. ld64.lld signs arm64
# code ad hoc as Zig's does. Whatever compiles goes to Zig.
set(quelmora_ntp_link_objects "for argument; do case $argument in -c|-E|-S|-v|--version|-print*|-dumpversion|*.c|*.cc|*.cpp|*.cxx) exec '${quelmora_ntp_zig}' cc -target ${QUELMORA_NTP_ZIG_TARGET} \"$@\" ;; esac; done
exec clang --target=${quelmora_ntp_triple} -fuse-ld=lld -nostdlib \"$@\" '${quelmora_ntp_zig_path}/lib/libc/darwin/libSystem.11.tbd'
")
foreach(tool cc c++ ar ranlib)
  if(tool STREQUAL "cc")
    set(command "${quelmora_ntp_link_objects}")
  elseif(tool STREQUAL "c++")
    set(command "exec '${quelmora_ntp_zig}' ${tool} -target ${QUELMORA_NTP_ZIG_TARGET} \"$@\"\n")
  else()
    set(command "exec '${quelmora_ntp_zig}' ${tool} \"$@\"\n")
  endif()
  file(WRITE ${quelmora_ntp_wrappers}/${tool}.in "#!/bin/sh\n${command}")
  file(COPY_FILE ${quelmora_ntp_wrappers}/${tool}.in ${quelmora_ntp_wrappers}/${tool} ONLY_IF_DIFFERENT)
  file(CHMOD ${quelmora_ntp_wrappers}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${quelmora_ntp_wrappers}/cc)
set(CMAKE_CXX_COMPILER ${quelmora_ntp_wrappers}/c++)
set(CMAKE_AR ${quelmora_ntp_wrappers}/ar CACHE FILEPATH "Zig's ar")
set(CMAKE_RANLIB ${quelmora_ntp_wrappers}/ranlib CACHE FILEPATH "Zig's ranlib")
# Builds link with their installed run path, so no install rewrites one;
# LLVM's tool stands in for Apple's where CMake still asks for it.
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool install_name_tool)

# Nothing of the host's libraries, headers or packages is found.
set(CMAKE_FIND_ROOT_PATH ${quelmora_ntp_wrappers})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
unset(quelmora_ntp_zig)
unset(quelmora_ntp_wrappers)
unset(quelmora_ntp_zig_path)
unset(quelmora_ntp_triple)
unset(quelmora_ntp_link_objects)
