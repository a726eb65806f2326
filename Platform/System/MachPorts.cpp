#include "Platform/System/MachPorts.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace sys::mach {

namespace {

struct Port {
    bool isSet = false;
    bool hasReceive = false;
    int sendRefs = 0;
    mach_port_t set = MACH_PORT_NULL;               // the port set it belongs to
    mach_port_t noSendersNotify = MACH_PORT_NULL;   // where "no more senders" goes
    std::deque<std::vector<std::uint8_t>> queue;
};

struct Registration {
    mach_port_t port = MACH_PORT_NULL;
    exception_behavior_t behavior = 0;
    thread_state_flavor_t flavor = 0;
};

struct Space {
    std::mutex mutex;
    std::condition_variable arrived;
    std::map<mach_port_t, Port> ports;
    mach_port_t nextName = 0x103;
    Registration exceptions[EXC_TYPES_COUNT];
};

Space& space()
{
    static auto* s = new Space();
    return *s;
}

void enqueue(Space& s, mach_port_t name, std::vector<std::uint8_t> message)
{
    s.ports[name].queue.push_back(std::move(message));
    s.arrived.notify_all();
}

// Called with the lock held when a port's send references reach zero.
void senderGone(Space& s, mach_port_t name)
{
    Port& port = s.ports[name];
    if (port.sendRefs > 0 || port.noSendersNotify == MACH_PORT_NULL)
        return;
    const mach_port_t notify = port.noSendersNotify;
    port.noSendersNotify = MACH_PORT_NULL;
    if (!s.ports.count(notify))
        return;
    mach_msg_header_t header {};
    header.msgh_size = 32;
    header.msgh_remote_port = notify;
    header.msgh_id = MACH_NOTIFY_NO_SENDERS;
    std::vector<std::uint8_t> message(32, 0);
    std::memcpy(message.data(), &header, sizeof header);
    enqueue(s, notify, std::move(message));
}

// The first port with a queued message among `name` and, for a set, its members.
Port* readyPort(Space& s, mach_port_t name, mach_port_t* which)
{
    auto it = s.ports.find(name);
    if (it == s.ports.end())
        return nullptr;
    if (!it->second.isSet) {
        *which = name;
        return it->second.queue.empty() ? nullptr : &it->second;
    }
    for (auto& [member, port] : s.ports) {
        if (port.set == name && !port.queue.empty()) {
            *which = member;
            return &port;
        }
    }
    return nullptr;
}

} // namespace

mach_port_t mach_task_self()
{
    return 0x203;
}

kern_return_t mach_port_allocate(mach_port_t, int right, mach_port_t* name)
{
    if (right != MACH_PORT_RIGHT_RECEIVE && right != MACH_PORT_RIGHT_PORT_SET)
        return KERN_INVALID_ARGUMENT;
    Space& s = space();
    std::lock_guard lock(s.mutex);
    if (s.ports.size() >= 4096)
        return KERN_NO_SPACE;
    const mach_port_t allocated = s.nextName;
    s.nextName += 0x100;
    Port& port = s.ports[allocated];
    port.isSet = right == MACH_PORT_RIGHT_PORT_SET;
    port.hasReceive = !port.isSet;
    *name = allocated;
    return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(mach_port_t, mach_port_t name, mach_port_t poly, int disposition)
{
    Space& s = space();
    std::lock_guard lock(s.mutex);
    auto it = s.ports.find(name);
    if (it == s.ports.end() || name != poly)
        return KERN_INVALID_NAME;
    if (disposition != MACH_MSG_TYPE_MAKE_SEND || !it->second.hasReceive)
        return KERN_INVALID_RIGHT;
    it->second.sendRefs += 1;
    return KERN_SUCCESS;
}

kern_return_t mach_port_mod_refs(mach_port_t, mach_port_t name, int right, int delta)
{
    if (right != MACH_PORT_RIGHT_SEND)
        return KERN_INVALID_RIGHT;
    Space& s = space();
    std::lock_guard lock(s.mutex);
    auto it = s.ports.find(name);
    if (it == s.ports.end())
        return KERN_INVALID_NAME;
    if (it->second.sendRefs + delta < 0)
        return KERN_INVALID_RIGHT;
    it->second.sendRefs += delta;
    if (it->second.sendRefs == 0)
        senderGone(s, name);
    return KERN_SUCCESS;
}

kern_return_t mach_port_deallocate(mach_port_t task, mach_port_t name)
{
    return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND, -1);
}

kern_return_t mach_port_mod_receive_release(mach_port_t, mach_port_t name)
{
    Space& s = space();
    std::lock_guard lock(s.mutex);
    auto it = s.ports.find(name);
    if (it == s.ports.end())
        return KERN_INVALID_NAME;
    if (it->second.isSet)
        for (auto& [member, port] : s.ports)
            if (port.set == name)
                port.set = MACH_PORT_NULL;
    s.ports.erase(it);
    return KERN_SUCCESS;
}

kern_return_t mach_port_request_notification(mach_port_t, mach_port_t name, int variant, std::uint32_t, mach_port_t notify, int disposition, mach_port_t* previous)
{
    if (variant != MACH_NOTIFY_NO_SENDERS || disposition != MACH_MSG_TYPE_MAKE_SEND_ONCE)
        return KERN_INVALID_ARGUMENT;
    Space& s = space();
    std::lock_guard lock(s.mutex);
    auto it = s.ports.find(name);
    if (it == s.ports.end() || !s.ports.count(notify))
        return KERN_INVALID_NAME;
    if (previous)
        *previous = it->second.noSendersNotify;
    it->second.noSendersNotify = notify;
    return KERN_SUCCESS;
}

kern_return_t mach_port_move_member(mach_port_t, mach_port_t member, mach_port_t set)
{
    Space& s = space();
    std::lock_guard lock(s.mutex);
    auto m = s.ports.find(member);
    auto p = s.ports.find(set);
    if (m == s.ports.end() || p == s.ports.end() || !p->second.isSet || m->second.isSet)
        return KERN_INVALID_NAME;
    m->second.set = set;
    s.arrived.notify_all();
    return KERN_SUCCESS;
}

int mach_port_send_refs(mach_port_t name)
{
    Space& s = space();
    std::lock_guard lock(s.mutex);
    auto it = s.ports.find(name);
    return it == s.ports.end() ? -1 : it->second.sendRefs;
}

kern_return_t mach_msg(mach_msg_header_t* msg, std::uint32_t option, std::uint32_t send_size, std::uint32_t rcv_size, mach_port_t rcv_name, std::uint32_t timeout_ms, mach_port_t)
{
    Space& s = space();
    std::unique_lock lock(s.mutex);
    if (option & MACH_SEND_MSG) {
        if (send_size < sizeof(mach_msg_header_t))
            return KERN_INVALID_ARGUMENT;
        const mach_port_t destination = msg->msgh_remote_port;
        auto it = s.ports.find(destination);
        if (it == s.ports.end() || !it->second.hasReceive)
            return MACH_SEND_INVALID_DEST;
        std::vector<std::uint8_t> copy(send_size);
        std::memcpy(copy.data(), msg, send_size);
        // As the kernel does: the receiver sees the sender's reply port as the remote port and
        // its own port as the local one.
        auto* header = reinterpret_cast<mach_msg_header_t*>(copy.data());
        header->msgh_size = send_size;
        header->msgh_remote_port = msg->msgh_local_port;
        header->msgh_local_port = destination;
        enqueue(s, destination, std::move(copy));
    }
    if (!(option & MACH_RCV_MSG))
        return KERN_SUCCESS;
    if (!s.ports.count(rcv_name))
        return MACH_RCV_INVALID_NAME;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    mach_port_t which = MACH_PORT_NULL;
    Port* port = nullptr;
    while (!(port = readyPort(s, rcv_name, &which))) {
        if (!s.ports.count(rcv_name))
            return MACH_RCV_INVALID_NAME;
        if (option & MACH_RCV_TIMEOUT) {
            if (s.arrived.wait_until(lock, deadline) == std::cv_status::timeout && !readyPort(s, rcv_name, &which))
                return MACH_RCV_TIMED_OUT;
        } else {
            s.arrived.wait(lock);
        }
    }
    std::vector<std::uint8_t>& front = port->queue.front();
    if (front.size() > rcv_size) {
        if (!(option & MACH_RCV_LARGE)) {
            port->queue.pop_front();
            return MACH_RCV_TOO_LARGE;
        }
        msg->msgh_size = static_cast<std::uint32_t>(front.size());
        return MACH_RCV_TOO_LARGE;
    }
    std::memcpy(msg, front.data(), front.size());
    msg->msgh_local_port = which;
    port->queue.pop_front();
    return KERN_SUCCESS;
}

namespace {

kern_return_t exceptionPorts(Space& s, exception_mask_t mask, exception_mask_t* masks, std::uint32_t* count, mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors)
{
    // One entry per distinct registration, its mask the union of the types it serves.
    std::uint32_t n = 0;
    for (std::uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
        if (!(mask & (1u << type)))
            continue;
        const Registration& r = s.exceptions[type];
        std::uint32_t i = 0;
        for (; i < n; ++i)
            if (ports[i] == r.port && behaviors[i] == r.behavior && flavors[i] == r.flavor)
                break;
        if (i == n) {
            if (n == *count)
                break;
            ports[n] = r.port;
            behaviors[n] = r.behavior;
            flavors[n] = r.flavor;
            masks[n] = 0;
            if (r.port != MACH_PORT_NULL && s.ports.count(r.port))
                s.ports[r.port].sendRefs += 1; // the caller receives a send right
            ++n;
        }
        masks[i] |= 1u << type;
    }
    *count = n;
    return KERN_SUCCESS;
}

} // namespace

kern_return_t task_get_exception_ports(mach_port_t, exception_mask_t mask, exception_mask_t* masks, std::uint32_t* count, mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors)
{
    Space& s = space();
    std::lock_guard lock(s.mutex);
    return exceptionPorts(s, mask, masks, count, ports, behaviors, flavors);
}

kern_return_t task_swap_exception_ports(mach_port_t, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior, thread_state_flavor_t flavor,
    exception_mask_t* masks, std::uint32_t* count, mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors)
{
    Space& s = space();
    std::lock_guard lock(s.mutex);
    if (port != MACH_PORT_NULL && !s.ports.count(port))
        return KERN_INVALID_NAME;
    exceptionPorts(s, mask, masks, count, ports, behaviors, flavors);
    for (std::uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
        if (!(mask & (1u << type)))
            continue;
        Registration& r = s.exceptions[type];
        if (r.port != MACH_PORT_NULL && s.ports.count(r.port) && --s.ports[r.port].sendRefs == 0)
            senderGone(s, r.port);
        r = Registration { port, behavior, flavor };
        if (port != MACH_PORT_NULL)
            s.ports[port].sendRefs += 1;
    }
    return KERN_SUCCESS;
}

} // namespace sys::mach
