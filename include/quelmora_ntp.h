/*
 * quelmora-ntp: simple network time over UDP for a host program.
 *
 * Conventions of this interface:
 *  1. Every text the library returns is its own read-only storage. It stays
 *     valid while the library is loaded and keeps the same address on every
 *     call. The host never writes or frees it.
 *  2. A result of -1 means failure: ntp_last_error() then says why.
 *     A result of -7 means the call came in the wrong server state; it sets
 *     no text. Successful calls never clear the last-error text.
 *  3. The last-error and statistics texts are overwritten in place by later
 *     calls: read (or copy) them before the next call from another thread.
 *  4. Nothing throws across this boundary and nothing terminates the process.
 */
#ifndef QUELMORA_NTP_H
#define QUELMORA_NTP_H

#if defined(QUELMORA_NTP_STATIC)
#  define QUELMORA_NTP_API
#elif defined(_WIN32)
#  if defined(QUELMORA_NTP_BUILDING)
#    define QUELMORA_NTP_API __declspec(dllexport)
#  else
#    define QUELMORA_NTP_API __declspec(dllimport)
#  endif
#else
#  define QUELMORA_NTP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version text, "1.0.0". */
QUELMORA_NTP_API const char* ntp_version(void);

/* The message of the most recent failure in this process ("" before any). */
QUELMORA_NTP_API const char* ntp_last_error(void);

/* Starts the time server on UDP port 1..65535 (0 means 123), IPv4 any-address;
 * each reply leaves from the address its request was sent to. A port that
 * another socket holds is refused ("bind failed (port in use?)").
 * 0 on success, -1 on failure, -7 if the server already runs. */
QUELMORA_NTP_API int ntp_start(int port);

/* Stops the time server, waiting at most 3 s for its thread.
 * 0 on success, -7 if the server does not run. */
QUELMORA_NTP_API int ntp_stop(void);

/* 1 while the time server runs, else 0. */
QUELMORA_NTP_API int ntp_status(void);

/* Sends one SNTP request to host:port and receives the raw 48-byte reply into
 * pkt (pkt_len >= 48; only pkt[0..47] is ever written). Blocks up to 5 s for
 * the reply. 48 on success, -1 on failure. Only the reply whose originate
 * time is the request's transmit time is taken (others are passed over);
 * the caller decodes it. */
QUELMORA_NTP_API int ntp_query(const char* host, int port, unsigned char* pkt, int pkt_len);

/* One line of JSON: {"running":R,"port":P,"requests":N,"replies":M}.
 * Counters are those since the last successful start. */
QUELMORA_NTP_API const char* ntp_stats(void);

#ifdef __cplusplus
}
#endif

#endif /* QUELMORA_NTP_H */
