#!/bin/sh
# Installs a build into a new prefix, where nothing test- or bench-only may
# land; then the plain sequence of docs/install.md, on a machine without
# GoogleTest, into another, and builds the example consumers against it.
set -eu
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
only_the_library() {
  if find "$1" -mindepth 1 -printf '%P\n' | grep -Ei 'test|bench|fuzz|gtest|gmock|demo'; then
    echo "FAILED: test, bench or example files were installed" >&2
    exit 1
  fi
}
cmake --install "$build" --prefix "$work/tested" >/dev/null
only_the_library "$work/tested"

cmake -S "$source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} cmake --build "$work/build" >/dev/null
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null
only_the_library "$work/prefix"
"$source/tests/consumers.sh" "$source" "$work/prefix"
# The README and docs/ show users exactly the consumers built here.
for example in consumer/CMakeLists.txt consumer/consumer.c consumer/consumer.py dotnet/NtpDemo.cs; do
  cat "$source/README.md" "$source"/docs/*.md | /usr/bin/python3 -c \
    'import sys; sys.exit(open(sys.argv[1]).read() not in sys.stdin.read())' "$source/examples/$example" ||
    { echo "FAILED: neither README.md nor docs/ shows examples/$example as it is" >&2; exit 1; }
done
