#!/usr/bin/env bash
# The macOS tarballs, each unpacked as a prefix and read with LLVM's Mach-O
# tools: the machine; the library's install name, its seven exports, its one
# needed library (libSystem), its oldest macOS and, on arm64, its ad hoc
# signature; the command likewise needing libSystem and the library alone;
# and the example consumer cross-compiled and linked against the prefix with
# the pinned Zig. Nothing here runs macOS code: that stays for a Mac.
#
#     tests/macos_package_test.sh SOURCE ARM64_TARBALL X64_TARBALL
set -euo pipefail
source=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"
objdump=llvm-objdump-14

load_commands() { "$objdump" --macho --private-headers "$1"; }
# The libraries a Mach-O file needs, by install name, on one line.
dylibs_used() { "$objdump" --macho --dylibs-used "$1" | tail -n +2 | sed 's/^[[:space:]]*\([^ ]*\) .*/\1/'; }

# RID, the machine as llvm-objdump names it, the Zig target, and the minimum macOS.
check_tarball() {
  local tarball=$1 rid=$2 machine=$3 target=$4 minos=$5 prefix library program
  prefix=$work/$rid
  mkdir "$prefix"
  tar -xzf "$tarball" -C "$prefix"
  library=$prefix/lib/libquelmora_ntp.1.dylib program=$prefix/bin/quelmora-ntp
  for file in lib/libquelmora_ntp.1.dylib lib/libquelmora_ntp.dylib include/quelmora_ntp.h \
      lib/cmake/quelmora_ntp/quelmora_ntpConfig.cmake lib/pkgconfig/quelmora-ntp.pc \
      share/man/man3/ntp_start.3.gz bin/quelmora-ntp; do
    [ -e "$prefix/$file" ] || fail "$rid: the tarball has no $file"
  done
  [ "$(readlink "$prefix/lib/libquelmora_ntp.dylib")" = libquelmora_ntp.1.dylib ] ||
    fail "$rid: libquelmora_ntp.dylib is no link to libquelmora_ntp.1.dylib"
  for binary in "$library" "$program"; do
    "$objdump" --macho --private-header "$binary" | grep -qw "$machine" ||
      fail "$rid: $(basename "$binary") is not $machine"
    load_commands "$binary" | grep -A4 LC_BUILD_VERSION | grep -qx "[[:space:]]*minos $minos" ||
      fail "$rid: $(basename "$binary") is not for macOS $minos and later"
    if [ "$rid" = arm64 ]; then
      load_commands "$binary" | grep -q LC_CODE_SIGNATURE || fail "$rid: $(basename "$binary") is unsigned"
    fi
  done
  "$source/tests/check_exports.sh" "$library" >/dev/null
  load_commands "$library" | grep -A2 LC_ID_DYLIB | grep -q 'name @rpath/libquelmora_ntp.1.dylib ' ||
    fail "$rid: the install name is not @rpath/libquelmora_ntp.1.dylib"
  [ "$(dylibs_used "$library" | tail -n +2)" = /usr/lib/libSystem.B.dylib ] ||
    fail "$rid: the library needs $(dylibs_used "$library" | paste -sd ' ')"
  [ "$(dylibs_used "$program" | sort | paste -sd ' ')" = "/usr/lib/libSystem.B.dylib @rpath/libquelmora_ntp.1.dylib" ] ||
    fail "$rid: the command needs $(dylibs_used "$program" | paste -sd ' ')"
  load_commands "$program" | grep -A2 LC_RPATH | grep -q 'path @loader_path/../lib ' ||
    fail "$rid: the command does not look for the library in ../lib"

  # The consumer, compiled and linked as a Mac user would (cc and the
  # prefix's pkg-config flags), only cross: it cannot run here.
  "$source/scripts/zig" cc -target "$target" "$source/examples/consumer/consumer.c" \
    $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs quelmora-ntp) \
    -Wl,-rpath,"$prefix/lib" -o "$prefix/consumer" || fail "$rid: linking the consumer"
  dylibs_used "$prefix/consumer" | grep -qx '@rpath/libquelmora_ntp.1.dylib' ||
    fail "$rid: the consumer does not load the library by its install name"
  echo "$(basename "$tarball"): $machine, macOS $minos, seven exports, needs libSystem; the consumer links (not run: no macOS here)"
}

check_tarball "$2" arm64 ARM64 aarch64-macos.11.0 11.0
check_tarball "$3" x64 X86_64 x86_64-macos.11.0 11.0
