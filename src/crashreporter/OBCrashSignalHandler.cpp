#include "crashreporter/OBCrashSignalHandler.h"

#include <pthread.h>

#include <cerrno>
#include <new>

#include "crashreporter/OBCrashAsyncList.hpp"

namespace obcrash {
namespace {

struct obcrash_signal_user_callback {
    OBCrashSignalHandlerCallbackFunc callback = nullptr;
    void* context = nullptr;
};

struct obcrash_signal_handler_action {
    int signo = 0;
    struct sigaction action {};
};

using CallbackList = OB::async::async_list<obcrash_signal_user_callback>;
using ActionList = OB::async::async_list<obcrash_signal_handler_action>;

struct HandlerContext {
    CallbackList callbacks;
    ActionList previousActions;
};

// Created once and never destroyed: the handlers stay installed until the process ends, so a
// crash in another thread or in a static destructor after main must still find the lists.
HandlerContext& shared_handler_context() {
    static HandlerContext* const context = new HandlerContext;
    return *context;
}

pthread_mutex_t registerHandlers = PTHREAD_MUTEX_INITIALIZER;

class RegistrationLock {
public:
    RegistrationLock() { pthread_mutex_lock(&registerHandlers); }
    ~RegistrationLock() { pthread_mutex_unlock(&registerHandlers); }
    RegistrationLock(const RegistrationLock&) = delete;
    RegistrationLock& operator=(const RegistrationLock&) = delete;
};

// One step of the chain: runs the callback after `context` (a node of the callback list), or the
// first one when `context` is null.
bool internal_callback_iterator(int signo, siginfo_t* info, ucontext_t* uap, void* context) {
    CallbackList& list = shared_handler_context().callbacks;
    list.set_reading(true);
    auto* previous = static_cast<CallbackList::node*>(context);
    CallbackList::node* n = previous != nullptr ? previous->next.load() : list.head.load();
    bool handled = false;
    if (n != nullptr) {
        const OBCrashSignalHandlerCallback next{internal_callback_iterator, n};
        handled = n->value.callback(signo, info, uap, n->value.context, n->next.load() != nullptr ? &next : nullptr);
    }
    list.set_reading(false);
    return handled;
}

// The end of the chain: hands the signal to the action it had before ours was installed.
bool previous_action_callback(int signo, siginfo_t* info, ucontext_t* uap, void*,
                              const OBCrashSignalHandlerCallback* next) {
    if (OBCrashSignalHandlerForward(next, signo, info, uap)) return true;

    ActionList& list = shared_handler_context().previousActions;
    list.set_reading(true);
    bool found = false;
    struct sigaction previous {};
    for (ActionList::node* n = list.head.load(); n != nullptr; n = n->next.load()) {
        if (n->value.signo == signo) {
            previous = n->value.action;
            found = true;
            break;
        }
    }
    list.set_reading(false);
    if (!found) return false;

    if ((previous.sa_flags & SA_SIGINFO) != 0) {
        previous.sa_sigaction(signo, info, uap);
        return true;
    }
    if (previous.sa_handler == SIG_DFL) return false;
    if (previous.sa_handler == SIG_IGN) return true;
    previous.sa_handler(signo);
    return true;
}

void obcrash_signal_handler(int signo, siginfo_t* info, void* uap) {
    const int saved_errno = errno;
    // Nobody handled it: the crash callback has put the default action back, so the signal,
    // delivered again once this handler returns, ends the process.
    if (!internal_callback_iterator(signo, info, static_cast<ucontext_t*>(uap), nullptr)) raise(signo);
    errno = saved_errno;
}

template <typename List>
void removeAll(List& list) {
    while (auto* n = list.head.load()) list.nasync_remove_node(n);
}

}  // namespace

bool OBCrashSignalHandlerForward(const OBCrashSignalHandlerCallback* next, int signo, siginfo_t* info,
                                 ucontext_t* uap) {
    if (next == nullptr) return false;
    return next->function(signo, info, uap, next->context);
}

OBCrashSignalHandler* OBCrashSignalHandler::sharedHandler() {
    static OBCrashSignalHandler* const shared = []() -> OBCrashSignalHandler* {
        auto* stack = new (std::nothrow) char[kAlternateStackSize];
        if (stack == nullptr) return nullptr;
        auto* handler = new OBCrashSignalHandler;
        handler->_sigstk.ss_sp = stack;
        handler->_sigstk.ss_size = kAlternateStackSize;
        handler->_sigstk.ss_flags = 0;
        return handler;
    }();
    return shared;
}

bool OBCrashSignalHandler::registerHandlerForSignal(int signo, OBCrashSignalHandlerCallbackFunc callback, void* context,
                                                    OBCrashReporterError* error) {
    if (!registerHandlerWithSignal(signo, error)) return false;
    shared_handler_context().callbacks.nasync_prepend({callback, context});
    return true;
}

bool OBCrashSignalHandler::registerHandlerWithSignal(int signo, OBCrashReporterError* error) {
    RegistrationLock lock;
    HandlerContext& context = shared_handler_context();

    if (sigaltstack(&_sigstk, nullptr) != 0) {
        obcrashPopulateError(error,
                             OBCrashReporterError::posix(errno, "Could not initialize alternative signal stack"));
        return false;
    }

    context.callbacks.nasync_append({previous_action_callback, nullptr});

    context.previousActions.set_reading(true);
    bool installed = false;
    for (ActionList::node* n = context.previousActions.head.load(); n != nullptr; n = n->next.load()) {
        if (n->value.signo == signo) installed = true;
    }
    context.previousActions.set_reading(false);
    if (installed) return true;

    struct sigaction action {};
    action.sa_sigaction = obcrash_signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    obcrash_signal_handler_action previous;
    previous.signo = signo;
    if (sigaction(signo, &action, &previous.action) != 0) {
        obcrashPopulateError(error, OBCrashReporterError::posix(errno, "Failed to register signal handler"));
        return false;
    }
    context.previousActions.nasync_append(previous);
    return true;
}

void OBCrashSignalHandler::resetHandlers() {
    HandlerContext& context = shared_handler_context();
    removeAll(context.previousActions);
    removeAll(context.callbacks);
}

}  // namespace obcrash
