#!/bin/sh
# The one version: the library's SONAME and the Python module's fallback name
# follow the project's major version (ntp_version() itself is compared with
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
echo "version $version, SONAME $soname"
