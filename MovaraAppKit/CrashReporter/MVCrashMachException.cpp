#include "MovaraAppKit/CrashReporter/MVCrashMachException.h"

#include <cstddef>
#include <cstring>
#include <system_error>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"

using namespace sys::mach;

namespace {

constexpr std::uint32_t kRequestMinimum = 76;
constexpr std::size_t kPage = 4096;

std::size_t roundToPage(std::size_t n)
{
    return (n + kPage - 1) / kPage * kPage;
}

bool validPort(mach_port_t port)
{
    return port != MACH_PORT_NULL && port != MACH_PORT_DEAD;
}

// The answer to a request: the request's remote disposition, its reply port, id + 100, the NDR
// record and the return code.
void reply(const mach_msg_header_t* request, kern_return_t code)
{
    struct {
        mach_msg_header_t header;
        std::uint8_t ndr[8];
        std::int32_t code;
    } answer {};
    static_assert(sizeof answer == 36);
    answer.header.msgh_bits = request->msgh_bits & 0x1F;
    answer.header.msgh_size = sizeof answer;
    answer.header.msgh_remote_port = request->msgh_remote_port;
    answer.header.msgh_local_port = MACH_PORT_NULL;
    answer.header.msgh_id = request->msgh_id + 100;
    answer.code = code;
    // A request without a reply port gets no answer.
    if (validPort(answer.header.msgh_remote_port))
        mach_msg(&answer.header, MACH_SEND_MSG, sizeof answer, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
}

} // namespace

// --- ports ------------------------------------------------------------------------------------

MVCrashMachExceptionPort::MVCrashMachExceptionPort(mach_port_t port, std::uint32_t mask, std::int32_t behavior, std::int32_t flavor)
    : m_mask(mask), m_port(port), m_behavior(behavior), m_flavor(flavor)
{
    if (validPort(port)) {
        kern_return_t kr = mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, 1);
        if (kr != KERN_SUCCESS)
            mvcrash_log("[MVCrashReporter] Unexpected error incrementing mach port reference: %d", kr);
    }
}

MVCrashMachExceptionPort::~MVCrashMachExceptionPort()
{
    if (validPort(m_port)) {
        kern_return_t kr = mach_port_mod_refs(mach_task_self(), m_port, MACH_PORT_RIGHT_SEND, -1);
        if (kr != KERN_SUCCESS)
            mvcrash_log("[MVCrashReporter] Unexpected error decrementing mach port reference: %d", kr);
    }
}

std::shared_ptr<MVCrashMachExceptionPortSet> MVCrashMachExceptionPort::exceptionPortsForTask(mach_port_t task, std::uint32_t mask, foundation::ErrorPtr* error)
{
    mvcrash_mach_exception_port_set record;
    record.count = EXC_TYPES_COUNT;
    kern_return_t kr = task_get_exception_ports(task, mask, record.masks, &record.count, record.ports, record.behaviors, record.flavors);
    if (kr != KERN_SUCCESS) {
        mvcrash_populate_mach_error(error, kr, "Failed to fetch mach exception ports");
        return nullptr;
    }
    return std::make_shared<MVCrashMachExceptionPortSet>(record);
}

bool MVCrashMachExceptionPort::registerForTask(mach_port_t task, std::shared_ptr<MVCrashMachExceptionPortSet>* previous, foundation::ErrorPtr* error)
{
    mvcrash_mach_exception_port_set record;
    record.count = EXC_TYPES_COUNT;
    kern_return_t kr = task_swap_exception_ports(task, m_mask, m_port, m_behavior, m_flavor, record.masks, &record.count, record.ports, record.behaviors, record.flavors);
    if (kr != KERN_SUCCESS) {
        mvcrash_populate_mach_error(error, kr, "Failed to swap mach exception ports");
        return false;
    }
    auto old = std::make_shared<MVCrashMachExceptionPortSet>(record);
    if (previous)
        *previous = std::move(old);
    return true;
}

MVCrashMachExceptionPortSet::MVCrashMachExceptionPortSet(Ports ports)
    : m_ports(std::move(ports))
{
    if (m_ports.size() > EXC_TYPES_COUNT)
        foundation::fatal("Set size of " + std::to_string(m_ports.size()) + " exceeds EXC_TYPES_COUNT (" + std::to_string(EXC_TYPES_COUNT) + ")");
    for (const auto& port : m_ports) {
        const std::uint32_t i = m_record.count++;
        m_record.masks[i] = port->mask();
        m_record.ports[i] = port->server_port();
        m_record.behaviors[i] = port->behavior();
        m_record.flavors[i] = port->flavor();
    }
}

MVCrashMachExceptionPortSet::MVCrashMachExceptionPortSet(const mvcrash_mach_exception_port_set& record)
    : m_record(record)
{
    if (record.count > EXC_TYPES_COUNT)
        foundation::fatal("Count of " + std::to_string(record.count) + " exceeds EXC_TYPES_COUNT (" + std::to_string(EXC_TYPES_COUNT) + ")");
    for (std::uint32_t i = 0; i < record.count; ++i) {
        m_ports.push_back(std::make_shared<MVCrashMachExceptionPort>(record.ports[i], record.masks[i], record.behaviors[i], record.flavors[i]));
        // Each port object keeps its own reference; the one the kernel call handed over goes.
        if (validPort(record.ports[i])) {
            kern_return_t kr = mach_port_mod_refs(mach_task_self(), record.ports[i], MACH_PORT_RIGHT_SEND, -1);
            if (kr != KERN_SUCCESS)
                mvcrash_log("[MVCrashReporter] Unexpected error decrementing mach port reference: %d", kr);
        }
    }
}

// --- server -----------------------------------------------------------------------------------

std::shared_ptr<MVCrashMachExceptionServer> MVCrashMachExceptionServer::initWithCallBack(mvcrash_mach_callback callback, void* context, foundation::ErrorPtr* error)
{
    std::shared_ptr<MVCrashMachExceptionServer> server(new MVCrashMachExceptionServer());
    server->m_callback = callback;
    server->m_context = context;
    const mach_port_t task = mach_task_self();
    // A start that fails part-way gives back the ports made so far.
    auto cleanup = [&] {
        for (mach_port_t port : { server->m_serverPort, server->m_notifyPort, server->m_portSet })
            if (port)
                mach_port_mod_receive_release(task, port);
        server->m_serverPort = server->m_notifyPort = server->m_portSet = 0;
    };
    kern_return_t kr;
    if ((kr = mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &server->m_serverPort)) != KERN_SUCCESS
        || (kr = mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &server->m_notifyPort)) != KERN_SUCCESS) {
        cleanup();
        mvcrash_populate_mach_error(error, kr, "Failed to allocate exception server's port");
        return nullptr;
    }
    if ((kr = mach_port_insert_right(task, server->m_notifyPort, server->m_notifyPort, MACH_MSG_TYPE_MAKE_SEND)) != KERN_SUCCESS) {
        cleanup();
        mvcrash_populate_mach_error(error, kr, "Failed to add send right to exception server's port");
        return nullptr;
    }
    mach_port_t previous = MACH_PORT_NULL;
    if ((kr = mach_port_request_notification(task, server->m_serverPort, MACH_NOTIFY_NO_SENDERS, 1, server->m_notifyPort, MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous)) != KERN_SUCCESS) {
        cleanup();
        mvcrash_populate_mach_error(error, kr, "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port");
        return nullptr;
    }
    if ((kr = mach_port_allocate(task, MACH_PORT_RIGHT_PORT_SET, &server->m_portSet)) != KERN_SUCCESS) {
        cleanup();
        mvcrash_populate_mach_error(error, kr, "Failed to allocate exception server's port set");
        return nullptr;
    }
    if ((kr = mach_port_move_member(task, server->m_serverPort, server->m_portSet)) != KERN_SUCCESS) {
        cleanup();
        mvcrash_populate_mach_error(error, kr, "Failed to add exception server port to port set");
        return nullptr;
    }
    if ((kr = mach_port_move_member(task, server->m_notifyPort, server->m_portSet)) != KERN_SUCCESS) {
        cleanup();
        mvcrash_populate_mach_error(error, kr, "Failed to add exception server notify port to port set");
        return nullptr;
    }
    try {
        // The thread keeps only the server's raw pointer: the server waits for it to stop.
        std::thread thread([raw = server.get()] { raw->receiveLoop(); });
        std::lock_guard lock(server->m_lock);
        server->m_threadId = thread.get_id();
        thread.detach();
    } catch (const std::system_error& e) {
        cleanup();
        mvcrash_populate_posix_error(error, e.code().value(), "Failed to create exception server thread");
        return nullptr;
    }
    return server;
}

void MVCrashMachExceptionServer::receiveLoop()
{
    std::vector<std::uint8_t> buffer(roundToPage(kRequestMinimum));
    for (;;) {
        auto* header = reinterpret_cast<mach_msg_header_t*>(buffer.data());
        header->msgh_local_port = m_portSet;
        header->msgh_size = static_cast<std::uint32_t>(buffer.size());
        kern_return_t kr = mach_msg(header, MACH_RCV_MSG | MACH_RCV_LARGE, 0, static_cast<std::uint32_t>(buffer.size()), m_portSet, 0, MACH_PORT_NULL);
        if (kr == MACH_RCV_TOO_LARGE) {
            buffer.assign(roundToPage(header->msgh_size), 0);
            continue;
        }
        if (kr != KERN_SUCCESS)
            continue;
        if (header->msgh_local_port == m_notifyPort) {
            if (header->msgh_id == MACH_NOTIFY_NO_SENDERS)
                continue;
            if (header->msgh_id == MVCRASH_STOP_MESSAGE_ID) {
                std::lock_guard lock(m_lock);
                if (m_shouldStop) {
                    m_stopped = true;
                    m_stoppedCondition.notify_all();
                    return;
                }
            }
        }
        if (header->msgh_size < kRequestMinimum) {
            reply(header, KERN_FAILURE);
            continue;
        }
        std::uint32_t thread, task, count;
        std::int32_t type;
        std::memcpy(&thread, buffer.data() + 28, 4);
        std::memcpy(&task, buffer.data() + 40, 4);
        std::memcpy(&type, buffer.data() + 60, 4);
        std::memcpy(&count, buffer.data() + 64, 4);
        // Codes that do not fit the message are a malformed request: it is dropped.
        if (static_cast<std::uint64_t>(count) * 8 > header->msgh_size - 68 || static_cast<std::uint64_t>(count) * 8 > buffer.size() - 68)
            continue;
        std::vector<std::uint64_t> codes(count);
        if (count)
            std::memcpy(codes.data(), buffer.data() + 68, static_cast<std::size_t>(count) * 8);
        reply(header, m_callback(task, thread, type, codes.data(), count, m_context));
    }
}

std::thread::id MVCrashMachExceptionServer::serverThread() const
{
    std::lock_guard lock(m_lock);
    return m_threadId;
}

mach_port_t MVCrashMachExceptionServer::copySendRightForServerAndReturningError(foundation::ErrorPtr* error)
{
    std::lock_guard lock(m_lock);
    kern_return_t kr = mach_port_insert_right(mach_task_self(), m_serverPort, m_serverPort, MACH_MSG_TYPE_MAKE_SEND);
    if (kr != KERN_SUCCESS) {
        mvcrash_populate_mach_error(error, kr, "Failed to insert Mach send right");
        return MACH_PORT_NULL;
    }
    return m_serverPort;
}

std::shared_ptr<MVCrashMachExceptionPort> MVCrashMachExceptionServer::exceptionPortWithMask(std::uint32_t mask, foundation::ErrorPtr* error)
{
    const mach_port_t port = copySendRightForServerAndReturningError(error);
    if (!validPort(port))
        return nullptr;
    auto result = std::make_shared<MVCrashMachExceptionPort>(port, mask, static_cast<std::int32_t>(MVCRASH_EXCEPTION_DEFAULT | MVCRASH_MACH_EXCEPTION_CODES), 7);
    mach_port_deallocate(mach_task_self(), port);
    return result;
}

MVCrashMachExceptionServer::~MVCrashMachExceptionServer()
{
    {
        std::lock_guard lock(m_lock);
        if (m_shouldStop)
            return;
        m_shouldStop = true;
    }
    mach_msg_header_t stop {};
    stop.msgh_bits = 0x1513;
    stop.msgh_size = sizeof stop;
    stop.msgh_remote_port = m_notifyPort;
    stop.msgh_local_port = MACH_PORT_NULL;
    stop.msgh_id = MVCRASH_STOP_MESSAGE_ID;
    kern_return_t kr = mach_msg(&stop, MACH_SEND_MSG, sizeof stop, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
    if (kr != KERN_SUCCESS) {
        // The thread may still use the ports: they stay.
        mvcrash_log("[MVCrashReporter] Unexpected error sending termination message to background thread: %d", kr);
        return;
    }
    std::unique_lock lock(m_lock);
    m_stoppedCondition.wait(lock, [this] { return m_stopped; });
    const mach_port_t task = mach_task_self();
    for (mach_port_t port : { m_serverPort, m_notifyPort, m_portSet })
        if (port)
            mach_port_mod_receive_release(task, port);
}

// --- forwarding -------------------------------------------------------------------------------

kern_return_t MVCrashMachExceptionForward(mach_port_t task, mach_port_t thread, int exception_type, const std::uint64_t* codes, std::uint32_t code_count, const mvcrash_mach_exception_port_set* port_set)
{
    if (exception_type < 0 || exception_type >= static_cast<int>(EXC_TYPES_COUNT))
        return KERN_FAILURE;
    const std::uint32_t bit = 1u << exception_type;
    std::int32_t found = -1;
    for (std::uint32_t i = 0; i < port_set->count && i < EXC_TYPES_COUNT; ++i) {
        if (validPort(port_set->ports[i]) && (port_set->masks[i] & bit)) {
            found = static_cast<std::int32_t>(i);
            break;
        }
    }
    if (found < 0)
        return KERN_FAILURE;
    const std::uint32_t behavior = static_cast<std::uint32_t>(port_set->behaviors[found]);
    // Handlers that asked for 64-bit codes are not forwarded to.
    if (behavior & MVCRASH_MACH_EXCEPTION_CODES)
        return KERN_FAILURE;
    // The state-carrying behaviours need the crashed thread's registers in the platform's
    // format, which this port layer has no way to read.
    if ((behavior & ~MVCRASH_MACH_EXCEPTION_CODES) != static_cast<std::uint32_t>(MVCRASH_EXCEPTION_DEFAULT))
        return KERN_FAILURE;
    // exception_raise: the request with 32-bit codes, then the answer on a reply port.
    std::uint32_t count = code_count > 16 ? 16 : code_count;
    struct {
        mach_msg_header_t header;
        std::uint32_t descriptors;
        std::uint32_t thread[3];
        std::uint32_t task[3];
        std::uint8_t ndr[8];
        std::int32_t exception;
        std::uint32_t count;
        std::int32_t codes[16];
    } request {};
    mach_port_t replyPort = MACH_PORT_NULL;
    if (mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &replyPort) != KERN_SUCCESS)
        return KERN_FAILURE;
    request.header.msgh_bits = 0x80001513;
    request.header.msgh_size = static_cast<std::uint32_t>(offsetof(decltype(request), codes) + count * 4);
    request.header.msgh_remote_port = port_set->ports[found];
    request.header.msgh_local_port = replyPort;
    request.header.msgh_id = 2401;
    request.descriptors = 2;
    request.thread[0] = thread;
    request.task[0] = task;
    request.exception = exception_type;
    request.count = count;
    for (std::uint32_t i = 0; i < count; ++i)
        request.codes[i] = static_cast<std::int32_t>(codes[i] & 0xFFFFFFFF);
    kern_return_t kr = mach_msg(&request.header, MACH_SEND_MSG, request.header.msgh_size, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
    if (kr == KERN_SUCCESS) {
        struct {
            mach_msg_header_t header;
            std::uint8_t ndr[8];
            std::int32_t code;
            std::uint8_t spare[64];
        } answer {};
        kr = mach_msg(&answer.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof answer, replyPort, 5000, MACH_PORT_NULL);
        if (kr == KERN_SUCCESS)
            kr = answer.code;
    }
    mach_port_mod_receive_release(mach_task_self(), replyPort);
    return kr;
}
