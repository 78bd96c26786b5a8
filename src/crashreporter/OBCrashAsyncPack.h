#pragma once
// Encodes one field of a crash report, straight into the report's file: the report is never built
// in memory. Async-signal-safe.
#include <stddef.h>
#include <stdint.h>

#include "OBCrashAsyncFile.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A text or byte field the writer owns: {0, null} when unset. */
typedef struct obprotobuf_cbinary_data {
    size_t len;
    void* data;
} obprotobuf_cbinary_data_t;

/* The field types, by their protobuf-c numbers. */
typedef enum {
    OBPROTOBUF_C_TYPE_INT32 = 0,
    OBPROTOBUF_C_TYPE_SINT32 = 1,
    OBPROTOBUF_C_TYPE_SFIXED32 = 2,
    OBPROTOBUF_C_TYPE_INT64 = 3,
    OBPROTOBUF_C_TYPE_SINT64 = 4,
    OBPROTOBUF_C_TYPE_SFIXED64 = 5,
    OBPROTOBUF_C_TYPE_UINT32 = 6,
    OBPROTOBUF_C_TYPE_FIXED32 = 7,
    OBPROTOBUF_C_TYPE_UINT64 = 8,
    OBPROTOBUF_C_TYPE_FIXED64 = 9,
    OBPROTOBUF_C_TYPE_FLOAT = 10,
    OBPROTOBUF_C_TYPE_DOUBLE = 11,
    OBPROTOBUF_C_TYPE_BOOL = 12,
    OBPROTOBUF_C_TYPE_ENUM = 13,
    OBPROTOBUF_C_TYPE_STRING = 14,
    OBPROTOBUF_C_TYPE_BYTES = 15,
    OBPROTOBUF_C_TYPE_MESSAGE = 16,
} obprotobuf_c_type_t;

/* Writes one field (when `file` is not null) and returns its encoded size. `value` points at a
 * 32-bit value (int32, sint32, sfixed32, uint32, fixed32, float, enum), a 64-bit value (int64,
 * sint64, sfixed64, uint64, fixed64, double), one byte (bool), a NUL-terminated string (string),
 * an obprotobuf_cbinary_data_t (bytes), or, for message, the 32-bit size of the body the caller
 * writes next: only the tag and that size are written. An unknown type stops the process. */
size_t obcrash_writer_pack(obcrash_async_file_t* file, uint32_t field_id, int type, const void* value);

#ifdef __cplusplus
}
#endif
