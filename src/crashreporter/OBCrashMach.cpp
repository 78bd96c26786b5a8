#include "crashreporter/OBCrashMach.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "crashreporter/OBCrashAsyncCrashGuard.h"
#include "crashreporter/OBCrashAsyncThreads.h"

extern "C" const ob_ndr_record_t ob_ndr_record = {0, 0, 0, 0, 1, 0, 0, 0};

namespace {

constexpr uint32_t kPortCount = 256;
constexpr uint32_t kThreadTableCount = 64;
constexpr uint32_t kFirstException = 1;
constexpr uint32_t kTrailerSize = sizeof(ob_mach_msg_trailer_t);

enum PortKind : int { kFree = 0, kClaimed = 1, kPort = 2, kPortSet = 3 };

// Each field is atomic: the fault path reads the table from a signal handler while ordinary
// threads change it.
struct PortEntry {
    std::atomic<uint32_t> name{0};
    std::atomic<int> kind{kFree};
    std::atomic<uint32_t> generation{0};
    std::atomic<int> receiveFd{-1};
    std::atomic<int> sendFd{-1};
    std::atomic<int64_t> sendRights{0};
    std::atomic<ob_mach_port_t> noSendersNotify{OB_MACH_PORT_NULL};
    std::atomic<ob_mach_port_t> set{OB_MACH_PORT_NULL};
    // The thread that last waited to receive on the port or set.
    std::atomic<ob_thread_t> receiver{0};
};

PortEntry ports[kPortCount];

struct ExceptionEntry {
    std::atomic<ob_mach_port_t> port{OB_MACH_PORT_NULL};
    std::atomic<int32_t> behavior{0};
    std::atomic<int32_t> flavor{0};
};

struct ExceptionTable {
    ExceptionEntry entries[OB_EXC_TYPES_COUNT];
};

struct ThreadTable {
    std::atomic<ob_thread_t> thread{0};
    ExceptionTable table;
};

ExceptionTable taskTable;
ThreadTable threadTables[kThreadTableCount];
// Serialises the writers of the exception tables and of the held signals.
std::mutex tablesLock;

// The signals the processor raises for each exception the layer delivers.
struct HeldSignal {
    int signo;
    uint32_t exception;
    bool held;
    struct sigaction previous;
};
HeldSignal heldSignals[] = {
    {SIGSEGV, 1, false, {}}, {SIGBUS, 1, false, {}},  {SIGILL, 2, false, {}},
    {SIGFPE, 3, false, {}},  {SIGTRAP, 6, false, {}},
};

class ErrnoGuard {
public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }

private:
    int saved_;
};

PortEntry* lookup(ob_mach_port_t name) {
    if (name == OB_MACH_PORT_NULL || name == OB_MACH_PORT_DEAD) return nullptr;
    PortEntry& entry = ports[name & 0xFF];
    return entry.name.load() == name ? &entry : nullptr;
}

PortEntry* lookupPort(ob_mach_port_t name) {
    PortEntry* entry = lookup(name);
    return entry != nullptr && entry->kind.load() == kPort ? entry : nullptr;
}

// Async-signal-safe: the fault path makes its reply ports here.
ob_kern_return_t claimEntry(int kind, int receiveFd, int sendFd, ob_mach_port_t* name) {
    for (uint32_t i = 0; i < kPortCount; ++i) {
        PortEntry& entry = ports[i];
        int expected = kFree;
        if (!entry.kind.compare_exchange_strong(expected, kClaimed)) continue;
        const uint32_t generation = (entry.generation.fetch_add(1) + 1) & 0xFFFFFF;
        entry.receiveFd.store(receiveFd);
        entry.sendFd.store(sendFd);
        entry.sendRights.store(0);
        entry.noSendersNotify.store(OB_MACH_PORT_NULL);
        entry.set.store(OB_MACH_PORT_NULL);
        entry.receiver.store(0);
        // Never 0 (null) nor all ones (dead): the generation is at least 1 and fits 24 bits.
        const ob_mach_port_t made = ((generation == 0 ? 1 : generation) << 8) | i;
        entry.name.store(made);
        entry.kind.store(kind);
        *name = made;
        return OB_KERN_SUCCESS;
    }
    return OB_KERN_NO_SPACE;
}

void releaseEntry(PortEntry& entry) {
    entry.name.store(0);
    const int receiveFd = entry.receiveFd.exchange(-1);
    const int sendFd = entry.sendFd.exchange(-1);
    if (receiveFd >= 0) close(receiveFd);
    if (sendFd >= 0) close(sendFd);
    entry.kind.store(kFree);
}

ob_kern_return_t allocatePort(ob_mach_port_t* name) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return OB_KERN_RESOURCE_SHORTAGE;
    const ob_kern_return_t kr = claimEntry(kPort, fds[0], fds[1], name);
    if (kr != OB_KERN_SUCCESS) {
        close(fds[0]);
        close(fds[1]);
    }
    return kr;
}

void destroyPort(ob_mach_port_t name) {
    if (PortEntry* entry = lookup(name)) {
        if (entry->kind.load() == kPortSet) {
            for (PortEntry& member : ports) {
                ob_mach_port_t expected = name;
                member.set.compare_exchange_strong(expected, OB_MACH_PORT_NULL);
            }
        }
        releaseEntry(*entry);
    }
}

ob_kern_return_t sendMessage(const ob_mach_msg_header_t* msg, uint32_t size) {
    PortEntry* entry = lookupPort(msg->msgh_remote_port);
    if (entry == nullptr || size < sizeof(ob_mach_msg_header_t)) return OB_MACH_SEND_INVALID_DEST;
    const int fd = entry->sendFd.load();
    for (;;) {
        const ssize_t sent = send(fd, msg, size, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(size)) return OB_KERN_SUCCESS;
        if (sent < 0 && errno == EINTR) continue;
        return OB_MACH_SEND_INVALID_DEST;
    }
}

void sendNoSenders(ob_mach_port_t port, ob_mach_port_t notify) {
#pragma pack(push, 4)
    struct {
        ob_mach_msg_header_t head;
        ob_ndr_record_t ndr;
        uint32_t not_count;
    } message{};
#pragma pack(pop)
    message.head.msgh_bits = OB_MACH_MSGH_BITS(OB_MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
    message.head.msgh_size = sizeof(message);
    message.head.msgh_remote_port = notify;
    message.head.msgh_local_port = OB_MACH_PORT_NULL;
    message.head.msgh_id = OB_MACH_NOTIFY_NO_SENDERS;
    message.ndr = ob_ndr_record;
    (void)port;
    sendMessage(&message.head, sizeof(message));
}

// A disposition as the receiver holds it.
uint32_t received(uint32_t disposition) {
    switch (disposition) {
    case OB_MACH_MSG_TYPE_COPY_SEND:
    case OB_MACH_MSG_TYPE_MAKE_SEND: return OB_MACH_MSG_TYPE_MOVE_SEND;
    case OB_MACH_MSG_TYPE_MAKE_SEND_ONCE: return OB_MACH_MSG_TYPE_MOVE_SEND_ONCE;
    default: return disposition;
    }
}

ob_kern_return_t receiveMessage(ob_mach_msg_header_t* msg, uint32_t option, uint32_t rcvSize, ob_mach_port_t rcvName) {
    if (rcvSize < sizeof(ob_mach_msg_header_t)) return OB_KERN_INVALID_ARGUMENT;
    for (;;) {
        PortEntry* target = lookup(rcvName);
        if (target == nullptr) return OB_MACH_RCV_INVALID_NAME;
        target->receiver.store(ob_mach_thread_self());
        struct pollfd fds[kPortCount];
        ob_mach_port_t names[kPortCount];
        nfds_t count = 0;
        if (target->kind.load() == kPort) {
            fds[0] = {target->receiveFd.load(), POLLIN, 0};
            names[0] = rcvName;
            count = 1;
        } else if (target->kind.load() == kPortSet) {
            for (PortEntry& member : ports) {
                if (member.kind.load() != kPort || member.set.load() != rcvName) continue;
                fds[count] = {member.receiveFd.load(), POLLIN, 0};
                names[count] = member.name.load();
                ++count;
            }
        } else {
            return OB_MACH_RCV_INVALID_NAME;
        }
        if (count == 0) return OB_MACH_RCV_INVALID_NAME;
        const int ready = poll(fds, count, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return OB_MACH_RCV_INVALID_NAME;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if ((fds[i].revents & (POLLNVAL | POLLERR)) != 0) return OB_MACH_RCV_INVALID_NAME;
            if ((fds[i].revents & POLLIN) == 0) continue;
            // The whole size of the queued message, whatever the room given.
            const ssize_t whole = recv(fds[i].fd, msg, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
            if (whole < 0) continue;
            if (static_cast<uint64_t>(whole) + kTrailerSize > rcvSize) {
                if ((option & OB_MACH_RCV_LARGE) == 0) recv(fds[i].fd, msg, 0, MSG_DONTWAIT);
                msg->msgh_size = static_cast<uint32_t>(whole) + kTrailerSize;
                return OB_MACH_RCV_TOO_LARGE;
            }
            const ssize_t n = recv(fds[i].fd, msg, rcvSize - kTrailerSize, MSG_DONTWAIT);
            if (n < 0) continue;
            if (static_cast<size_t>(n) < sizeof(ob_mach_msg_header_t)) {
                // Too short to hold a header: what arrived is kept, as garbage the caller refuses.
                obcrash_async_memset(reinterpret_cast<uint8_t*>(msg) + n, 0, sizeof(ob_mach_msg_header_t) - n);
            }
            // The receiver sees the sender's reply port as its remote port.
            const uint32_t bits = msg->msgh_bits;
            const ob_mach_port_t reply = msg->msgh_local_port;
            msg->msgh_bits = (bits & ~0x1F1Fu) | received((bits >> 8) & 0x1F) | (received(bits & 0x1F) << 8);
            msg->msgh_remote_port = reply;
            msg->msgh_local_port = names[i];
            msg->msgh_size = static_cast<uint32_t>(n);
            const ob_mach_msg_trailer_t trailer = {0, kTrailerSize};
            obcrash_async_memcpy(reinterpret_cast<uint8_t*>(msg) + n, &trailer, sizeof(trailer));
            return OB_KERN_SUCCESS;
        }
    }
}

ExceptionTable* threadTable(ob_thread_t thread, bool create) {
    for (ThreadTable& entry : threadTables) {
        if (entry.thread.load() == thread) return &entry.table;
    }
    if (!create) return nullptr;
    for (ThreadTable& entry : threadTables) {
        ob_thread_t expected = 0;
        if (entry.thread.compare_exchange_strong(expected, thread)) return &entry.table;
    }
    return nullptr;
}

void getPorts(const ExceptionTable& table, uint32_t mask, uint32_t* masks, uint32_t* count, ob_mach_port_t* out,
              int32_t* behaviors, int32_t* flavors) {
    uint32_t filled = 0;
    for (uint32_t type = kFirstException; type < OB_EXC_TYPES_COUNT; ++type) {
        if ((mask & (1u << type)) == 0) continue;
        const ExceptionEntry& entry = table.entries[type];
        const ob_mach_port_t port = entry.port.load();
        const int32_t behavior = entry.behavior.load();
        const int32_t flavor = entry.flavor.load();
        uint32_t j = 0;
        for (; j < filled; ++j) {
            if (out[j] == port && behaviors[j] == behavior && flavors[j] == flavor) {
                masks[j] |= 1u << type;
                break;
            }
        }
        if (j == filled && filled < *count) {
            masks[j] = 1u << type;
            out[j] = port;
            behaviors[j] = behavior;
            flavors[j] = flavor;
            if (PortEntry* p = lookupPort(port)) p->sendRights.fetch_add(1);
            ++filled;
        }
    }
    *count = filled;
}

bool covered(const ExceptionTable& table, uint32_t type) {
    return table.entries[type].port.load() != OB_MACH_PORT_NULL;
}

void faultHandler(int signo, siginfo_t* info, void* uap);

// Holds the signals of the exceptions some table covers, and gives back the others.
void updateHeldSignals() {
    for (HeldSignal& held : heldSignals) {
        bool wanted = covered(taskTable, held.exception);
        for (ThreadTable& entry : threadTables) {
            if (entry.thread.load() != 0 && covered(entry.table, held.exception)) wanted = true;
        }
        if (wanted && !held.held) {
            struct sigaction action {};
            action.sa_sigaction = faultHandler;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_SIGINFO | SA_ONSTACK;
            if (sigaction(held.signo, &action, &held.previous) == 0) held.held = true;
        } else if (!wanted && held.held) {
            sigaction(held.signo, &held.previous, nullptr);
            held.held = false;
        }
    }
}

ob_kern_return_t swapPorts(ExceptionTable& table, uint32_t mask, ob_mach_port_t port, int32_t behavior, int32_t flavor,
                           uint32_t* masks, uint32_t* count, ob_mach_port_t* out, int32_t* behaviors,
                           int32_t* flavors) {
    const int32_t base = behavior & ~OB_MACH_EXCEPTION_CODES;
    if ((mask & ~OB_EXC_MASK_ALL) != 0 || base < OB_EXCEPTION_DEFAULT || base > OB_EXCEPTION_STATE_IDENTITY)
        return OB_KERN_INVALID_ARGUMENT;
    PortEntry* target = lookupPort(port);
    if (port != OB_MACH_PORT_NULL && target == nullptr) return OB_KERN_INVALID_RIGHT;
    getPorts(table, mask, masks, count, out, behaviors, flavors);
    for (uint32_t type = kFirstException; type < OB_EXC_TYPES_COUNT; ++type) {
        if ((mask & (1u << type)) == 0) continue;
        ExceptionEntry& entry = table.entries[type];
        // The table holds a send right of its own on each port it names.
        if (target != nullptr) target->sendRights.fetch_add(1);
        entry.behavior.store(behavior);
        entry.flavor.store(flavor);
        const ob_mach_port_t old = entry.port.exchange(port);
        if (old != OB_MACH_PORT_NULL) ob_mach_port_deallocate(ob_mach_task_self(), old);
    }
    // The fault path stops threads through the thread layer.
    obcrash_nasync_threads_setup();
    updateHeldSignals();
    return OB_KERN_SUCCESS;
}

void fillState(const ucontext_t* context, uint32_t* state) {
    const greg_t* g = context->uc_mcontext.gregs;
    const uint64_t csgsfs = static_cast<uint64_t>(g[REG_CSGSFS]);
    const uint64_t values[21] = {
        (uint64_t)g[REG_RAX],    (uint64_t)g[REG_RBX], (uint64_t)g[REG_RCX], (uint64_t)g[REG_RDX],
        (uint64_t)g[REG_RDI],    (uint64_t)g[REG_RSI], (uint64_t)g[REG_RBP], (uint64_t)g[REG_RSP],
        (uint64_t)g[REG_R8],     (uint64_t)g[REG_R9],  (uint64_t)g[REG_R10], (uint64_t)g[REG_R11],
        (uint64_t)g[REG_R12],    (uint64_t)g[REG_R13], (uint64_t)g[REG_R14], (uint64_t)g[REG_R15],
        (uint64_t)g[REG_RIP],    (uint64_t)g[REG_EFL], csgsfs & 0xFFFF,      (csgsfs >> 32) & 0xFFFF,
        (csgsfs >> 16) & 0xFFFF,
    };
    obcrash_async_memcpy(state, values, sizeof(values));
}

// The layout every exception request and reply shares; the parts a form lacks are skipped.
struct RaiseForm {
    int32_t id;
    bool identity;
    bool state;
    bool wideCodes;
};

constexpr uint32_t kMaxCodes = 2;
constexpr size_t kMaxRaiseMessage = sizeof(ob_mach_msg_header_t) + sizeof(ob_mach_msg_body_t) +
                                    2 * sizeof(ob_mach_msg_port_descriptor_t) + sizeof(ob_ndr_record_t) + 8 +
                                    kMaxCodes * 8 + 8 + OB_THREAD_STATE_MAX * 4 + kTrailerSize;

class Writer {
public:
    explicit Writer(uint8_t* buffer) : buffer_(buffer) {}
    template <typename T>
    void put(const T& value) {
        obcrash_async_memcpy(buffer_ + size_, &value, sizeof(T));
        size_ += sizeof(T);
    }
    void putBytes(const void* data, size_t length) {
        obcrash_async_memcpy(buffer_ + size_, data, length);
        size_ += length;
    }
    size_t size() const { return size_; }

private:
    uint8_t* buffer_;
    size_t size_ = 0;
};

// Sends one exception request on a reply port of its own and waits for the answer.
ob_kern_return_t raiseException(ob_mach_port_t port, const RaiseForm& form, ob_thread_t thread, ob_task_t task,
                                int32_t exception, const int64_t* codes, uint32_t codeCount, int32_t* flavor,
                                const uint32_t* oldState, uint32_t oldStateCount, uint32_t* newState,
                                uint32_t* newStateCount) {
    if (codeCount > kMaxCodes || (form.state && oldStateCount > OB_THREAD_STATE_MAX)) return OB_KERN_INVALID_ARGUMENT;
    ErrnoGuard keepErrno;
    alignas(8) uint8_t buffer[kMaxRaiseMessage];
    ob_mach_port_t reply = OB_MACH_PORT_NULL;
    ob_kern_return_t kr = allocatePort(&reply);
    if (kr != OB_KERN_SUCCESS) return kr;

    Writer out(buffer);
    ob_mach_msg_header_t head{};
    head.msgh_bits = OB_MACH_MSGH_BITS(OB_MACH_MSG_TYPE_COPY_SEND, OB_MACH_MSG_TYPE_MAKE_SEND_ONCE) |
                     (form.identity ? OB_MACH_MSGH_BITS_COMPLEX : 0);
    head.msgh_remote_port = port;
    head.msgh_local_port = reply;
    head.msgh_id = form.id;
    out.put(head);
    if (form.identity) {
        out.put(ob_mach_msg_body_t{2});
        out.put(
            ob_mach_msg_port_descriptor_t{static_cast<ob_mach_port_t>(thread), 0, 0, OB_MACH_MSG_TYPE_COPY_SEND, 0});
        out.put(ob_mach_msg_port_descriptor_t{static_cast<ob_mach_port_t>(task), 0, 0, OB_MACH_MSG_TYPE_COPY_SEND, 0});
    }
    out.put(ob_ndr_record);
    out.put(exception);
    out.put(codeCount);
    for (uint32_t i = 0; i < codeCount; ++i) {
        if (form.wideCodes) {
            out.put(codes[i]);
        } else {
            out.put(static_cast<int32_t>(codes[i]));
        }
    }
    if (form.state) {
        out.put(*flavor);
        out.put(oldStateCount);
        out.putBytes(oldState, oldStateCount * 4u);
    }
    reinterpret_cast<ob_mach_msg_header_t*>(buffer)->msgh_size = static_cast<uint32_t>(out.size());

    auto* msg = reinterpret_cast<ob_mach_msg_header_t*>(buffer);
    kr = sendMessage(msg, static_cast<uint32_t>(out.size()));
    if (kr == OB_KERN_SUCCESS) kr = receiveMessage(msg, 0, sizeof(buffer), reply);
    destroyPort(reply);
    if (kr != OB_KERN_SUCCESS) return kr;

    constexpr size_t kRetCodeOffset = sizeof(ob_mach_msg_header_t) + sizeof(ob_ndr_record_t);
    if (msg->msgh_id != form.id + OB_MIG_REPLY_ID_OFFSET || msg->msgh_size < kRetCodeOffset + 4)
        return OB_MIG_REPLY_MISMATCH;
    ob_kern_return_t answer;
    obcrash_async_memcpy(&answer, buffer + kRetCodeOffset, sizeof(answer));
    if (form.state && answer == OB_KERN_SUCCESS) {
        uint32_t count = 0;
        if (msg->msgh_size >= kRetCodeOffset + 12) {
            obcrash_async_memcpy(flavor, buffer + kRetCodeOffset + 4, 4);
            obcrash_async_memcpy(&count, buffer + kRetCodeOffset + 8, 4);
        }
        const uint32_t room = *newStateCount;
        if (count > room || kRetCodeOffset + 12 + count * 4u > msg->msgh_size) count = 0;
        obcrash_async_memcpy(newState, buffer + kRetCodeOffset + 12, count * 4u);
        *newStateCount = count;
    }
    return answer;
}

// Raises an exception with the target's own form of request, as the kernel does for a fault.
ob_kern_return_t raiseForBehavior(ob_mach_port_t port, int32_t behavior, int32_t flavor, int32_t exception,
                                  const int64_t* codes) {
    const bool wide = (behavior & OB_MACH_EXCEPTION_CODES) != 0;
    const int32_t base = behavior & ~OB_MACH_EXCEPTION_CODES;
    const ob_thread_t thread = ob_mach_thread_self();
    const ob_task_t task = ob_mach_task_self();
    if (base == OB_EXCEPTION_DEFAULT) {
        const RaiseForm form{wide ? OB_MACH_EXCEPTION_RAISE_ID : OB_EXCEPTION_RAISE_ID, true, false, wide};
        return raiseException(port, form, thread, task, exception, codes, 2, nullptr, nullptr, 0, nullptr, nullptr);
    }
    uint32_t state[OB_THREAD_STATE_COUNT];
    uint32_t count = OB_THREAD_STATE_COUNT;
    const ob_kern_return_t kr = ob_thread_get_state(thread, flavor, state, &count);
    if (kr != OB_KERN_SUCCESS) return kr;
    uint32_t newState[OB_THREAD_STATE_COUNT];
    uint32_t newCount = OB_THREAD_STATE_COUNT;
    const bool identity = base == OB_EXCEPTION_STATE_IDENTITY;
    const int32_t id = identity
                           ? (wide ? OB_MACH_EXCEPTION_RAISE_STATE_IDENTITY_ID : OB_EXCEPTION_RAISE_STATE_IDENTITY_ID)
                           : (wide ? OB_MACH_EXCEPTION_RAISE_STATE_ID : OB_EXCEPTION_RAISE_STATE_ID);
    return raiseException(port, RaiseForm{id, identity, true, wide}, thread, task, exception, codes, 2, &flavor, state,
                          count, newState, &newCount);
}

// Whether the calling thread is the one that receives on the port, alone or through its set: an
// exception it raised there could never be answered.
bool receivedByCaller(ob_mach_port_t name) {
    const ob_thread_t self = ob_mach_thread_self();
    const PortEntry* port = lookupPort(name);
    if (port == nullptr) return false;
    if (port->receiver.load() == self) return true;
    const PortEntry* set = lookup(port->set.load());
    return set != nullptr && set->receiver.load() == self;
}

bool findTarget(uint32_t exception, ob_mach_port_t* port, int32_t* behavior, int32_t* flavor) {
    const ExceptionTable* tables[2] = {threadTable(ob_mach_thread_self(), false), &taskTable};
    for (const ExceptionTable* table : tables) {
        if (table == nullptr) continue;
        const ExceptionEntry& entry = table->entries[exception];
        const ob_mach_port_t candidate = entry.port.load();
        if (lookupPort(candidate) == nullptr) continue;
        *port = candidate;
        *behavior = entry.behavior.load();
        *flavor = entry.flavor.load();
        return true;
    }
    return false;
}

// Unanswered: the signal's own action takes over, as when the kernel delivers the signal of an
// exception nobody handled. A fault runs its instruction again and meets that action; a trap or a
// sent signal has nothing to run again, so it is sent anew.
void deliverSignal(HeldSignal& held, bool resend) {
    sigaction(held.signo, &held.previous, nullptr);
    held.held = false;
    if (resend) syscall(SYS_tgkill, getpid(), ob_mach_thread_self(), held.signo);
}

void faultHandler(int signo, siginfo_t* info, void* uap) {
    ErrnoGuard keepErrno;
    HeldSignal* held = nullptr;
    for (HeldSignal& candidate : heldSignals) {
        if (candidate.signo == signo) held = &candidate;
    }
    if (held == nullptr) return;
    // The thread that holds the crash is past every handler: the exception server may be stopped
    // by its very report writer, and may be the faulting thread itself.
    if (obcrash_async_crash_guard_is_holder()) obcrash_async_crash_guard_end_process(signo);
    const bool sent = info->si_code <= 0;
    const bool trap = signo == SIGTRAP;
    ob_mach_port_t port;
    int32_t behavior;
    int32_t flavor;
    // A fault of the thread that serves the registered port (the exception server's own) is
    // delivered as the signal at once, as if nobody had answered it.
    if (sent || !findTarget(held->exception, &port, &behavior, &flavor) || receivedByCaller(port)) {
        deliverSignal(*held, sent || trap);
        return;
    }
    int64_t codes[2] = {0, reinterpret_cast<intptr_t>(info->si_addr)};
    switch (signo) {
    case SIGSEGV:
    case SIGBUS:
        codes[0] =
            info->si_code == SEGV_ACCERR && signo == SIGSEGV ? OB_KERN_PROTECTION_FAILURE : OB_KERN_INVALID_ADDRESS;
        break;
    default: codes[0] = info->si_code; break;
    }
    if (obcrash_async_thread_hold(uap) != OBCRASH_OK) {
        deliverSignal(*held, trap);
        return;
    }
    const ob_kern_return_t answer =
        raiseForBehavior(port, behavior, flavor, static_cast<int32_t>(held->exception), codes);
    obcrash_async_thread_release_hold();
    if (answer != OB_KERN_SUCCESS) deliverSignal(*held, trap);
}

}  // namespace

extern "C" {

ob_kern_return_t ob_mach_port_allocate(ob_task_t, uint32_t right, ob_mach_port_t* name) {
    if (right == OB_MACH_PORT_RIGHT_RECEIVE) return allocatePort(name);
    if (right == OB_MACH_PORT_RIGHT_PORT_SET) return claimEntry(kPortSet, -1, -1, name);
    return OB_KERN_INVALID_VALUE;
}

ob_kern_return_t ob_mach_port_insert_right(ob_task_t, ob_mach_port_t name, ob_mach_port_t poly, uint32_t disposition) {
    PortEntry* entry = lookupPort(name);
    if (entry == nullptr) return OB_KERN_INVALID_NAME;
    if (poly != name || disposition != OB_MACH_MSG_TYPE_MAKE_SEND) return OB_KERN_INVALID_VALUE;
    entry->sendRights.fetch_add(1);
    return OB_KERN_SUCCESS;
}

ob_kern_return_t ob_mach_port_mod_refs(ob_task_t, ob_mach_port_t name, uint32_t right, int32_t delta) {
    PortEntry* entry = lookup(name);
    if (entry == nullptr) return OB_KERN_INVALID_NAME;
    if (right == OB_MACH_PORT_RIGHT_RECEIVE || right == OB_MACH_PORT_RIGHT_PORT_SET) {
        const int expected = right == OB_MACH_PORT_RIGHT_RECEIVE ? kPort : kPortSet;
        if (entry->kind.load() != expected) return OB_KERN_INVALID_RIGHT;
        if (delta == 0) return OB_KERN_SUCCESS;
        if (delta != -1) return OB_KERN_INVALID_VALUE;
        destroyPort(name);
        return OB_KERN_SUCCESS;
    }
    if (right != OB_MACH_PORT_RIGHT_SEND || entry->kind.load() != kPort) return OB_KERN_INVALID_RIGHT;
    int64_t current = entry->sendRights.load();
    do {
        if (current + delta < 0) return OB_KERN_INVALID_VALUE;
    } while (!entry->sendRights.compare_exchange_weak(current, current + delta));
    if (delta < 0 && current + delta == 0) {
        const ob_mach_port_t notify = entry->noSendersNotify.exchange(OB_MACH_PORT_NULL);
        if (notify != OB_MACH_PORT_NULL) sendNoSenders(name, notify);
    }
    return OB_KERN_SUCCESS;
}

ob_kern_return_t ob_mach_port_deallocate(ob_task_t task, ob_mach_port_t name) {
    return ob_mach_port_mod_refs(task, name, OB_MACH_PORT_RIGHT_SEND, -1);
}

ob_kern_return_t ob_mach_port_request_notification(ob_task_t, ob_mach_port_t name, int32_t variant,
                                                   ob_mach_port_t notify) {
    PortEntry* entry = lookupPort(name);
    if (entry == nullptr) return OB_KERN_INVALID_NAME;
    if (variant != OB_MACH_NOTIFY_NO_SENDERS || lookupPort(notify) == nullptr) return OB_KERN_INVALID_VALUE;
    entry->noSendersNotify.store(notify);
    return OB_KERN_SUCCESS;
}

ob_kern_return_t ob_mach_port_move_member(ob_task_t, ob_mach_port_t member, ob_mach_port_t set) {
    PortEntry* entry = lookupPort(member);
    if (entry == nullptr) return OB_KERN_INVALID_NAME;
    PortEntry* target = lookup(set);
    if (set != OB_MACH_PORT_NULL && (target == nullptr || target->kind.load() != kPortSet)) return OB_KERN_INVALID_NAME;
    entry->set.store(set);
    return OB_KERN_SUCCESS;
}

int64_t ob_mach_port_send_rights(ob_mach_port_t name) {
    PortEntry* entry = lookupPort(name);
    return entry == nullptr ? -1 : entry->sendRights.load();
}

ob_kern_return_t ob_mach_msg(ob_mach_msg_header_t* msg, uint32_t option, uint32_t send_size, uint32_t rcv_size,
                             ob_mach_port_t rcv_name) {
    ErrnoGuard keepErrno;
    if ((option & OB_MACH_SEND_MSG) != 0) {
        const ob_kern_return_t kr = sendMessage(msg, send_size);
        if (kr != OB_KERN_SUCCESS) return kr;
    }
    if ((option & OB_MACH_RCV_MSG) != 0) return receiveMessage(msg, option, rcv_size, rcv_name);
    return OB_KERN_SUCCESS;
}

ob_kern_return_t ob_task_get_exception_ports(ob_task_t task, uint32_t mask, uint32_t* masks, uint32_t* count,
                                             ob_mach_port_t* out, int32_t* behaviors, int32_t* flavors) {
    if (task != ob_mach_task_self()) return OB_KERN_INVALID_ARGUMENT;
    if ((mask & ~OB_EXC_MASK_ALL) != 0) return OB_KERN_INVALID_ARGUMENT;
    std::lock_guard lock(tablesLock);
    getPorts(taskTable, mask, masks, count, out, behaviors, flavors);
    return OB_KERN_SUCCESS;
}

ob_kern_return_t ob_thread_get_exception_ports(ob_thread_t thread, uint32_t mask, uint32_t* masks, uint32_t* count,
                                               ob_mach_port_t* out, int32_t* behaviors, int32_t* flavors) {
    if ((mask & ~OB_EXC_MASK_ALL) != 0) return OB_KERN_INVALID_ARGUMENT;
    std::lock_guard lock(tablesLock);
    static const ExceptionTable empty;
    const ExceptionTable* table = threadTable(thread, false);
    getPorts(table != nullptr ? *table : empty, mask, masks, count, out, behaviors, flavors);
    return OB_KERN_SUCCESS;
}

ob_kern_return_t ob_task_swap_exception_ports(ob_task_t task, uint32_t mask, ob_mach_port_t port, int32_t behavior,
                                              int32_t flavor, uint32_t* masks, uint32_t* count, ob_mach_port_t* out,
                                              int32_t* behaviors, int32_t* flavors) {
    if (task != ob_mach_task_self()) return OB_KERN_INVALID_ARGUMENT;
    std::lock_guard lock(tablesLock);
    return swapPorts(taskTable, mask, port, behavior, flavor, masks, count, out, behaviors, flavors);
}

ob_kern_return_t ob_thread_swap_exception_ports(ob_thread_t thread, uint32_t mask, ob_mach_port_t port,
                                                int32_t behavior, int32_t flavor, uint32_t* masks, uint32_t* count,
                                                ob_mach_port_t* out, int32_t* behaviors, int32_t* flavors) {
    std::lock_guard lock(tablesLock);
    ExceptionTable* table = threadTable(thread, true);
    if (table == nullptr) return OB_KERN_RESOURCE_SHORTAGE;
    return swapPorts(*table, mask, port, behavior, flavor, masks, count, out, behaviors, flavors);
}

ob_kern_return_t ob_thread_get_state(ob_thread_t thread, int32_t flavor, uint32_t* state, uint32_t* count) {
    if (flavor != OB_THREAD_STATE_FLAVOR || *count < OB_THREAD_STATE_COUNT) return OB_KERN_INVALID_ARGUMENT;
    const auto* context = static_cast<const ucontext_t*>(obcrash_async_thread_saved_context(thread));
    if (context == nullptr) return OB_KERN_FAILURE;
    fillState(context, state);
    *count = OB_THREAD_STATE_COUNT;
    return OB_KERN_SUCCESS;
}

ob_kern_return_t ob_exception_raise(ob_mach_port_t port, ob_thread_t thread, ob_task_t task, int32_t exception,
                                    const int32_t* codes, uint32_t code_count) {
    if (code_count > kMaxCodes) return OB_KERN_INVALID_ARGUMENT;
    int64_t wide[kMaxCodes] = {};
    for (uint32_t i = 0; i < code_count; ++i) wide[i] = codes[i];
    return raiseException(port, RaiseForm{OB_EXCEPTION_RAISE_ID, true, false, false}, thread, task, exception, wide,
                          code_count, nullptr, nullptr, 0, nullptr, nullptr);
}

ob_kern_return_t ob_exception_raise_state(ob_mach_port_t port, int32_t exception, const int32_t* codes,
                                          uint32_t code_count, int32_t* flavor, const uint32_t* old_state,
                                          uint32_t old_state_count, uint32_t* new_state, uint32_t* new_state_count) {
    if (code_count > kMaxCodes) return OB_KERN_INVALID_ARGUMENT;
    int64_t wide[kMaxCodes] = {};
    for (uint32_t i = 0; i < code_count; ++i) wide[i] = codes[i];
    return raiseException(port, RaiseForm{OB_EXCEPTION_RAISE_STATE_ID, false, true, false}, 0, 0, exception, wide,
                          code_count, flavor, old_state, old_state_count, new_state, new_state_count);
}

ob_kern_return_t ob_exception_raise_state_identity(ob_mach_port_t port, ob_thread_t thread, ob_task_t task,
                                                   int32_t exception, const int32_t* codes, uint32_t code_count,
                                                   int32_t* flavor, const uint32_t* old_state, uint32_t old_state_count,
                                                   uint32_t* new_state, uint32_t* new_state_count) {
    if (code_count > kMaxCodes) return OB_KERN_INVALID_ARGUMENT;
    int64_t wide[kMaxCodes] = {};
    for (uint32_t i = 0; i < code_count; ++i) wide[i] = codes[i];
    return raiseException(port, RaiseForm{OB_EXCEPTION_RAISE_STATE_IDENTITY_ID, true, true, false}, thread, task,
                          exception, wide, code_count, flavor, old_state, old_state_count, new_state, new_state_count);
}

}  // extern "C"
