#!/bin/sh
# The Debian package for real (as root, on a machine of its own): lintian
# finds no errors; installed with apt-get, its command, manual pages, Python
# module, CMake package and pkg-config file each work from outside the
# repository; removed with --purge, it leaves none of its files behind.
set -eu
deb=$(realpath "$1")
source=$(realpath "$2")
package=quelmora-ntp
work=$(mktemp -d)
cleanup() {
  dpkg -s "$package" >/dev/null 2>&1 && apt-get remove --purge -y -q "$package" >/dev/null
  rm -rf "$work"
}
. "$source/tests/helpers.sh"

if dpkg -s "$package" >/dev/null 2>&1; then
  echo "SKIPPED: $package is already installed here; this test installs and removes it"
  exit 0
fi
trap cleanup EXIT

lintian --fail-on error "$deb" || fail "lintian reports errors"
apt-get install -y -q "$deb" >/dev/null
cd "$work"

version=$(dpkg-deb -f "$deb" Version)
[ "$(quelmora-ntp version)" = "$version" ] || fail "quelmora-ntp version is not the package's $version"

port=$(free_port)
quelmora-ntp serve --port "$port" --seconds 3 > serve.out &
server=$!
attempt=0
until quelmora-ntp query 127.0.0.1 --port "$port" > query.out 2>&1; do
  attempt=$((attempt + 1))
  [ "$attempt" -lt 20 ] || { kill "$server"; fail "the installed command's server never answered"; }
  sleep 0.1
done
wait "$server" || fail "serve did not stop cleanly"
grep -q "stratum 2, reference id 80.73.67.66" query.out || fail "query output: $(cat query.out)"
grep -q "^stopped  port $port  requests [1-9]" serve.out || fail "serve output: $(cat serve.out)"

# As root, unlike under this machine's usual settings, importing writes
# compiled copies, which the removal must take away too.
cp "$source/examples/consumer/consumer.py" .
env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 consumer.py "$(free_port)" > python.out ||
  fail "the Python module"
grep -q " 2 80.73.67.66$" python.out || fail "python output: $(cat python.out)"

"$source/tests/consumers.sh" "$source"
man -w quelmora-ntp >/dev/null || fail "no manual page"
for page in quelmora_ntp ntp_query ntp_version; do
  man -w 3 "$page" >/dev/null || fail "no manual page $page(3)"
done
# A function described on a related one's page reaches it through its .so link.
MANWIDTH=200 man 3 ntp_stop 2>/dev/null | grep -q "ntp_start, ntp_stop, ntp_status" || fail "man 3 ntp_stop"
[ -f "/usr/share/doc/$package/docs/c-api.md" ] || fail "no docs/ beside the README"

files=$(dpkg -L "$package" | while read -r path; do [ -d "$path" ] || echo "$path"; done)
apt-get remove --purge -y -q "$package" >/dev/null
left=$(for path in $files /usr/lib/python3/dist-packages/quelmora_ntp; do
  [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done || true)
[ -z "$left" ] || fail "left behind after removal: $left"
echo "$package $version: lintian without errors; installed, used, removed without a trace"
