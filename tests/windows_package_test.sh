#!/usr/bin/env bash
# A Windows ZIP as its users take it, under Wine (the win32 one under 32-bit
# Wine in a 32-bit prefix, where a calling convention mismatch would show):
# it holds what it should;
# a host built the MSVC way (clang-cl, lld-link, no C runtime) links its
# import library; a MinGW project finds it with find_package and gets the
# DLL copied beside its program; and
# quelmora-ntp.exe prints its version, queries the Linux library's server,
# serves a Linux query until Ctrl-C or its --seconds end it, and refuses a
# port that another of its servers holds. Every DLL and program carries its
# version resource. The win-arm64 ZIP gets the static checks alone (machine,
# exports, imports, resources, PDBs), and its command's version under the
# Wine launcher that QUELMORA_NTP_WINE_ARM64 names, where there is one.
#
#     tests/windows_package_test.sh ZIP SOURCE LINUX_COMMAND
set -euo pipefail
zip=$(realpath "$1")
source=$(realpath "$2")
linux_command=$(realpath "$3")
work=$(mktemp -d)
flavour=${zip##*-}
flavour=${flavour%.zip}
case "$flavour" in
  win64) wine=/usr/lib/wine/wine64 toolchain=mingw-w64-x86_64
         msvc_target=x86_64-pc-windows-msvc machine=i386:x86-64 kernel32=kernel32.def link_flags=() ;;
  win32) wine=/usr/lib/wine/wine toolchain=mingw-w64-i686
         msvc_target=i686-pc-windows-msvc machine=i386 kernel32=kernel32-x86.def
         # MinGW's import library carries no safe exception handler table.
         link_flags=(/safeseh:no)
         export WINEARCH=win32 ;;
  arm64) machine=ARM64 ;;
  *) echo "FAILED: not a win32, win64 or win-arm64 ZIP: $zip" >&2; exit 1 ;;
esac
if [ "$flavour" = arm64 ]; then
  . "$source/tests/helpers.sh"
  trap 'rm -rf "$work"' EXIT
  cd "$work"
  cmake -E tar xf "$zip"
  root=$work/$(basename "$zip" .zip)
  version=$(basename "$root" | sed 's/^quelmora-ntp-\(.*\)-win-arm64$/\1/')
  for file in bin/quelmora_ntp.dll bin/quelmora_ntp.pdb bin/quelmora-ntp.exe bin/quelmora-ntp.pdb \
      lib/quelmora_ntp.lib lib/quelmora_ntp.def include/quelmora_ntp.h \
      lib/cmake/quelmora_ntp/quelmora_ntpConfig.cmake LICENSE README.md docs/c-api.md; do
    [ -f "$root/$file" ] || fail "the ZIP has no $file"
  done
  for program in "$root"/bin/*.dll "$root"/bin/*.exe; do
    llvm-readobj-14 --file-headers "$program" | grep -q "IMAGE_FILE_MACHINE_ARM64" || fail "$program is not ARM64"
    llvm-readobj-14 --coff-debug-directory "$program" | grep -q "PDBFileName: .*$(basename "${program%.*}").pdb" ||
      fail "$program names no PDB of its own"
  done
  exports=$(llvm-readobj-14 --coff-exports "$root/bin/quelmora_ntp.dll" | awk '/Name:/ {print $2}' | sort | paste -sd ' ')
  [ "$exports" = "ntp_last_error ntp_query ntp_start ntp_stats ntp_status ntp_stop ntp_version" ] ||
    fail "quelmora_ntp.dll exports $exports"
  imports=$(llvm-readobj-14 --coff-imports "$root/bin/quelmora_ntp.dll" "$root/bin/quelmora-ntp.exe" |
            awk '/^  Name:/ {print toupper($2)}' | sort -u | paste -sd ' ')
  [ "$imports" = "KERNEL32.DLL MSVCRT.DLL QUELMORA_NTP.DLL WS2_32.DLL" ] || fail "the programs import $imports"
  llvm-nm-14 "$root/lib/quelmora_ntp.lib" | grep -q "__imp_ntp_query" || fail "quelmora_ntp.lib imports no ntp_query"
  /usr/bin/python3 "$source/tests/check_version_resource.py" "$version" "$root"/bin/*.dll "$root"/bin/*.exe
  if [ -n "${QUELMORA_NTP_WINE_ARM64:-}" ]; then
    said=$(timeout 600 "$QUELMORA_NTP_WINE_ARM64" "$root/bin/quelmora-ntp.exe" version 2>/dev/null | tr -d '\r')
    [ "$said" = "$version" ] || fail "quelmora-ntp.exe version under ARM64 Wine said $said"
    echo "quelmora-ntp.exe version under ARM64 Wine: $said"
  fi
  echo "Windows ZIP (win-arm64): exports $exports; imports $imports; version resources and PDBs: static checks pass"
  exit 0
fi
servers=()
cleanup() {
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$source/tests/helpers.sh"
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
# One Wine server for the whole test: a server that ends a few seconds after
# each program can leave the next one, started just then, without a server.
mkdir "$WINEPREFIX"
/usr/lib/wine/wineserver -p
"$wine" wineboot --init >/dev/null 2>&1

cd "$work"
cmake -E tar xf "$zip"
root=$work/$(basename "$zip" .zip)
for file in bin/quelmora_ntp.dll bin/quelmora-ntp.exe lib/quelmora_ntp.lib lib/quelmora_ntp.def \
    include/quelmora_ntp.h lib/cmake/quelmora_ntp/quelmora_ntpConfig.cmake \
    lib/cmake/quelmora_ntp/quelmora_ntpConfigVersion.cmake LICENSE README.md docs/c-api.md; do
  [ -f "$root/$file" ] || fail "the ZIP has no $file"
done
"$source/tests/check_exports.sh" "$root/bin/quelmora_ntp.dll"
if x86_64-w64-mingw32-objdump -p "$root/bin/quelmora-ntp.exe" | grep -i "DLL Name: lib"; then
  fail "quelmora-ntp.exe needs MinGW runtime DLLs"
fi
/usr/bin/python3 "$source/tests/check_version_resource.py" \
  "$(basename "$root" | sed 's/^quelmora-ntp-\(.*\)-win[36][24]$/\1/')" "$root"/bin/*.dll "$root"/bin/*.exe

# MSVC's conventions: an import library and the DLL beside the program.
clang-cl-14 "--target=$msvc_target" /nologo /c /O2 /GS- /Zl /W4 /WX \
  "-I$root/include" /Fomsvc_host.obj -- "$source/tests/msvc/msvc_host.c"
llvm-dlltool-14 -m "$machine" -k -d "$source/tests/msvc/$kernel32" -l kernel32.lib
lld-link-14 /nologo "${link_flags[@]}" /nodefaultlib /entry:host_main /subsystem:console \
  msvc_host.obj "$root/lib/quelmora_ntp.lib" kernel32.lib "/out:$root/bin/msvc_host.exe"
"$wine" "$root/bin/msvc_host.exe" "$(free_port)" || fail "the MSVC-built host"

cmake -S "$source/examples/consumer" -B mingw -DCMAKE_TOOLCHAIN_FILE="$source/cmake/$toolchain.cmake" \
  -Dquelmora_ntp_DIR="$root/lib/cmake/quelmora_ntp" >/dev/null
cmake --build mingw >/dev/null
[ -f mingw/quelmora_ntp.dll ] || fail "the MinGW consumer's build put no quelmora_ntp.dll beside it"
# Run where it was built, with no search path.
"$wine" mingw/ntp_consumer.exe "$(free_port)" > mingw.out || fail "the MinGW consumer exited with $?"
grep -q "^mode 4, stratum 2" mingw.out || fail "the MinGW consumer said: $(cat mingw.out)"
echo "find_package consumer (MinGW): served, queried, stopped"

exe=$root/bin/quelmora-ntp.exe
version=$("$wine" "$exe" version | tr -d '\r')
[ "$version" = "$(basename "$root" | sed 's/^quelmora-ntp-\(.*\)-win[36][24]$/\1/')" ] ||
  fail "quelmora-ntp.exe version says $version"

port=$(free_port)
"$linux_command" serve --port "$port" --seconds 60 > /dev/null &
servers+=($!)
for attempt in $(seq 50); do "$linux_command" query 127.0.0.1 --port "$port" >/dev/null 2>&1 && break; sleep 0.1; done
"$wine" "$exe" query 127.0.0.1 --port "$port" > query.out || fail "quelmora-ntp.exe query: $(cat query.out)"
grep -q "stratum 2, reference id 80.73.67.66" query.out || fail "quelmora-ntp.exe query said: $(cat query.out)"
kill "${servers[0]}"

# Starts quelmora-ntp.exe serve on PORT, its output into FILE, and returns
# once it answers a Linux query; $server is its process id. Queries sent
# before it is up are refused, so it sees exactly one.
start_serve() {
  local port=$1 output=$2
  shift 2
  "$wine" "$exe" serve --port "$port" "$@" > "$output" &
  server=$!
  servers+=("$server")
  for attempt in $(seq 100); do "$linux_command" query 127.0.0.1 --port "$port" >/dev/null 2>&1 && break; sleep 0.1; done
}

# Serves until Ctrl-C (Wine turns SIGINT into one), or until --seconds end.
serve_once() {
  local port=$1 stop=$2
  shift 2
  start_serve "$port" serve.out "$@"
  [ "$stop" = ctrl-c ] && kill -INT "$server"
  wait "$server" || fail "quelmora-ntp.exe serve stopped by $stop exited with $?"
  grep -q "^stopped  port $port  requests 1  replies 1" serve.out ||
    fail "quelmora-ntp.exe serve stopped by $stop said: $(cat serve.out)"
  echo "quelmora-ntp.exe serve answered a query and stopped cleanly on $stop"
}
serve_once "$(free_port)" ctrl-c --seconds 120
serve_once "$(free_port)" --seconds --seconds 8

# A second server on a served port is refused, and the first keeps its traffic.
port=$(free_port)
start_serve "$port" first.out --seconds 120
status=0
"$wine" "$exe" serve --port "$port" --seconds 5 > second.out 2> second.err || status=$?
[ "$status" = 1 ] || fail "a second quelmora-ntp.exe serve on a served port exited with $status"
grep -q "bind failed (port in use?)" second.err || fail "the second serve said: $(cat second.err)"
"$linux_command" query 127.0.0.1 --port "$port" >/dev/null || fail "the first server lost its port"
kill -INT "$server"
wait "$server" || fail "the first quelmora-ntp.exe serve exited with $?"
grep -q "^stopped  port $port  requests 2  replies 2" first.out ||
  fail "the first quelmora-ntp.exe serve said: $(cat first.out)"
echo "a second quelmora-ntp.exe serve on a served port was refused; the first kept serving"
echo "Windows ZIP ($flavour): contents, MSVC-built host, MinGW find_package consumer and quelmora-ntp.exe all pass"
