#!/bin/sh
# The one version: the library's SONAME and the Python module's fallback name
# follow the project's major version, the Python module's __version__ is the
# project's version (ntp_version() itself is compared with
# the project version by the C host test).
set -eu
version=$1
library=$2
python_module=$3
expected="libquelmora_ntp.so.${version%%.*}"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "$expected" ] || { echo "SONAME $soname, expected $expected" >&2; exit 1; }
grep -q "^_SONAME = \"$expected\"$" "$python_module" ||
  { echo "$python_module does not load $expected" >&2; exit 1; }
grep -q "^__version__ = \"$version\"$" "$python_module" ||
  { echo "$python_module's __version__ is not $version" >&2; exit 1; }
echo "version $version, SONAME $soname"
