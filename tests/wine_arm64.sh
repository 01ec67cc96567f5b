#!/bin/sh
# Runs a Windows ARM64 program under Debian's arm64 Wine, itself run by
# qemu-user through binfmt_misc (wine64 starts its own loader by exec, which
# qemu's -L prefix does not reach). The packages are unpacked, not
# installed: installing wine64:arm64 would replace the amd64 Wine.
#     tests/wine_arm64.sh PROGRAM.exe ARGS...
# Needs root once (binfmt_misc), qemu-user and apt-get; the unpacked tree is
# kept in $QUELMORA_WINE_ARM64_HOME (default ~/.cache/quelmora-ntp/wine-arm64).
set -eu
home=${QUELMORA_WINE_ARM64_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/quelmora-ntp/wine-arm64}
root=$home/root
if [ ! -x "$root/usr/lib/wine/wine64" ]; then
  rm -rf "$home.partial" && mkdir -p "$home.partial/debs" "$home.partial/root/lib/aarch64-linux-gnu"
  (cd "$home.partial/debs" && apt-get download wine64:arm64 libwine:arm64 libunwind8:arm64 liblzma5:arm64 >/dev/null 2>&1)
  for deb in "$home.partial"/debs/*.deb; do dpkg-deb -x "$deb" "$home.partial/root"; done
  # One tree for qemu's prefix: the cross C library beside Wine.
  for file in /usr/aarch64-linux-gnu/lib/*; do ln -sf "$file" "$home.partial/root/lib/aarch64-linux-gnu/"; done
  ln -sf /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 "$home.partial/root/lib/ld-linux-aarch64.so.1"
  rm -rf "$home" && mv "$home.partial" "$home"
fi
binfmt=/proc/sys/fs/binfmt_misc
[ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
[ -e $binfmt/qemu-aarch64 ] || printf '%s' ':qemu-aarch64:M::\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-aarch64:' > $binfmt/register
export QEMU_LD_PREFIX=$root WINEDEBUG=${WINEDEBUG:--all} WINEPREFIX=${WINEPREFIX:-$home/prefix}
export LD_LIBRARY_PATH=$root/usr/lib/aarch64-linux-gnu:$root/lib/aarch64-linux-gnu
mkdir -p "$WINEPREFIX"
# The arm64 server first: one that wine64 started would be the host's x86-64
# one, found by path, which refuses ARM64 programs. It ends 60 s after its
# last client.
"$root/usr/lib/wine/wineserver64" -p 60
exec "$root/usr/lib/wine/wine64" "$@"
