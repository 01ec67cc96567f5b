#!/usr/bin/env bash
# The wheels as Python users take them. Each of the six is a platform wheel
# that pip's own tag check picks for its platform alone, holding the one
# library of its platform. The Linux x86-64 wheel: pip-installed with
# --no-index into a fresh virtual environment and used from a folder outside
# the repository, from the library inside the package, which Python lists as
# no module; pip uninstall then leaves no file of it behind.
#
#     tests/python_wheel_test.sh SOURCE WHEEL...   (the nine wheels)
set -euo pipefail
source=$(realpath "$1")
shift
wheels=()
for wheel in "$@"; do wheels+=("$(realpath "$wheel")"); done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"

# Nothing from the build tree or the system may stand in for the wheel's library.
unset QUELMORA_NTP_LIBRARY LD_LIBRARY_PATH PYTHONPATH
# Imports write compiled copies, as they do for most users; the uninstall must take them too.
unset PYTHONDONTWRITEBYTECODE
/usr/bin/python3 -m venv "$work/venv"
python=$work/venv/bin/python
site=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
snapshot() { (cd "$work/venv" && find . | sort); }
snapshot > "$work/before"
linux_wheel=$(printf '%s\n' "${wheels[@]}" | grep 'manylinux_2_17_x86_64\.whl$') ||
  fail "no manylinux_2_17_x86_64 wheel among: ${wheels[*]}"
"$python" -m pip install -q --no-index "$linux_wheel"
[ -f "$site/quelmora_ntp/py.typed" ] || fail "the wheel installed no py.typed"

mkdir "$work/elsewhere"
cd "$work/elsewhere"
port=$(free_port)
"$python" - "$port" "$(free_port)" <<'PYTHON' || fail "the installed wheel"
import os, sys
import quelmora_ntp

port, silent_port = int(sys.argv[1]), int(sys.argv[2])
ntp = quelmora_ntp.Library()
maps = open("/proc/self/maps").read()
bundled = os.path.join(os.path.dirname(quelmora_ntp.__file__), "libquelmora_ntp.so.1")
assert bundled in maps, "the library inside the package was not the one loaded"
import pkgutil
listed = sorted(m.name for m in pkgutil.iter_modules() if m.name.startswith(("quelmora", "libquelmora")))
assert listed == ["quelmora_ntp"], f"Python lists as modules: {listed}"
ntp.start(port)
reply = ntp.query("127.0.0.1", port)
assert (reply.mode, reply.stratum, reply.reference_id) == (4, 2, "80.73.67.66"), reply
assert abs(reply.offset) < 0.05, reply
try:
    ntp.start(port)
    raise AssertionError("a second start was taken")
except quelmora_ntp.WrongStateError:
    pass
stats = ntp.stats()
assert stats == {"running": 1, "port": port, "requests": 1, "replies": 1}, stats
ntp.stop()
try:
    ntp.query("127.0.0.1", silent_port)
    raise AssertionError("a query of a closed port answered")
except quelmora_ntp.NtpError as error:
    assert str(error) == "no reply within 5s (timeout or short packet)", error
print(f"installed wheel: {reply!r}; {stats}")
PYTHON
cd "$work"

"$python" -m pip uninstall -q -y quelmora-ntp
snapshot > "$work/after"
left=$(comm -13 "$work/before" "$work/after")
[ -z "$left" ] || fail "pip uninstall left behind: $left"
echo "Linux wheel: installed into a virtual environment, used, uninstalled without a trace"

# Each wheel: its tag, a platform wheel, its files, its one library checked.
mkdir "$work/feed"
for wheel in "${wheels[@]}"; do
  name=$(basename "$wheel")
  cp "$wheel" "$work/feed/"
  platform=${name##*-none-}
  platform=${platform%.whl}
  case "$platform" in
    manylinux_2_17_x86_64|manylinux_2_17_aarch64|musllinux_1_2_x86_64|musllinux_1_2_aarch64)
      library=libquelmora_ntp.so.1 other='*.dll' ;;
    win_amd64|win32|win_arm64) library=quelmora_ntp.dll other='*.so*' ;;
    macosx_11_0_arm64|macosx_11_0_x86_64) library=libquelmora_ntp.1.dylib other='*.so*' ;;
    *) fail "a wheel for an unexpected platform: $name" ;;
  esac
  unpacked=$work/unpacked-$platform
  mkdir "$unpacked"
  (cd "$unpacked" && cmake -E tar xf "$wheel")
  version=${name#quelmora_ntp-}
  version=${version%%-*}
  info=$unpacked/quelmora_ntp-$version.dist-info
  for file in quelmora_ntp/__init__.py quelmora_ntp/py.typed "quelmora_ntp/$library"; do
    [ -f "$unpacked/$file" ] || fail "$name has no $file"
  done
  grep -qx "Tag: py3-none-$platform" "$info/WHEEL" || fail "$name's tag: $(grep Tag "$info/WHEEL")"
  grep -qx "Root-Is-Purelib: false" "$info/WHEEL" || fail "$name is not a platform wheel"
  grep -qx "Name: quelmora-ntp" "$info/METADATA" || fail "$name's name"
  [ -z "$(find "$unpacked" -name "$other")" ] || fail "$name carries another platform's library"
  [ -z "$(find "$unpacked" -name '*.data')" ] || fail "$name installs outside the package folder"
  "$source/tests/check_exports.sh" "$unpacked/quelmora_ntp/$library" >/dev/null
  case "$platform" in
    manylinux_*) "$source/tests/check_symbol_versions.sh" "$unpacked/quelmora_ntp/$library" 2.17 >/dev/null ;;
    musllinux_*) [ "$(needed_libraries "$unpacked/quelmora_ntp/$library")" = libc.so ] ||
                   fail "$name's library needs more than musl's libc.so" ;;
  esac
done

# pip's own tag check, without an index: each platform gets its wheel, musl
# Linux its musllinux one.
for platform in manylinux_2_17_x86_64 manylinux_2_17_aarch64 musllinux_1_2_x86_64 \
    musllinux_1_2_aarch64 win_amd64 win32 win_arm64 macosx_11_0_arm64 macosx_11_0_x86_64; do
  target=$work/target-$platform
  "$python" -m pip install -q --no-index --find-links "$work/feed" --only-binary :all: \
    --platform "$platform" --target "$target" quelmora-ntp || fail "pip refused quelmora-ntp for $platform"
  tag=$(grep '^Tag:' "$target"/quelmora_ntp-*.dist-info/WHEEL)
  [ "$tag" = "Tag: py3-none-$platform" ] || fail "pip chose the $tag wheel for $platform"
done
echo "wheels: ${#wheels[@]} platform wheels with their tags, files and libraries; pip picks each for its platform"
