#!/usr/bin/env bash
# scripts/package as a user with only CMake, a compiler and dpkg's tools runs
# it: from a clean clone with no cross compiler on PATH, parts that need one
# fail at once naming every missing toolchain, and `deb` makes the host's
# packages alone. Under umask 077, the clone's packages are byte for byte
# those made in SOURCE (under the caller's umask), dist/ holds this run's
# packages alone and dist/SHA256SUMS vouches for exactly them.
# Usage: package_parts_test.sh SOURCE PACKAGE... (each made by scripts/package
# in SOURCE, a clean clone of the same commit; .debs, ZIPs, musl tarballs and
# wheels are made again and compared, other packages are not).
set -euo pipefail
source_tree=$(realpath "$1")
shift
. "$source_tree/tests/helpers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
references=()
for made in "$@"; do references+=("$(realpath "$made")"); done

# A PATH of everything but the cross compilers.
mkdir "$work/bin"
for tool in /usr/local/bin/* /usr/bin/* /usr/sbin/*; do
  case ${tool##*/} in
    aarch64-linux-gnu-* | x86_64-w64-mingw32-* | i686-w64-mingw32-*) ;;
    *) [ -e "$work/bin/${tool##*/}" ] || ln -s "$tool" "$work/bin/" ;;
  esac
done

umask 077
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
# What run-tests asks first: which parts can be built, and what the others need.
PATH=$work/bin scripts/package --check deb zip-win64 > "$work/check" && fail "--check: zip-win64 ready without its compiler"
grep -qx 'deb: ready' "$work/check" && grep -q '^zip-win64: needs x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64)' "$work/check" ||
  fail "--check said: $(cat "$work/check")"
mkdir "$work/bare"
find "$work/bin" -mindepth 1 ! -name cmake ! -name dotnet -exec ln -s {} "$work/bare/" \;
PATH=$work/bare scripts/package --check deb nuget > "$work/check" || true
grep -q '^deb: needs cmake (cmake)$' "$work/check" && grep -q '^nuget: needs .*dotnet (the .NET SDK' "$work/check" ||
  fail "--check without cmake and dotnet said: $(cat "$work/check")"
# A package's build refuses to leave the command out.
if cmake -S . -B "$work/no-cli11" -DQUELMORA_NTP_TESTS=OFF -DQUELMORA_NTP_CLI_REQUIRED=ON \
     -DCMAKE_IGNORE_PATH=/usr/include > "$work/no-cli11.log" 2>&1; then
  fail "configured for a package without CLI11"
fi
grep -q "CLI11 not found" "$work/no-cli11.log" || fail "without CLI11: $(cat "$work/no-cli11.log")"

# Each reference's part, and what the clone made of it.
part_of() {
  case $1 in
    *_amd64.deb) echo deb ;;
    *_arm64.deb) echo deb-arm64 ;;
    *-win64.zip) echo zip-win64 ;;
    *-win32.zip) echo zip-win32 ;;
    *-linux-musl-*.tar.gz) echo musl ;;
    *-macos-*.tar.gz) echo macos ;;
    # Zig's linker stamps its Windows ARM64 files with the time and a new
    # debug id at every link, and takes no flag against it.
    *win_arm64.whl | *-win-arm64.zip) ;;
    *.whl) echo wheels ;;
  esac
}
compare() {
  local reference
  for reference in "${references[@]}"; do
    [[ " $* " == *" $(part_of "$reference") "* ]] || continue
    grep -qx "dist/$(basename "$reference")" "$work/made" || fail "not made again: $(basename "$reference")"
    cmp "dist/$(basename "$reference")" "$reference" ||
      fail "$(basename "$reference") differs between two clones under two umasks"
  done
  # SHA256SUMS names what this run printed, nothing more, and dist/ holds no other package.
  [ "$(awk '{print "dist/" $2}' dist/SHA256SUMS)" = "$(LC_ALL=C sort "$work/made")" ] ||
    fail "dist/SHA256SUMS lists: $(cat dist/SHA256SUMS)"
  (cd dist && sha256sum -c --quiet SHA256SUMS) || fail "dist/SHA256SUMS does not match dist/"
  [ "$(find dist -type f ! -name SHA256SUMS -printf 'dist/%f\n' | LC_ALL=C sort)" = "$(LC_ALL=C sort "$work/made")" ] ||
    fail "dist/ holds other files: $(ls dist)"
}

# An earlier run's package, of another version, is not this run's.
mkdir -p dist
echo stale > dist/quelmora-ntp_0.9.0_amd64.deb
PATH=$work/bin scripts/package deb > "$work/made"
[ "$(wc -l < "$work/made")" = 4 ] || fail "scripts/package deb made: $(cat "$work/made")"
compare deb

others=()
for reference in "${references[@]}"; do
  part=$(part_of "$reference")
  [ -z "$part" ] || [ "$part" = deb ] || [[ " ${others[*]} " == *" $part "* ]] || others+=("$part")
done
if [ ${#others[@]} -gt 0 ]; then
  scripts/package "${others[@]}" > "$work/made"
  compare "${others[@]}"
fi
echo "scripts/package from a second clone under umask 077: deb ${others[*]} identical, dist/SHA256SUMS exact"
