# Builds the library for Linux with musl (Alpine) on x86-64: Debian's clang
# and lld with musl-dev, libstdc++'s headers and compiler-rt
# (libclang-rt-14-dev). What it builds runs here under Debian's musl loader,
# /lib/ld-musl-x86_64.so.1. See linux-musl.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
file(GLOB QUELMORA_NTP_LIBSTDCXX_HEADERS /usr/include/c++/[0-9]*)
list(SORT QUELMORA_NTP_LIBSTDCXX_HEADERS COMPARE NATURAL)
list(GET QUELMORA_NTP_LIBSTDCXX_HEADERS -1 QUELMORA_NTP_LIBSTDCXX_HEADERS)
get_filename_component(gcc_version ${QUELMORA_NTP_LIBSTDCXX_HEADERS} NAME)
set(QUELMORA_NTP_LIBSTDCXX_CONFIG /usr/include/x86_64-linux-gnu/c++/${gcc_version})
unset(gcc_version)
set(QUELMORA_NTP_MUSL_RUNTIME --rtlib=compiler-rt --unwindlib=none)
include(${CMAKE_CURRENT_LIST_DIR}/linux-musl.cmake)
