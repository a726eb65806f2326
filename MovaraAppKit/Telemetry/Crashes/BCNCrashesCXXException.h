#pragma once
// Keeps the stack of a C++ throw for the crash report. An exported __cxa_throw in front of the
// runtime's records, per thread, the return addresses at each throw once a handler is
// registered; a terminate handler hands an uncaught exception's mangled type name, message and
// those addresses to the registered handlers. The wrapper exception dresses that description
// for the crash reporter's uncaught-exception path.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What handlers receive; valid only while they run.
struct BCNCrashesUncaughtCXXExceptionInfo {
    const void* exception;           // the terminate handler's handle on the current exception
    const char* exceptionTypeName;   // mangled
    const char* exceptionMessage;    // null when none could be derived
    std::uint32_t exceptionFramesCount;
    const std::uint64_t* exceptionFrames; // innermost first
};

using BCNCrashesUncaughtCXXExceptionHandler = void (*)(const BCNCrashesUncaughtCXXExceptionInfo* info);

// Handlers run inside the terminate handler, under the manager's lock: they must not register
// or unregister handlers.
class BCNCrashesUncaughtCXXExceptionHandlerManager {
public:
    // Installs the terminate handler on first use; a handler added twice is called twice.
    static void addCXXExceptionHandler(BCNCrashesUncaughtCXXExceptionHandler handler);
    // Removes one registration; the last one gone restores the earlier terminate handler.
    static void removeCXXExceptionHandler(BCNCrashesUncaughtCXXExceptionHandler handler);
    static std::size_t countCXXExceptionHandler();
};

class BCNCrashesCXXExceptionWrapperException {
public:
    // Named by the demangled type name (the raw one when it can't be demangled); the message,
    // or empty, as its reason. The info is kept, not copied.
    explicit BCNCrashesCXXExceptionWrapperException(const BCNCrashesUncaughtCXXExceptionInfo* info);

    const std::string& name() const { return m_name; }
    const std::string& reason() const { return m_reason; }
    const BCNCrashesUncaughtCXXExceptionInfo* info() const { return m_info; }
    std::vector<std::uint64_t> callStackReturnAddresses() const;

private:
    std::string m_name;
    std::string m_reason;
    const BCNCrashesUncaughtCXXExceptionInfo* m_info;
};
