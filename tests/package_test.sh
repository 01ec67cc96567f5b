#!/bin/sh
# The Debian packages for real (as root, on a machine of its own): lintian
# finds no errors or warnings in any; installed with apt-get, the command and
# the Python module work with the runtime library alone, and with the
# development package the manual pages, CMake package and pkg-config file
# work from outside the repository; removed with --purge, they leave none of
# their files behind.
#     tests/package_test.sh SOURCE DEB...  (the four .debs of one architecture)
set -eu
source=$(realpath "$1")
shift
work=$(mktemp -d)
packages=
for deb in "$@"; do packages="$packages $(dpkg-deb -f "$deb" Package)"; done
installed_here() { for package in $packages; do dpkg -s "$package" >/dev/null 2>&1 && echo "$package"; done; true; }
cleanup() {
  here=$(installed_here)
  [ -z "$here" ] || apt-get remove --purge -y -q $here >/dev/null
  rm -rf "$work"
}
. "$source/tests/helpers.sh"

for wanted in libquelmora-ntp1 libquelmora-ntp-dev quelmora-ntp python3-quelmora-ntp; do
  case " $packages " in *" $wanted "*) ;; *) fail "no $wanted among: $*" ;; esac
done
if [ -n "$(installed_here)" ]; then
  echo "SKIPPED: $(installed_here | paste -sd' ') already installed here; this test installs and removes them"
  exit 0
fi
trap cleanup EXIT

deb_of() { for deb in $debs; do [ "$(dpkg-deb -f "$deb" Package)" = "$1" ] && echo "$deb"; done; true; }
debs=
for deb in "$@"; do debs="$debs $(realpath "$deb")"; done
# Errors or warnings fail, the split's own above all
# (link-to-shared-library-in-wrong-package, package-name-doesnt-match-sonames).
lintian --fail-on error,warning $debs || fail "lintian reports errors or warnings"

# The command and the module with the runtime library alone: no .so link.
apt-get install -y -q $(deb_of libquelmora-ntp1) $(deb_of quelmora-ntp) $(deb_of python3-quelmora-ntp) >/dev/null
[ ! -e "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libquelmora_ntp.so" ] || fail "the .so link came without the -dev package"
cd "$work"
version=$(dpkg-deb -f "$(deb_of quelmora-ntp)" Version)
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
man -w quelmora-ntp >/dev/null || fail "no manual page"
[ -f /usr/share/doc/quelmora-ntp/docs/c-api.md ] || fail "no docs/ beside the README"

# As root, unlike under this machine's usual settings, importing writes
# compiled copies, which the removal must take away too.
cp "$source/examples/consumer/consumer.py" .
env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 consumer.py "$(free_port)" > python.out ||
  fail "the Python module"
grep -q " 2 80.73.67.66$" python.out || fail "python output: $(cat python.out)"

apt-get install -y -q $(deb_of libquelmora-ntp-dev) >/dev/null
"$source/tests/consumers.sh" "$source"
for page in quelmora_ntp ntp_query ntp_version; do
  man -w 3 "$page" >/dev/null || fail "no manual page $page(3)"
done
# A function described on a related one's page reaches it through its .so link.
MANWIDTH=200 man 3 ntp_stop 2>/dev/null | grep -q "ntp_start, ntp_stop, ntp_status" || fail "man 3 ntp_stop"

files=$(for package in $packages; do dpkg -L "$package"; done | while read -r path; do [ -d "$path" ] || echo "$path"; done)
apt-get remove --purge -y -q $packages >/dev/null
left=$(for path in $files /usr/lib/python3/dist-packages/quelmora_ntp; do
  [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done || true)
[ -z "$left" ] || fail "left behind after removal: $left"
echo "$packages $version: lintian without errors or warnings; installed, used, removed without a trace"
