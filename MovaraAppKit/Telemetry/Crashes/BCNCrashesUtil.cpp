#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"

#include <atomic>
#include <mutex>

#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"

namespace {

// One flag per folder: set once the folder was made, cleared by a reset. A mutex rather than a
// once flag, because a reset has to be able to arm it again.
struct DirectoryOnce {
    explicit DirectoryOnce(const char* directoryName) : name(directoryName) { }
    const char* name;
    std::atomic<bool> made { false };
    std::mutex mutex;
};

DirectoryOnce crashesDirectoryOnceToken { "crashes" };
DirectoryOnce logBufferDirectoryOnceToken { "crasheslogbuffer" };
DirectoryOnce wrapperExceptionsDirectoryOnceToken { "crasheswrapperexceptions" };

std::string nameMakingDirectory(DirectoryOnce& once)
{
    if (!once.made.load(std::memory_order_acquire)) {
        std::lock_guard guard(once.mutex);
        if (!once.made.load(std::memory_order_relaxed)) {
            // A folder that can't be made is reported by the utility; the name is still the
            // answer, and the next writer into it tries to make it again.
            BCNUtility::createDirectoryForPathComponent(once.name);
            once.made.store(true, std::memory_order_release);
        }
    }
    return once.name;
}

} // namespace

std::string BCNCrashesUtil::crashesDir() { return nameMakingDirectory(crashesDirectoryOnceToken); }

std::string BCNCrashesUtil::logBufferDir() { return nameMakingDirectory(logBufferDirectoryOnceToken); }

std::string BCNCrashesUtil::wrapperExceptionsDir() { return nameMakingDirectory(wrapperExceptionsDirectoryOnceToken); }

void BCNCrashesUtil::resetDirectory()
{
    for (DirectoryOnce* once : { &crashesDirectoryOnceToken, &logBufferDirectoryOnceToken, &wrapperExceptionsDirectoryOnceToken }) {
        std::lock_guard guard(once->mutex);
        once->made.store(false, std::memory_order_release);
    }
}
