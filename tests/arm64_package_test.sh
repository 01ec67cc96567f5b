#!/usr/bin/env bash
# The arm64 Debian packages, on a machine of another architecture: lintian
# finds no errors or warnings; each holds its amd64 counterpart's files and
# depends on what it does, and the files two architectures' Multi-Arch: same
# packages share are the same bytes; unpacked, the library is ARM64, loads on
# glibc 2.17 and exports the seven functions, and the command, run by
# qemu-user, serves and answers a query of the machine's own command.
#
#     tests/arm64_package_test.sh SOURCE LINUX_COMMAND DEB...
# (DEB: the four arm64 packages and their four amd64 counterparts)
set -euo pipefail
source=$(realpath "$1")
linux_command=$(realpath "$2")
shift 2
work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$source/tests/helpers.sh"

declare -A amd64 arm64
for deb in "$@"; do
  deb=$(realpath "$deb")
  case $(dpkg-deb -f "$deb" Architecture) in
    amd64) amd64[$(dpkg-deb -f "$deb" Package)]=$deb ;;
    arm64) arm64[$(dpkg-deb -f "$deb" Package)]=$deb ;;
    *) fail "$deb: architecture $(dpkg-deb -f "$deb" Architecture)" ;;
  esac
done
[ "${#arm64[@]}" = 4 ] && [ "$(printf '%s\n' "${!arm64[@]}" | sort)" = "$(printf '%s\n' "${!amd64[@]}" | sort)" ] ||
  fail "not the four packages for each architecture: ${!arm64[*]} / ${!amd64[*]}"

lintian --fail-on error,warning "${arm64[@]}" || fail "lintian reports errors or warnings"
files() { dpkg-deb -c "$1" | awk '{print $NF}' | sed "s/$2-linux-gnu/MULTIARCH/" | sort; }
for package in "${!arm64[@]}"; do
  deb=${arm64[$package]} native_deb=${amd64[$package]}
  [ "$(dpkg-deb -f "$deb" Depends)" = "$(dpkg-deb -f "$native_deb" Depends)" ] ||
    fail "$package: Depends differ from the amd64 package's: $(dpkg-deb -f "$deb" Depends)"
  [ "$(files "$deb" aarch64)" = "$(files "$native_deb" x86_64)" ] ||
    fail "$package: the files differ from the amd64 package's: $(diff <(files "$native_deb" x86_64) <(files "$deb" aarch64) || true)"
  if [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ]; then
    # dpkg installs both architectures side by side only if what they share is the same.
    mkdir -p "$work/same/$package"
    dpkg-deb -x "$deb" "$work/same/$package/arm64"
    dpkg-deb -x "$native_deb" "$work/same/$package/amd64"
    rm -rf "$work/same/$package"/*/usr/lib/*-linux-gnu
    diff -r "$work/same/$package/amd64" "$work/same/$package/arm64" ||
      fail "$package (Multi-Arch: same): the files both architectures install differ"
  fi
done

for package in "${!arm64[@]}"; do dpkg-deb -x "${arm64[$package]}" "$work/root"; done
library=$(echo "$work"/root/usr/lib/aarch64-linux-gnu/libquelmora_ntp.so.1)
[ -f "$library" ] || fail "no libquelmora_ntp.so.1 in the multiarch folder"
file -L "$library" | grep -q 'ARM aarch64' || fail "the library is not ARM64: $(file -L "$library")"
"$source/tests/check_exports.sh" "$library"
"$source/tests/check_symbol_versions.sh" "$library" 2.17

arm64() { qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH="$(dirname "$library")" "$@"; }
command=$work/root/usr/bin/quelmora-ntp
[ "$(arm64 "$command" version)" = "$(dpkg-deb -f "${arm64[quelmora-ntp]}" Version)" ] || fail "quelmora-ntp version"
port=$(free_port)
arm64 "$command" serve --port "$port" --seconds 20 > "$work/serve.out" &
server=$!
for attempt in $(seq 50); do "$linux_command" query 127.0.0.1 --port "$port" > "$work/query.out" 2>&1 && break; sleep 0.1; done
grep -q "stratum 2, reference id 80.73.67.66" "$work/query.out" || fail "the ARM64 server's reply: $(cat "$work/query.out")"
arm64 "$command" query 127.0.0.1 --port "$port" > "$work/query.out" || fail "the ARM64 command's query"
grep -q "stratum 2, reference id 80.73.67.66" "$work/query.out" || fail "the ARM64 query said: $(cat "$work/query.out")"
kill -INT "$server"
wait "$server" || fail "the ARM64 serve did not stop cleanly"
server=
grep -q "^stopped  port $port  requests 2  replies 2" "$work/serve.out" || fail "serve said: $(cat "$work/serve.out")"
echo "arm64 packages: lintian without errors or warnings, the amd64 packages' files and Depends; the command served and queried under qemu-user"
