// The writer's normal-context half: gathering the facts of the process, and the copies it keeps.
#include "OBCrashLogWriter.h"

#include <dlfcn.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OBCrashProcessInfo.h"
#include "OBCrashSysctl.h"

namespace {

obprotobuf_cbinary_data_t copied(const char* text) {
    if (text == nullptr) return {0, nullptr};
    char* copy = strdup(text);
    if (copy == nullptr) return {0, nullptr};
    return {std::strlen(copy), copy};
}

obprotobuf_cbinary_data_t copied(const std::string& text) { return copied(text.c_str()); }

// Ownership of a heap string from the sysctl readers.
obprotobuf_cbinary_data_t adopted(char* text) {
    if (text == nullptr) return {0, nullptr};
    return {std::strlen(text), text};
}

void release(obprotobuf_cbinary_data_t* data) {
    free(data->data);
    *data = {0, nullptr};
}

void randomUuid(uint8_t uuid[16]) {
    size_t filled = 0;
    while (filled < 16) {
        const ssize_t n = getrandom(uuid + filled, 16 - filled, 0);
        if (n <= 0) break;
        filled += static_cast<size_t>(n);
    }
    uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);
    uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
}

std::string executablePath() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < path.size()) return path.substr(0, static_cast<size_t>(n));
        path.resize(path.size() * 2);
    }
}

uint64_t sysctlCount(const char* name) {
    int value = 0;
    return obcrash_sysctl_int(name, &value) && value > 0 ? static_cast<uint64_t>(value) : 0;
}

std::string osVersionText() {
    obcrash::OBCrashHostInfoVersion version;
    if (const auto host = obcrash::OBCrashHostInfo::currentHostInfo()) version = host->darwinVersion();
    std::string text = std::to_string(version.major) + "." + std::to_string(version.minor);
    if (version.revision >= 1) text += "." + std::to_string(version.revision);
    return text;
}

[[noreturn]] void assertionFailed(const char* condition) {
    std::fprintf(stderr, "Assertion failed: %s\n", condition);
    std::abort();
}

}  // namespace

extern "C" {

obcrash_error_t obcrash_log_writer_init(obcrash_log_writer_t* writer, const char* app_identifier,
                                        const char* app_version, const char* app_marketing_version,
                                        int symbolication_strategy, bool user_requested) {
    std::memset(writer, 0, sizeof *writer);
    writer->symbolication_strategy = symbolication_strategy;
    writer->report_info.user_requested = user_requested;
    randomUuid(writer->report_info.uuid);
    // glibc keeps the message of a failed assert or of abort behind this pointer; found now,
    // because dlsym is not safe at crash time.
    writer->abort_msg_address = reinterpret_cast<ob_vm_address_t>(dlsym(RTLD_DEFAULT, "__abort_msg"));

    writer->application_info.app_identifier = copied(app_identifier);
    writer->application_info.app_version = copied(app_version);
    if (app_marketing_version != nullptr)
        writer->application_info.app_marketing_version = copied(app_marketing_version);

    const auto process = obcrash::OBCrashProcessInfo::currentProcessInfo();
    if (!process) {
        __atomic_thread_fence(__ATOMIC_SEQ_CST);
        return OBCRASH_INVALID_ARGUMENT;
    }
    auto& info = writer->process_info;
    info.process_id = static_cast<uint32_t>(process->processID());
    if (process->processName()) info.process_name = copied(*process->processName());
    info.start_time = static_cast<uint64_t>(process->startTime().tv_sec);
    info.process_path = copied(executablePath());
    info.parent_process_id = static_cast<uint32_t>(process->parentProcessID());
    if (const auto parent = obcrash::OBCrashProcessInfo::initWithProcessID(process->parentProcessID());
        parent && parent->processName())
        info.parent_process_name = copied(*parent->processName());

    auto& machine = writer->machine_info;
    machine.model = adopted(obcrash_sysctl_string("hw.model"));
    machine.cpu_type = sysctlCount("hw.cputype");
    machine.cpu_subtype = sysctlCount("hw.cpusubtype");
    machine.processor_count = static_cast<uint32_t>(sysctlCount("hw.physicalcpu_max"));
    machine.logical_processor_count = static_cast<uint32_t>(sysctlCount("hw.logicalcpu_max"));
    int native = 1;
    info.native = !(obcrash_sysctl_int("sysctl.proc_native", &native) && native == 0);

    writer->system_info.build = adopted(obcrash_sysctl_string("kern.osversion"));
    writer->system_info.version = copied(osVersionText());

    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    return OBCRASH_OK;
}

void obcrash_log_writer_set_exception(obcrash_log_writer_t* writer, const char* name, const char* reason,
                                      const uint64_t* return_addresses, size_t count) {
    auto& exception = writer->uncaught_exception;
    if (exception.has_exception) assertionFailed("writer->uncaught_exception.has_exception == false");
    exception.has_exception = true;
    exception.name = strdup(name != nullptr ? name : "");
    exception.reason = strdup(reason != nullptr ? reason : "");
    if (return_addresses != nullptr && count > 0) {
        exception.callstack = static_cast<uint64_t*>(malloc(count * sizeof(uint64_t)));
        if (exception.callstack != nullptr) {
            std::memcpy(exception.callstack, return_addresses, count * sizeof(uint64_t));
            exception.callstack_count = count;
        }
    }
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

void obcrash_log_writer_set_custom_data(obcrash_log_writer_t* writer, const void* data, size_t length) {
    obcrash_custom_data_t* block = nullptr;
    if (data != nullptr) {
        block = static_cast<obcrash_custom_data_t*>(malloc(sizeof(obcrash_custom_data_t) + length));
        if (block == nullptr) return;
        block->length = length;
        std::memcpy(block->bytes, data, length);
    }
    obcrash_custom_data_t* replaced = __atomic_exchange_n(&writer->custom_data, block, __ATOMIC_SEQ_CST);
    // A crash writer loads the pointer once, after stopping the other threads, so a setter is
    // normally stopped before it frees anything. A setter it could not stop may replace the very
    // block the writer is copying: that block is freed only at the replacement after the next,
    // which leaves the writer the time of a whole further replacement to finish with it.
    free(writer->retired_custom_data);
    writer->retired_custom_data = replaced;
}

obcrash_error_t obcrash_log_writer_close(obcrash_log_writer_t* writer) {
    (void)writer;
    return OBCRASH_OK;
}

void obcrash_log_writer_free(obcrash_log_writer_t* writer) {
    release(&writer->system_info.version);
    release(&writer->system_info.build);
    release(&writer->machine_info.model);
    release(&writer->application_info.app_identifier);
    release(&writer->application_info.app_version);
    release(&writer->application_info.app_marketing_version);
    release(&writer->process_info.process_name);
    release(&writer->process_info.process_path);
    release(&writer->process_info.parent_process_name);
    auto& exception = writer->uncaught_exception;
    if (exception.has_exception) {
        free(exception.name);
        free(exception.reason);
        free(exception.callstack);
        exception = {};
    }
    free(__atomic_exchange_n(&writer->custom_data, nullptr, __ATOMIC_SEQ_CST));
    free(writer->retired_custom_data);
    writer->retired_custom_data = nullptr;
}

}  // extern "C"
