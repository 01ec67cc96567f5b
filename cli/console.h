// What the command needs of the operating system besides the library: stop
// requests from the user, the terminal, the clock, and name resolution. One implementation per
// platform (console_posix.cpp, console_win32.cpp); nothing else in the
// command differs between them.
#ifndef QUELMORA_CLI_CONSOLE_H
#define QUELMORA_CLI_CONSOLE_H

#include <string>
#include <vector>

#include "sntp_decode.h"

namespace console {

// From now on Ctrl-C and SIGTERM (on Windows: Ctrl-C, Ctrl-Break and closing
// the console) only ask the command to stop, and stop_requested() says so.
void catch_stop_requests();
bool stop_requested();
// The command has stopped and printed its summary: a console that is being
// closed may take the process now.
void stopped_cleanly();

// Shows one status line: rewritten in place on a terminal, a line of its own
// when the output goes to a file or a pipe. end_status_lines() ends the last
// one so that what follows starts on a fresh line.
void show_status(const char* text);
void end_status_lines();

// The UTC clock, as precise as the library's own, so that the originate time
// the library stamps falls between two readings of it.
sntp::unix_ns utc_now_ns();

// Every address host resolves to for UDP, IPv4 and IPv6, as numeric text in
// the system's order of preference; none when it does not resolve. The
// library tries only the first address of a name, and a name such as
// localhost often lists ::1 before 127.0.0.1.
std::vector<std::string> numeric_addresses(const std::string& host);

}  // namespace console

#endif  // QUELMORA_CLI_CONSOLE_H
