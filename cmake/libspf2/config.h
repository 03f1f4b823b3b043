/* libspf2's build configuration for Linux with glibc (Debian 12 and later),
 * written by hand in place of the one its configure script would generate:
 * heronsend compiles the library's C files from CMake, so they get the same
 * compiler and sanitizer flags as the rest of the tree. Only the macros the
 * library's sources test are defined. */
#ifndef HERONSEND_LIBSPF2_CONFIG_H
#define HERONSEND_LIBSPF2_CONFIG_H

#define STDC_HEADERS 1
#define TIME_WITH_SYS_TIME 1

#define HAVE_ARPA_INET_H 1
#define HAVE_ARPA_NAMESER_H 1
#define HAVE_ERRNO_H 1
#define HAVE_INTTYPES_H 1
#define HAVE_MEMORY_H 1
#define HAVE_NETDB_H 1
#define HAVE_NETINET_IN_H 1
#define HAVE_PTHREAD_H 1
#define HAVE_RESOLV_H 1
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRINGS_H 1
#define HAVE_STRING_H 1
#define HAVE_SYSLOG_H 1
#define HAVE_SYS_SOCKET_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_UNISTD_H 1

#define HAVE_UINT8_T 1
#define HAVE_UINT16_T 1
#define HAVE_UINT32_T 1
#define HAVE_U_INT8_T 1
#define HAVE_U_INT16_T 1
#define HAVE_U_INT32_T 1

/* glibc's <arpa/nameser.h> has ns_type, including ns_t_spf and ns_t_invalid. */
#define HAVE_NS_TYPE 1
#define HAVE_DECL_NS_T_SPF 1
#define HAVE_DECL_NS_T_INVALID 1

/* Thread-safe resolver state (one per thread); glibc has no res_ndestroy. */
#define HAVE_DECL_RES_NINIT 1
#define HAVE_DECL_RES_NDESTROY 0

#endif
