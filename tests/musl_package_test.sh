#!/usr/bin/env bash
# The musl tarballs as Alpine users take them, each unpacked as a prefix: the
# library needs libc.so alone and exports the seven functions; the example
# consumer, built by musl-gcc with the prefix's pkg-config file, runs under
# Debian's musl loader (the ARM64 one with qemu-user), serves on loopback,
# queries itself and stops.
#
#     tests/musl_package_test.sh SOURCE X64_TARBALL ARM64_TARBALL
set -euo pipefail
source=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"

# RID, its machine as file(1) names it, the compiler of the consumer, and what runs it.
check_tarball() {
  local tarball=$1 rid=$2 machine=$3 compile=$4 run=$5 prefix library needed flags port out
  prefix=$work/$rid
  mkdir "$prefix"
  tar -xzf "$tarball" -C "$prefix"
  library=$prefix/lib/libquelmora_ntp.so.1.0.0
  for file in lib/libquelmora_ntp.so lib/libquelmora_ntp.so.1 include/quelmora_ntp.h \
      lib/cmake/quelmora_ntp/quelmora_ntpConfig.cmake lib/pkgconfig/quelmora-ntp.pc \
      share/man/man3/ntp_start.3.gz share/doc/quelmora-ntp/LICENSE; do
    [ -e "$prefix/$file" ] || fail "$rid: the tarball has no $file"
  done
  file -L "$library" | grep -q "$machine" || fail "$rid: $(file -L "$library")"
  needed=$(needed_libraries "$library")
  [ "$needed" = "libc.so" ] || fail "$rid: the library needs $needed"
  readelf -d "$library" | grep -q 'SONAME.*\[libquelmora_ntp\.so\.1\]' || fail "$rid: SONAME"
  "$source/tests/check_exports.sh" "$library" >/dev/null

  flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs quelmora-ntp)
  # shellcheck disable=SC2086  # the compiler and its flags, a word each
  $compile "$source/examples/consumer/consumer.c" $flags -o "$prefix/consumer" ||
    fail "$rid: building the consumer with $compile"
  readelf -l "$prefix/consumer" | grep -q 'interpreter: /lib/ld-musl-' || fail "$rid: no musl program"
  port=$(free_port)
  # shellcheck disable=SC2086
  out=$(LD_LIBRARY_PATH=$prefix/lib $run "$prefix/consumer" "$port") || fail "$rid: the consumer: $out"
  echo "$out" | grep -qx 'mode 4, stratum 2' || fail "$rid: the consumer said: $out"
  # The reply may be counted only after it reached the consumer.
  echo "$out" | grep -qF "{\"running\":1,\"port\":$port,\"requests\":1," ||
    fail "$rid: the consumer's statistics: $out"
  echo "$(basename "$tarball"): needs $needed; served and answered itself under the musl loader"
}

check_tarball "$2" x64 'x86-64' musl-gcc ''
check_tarball "$3" arm64 'ARM aarch64' \
  "aarch64-linux-gnu-gcc -specs /usr/lib/aarch64-linux-musl/musl-gcc.specs" qemu-aarch64
