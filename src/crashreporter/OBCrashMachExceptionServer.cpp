#include "crashreporter/OBCrashMachExceptionServer.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crashreporter/OBCrashLog.h"

namespace obcrash {

struct obcrash_exception_server_context {
    ob_thread_t server_thread = 0;
    ob_mach_port_t server_port = OB_MACH_PORT_NULL;
    ob_mach_port_t notify_port = OB_MACH_PORT_NULL;
    ob_mach_port_t port_set = OB_MACH_PORT_NULL;
    OBCrashMachExceptionCallback callback = nullptr;
    void* callback_context = nullptr;
    pthread_mutex_t lock;
    pthread_cond_t server_cond;
    bool lock_made = false;
    bool cond_made = false;
    std::atomic<bool> should_stop{false};
    bool stopped = false;
    bool started = false;
};

namespace {

constexpr int32_t kStopMessageId = static_cast<int32_t>(0xDEADBEEF);
// The request's fixed fields and the trailer the receive adds; the codes come between them.
constexpr size_t kRequestFixedSize = sizeof(ob_exception_request_t) + sizeof(ob_mach_msg_trailer_t);
static_assert(sizeof(ob_exception_request_t) % 8 == 4, "the codes are moved 4 bytes on to align them");

[[noreturn]] void failAssertion(const char* format, unsigned long a, unsigned long b) {
    std::fprintf(stderr, format, a, b);
    std::fputc('\n', stderr);
    std::abort();
}

size_t roundToPages(size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

void* pageAllocate(size_t size) {
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void sendReply(const ob_mach_msg_header_t& request, ob_kern_return_t code) {
    ob_exception_reply_t reply{};
    reply.head.msgh_bits = request.msgh_bits & OB_MACH_MSGH_BITS_REMOTE_MASK;
    reply.head.msgh_size = sizeof(reply);
    reply.head.msgh_remote_port = request.msgh_remote_port;
    reply.head.msgh_local_port = OB_MACH_PORT_NULL;
    reply.head.msgh_id = request.msgh_id + OB_MIG_REPLY_ID_OFFSET;
    reply.ndr = ob_ndr_record;
    reply.ret_code = code;
    // A requester that has gone cannot be answered; nothing else is to be done.
    ob_mach_msg(&reply.head, OB_MACH_SEND_MSG, sizeof(reply), 0, OB_MACH_PORT_NULL);
}

void* exception_server_thread(void* argument) {
    auto* context = static_cast<obcrash_exception_server_context*>(argument);
    pthread_mutex_lock(&context->lock);
    context->server_thread = ob_mach_thread_self();
    context->started = true;
    pthread_cond_broadcast(&context->server_cond);
    pthread_mutex_unlock(&context->lock);

    size_t size = roundToPages(kRequestFixedSize);
    auto* buffer = static_cast<uint8_t*>(pageAllocate(size));
    if (buffer == nullptr) {
        std::fprintf(stderr, "Unexpected error in vm_allocate(): %x\n", ENOMEM);
        return nullptr;
    }
    for (;;) {
        auto* head = reinterpret_cast<ob_mach_msg_header_t*>(buffer);
        const ob_kern_return_t kr =
            ob_mach_msg(head, OB_MACH_RCV_MSG | OB_MACH_RCV_LARGE, 0, static_cast<uint32_t>(size), context->port_set);
        if (kr == OB_MACH_RCV_TOO_LARGE) {
            // The message stays queued: receive it again into room of its size.
            const size_t needed = roundToPages(head->msgh_size);
            munmap(buffer, size);
            buffer = static_cast<uint8_t*>(pageAllocate(needed));
            if (buffer == nullptr) {
                std::fprintf(stderr, "Unexpected error in vm_allocate(): 0x%x\n", ENOMEM);
                return nullptr;
            }
            size = needed;
            continue;
        }
        if (kr != OB_KERN_SUCCESS) continue;

        if (head->msgh_local_port == context->notify_port) {
            if (head->msgh_id == kStopMessageId && context->should_stop.load()) {
                munmap(buffer, size);
                pthread_mutex_lock(&context->lock);
                context->stopped = true;
                pthread_cond_broadcast(&context->server_cond);
                // Nothing of the context may be touched after this: its owner frees it.
                pthread_mutex_unlock(&context->lock);
                return nullptr;
            }
            if (head->msgh_id == OB_MACH_NOTIFY_NO_SENDERS) continue;
        }

        if (head->msgh_size < kRequestFixedSize) {
            sendReply(*head, OB_KERN_FAILURE);
            continue;
        }
        const auto* request = reinterpret_cast<const ob_exception_request_t*>(buffer);
        // The count comes from the sender: codes that would run past the buffer are not read.
        if (request->code_count > (size - kRequestFixedSize) / sizeof(int64_t)) continue;
        // The codes sit on a 4-byte boundary; they are moved onto an 8-byte one, into the room the
        // trailer took, so the callback reads them as the 64-bit values they are.
        uint8_t* codes = buffer + sizeof(ob_exception_request_t) + 4;
        std::memmove(codes, buffer + sizeof(ob_exception_request_t), request->code_count * sizeof(int64_t));
        const ob_kern_return_t answer =
            context->callback(static_cast<ob_task_t>(request->task.name),
                              static_cast<ob_thread_t>(request->thread.name), request->exception,
                              reinterpret_cast<const int64_t*>(codes), request->code_count, context->callback_context);
        sendReply(*head, answer);
    }
}

void releaseContext(obcrash_exception_server_context* context) {
    const ob_task_t task = ob_mach_task_self();
    if (context->server_port != OB_MACH_PORT_NULL)
        ob_mach_port_mod_refs(task, context->server_port, OB_MACH_PORT_RIGHT_RECEIVE, -1);
    if (context->notify_port != OB_MACH_PORT_NULL)
        ob_mach_port_mod_refs(task, context->notify_port, OB_MACH_PORT_RIGHT_RECEIVE, -1);
    if (context->port_set != OB_MACH_PORT_NULL)
        ob_mach_port_mod_refs(task, context->port_set, OB_MACH_PORT_RIGHT_PORT_SET, -1);
    if (context->cond_made) pthread_cond_destroy(&context->server_cond);
    if (context->lock_made) pthread_mutex_destroy(&context->lock);
    delete context;
}

std::shared_ptr<OBCrashMachExceptionPortSet> portsOf(bool task, pid_t who, uint32_t mask, OBCrashReporterError* error) {
    obcrash_mach_exception_port_set set{};
    set.count = OB_EXC_TYPES_COUNT;
    const ob_kern_return_t kr =
        task ? ob_task_get_exception_ports(who, mask, set.masks, &set.count, set.ports, set.behaviors, set.flavors)
             : ob_thread_get_exception_ports(who, mask, set.masks, &set.count, set.ports, set.behaviors, set.flavors);
    if (kr != OB_KERN_SUCCESS) {
        obcrashPopulateError(error, OBCrashReporterError::mach(kr, "Failed to fetch mach exception ports"));
        return nullptr;
    }
    return std::make_shared<OBCrashMachExceptionPortSet>(set);
}

bool swapPorts(bool task, pid_t who, const OBCrashMachExceptionPort& port,
               std::shared_ptr<OBCrashMachExceptionPortSet>* previous, OBCrashReporterError* error) {
    obcrash_mach_exception_port_set set{};
    set.count = OB_EXC_TYPES_COUNT;
    const ob_kern_return_t kr =
        task ? ob_task_swap_exception_ports(who, port.mask(), port.server_port(), port.behavior(), port.flavor(),
                                            set.masks, &set.count, set.ports, set.behaviors, set.flavors)
             : ob_thread_swap_exception_ports(who, port.mask(), port.server_port(), port.behavior(), port.flavor(),
                                              set.masks, &set.count, set.ports, set.behaviors, set.flavors);
    if (kr != OB_KERN_SUCCESS) {
        obcrashPopulateError(error, OBCrashReporterError::mach(kr, "Failed to swap mach exception ports"));
        return false;
    }
    // The set takes over the rights the swap handed out, or they are dropped here.
    auto made = std::make_shared<OBCrashMachExceptionPortSet>(set);
    if (previous != nullptr) *previous = std::move(made);
    return true;
}

}  // namespace

OBCrashMachExceptionPort::OBCrashMachExceptionPort(ob_mach_port_t port, uint32_t mask, int32_t behavior, int32_t flavor)
    : _port(port), _mask(mask), _behavior(behavior), _flavor(flavor) {
    if (_port == OB_MACH_PORT_NULL || _port == OB_MACH_PORT_DEAD) return;
    const ob_kern_return_t kr = ob_mach_port_mod_refs(ob_mach_task_self(), _port, OB_MACH_PORT_RIGHT_SEND, 1);
    if (kr != OB_KERN_SUCCESS) obcrashLog("Unexpected error incrementing mach port reference: %d", kr);
}

OBCrashMachExceptionPort::~OBCrashMachExceptionPort() {
    if (_port == OB_MACH_PORT_NULL || _port == OB_MACH_PORT_DEAD) return;
    ob_mach_port_mod_refs(ob_mach_task_self(), _port, OB_MACH_PORT_RIGHT_SEND, -1);
}

bool OBCrashMachExceptionPort::registerForTask(ob_task_t task, std::shared_ptr<OBCrashMachExceptionPortSet>* previous,
                                               OBCrashReporterError* error) const {
    return swapPorts(true, task, *this, previous, error);
}

bool OBCrashMachExceptionPort::registerForThread(ob_thread_t thread,
                                                 std::shared_ptr<OBCrashMachExceptionPortSet>* previous,
                                                 OBCrashReporterError* error) const {
    return swapPorts(false, thread, *this, previous, error);
}

OBCrashMachExceptionPortSet::OBCrashMachExceptionPortSet(Ports set) : _state_set(std::move(set)) {
    if (_state_set.size() > OB_EXC_TYPES_COUNT)
        failAssertion("Set size of %lu exceeds EXC_TYPES_COUNT (%lu)", _state_set.size(), OB_EXC_TYPES_COUNT);
    for (const auto& port : _state_set) {
        const uint32_t i = _asyncSafeRepresentation.count++;
        _asyncSafeRepresentation.masks[i] = port->mask();
        _asyncSafeRepresentation.ports[i] = port->server_port();
        _asyncSafeRepresentation.behaviors[i] = port->behavior();
        _asyncSafeRepresentation.flavors[i] = port->flavor();
    }
}

OBCrashMachExceptionPortSet::OBCrashMachExceptionPortSet(const obcrash_mach_exception_port_set& representation)
    : _asyncSafeRepresentation(representation) {
    if (representation.count > OB_EXC_TYPES_COUNT)
        failAssertion("Count of %lu exceeds EXC_TYPES_COUNT (%lu)", representation.count, OB_EXC_TYPES_COUNT);
    for (uint32_t i = 0; i < representation.count; ++i) {
        const ob_mach_port_t port = representation.ports[i];
        _state_set.push_back(std::make_shared<OBCrashMachExceptionPort>(
            port, representation.masks[i], representation.behaviors[i], representation.flavors[i]));
        if (port == OB_MACH_PORT_NULL || port == OB_MACH_PORT_DEAD) continue;
        const ob_kern_return_t kr = ob_mach_port_mod_refs(ob_mach_task_self(), port, OB_MACH_PORT_RIGHT_SEND, -1);
        if (kr != OB_KERN_SUCCESS) obcrashLog("Unexpected error decrementing mach port reference: %d", kr);
    }
}

std::shared_ptr<OBCrashMachExceptionPortSet> exceptionPortsForTask(ob_task_t task, uint32_t mask,
                                                                   OBCrashReporterError* error) {
    return portsOf(true, task, mask, error);
}

std::shared_ptr<OBCrashMachExceptionPortSet> exceptionPortsForThread(ob_thread_t thread, uint32_t mask,
                                                                     OBCrashReporterError* error) {
    return portsOf(false, thread, mask, error);
}

std::unique_ptr<OBCrashMachExceptionServer> OBCrashMachExceptionServer::initWithCallBack(
    OBCrashMachExceptionCallback callback, void* context, OBCrashReporterError* error) {
    const ob_task_t task = ob_mach_task_self();
    auto* server = new (std::nothrow) obcrash_exception_server_context;
    if (server == nullptr) {
        obcrashPopulateError(error, OBCrashReporterError::posix(ENOMEM, "Mutex initialization failed"));
        return nullptr;
    }
    server->callback = callback;
    server->callback_context = context;
    auto fail = [&](OBCrashReporterError failure) -> std::unique_ptr<OBCrashMachExceptionServer> {
        obcrashPopulateError(error, std::move(failure));
        releaseContext(server);
        return nullptr;
    };

    if (int e = pthread_mutex_init(&server->lock, nullptr); e != 0)
        return fail(OBCrashReporterError::posix(e, "Mutex initialization failed"));
    server->lock_made = true;
    if (int e = pthread_cond_init(&server->server_cond, nullptr); e != 0)
        return fail(OBCrashReporterError::posix(e, "Condition initialization failed"));
    server->cond_made = true;

    ob_kern_return_t kr = ob_mach_port_allocate(task, OB_MACH_PORT_RIGHT_RECEIVE, &server->server_port);
    if (kr == OB_KERN_SUCCESS) kr = ob_mach_port_allocate(task, OB_MACH_PORT_RIGHT_RECEIVE, &server->notify_port);
    if (kr != OB_KERN_SUCCESS)
        return fail(OBCrashReporterError::mach(kr, "Failed to allocate exception server's port"));
    kr = ob_mach_port_insert_right(task, server->server_port, server->server_port, OB_MACH_MSG_TYPE_MAKE_SEND);
    if (kr != OB_KERN_SUCCESS)
        return fail(OBCrashReporterError::mach(kr, "Failed to add send right to exception server's port"));
    kr = ob_mach_port_request_notification(task, server->server_port, OB_MACH_NOTIFY_NO_SENDERS, server->notify_port);
    if (kr != OB_KERN_SUCCESS)
        return fail(
            OBCrashReporterError::mach(kr, "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port"));
    kr = ob_mach_port_allocate(task, OB_MACH_PORT_RIGHT_PORT_SET, &server->port_set);
    if (kr != OB_KERN_SUCCESS)
        return fail(OBCrashReporterError::mach(kr, "Failed to allocate exception server's port set"));
    kr = ob_mach_port_move_member(task, server->server_port, server->port_set);
    if (kr != OB_KERN_SUCCESS)
        return fail(OBCrashReporterError::mach(kr, "Failed to add exception server port to port set"));
    kr = ob_mach_port_move_member(task, server->notify_port, server->port_set);
    if (kr != OB_KERN_SUCCESS)
        return fail(OBCrashReporterError::mach(kr, "Failed to add exception server notify port to port set"));

    pthread_attr_t attributes;
    if (int e = pthread_attr_init(&attributes); e != 0)
        return fail(OBCrashReporterError::posix(e, "Failed to initialize pthread_attr"));
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int created = pthread_create(&thread, &attributes, exception_server_thread, server);
    pthread_attr_destroy(&attributes);
    if (created != 0) return fail(OBCrashReporterError::posix(created, "Failed to create exception server thread"));
    pthread_setname_np(thread, "obcrash.exc");

    pthread_mutex_lock(&server->lock);
    while (!server->started) pthread_cond_wait(&server->server_cond, &server->lock);
    pthread_mutex_unlock(&server->lock);
    return std::unique_ptr<OBCrashMachExceptionServer>(new OBCrashMachExceptionServer(server));
}

OBCrashMachExceptionServer::~OBCrashMachExceptionServer() {
    obcrash_exception_server_context* context = _serverContext;
    bool expected = false;
    context->should_stop.compare_exchange_strong(expected, true);

    ob_mach_msg_header_t stop{};
    stop.msgh_bits = OB_MACH_MSGH_BITS(OB_MACH_MSG_TYPE_MAKE_SEND_ONCE, 0);
    stop.msgh_size = sizeof(stop);
    stop.msgh_remote_port = context->notify_port;
    stop.msgh_local_port = OB_MACH_PORT_NULL;
    stop.msgh_id = kStopMessageId;
    const ob_kern_return_t kr = ob_mach_msg(&stop, OB_MACH_SEND_MSG, sizeof(stop), 0, OB_MACH_PORT_NULL);
    if (kr != OB_KERN_SUCCESS) {
        obcrashLog("Unexpected error sending termination message to background thread: %d", kr);
        // The thread may still use the context: it is left to it rather than freed under it.
        return;
    }
    pthread_mutex_lock(&context->lock);
    while (!context->stopped) pthread_cond_wait(&context->server_cond, &context->lock);
    pthread_mutex_unlock(&context->lock);
    releaseContext(context);
}

ob_mach_port_t OBCrashMachExceptionServer::copySendRightForServerAndReturningError(OBCrashReporterError* error) {
    pthread_mutex_lock(&_serverContext->lock);
    const ob_kern_return_t kr = ob_mach_port_insert_right(ob_mach_task_self(), _serverContext->server_port,
                                                          _serverContext->server_port, OB_MACH_MSG_TYPE_MAKE_SEND);
    pthread_mutex_unlock(&_serverContext->lock);
    if (kr != OB_KERN_SUCCESS) {
        obcrashPopulateError(error, OBCrashReporterError::mach(kr, "Failed to insert Mach send right"));
        return OB_MACH_PORT_NULL;
    }
    return _serverContext->server_port;
}

std::shared_ptr<OBCrashMachExceptionPort> OBCrashMachExceptionServer::exceptionPortWithMask(
    uint32_t mask, OBCrashReporterError* error) {
    const ob_mach_port_t port = copySendRightForServerAndReturningError(error);
    if (port == OB_MACH_PORT_NULL) return nullptr;
    auto made = std::make_shared<OBCrashMachExceptionPort>(port, mask, OB_EXCEPTION_DEFAULT | OB_MACH_EXCEPTION_CODES,
                                                           OB_THREAD_STATE_FLAVOR);
    ob_mach_port_deallocate(ob_mach_task_self(), port);
    return made;
}

ob_thread_t OBCrashMachExceptionServer::serverThread() const {
    pthread_mutex_lock(&_serverContext->lock);
    const ob_thread_t thread = _serverContext->server_thread;
    pthread_mutex_unlock(&_serverContext->lock);
    return thread;
}

ob_kern_return_t OBCrashMachExceptionForward(ob_task_t task, ob_thread_t thread, int32_t exception_type,
                                             const int64_t* codes, uint32_t code_count,
                                             const obcrash_mach_exception_port_set* previous) {
    if (previous == nullptr || exception_type < 0 || exception_type >= OB_EXC_TYPES_COUNT) return OB_KERN_FAILURE;
    const uint32_t bit = 1u << exception_type;
    int found = -1;
    for (uint32_t i = 0; i < previous->count && i < OB_EXC_TYPES_COUNT; ++i) {
        const ob_mach_port_t port = previous->ports[i];
        if (port == OB_MACH_PORT_NULL || port == OB_MACH_PORT_DEAD) continue;
        if ((previous->masks[i] & bit) != 0) {
            found = static_cast<int>(i);
            break;
        }
    }
    if (found < 0) return OB_KERN_FAILURE;

    constexpr uint32_t kMaxCodes = 2;
    if (code_count > kMaxCodes) code_count = kMaxCodes;
    int32_t narrow[kMaxCodes] = {};
    for (uint32_t i = 0; i < code_count; ++i) narrow[i] = static_cast<int32_t>(codes[i]);

    const ob_mach_port_t port = previous->ports[found];
    const int32_t behavior = previous->behaviors[found];
    int32_t flavor = previous->flavors[found];
    // Only a handler that takes 32-bit codes is offered the exception.
    if ((behavior & OB_MACH_EXCEPTION_CODES) != 0) return OB_KERN_FAILURE;
    switch (behavior) {
    case OB_EXCEPTION_DEFAULT: return ob_exception_raise(port, thread, task, exception_type, narrow, code_count);
    case OB_EXCEPTION_STATE:
    case OB_EXCEPTION_STATE_IDENTITY: {
        uint32_t state[OB_THREAD_STATE_MAX];
        uint32_t count = OB_THREAD_STATE_MAX;
        const ob_kern_return_t kr = ob_thread_get_state(thread, flavor, state, &count);
        if (kr != OB_KERN_SUCCESS) return kr;
        // The handler may hand a new state back; it is not applied.
        uint32_t newState[OB_THREAD_STATE_MAX];
        uint32_t newCount = OB_THREAD_STATE_MAX;
        if (behavior == OB_EXCEPTION_STATE)
            return ob_exception_raise_state(port, exception_type, narrow, code_count, &flavor, state, count, newState,
                                            &newCount);
        return ob_exception_raise_state_identity(port, thread, task, exception_type, narrow, code_count, &flavor, state,
                                                 count, newState, &newCount);
    }
    default: return OB_KERN_FAILURE;
    }
}

uint32_t obcrashMachExceptionMask(const std::optional<OBCrashHostInfo>& host) {
    constexpr uint32_t kBase = OB_EXC_MASK_BAD_ACCESS | OB_EXC_MASK_BAD_INSTRUCTION | OB_EXC_MASK_ARITHMETIC |
                               OB_EXC_MASK_SOFTWARE | OB_EXC_MASK_BREAKPOINT;
    if (host.has_value() && host->darwinVersion().major >= 13) return kBase | OB_EXC_MASK_GUARD;
    return kBase;
}

}  // namespace obcrash
