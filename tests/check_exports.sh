#!/bin/sh
# The shared library exports exactly the seven functions of the interface.
set -eu
library=$1
expected="ntp_last_error ntp_query ntp_start ntp_stats ntp_status ntp_stop ntp_version"
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exports differ: expected [$expected], got [$actual]" >&2
  exit 1
fi
echo "exports: $actual"
