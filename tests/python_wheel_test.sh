#!/usr/bin/env bash
# The wheels as Python users take them. The Linux wheel: pip-installed with
# --no-index into a fresh virtual environment and used from a folder outside
# the repository, from the library inside the package; pip uninstall then
# leaves no file of it behind. The Windows wheel: its tags and files, and
# the exports of the DLL inside.
#
#     tests/python_wheel_test.sh LINUX_WHEEL WINDOWS_WHEEL SOURCE
set -euo pipefail
linux_wheel=$(realpath "$1")
windows_wheel=$(realpath "$2")
source=$(realpath "$3")
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
bundled = os.path.join(os.path.dirname(quelmora_ntp.__file__), "libquelmora_ntp.so")
assert bundled in maps, "the library inside the package was not the one loaded"
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

name=$(basename "$windows_wheel")
[[ $name == quelmora_ntp-*-py3-none-win_amd64.whl ]] || fail "the Windows wheel is named $name"
mkdir "$work/windows"
(cd "$work/windows" && cmake -E tar xf "$windows_wheel")
version=${name#quelmora_ntp-}
version=${version%%-*}
info=$work/windows/quelmora_ntp-$version.dist-info
for file in quelmora_ntp/__init__.py quelmora_ntp/py.typed quelmora_ntp/quelmora_ntp.dll \
    "${info#$work/windows/}"/METADATA "${info#$work/windows/}"/WHEEL "${info#$work/windows/}"/RECORD; do
  [ -f "$work/windows/$file" ] || fail "the Windows wheel has no $file"
done
grep -qx "Tag: py3-none-win_amd64" "$info/WHEEL" || fail "the Windows wheel's tag: $(grep Tag "$info/WHEEL")"
grep -qx "Name: quelmora-ntp" "$info/METADATA" || fail "the Windows wheel's name"
grep -qx "Version: $version" "$info/METADATA" || fail "the Windows wheel's version"
[ -z "$(find "$work/windows" -name '*.so*')" ] || fail "the Windows wheel carries a Linux library"
"$source/tests/check_exports.sh" "$work/windows/quelmora_ntp/quelmora_ntp.dll"
echo "Windows wheel: tags, files and DLL exports as they should be"
