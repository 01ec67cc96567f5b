#!/bin/sh
# Builds the example consumer the two ways C users do, find_package and
# pkg-config, against an install prefix (or, with none, against the system),
# and, given a prefix, a third: from the sources by FetchContent, installed
# with the library. Runs each: it must serve time, query it and stop. From a
# prefix with the static archive alone, no program may need the library's .so.
set -eu
source=$1
prefix=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"
expect_answer() { grep -q "^mode 4, stratum 2$" "$1" || { cat "$1"; fail "$2"; }; }
static=
if [ -n "$prefix" ] && [ -z "$(find "$prefix" -name 'libquelmora_ntp.so*')" ]; then
  static=--static
fi
linked_as_asked() {
  case "$static $(needed_libraries "$1")" in
    --static*libquelmora_ntp*) fail "$2 of the static archive needs $(needed_libraries "$1")" ;;
  esac
}

cmake -S "$source/examples/consumer" -B "$work/cmake" ${prefix:+-DCMAKE_PREFIX_PATH="$prefix"} >/dev/null
cmake --build "$work/cmake" >/dev/null
linked_as_asked "$work/cmake/ntp_consumer" "the find_package consumer"
"$work/cmake/ntp_consumer" "$(free_port)" > "$work/cmake.out"
expect_answer "$work/cmake.out" "the find_package consumer"

if [ -n "$prefix" ]; then
  PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name quelmora-ntp.pc)")
  export PKG_CONFIG_PATH
fi
# shellcheck disable=SC2046,SC2086  # pkg-config's words are separate arguments
cc -o "$work/pkg-config-consumer" "$source/examples/consumer/consumer.c" \
  $(pkg-config $static --cflags --libs quelmora-ntp)
linked_as_asked "$work/pkg-config-consumer" "the pkg-config consumer"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir quelmora-ntp) \
  "$work/pkg-config-consumer" "$(free_port)" > "$work/pkg-config.out"
expect_answer "$work/pkg-config.out" "the pkg-config consumer"
echo "find_package and pkg-config${static:+ $static} consumers of ${prefix:-the system}: served, queried, stopped"

if [ -n "$prefix" ] && [ -z "$static" ]; then  # this tree's own build: its sources in a host's build too
  mkdir "$work/fetch"
  cp "$source/examples/fetchcontent/CMakeLists.txt" "$work/fetch/"
  cp "$source/examples/consumer/consumer.c" "$work/fetch/main.c"
  cmake -S "$work/fetch" -B "$work/fetch/build" --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DFETCHCONTENT_SOURCE_DIR_QUELMORA_NTP="$source" -DCMAKE_INSTALL_PREFIX="$work/fetch/prefix" >/dev/null
  cmake --build "$work/fetch/build" >/dev/null
  [ -z "$(find "$work/fetch/build" -name CTestTestfile.cmake)" ] ||
    fail "the FetchContent consumer's build has the library's tests"
  cmake --install "$work/fetch/build" >/dev/null
  # From its prefix, by its own run path alone.
  env -u LD_LIBRARY_PATH "$work/fetch/prefix/bin/my_host" "$(free_port)" > "$work/fetch.out"
  expect_answer "$work/fetch.out" "the FetchContent consumer, installed"
  echo "FetchContent consumer of the sources, without GoogleTest, installed with the library:" \
    "served, queried, stopped; no tests of the library"
fi
