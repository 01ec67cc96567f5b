/* How long ntp_stop takes: start the server many times on one port, let its
 * thread settle into its wait for datagrams, stop it, and print the mean and
 * the worst stop time. Figures to read, on Linux and under Wine alike; it
 * fails only if a start or a stop fails.
 *
 *     stop_time [PORT] [CYCLES]
 */
#include <stdio.h>
#include <stdlib.h>

#include "quelmora_ntp.h"

/* Long enough for the new thread to find nothing pending and start waiting. */
enum { settle_ms = 20 };

#ifdef _WIN32
#include <windows.h>
static void settle(void) { Sleep(settle_ms); }
static double seconds_now(void) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return (double)count.QuadPart / (double)frequency.QuadPart;
}
#else
#include <time.h>
static void settle(void) {
  const struct timespec pause = {0, settle_ms * 1000000L};
  nanosleep(&pause, NULL);
}
static double seconds_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}
#endif

enum { default_port = 23700, default_cycles = 100 };

int main(int argc, char** argv) {
  const int port = argc > 1 ? atoi(argv[1]) : default_port;
  const int cycles = argc > 2 ? atoi(argv[2]) : default_cycles;
  double total = 0, worst = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (ntp_start(port) != 0) {
      fprintf(stderr, "start on port %d: %s\n", port, ntp_last_error());
      return 1;
    }
    settle();
    const double before = seconds_now();
    const int stopped = ntp_stop();
    const double took = seconds_now() - before;
    if (stopped != 0) {
      fprintf(stderr, "stop returned %d\n", stopped);
      return 1;
    }
    total += took;
    if (took > worst) worst = took;
  }
  printf("ntp_stop over %d start/stop cycles: mean %.3f ms, worst %.3f ms\n", cycles,
         total * 1000 / cycles, worst * 1000);
  return 0;
}
