# What the two musl toolchain files share (each sets CMAKE_SYSTEM_PROCESSOR,
# the libstdc++ headers and the compiler's runtime first): Debian's clang for
# the musl triple, with musl-dev's headers and libraries (/usr/include/TRIPLE,
# /usr/lib/TRIPLE) in place of glibc's, and lld. Debian has no C++ library
# built for musl, and the library needs none (built without exceptions and
# RTTI, it calls no C++ runtime): it takes the header-only parts of libstdc++
# and links -nostdlib++. The C++ programs that need that runtime (the
# command, the tests, some benchmarks) are left out of such a build, which
# builds the library and the C programs:
#     cmake -S . -B BUILD -DCMAKE_TOOLCHAIN_FILE=...
#     cmake --build BUILD
set(CMAKE_SYSTEM_NAME Linux)
set(QUELMORA_NTP_MUSL_TRIPLE ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QUELMORA_NTP_MUSL_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QUELMORA_NTP_MUSL_TRIPLE})
set(QUELMORA_NTP_CXX_LIBRARY OFF CACHE BOOL "The target has a C++ library to link programs with")

# libstdc++'s own headers come before the C library's, which they include next.
set(musl_include /usr/include/${QUELMORA_NTP_MUSL_TRIPLE})
string(JOIN " " CMAKE_C_FLAGS_INIT -nostdlibinc ${QUELMORA_NTP_MUSL_COMPILE_FLAGS}
  -isystem ${musl_include})
string(JOIN " " CMAKE_CXX_FLAGS_INIT -nostdlibinc ${QUELMORA_NTP_MUSL_COMPILE_FLAGS}
  -isystem ${QUELMORA_NTP_LIBSTDCXX_HEADERS}
  -isystem ${QUELMORA_NTP_LIBSTDCXX_CONFIG}
  -isystem ${musl_include}
  -include ${CMAKE_CURRENT_LIST_DIR}/musl_glibc_prereq.h)

# The start files and libc from musl-dev (-B: before the driver's glibc ones).
set(musl_lib /usr/lib/${QUELMORA_NTP_MUSL_TRIPLE})
# The compile flags come to the link too, unused there.
string(JOIN " " musl_link_flags -Qunused-arguments -fuse-ld=lld -nostdlib++
  -B${musl_lib} -L${musl_lib} ${QUELMORA_NTP_MUSL_RUNTIME})
set(CMAKE_EXE_LINKER_FLAGS_INIT "${musl_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${musl_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${musl_link_flags}")

# Nothing of the host's (glibc) libraries and packages is found.
set(CMAKE_FIND_ROOT_PATH ${musl_lib})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
unset(musl_include)
unset(musl_lib)
unset(musl_link_flags)
