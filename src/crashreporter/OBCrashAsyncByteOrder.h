#pragma once
// Readers of foreign data carry the byte order of that data as one of these two objects.
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct obcrash_async_byteorder {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
} obcrash_async_byteorder_t;

uint16_t obcr_nswap16(uint16_t value);
uint32_t obcr_nswap32(uint32_t value);
uint64_t obcr_nswap64(uint64_t value);
uint16_t obcr_swap16(uint16_t value);
uint32_t obcr_swap32(uint32_t value);
uint64_t obcr_swap64(uint64_t value);

extern const obcrash_async_byteorder_t obcrash_async_byteorder_direct;
extern const obcrash_async_byteorder_t obcrash_async_byteorder_swapped;

/* The target is little-endian: little-endian data is read directly. */
const obcrash_async_byteorder_t* obcrash_async_byteorder_little_endian(void);
const obcrash_async_byteorder_t* obcrash_async_byteorder_big_endian(void);

#ifdef __cplusplus
}
#endif
