#include "OBCrashSysctl.h"

#include <errno.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "OBCrashAsyncThreadState.h"

namespace {

char* duplicate(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

bool readLine(const char* path, std::string* line) {
    std::ifstream in(path);
    if (!in) {
        errno = ENOENT;
        return false;
    }
    std::getline(in, *line);
    return true;
}

// The Mach CPU type and subtype of the machine this code was built for.
std::pair<int, int> runningCpu() {
#if defined(__x86_64__)
    return {CPU_TYPE_X86_64, 3};
#elif defined(__aarch64__)
    return {static_cast<int>(CPU_TYPE_ARM64), 0};
#elif defined(__arm__)
    return {CPU_TYPE_ARM, 9};
#elif defined(__i386__)
    return {CPU_TYPE_X86, 3};
#else
    return {0, 0};
#endif
}

// Distinct (package, core) pairs among the processors the system lists.
int physicalCores() {
    std::set<std::pair<std::string, std::string>> cores;
    for (long cpu = 0; cpu < sysconf(_SC_NPROCESSORS_CONF); ++cpu) {
        const std::string topology = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        std::string package, core;
        if (!readLine((topology + "physical_package_id").c_str(), &package)) continue;
        if (!readLine((topology + "core_id").c_str(), &core)) continue;
        cores.emplace(package, core);
    }
    return static_cast<int>(cores.size());
}

}  // namespace

extern "C" {

char* obcrash_sysctl_string(const char* name) {
    const std::string key = name;
    if (key == "hw.model") {
        std::string model;
        if (!readLine("/sys/class/dmi/id/product_name", &model)) return nullptr;
        return duplicate(model);
    }
    if (key == "kern.osversion" || key == "kern.osrelease") {
        struct utsname names;
        if (uname(&names) != 0) return nullptr;
        return duplicate(key == "kern.osversion" ? names.version : names.release);
    }
    errno = ENOENT;
    return nullptr;
}

bool obcrash_sysctl_int(const char* name, int* result) {
    const std::string key = name;
    if (key == "hw.cputype" || key == "hw.cpusubtype") {
        const auto [type, subtype] = runningCpu();
        if (type == 0) {
            errno = ENOENT;
            return false;
        }
        *result = key == "hw.cputype" ? type : subtype;
        return true;
    }
    if (key == "hw.physicalcpu" || key == "hw.physicalcpu_max") {
        const int cores = physicalCores();
        if (cores == 0) {
            errno = ENOENT;
            return false;
        }
        *result = cores;
        return true;
    }
    if (key == "hw.logicalcpu" || key == "hw.logicalcpu_max") {
        const long count = sysconf(_SC_NPROCESSORS_CONF);
        if (count <= 0) return false;
        *result = static_cast<int>(count);
        return true;
    }
    // Every other name, "sysctl.proc_native" among them, has no source here.
    errno = ENOENT;
    return false;
}

size_t obcrash_sysctl_valid_utf8_bytes_max(const unsigned char* bytes, size_t max_length) {
    size_t count = 0;
    if (max_length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) count = 3;
    while (count < max_length) {
        const unsigned char lead = bytes[count];
        if (lead == 0) break;
        size_t continuations;
        if (lead < 0x80) {
            continuations = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            continuations = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            continuations = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            continuations = 3;
        } else {
            break;
        }
        if (continuations >= max_length - count) break;
        bool complete = true;
        for (size_t i = 1; i <= continuations; ++i) {
            if ((bytes[count + i] & 0xC0) != 0x80) {
                complete = false;
                break;
            }
        }
        if (!complete) break;
        count += continuations + 1;
    }
    return count;
}

size_t obcrash_sysctl_valid_utf8_bytes(const unsigned char* str) {
    return obcrash_sysctl_valid_utf8_bytes_max(str, std::strlen(reinterpret_cast<const char*>(str)));
}

}  // extern "C"
