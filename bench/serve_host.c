/* A minimal host of the library for benchmarks: serves on PORT until SIGTERM,
 * then prints the statistics line. */
#define _DEFAULT_SOURCE /* usleep */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "quelmora_ntp.h"

static volatile sig_atomic_t stop_requested = 0;
static void on_signal(int signal_number) { (void)signal_number; stop_requested = 1; }

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: serve_host PORT\n");
    return 2;
  }
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  if (ntp_start(atoi(argv[1])) != 0) {
    fprintf(stderr, "serve_host: %s\n", ntp_last_error());
    return 1;
  }
  while (!stop_requested) usleep(50000);
  ntp_stop();
  printf("%s\n", ntp_stats());
  return 0;
}
