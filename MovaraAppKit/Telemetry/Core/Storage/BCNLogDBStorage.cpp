#include "MovaraAppKit/Telemetry/Core/Storage/BCNLogDBStorage.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/UUID.h"

namespace {

const std::string kTag = "Beacon";
const std::string kTable = "logs";

std::string joinedIds(const std::vector<std::int64_t>& ids)
{
    std::string text;
    for (auto id : ids)
        text += (text.empty() ? "" : "','") + std::to_string(id);
    return text;
}

} // namespace

BCNDBStorage::Schema BCNLogDBStorage::logsSchema()
{
    return { { kTable,
               { { "id", { "INTEGER", "PRIMARY KEY", "AUTOINCREMENT" } },
                 { "groupId", { "TEXT", "NOT NULL" } },
                 { "log", { "TEXT", "NOT NULL" } },
                 { "targetToken", { "TEXT" } },
                 { "targetKey", { "TEXT" } },
                 { "priority", { "INTEGER" } } } } };
}

std::shared_ptr<BCNLogDBStorage> BCNLogDBStorage::init()
{
    std::shared_ptr<BCNLogDBStorage> storage(new BCNLogDBStorage());
    storage->initWithSchema(logsSchema(), SchemaVersion, "Logs.sqlite");
    const auto& schema = storage->schema();
    storage->m_idColumnIndex = columnIndex(schema, kTable, "id");
    storage->m_groupIdColumnIndex = columnIndex(schema, kTable, "groupId");
    storage->m_logColumnIndex = columnIndex(schema, kTable, "log");
    storage->m_targetTokenColumnIndex = columnIndex(schema, kTable, "targetToken");
    return storage;
}

void BCNLogDBStorage::customizeDatabase(sqlite3* db)
{
    executeNonSelectionQuery("CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\")", db, nullptr);
}

void BCNLogDBStorage::migrateDatabase(sqlite3* db, std::uint64_t)
{
    // Logs of an older layout are not worth converting: the table is built anew.
    int result;
    if (tableExists(kTable, db, &result))
        executeNonSelectionQuery("DROP TABLE \"logs\";", db, nullptr);
    createTablesWithSchema(schema(), db);
    customizeDatabase(db);
}

bool BCNLogDBStorage::saveLog(const BCNLogPtr& log, const std::string& groupId, BCNLogFlags flags)
{
    if (!log)
        return false;
    const std::int64_t priority = static_cast<std::int64_t>(flags & 0xFF);
    const auto archived = BCNUtility::archiveKeyedData(log);
    std::optional<std::string> text;
    if (archived)
        text = foundation::base64Encode(*archived);

    BCNStorageBindableArray values;
    std::string insert;
    if (dynamic_cast<const BCNCommonSchemaLog*>(log.get())) {
        const auto tokens = log->transmissionTargetTokens();
        std::optional<std::string> token;
        if (tokens && !tokens->empty())
            token = *tokens->begin();
        std::optional<std::string> encrypted;
        if (token) {
            encrypted = m_targetTokenEncrypter.encryptString(*token);
            if (!encrypted) {
                // Keeping the token in plain is not an option, and a log without its token can
                // never be delivered: refuse it.
                BCNLogError(kTag, "Failed to encrypt the target token; the log is not stored.");
                return false;
            }
        }
        values.addString(groupId);
        values.addString(text);
        values.addString(encrypted);
        values.addString(BCNUtility::targetKeyFromTargetToken(token));
        values.addNumber(priority);
        insert = "INSERT INTO \"logs\" (\"groupId\", \"log\", \"targetToken\", \"targetKey\", \"priority\") VALUES (?, ?, ?, ?, ?)";
    } else {
        values.addString(groupId);
        values.addString(text);
        values.addNumber(priority);
        insert = "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\") VALUES (?, ?, ?)";
    }

    const int result = executeQueryUsingBlock([&](sqlite3* db) {
        int asked;
        const auto pages = maxPageCountInOpenedDatabase(db, &asked);
        if (!pages)
            return asked; // a busy or damaged store says nothing about its size
        const std::int64_t limit = *pages * pageSize();
        const std::size_t length = text ? text->size() : 0;
        if (static_cast<std::int64_t>(length) >= limit) {
            BCNLogError(kTag, "Log is too large (" + std::to_string(length) + " bytes) to store in database. Current maximum database size is "
                                  + std::to_string(limit) + " bytes.");
            return 1;
        }
        int result = executeNonSelectionQuery(insert, db, &values);
        std::size_t deleted = 0;
        if (result == SQLITE_FULL) {
            BCNStorageBindableArray bound;
            bound.addNumber(priority);
            const auto candidates = executeSelectionQuery(
                "SELECT \"id\" FROM \"logs\" WHERE \"priority\" <= ? ORDER BY \"priority\" ASC, \"id\" ASC", db, &bound);
            for (const auto& row : candidates) {
                const std::int64_t id = row.front().asInteger();
                result = deleteLogsFromDBWithColumnValues({ id }, "id", db);
                if (result != SQLITE_OK)
                    break;
                BCNLogDebug(kTag, "Deleted a log with id " + std::to_string(id) + " to store a new log.");
                ++deleted;
                result = executeNonSelectionQuery(insert, db, &values);
                if (result != SQLITE_FULL)
                    break;
            }
            if (deleted > 0)
                BCNLogDebug(kTag, "Log storage was over capacity, " + std::to_string(deleted)
                                      + " oldest log(s) with equal or lower priority deleted.");
        }
        if (result == SQLITE_FULL)
            BCNLogError(kTag, "Storage is full and no logs with equal or lower priority exist; discarding the log.");
        else if (result == SQLITE_OK)
            BCNLogVerbose(kTag, "Log is stored with id: '" + std::to_string(sqlite3_last_insert_rowid(db)) + "'");
        return result;
    });
    if (result != SQLITE_OK && result != SQLITE_FULL && result != 1)
        reportCannotWrite(result);
    return result == SQLITE_OK;
}

std::uint64_t BCNLogDBStorage::countLogs()
{
    return countEntriesForTable(kTable, std::nullopt, nullptr);
}

std::uint64_t BCNLogDBStorage::countLogsWithGroupId(const std::string& groupId)
{
    BCNStorageBindableArray values;
    values.addString(groupId);
    return countEntriesForTable(kTable, "\"groupId\" = ?", &values);
}

std::string BCNLogDBStorage::buildKeyFormatWithCount(std::size_t count)
{
    std::string list = "(";
    for (std::size_t i = 0; i < count; ++i)
        list += i == 0 ? "?" : ",?";
    return list + ")";
}

bool BCNLogDBStorage::loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                          const std::optional<std::set<std::string>>& excludedTargetKeys,
                                          const LoadCompletion& completion)
{
    std::vector<std::int64_t> inFlight(m_sentButKept.begin(), m_sentButKept.end());
    for (const auto& [key, ids] : m_batches)
        if (key.first == groupId)
            inFlight.insert(inFlight.end(), ids.begin(), ids.end());

    BCNStorageBindableArray values;
    std::string condition = "\"groupId\" = ?";
    values.addString(groupId);
    if (excludedTargetKeys && !excludedTargetKeys->empty()) {
        condition += " AND \"targetKey\" NOT IN " + buildKeyFormatWithCount(excludedTargetKeys->size());
        for (const auto& key : *excludedTargetKeys)
            values.addString(key);
    }
    if (!inFlight.empty()) {
        condition += " AND \"id\" NOT IN " + buildKeyFormatWithCount(inFlight.size());
        for (auto id : inFlight)
            values.addNumber(id);
    }
    condition += " ORDER BY \"priority\" DESC, \"id\" ASC";
    const std::uint64_t rowLimit = limit == UINT64_MAX ? limit : limit + 1;
    condition += " LIMIT " + std::to_string(std::min<std::uint64_t>(rowLimit, INT64_MAX));

    auto rows = logsWithCondition(condition, values);
    bool more = false;
    if (rows.size() > limit) {
        rows.resize(limit);
        more = true;
    }
    std::vector<BCNLogPtr> logs;
    std::optional<std::string> batchId;
    if (!rows.empty()) {
        batchId = foundation::UUID::random().UUIDString();
        std::vector<std::int64_t> ids;
        for (const auto& row : rows) {
            ids.push_back(row.id);
            logs.push_back(row.log);
        }
        BCNLogVerbose(kTag, "Load log(s) with id(s) '" + joinedIds(ids) + "' as batch Id:" + *batchId);
        m_batches[{ groupId, *batchId }] = std::move(ids);
    }
    if (completion)
        completion(logs, batchId);
    return more;
}

std::vector<BCNLogDBStorage::StoredLog> BCNLogDBStorage::logsWithCondition(const std::string& condition,
                                                                           const BCNStorageBindableArray& values)
{
    std::string query = "SELECT * FROM \"logs\"";
    if (!condition.empty())
        query += " WHERE " + condition;
    const auto rows = executeSelectionQuery(query, &values);
    std::vector<StoredLog> result;
    std::vector<std::int64_t> unreadable;
    for (const auto& row : rows) {
        if (row.size() <= std::max({ m_idColumnIndex, m_logColumnIndex, m_targetTokenColumnIndex }))
            continue;
        const std::int64_t id = row[m_idColumnIndex].asInteger();
        BCNLogPtr log;
        if (row[m_logColumnIndex].isString())
            if (auto bytes = foundation::base64Decode(row[m_logColumnIndex].asString(), foundation::Base64DecodingIgnoreUnknownCharacters))
                log = std::dynamic_pointer_cast<BCNAbstractLog>(BCNUtility::unarchiveKeyedData(*bytes));
        if (!log) {
            BCNLogError(kTag, "Deserialization failed for log with Id " + std::to_string(id));
            unreadable.push_back(id);
            continue;
        }
        const auto& token = row[m_targetTokenColumnIndex];
        if (token.isString()) {
            if (token.asString().empty()) {
                BCNLogError(kTag, "Unexpected empty target token for log with Id " + std::to_string(id) + ".");
            } else if (auto plain = m_targetTokenEncrypter.decryptString(token.asString())) {
                log->addTransmissionTargetToken(*plain);
            } else {
                BCNLogError(kTag, "Failed to decrypt the target token for log with Id " + std::to_string(id) + ".");
            }
        }
        result.push_back({ id, std::move(log) });
    }
    if (!unreadable.empty())
        deleteLogsFromDBWithIds(unreadable);
    return result;
}

int BCNLogDBStorage::deleteLogsFromDBWithIds(const std::vector<std::int64_t>& ids)
{
    std::vector<std::variant<std::int64_t, std::string>> values(ids.begin(), ids.end());
    return executeQueryUsingBlock([&](sqlite3* db) { return deleteLogsFromDBWithColumnValues(values, "id", db); });
}

int BCNLogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<std::variant<std::int64_t, std::string>>& values,
                                                      const std::string& columnName, sqlite3* db)
{
    // Values are bound, never written into the statement: group ids are caller text.
    BCNStorageBindableArray bound;
    std::string shown;
    for (const auto& value : values) {
        if (const auto* number = std::get_if<std::int64_t>(&value)) {
            bound.addNumber(*number);
            shown += (shown.empty() ? "" : "','") + std::to_string(*number);
        } else {
            bound.addString(std::get<std::string>(value));
            shown += (shown.empty() ? "" : "','") + std::get<std::string>(value);
        }
    }
    const std::string trace = "Deletion of log(s) by " + columnName + " with value(s) '" + shown + "'";
    const int result = executeNonSelectionQuery("DELETE FROM \"logs\" WHERE \"" + columnName + "\" IN " + buildKeyFormatWithCount(values.size()),
                                                db, &bound);
    if (result == SQLITE_OK)
        BCNLogVerbose(kTag, trace + " succeeded.");
    else
        BCNLogError(kTag, trace + " failed.");
    return result;
}

void BCNLogDBStorage::deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId)
{
    auto it = m_batches.find({ groupId, batchId });
    if (it == m_batches.end())
        return;
    if (!it->second.empty() && deleteLogsFromDBWithIds(it->second) != SQLITE_OK) {
        // Delivered, yet still stored (a read-only or full folder): this process does not send
        // them again. A later launch that can write will, once.
        m_sentButKept.insert(it->second.begin(), it->second.end());
        reportCannotWrite(SQLITE_READONLY);
    }
    m_batches.erase(it);
}

void BCNLogDBStorage::releaseBatchWithId(const std::string& batchId, const std::string& groupId)
{
    m_batches.erase({ groupId, batchId });
}

void BCNLogDBStorage::reportCannotWrite(int result)
{
    if (m_reportedCannotWrite)
        return;
    m_reportedCannotWrite = true;
    BCNLogError(kTag, "The log store cannot be written (" + std::string(sqlite3_errstr(result)) + ", " + dbFileURL().string()
                          + "): new logs are not kept, and logs that were sent are not sent again by this process.");
}

bool BCNLogDBStorage::hasLogWithArchive(std::span<const std::uint8_t> archive)
{
    BCNStorageBindableArray values;
    values.addString(foundation::base64Encode(archive));
    return countEntriesForTable(kTable, "\"log\" = ?", &values) > 0;
}

std::vector<BCNLogPtr> BCNLogDBStorage::logsFromDBWithGroupId(const std::string& groupId)
{
    BCNStorageBindableArray values;
    values.addString(groupId);
    std::vector<BCNLogPtr> logs;
    for (auto& row : logsWithCondition("\"groupId\" = ? ORDER BY \"id\" ASC", values))
        logs.push_back(std::move(row.log));
    return logs;
}

std::vector<BCNLogPtr> BCNLogDBStorage::deleteLogsWithGroupId(const std::string& groupId)
{
    BCNStorageBindableArray values;
    values.addString(groupId);
    const auto rows = logsWithCondition("\"groupId\" = ?", values);
    executeQueryUsingBlock([&](sqlite3* db) { return deleteLogsFromDBWithColumnValues({ groupId }, "groupId", db); });
    std::erase_if(m_batches, [&](const auto& entry) { return entry.first.first == groupId; });
    std::vector<BCNLogPtr> logs;
    for (const auto& row : rows)
        logs.push_back(row.log);
    return logs;
}
