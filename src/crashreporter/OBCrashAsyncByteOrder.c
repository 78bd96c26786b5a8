#include "OBCrashAsyncByteOrder.h"

uint16_t obcr_nswap16(uint16_t value) { return value; }
uint32_t obcr_nswap32(uint32_t value) { return value; }
uint64_t obcr_nswap64(uint64_t value) { return value; }
uint16_t obcr_swap16(uint16_t value) { return __builtin_bswap16(value); }
uint32_t obcr_swap32(uint32_t value) { return __builtin_bswap32(value); }
uint64_t obcr_swap64(uint64_t value) { return __builtin_bswap64(value); }

const obcrash_async_byteorder_t obcrash_async_byteorder_direct = {obcr_nswap16, obcr_nswap32, obcr_nswap64};
const obcrash_async_byteorder_t obcrash_async_byteorder_swapped = {obcr_swap16, obcr_swap32, obcr_swap64};

const obcrash_async_byteorder_t* obcrash_async_byteorder_little_endian(void) { return &obcrash_async_byteorder_direct; }

const obcrash_async_byteorder_t* obcrash_async_byteorder_big_endian(void) { return &obcrash_async_byteorder_swapped; }
