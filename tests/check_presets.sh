#!/usr/bin/env bash
# CMakePresets.json as CMake reads it: every Linux configure preset
# configures (each whose compilers this machine has), into its own folder
# build/presets/NAME, and the linux test preset runs a test. And the
# flags an MSVC build gets: configured for Windows with clang-cl (which
# CMake takes for MSVC, command line and all), no GCC-only option reaches a
# compile or link line of the project's own targets, and the library gets
# MSVC's warnings-as-errors and no exceptions or RTTI. Nothing is compiled:
# there are no Windows SDK or MSVC headers here. That build goes to BUILD.
#
#     tests/check_presets.sh SOURCE BUILD
set -euo pipefail
source=$(realpath "$1")
build=$(realpath -m "$2")/preset-check
. "$source/tests/helpers.sh"
cd "$source"
rm -rf "$build"
mkdir -p "$build"
log=$build/configure.log

cmake --list-presets >/dev/null || fail "cmake --list-presets"
configured=()
for preset in $(scripts/ci --help | sed -n 's/^usage: scripts\/ci suite //p' | tr '|' ' '); do
  case $preset in
    linux | linux-portable-posix) needs=c++ ;;
    mingw-x64) needs=x86_64-w64-mingw32-g++-posix ;;
    mingw-x86) needs=i686-w64-mingw32-g++-posix ;;
    musl-x64 | musl-arm64) needs=clang ;;
    *) continue ;;  # macOS and Windows presets configure only there
  esac
  command -v "$needs" >/dev/null || { echo "preset $preset: not configured ($needs is missing)"; continue; }
  cmake --preset "$preset" --fresh > "$log" 2>&1 ||
    { cat "$log"; fail "cmake --preset $preset"; }
  configured+=("$preset")
done
echo "presets configured: ${configured[*]}"
# The linux test preset runs what it finds (one quick test: the whole suite
# runs elsewhere).
cmake --build --preset linux --target c_host_test -j "${JOBS:-2}" > "$log" 2>&1 || { cat "$log"; fail "building c_host_test"; }
ctest --preset linux -R '^c_host_loads_library_by_name$' > "$log" 2>&1 &&
  grep -q "tests passed, 0 tests failed out of 1" "$log" || { cat "$log"; fail "ctest --preset linux"; }
echo "ctest --preset linux: ran c_host_loads_library_by_name"

command -v clang-cl-14 >/dev/null && command -v lld-link-14 >/dev/null ||
  fail "the MSVC flag check needs clang-cl-14 and lld-link-14 (clang-tools-14, lld-14)"
mkdir -p "$build/clang-cl"
cat > "$build/clang-cl.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER clang-cl-14)
set(CMAKE_CXX_COMPILER clang-cl-14)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_LINKER lld-link-14)
set(CMAKE_AR llvm-lib-14)
set(CMAKE_RC_COMPILER llvm-rc-14)
set(CMAKE_MT llvm-mt-14)
# No Windows libraries to link test programs against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
TOOLCHAIN
# GoogleTest from Debian's sources, without its own thread search, which a
# try-compile that links nothing would answer wrongly.
cmake -S . -B "$build/clang-cl" -DCMAKE_TOOLCHAIN_FILE="$build/clang-cl.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUELMORA_NTP_TESTS=ON -DQUELMORA_NTP_WERROR=ON -Dgtest_disable_pthreads=ON > "$log" 2>&1 ||
  { cat "$log"; fail "configuring with clang-cl"; }
grep -q "CMAKE_CXX_COMPILER_FRONTEND_VARIANT:INTERNAL=MSVC" "$build/clang-cl/CMakeCache.txt" ||
  grep -q 'CMAKE_CXX_COMPILER_FRONTEND_VARIANT "MSVC"' "$build"/clang-cl/CMakeFiles/*/CMakeCXXCompiler.cmake ||
  fail "CMake did not take clang-cl for an MSVC-like compiler"
mapfile -t lines < <(cd "$build/clang-cl" && find . -path ./googletest -prune -o \
  \( -name flags.make -o -name link.txt \) -print | sort)
[ ${#lines[@]} -ge 10 ] || fail "only ${#lines[@]} compile and link files: ${lines[*]}"
gcc_only='(^| )-(W[a-z]|f[a-z]|static|shared|pthread|l[a-z]|include|m32|m64)'
for file in "${lines[@]}"; do
  if grep -E '^(C|CXX)_FLAGS|lld-link' "$build/clang-cl/$file" | grep -Eo -- "$gcc_only[^ ]*"; then
    fail "a GCC-only option reaches MSVC in $file"
  fi
done
library_flags=$(grep '^CXX_FLAGS' "$build/clang-cl/CMakeFiles/quelmora_ntp_objects.dir/flags.make")
for flag in /W4 /WX /permissive- /utf-8 /EHs-c- /GR-; do
  [[ " $library_flags " == *" $flag "* ]] || fail "the library's MSVC flags lack $flag: $library_flags"
done
grep -q '/DEF:.*quelmora_ntp\.def' "$build/clang-cl/CMakeFiles/quelmora_ntp.dir/link.txt" ||
  fail "the DLL is not linked with src/quelmora_ntp.def"
echo "MSVC-like build (clang-cl): ${#lines[@]} compile and link files, no GCC-only option; the library has /W4 /WX /permissive- /utf-8 /EHs-c- /GR- and its .def"
