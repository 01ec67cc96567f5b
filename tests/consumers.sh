#!/bin/sh
# Builds the example consumer the two ways C users do, find_package and
# pkg-config, against an install prefix (or, with none, against the system),
# and, given a prefix, a third: from the sources by FetchContent. Runs each:
# it must serve time, query it and stop.
set -eu
source=$1
prefix=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"
expect_answer() { grep -q "^mode 4, stratum 2$" "$1" || { cat "$1"; fail "$2"; }; }

cmake -S "$source/examples/consumer" -B "$work/cmake" ${prefix:+-DCMAKE_PREFIX_PATH="$prefix"} >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/ntp_consumer" "$(free_port)" > "$work/cmake.out"
expect_answer "$work/cmake.out" "the find_package consumer"

if [ -n "$prefix" ]; then
  PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name quelmora-ntp.pc)")
  export PKG_CONFIG_PATH
fi
# shellcheck disable=SC2046  # pkg-config's words are separate arguments
cc -o "$work/pkg-config-consumer" "$source/examples/consumer/consumer.c" \
  $(pkg-config --cflags --libs quelmora-ntp)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir quelmora-ntp) \
  "$work/pkg-config-consumer" "$(free_port)" > "$work/pkg-config.out"
expect_answer "$work/pkg-config.out" "the pkg-config consumer"
echo "find_package and pkg-config consumers of ${prefix:-the system}: served, queried, stopped"

if [ -n "$prefix" ]; then  # this tree's own build: its sources in a host's build too
  mkdir "$work/fetch"
  cat > "$work/fetch/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(ntp_consumer C)
enable_testing()
include(FetchContent)
FetchContent_Declare(quelmora_ntp SOURCE_DIR "$source")
FetchContent_MakeAvailable(quelmora_ntp)
add_executable(ntp_consumer "$source/examples/consumer/consumer.c")
target_link_libraries(ntp_consumer PRIVATE quelmora_ntp::quelmora_ntp)
EOF
  cmake -S "$work/fetch" -B "$work/fetch/build" --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
  cmake --build "$work/fetch/build" >/dev/null
  "$work/fetch/build/ntp_consumer" "$(free_port)" > "$work/fetch.out"
  expect_answer "$work/fetch.out" "the FetchContent consumer"
  (cd "$work/fetch/build" && ctest -N) | grep -q "^Total Tests: 0$" ||
    fail "the FetchContent consumer's build lists the library's tests"
  echo "FetchContent consumer of the sources, without GoogleTest: served, queried, stopped; no tests of the library"
fi
