#include "MovaraAppKit/Telemetry/Core/Storage/BCNDBStorage.h"

#include <sys/stat.h>

#include <mutex>
#include <set>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"

namespace {

const std::string kTag = "Beacon";

// URI file names for every connection, set once before the first database opens.
int sqliteConfiguration()
{
    static const int result = sqlite3_config(SQLITE_CONFIG_URI, 1);
    return result;
}

struct Connection {
    sqlite3* db = nullptr;
    ~Connection()
    {
        if (db)
            sqlite3_close(db);
    }
};

std::string message(sqlite3* db)
{
    return db ? sqlite3_errmsg(db) : "";
}

std::string quoted(const std::string& name)
{
    return "\"" + name + "\"";
}

std::string createTableQuery(const std::string& table, const BCNDBStorage::ColumnsSchema& columns)
{
    std::string list;
    for (const auto& [column, words] : columns) {
        if (!list.empty())
            list += ", ";
        list += quoted(column);
        std::string joined;
        for (const auto& word : words)
            joined += (joined.empty() ? "" : " ") + word;
        list += " " + joined;
    }
    return "CREATE TABLE " + quoted(table) + " (" + list + ");";
}

std::optional<std::int64_t> querySingleValue(const std::string& query, sqlite3* db, int* result)
{
    auto rows = BCNDBStorage::executeSelectionQuery(query, db, nullptr, result);
    if (*result != SQLITE_OK || rows.empty() || rows.front().empty())
        return std::nullopt;
    return rows.front().front().asInteger();
}

std::int64_t querySingleValue(const std::string& query, sqlite3* db)
{
    int result;
    return querySingleValue(query, db, &result).value_or(0);
}

// Attempts of a statement that keeps finding the database busy, each after the busy time-out.
constexpr int kTransientAttempts = 3;

} // namespace

int BCNStorageBindableArray::bindAllValuesWithStatement(sqlite3_stmt* statement, sqlite3* db) const
{
    int index = 1;
    for (const auto& value : m_values) {
        int result;
        if (const auto* number = std::get_if<std::int64_t>(&value)) {
            result = sqlite3_bind_int64(statement, index, *number);
        } else {
            const auto& text = std::get<std::optional<std::string>>(value);
            result = text ? sqlite3_bind_text(statement, index, text->c_str(), static_cast<int>(text->size()), SQLITE_TRANSIENT)
                          : sqlite3_bind_null(statement, index);
        }
        if (result != SQLITE_OK) {
            BCNLogError(kTag, "Binding query parameter " + std::to_string(index) + " failed with error: " + std::to_string(result)
                                  + ". Message: " + message(db));
            return result;
        }
        ++index;
    }
    return SQLITE_OK;
}

std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::size_t>>>> BCNDBStorage::columnsIndexes(const Schema& schema)
{
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::size_t>>>> indexes;
    for (const auto& [table, columns] : schema) {
        std::vector<std::pair<std::string, std::size_t>> positions;
        for (std::size_t i = 0; i < columns.size(); ++i)
            positions.emplace_back(columns[i].first, i);
        indexes.emplace_back(table, std::move(positions));
    }
    return indexes;
}

std::size_t BCNDBStorage::columnIndex(const Schema& schema, const std::string& table, const std::string& column)
{
    for (const auto& [name, positions] : columnsIndexes(schema))
        if (name == table)
            for (const auto& [c, index] : positions)
                if (c == column)
                    return index;
    return 0;
}

sqlite3* BCNDBStorage::openDatabase(int* result) const
{
    sqlite3* db = nullptr;
    *result = sqlite3_open_v2(m_dbFileURL.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
    if (*result == SQLITE_OK)
        sqlite3_busy_timeout(db, BusyTimeoutMilliseconds);
    if (*result != SQLITE_OK) {
        BCNLogError(kTag, "Failed to open database with result: " + std::to_string(*result) + ".");
        if (db)
            sqlite3_close(db);
        return nullptr;
    }
    return db;
}

void BCNDBStorage::initWithSchema(Schema schema, std::uint64_t version, const std::string& filename)
{
    m_schema = std::move(schema);
    m_version = version;
    m_filename = filename;
    static std::once_flag logged;
    std::call_once(logged, [] {
        const int result = sqliteConfiguration();
        if (result == SQLITE_OK)
            BCNLogDebug(kTag, "SQLite global configuration successfully updated.");
        else
            BCNLogError(kTag, "Failed to update SQLite global configuration. Error: " + std::string(sqlite3_errstr(result)) + ".");
    });
    int result = configureDatabase(version, filename);
    if (isDamaged(result)) {
        if (recoverFromDamage(result)) {
            result = SQLITE_OK;
        } else {
            dropDatabase();
            result = configureDatabase(version, filename);
        }
    }
    if (result != SQLITE_OK)
        BCNLogError(kTag, "Failed to initialize database.");
}

int BCNDBStorage::configureDatabase(std::uint64_t version, const std::string& filename)
{
    const bool existed = BCNUtility::fileExistsForPathComponent(filename);
    if (auto url = BCNUtility::createFileAtPathComponent(filename, std::nullopt, false, false))
        m_dbFileURL = *url;
    else
        m_dbFileURL = BCNUtility::fullURLForPathComponent(filename);
    // A file an older version left readable by all is made private; SQLite gives its journal
    // the mode of the file.
    ::chmod(m_dbFileURL.c_str(), 0600);
    m_maxSizeInBytes = DefaultMaxSizeInBytes;
    int result;
    Connection connection { openDatabase(&result) };
    if (!connection.db)
        return result;
    sqlite3* db = connection.db;
    m_pageSize = getPageSizeInOpenedDatabase(db);
    auto rows = executeSelectionQuery("PRAGMA user_version", db, nullptr, &result);
    if (result != SQLITE_OK)
        return result;
    const std::uint64_t stored = rows.empty() || rows.front().empty() ? 0 : static_cast<std::uint64_t>(rows.front().front().asInteger());
    if (!m_schema.empty()) {
        result = createTablesWithSchema(m_schema, db);
        if (result != SQLITE_OK) {
            BCNLogError(kTag, "Failed to create tables with schema with error \"" + std::to_string(result) + "\".");
            return result;
        }
    }
    if (existed && stored < version) {
        BCNLogInfo(kTag, "Migrating \"" + filename + "\" database from version " + std::to_string(stored) + " to "
                             + std::to_string(version) + ".");
        migrateDatabase(db, stored);
    } else if (!existed) {
        BCNLogInfo(kTag, "Created \"" + filename + "\" database with " + std::to_string(version) + " version.");
        customizeDatabase(db);
    }
    // Auto-vacuum, then the version; a file written by a newer version keeps its number.
    if (querySingleValue("PRAGMA auto_vacuum", db) != 1) {
        BCNLogDebug(kTag, "Vacuuming database and enabling auto_vacuum");
        executeNonSelectionQuery("PRAGMA auto_vacuum = FULL;", db, nullptr);
        executeNonSelectionQuery("VACUUM;", db, nullptr);
    }
    if (!existed || stored < version)
        result = executeNonSelectionQuery("PRAGMA user_version = " + std::to_string(version), db, nullptr);
    return result;
}

int BCNDBStorage::executeQueryUsingBlock(const std::function<int(sqlite3*)>& block)
{
    auto once = [&]() -> int {
        int result;
        Connection connection { openDatabase(&result) };
        if (!connection.db)
            return result;
        // The page limit belongs to one connection, so every connection sets it again. Without a
        // known page size there is no limit to set.
        if (m_pageSize > 0) {
            result = setMaxPageCount(m_maxSizeInBytes / m_pageSize, connection.db);
            if (isDamaged(result) || isTransient(result))
                return result;
            if (result != SQLITE_OK)
                BCNLogError(kTag, "Failed to open database with specified maximum size constraint.");
        }
        return block(connection.db);
    };
    int result = once();
    // Another process holding the file past the busy time-out: tried again, never taken as an
    // answer about the data.
    for (int attempt = 1; attempt < kTransientAttempts && isTransient(result); ++attempt) {
        BCNLogDebug(kTag, "The database is busy, trying again.");
        result = once();
    }
    if (isDamaged(result) && recoverFromDamage(result))
        result = once();
    return result;
}

bool BCNDBStorage::recoverFromDamage(int cause)
{
    // Every table is read out as far as it goes, from both ends: a damaged page stops a scan,
    // and the rows beyond it are reached from the other side.
    std::vector<std::pair<std::string, Rows>> salvaged;
    std::size_t kept = 0;
    {
        int result;
        Connection connection { openDatabase(&result) };
        for (const auto& [table, columns] : m_schema) {
            Rows rows;
            if (connection.db) {
                std::string list;
                for (const auto& column : columns)
                    list += (list.empty() ? "" : ", ") + quoted(column.first);
                std::set<std::int64_t> seen;
                for (const char* order : { "ASC", "DESC" }) {
                    sqlite3_stmt* statement = nullptr;
                    const std::string query = "SELECT " + list + " FROM " + quoted(table) + " ORDER BY rowid " + order;
                    if (sqlite3_prepare_v2(connection.db, query.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
                        sqlite3_finalize(statement);
                        continue;
                    }
                    while (sqlite3_step(statement) == SQLITE_ROW) {
                        Row row;
                        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                            switch (sqlite3_column_type(statement, i)) {
                            case SQLITE_INTEGER: row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i))); break;
                            case SQLITE_TEXT:
                                row.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)),
                                                             static_cast<std::size_t>(sqlite3_column_bytes(statement, i))));
                                break;
                            default: row.emplace_back(nullptr);
                            }
                        }
                        // The first column is the key when it is an integer (the tables' ids).
                        if (!row.empty() && row.front().isInteger() && !seen.insert(row.front().asInteger()).second)
                            break; // met the rows the other scan read
                        rows.push_back(std::move(row));
                    }
                    sqlite3_finalize(statement);
                }
            }
            kept += rows.size();
            salvaged.emplace_back(table, std::move(rows));
        }
    }
    std::filesystem::path aside = m_dbFileURL;
    aside += ".damaged";
    std::error_code ec;
    std::filesystem::rename(m_dbFileURL, aside, ec);
    if (ec) {
        BCNLogError(kTag, "The damaged database " + m_dbFileURL.string() + " could not be set aside: " + ec.message() + ".");
        return false;
    }
    for (const char* suffix : { "-journal", "-wal", "-shm" }) {
        std::filesystem::path leftover = m_dbFileURL;
        leftover += suffix;
        std::filesystem::remove(leftover, ec);
    }
    const std::int64_t maxSize = m_maxSizeInBytes;
    if (configureDatabase(m_version, m_filename) != SQLITE_OK) {
        BCNLogError(kTag, "Failed to initialize database.");
        return false;
    }
    m_maxSizeInBytes = maxSize;
    int result;
    Connection connection { openDatabase(&result) };
    if (!connection.db)
        return false;
    executeNonSelectionQuery("BEGIN", connection.db, nullptr);
    for (std::size_t t = 0; t < salvaged.size(); ++t) {
        const auto& columns = m_schema[t].second;
        std::string names, marks;
        for (const auto& column : columns) {
            names += (names.empty() ? "" : ", ") + quoted(column.first);
            marks += marks.empty() ? "?" : ", ?";
        }
        const std::string insert = "INSERT INTO " + ::quoted(salvaged[t].first) + " (" + names + ") VALUES (" + marks + ")";
        for (const auto& row : salvaged[t].second) {
            BCNStorageBindableArray values;
            for (const auto& value : row) {
                if (value.isInteger())
                    values.addNumber(value.asInteger());
                else if (value.isString())
                    values.addString(value.asString());
                else
                    values.addString(std::nullopt);
            }
            executeNonSelectionQuery(insert, connection.db, &values);
        }
    }
    executeNonSelectionQuery("COMMIT", connection.db, nullptr);
    BCNLogWarning(kTag, "The log store was damaged (" + std::string(sqlite3_errstr(cause)) + "): " + std::to_string(kept)
                            + " row(s) that could still be read were kept, the damaged file was set aside as " + aside.string()
                            + " and the store was built anew.");
    return true;
}

int BCNDBStorage::executeQuery(const std::string& query, sqlite3* db, const BCNStorageBindableArray* values,
                               const std::function<int(sqlite3_stmt*)>& block)
{
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr);
    if (result != SQLITE_OK) {
        BCNLogError(kTag, "Failed to prepare SQLite statement, result=" + std::to_string(result) + "\n\t" + message(db));
        return result;
    }
    result = values ? values->bindAllValuesWithStatement(statement, db) : SQLITE_OK;
    if (result == SQLITE_OK)
        result = block(statement);
    const int finalized = sqlite3_finalize(statement);
    if (finalized != SQLITE_OK && result == SQLITE_OK)
        BCNLogError(kTag, "Failed to finalize SQLite statement, result=" + std::to_string(finalized) + "\n\t" + message(db));
    return result;
}

int BCNDBStorage::executeNonSelectionQuery(const std::string& query, sqlite3* db, const BCNStorageBindableArray* values)
{
    return executeQuery(query, db, values, [db](sqlite3_stmt* statement) {
        const int result = sqlite3_step(statement);
        if (result == SQLITE_DONE)
            return SQLITE_OK;
        const std::string detail = std::to_string(result) + "\n\t" + message(db);
        if (result == SQLITE_CORRUPT || result == SQLITE_NOTADB)
            BCNLogError(kTag, "A database file is corrupted, result=" + detail);
        else if (result == SQLITE_FULL)
            BCNLogDebug(kTag, "Query failed with error: " + detail);
        else
            BCNLogError(kTag, "Could not execute the statement, result=" + detail);
        return result;
    });
}

BCNDBStorage::Rows BCNDBStorage::executeSelectionQuery(const std::string& query, sqlite3* db, const BCNStorageBindableArray* values,
                                                       int* resultOut)
{
    Rows rows;
    const int result = executeQuery(query, db, values, [&](sqlite3_stmt* statement) {
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            const int count = sqlite3_column_count(statement);
            Row row;
            for (int i = 0; i < count; ++i) {
                switch (sqlite3_column_type(statement, i)) {
                case SQLITE_INTEGER: row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i))); break;
                case SQLITE_TEXT: {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                    row.emplace_back(std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, i))));
                    break;
                }
                case SQLITE_NULL: row.emplace_back(nullptr); break;
                default:
                    BCNLogError(kTag, "Could not retrieve column value at index " + std::to_string(i) + " from statement: unknown type "
                                          + std::to_string(sqlite3_column_type(statement, i)) + ".");
                    row.emplace_back(nullptr);
                }
            }
            if (!row.empty())
                rows.push_back(std::move(row));
        }
        if (step != SQLITE_DONE) {
            BCNLogError(kTag, "Query failed with error: " + std::to_string(step) + "\n\t" + message(db));
            return step;
        }
        return SQLITE_OK;
    });
    if (resultOut)
        *resultOut = result;
    return rows;
}

int BCNDBStorage::executeNonSelectionQuery(const std::string& query, const BCNStorageBindableArray* values)
{
    return executeQueryUsingBlock([&](sqlite3* db) { return executeNonSelectionQuery(query, db, values); });
}

BCNDBStorage::Rows BCNDBStorage::executeSelectionQuery(const std::string& query, const BCNStorageBindableArray* values)
{
    Rows rows;
    executeQueryUsingBlock([&](sqlite3* db) {
        int result;
        rows = executeSelectionQuery(query, db, values, &result);
        return result;
    });
    return rows;
}

std::uint64_t BCNDBStorage::countEntriesForTable(const std::string& table, const std::optional<std::string>& condition,
                                                 const BCNStorageBindableArray* values)
{
    std::string query = "SELECT COUNT(*) FROM " + quoted(table) + " ";
    if (condition && !condition->empty())
        query += "WHERE " + *condition;
    const auto rows = executeSelectionQuery(query, values);
    if (rows.empty() || rows.front().empty())
        return 0;
    return static_cast<std::uint64_t>(rows.front().front().asInteger());
}

bool BCNDBStorage::tableExists(const std::string& table, sqlite3* db, int* resultOut)
{
    BCNStorageBindableArray values;
    values.addString(table);
    int result;
    auto rows = executeSelectionQuery("SELECT COUNT(*) FROM \"sqlite_master\" WHERE \"type\"='table' AND \"name\"=?;", db, &values, &result);
    if (resultOut)
        *resultOut = result;
    return !rows.empty() && !rows.front().empty() && rows.front().front().asInteger() > 0;
}

int BCNDBStorage::createTablesWithSchema(const Schema& schema, sqlite3* db)
{
    std::vector<std::string> queries;
    for (const auto& [table, columns] : schema)
        if (!tableExists(table, db))
            queries.push_back(createTableQuery(table, columns));
    for (const auto& query : queries)
        if (int result = executeNonSelectionQuery(query, db, nullptr); result != SQLITE_OK)
            return result;
    return SQLITE_OK;
}

// Runs `query` unless the table already is as wanted (there or gone); true when it is so after.
bool BCNDBStorage::changeTable(const std::string& table, bool wantExisting, const std::string& query, const std::string& verb)
{
    return executeQueryUsingBlock([&](sqlite3* db) {
               if (tableExists(table, db) == wantExisting)
                   return SQLITE_OK;
               const int result = executeNonSelectionQuery(query, db, nullptr);
               if (result == SQLITE_OK)
                   BCNLogVerbose(kTag, "Table " + table + " has been " + verb + "d");
               else
                   BCNLogError(kTag, "Failed to " + verb + " table " + table);
               return result;
           })
        == SQLITE_OK;
}

bool BCNDBStorage::dropTable(const std::string& table)
{
    return changeTable(table, false, "DROP TABLE " + quoted(table) + ";", "delete");
}

bool BCNDBStorage::createTable(const std::string& table, const ColumnsSchema& columnsSchema)
{
    return changeTable(table, true, createTableQuery(table, columnsSchema), "create");
}

void BCNDBStorage::dropDatabase()
{
    if (BCNUtility::deleteFileAtURL(m_dbFileURL))
        BCNLogVerbose(kTag, "Database " + m_dbFileURL.string() + " has been deleted.");
    else
        BCNLogError(kTag, "Failed to delete database.");
}

std::int64_t BCNDBStorage::getPageSizeInOpenedDatabase(sqlite3* db) { return querySingleValue("PRAGMA page_size;", db); }
std::int64_t BCNDBStorage::getPageCountInOpenedDatabase(sqlite3* db) { return querySingleValue("PRAGMA page_count;", db); }
std::int64_t BCNDBStorage::getMaxPageCountInOpenedDatabase(sqlite3* db) { return querySingleValue("PRAGMA max_page_count;", db); }

std::optional<std::int64_t> BCNDBStorage::maxPageCountInOpenedDatabase(sqlite3* db, int* result)
{
    return querySingleValue("PRAGMA max_page_count;", db, result);
}

int BCNDBStorage::setMaxPageCount(std::int64_t count, sqlite3* db)
{
    int result;
    executeSelectionQuery("PRAGMA max_page_count = " + std::to_string(count), db, nullptr, &result);
    return result;
}

void BCNDBStorage::setMaxStorageSize(std::int64_t sizeInBytes, const CompletionHandler& completionHandler)
{
    bool success = false;
    int result;
    {
        Connection connection { openDatabase(&result) };
        sqlite3* db = connection.db;
        if (!m_pageSize && db)
            m_pageSize = getPageSizeInOpenedDatabase(db);
        if (db && m_pageSize > 0) {
            const std::int64_t pages = getPageCountInOpenedDatabase(db);
            BCNLogDebug(kTag, "Found " + std::to_string(pages) + " pages in the database.");
            const std::int64_t requested = (sizeInBytes + m_pageSize - 1) / m_pageSize;
            if (requested < pages) {
                BCNLogWarning(kTag, "Cannot change database size to " + std::to_string(sizeInBytes)
                                        + " bytes as it would cause a loss of data. Maximum database size will not be changed.");
            } else if ((result = setMaxPageCount(requested, db)) != SQLITE_OK) {
                BCNLogError(kTag, "Could not change maximum database size to " + std::to_string(sizeInBytes)
                                      + " bytes. SQLite error code: " + std::to_string(result));
            } else {
                const std::int64_t limit = getMaxPageCountInOpenedDatabase(db);
                const std::int64_t ceiling = limit * m_pageSize;
                if (limit == requested) {
                    if (ceiling == sizeInBytes)
                        BCNLogInfo(kTag, "Changed maximum database size to " + std::to_string(sizeInBytes) + " bytes.");
                    else
                        BCNLogInfo(kTag, "Changed maximum database size to " + std::to_string(ceiling) + " bytes (next multiple of 4KiB).");
                    m_maxSizeInBytes = ceiling;
                    success = true;
                } else {
                    BCNLogError(kTag, "Could not change maximum database size to " + std::to_string(sizeInBytes)
                                          + " bytes, current maximum size is " + std::to_string(ceiling) + " bytes.");
                }
            }
        }
    }
    // Reported in every case, a database that can't be opened included: the caller asked.
    if (completionHandler)
        completionHandler(success);
}
