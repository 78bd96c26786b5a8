#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "crashreporter/OBCrashAsyncSignalInfo.h"
#include "crashreporter/OBCrashProcessInfo.h"
#include "crashreporter/OBCrashSysctl.h"

using namespace obcrash;

namespace {

std::string text(const char* value) { return value != nullptr ? value : "(null)"; }

std::string codeText(int signo, int code) {
    char buffer[OBCRASH_ASYNC_SIGCODE_TEXT_SIZE];
    return obcrash_async_signal_sigcode_text(signo, code, buffer);
}

}  // namespace

// Names follow this system's numbers; a code without a name, even the widest int a sender can
// queue, is written as "#" and its number.
TEST(SignalNames, NamesAndCodesFollowTheRunningSystem) {
    const struct {
        int signo;
        const char* name;
    } names[] = {{6, "SIGABRT"}, {7, "SIGBUS"},  {10, "SIGUSR1"}, {11, "SIGSEGV"}, {16, "SIGSTKFLT"},
                 {29, "SIGIO"},  {30, "SIGPWR"}, {31, "SIGSYS"},  {32, nullptr},   {0, nullptr}};
    for (const auto& n : names) EXPECT_EQ(text(obcrash_async_signal_signame(n.signo)), text(n.name)) << n.signo;

    const struct {
        int signo, code;
        const char* text;
    } codes[] = {
        {SIGILL, 1, "ILL_ILLOPC"},
        {SIGILL, 2, "ILL_ILLOPN"},
        {SIGILL, 4, "ILL_ILLTRP"},
        {SIGFPE, 1, "FPE_INTDIV"},
        {SIGFPE, 3, "FPE_FLTDIV"},
        {SIGFPE, 0, "FPE_NOOP"},
        {SIGSEGV, 2, "SEGV_ACCERR"},
        {SIGSEGV, 3, "#3"},
        {SIGBUS, 3, "BUS_OBJERR"},
        {SIGTRAP, 0, "#0"},
        {SIGTRAP, 2, "TRAP_TRACE"},
        {SIGABRT, 0, "#0"},
        {SIGABRT, -6, "#-6"},
        {SIGSEGV, INT_MIN, "#-2147483648"},
        {SIGSEGV, INT_MAX, "#2147483647"},
    };
    for (const auto& c : codes) EXPECT_EQ(codeText(c.signo, c.code), c.text) << c.signo << "/" << c.code;
    EXPECT_EQ(obcrash_async_signal_sigcode(SIGSEGV, 3), nullptr);

    const struct {
        int type;
        int64_t code0;
        bool mapped;
        int signo, code;
    } exceptions[] = {
        {OBCRASH_EXC_BAD_ACCESS, OBCRASH_KERN_INVALID_ADDRESS, true, SIGSEGV, SEGV_MAPERR},
        {OBCRASH_EXC_BAD_ACCESS, OBCRASH_KERN_PROTECTION_FAILURE, true, SIGBUS, BUS_ADRERR},
        {OBCRASH_EXC_SOFTWARE, OBCRASH_EXC_SOFT_SIGNAL, true, SIGKILL, 0},
        {OBCRASH_EXC_SOFTWARE, 0x20000, true, SIGABRT, 0},
        {OBCRASH_EXC_SOFTWARE, OBCRASH_EXC_UNIX_BAD_SYSCALL, true, SIGSYS, 0},
        {OBCRASH_EXC_BREAKPOINT, 1, true, SIGTRAP, TRAP_BRKPT},
        {OBCRASH_EXC_EMULATION, 0, false, 0, 0},
        {OBCRASH_EXC_GUARD, 0, false, 0, 0},
    };
    for (const auto& e : exceptions) {
        const int64_t codes[] = {e.code0, 0x1234};
        siginfo_t info{};
        ASSERT_EQ(obcrash_async_mach_exception_get_siginfo(e.type, codes, 2, 0, &info), e.mapped) << e.type;
        if (!e.mapped) continue;
        EXPECT_EQ(info.si_signo, e.signo) << e.type;
        EXPECT_EQ(info.si_code, e.code) << e.type;
        EXPECT_EQ(info.si_addr, reinterpret_cast<void*>(0x1234));
    }
    const int64_t one[] = {1};
    siginfo_t info{};
    EXPECT_FALSE(obcrash_async_mach_exception_get_siginfo(OBCRASH_EXC_BAD_ACCESS, one, 1, 0, &info));
}

// This process as /proc describes it, with a name whose last character the kernel cut in half.
TEST(ProcessInfo, ThisProcessAsProcDescribesIt) {
    char saved[16] = {};
    prctl(PR_GET_NAME, saved);
    prctl(PR_SET_NAME, "abcdefghijklmn\xC3\xA9");  // 15 bytes keep the first byte of the é
    const std::optional<OBCrashProcessInfo> info = OBCrashProcessInfo::currentProcessInfo();
    prctl(PR_SET_NAME, saved);

    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->processID(), getpid());
    EXPECT_EQ(info->processName(), std::optional<std::string>("abcdefghijklmn"));
    EXPECT_EQ(info->parentProcessID(), getppid());
    std::ifstream status("/proc/self/status");
    std::string line;
    bool traced = false;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) traced = std::atoi(line.c_str() + 10) != 0;
    }
    EXPECT_EQ(info->isTraced(), traced);

    // Started before now, and not before this process could have.
    timeval now{};
    gettimeofday(&now, nullptr);
    EXPECT_LE(info->startTime().tv_sec, now.tv_sec);
    EXPECT_GT(info->startTime().tv_sec, now.tv_sec - 3600);
    EXPECT_GE(info->startTime().tv_usec, 0);
    EXPECT_LT(info->startTime().tv_usec, 1000000);

    const std::optional<OBCrashProcessInfo> parent = OBCrashProcessInfo::initWithProcessID(getppid());
    ASSERT_TRUE(parent.has_value());
    EXPECT_LE(parent->startTime().tv_sec, info->startTime().tv_sec);
    EXPECT_FALSE(OBCrashProcessInfo::initWithProcessID(-1).has_value());
}

TEST(HostInfo, KernelReleaseAndMachineFacts) {
    const OBCrashHostInfoVersion debian = OBCrashHostInfo::fromRelease("6.1.0-18-amd64").darwinVersion();
    EXPECT_EQ(debian.major, 6u);
    EXPECT_EQ(debian.minor, 1u);
    EXPECT_EQ(debian.revision, 0u);
    const OBCrashHostInfoVersion shortRelease = OBCrashHostInfo::fromRelease("23.1").darwinVersion();
    EXPECT_EQ(shortRelease.major, 23u);
    EXPECT_EQ(shortRelease.minor, 1u);
    EXPECT_EQ(shortRelease.revision, 0u);
    ASSERT_TRUE(OBCrashHostInfo::currentHostInfo().has_value());

    int logical = 0, physical = 0, native = 0;
    ASSERT_TRUE(obcrash_sysctl_int("hw.logicalcpu_max", &logical));
    EXPECT_EQ(logical, sysconf(_SC_NPROCESSORS_CONF));
    if (obcrash_sysctl_int("hw.physicalcpu_max", &physical)) {
        EXPECT_GE(physical, 1);
        EXPECT_LE(physical, logical);
    }
    EXPECT_FALSE(obcrash_sysctl_int("sysctl.proc_native", &native));
    char* release = obcrash_sysctl_string("kern.osrelease");
    ASSERT_NE(release, nullptr);
    std::free(release);
    EXPECT_EQ(obcrash_sysctl_string("kern.nonesuch"), nullptr);

    // A byte-order mark counts; a sequence cut by the limit does not.
    const unsigned char marked[] = {0xEF, 0xBB, 0xBF, 'a', 0xE2, 0x82, 0xAC, 0};
    EXPECT_EQ(obcrash_sysctl_valid_utf8_bytes(marked), 7u);
    EXPECT_EQ(obcrash_sysctl_valid_utf8_bytes_max(marked, 6), 4u);
}
