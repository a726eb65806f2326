#pragma once
// A small in-process stand-in for the desktop platform's kernel ports and messages: port names
// with receive and send rights, port sets, queued messages with the platform's header layout,
// no-senders notifications, and the task's exception-port registrations. It exists so that the
// crash layer's exception server and its forwarding can run here; messages only travel between
// threads of this process, and no fault is ever turned into a message by the system itself.
// Calls take a lock: not for signal handlers.

#include <cstdint>

namespace sys::mach {

using mach_port_t = std::uint32_t;
using kern_return_t = int;
using exception_mask_t = std::uint32_t;
using exception_behavior_t = int;
using thread_state_flavor_t = int;

constexpr mach_port_t MACH_PORT_NULL = 0;
constexpr mach_port_t MACH_PORT_DEAD = 0xFFFFFFFF;
constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
constexpr kern_return_t KERN_FAILURE = 5;
constexpr kern_return_t KERN_NO_SPACE = 3;
constexpr kern_return_t KERN_INVALID_NAME = 15;
constexpr kern_return_t KERN_INVALID_RIGHT = 17;
constexpr kern_return_t MACH_SEND_INVALID_DEST = 0x10000003;
constexpr kern_return_t MACH_RCV_TIMED_OUT = 0x10004003;
constexpr kern_return_t MACH_RCV_TOO_LARGE = 0x10004004;
constexpr kern_return_t MACH_RCV_INVALID_NAME = 0x10004002;

constexpr int MACH_PORT_RIGHT_RECEIVE = 1;
constexpr int MACH_PORT_RIGHT_PORT_SET = 3;
constexpr int MACH_PORT_RIGHT_SEND = 0;
constexpr int MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
constexpr int MACH_MSG_TYPE_COPY_SEND = 19;
constexpr int MACH_MSG_TYPE_MAKE_SEND = 20;
constexpr int MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
constexpr int MACH_NOTIFY_NO_SENDERS = 70;

constexpr std::uint32_t MACH_SEND_MSG = 0x1;
constexpr std::uint32_t MACH_RCV_MSG = 0x2;
constexpr std::uint32_t MACH_RCV_LARGE = 0x4;
constexpr std::uint32_t MACH_RCV_TIMEOUT = 0x100;

constexpr std::uint32_t EXC_TYPES_COUNT = 14;

// The platform's message header: 24 bytes.
struct mach_msg_header_t {
    std::uint32_t msgh_bits;
    std::uint32_t msgh_size;
    mach_port_t msgh_remote_port;
    mach_port_t msgh_local_port;
    std::uint32_t msgh_voucher_port;
    std::int32_t msgh_id;
};
static_assert(sizeof(mach_msg_header_t) == 24);

mach_port_t mach_task_self();
kern_return_t mach_port_allocate(mach_port_t task, int right, mach_port_t* name);
kern_return_t mach_port_insert_right(mach_port_t task, mach_port_t name, mach_port_t poly, int disposition);
kern_return_t mach_port_mod_refs(mach_port_t task, mach_port_t name, int right, int delta);
kern_return_t mach_port_deallocate(mach_port_t task, mach_port_t name);
// Releases the receive right (and the port with it).
kern_return_t mach_port_mod_receive_release(mach_port_t task, mach_port_t name);
kern_return_t mach_port_request_notification(mach_port_t task, mach_port_t name, int variant, std::uint32_t sync, mach_port_t notify, int disposition, mach_port_t* previous);
kern_return_t mach_port_move_member(mach_port_t task, mach_port_t member, mach_port_t set);
// Sends and/or receives. Receiving waits for a message on `rcv_name` (a port or a port set), at
// most `timeout_ms` with MACH_RCV_TIMEOUT. A message larger than `rcv_size` stays queued and
// MACH_RCV_TOO_LARGE is returned with its size in the header, when MACH_RCV_LARGE is given.
kern_return_t mach_msg(mach_msg_header_t* msg, std::uint32_t option, std::uint32_t send_size, std::uint32_t rcv_size, mach_port_t rcv_name, std::uint32_t timeout_ms, mach_port_t notify);
// The number of send references on a port (for tests).
int mach_port_send_refs(mach_port_t name);

kern_return_t task_get_exception_ports(mach_port_t task, exception_mask_t mask, exception_mask_t* masks, std::uint32_t* count, mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors);
kern_return_t task_swap_exception_ports(mach_port_t task, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior, thread_state_flavor_t flavor,
    exception_mask_t* masks, std::uint32_t* count, mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors);

} // namespace sys::mach
