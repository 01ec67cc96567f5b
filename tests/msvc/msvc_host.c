/* A Windows host built as MSVC builds one (clang-cl, lld-link) against the
 * import library quelmora_ntp.lib, with no C runtime in the link at all:
 * kernel32 and the library only. It serves on the port given as its one
 * argument, queries itself, stops, and exits 0 on success. */
#include "quelmora_ntp.h"

typedef void* handle;
#define KERNEL32 __declspec(dllimport)
KERNEL32 handle __stdcall GetStdHandle(unsigned long which);
KERNEL32 int __stdcall WriteFile(handle file, const void* data, unsigned long length,
                                 unsigned long* written, void* overlapped);
KERNEL32 const char* __stdcall GetCommandLineA(void);
KERNEL32 void __stdcall ExitProcess(unsigned int code);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)

static void say(const char* text) {
  unsigned long length = 0, written = 0;
  while (text[length] != '\0') ++length;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

static void fail(const char* what) {
  say("FAILED: ");
  say(what);
  say(": ");
  say(ntp_last_error());
  say("\n");
  ExitProcess(1);
}

/* The last word of the command line, as a port number. */
static int port_argument(void) {
  const char* line = GetCommandLineA();
  const char* word = line;
  int port = 0;
  for (; *line != '\0'; ++line) {
    if (*line == ' ') word = line + 1;
  }
  for (; *word >= '0' && *word <= '9'; ++word) port = port * 10 + (*word - '0');
  return port;
}

void host_main(void) {
  unsigned char pkt[48];
  const int port = port_argument();
  if (ntp_start(port) != 0) fail("ntp_start");
  if (ntp_query("127.0.0.1", port, pkt, (int)sizeof pkt) != 48) fail("ntp_query");
  if (pkt[0] != 0x24 || pkt[1] != 2) fail("the reply's header");
  if (ntp_stop() != 0) fail("ntp_stop");
  say("MSVC-built host: served, queried, stopped; version ");
  say(ntp_version());
  say("\n");
  ExitProcess(0);
}
