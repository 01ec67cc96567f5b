# Shared by the test scripts: sourced, never run.
fail() { echo "FAILED: $*" >&2; exit 1; }
# The libraries an ELF file needs, by name, on one line.
needed_libraries() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' '; }
# A UDP port that was free a moment ago, from the system's own choice.
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("", 0)); print(s.getsockname()[1])'; }
