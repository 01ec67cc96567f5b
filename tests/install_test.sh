#!/bin/sh
# Installs a build into a new prefix, where nothing test- or bench-only may
# land, and builds the example consumers against it.
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
if find "$prefix" | grep -Ei 'test|bench|fuzz|gtest|gmock|demo'; then
  echo "FAILED: test, bench or example files were installed" >&2
  exit 1
fi
"$source/tests/consumers.sh" "$source" "$prefix"
# The README and docs/ show users exactly the consumers built here.
for example in consumer/CMakeLists.txt consumer/consumer.c consumer/consumer.py dotnet/NtpDemo.cs; do
  cat "$source/README.md" "$source"/docs/*.md | /usr/bin/python3 -c \
    'import sys; sys.exit(open(sys.argv[1]).read() not in sys.stdin.read())' "$source/examples/$example" ||
    { echo "FAILED: neither README.md nor docs/ shows examples/$example as it is" >&2; exit 1; }
done
