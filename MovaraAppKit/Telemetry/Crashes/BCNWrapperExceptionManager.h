#pragma once
// Keeps the crash descriptions of wrapper SDKs (a binding of the client for another language
// runtime in the same process). The wrapper saves its exception while the process dies; the next
// launch ties it to the crash report of that process, by process id, so the crash log can show
// the wrapper's exception tree instead of the native one. One keyed archive per file in the
// "crasheswrapperexceptions" folder, named "last_saved_wrapper_exception" or by the incident
// identifier of its report; the ones tied to this launch's reports are also kept in memory.

#include <memory>
#include <string>
#include <vector>

class BCNErrorReport;
class BCNWrapperException;

class BCNWrapperExceptionManager {
public:
    static constexpr const char* kLastSavedWrapperExceptionFileName = "last_saved_wrapper_exception";

    // Saved as "last_saved_wrapper_exception", replacing an earlier one.
    static void saveWrapperException(const std::shared_ptr<const BCNWrapperException>& exception);
    static void saveWrapperException(const std::shared_ptr<const BCNWrapperException>& exception, const std::string& baseFilename);
    // None when the file is missing; a file that doesn't read back as a wrapper exception is
    // deleted after an error line, and none is answered.
    static std::shared_ptr<BCNWrapperException> loadWrapperExceptionWithBaseFilename(const std::string& baseFilename);
    // The one tied to that report in this launch, else the file named by the identifier.
    static std::shared_ptr<BCNWrapperException> loadWrapperExceptionWithUUIDString(const std::string& incidentIdentifier);
    static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);
    // Deletes the file only; this launch's in-memory copy stays.
    static void deleteWrapperExceptionWithUUIDString(const std::string& incidentIdentifier);
    // Deletes the whole folder; this launch's in-memory copies stay.
    static void deleteAllWrapperExceptions();
    // Takes the last saved exception off disk and ties it to the first report (in order) of the
    // same process id: kept in memory and saved again under that report's incident identifier.
    // Without such a report it is dropped.
    static void correlateLastSavedWrapperExceptionToReport(const std::vector<std::shared_ptr<BCNErrorReport>>& reports);

    // Forgets the in-memory copies (a fresh launch, for tests).
    static void resetUnprocessedWrapperExceptions();
};
