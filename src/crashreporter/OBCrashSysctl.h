#pragma once
// Facts about the running system by their system-control names, read from this system's own
// sources. Normal context only: these allocate.
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A heap string the caller frees, or null with errno set; an unknown name is ENOENT. */
char* obcrash_sysctl_string(const char* name);
bool obcrash_sysctl_int(const char* name, int* result);

/* How many leading bytes form valid UTF-8 (a leading byte-order mark counts as valid). */
size_t obcrash_sysctl_valid_utf8_bytes_max(const unsigned char* bytes, size_t max_length);
size_t obcrash_sysctl_valid_utf8_bytes(const unsigned char* str);

#ifdef __cplusplus
}
#endif
