/* Forced into every C++ source of a musl build (-include): Debian's
 * libstdc++ headers, configured for glibc, ask for its version with
 * __GLIBC_PREREQ, which musl does not define. No glibc version is there. */
#ifndef QUELMORA_NTP_MUSL_GLIBC_PREREQ_H
#define QUELMORA_NTP_MUSL_GLIBC_PREREQ_H

#ifndef __GLIBC_PREREQ
#  define __GLIBC_PREREQ(major, minor) 0
#endif

#endif
