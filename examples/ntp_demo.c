/* A host of the library: serves time on an unprivileged loopback port, asks
 * its own server for the time, and prints what the reply says. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include "quelmora_ntp.h"

enum { packet_size = 48, first_port = 12300, ports_to_try = 50 };

static const int64_t seconds_1900_to_1970 = 2208988800LL;
static const double fraction_scale = 4294967296.0;

static uint32_t get_be32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static double now_unix(void) {
#ifdef _WIN32
  FILETIME now; /* 100-ns ticks since 1601 */
  GetSystemTimePreciseAsFileTime(&now);
  uint64_t ticks = (uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime;
  return (double)(ticks - 116444736000000000ULL) / 1e7;
#else
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
#endif
}

/* NTP seconds wrap every 136 years: take the era nearest the given time. */
static double timestamp_to_unix(const unsigned char* p, double near_unix) {
  uint32_t near_ntp = (uint32_t)((int64_t)near_unix + seconds_1900_to_1970);
  int32_t seconds_from_near = (int32_t)(get_be32(p) - near_ntp);
  return (double)((int64_t)near_unix + seconds_from_near) + get_be32(p + 4) / fraction_scale;
}

static int start_on_free_port(void) {
  for (int port = first_port; port < first_port + ports_to_try; ++port) {
    if (ntp_start(port) == 0) return port;
  }
  return -1;
}

int main(void) {
  printf("quelmora-ntp %s\n", ntp_version());
  int port = start_on_free_port();
  if (port < 0) {
    fprintf(stderr, "cannot start the server: %s\n", ntp_last_error());
    return 1;
  }
  printf("server running on UDP port %d\n", port);

  unsigned char pkt[packet_size];
  double sent = now_unix();
  int got = ntp_query("127.0.0.1", port, pkt, (int)sizeof pkt);
  double received = now_unix();
  if (got != packet_size) {
    fprintf(stderr, "query failed: %s\n", ntp_last_error());
    ntp_stop();
    return 1;
  }
  double originate = timestamp_to_unix(pkt + 24, sent);
  double server_receive = timestamp_to_unix(pkt + 32, sent);
  double server_transmit = timestamp_to_unix(pkt + 40, sent);
  double offset = ((server_receive - originate) + (server_transmit - received)) / 2;
  double delay = (received - originate) - (server_transmit - server_receive);

  time_t whole = (time_t)server_transmit;
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", gmtime(&whole));
  printf("reply: version %d, mode %d, stratum %d, reference id \"%.4s\"\n", (pkt[0] >> 3) & 7,
         pkt[0] & 7, pkt[1], (const char*)pkt + 12);
  printf("server time %s.%06dZ\n", text, (int)((server_transmit - (double)whole) * 1e6));
  printf("offset %+.6f s, round trip %.6f s\n", offset, delay);
  printf("stats %s\n", ntp_stats());

  if (ntp_stop() != 0) return 1;
  printf("stopped: %s\n", ntp_stats());
  return 0;
}
