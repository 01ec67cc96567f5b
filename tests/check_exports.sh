#!/bin/sh
# The library exports exactly the seven functions of the interface; a DLL
# also imports nothing but system DLLs.
set -eu
library=$1
expected="ntp_last_error ntp_query ntp_start ntp_stats ntp_status ntp_stop ntp_version"
case "$library" in
  *.dll)
    if dump=$(x86_64-w64-mingw32-objdump -p "$library" 2>/dev/null); then
      actual=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
               awk '/\[ *[0-9]+\]/ {print $NF}' | sort | tr '\n' ' ' | sed 's/ $//')
      imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
    else  # ARM64, which binutils for x86 cannot read
      actual=$(llvm-readobj-14 --coff-exports "$library" | awk '/Name:/ {print $2}' | sort | tr '\n' ' ' | sed 's/ $//')
      imports=$(llvm-readobj-14 --coff-imports "$library" | awk '/^  Name:/ {print toupper($2)}' | sort -u)
    fi
    echo "imports: $(echo $imports)"
    for dll in $imports; do
      case "$dll" in
        KERNEL32.DLL|WS2_32.DLL|MSVCRT.DLL|UCRTBASE.DLL|API-MS-WIN-*) ;;
        *) echo "imports a non-system DLL: $dll" >&2; exit 1 ;;
      esac
    done
    ;;
  *.dylib)  # Mach-O names carry a leading underscore
    actual=$(llvm-nm-14 -gU "$library" | awk '{print $3}' | sed 's/^_//' | sort | tr '\n' ' ' | sed 's/ $//')
    ;;
  *)
    actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
    ;;
esac
if [ "$actual" != "$expected" ]; then
  echo "exports differ: expected [$expected], got [$actual]" >&2
  exit 1
fi
echo "exports: $actual"
