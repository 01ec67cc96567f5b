#!/bin/sh
# Installs a build into a new prefix, where nothing test- or bench-only may
# land, and its two components each alone; then the plain sequence of
# docs/install.md, on a machine without GoogleTest, into another, and builds
# the example consumers against it; and the same against the static archive.
set -eu
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"
only_the_library() {
  if find "$1" -mindepth 1 -printf '%P\n' | grep -Ei 'test|bench|fuzz|gtest|gmock|demo'; then
    echo "FAILED: test, bench or example files were installed" >&2
    exit 1
  fi
}
cmake --install "$build" --prefix "$work/tested" >/dev/null
only_the_library "$work/tested"

# Runtime and Development split the install: together all of it, neither
# with the other's files.
files() { [ ! -d "$1" ] || (cd "$1" && find . ! -type d -printf '%P\n'); }
for component in Runtime Development; do
  cmake --install "$build" --component $component --prefix "$work/$component" >/dev/null
done
[ "$(files "$work/tested" | sort)" = "$( (files "$work/Runtime"; files "$work/Development") | sort)" ] ||
  fail "Runtime and Development are not the whole install, once"
files "$work/Runtime" | grep -E '^include/|\.so$|/cmake/|/pkgconfig/|/man3/' &&
  fail "the Runtime component has files to build with"
files "$work/Development" | grep -E '\.so\.|^bin/|/man1/|/python3/|/doc/' &&
  fail "the Development component has files to run with"
for file in bin/quelmora-ntp lib/libquelmora_ntp.so.1; do
  [ -e "$work/Runtime/$file" ] || fail "the Runtime component has no $file"
done
echo "Runtime: $(files "$work/Runtime" | grep -c .) files, Development: $(files "$work/Development" | grep -c .)"

cmake -S "$source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} cmake --build "$work/build" >/dev/null
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null
only_the_library "$work/prefix"
"$source/tests/consumers.sh" "$source" "$work/prefix"

# The library alone, as the static archive: no libquelmora_ntp.so in the
# prefix for its consumers to need.
cmake -S "$source" -B "$work/static" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DQUELMORA_NTP_CLI=OFF -DQUELMORA_NTP_TESTS=OFF >/dev/null
CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} cmake --build "$work/static" --target quelmora_ntp >/dev/null
cmake --install "$work/static" --prefix "$work/static-prefix" >/dev/null
[ -n "$(find "$work/static-prefix" -name libquelmora_ntp.a)" ] &&
  [ -z "$(find "$work/static-prefix" -name 'libquelmora_ntp.so*')" ] ||
  fail "BUILD_SHARED_LIBS=OFF installs other than the static archive"
"$source/tests/consumers.sh" "$source" "$work/static-prefix"

# The README and docs/ show users exactly the consumers built here.
for example in consumer/CMakeLists.txt consumer/consumer.c consumer/consumer.py dotnet/NtpDemo.cs \
    fetchcontent/CMakeLists.txt; do
  cat "$source/README.md" "$source"/docs/*.md | /usr/bin/python3 -c \
    'import sys; sys.exit(open(sys.argv[1]).read() not in sys.stdin.read())' "$source/examples/$example" ||
    { echo "FAILED: neither README.md nor docs/ shows examples/$example as it is" >&2; exit 1; }
done
