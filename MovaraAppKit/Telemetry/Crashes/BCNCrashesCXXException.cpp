#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesCXXException.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <typeinfo>

namespace {

constexpr int kMaxFrames = 128;

// The stack of the latest throw on one thread; freed with the thread.
struct ThrowRecord {
    void* thrownObject;
    const std::type_info* type;
    void* frames[kMaxFrames];
    int count;
};

using ThrowFunction = void (*)(void*, std::type_info*, void (*)(void*));

class SpinLock {
public:
    void lock()
    {
        while (m_flag.test_and_set(std::memory_order_acquire)) { }
    }
    void unlock() { m_flag.clear(std::memory_order_release); }

private:
    std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
};

SpinLock g_lock;
// Never destroyed: a terminate at exit may still walk it.
std::vector<BCNCrashesUncaughtCXXExceptionHandler>& handlers()
{
    static auto* list = new std::vector<BCNCrashesUncaughtCXXExceptionHandler>();
    return *list;
}
std::terminate_handler g_originalTerminateHandler = nullptr;
std::atomic<bool> g_isOurTerminateHandlerInstalled { false };
pthread_key_t g_throwRecordKey;
std::once_flag g_keyOnce;

void terminateHandler();

void finishTerminate()
{
    if (g_originalTerminateHandler)
        g_originalTerminateHandler();
    else
        std::abort();
}

// The thrown object an exception_ptr stands for. libstdc++'s exception_ptr is exactly the
// pointer to the thrown object.
void* thrownObjectOf(const std::exception_ptr& handle)
{
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    void* object = nullptr;
    std::memcpy(&object, static_cast<const void*>(&handle), sizeof object);
    return object;
}

void terminateHandler()
{
    std::exception_ptr handle = std::current_exception();
    g_lock.lock();
    if (!handle) {
        g_lock.unlock();
        finishTerminate();
        return;
    }

    std::uint64_t frames[kMaxFrames] = {};
    int count = 0;
    // Only the stack recorded for this very exception is its throw's stack: a throw that was
    // caught since, or an exception made without a throw and rethrown, left a record of
    // something else. (An object at the address of a freed one of the same type can't be told
    // apart.)
    const std::type_info* type = abi::__cxa_current_exception_type();
    auto* record = static_cast<ThrowRecord*>(pthread_getspecific(g_throwRecordKey));
    if (record && record->thrownObject == thrownObjectOf(handle) && record->type == type && record->count > 0) {
        count = record->count;
        for (int i = 0; i < count; ++i)
            frames[i] = reinterpret_cast<std::uintptr_t>(record->frames[i]);
    } else {
        void* fresh[kMaxFrames] = {};
        count = backtrace(fresh, kMaxFrames);
        for (int i = 0; i < count; ++i)
            frames[i] = reinterpret_cast<std::uintptr_t>(fresh[i]);
    }
    // The first entry is the recording function itself.
    BCNCrashesUncaughtCXXExceptionInfo info {};
    info.exception = &handle;
    info.exceptionTypeName = type ? type->name() : nullptr;
    info.exceptionMessage = nullptr;
    info.exceptionFramesCount = count > 1 ? static_cast<std::uint32_t>(count - 1) : 0;
    info.exceptionFrames = count > 1 ? frames + 1 : frames;

    try {
        std::rethrow_exception(handle);
    } catch (const std::exception& e) {
        info.exceptionMessage = e.what();
    } catch (const std::exception* e) {
        info.exceptionMessage = e ? e->what() : nullptr;
    } catch (const std::string& s) {
        info.exceptionMessage = s.c_str();
    } catch (const std::string* s) {
        info.exceptionMessage = s ? s->c_str() : nullptr;
    } catch (const char* text) {
        info.exceptionMessage = text;
    } catch (...) {
    }
    for (auto handler : handlers())
        handler(&info);
    g_lock.unlock();
    finishTerminate();
}

ThrowFunction nextThrow()
{
    static const ThrowFunction next = reinterpret_cast<ThrowFunction>(dlsym(RTLD_NEXT, "__cxa_throw"));
    return next;
}

} // namespace

// In front of the runtime's throw: calls from this program come here first.
extern "C" [[noreturn]] void __cxa_throw(void* thrownObject, std::type_info* type, void (*destructor)(void*))
{
    const ThrowFunction next = nextThrow();
    if (g_isOurTerminateHandlerInstalled.load(std::memory_order_acquire)) {
        auto* record = static_cast<ThrowRecord*>(pthread_getspecific(g_throwRecordKey));
        if (!record) {
            record = static_cast<ThrowRecord*>(std::calloc(1, sizeof(ThrowRecord)));
            pthread_setspecific(g_throwRecordKey, record);
        }
        if (record) {
            record->thrownObject = thrownObject;
            record->type = type;
            record->count = backtrace(record->frames, kMaxFrames);
        }
    }
    if (next)
        next(thrownObject, type, destructor);
    std::abort();
}

void BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(BCNCrashesUncaughtCXXExceptionHandler handler)
{
    std::call_once(g_keyOnce, [] {
        pthread_key_create(&g_throwRecordKey, std::free);
        // The C library loads its unwinder on the first backtrace(), allocating under the
        // loader's lock. Done here, before any throw, so a throw in a process forked while
        // another thread held those locks doesn't wait for them for ever.
        void* frame[1];
        backtrace(frame, 1);
    });
    std::lock_guard lock(g_lock);
    if (!g_isOurTerminateHandlerInstalled.load()) {
        g_originalTerminateHandler = std::set_terminate(terminateHandler);
        g_isOurTerminateHandlerInstalled.store(true, std::memory_order_release);
    }
    handlers().push_back(handler);
}

void BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(BCNCrashesUncaughtCXXExceptionHandler handler)
{
    std::lock_guard lock(g_lock);
    auto& list = handlers();
    for (auto it = list.begin(); it != list.end(); ++it)
        if (*it == handler) {
            list.erase(it);
            break;
        }
    if (g_isOurTerminateHandlerInstalled.load() && list.empty()) {
        const std::terminate_handler displaced = std::set_terminate(g_originalTerminateHandler);
        if (displaced == terminateHandler) {
            g_isOurTerminateHandlerInstalled.store(false);
            g_originalTerminateHandler = nullptr;
        } else {
            // Someone replaced ours after we installed it: theirs stays in force.
            std::set_terminate(displaced);
        }
    }
}

std::size_t BCNCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler()
{
    std::lock_guard lock(g_lock);
    return handlers().size();
}

BCNCrashesCXXExceptionWrapperException::BCNCrashesCXXExceptionWrapperException(const BCNCrashesUncaughtCXXExceptionInfo* info)
    : m_info(info)
{
    const char* raw = info && info->exceptionTypeName ? info->exceptionTypeName : "";
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    m_name = demangled && status == 0 ? demangled : raw;
    std::free(demangled);
    m_reason = info && info->exceptionMessage ? info->exceptionMessage : "";
}

std::vector<std::uint64_t> BCNCrashesCXXExceptionWrapperException::callStackReturnAddresses() const
{
    if (!m_info || !m_info->exceptionFrames)
        return {};
    return { m_info->exceptionFrames, m_info->exceptionFrames + m_info->exceptionFramesCount };
}
