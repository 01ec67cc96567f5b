# Shared by the test scripts: sourced, never run.
fail() { echo "FAILED: $*" >&2; exit 1; }
# A UDP port that was free a moment ago, from the system's own choice.
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("", 0)); print(s.getsockname()[1])'; }
