# Builds the library for Linux with musl (Alpine) on ARM64: Debian's clang
# and lld with musl-dev:arm64, and from g++-aarch64-linux-gnu the ARM64
# libstdc++ headers and GCC's runtime (libgcc, linked in), as Debian has no
# ARM64 compiler-rt beside the host's. Runs what it builds with qemu-user
# under Debian's arm64 musl loader, /lib/ld-musl-aarch64.so.1. See
# linux-musl.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
file(GLOB QUELMORA_NTP_LIBSTDCXX_HEADERS /usr/aarch64-linux-gnu/include/c++/[0-9]*)
list(SORT QUELMORA_NTP_LIBSTDCXX_HEADERS COMPARE NATURAL)
list(GET QUELMORA_NTP_LIBSTDCXX_HEADERS -1 QUELMORA_NTP_LIBSTDCXX_HEADERS)
get_filename_component(gcc_version ${QUELMORA_NTP_LIBSTDCXX_HEADERS} NAME)
set(QUELMORA_NTP_LIBSTDCXX_CONFIG ${QUELMORA_NTP_LIBSTDCXX_HEADERS}/aarch64-linux-gnu)
set(gcc_runtime /usr/lib/gcc-cross/aarch64-linux-gnu/${gcc_version})
# Atomics inline (LL/SC, as on every ARMv8): libgcc's run-time choice of
# them reads the CPU's features through glibc's __getauxval.
set(QUELMORA_NTP_MUSL_COMPILE_FLAGS -mno-outline-atomics)
set(QUELMORA_NTP_MUSL_RUNTIME --rtlib=libgcc -static-libgcc -B${gcc_runtime} -L${gcc_runtime})
unset(gcc_version)
unset(gcc_runtime)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-musl.cmake)
