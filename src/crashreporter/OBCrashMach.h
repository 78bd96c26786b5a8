#pragma once
// A small Mach layer of our own, enough for the exception server: ports, send rights and
// port sets, messages, exception-port tables for the task and its threads, and the kernel's share
// of exception delivery.
//
// A port is a SOCK_SEQPACKET socket pair, so each message keeps its boundaries. Its send rights are
// counted, and a no-senders notification is sent when the last goes. A port set is a poll over
// the receive ends of its members. While an exception-port table covers an exception, the layer
// holds the signals the processor raises for it; a fault then stops the faulting thread, sends an
// exception request to the registered port and waits for the reply, as the kernel would.
//
// Sending, receiving, the raise calls and the fault path are async-signal-safe; allocating ports
// and changing the tables are for ordinary threads.
#include <stdbool.h>
#include <stdint.h>

#include "OBCrashAsync.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ob_mach_port_t;
typedef int ob_kern_return_t;

#define OB_MACH_PORT_NULL ((ob_mach_port_t)0)
#define OB_MACH_PORT_DEAD ((ob_mach_port_t)~0u)

#define OB_KERN_SUCCESS 0
#define OB_KERN_INVALID_ADDRESS 1
#define OB_KERN_PROTECTION_FAILURE 2
#define OB_KERN_NO_SPACE 3
#define OB_KERN_INVALID_ARGUMENT 4
#define OB_KERN_FAILURE 5
#define OB_KERN_RESOURCE_SHORTAGE 6
#define OB_KERN_INVALID_NAME 15
#define OB_KERN_INVALID_RIGHT 17
#define OB_KERN_INVALID_VALUE 18
#define OB_MACH_SEND_INVALID_DEST 0x10000003
#define OB_MACH_RCV_INVALID_NAME 0x10004002
#define OB_MACH_RCV_TOO_LARGE 0x10004004
#define OB_MACH_RCV_INTERRUPTED 0x10004005
#define OB_MIG_REPLY_MISMATCH (-301)

#define OB_MACH_SEND_MSG 0x1
#define OB_MACH_RCV_MSG 0x2
#define OB_MACH_RCV_LARGE 0x4

#define OB_MACH_PORT_RIGHT_SEND 0
#define OB_MACH_PORT_RIGHT_RECEIVE 1
#define OB_MACH_PORT_RIGHT_PORT_SET 3

#define OB_MACH_MSG_TYPE_MOVE_SEND 17
#define OB_MACH_MSG_TYPE_MOVE_SEND_ONCE 18
#define OB_MACH_MSG_TYPE_COPY_SEND 19
#define OB_MACH_MSG_TYPE_MAKE_SEND 20
#define OB_MACH_MSG_TYPE_MAKE_SEND_ONCE 21
#define OB_MACH_MSGH_BITS(remote, local) ((uint32_t)(remote) | ((uint32_t)(local) << 8))
#define OB_MACH_MSGH_BITS_REMOTE_MASK 0x1Fu
#define OB_MACH_MSGH_BITS_COMPLEX 0x80000000u

#define OB_MACH_NOTIFY_NO_SENDERS 70

#define OB_EXC_TYPES_COUNT 14
#define OB_EXC_MASK_BAD_ACCESS (1u << 1)
#define OB_EXC_MASK_BAD_INSTRUCTION (1u << 2)
#define OB_EXC_MASK_ARITHMETIC (1u << 3)
#define OB_EXC_MASK_SOFTWARE (1u << 5)
#define OB_EXC_MASK_BREAKPOINT (1u << 6)
#define OB_EXC_MASK_GUARD (1u << 12)
#define OB_EXC_MASK_ALL 0x3FFEu

#define OB_EXCEPTION_DEFAULT 1
#define OB_EXCEPTION_STATE 2
#define OB_EXCEPTION_STATE_IDENTITY 3
#define OB_MACH_EXCEPTION_CODES ((int32_t)0x80000000)

/* The running machine's thread state: x86-64's, 42 words. */
#define OB_THREAD_STATE_FLAVOR 4
#define OB_THREAD_STATE_COUNT 42
#define OB_THREAD_STATE_MAX 1296

/* Message ids of the exception requests; a reply's id is the request's plus 100. */
#define OB_EXCEPTION_RAISE_ID 2401
#define OB_EXCEPTION_RAISE_STATE_ID 2402
#define OB_EXCEPTION_RAISE_STATE_IDENTITY_ID 2403
#define OB_MACH_EXCEPTION_RAISE_ID 2405
#define OB_MACH_EXCEPTION_RAISE_STATE_ID 2406
#define OB_MACH_EXCEPTION_RAISE_STATE_IDENTITY_ID 2407
#define OB_MIG_REPLY_ID_OFFSET 100

#pragma pack(push, 4)
typedef struct {
    uint32_t msgh_bits;
    uint32_t msgh_size;
    ob_mach_port_t msgh_remote_port;
    ob_mach_port_t msgh_local_port;
    uint32_t msgh_voucher_port;
    int32_t msgh_id;
} ob_mach_msg_header_t;

typedef struct {
    uint32_t msgh_descriptor_count;
} ob_mach_msg_body_t;

typedef struct {
    ob_mach_port_t name;
    uint32_t pad1;
    uint16_t pad2;
    uint8_t disposition;
    uint8_t type;
} ob_mach_msg_port_descriptor_t;

typedef struct {
    uint8_t mig_vers, if_vers, reserved1, mig_encoding, int_rep, char_rep, float_rep, reserved2;
} ob_ndr_record_t;

/* Written after every received message, inside the receive buffer. */
typedef struct {
    uint32_t msgh_trailer_type;
    uint32_t msgh_trailer_size;
} ob_mach_msg_trailer_t;

/* An exception request with 64-bit codes as the server receives it; the codes follow, then the
 * trailer. */
typedef struct {
    ob_mach_msg_header_t head;
    ob_mach_msg_body_t body;
    ob_mach_msg_port_descriptor_t thread;
    ob_mach_msg_port_descriptor_t task;
    ob_ndr_record_t ndr;
    int32_t exception;
    uint32_t code_count;
    int64_t code[];
} ob_exception_request_t;

typedef struct {
    ob_mach_msg_header_t head;
    ob_ndr_record_t ndr;
    ob_kern_return_t ret_code;
} ob_exception_reply_t;
#pragma pack(pop)

extern const ob_ndr_record_t ob_ndr_record;

/* Ports and rights. The task argument is this process (ob_mach_task_self()). */
ob_kern_return_t ob_mach_port_allocate(ob_task_t task, uint32_t right, ob_mach_port_t* name);
ob_kern_return_t ob_mach_port_insert_right(ob_task_t task, ob_mach_port_t name, ob_mach_port_t poly,
                                           uint32_t disposition);
/* SEND: adds `delta` send rights. RECEIVE or PORT_SET with -1: destroys the port or the set. */
ob_kern_return_t ob_mach_port_mod_refs(ob_task_t task, ob_mach_port_t name, uint32_t right, int32_t delta);
/* Drops one send right. */
ob_kern_return_t ob_mach_port_deallocate(ob_task_t task, ob_mach_port_t name);
/* Only MACH_NOTIFY_NO_SENDERS: sent once to `notify` when the port's last send right goes. */
ob_kern_return_t ob_mach_port_request_notification(ob_task_t task, ob_mach_port_t name, int32_t variant,
                                                   ob_mach_port_t notify);
ob_kern_return_t ob_mach_port_move_member(ob_task_t task, ob_mach_port_t member, ob_mach_port_t set);
/* How many send rights the port has; -1 for a name that is no port. */
int64_t ob_mach_port_send_rights(ob_mach_port_t name);

/* Sends `send_size` bytes to the header's remote port (OB_MACH_SEND_MSG), then receives on
 * `rcv_name`, a port or a set (OB_MACH_RCV_MSG), blocking without limit. A received message
 * larger than `rcv_size` with its trailer gives OB_MACH_RCV_TOO_LARGE and its whole size in
 * msgh_size; with OB_MACH_RCV_LARGE it stays queued, otherwise it is dropped. */
ob_kern_return_t ob_mach_msg(ob_mach_msg_header_t* msg, uint32_t option, uint32_t send_size, uint32_t rcv_size,
                             ob_mach_port_t rcv_name);

/* Exception-port tables: one for the task and one for each thread, an entry for each of the 14
 * exception types. Get lists the distinct registrations of the types in `mask`, each with a send
 * right the caller owns; `*count` gives the room of the arrays and receives how many were
 * filled. Swap does the same for the registrations it replaces. */
ob_kern_return_t ob_task_get_exception_ports(ob_task_t task, uint32_t mask, uint32_t* masks, uint32_t* count,
                                             ob_mach_port_t* ports, int32_t* behaviors, int32_t* flavors);
ob_kern_return_t ob_thread_get_exception_ports(ob_thread_t thread, uint32_t mask, uint32_t* masks, uint32_t* count,
                                               ob_mach_port_t* ports, int32_t* behaviors, int32_t* flavors);
ob_kern_return_t ob_task_swap_exception_ports(ob_task_t task, uint32_t mask, ob_mach_port_t port, int32_t behavior,
                                              int32_t flavor, uint32_t* masks, uint32_t* count, ob_mach_port_t* ports,
                                              int32_t* behaviors, int32_t* flavors);
ob_kern_return_t ob_thread_swap_exception_ports(ob_thread_t thread, uint32_t mask, ob_mach_port_t port,
                                                int32_t behavior, int32_t flavor, uint32_t* masks, uint32_t* count,
                                                ob_mach_port_t* ports, int32_t* behaviors, int32_t* flavors);

/* The registers of a thread held in an exception or stopped by the thread layer. */
ob_kern_return_t ob_thread_get_state(ob_thread_t thread, int32_t flavor, uint32_t* state, uint32_t* count);

/* The exception requests with 32-bit codes, as a previous handler receives them; each waits for
 * the handler's reply and returns its code. The state forms return the state the handler hands
 * back in `new_state`. */
ob_kern_return_t ob_exception_raise(ob_mach_port_t port, ob_thread_t thread, ob_task_t task, int32_t exception,
                                    const int32_t* codes, uint32_t code_count);
ob_kern_return_t ob_exception_raise_state(ob_mach_port_t port, int32_t exception, const int32_t* codes,
                                          uint32_t code_count, int32_t* flavor, const uint32_t* old_state,
                                          uint32_t old_state_count, uint32_t* new_state, uint32_t* new_state_count);
ob_kern_return_t ob_exception_raise_state_identity(ob_mach_port_t port, ob_thread_t thread, ob_task_t task,
                                                   int32_t exception, const int32_t* codes, uint32_t code_count,
                                                   int32_t* flavor, const uint32_t* old_state, uint32_t old_state_count,
                                                   uint32_t* new_state, uint32_t* new_state_count);

#ifdef __cplusplus
}
#endif
