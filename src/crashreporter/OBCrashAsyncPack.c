#include "OBCrashAsyncPack.h"

#include <stdlib.h>

#include "OBCrashAsync.h"

enum { WIRE_VARINT = 0, WIRE_64BIT = 1, WIRE_LENGTH = 2, WIRE_32BIT = 5 };

static size_t varint(uint8_t* out, uint64_t value) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = (uint8_t)(value | 0x80);
        value >>= 7;
    }
    out[n++] = (uint8_t)value;
    return n;
}

static size_t little_endian(uint8_t* out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out[i] = (uint8_t)(value >> (8 * i));
    return width;
}

static uint32_t load32(const void* value) {
    uint32_t result;
    obcrash_async_memcpy(&result, value, sizeof result);
    return result;
}

static uint64_t load64(const void* value) {
    uint64_t result;
    obcrash_async_memcpy(&result, value, sizeof result);
    return result;
}

static size_t string_length(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

size_t obcrash_writer_pack(obcrash_async_file_t* file, uint32_t field_id, int type, const void* value) {
    /* Tag (at most 5 bytes) and a scalar (at most 10) or a length (at most 10). */
    uint8_t head[32];
    size_t n;
    const void* payload = NULL;
    size_t payload_length = 0;

    switch (type) {
    case OBPROTOBUF_C_TYPE_INT32:
    case OBPROTOBUF_C_TYPE_ENUM:
        n = varint(head, (uint64_t)field_id << 3 | WIRE_VARINT);
        /* A negative int32 is sign-extended to ten bytes. */
        n += varint(head + n, (uint64_t)(int64_t)(int32_t)load32(value));
        break;
    case OBPROTOBUF_C_TYPE_SINT32: {
        const int32_t v = (int32_t)load32(value);
        n = varint(head, (uint64_t)field_id << 3 | WIRE_VARINT);
        n += varint(head + n, (uint32_t)(((uint32_t)v << 1) ^ (uint32_t)(v >> 31)));
        break;
    }
    case OBPROTOBUF_C_TYPE_UINT32:
        n = varint(head, (uint64_t)field_id << 3 | WIRE_VARINT);
        n += varint(head + n, load32(value));
        break;
    case OBPROTOBUF_C_TYPE_SFIXED32:
    case OBPROTOBUF_C_TYPE_FIXED32:
    case OBPROTOBUF_C_TYPE_FLOAT:
        n = varint(head, (uint64_t)field_id << 3 | WIRE_32BIT);
        n += little_endian(head + n, load32(value), 4);
        break;
    case OBPROTOBUF_C_TYPE_INT64:
    case OBPROTOBUF_C_TYPE_UINT64:
        n = varint(head, (uint64_t)field_id << 3 | WIRE_VARINT);
        n += varint(head + n, load64(value));
        break;
    case OBPROTOBUF_C_TYPE_SINT64: {
        const int64_t v = (int64_t)load64(value);
        n = varint(head, (uint64_t)field_id << 3 | WIRE_VARINT);
        n += varint(head + n, ((uint64_t)v << 1) ^ (uint64_t)(v >> 63));
        break;
    }
    case OBPROTOBUF_C_TYPE_SFIXED64:
    case OBPROTOBUF_C_TYPE_FIXED64:
    case OBPROTOBUF_C_TYPE_DOUBLE:
        n = varint(head, (uint64_t)field_id << 3 | WIRE_64BIT);
        n += little_endian(head + n, load64(value), 8);
        break;
    case OBPROTOBUF_C_TYPE_BOOL:
        n = varint(head, (uint64_t)field_id << 3 | WIRE_VARINT);
        head[n++] = *(const uint8_t*)value != 0 ? 1 : 0;
        break;
    case OBPROTOBUF_C_TYPE_STRING:
        payload = value;
        payload_length = string_length((const char*)value);
        n = varint(head, (uint64_t)field_id << 3 | WIRE_LENGTH);
        n += varint(head + n, payload_length);
        break;
    case OBPROTOBUF_C_TYPE_BYTES: {
        const obprotobuf_cbinary_data_t* bytes = (const obprotobuf_cbinary_data_t*)value;
        payload = bytes->data;
        payload_length = bytes->data != NULL ? bytes->len : 0;
        n = varint(head, (uint64_t)field_id << 3 | WIRE_LENGTH);
        n += varint(head + n, payload_length);
        break;
    }
    case OBPROTOBUF_C_TYPE_MESSAGE:
        n = varint(head, (uint64_t)field_id << 3 | WIRE_LENGTH);
        n += varint(head + n, load32(value));
        break;
    default: abort();
    }

    if (file != NULL) {
        obcrash_async_file_write(file, head, n);
        if (payload_length != 0) obcrash_async_file_write(file, payload, payload_length);
    }
    return n + payload_length;
}
