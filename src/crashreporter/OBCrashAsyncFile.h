#pragma once
// The buffered output that carries a report to disk at crash time: a fixed buffer inside the
// record, so that most small fields cost no system call, and an optional byte limit.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OBCRASH_ASYNC_FILE_BUFFER_SIZE 256

typedef struct obcrash_async_file {
    int fd;
    /* The most bytes ever accepted; 0 means no limit. */
    uint64_t limit_bytes;
    /* Bytes accepted so far, counted only under a limit. */
    uint64_t total_bytes;
    uint64_t buflen;
    /* Set by the first write, flush or close that was refused or failed, and never cleared: a
     * report with a hole in it does not decode, so its writer must not call it a success. */
    bool failed;
    char buffer[OBCRASH_ASYNC_FILE_BUFFER_SIZE];
} obcrash_async_file_t;

/* The file takes over `fd` only at obcrash_async_file_close. */
void obcrash_async_file_init(obcrash_async_file_t* file, int fd, uint64_t limit_bytes);

/* Data that would pass the limit is refused whole, never cut. */
bool obcrash_async_file_write(obcrash_async_file_t* file, const void* data, size_t length);
bool obcrash_async_file_flush(obcrash_async_file_t* file);
bool obcrash_async_file_close(obcrash_async_file_t* file);

#ifdef __cplusplus
}
#endif
