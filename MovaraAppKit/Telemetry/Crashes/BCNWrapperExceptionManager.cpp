#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperExceptionManager.h"

#include <map>
#include <mutex>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorRecords.h"

namespace {

constexpr const char* kTag = "BeaconCrashes";

// Incident identifier -> the wrapper exception tied to that report in this launch. Reached from
// the crash processing queue and from wrapper SDK calls, so it has a lock of its own.
struct Unprocessed {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<BCNWrapperException>> exceptions;
};

Unprocessed& unprocessedWrapperExceptions()
{
    static Unprocessed unprocessed;
    return unprocessed;
}

// Names come from crash reports and wrapper SDKs: one that would leave the folder is refused.
bool isPlainFileName(const std::string& name) { return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos; }

// Asking for the folder's name also makes sure the folder is there.
std::string pathComponentFor(const std::string& baseFilename) { return BCNCrashesUtil::wrapperExceptionsDir() + "/" + baseFilename; }

} // namespace

void BCNWrapperExceptionManager::saveWrapperException(const std::shared_ptr<const BCNWrapperException>& exception)
{
    saveWrapperException(exception, kLastSavedWrapperExceptionFileName);
}

void BCNWrapperExceptionManager::saveWrapperException(const std::shared_ptr<const BCNWrapperException>& exception,
                                                      const std::string& baseFilename)
{
    if (!exception || !isPlainFileName(baseFilename))
        return;
    const auto data = BCNUtility::archiveKeyedData(exception);
    if (!data)
        return;
    BCNUtility::createFileAtPathComponent(pathComponentFor(baseFilename), data, true, true);
}

std::shared_ptr<BCNWrapperException> BCNWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(const std::string& baseFilename)
{
    if (!isPlainFileName(baseFilename))
        return nullptr;
    const std::string pathComponent = pathComponentFor(baseFilename);
    if (!BCNUtility::fileExistsForPathComponent(pathComponent))
        return nullptr;
    auto exception = std::dynamic_pointer_cast<BCNWrapperException>(
        BCNUtility::unarchiveKeyedData(BCNUtility::loadDataForPathComponent(pathComponent)));
    if (!exception) {
        BCNLogError(kTag, "Could not read exception data stored on disk with file name " + baseFilename);
        BCNUtility::deleteItemForPathComponent(pathComponent);
    }
    return exception;
}

std::shared_ptr<BCNWrapperException> BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString(const std::string& incidentIdentifier)
{
    {
        auto& unprocessed = unprocessedWrapperExceptions();
        std::lock_guard guard(unprocessed.mutex);
        if (auto it = unprocessed.exceptions.find(incidentIdentifier); it != unprocessed.exceptions.end())
            return it->second;
    }
    return loadWrapperExceptionWithBaseFilename(incidentIdentifier);
}

void BCNWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename)
{
    if (isPlainFileName(baseFilename))
        BCNUtility::deleteItemForPathComponent(pathComponentFor(baseFilename));
}

void BCNWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const std::string& incidentIdentifier)
{
    deleteWrapperExceptionWithBaseFilename(incidentIdentifier);
}

void BCNWrapperExceptionManager::deleteAllWrapperExceptions()
{
    BCNUtility::deleteItemForPathComponent(BCNCrashesUtil::wrapperExceptionsDir());
}

void BCNWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(const std::vector<std::shared_ptr<BCNErrorReport>>& reports)
{
    auto exception = loadWrapperExceptionWithBaseFilename(kLastSavedWrapperExceptionFileName);
    if (!exception)
        return;
    // Off disk at once: it belongs to one report at most, and a later launch must not tie it again.
    deleteWrapperExceptionWithBaseFilename(kLastSavedWrapperExceptionFileName);
    // A wrapper that saved no process id can't be matched to any report.
    if (!exception->processId)
        return;
    const auto processId = static_cast<std::uint64_t>(*exception->processId);
    for (const auto& report : reports) {
        if (!report || report->appProcessIdentifier() != processId || !report->incidentIdentifier())
            continue;
        const std::string& incident = *report->incidentIdentifier();
        {
            auto& unprocessed = unprocessedWrapperExceptions();
            std::lock_guard guard(unprocessed.mutex);
            unprocessed.exceptions[incident] = exception;
        }
        saveWrapperException(exception, incident);
        return;
    }
}

void BCNWrapperExceptionManager::resetUnprocessedWrapperExceptions()
{
    auto& unprocessed = unprocessedWrapperExceptions();
    std::lock_guard guard(unprocessed.mutex);
    unprocessed.exceptions.clear();
}
