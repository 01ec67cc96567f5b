#!/usr/bin/env bash
# The arm64 Debian package, on a machine of another architecture: lintian
# finds no errors; it holds the amd64 package's files and depends on what it
# does; unpacked, its library is ARM64, loads on glibc 2.17 and exports the
# seven functions, and its command, run by qemu-user, serves and answers a
# query of the machine's own command.
#
#     tests/arm64_package_test.sh ARM64_DEB AMD64_DEB SOURCE LINUX_COMMAND
set -euo pipefail
deb=$(realpath "$1")
native_deb=$(realpath "$2")
source=$(realpath "$3")
linux_command=$(realpath "$4")
work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$source/tests/helpers.sh"

lintian --fail-on error "$deb" || fail "lintian reports errors"
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "the package's architecture: $(dpkg-deb -f "$deb" Architecture)"
[ "$(dpkg-deb -f "$deb" Depends)" = "$(dpkg-deb -f "$native_deb" Depends)" ] ||
  fail "Depends differ from the amd64 package's: $(dpkg-deb -f "$deb" Depends)"
files() { dpkg-deb -c "$1" | awk '{print $NF}' | sed "s/$2-linux-gnu/MULTIARCH/" | sort; }
[ "$(files "$deb" aarch64)" = "$(files "$native_deb" x86_64)" ] ||
  fail "the files differ from the amd64 package's: $(diff <(files "$native_deb" x86_64) <(files "$deb" aarch64) || true)"

dpkg-deb -x "$deb" "$work/root"
library=$(echo "$work"/root/usr/lib/aarch64-linux-gnu/libquelmora_ntp.so.1)
[ -f "$library" ] || fail "no libquelmora_ntp.so.1 in the multiarch folder"
file -L "$library" | grep -q 'ARM aarch64' || fail "the library is not ARM64: $(file -L "$library")"
"$source/tests/check_exports.sh" "$library"
"$source/tests/check_symbol_versions.sh" "$library" 2.17

arm64() { qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH="$(dirname "$library")" "$@"; }
command=$work/root/usr/bin/quelmora-ntp
[ "$(arm64 "$command" version)" = "$(dpkg-deb -f "$deb" Version)" ] || fail "quelmora-ntp version"
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
echo "arm64 package: lintian without errors, the amd64 package's files and Depends; its command served and queried under qemu-user"
