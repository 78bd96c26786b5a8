#pragma once
// The report writer: everything about the process that cannot be gathered safely after a crash is
// gathered by obcrash_log_writer_init; obcrash_log_writer_write then writes one whole report at
// crash time, without heap, locks or messages to other threads' objects. Sub-messages are sized by
// a dry run of the same code instead of being built in memory.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncFile.h"
#include "OBCrashAsyncImageList.h"
#include "OBCrashAsyncPack.h"
#include "OBCrashAsyncThreadState.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frames written per thread, and per uncaught exception. */
#define OBCRASH_LOG_WRITER_MAX_FRAMES 512
/* Threads a report lists and stops; the stopping layer can hold no more. Past it the crashed
 * and the writing thread are still listed, others are left out. */
#define OBCRASH_LOG_WRITER_MAX_THREADS 1024
/* Bytes of a crash-info message. */
#define OBCRASH_LOG_WRITER_MAX_MESSAGE 1024

/* Custom bytes as one block that never changes once published. */
typedef struct obcrash_custom_data {
    size_t length;
    uint8_t bytes[];
} obcrash_custom_data_t;

typedef struct obcrash_log_writer {
    int symbolication_strategy;

    struct {
        bool user_requested;
        uint8_t uuid[16];
    } report_info;

    struct {
        obprotobuf_cbinary_data_t version;
        obprotobuf_cbinary_data_t build;
    } system_info;

    struct {
        obprotobuf_cbinary_data_t model;
        uint64_t cpu_type;
        uint64_t cpu_subtype;
        uint32_t processor_count;
        uint32_t logical_processor_count;
    } machine_info;

    struct {
        obprotobuf_cbinary_data_t app_identifier;
        obprotobuf_cbinary_data_t app_version;
        obprotobuf_cbinary_data_t app_marketing_version;
    } application_info;

    struct {
        obprotobuf_cbinary_data_t process_name;
        uint32_t process_id;
        obprotobuf_cbinary_data_t process_path;
        uint64_t start_time;
        obprotobuf_cbinary_data_t parent_process_name;
        uint32_t parent_process_id;
        bool native;
    } process_info;

    struct {
        bool has_exception;
        char* name;
        char* reason;
        uint64_t* callstack;
        size_t callstack_count;
    } uncaught_exception;

    /* The published block, read and replaced with atomic operations only; null when none. */
    obcrash_custom_data_t* custom_data;
    /* The block the last replacement took out of use. */
    obcrash_custom_data_t* retired_custom_data;

    /* Where the C library keeps the pointer to its last abort message; 0 when it has none. */
    ob_vm_address_t abort_msg_address;

    /* Threads the last report could not list (OBCRASH_LOG_WRITER_MAX_THREADS); set by each write. */
    size_t threads_left_out;
} obcrash_log_writer_t;

typedef struct crash_bsd_signal_info {
    int signo;
    int code;
    uintptr_t address;
} crash_bsd_signal_info_t;

typedef struct crash_mach_signal_info {
    int32_t type;
    const int64_t* code;
    uint32_t code_count;
} crash_mach_signal_info_t;

typedef struct crash_signal_info {
    /* Always set. */
    const crash_bsd_signal_info_t* bsd_info;
    /* Null unless the crash came as a Mach exception. */
    const crash_mach_signal_info_t* mach_info;
} crash_signal_info_t;

/* What a crash handler needs to write its report; it lives as long as the handlers. */
typedef struct obcrash_handler_context {
    const char* report_path;
    obcrash_log_writer_t writer;
    obcrash_async_image_list_t* image_list;
} obcrash_handler_context_t;

/* Normal context. `app_marketing_version` may be null. OBCRASH_INVALID_ARGUMENT when the process
 * cannot be read: the writer then stays usable and writes zeros and empty texts. */
obcrash_error_t obcrash_log_writer_init(obcrash_log_writer_t* writer, const char* app_identifier,
                                        const char* app_version, const char* app_marketing_version,
                                        int symbolication_strategy, bool user_requested);
/* Once per writer; a second call stops the process. */
void obcrash_log_writer_set_exception(obcrash_log_writer_t* writer, const char* name, const char* reason,
                                      const uint64_t* return_addresses, size_t count);
/* Null clears. Calls must not overlap one another; a crash may overlap them. */
void obcrash_log_writer_set_custom_data(obcrash_log_writer_t* writer, const void* data, size_t length);

/* Crash time. Writes the report into `file`; `current_state` is the calling thread's state, or
 * null to leave the calling thread out. OBCRASH_OUTPUT_ERROR when any byte of it was not
 * written. A user-requested report waits while another report stops the threads, and gives up
 * with OBCRASH_ACCESS_DENIED, writing nothing, when a crash wants them. */
obcrash_error_t obcrash_log_writer_write(obcrash_log_writer_t* writer, ob_thread_t crashed_thread,
                                         obcrash_async_image_list_t* image_list, obcrash_async_file_t* file,
                                         const crash_signal_info_t* signal_info,
                                         const obcrash_async_thread_state_t* current_state);
obcrash_error_t obcrash_log_writer_close(obcrash_log_writer_t* writer);
void obcrash_log_writer_free(obcrash_log_writer_t* writer);

/* Crash time. Writes the report of a crash of `crashed_thread` to the context's report path,
 * without a byte limit: a cut report would not decode. OBCRASH_INTERNAL when the file cannot be
 * opened, OBCRASH_OUTPUT_ERROR when any byte of it was not written. */
obcrash_error_t obcrash_write_report(obcrash_handler_context_t* context, ob_thread_t crashed_thread,
                                     const obcrash_async_thread_state_t* thread_state,
                                     const crash_signal_info_t* signal_info);

#ifdef __cplusplus
}
#endif
