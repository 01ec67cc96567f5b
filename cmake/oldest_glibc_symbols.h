/* Forced into every source of the library on Linux (-include): binds the
 * glibc functions that newer releases versioned anew to their oldest version,
 * so that the library loads on glibc 2.17 and later. glibc keeps every old
 * version, so newer systems resolve the same calls. The threads functions
 * moved from libpthread into libc in 2.34; the old versions live in
 * libpthread before that, which the library therefore names as needed. */
#ifndef QUELMORA_NTP_OLDEST_GLIBC_SYMBOLS_H
#define QUELMORA_NTP_OLDEST_GLIBC_SYMBOLS_H

#if defined(__x86_64__)
#  define QUELMORA_NTP_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#  define QUELMORA_NTP_GLIBC_BASE "GLIBC_2.17"
#endif

#ifdef QUELMORA_NTP_GLIBC_BASE
__asm__(".symver pthread_create,pthread_create@" QUELMORA_NTP_GLIBC_BASE);
__asm__(".symver pthread_join,pthread_join@" QUELMORA_NTP_GLIBC_BASE);
__asm__(".symver pthread_detach,pthread_detach@" QUELMORA_NTP_GLIBC_BASE);
#endif

#endif
