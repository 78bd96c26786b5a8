#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "ForkedChild.h"
#include "crashreporter/OBCrashAsyncThreadState.h"
#include "crashreporter/OBCrashMachExceptionServer.h"

using namespace obcrash;
using crashtest::report;
using crashtest::runInChild;

namespace {

// The server's callback as the reporter makes it: the exception goes to the handlers registered
// before, and only when none handles it is a report "written".
struct ReporterStandIn {
    std::shared_ptr<OBCrashMachExceptionPortSet> previous;
    std::atomic<int> calls{0};
};

ob_kern_return_t reporterCallback(ob_task_t task, ob_thread_t thread, int32_t type, const int64_t* codes,
                                  uint32_t count, void* context) {
    auto* reporter = static_cast<ReporterStandIn*>(context);
    reporter->calls.fetch_add(1);
    const auto* previous = reporter->previous ? &reporter->previous->asyncSafeRepresentation() : nullptr;
    if (OBCrashMachExceptionForward(task, thread, type, codes, count, previous) == OB_KERN_SUCCESS)
        return OB_KERN_SUCCESS;
    obcrash_async_thread_state_t state;
    const bool stateFound = obcrash_async_thread_state_mach_thread_init(&state, thread) == OBCRASH_OK &&
                            obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RIP) != 0;
    report(stateFound ? "written-with-state;" : "written-without-state;");
    return OB_KERN_FAILURE;
}

#pragma pack(push, 4)
struct Raise32Request {
    ob_mach_msg_header_t head;
    ob_mach_msg_body_t body;
    ob_mach_msg_port_descriptor_t thread;
    ob_mach_msg_port_descriptor_t task;
    ob_ndr_record_t ndr;
    int32_t exception;
    uint32_t code_count;
    int32_t code[2];
    ob_mach_msg_trailer_t trailer;
};
#pragma pack(pop)

void* guardedPage = nullptr;

// A handler registered before the reporter's, for bad access, with 32-bit codes: it makes the page
// readable and answers that it dealt with the fault.
void previousHandler(ob_mach_port_t port) {
    Raise32Request request{};
    if (ob_mach_msg(&request.head, OB_MACH_RCV_MSG, 0, sizeof(request), port) != OB_KERN_SUCCESS) return;
    if (request.head.msgh_id == OB_EXCEPTION_RAISE_ID && request.exception == 1 && request.code_count == 2 &&
        request.code[0] == OB_KERN_PROTECTION_FAILURE) {
        mprotect(guardedPage, 4096, PROT_READ);
    }
    ob_exception_reply_t reply{};
    reply.head.msgh_bits = request.head.msgh_bits & OB_MACH_MSGH_BITS_REMOTE_MASK;
    reply.head.msgh_remote_port = request.head.msgh_remote_port;
    reply.head.msgh_id = request.head.msgh_id + OB_MIG_REPLY_ID_OFFSET;
    reply.ret_code = OB_KERN_SUCCESS;
    ob_mach_msg(&reply.head, OB_MACH_SEND_MSG, sizeof(reply), 0, OB_MACH_PORT_NULL);
}

// Registers a previous handler with `behavior`, then the server, and reads a page nobody may read.
void faultBehindPreviousHandler(int32_t behavior) {
    const ob_task_t task = ob_mach_task_self();
    ob_mach_port_t previousPort;
    ob_mach_port_allocate(task, OB_MACH_PORT_RIGHT_RECEIVE, &previousPort);
    ob_mach_port_insert_right(task, previousPort, previousPort, OB_MACH_MSG_TYPE_MAKE_SEND);
    OBCrashMachExceptionPort previous(previousPort, OB_EXC_MASK_BAD_ACCESS, behavior, OB_THREAD_STATE_FLAVOR);
    if (!previous.registerForTask(task, nullptr, nullptr)) _exit(5);
    std::thread handler(previousHandler, previousPort);
    handler.detach();

    static ReporterStandIn reporter;
    OBCrashReporterError error;
    static auto server = OBCrashMachExceptionServer::initWithCallBack(reporterCallback, &reporter, &error);
    auto port = server->exceptionPortWithMask(obcrashMachExceptionMask(OBCrashHostInfo::fromRelease("6.1.0")), &error);
    if (!port || !port->registerForTask(task, &reporter.previous, &error)) _exit(6);

    guardedPage = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const int value = *static_cast<volatile int*>(guardedPage);
    report(value == 0 && reporter.calls.load() == 1 ? "went-on;" : "went-on-oddly;");
}

}  // namespace

// A fault first goes to the handlers registered before the server's; one that takes 32-bit codes
// and answers success lets the faulting thread run on without a report. One that wants 64-bit
// codes is never offered the exception: the report is written, and the fault then ends the
// process by its own signal.
TEST(MachExceptionServerTest, FaultsGoToEarlierHandlersFirst) {
    auto handled = runInChild([] { faultBehindPreviousHandler(OB_EXCEPTION_DEFAULT); });
    EXPECT_TRUE(handled.exitedCleanly()) << handled.status;
    EXPECT_EQ(handled.reported, "went-on;");

    auto unhandled = runInChild([] { faultBehindPreviousHandler(OB_EXCEPTION_DEFAULT | OB_MACH_EXCEPTION_CODES); });
    EXPECT_TRUE(unhandled.killedBy(SIGSEGV)) << unhandled.status;
    EXPECT_EQ(unhandled.reported, "written-with-state;");
}

namespace {

struct Counting {
    std::atomic<int> calls{0};
    std::atomic<int64_t> lastCode{0};
};

ob_kern_return_t countingCallback(ob_task_t, ob_thread_t, int32_t, const int64_t* codes, uint32_t count,
                                  void* context) {
    auto* counting = static_cast<Counting*>(context);
    counting->calls.fetch_add(1);
    counting->lastCode.store(codes[count - 1]);
    return OB_KERN_SUCCESS;
}

// Sends `size` bytes of an exception request with `codeCount` codes and returns the reply.
ob_exception_reply_t request(ob_mach_port_t server, ob_mach_port_t replyPort, int32_t id, uint32_t size,
                             uint32_t codeCount, bool awaitReply = true) {
    std::string bytes(std::max<size_t>(size, sizeof(ob_exception_request_t)), '\0');
    auto* message = reinterpret_cast<ob_exception_request_t*>(bytes.data());
    message->head.msgh_bits = OB_MACH_MSGH_BITS(OB_MACH_MSG_TYPE_COPY_SEND, OB_MACH_MSG_TYPE_MAKE_SEND_ONCE);
    message->head.msgh_remote_port = server;
    message->head.msgh_local_port = replyPort;
    message->head.msgh_id = id;
    message->exception = 1;
    message->code_count = codeCount;
    for (uint32_t i = 0; sizeof(ob_exception_request_t) + (i + 1) * 8 <= size; ++i) {
        const int64_t code = 1000 + i;
        std::memcpy(bytes.data() + sizeof(ob_exception_request_t) + i * 8, &code, 8);
    }
    struct {
        ob_exception_reply_t reply;
        ob_mach_msg_trailer_t trailer;
    } received{};
    EXPECT_EQ(ob_mach_msg(&message->head, OB_MACH_SEND_MSG, size, 0, OB_MACH_PORT_NULL), OB_KERN_SUCCESS);
    if (awaitReply) {
        EXPECT_EQ(ob_mach_msg(&received.reply.head, OB_MACH_RCV_MSG, 0, sizeof(received), replyPort), OB_KERN_SUCCESS);
    }
    return received.reply;
}

}  // namespace

// Requests as anybody may send them: too short ones are refused without the callback, a code count
// past the buffer is dropped, one larger than the first buffer is received whole, and every reply
// carries the request's id plus 100. Releasing the server returns once its thread is gone.
TEST(MachExceptionServerTest, ServerAnswersRequestsAndStopsOnRelease) {
    const ob_task_t task = ob_mach_task_self();
    Counting counting;
    OBCrashReporterError error;
    auto server = OBCrashMachExceptionServer::initWithCallBack(countingCallback, &counting, &error);
    ASSERT_TRUE(server) << error.description;
    auto port = server->exceptionPortWithMask(OB_EXC_MASK_BAD_ACCESS, &error);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->behavior(), OB_EXCEPTION_DEFAULT | OB_MACH_EXCEPTION_CODES);
    EXPECT_EQ(port->flavor(), 4);
    // The server's own right and the registration's.
    EXPECT_EQ(ob_mach_port_send_rights(port->server_port()), 2);
    ob_mach_port_t replyPort;
    ASSERT_EQ(ob_mach_port_allocate(task, OB_MACH_PORT_RIGHT_RECEIVE, &replyPort), OB_KERN_SUCCESS);

    auto shortReply = request(port->server_port(), replyPort, OB_MACH_EXCEPTION_RAISE_ID, 60, 0);
    EXPECT_EQ(shortReply.ret_code, OB_KERN_FAILURE);
    EXPECT_EQ(shortReply.head.msgh_size, 36u);
    EXPECT_EQ(counting.calls.load(), 0);

    request(port->server_port(), replyPort, OB_MACH_EXCEPTION_RAISE_ID, 84, 0x10000000, false);
    auto reply = request(port->server_port(), replyPort, OB_MACH_EXCEPTION_RAISE_ID, 84, 2);
    EXPECT_EQ(reply.head.msgh_id, 2505);
    EXPECT_EQ(reply.ret_code, OB_KERN_SUCCESS);
    EXPECT_EQ(counting.calls.load(), 1);
    EXPECT_EQ(counting.lastCode.load(), 1001);

    const uint32_t largeCodes = 1000;
    const uint32_t largeSize = sizeof(ob_exception_request_t) + largeCodes * 8;
    auto largeReply = request(port->server_port(), replyPort, OB_MACH_EXCEPTION_RAISE_ID, largeSize, largeCodes);
    EXPECT_EQ(largeReply.ret_code, OB_KERN_SUCCESS);
    EXPECT_EQ(counting.lastCode.load(), 1000 + largeCodes - 1);

    const ob_thread_t serverThread = server->serverThread();
    const std::string threadPath = "/proc/self/task/" + std::to_string(serverThread);
    ASSERT_TRUE(std::filesystem::exists(threadPath));
    const ob_mach_port_t serverPort = port->server_port();
    port.reset();
    server.reset();
    // A detached thread is gone from the task listing shortly after it returns.
    for (int i = 0; i < 200 && std::filesystem::exists(threadPath); ++i) usleep(5000);
    EXPECT_FALSE(std::filesystem::exists(threadPath));
    EXPECT_EQ(ob_mach_port_send_rights(serverPort), -1);
    ob_mach_port_mod_refs(task, replyPort, OB_MACH_PORT_RIGHT_RECEIVE, -1);
}

namespace {

ob_kern_return_t faultingCallback(ob_task_t, ob_thread_t, int32_t, const int64_t*, uint32_t, void*) {
    report("callback;");
    crashtest::badAccess();
    return OB_KERN_FAILURE;
}

}  // namespace

// The server's thread faults while it handles a fault. Its own exception would go to the port only
// it serves; it must instead end the process by its signal, in every run.
TEST(MachExceptionServerTest, AFaultOfTheServersThreadEndsTheProcess) {
    constexpr unsigned kDeadlineSeconds = 10;
    for (int run = 0; run < 20; ++run) {
        auto child = runInChild(
            [] {
                OBCrashReporterError error;
                static auto server = OBCrashMachExceptionServer::initWithCallBack(faultingCallback, nullptr, &error);
                auto port = server ? server->exceptionPortWithMask(OB_EXC_MASK_BAD_ACCESS, &error) : nullptr;
                if (!port || !port->registerForTask(ob_mach_task_self(), nullptr, &error)) _exit(5);
                crashtest::badAccess();
            },
            kDeadlineSeconds);
        ASSERT_TRUE(child.killedBy(SIGSEGV)) << "run " << run << ", status " << child.status;
        ASSERT_EQ(child.reported, "callback;");
    }
}
