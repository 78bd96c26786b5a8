// The writer's crash-time half. Every section writer takes a file that may be null and returns the
// size of what it wrote or would write: a sub-message is sized by running its writer without a
// file, then its tag and size are written, then the same writer runs again with the file. Both
// runs read the same data, so the sizes agree and no message is ever held in memory.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "OBCrashAsyncFrameWalker.h"
#include "OBCrashAsyncSignalInfo.h"
#include "OBCrashAsyncSymbols.h"
#include "OBCrashAsyncThreads.h"
#include "OBCrashLogWriter.h"

namespace {

using File = obcrash_async_file_t;

constexpr uint8_t kHeader[8] = {'o', 'b', 'c', 'r', 'a', 's', 'h', 1};
constexpr int32_t kOperatingSystemUnknown = 3;
constexpr int32_t kArchitectureUnknown = 6;
constexpr int32_t kTypeEncodingMach = 1;

size_t packU64(File* file, uint32_t field, uint64_t value) {
    return obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_UINT64, &value);
}
size_t packU32(File* file, uint32_t field, uint32_t value) {
    return obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_UINT32, &value);
}
size_t packI64(File* file, uint32_t field, int64_t value) {
    return obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_INT64, &value);
}
size_t packBool(File* file, uint32_t field, bool value) {
    const uint8_t byte = value ? 1 : 0;
    return obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_BOOL, &byte);
}
size_t packEnum(File* file, uint32_t field, int32_t value) {
    return obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_ENUM, &value);
}
size_t packString(File* file, uint32_t field, const char* text) {
    return obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_STRING, text != nullptr ? text : "");
}
// An unset text is written empty.
size_t packText(File* file, uint32_t field, const obprotobuf_cbinary_data_t& text) {
    return packString(file, field, static_cast<const char*>(text.data));
}
size_t packBytes(File* file, uint32_t field, const void* data, size_t length) {
    const obprotobuf_cbinary_data_t bytes{length, const_cast<void*>(data)};
    return obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_BYTES, &bytes);
}

template <typename Body>
size_t packMessage(File* file, uint32_t field, Body&& body) {
    const uint32_t size = static_cast<uint32_t>(body(nullptr));
    const size_t header = obcrash_writer_pack(file, field, OBPROTOBUF_C_TYPE_MESSAGE, &size);
    if (file != nullptr) body(file);
    return header + size;
}

struct Report {
    obcrash_log_writer_t* writer;
    obcrash_async_image_list_t* images;
    obcrash_async_symbol_cache_t* cache;
};

struct SymbolOutput {
    File* file;
    size_t size;
};

void packSymbol(ob_vm_address_t address, const char* name, void* context) {
    auto* output = static_cast<SymbolOutput*>(context);
    output->size = packString(output->file, 1, name) + packU64(output->file, 2, address);
}

size_t writeFrame(File* file, const Report& report, uint64_t pc) {
    size_t size = packU64(file, 3, pc);
    const int strategy = report.writer->symbolication_strategy;
    if (strategy == OBCRASH_ASYNC_SYMBOL_STRATEGY_NONE || report.images == nullptr) return size;
    obcrash_async_image_list_set_reading(report.images, true);
    if (obcrash_async_image_t* image = obcrash_async_image_containing_address(report.images, pc)) {
        SymbolOutput sizing{nullptr, 0};
        if (obcrash_async_find_symbol(image, strategy, report.cache, pc, packSymbol, &sizing) == OBCRASH_OK) {
            const uint32_t length = static_cast<uint32_t>(sizing.size);
            size += obcrash_writer_pack(file, 6, OBPROTOBUF_C_TYPE_MESSAGE, &length) + length;
            if (file != nullptr) {
                SymbolOutput output{file, 0};
                obcrash_async_find_symbol(image, strategy, report.cache, pc, packSymbol, &output);
            }
        }
    }
    obcrash_async_image_list_set_reading(report.images, false);
    return size;
}

size_t writeRegisters(File* file, const obframe_cursor_t* cursor) {
    size_t size = 0;
    const size_t count = obframe_cursor_get_regcount(cursor);
    for (uint32_t regnum = 0; regnum < count; ++regnum) {
        uint64_t value = 0;
        if (obframe_cursor_get_reg(cursor, regnum, &value) != OBFRAME_ESUCCESS) value = 0;
        const char* name = obframe_cursor_get_regname(cursor, regnum);
        size += packMessage(file, 4, [&](File* f) { return packString(f, 1, name) + packU64(f, 2, value); });
    }
    return size;
}

// `state` is null for a thread whose registers could not be read: the entry then has no frames.
size_t writeThread(File* file, const Report& report, const obcrash_async_thread_state_t* state, uint32_t number,
                   bool crashed) {
    size_t size = packU32(file, 1, number) + packBool(file, 3, crashed);
    if (state == nullptr) return size;
    obframe_cursor_t cursor;
    if (obframe_cursor_init(&cursor, ob_mach_task_self(), state, report.images) != OBFRAME_ESUCCESS) return size;
    for (uint32_t frame = 0; frame < OBCRASH_LOG_WRITER_MAX_FRAMES; ++frame) {
        if (obframe_cursor_next(&cursor) != OBFRAME_ESUCCESS) break;
        if (frame == 0 && crashed) size += writeRegisters(file, &cursor);
        uint64_t pc = 0;
        if (obframe_cursor_get_reg(&cursor, 0, &pc) != OBFRAME_ESUCCESS) break;
        size += packMessage(file, 2, [&](File* f) { return writeFrame(f, report, pc); });
    }
    obframe_cursor_free(&cursor);
    return size;
}

size_t writeProcessor(File* file, uint64_t type, uint64_t subtype) {
    return packEnum(file, 1, kTypeEncodingMach) + packU64(file, 2, type) + packU64(file, 3, subtype);
}

size_t writeImage(File* file, const Report& report, const obcrash_async_image_t* image) {
    size_t size = packU64(file, 2, obcrash_async_image_text_size(image)) +
                  packU64(file, 1, obcrash_async_image_header_addr(image)) +
                  packString(file, 3, obcrash_async_image_name(image));
    uint8_t uuid[16];
    if (obcrash_async_image_uuid(image, uuid)) size += packBytes(file, 4, uuid, sizeof uuid);
    const uint64_t type = obcrash_async_image_cpu_type(image);
    uint64_t subtype = 0;
    if (image->kind == OBCRASH_IMAGE_MACHO)
        subtype = obcrash_async_macho_cpu_subtype(&image->macho);
    else if (type == report.writer->machine_info.cpu_type)
        subtype = report.writer->machine_info.cpu_subtype;
    return size + packMessage(file, 5, [&](File* f) { return writeProcessor(f, type, subtype); });
}

// Copies the NUL-terminated text at `address` of the task into `message`, at most
// OBCRASH_LOG_WRITER_MAX_MESSAGE bytes; an unreadable byte leaves `message` empty.
bool copyMessage(ob_vm_address_t address, char* message) {
    if (address == 0) return false;
    size_t n = 0;
    for (; n < OBCRASH_LOG_WRITER_MAX_MESSAGE; ++n) {
        uint8_t byte;
        if (obcrash_async_task_read_uint8(ob_mach_task_self(), address, static_cast<ob_vm_off_t>(n), &byte) !=
            OBCRASH_OK) {
            message[0] = '\0';
            return false;
        }
        message[n] = static_cast<char>(byte);
        if (byte == 0) break;
    }
    message[n < OBCRASH_LOG_WRITER_MAX_MESSAGE ? n : OBCRASH_LOG_WRITER_MAX_MESSAGE] = '\0';
    return message[0] != '\0';
}

bool machOCrashInfo(const obcrash_async_image_t* image, char* message) {
    static const char* const segments[] = {"__DATA", "__DATA_CONST", "__DATA_DIRTY"};
    obcrash_async_mobject_t section;
    bool mapped = false;
    for (const char* segment : segments) {
        if (obcrash_async_image_map_section(image, segment, "__crash_info", &section) == OBCRASH_OK) {
            mapped = true;
            break;
        }
    }
    if (!mapped) return false;
    const obcrash_async_byteorder_t* order = obcrash_async_macho_byteorder(&image->macho);
    const ob_vm_address_t base = obcrash_async_mobject_base_address(&section);
    bool found = false;
    uint32_t version = 0;
    if (obcrash_async_mobject_length(&section) >= 40 &&
        obcrash_async_mobject_read_uint32(&section, order, base, 0, &version) == OBCRASH_OK &&
        (version == 4 || version == 5)) {
        uint64_t pointer = 0;
        if (obcrash_async_mobject_read_uint64(&section, order, base, 8, &pointer) == OBCRASH_OK)
            found = copyMessage(pointer, message);
        if (!found && obcrash_async_mobject_read_uint64(&section, order, base, 32, &pointer) == OBCRASH_OK)
            found = copyMessage(pointer, message);
    }
    obcrash_async_mobject_free(&section);
    return found;
}

// glibc's `__abort_msg` points at {unsigned int size; char msg[];}, set by a failed assert or an
// abort with a message; the C library's image is the one that holds the pointer.
bool libcAbortMessage(const obcrash_async_image_t* image, ob_vm_address_t abortMsgAddress, char* message) {
    if (abortMsgAddress == 0 || !obcrash_async_image_contains_address(image, abortMsgAddress)) return false;
    uint64_t record = 0;
    if (obcrash_async_task_memcpy(ob_mach_task_self(), abortMsgAddress, 0, &record, sizeof record) != OBCRASH_OK ||
        record == 0)
        return false;
    return copyMessage(record + sizeof(unsigned int), message);
}

bool crashInfoMessage(const Report& report, const obcrash_async_image_t* image, char* message) {
    if (image->kind == OBCRASH_IMAGE_MACHO) return machOCrashInfo(image, message);
    return libcAbortMessage(image, report.writer->abort_msg_address, message);
}

/* For a signal a process sent (kill, tgkill, sigqueue: every abort), the kernel's si_addr bytes
 * hold the sender's pid and uid, not an address. */
uintptr_t faultAddress(const crash_bsd_signal_info_t* bsd) { return bsd->code <= 0 ? 0 : bsd->address; }

size_t writeSignal(File* file, const crash_signal_info_t* info, const char* message) {
    const crash_bsd_signal_info_t* bsd = info->bsd_info;
    char nameText[OBCRASH_ASYNC_SIGCODE_TEXT_SIZE];
    const char* name = obcrash_async_signal_signame(bsd->signo);
    if (name == nullptr) {
        obcrash_async_format_code_number(bsd->signo, nameText);
        name = nameText;
    }
    char codeText[OBCRASH_ASYNC_SIGCODE_TEXT_SIZE];
    size_t size = packString(file, 1, name) +
                  packString(file, 2, obcrash_async_signal_sigcode_text(bsd->signo, bsd->code, codeText)) +
                  packU64(file, 3, faultAddress(bsd));
    if (const crash_mach_signal_info_t* mach = info->mach_info) {
        size += packMessage(file, 4, [&](File* f) {
            size_t body = packU64(f, 1, static_cast<uint64_t>(static_cast<int64_t>(mach->type)));
            for (uint32_t i = 0; i < mach->code_count; ++i) body += packU64(f, 2, static_cast<uint64_t>(mach->code[i]));
            return body;
        });
    }
    if (message[0] != '\0') size += packString(file, 5, message);
    return size;
}

// Puts `wanted` into a list that is cut short, in place of its last entry other than `kept`, when
// the cut left it out.
void keepListed(ob_thread_t* threads, size_t count, ob_thread_t wanted, ob_thread_t kept) {
    for (size_t i = 0; i < count; ++i)
        if (threads[i] == wanted) return;
    for (size_t i = count; i > 0; --i) {
        if (threads[i - 1] != kept) {
            threads[i - 1] = wanted;
            return;
        }
    }
}

void resumeSuspended(const ob_thread_t* threads, size_t count, const uint8_t* suspended) {
    for (size_t i = 0; i < count; ++i) {
        if (suspended[i / 8] & (1u << (i % 8))) obcrash_async_thread_resume(threads[i]);
    }
}

// "[OBCrashReporter] The report leaves out N threads" on standard error: the reporter's log line
// at crash time, when its log cannot be reached.
void logThreadsLeftOut(size_t count) {
    static const char prefix[] = "[OBCrashReporter] The report leaves out ";
    static const char suffix[] = " threads\n";
    char line[sizeof prefix + 20 + sizeof suffix];
    size_t length = 0;
    for (const char* c = prefix; *c != '\0'; ++c) line[length++] = *c;
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count != 0);
    while (n > 0) line[length++] = digits[--n];
    for (const char* c = suffix; *c != '\0'; ++c) line[length++] = *c;
    obcrash_async_writen(STDERR_FILENO, line, length);
}

}  // namespace

extern "C" {

obcrash_error_t obcrash_log_writer_write(obcrash_log_writer_t* writer, ob_thread_t crashed_thread,
                                         obcrash_async_image_list_t* image_list, obcrash_async_file_t* file,
                                         const crash_signal_info_t* signal_info,
                                         const obcrash_async_thread_state_t* current_state) {
    const int savedErrno = errno;
    const ob_thread_t self = ob_mach_thread_self();
    // A report the user asked for waits for another and yields to a crash; any other is a crash's.
    const obcrash_error_t stopping =
        obcrash_async_threads_stop_begin(!writer->report_info.user_requested, crashed_thread);
    if (stopping != OBCRASH_OK) {
        errno = savedErrno;
        return stopping;
    }

    ob_thread_t threads[OBCRASH_LOG_WRITER_MAX_THREADS];
    size_t threadCount = 0;
    if (obcrash_async_task_threads(threads, OBCRASH_LOG_WRITER_MAX_THREADS, &threadCount) != OBCRASH_OK)
        threadCount = 0;
    writer->threads_left_out = 0;
    if (threadCount > OBCRASH_LOG_WRITER_MAX_THREADS) {
        writer->threads_left_out = threadCount - OBCRASH_LOG_WRITER_MAX_THREADS;
        threadCount = OBCRASH_LOG_WRITER_MAX_THREADS;
        // Whoever is left out, the crashed thread and the one that writes are not.
        keepListed(threads, threadCount, crashed_thread, current_state != nullptr ? self : crashed_thread);
        if (current_state != nullptr) keepListed(threads, threadCount, self, crashed_thread);
    }
    uint8_t suspended[OBCRASH_LOG_WRITER_MAX_THREADS / 8] = {};
    bool anySuspended = false;
    bool yielded = false;
    for (size_t i = 0; i < threadCount && !yielded; ++i) {
        if (threads[i] == self) continue;
        const obcrash_error_t status = obcrash_async_thread_suspend(threads[i]);
        if (status == OBCRASH_OK) {
            suspended[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
            anySuspended = true;
        }
        yielded = status == OBCRASH_ACCESS_DENIED;
    }
    if (anySuspended && !yielded) obcrash_async_threads_await_suspended(OBCRASH_THREAD_SUSPEND_WAIT_MS);
    if (yielded) {
        resumeSuspended(threads, threadCount, suspended);
        obcrash_async_threads_stop_end();
        errno = savedErrno;
        return OBCRASH_ACCESS_DENIED;
    }
    // Read once, now that the threads that could replace it are stopped.
    const obcrash_custom_data_t* customData = __atomic_load_n(&writer->custom_data, __ATOMIC_SEQ_CST);

    obcrash_async_symbol_cache_t cache;
    obcrash_async_symbol_cache_init(&cache);
    const Report report{writer, image_list, &cache};

    obcrash_async_file_write(file, kHeader, sizeof kHeader);

    packMessage(file, 9, [&](File* f) {
        return packBool(f, 1, writer->report_info.user_requested) +
               packBytes(f, 2, writer->report_info.uuid, sizeof writer->report_info.uuid);
    });

    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) now = 0;
    packMessage(file, 1, [&](File* f) {
        return packEnum(f, 1, kOperatingSystemUnknown) + packText(f, 2, writer->system_info.version) +
               packText(f, 5, writer->system_info.build) + packEnum(f, 3, kArchitectureUnknown) +
               packI64(f, 4, static_cast<int64_t>(now));
    });

    packMessage(file, 8, [&](File* f) {
        const auto& machine = writer->machine_info;
        size_t size = machine.model.data != nullptr ? packText(f, 1, machine.model) : 0;
        size += packMessage(f, 2, [&](File* g) { return writeProcessor(g, machine.cpu_type, machine.cpu_subtype); });
        return size + packU32(f, 3, machine.processor_count) + packU32(f, 4, machine.logical_processor_count);
    });

    packMessage(file, 2, [&](File* f) {
        const auto& app = writer->application_info;
        return packText(f, 1, app.app_identifier) + packText(f, 2, app.app_version) +
               packText(f, 3, app.app_marketing_version);
    });

    packMessage(file, 7, [&](File* f) {
        const auto& process = writer->process_info;
        return packText(f, 1, process.process_name) + packU32(f, 2, process.process_id) +
               packText(f, 3, process.process_path) + packText(f, 4, process.parent_process_name) +
               packU32(f, 5, process.parent_process_id) + packBool(f, 6, process.native) +
               packU64(f, 7, process.start_time);
    });

    uint32_t threadNumber = 0;
    for (size_t i = 0; i < threadCount; ++i) {
        const bool calling = threads[i] == self;
        if (calling && current_state == nullptr) continue;
        obcrash_async_thread_state_t state;
        const obcrash_async_thread_state_t* known = current_state;
        if (!calling) {
            known = obcrash_async_thread_state_mach_thread_init(&state, threads[i]) == OBCRASH_OK ? &state : nullptr;
        }
        const bool crashed = threads[i] == crashed_thread;
        packMessage(file, 3, [&](File* f) { return writeThread(f, report, known, threadNumber, crashed); });
        ++threadNumber;
    }

    char message[OBCRASH_LOG_WRITER_MAX_MESSAGE + 1];
    obcrash_async_memset(message, 0, sizeof message);
    if (image_list != nullptr) {
        obcrash_async_image_list_set_reading(image_list, true);
        bool found = false;
        const uintptr_t address = faultAddress(signal_info->bsd_info);
        if (address != 0) {
            if (const obcrash_async_image_t* image = obcrash_async_image_containing_address(image_list, address))
                found = crashInfoMessage(report, image, message);
        }
        for (obcrash_async_image_t* image = obcrash_async_image_list_next(image_list, nullptr); image != nullptr;
             image = obcrash_async_image_list_next(image_list, image)) {
            packMessage(file, 4, [&](File* f) { return writeImage(f, report, image); });
            if (!found) found = crashInfoMessage(report, image, message);
        }
        obcrash_async_image_list_set_reading(image_list, false);
    }

    const auto& exception = writer->uncaught_exception;
    if (exception.has_exception) {
        packMessage(file, 5, [&](File* f) {
            size_t size = packString(f, 1, exception.name) + packString(f, 2, exception.reason);
            for (size_t i = 0; i < exception.callstack_count && i < OBCRASH_LOG_WRITER_MAX_FRAMES; ++i) {
                const uint64_t pc = exception.callstack[i];
                size += packMessage(f, 3, [&](File* g) { return writeFrame(g, report, pc); });
            }
            return size;
        });
    }

    packMessage(file, 6, [&](File* f) { return writeSignal(f, signal_info, message); });

    if (customData != nullptr) packBytes(file, 10, customData->bytes, customData->length);

    obcrash_async_symbol_cache_free(&cache);
    resumeSuspended(threads, threadCount, suspended);
    obcrash_async_threads_stop_end();
    errno = savedErrno;
    return file->failed ? OBCRASH_OUTPUT_ERROR : OBCRASH_OK;
}

obcrash_error_t obcrash_write_report(obcrash_handler_context_t* context, ob_thread_t crashed_thread,
                                     const obcrash_async_thread_state_t* thread_state,
                                     const crash_signal_info_t* signal_info) {
    const int savedErrno = errno;
    // Only a regular file of this user's, and private: a link or a FIFO planted at the path would
    // send the report elsewhere or block the handler, and a file left by an older run keeps its mode.
    const int fd = open(context->report_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || fchmod(fd, 0600) != 0) {
        if (fd >= 0) close(fd);
        errno = savedErrno;
        return OBCRASH_INTERNAL;
    }
    obcrash_async_file_t file;
    obcrash_async_file_init(&file, fd, 0);
    const obcrash_error_t status = obcrash_log_writer_write(&context->writer, crashed_thread, context->image_list,
                                                            &file, signal_info, thread_state);
    obcrash_log_writer_close(&context->writer);
    if (context->writer.threads_left_out != 0) logThreadsLeftOut(context->writer.threads_left_out);
    // A failed flush or close marks the file as failed: the report on disk is incomplete.
    obcrash_async_file_close(&file);
    errno = savedErrno;
    return file.failed ? OBCRASH_OUTPUT_ERROR : status;
}

}  // extern "C"
