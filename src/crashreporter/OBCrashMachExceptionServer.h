#pragma once
// The exception server: a thread of its own receives the exception requests sent to its port and
// hands each to a callback, which answers the faulting thread. Exception-port registrations and
// the forwarding of an exception to the handlers registered before are here too.
#include <memory>
#include <optional>
#include <vector>

#include "crashreporter/OBCrashMach.h"
#include "crashreporter/OBCrashProcessInfo.h"
#include "crashreporter/OBCrashReporterError.h"

namespace obcrash {

// The registrations of a task or a thread as plain values, readable at crash time. Entry i of each
// array belongs to registration i.
struct obcrash_mach_exception_port_set {
    uint32_t count;
    uint32_t masks[OB_EXC_TYPES_COUNT];
    ob_mach_port_t ports[OB_EXC_TYPES_COUNT];
    int32_t behaviors[OB_EXC_TYPES_COUNT];
    int32_t flavors[OB_EXC_TYPES_COUNT];
};

class OBCrashMachExceptionPortSet;

// One exception-port registration. It holds a send right of its own on its port.
class OBCrashMachExceptionPort {
public:
    OBCrashMachExceptionPort(ob_mach_port_t port, uint32_t mask, int32_t behavior, int32_t flavor);
    ~OBCrashMachExceptionPort();
    OBCrashMachExceptionPort(const OBCrashMachExceptionPort&) = delete;
    OBCrashMachExceptionPort& operator=(const OBCrashMachExceptionPort&) = delete;

    ob_mach_port_t server_port() const { return _port; }
    uint32_t mask() const { return _mask; }
    int32_t behavior() const { return _behavior; }
    int32_t flavor() const { return _flavor; }

    // Makes this the task's (or the thread's) registration for the exceptions of its mask; the
    // registrations it replaces go to `previous` when it is not null.
    bool registerForTask(ob_task_t task, std::shared_ptr<OBCrashMachExceptionPortSet>* previous,
                         OBCrashReporterError* error) const;
    bool registerForThread(ob_thread_t thread, std::shared_ptr<OBCrashMachExceptionPortSet>* previous,
                           OBCrashReporterError* error) const;

private:
    ob_mach_port_t _port;
    uint32_t _mask;
    int32_t _behavior;
    int32_t _flavor;
};

class OBCrashMachExceptionPortSet {
public:
    using Ports = std::vector<std::shared_ptr<OBCrashMachExceptionPort>>;

    // At most 14 ports.
    explicit OBCrashMachExceptionPortSet(Ports set);
    // Takes over the send right the representation holds on each of its ports.
    explicit OBCrashMachExceptionPortSet(const obcrash_mach_exception_port_set& representation);

    const Ports& set() const { return _state_set; }
    const obcrash_mach_exception_port_set& asyncSafeRepresentation() const { return _asyncSafeRepresentation; }
    Ports::const_iterator begin() const { return _state_set.begin(); }
    Ports::const_iterator end() const { return _state_set.end(); }

private:
    Ports _state_set;
    obcrash_mach_exception_port_set _asyncSafeRepresentation{};
};

// The current registrations; null with the error when they cannot be read.
std::shared_ptr<OBCrashMachExceptionPortSet> exceptionPortsForTask(ob_task_t task, uint32_t mask,
                                                                   OBCrashReporterError* error);
std::shared_ptr<OBCrashMachExceptionPortSet> exceptionPortsForThread(ob_thread_t thread, uint32_t mask,
                                                                     OBCrashReporterError* error);

// Answers one exception: KERN_SUCCESS lets the faulting thread run on.
using OBCrashMachExceptionCallback = ob_kern_return_t (*)(ob_task_t task, ob_thread_t thread, int32_t exception_type,
                                                          const int64_t* codes, uint32_t code_count, void* context);

struct obcrash_exception_server_context;

class OBCrashMachExceptionServer {
public:
    // Null with the error when any step of the set-up fails.
    static std::unique_ptr<OBCrashMachExceptionServer> initWithCallBack(OBCrashMachExceptionCallback callback,
                                                                        void* context, OBCrashReporterError* error);
    // Returns once the server thread has ended.
    ~OBCrashMachExceptionServer();
    OBCrashMachExceptionServer(const OBCrashMachExceptionServer&) = delete;
    OBCrashMachExceptionServer& operator=(const OBCrashMachExceptionServer&) = delete;

    // A registration of the server's port for the exceptions of `mask`, with 64-bit codes.
    std::shared_ptr<OBCrashMachExceptionPort> exceptionPortWithMask(uint32_t mask, OBCrashReporterError* error);
    ob_thread_t serverThread() const;

private:
    explicit OBCrashMachExceptionServer(obcrash_exception_server_context* context) : _serverContext(context) {}
    ob_mach_port_t copySendRightForServerAndReturningError(OBCrashReporterError* error);

    obcrash_exception_server_context* _serverContext;
};

// Offers an exception to the first registration of `previous` that covers it, with 32-bit codes;
// its answer, or KERN_FAILURE when none covers it or it wants 64-bit codes. Async-signal-safe.
ob_kern_return_t OBCrashMachExceptionForward(ob_task_t task, ob_thread_t thread, int32_t exception_type,
                                             const int64_t* codes, uint32_t code_count,
                                             const obcrash_mach_exception_port_set* previous);

// The exceptions the reporter catches on a kernel of this version: EXC_GUARD from Darwin 13 on.
uint32_t obcrashMachExceptionMask(const std::optional<OBCrashHostInfo>& host);

}  // namespace obcrash
