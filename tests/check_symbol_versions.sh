#!/bin/sh
# The Linux library loads on every glibc from OLDEST on: no symbol it takes
# from the C library is versioned newer, none is private, and the threads
# functions' old versions, which lived in libpthread before glibc 2.34, find
# it loaded. readelf reads the library of any architecture.
#
#     tests/check_symbol_versions.sh LIBRARY OLDEST   (e.g. 2.17)
set -eu
library=$1
oldest=$2
versions=$(readelf -W --dyn-syms "$library" | grep -o '@GLIBC_[0-9A-Z_.]*' | sort -u | sed 's/^@//')
newest=$(printf '%s\n' $versions | sed -n 's/^GLIBC_\([0-9.]*\)$/\1/p' | sort -V | tail -1)
newer=$(printf '%s\n%s\n' "$oldest" "$newest" | sort -V | tail -1)
if [ "$newer" != "$oldest" ]; then
  echo "needs GLIBC_$newest, newer than $oldest:" >&2
  readelf -W --dyn-syms "$library" | grep "@GLIBC_$newest" >&2
  exit 1
fi
if printf '%s\n' $versions | grep -qv '^GLIBC_[0-9.]*$'; then
  echo "takes private C library symbols: $(echo $versions)" >&2
  exit 1
fi
if readelf -W --dyn-syms "$library" | grep -q ' pthread_create@GLIBC' &&
   ! readelf -d "$library" | grep -q 'NEEDED.*\[libpthread\.so\.0\]'; then
  echo "calls pthread_create without needing libpthread.so.0, where glibc before 2.34 keeps it" >&2
  exit 1
fi
echo "glibc symbol versions: $(echo $versions); newest GLIBC_$newest"
