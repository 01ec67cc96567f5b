/* A host written in C that loads the library by name at run time, the way
 * hosts in other languages do, calls all seven functions, and unloads the
 * library while its server runs. Including the public header here also
 * proves that it is valid C. */
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
static void pause_briefly(void) { Sleep(10); }
typedef HMODULE library_handle;
static library_handle load_library(void) { return LoadLibraryA("quelmora_ntp.dll"); }
static void unload_library(library_handle library) { FreeLibrary(library); }
static void* find_symbol(library_handle library, const char* name) {
  FARPROC found = GetProcAddress(library, name);
  void* address;
  memcpy(&address, &found, sizeof address);
  return address;
}
#else
#include <dlfcn.h>
#include <time.h>
static void pause_briefly(void) {
  struct timespec pause = {0, 10000000};
  nanosleep(&pause, NULL);
}
typedef void* library_handle;
static library_handle load_library(void) {
  return dlopen("libquelmora_ntp.so", RTLD_NOW | RTLD_LOCAL);
}
static void unload_library(library_handle library) { dlclose(library); }
static void* find_symbol(library_handle library, const char* name) { return dlsym(library, name); }
#endif

#include "quelmora_ntp.h"

typedef const char* (*text_fn)(void);
typedef int (*int_fn)(void);
typedef int (*start_fn)(int);
typedef int (*query_fn)(const char*, int, unsigned char*, int);

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

static void* symbol(library_handle library, const char* name) {
  void* found = find_symbol(library, name);
  check(found != NULL, name);
  return found;
}

int main(void) {
  library_handle library = load_library();
  if (library == NULL) {
    fprintf(stderr, "cannot load the library by name\n");
    return 1;
  }
  text_fn version, last_error, stats;
  int_fn status, stop;
  start_fn start;
  query_fn query;
  /* ISO C has no cast from an object pointer to a function pointer. */
#define LOAD(fn, name)                      \
  do {                                      \
    void* found = symbol(library, name);    \
    memcpy(&(fn), &found, sizeof(fn));      \
  } while (0)
#define LOAD_ALL()                          \
  do {                                      \
    LOAD(version, "ntp_version");           \
    LOAD(last_error, "ntp_last_error");     \
    LOAD(stats, "ntp_stats");               \
    LOAD(status, "ntp_status");             \
    LOAD(stop, "ntp_stop");                 \
    LOAD(start, "ntp_start");               \
    LOAD(query, "ntp_query");               \
  } while (0)
  LOAD_ALL();
  if (failures) return 1;

  check(strcmp(version(), QUELMORA_NTP_EXPECTED_VERSION) == 0, "version text is the project version");
  check(strcmp(last_error(), "") == 0, "empty last error after load");
  check(strcmp(stats(), "{\"running\":0,\"port\":0,\"requests\":0,\"replies\":0}") == 0,
        "statistics after load");
  check(status() == 0, "stopped after load");
  check(stop() == -7, "stop while stopped");

  int port = 0;
  for (int candidate = 23123; candidate < 23223 && port == 0; ++candidate) {
    if (start(candidate) == 0) port = candidate;
  }
  check(port != 0, "start on a free port");
  check(status() == 1, "running after start");

  unsigned char pkt[48];
  check(query("127.0.0.1", port, pkt, (int)sizeof pkt) == 48, "query own server");
  check(pkt[0] == 0x24 && pkt[1] == 2 && memcmp(pkt + 12, "PICB", 4) == 0, "reply header");
  check(query("127.0.0.1", port, pkt, 47) == -1, "short buffer refused");
  check(strcmp(last_error(), "bad params (need host, pkt buffer >= 48)") == 0, "its message");

  char expected[128];
  snprintf(expected, sizeof expected,
           "{\"running\":1,\"port\":%d,\"requests\":1,\"replies\":1}", port);
  /* The reply is counted just after it is sent: give the count a moment. */
  for (int attempt = 0; attempt < 100 && strcmp(stats(), expected) != 0; ++attempt) pause_briefly();
  check(strcmp(stats(), expected) == 0, "statistics while running");

  /* Unloading while the server runs: the library stays loaded (its thread
   * runs on), and loading it again reaches the same running server. */
  unload_library(library);
  for (int pause = 0; pause < 30; ++pause) pause_briefly();
  library = load_library();
  check(library != NULL, "load again after unloading");
  if (library == NULL) return 1;
  LOAD_ALL();
  check(status() == 1, "still running after the host unloaded the library");
  check(query("127.0.0.1", port, pkt, (int)sizeof pkt) == 48, "still serving");
  check(stop() == 0, "stop");
  check(status() == 0, "stopped after stop");

  printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
  return failures ? 1 : 0;
}
