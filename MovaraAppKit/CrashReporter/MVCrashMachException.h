#pragma once
// The exception server of the desktop platform's kernel interface, and its ports: a receive port
// and a detached thread that answers each exception message with the result of a callback; the
// exception-port registrations of a task, kept both as objects and as a plain record that
// crash-time code can read; and the forwarding of an exception to an earlier registration.
//
// Here it runs on the in-process port layer of Platform/System/MachPorts.h, which this system's
// kernel does not feed: no fault becomes an exception message by itself, so the reporter captures
// crashes with signal handlers and refuses the Mach mode (MVCrashReporter.h). The server,
// registrations and forwarding keep the platform's message layouts and are exercised by messages
// sent in-process.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/System/MachPorts.h"

using mvcrash_mach_callback = sys::mach::kern_return_t (*)(sys::mach::mach_port_t task, sys::mach::mach_port_t thread, int exception_type, const std::uint64_t* codes, std::uint32_t code_count, void* context);

constexpr std::int32_t MVCRASH_EXCEPTION_DEFAULT = 1;
constexpr std::int32_t MVCRASH_EXCEPTION_STATE = 2;
constexpr std::int32_t MVCRASH_EXCEPTION_STATE_IDENTITY = 3;
constexpr std::uint32_t MVCRASH_MACH_EXCEPTION_CODES = 0x80000000;
constexpr std::int32_t MVCRASH_STOP_MESSAGE_ID = static_cast<std::int32_t>(0xDEADBEEF);

struct mvcrash_mach_exception_port_set {
    std::uint32_t count = 0;
    std::uint32_t masks[sys::mach::EXC_TYPES_COUNT] = {};
    sys::mach::mach_port_t ports[sys::mach::EXC_TYPES_COUNT] = {};
    std::int32_t behaviors[sys::mach::EXC_TYPES_COUNT] = {};
    std::int32_t flavors[sys::mach::EXC_TYPES_COUNT] = {};
};

class MVCrashMachExceptionPortSet;

class MVCrashMachExceptionPort {
public:
    // Holds one send reference on a valid port for its whole life.
    MVCrashMachExceptionPort(sys::mach::mach_port_t port, std::uint32_t mask, std::int32_t behavior, std::int32_t flavor);
    ~MVCrashMachExceptionPort();
    MVCrashMachExceptionPort(const MVCrashMachExceptionPort&) = delete;
    MVCrashMachExceptionPort& operator=(const MVCrashMachExceptionPort&) = delete;

    static std::shared_ptr<MVCrashMachExceptionPortSet> exceptionPortsForTask(sys::mach::mach_port_t task, std::uint32_t mask, foundation::ErrorPtr* error);
    // Installs this registration for the task; the ones it replaces go to `previous` when given.
    bool registerForTask(sys::mach::mach_port_t task, std::shared_ptr<MVCrashMachExceptionPortSet>* previous, foundation::ErrorPtr* error);

    sys::mach::mach_port_t server_port() const { return m_port; }
    std::uint32_t mask() const { return m_mask; }
    std::int32_t behavior() const { return m_behavior; }
    std::int32_t flavor() const { return m_flavor; }

private:
    std::uint32_t m_mask;
    sys::mach::mach_port_t m_port;
    std::int32_t m_behavior;
    std::int32_t m_flavor;
};

class MVCrashMachExceptionPortSet {
public:
    using Ports = std::vector<std::shared_ptr<MVCrashMachExceptionPort>>;
    explicit MVCrashMachExceptionPortSet(Ports ports);
    // Takes over the send rights a kernel call handed back for each entry.
    explicit MVCrashMachExceptionPortSet(const mvcrash_mach_exception_port_set& record);
    const mvcrash_mach_exception_port_set& asyncSafeRepresentation() const { return m_record; }
    const Ports& set() const { return m_ports; }

private:
    Ports m_ports;
    mvcrash_mach_exception_port_set m_record;
};

class MVCrashMachExceptionServer {
public:
    static std::shared_ptr<MVCrashMachExceptionServer> initWithCallBack(mvcrash_mach_callback callback, void* context, foundation::ErrorPtr* error);
    ~MVCrashMachExceptionServer();

    std::thread::id serverThread() const;
    sys::mach::mach_port_t copySendRightForServerAndReturningError(foundation::ErrorPtr* error);
    std::shared_ptr<MVCrashMachExceptionPort> exceptionPortWithMask(std::uint32_t mask, foundation::ErrorPtr* error);

    sys::mach::mach_port_t serverPort() const { return m_serverPort; }
    sys::mach::mach_port_t notifyPort() const { return m_notifyPort; }

private:
    MVCrashMachExceptionServer() = default;
    void receiveLoop();

    mvcrash_mach_callback m_callback = nullptr;
    void* m_context = nullptr;
    sys::mach::mach_port_t m_serverPort = 0, m_notifyPort = 0, m_portSet = 0;
    mutable std::mutex m_lock;
    std::condition_variable m_stoppedCondition;
    bool m_shouldStop = false;
    bool m_stopped = false;
    std::thread::id m_threadId;
};

// Hands an exception to the first earlier registration that serves its type; KERN_FAILURE (5)
// when there is none or it asked for 64-bit codes.
sys::mach::kern_return_t MVCrashMachExceptionForward(sys::mach::mach_port_t task, sys::mach::mach_port_t thread, int exception_type, const std::uint64_t* codes, std::uint32_t code_count, const mvcrash_mach_exception_port_set* port_set);
