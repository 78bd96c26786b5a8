#pragma once
// The process's handlers for the crash signals. One shared handler serves every registered
// signal on a 64 KiB alternate stack and walks a chain of callbacks kept in lists that a signal
// handler reads without a lock while other threads change them. The action each signal had before
// is kept, so that the last link of the chain can pass the signal on to it.
#include <signal.h>
#include <ucontext.h>

#include <cstddef>

#include "crashreporter/OBCrashReporterError.h"

namespace obcrash {

// The rest of a callback chain: calling `function` with `context` runs the next callback.
struct OBCrashSignalHandlerCallback {
    bool (*function)(int signo, siginfo_t* info, ucontext_t* uap, void* context);
    void* context;
};

// A registered callback: true when it handled the signal. `next` continues the chain, or is null
// at its end.
using OBCrashSignalHandlerCallbackFunc = bool (*)(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                                  const OBCrashSignalHandlerCallback* next);

// Runs the rest of the chain; false when there is none.
bool OBCrashSignalHandlerForward(const OBCrashSignalHandlerCallback* next, int signo, siginfo_t* info, ucontext_t* uap);

class OBCrashSignalHandler {
public:
    static constexpr size_t kAlternateStackSize = 65536;

    // Lives for the whole process. Null when its alternate stack could not be allocated.
    static OBCrashSignalHandler* sharedHandler();

    // Installs the shared handler for `signo` (once per signal) and puts the callback at the
    // front of the chain; every callback sees every signal the shared handler receives.
    bool registerHandlerForSignal(int signo, OBCrashSignalHandlerCallbackFunc callback, void* context,
                                  OBCrashReporterError* error);
    bool registerHandlerWithSignal(int signo, OBCrashReporterError* error);

    // Forgets every saved action and every callback; the installed actions stay.
    static void resetHandlers();

    OBCrashSignalHandler(const OBCrashSignalHandler&) = delete;
    OBCrashSignalHandler& operator=(const OBCrashSignalHandler&) = delete;

private:
    OBCrashSignalHandler() = default;

    stack_t _sigstk{};
};

}  // namespace obcrash
