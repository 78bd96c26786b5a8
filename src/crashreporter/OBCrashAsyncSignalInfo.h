#pragma once
// Names of signals and signal codes as this system numbers them, and the signal a Mach exception
// stands for. Constant tables only: everything here is async-signal-safe.
#include <signal.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Mach exception types and the codes the translation reads. */
#define OBCRASH_EXC_BAD_ACCESS 1
#define OBCRASH_EXC_BAD_INSTRUCTION 2
#define OBCRASH_EXC_ARITHMETIC 3
#define OBCRASH_EXC_EMULATION 4
#define OBCRASH_EXC_SOFTWARE 5
#define OBCRASH_EXC_BREAKPOINT 6
#define OBCRASH_EXC_GUARD 12
#define OBCRASH_KERN_INVALID_ADDRESS 1
#define OBCRASH_KERN_PROTECTION_FAILURE 2
#define OBCRASH_EXC_UNIX_BAD_SYSCALL 0x10000
#define OBCRASH_EXC_UNIX_BAD_PIPE 0x10001
#define OBCRASH_EXC_UNIX_ABORT 0x10002
#define OBCRASH_EXC_SOFT_SIGNAL 0x10003

/* Room for "#" and any int with its sign, and the NUL. */
#define OBCRASH_ASYNC_SIGCODE_TEXT_SIZE 16

/* Null when this system has no such signal. */
const char* obcrash_async_signal_signame(int signo);
/* Null when the pair has no name. */
const char* obcrash_async_signal_sigcode(int signo, int si_code);
/* The code's name, or "#" and its decimal number, written into `buffer`; returns `buffer`. */
const char* obcrash_async_signal_sigcode_text(int signo, int si_code, char buffer[OBCRASH_ASYNC_SIGCODE_TEXT_SIZE]);

/* "#" and the decimal number of any int; `buffer` must hold OBCRASH_ASYNC_SIGCODE_TEXT_SIZE bytes. */
void obcrash_async_format_code_number(int value, char* buffer);

/* The signal this system would deliver for the exception; false when there is none (fewer than two
 * codes, an exception type without a signal, or a signal this system lacks). The CPU type is not
 * used. */
bool obcrash_async_mach_exception_get_siginfo(int exception_type, const int64_t* codes, uint32_t code_count,
                                              uint32_t cpu_type, siginfo_t* siginfo);

#ifdef __cplusplus
}
#endif
