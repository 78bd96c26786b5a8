#pragma once
// Walks one thread's stack at crash time: a cursor starts at the thread's registers and each step
// asks a list of frame readers, in order, for the caller's registers. The default readers are the
// image's compact unwind information, its DWARF call-frame information, then the frame-pointer
// chain. The cursor lives on the caller's stack; nothing is allocated or locked.
#include <stdint.h>

#include "OBCrashAsync.h"
#include "OBCrashAsyncImageList.h"
#include "OBCrashAsyncThreadState.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    OBFRAME_ESUCCESS = 0,
    OBFRAME_EUNKNOWN = 1,
    OBFRAME_ENOFRAME = 2,
    OBFRAME_EBADFRAME = 3,
    OBFRAME_ENOTSUP = 4,
    OBFRAME_EINVAL = 5,
    OBFRAME_INTERNAL = 6,
    OBFRAME_EBADREG = 7,
} obframe_error_t;

typedef struct obframe_cursor {
    ob_task_t task;
    obcrash_async_image_list_t* image_list;
    uint32_t depth;
    obcrash_async_thread_state_t prev_frame;
    obcrash_async_thread_state_t frame;
} obframe_cursor_t;

/* Computes the caller's state from `current`; `previous` is null for the first frame. */
typedef obframe_error_t (*obframe_cursor_frame_reader_t)(ob_task_t task, obcrash_async_image_list_t* image_list,
                                                         const obcrash_async_thread_state_t* current,
                                                         const obcrash_async_thread_state_t* previous,
                                                         obcrash_async_thread_state_t* next);

const char* obframe_strerror(obframe_error_t error);

obframe_error_t obframe_cursor_init(obframe_cursor_t* cursor, ob_task_t task,
                                    const obcrash_async_thread_state_t* thread_state,
                                    obcrash_async_image_list_t* image_list);
/* From a thread stopped with obcrash_async_thread_suspend. */
obcrash_error_t obframe_cursor_thread_init(obframe_cursor_t* cursor, ob_task_t task, ob_thread_t thread,
                                           obcrash_async_image_list_t* image_list);

/* The first call yields the initial state itself; OBFRAME_ENOFRAME is the normal end of the stack. */
obframe_error_t obframe_cursor_next(obframe_cursor_t* cursor);
obframe_error_t obframe_cursor_next_with_readers(obframe_cursor_t* cursor, const obframe_cursor_frame_reader_t* readers,
                                                 size_t count);

obframe_error_t obframe_cursor_get_reg(const obframe_cursor_t* cursor, uint32_t regnum, uint64_t* value);
const char* obframe_cursor_get_regname(const obframe_cursor_t* cursor, uint32_t regnum);
size_t obframe_cursor_get_regcount(const obframe_cursor_t* cursor);
void obframe_cursor_free(obframe_cursor_t* cursor);

obframe_error_t obframe_cursor_read_compact_unwind(ob_task_t task, obcrash_async_image_list_t* image_list,
                                                   const obcrash_async_thread_state_t* current,
                                                   const obcrash_async_thread_state_t* previous,
                                                   obcrash_async_thread_state_t* next);
obframe_error_t obframe_cursor_read_dwarf_unwind(ob_task_t task, obcrash_async_image_list_t* image_list,
                                                 const obcrash_async_thread_state_t* current,
                                                 const obcrash_async_thread_state_t* previous,
                                                 obcrash_async_thread_state_t* next);
obframe_error_t obframe_cursor_read_frame_ptr(ob_task_t task, obcrash_async_image_list_t* image_list,
                                              const obcrash_async_thread_state_t* current,
                                              const obcrash_async_thread_state_t* previous,
                                              obcrash_async_thread_state_t* next);

#ifdef __cplusplus
}
#endif
