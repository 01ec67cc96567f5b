#include <stdio.h>
#include <stdlib.h>
#include "quelmora_ntp.h"

int main(int argc, char** argv) {
  int port = argc > 1 ? atoi(argv[1]) : 12300;
  if (ntp_start(port) != 0) {
    fprintf(stderr, "start: %s\n", ntp_last_error());
    return 1;
  }
  unsigned char pkt[48];
  int answered = ntp_query("127.0.0.1", port, pkt, (int)sizeof pkt) == 48;
  if (answered) {
    /* pkt[40..47]: the server's transmit time, NTP seconds and fraction, big-endian */
    printf("mode %d, stratum %d\n", pkt[0] & 7, pkt[1]);
  } else {
    fprintf(stderr, "query: %s\n", ntp_last_error());
  }
  printf("%s\n", ntp_stats());
  return ntp_stop() == 0 && answered ? 0 : 1;
}
