#define _GNU_SOURCE
#include "OBCrashAsyncSignalInfo.h"

#include "OBCrashAsync.h"

typedef struct {
    int signo;
    const char* name;
} signal_name_t;

/* In the order a lookup tries them: SIGIOT shares SIGABRT's number and is never returned. */
static const signal_name_t signal_names[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},   {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"},
    {SIGABRT, "SIGABRT"},     {SIGIOT, "SIGIOT"},   {SIGFPE, "SIGFPE"},     {SIGKILL, "SIGKILL"}, {SIGBUS, "SIGBUS"},
    {SIGSEGV, "SIGSEGV"},     {SIGSYS, "SIGSYS"},   {SIGPIPE, "SIGPIPE"},   {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},
    {SIGURG, "SIGURG"},       {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},   {SIGCONT, "SIGCONT"}, {SIGCHLD, "SIGCHLD"},
    {SIGTTIN, "SIGTTIN"},     {SIGTTOU, "SIGTTOU"}, {SIGIO, "SIGIO"},       {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGWINCH, "SIGWINCH"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
};

typedef struct {
    int signo;
    int code;
    const char* name;
} signal_code_t;

static const signal_code_t signal_codes[] = {
    {SIGILL, 0, "ILL_NOOP"},
    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
    {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
    {SIGILL, ILL_PRVREG, "ILL_PRVREG"},
    {SIGILL, ILL_COPROC, "ILL_COPROC"},
    {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
    {SIGFPE, 0, "FPE_NOOP"},
    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
    {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
    {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},
    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},
    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
    {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},
    {SIGSEGV, 0, "SEGV_NOOP"},
    {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
    {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
    {SIGBUS, 0, "BUS_NOOP"},
    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
    {SIGTRAP, 0, "#0"},
    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
    {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
    {SIGABRT, 0, "#0"},
};

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

const char* obcrash_async_signal_signame(int signo) {
    for (size_t i = 0; i < COUNT(signal_names); ++i)
        if (signal_names[i].signo == signo) return signal_names[i].name;
    return NULL;
}

const char* obcrash_async_signal_sigcode(int signo, int si_code) {
    for (size_t i = 0; i < COUNT(signal_codes); ++i)
        if (signal_codes[i].signo == signo && signal_codes[i].code == si_code) return signal_codes[i].name;
    return NULL;
}

void obcrash_async_format_code_number(int value, char* buffer) {
    /* Digits of the magnitude, taken as unsigned so that INT_MIN has one. */
    unsigned int magnitude = value < 0 ? 0u - (unsigned int)value : (unsigned int)value;
    char digits[12];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);

    size_t at = 0;
    buffer[at++] = '#';
    if (value < 0) buffer[at++] = '-';
    while (count > 0) buffer[at++] = digits[--count];
    buffer[at] = '\0';
}

const char* obcrash_async_signal_sigcode_text(int signo, int si_code, char buffer[OBCRASH_ASYNC_SIGCODE_TEXT_SIZE]) {
    const char* name = obcrash_async_signal_sigcode(signo, si_code);
    if (name != NULL) {
        size_t i = 0;
        for (; name[i] != '\0' && i + 1 < OBCRASH_ASYNC_SIGCODE_TEXT_SIZE; ++i) buffer[i] = name[i];
        buffer[i] = '\0';
    } else {
        obcrash_async_format_code_number(si_code, buffer);
    }
    return buffer;
}

bool obcrash_async_mach_exception_get_siginfo(int exception_type, const int64_t* codes, uint32_t code_count,
                                              uint32_t cpu_type, siginfo_t* siginfo) {
    (void)cpu_type;
    if (code_count < 2) return false;

    int signo;
    switch (exception_type) {
    case OBCRASH_EXC_BAD_ACCESS: signo = codes[0] == OBCRASH_KERN_INVALID_ADDRESS ? SIGSEGV : SIGBUS; break;
    case OBCRASH_EXC_BAD_INSTRUCTION: signo = SIGILL; break;
    case OBCRASH_EXC_ARITHMETIC: signo = SIGFPE; break;
    case OBCRASH_EXC_EMULATION:
        /* Emulation traps map to SIGEMT, which this system does not have. */
#ifdef SIGEMT
        signo = SIGEMT;
        break;
#else
        return false;
#endif
    case OBCRASH_EXC_SOFTWARE:
        switch (codes[0]) {
        case OBCRASH_EXC_UNIX_BAD_SYSCALL: signo = SIGSYS; break;
        case OBCRASH_EXC_UNIX_BAD_PIPE: signo = SIGPIPE; break;
        case OBCRASH_EXC_UNIX_ABORT: signo = SIGABRT; break;
        case OBCRASH_EXC_SOFT_SIGNAL: signo = SIGKILL; break;
        default: signo = SIGABRT; break;
        }
        break;
    case OBCRASH_EXC_BREAKPOINT: signo = SIGTRAP; break;
    default: return false;
    }

    obcrash_async_memset(siginfo, 0, sizeof(*siginfo));
    siginfo->si_signo = signo;
    siginfo->si_addr = (void*)(uintptr_t)codes[1];
    switch (signo) {
    case SIGSEGV:
        siginfo->si_code = codes[0] == OBCRASH_KERN_INVALID_ADDRESS      ? SEGV_MAPERR
                           : codes[0] == OBCRASH_KERN_PROTECTION_FAILURE ? SEGV_ACCERR
                                                                         : 0;
        break;
    case SIGBUS: siginfo->si_code = BUS_ADRERR; break;
    case SIGTRAP: siginfo->si_code = TRAP_BRKPT; break;
    default: siginfo->si_code = 0; break;
    }
    return true;
}
