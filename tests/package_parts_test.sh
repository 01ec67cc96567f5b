#!/usr/bin/env bash
# scripts/package as a user with only CMake, a compiler and dpkg's tools runs
# it: from a clean clone with no cross compiler on PATH, parts that need one
# fail at once naming every missing toolchain, and `deb` makes the host's
# package alone, byte for byte the one made from another clone elsewhere.
# Usage: package_parts_test.sh SOURCE DEB (DEB: made by scripts/package in
# SOURCE, a clean clone of the same commit).
set -euo pipefail
source_tree=$(realpath "$1")
reference=$(realpath "$2")
. "$source_tree/tests/helpers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A PATH of everything but the cross compilers.
mkdir "$work/bin"
for tool in /usr/local/bin/* /usr/bin/* /usr/sbin/*; do
  case ${tool##*/} in
    aarch64-linux-gnu-* | x86_64-w64-mingw32-* | i686-w64-mingw32-*) ;;
    *) [ -e "$work/bin/${tool##*/}" ] || ln -s "$tool" "$work/bin/" ;;
  esac
done

git clone -q --no-hardlinks "$source_tree" "$work/clone"
cd "$work/clone"
if PATH=$work/bin scripts/package zip-win64 deb-arm64 2> "$work/refused"; then
  fail "zip-win64 and deb-arm64 were made without their compilers"
fi
install_line=$(grep '^apt-get install ' "$work/refused" || true)
for named in x86_64-w64-mingw32-g++-posix aarch64-linux-gnu-g++; do
  grep -qF -- "$named" "$work/refused" || { cat "$work/refused" >&2; fail "not named: $named"; }
done
for package in g++-mingw-w64-x86-64 g++-aarch64-linux-gnu; do
  [[ " $install_line " == *" $package "* ]] || { cat "$work/refused" >&2; fail "no install of $package"; }
done
[ ! -e build ] || fail "something was built before the missing tools were named"

PATH=$work/bin scripts/package deb > "$work/made"
[ "$(cat "$work/made")" = "dist/$(basename "$reference")" ] ||
  fail "scripts/package deb made: $(cat "$work/made")"
cmp "dist/$(basename "$reference")" "$reference" ||
  fail "the .deb differs between two clones of the same commit"
grep -q " $(basename "$reference")\$" dist/SHA256SUMS && (cd dist && sha256sum -c --quiet SHA256SUMS) ||
  fail "dist/SHA256SUMS does not vouch for the .deb"
echo "scripts/package deb alone: $(basename "$reference"), identical from two clones"
