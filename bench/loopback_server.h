// What the benchmark's reference servers share: a UDP socket bound to a
// loopback port from the command line, and a stop flag set by SIGTERM or
// SIGINT (without SA_RESTART, so a waiting receive returns to see it).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

inline volatile sig_atomic_t g_stop = 0;

// Exits with 2 on a usage error and 1 if the port cannot be bound.
inline int open_loopback_server(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    std::exit(2);
  }
  struct sigaction action{};
  action.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bind");
    std::exit(1);
  }
  return fd;
}
