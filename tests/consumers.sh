#!/bin/sh
# Builds the example consumer the two ways C users do, find_package and
# pkg-config, against an install prefix (or, with none, against the system),
# and runs each: it must serve time, query it and stop.
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
