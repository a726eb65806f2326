#pragma once
// The persistent queue of telemetry logs ("Logs.sqlite", table "logs", schema version 5). Every
// accepted log is written here first; units take logs out in batches, send them and delete a
// batch once it is delivered. The store keeps a size ceiling by evicting logs of equal or lower
// priority, oldest first; it keeps each common-schema log's target token enciphered. Batches
// handed out and not yet deleted live in memory only: after a restart every stored log can be
// loaded again. Not locked: every call comes from the channel group's serial queue.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"
#include "MovaraAppKit/Telemetry/Core/Storage/BCNDBStorage.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNEncrypter.h"

class BCNStorage {
public:
    using LoadCompletion = std::function<void(const std::vector<BCNLogPtr>& logs, const std::optional<std::string>& batchId)>;

    virtual ~BCNStorage() = default;
    // True when the log was stored.
    virtual bool saveLog(const BCNLogPtr& log, const std::string& groupId, BCNLogFlags flags) = 0;
    // Rows of every group.
    virtual std::uint64_t countLogs() = 0;
    virtual std::uint64_t countLogsWithGroupId(const std::string& groupId) = 0;
    // The group's logs as read just before they were deleted.
    virtual std::vector<BCNLogPtr> deleteLogsWithGroupId(const std::string& groupId) = 0;
    virtual void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) = 0;
    // Forgets a batch without deleting its logs, so the next load hands them out again.
    virtual void releaseBatchWithId(const std::string& batchId, const std::string& groupId) = 0;
    // At most `limit` logs of the group not already in a batch and not of an excluded target
    // key, highest priority then oldest first, handed to `completion` (with a new batch id when
    // any were found) before returning; true when more were waiting.
    virtual bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                     const std::optional<std::set<std::string>>& excludedTargetKeys,
                                     const LoadCompletion& completion) = 0;
    virtual void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) = 0;
};

class BCNLogDBStorage : public BCNDBStorage, public BCNStorage {
public:
    static constexpr std::uint64_t SchemaVersion = 5;
    static std::shared_ptr<BCNLogDBStorage> init();

    bool saveLog(const BCNLogPtr& log, const std::string& groupId, BCNLogFlags flags) override;
    std::uint64_t countLogs() override;
    std::uint64_t countLogsWithGroupId(const std::string& groupId) override;
    std::vector<BCNLogPtr> deleteLogsWithGroupId(const std::string& groupId) override;
    void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) override;
    void releaseBatchWithId(const std::string& batchId, const std::string& groupId) override;
    // The group's stored logs, oldest first, whether in a batch or not.
    std::vector<BCNLogPtr> logsFromDBWithGroupId(const std::string& groupId);
    // Whether a log archived as `archive` is stored, in any group.
    bool hasLogWithArchive(std::span<const std::uint8_t> archive);
    bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                             const std::optional<std::set<std::string>>& excludedTargetKeys, const LoadCompletion& completion) override;
    void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) override
    {
        BCNDBStorage::setMaxStorageSize(sizeInBytes, completionHandler);
    }

    static Schema logsSchema();

protected:
    BCNLogDBStorage() = default;
    void customizeDatabase(sqlite3* db) override;
    void migrateDatabase(sqlite3* db, std::uint64_t fromVersion) override;

private:
    struct StoredLog {
        std::int64_t id;
        BCNLogPtr log;
    };
    std::vector<StoredLog> logsWithCondition(const std::string& condition, const BCNStorageBindableArray& values);
    int deleteLogsFromDBWithIds(const std::vector<std::int64_t>& ids);
    static int deleteLogsFromDBWithColumnValues(const std::vector<std::variant<std::int64_t, std::string>>& values,
                                                const std::string& columnName, sqlite3* db);
    static std::string buildKeyFormatWithCount(std::size_t count);
    // Says once per process that the store cannot be changed.
    void reportCannotWrite(int result);

    std::size_t m_idColumnIndex = 0;
    std::size_t m_groupIdColumnIndex = 1;
    std::size_t m_logColumnIndex = 2;
    std::size_t m_targetTokenColumnIndex = 3;
    // (group id, batch id) -> row ids handed out in that batch.
    std::map<std::pair<std::string, std::string>, std::vector<std::int64_t>> m_batches;
    // Rows delivered whose deletion failed: never handed out again by this process.
    std::set<std::int64_t> m_sentButKept;
    bool m_reportedCannotWrite = false;
    BCNEncrypter m_targetTokenEncrypter;
};
