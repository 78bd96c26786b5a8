#include "OBCrashAsyncFile.h"

#include <unistd.h>

#include "OBCrashAsync.h"

void obcrash_async_file_init(obcrash_async_file_t* file, int fd, uint64_t limit_bytes) {
    file->fd = fd;
    file->limit_bytes = limit_bytes;
    file->total_bytes = 0;
    file->buflen = 0;
    file->failed = false;
}

static bool failing(obcrash_async_file_t* file) {
    file->failed = true;
    return false;
}

bool obcrash_async_file_write(obcrash_async_file_t* file, const void* data, size_t length) {
    if (file->limit_bytes != 0) {
        if (length > file->limit_bytes - file->total_bytes) return failing(file);
        file->total_bytes += length;
    }
    if (file->buflen + length > OBCRASH_ASYNC_FILE_BUFFER_SIZE) {
        if (obcrash_async_writen(file->fd, file->buffer, (size_t)file->buflen) < 0) return failing(file);
        file->buflen = 0;
    }
    if (file->buflen + length <= OBCRASH_ASYNC_FILE_BUFFER_SIZE) {
        obcrash_async_memcpy(file->buffer + file->buflen, data, length);
        file->buflen += length;
        return true;
    }
    return obcrash_async_writen(file->fd, data, length) >= 0 || failing(file);
}

bool obcrash_async_file_flush(obcrash_async_file_t* file) {
    if (file->buflen == 0) return true;
    if (obcrash_async_writen(file->fd, file->buffer, (size_t)file->buflen) < 0) return failing(file);
    file->buflen = 0;
    return true;
}

bool obcrash_async_file_close(obcrash_async_file_t* file) {
    const bool flushed = obcrash_async_file_flush(file);
    /* close can fail with EINTR after releasing the descriptor on Linux: never retried. */
    const bool closed = close(file->fd) == 0 || failing(file);
    return flushed && closed;
}
