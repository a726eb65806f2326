#pragma once
// The telemetry client's thin layer over SQLite: one database file in the client's folder,
// described by a schema and a schema version (kept in "PRAGMA user_version"), opened afresh for
// every operation, with a size ceiling kept through SQLite's page limit. It creates missing
// tables, calls hooks for a new file and for an older version, switches on full auto-vacuum
// and runs statements with bound values. Integers read back as 64-bit values. Other processes
// may share the file: a busy database is waited for (and a statement that still finds it busy
// is tried again), never taken for an empty or full one. A file found damaged at any time keeps
// what can still be read: the rows are read out, the file is set aside ("<name>.damaged") and
// built anew with them. A foreign file found at start is replaced. Not locked: callers
// serialise (the channel group's queue).

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Platform/Foundation/Value.h"

// Values bound to the "?" parameters of a statement, in order: text (or NULL) and integers.
class BCNStorageBindableArray {
public:
    void addString(std::optional<std::string> value) { m_values.emplace_back(std::move(value)); }
    void addNumber(std::int64_t value) { m_values.emplace_back(value); }
    std::size_t count() const { return m_values.size(); }
    // 0, or the first failing SQLite code after an error line.
    int bindAllValuesWithStatement(sqlite3_stmt* statement, sqlite3* db) const;

private:
    std::vector<std::variant<std::optional<std::string>, std::int64_t>> m_values;
};

class BCNDBStorage {
public:
    // Table -> columns in order, each with its type and constraint words.
    using ColumnsSchema = std::vector<std::pair<std::string, std::vector<std::string>>>;
    using Schema = std::vector<std::pair<std::string, ColumnsSchema>>;
    using Row = std::vector<foundation::Value>;
    using Rows = std::vector<Row>;
    using CompletionHandler = std::function<void(bool)>;

    static constexpr std::int64_t DefaultMaxSizeInBytes = 10 * 1024 * 1024;

    virtual ~BCNDBStorage() = default;

    const std::filesystem::path& dbFileURL() const { return m_dbFileURL; }
    std::int64_t maxSizeInBytes() const { return m_maxSizeInBytes; }
    std::int64_t pageSize() const { return m_pageSize; }
    const Schema& schema() const { return m_schema; }

    // Opens a connection with the size ceiling applied, runs the block, closes. The open error
    // (block not run) or the block's result.
    int executeQueryUsingBlock(const std::function<int(sqlite3*)>& block);
    std::uint64_t countEntriesForTable(const std::string& table, const std::optional<std::string>& condition,
                                       const BCNStorageBindableArray* values);
    int executeNonSelectionQuery(const std::string& query, const BCNStorageBindableArray* values = nullptr);
    Rows executeSelectionQuery(const std::string& query, const BCNStorageBindableArray* values = nullptr);
    bool dropTable(const std::string& table);
    // Creates the table unless it exists; true when it is there afterwards.
    bool createTable(const std::string& table, const ColumnsSchema& columnsSchema);
    void dropDatabase();
    // Changes the ceiling when the data fits; the handler hears the result (also false when the
    // database can't be opened).
    void setMaxStorageSize(std::int64_t sizeInBytes, const CompletionHandler& completionHandler);

    // Per table, column name -> position.
    static std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::size_t>>>> columnsIndexes(const Schema& schema);
    static std::size_t columnIndex(const Schema& schema, const std::string& table, const std::string& column);

    static int createTablesWithSchema(const Schema& schema, sqlite3* db);
    static bool tableExists(const std::string& table, sqlite3* db, int* result = nullptr);
    static int executeNonSelectionQuery(const std::string& query, sqlite3* db, const BCNStorageBindableArray* values);
    static Rows executeSelectionQuery(const std::string& query, sqlite3* db, const BCNStorageBindableArray* values,
                                      int* result = nullptr);
    static int executeQuery(const std::string& query, sqlite3* db, const BCNStorageBindableArray* values,
                            const std::function<int(sqlite3_stmt*)>& block);
    static std::int64_t getPageSizeInOpenedDatabase(sqlite3* db);
    static std::int64_t getPageCountInOpenedDatabase(sqlite3* db);
    static std::int64_t getMaxPageCountInOpenedDatabase(sqlite3* db);
    // The same, none when the database could not be asked (`result` says why).
    static std::optional<std::int64_t> maxPageCountInOpenedDatabase(sqlite3* db, int* result);
    static bool isDamaged(int result) { return result == SQLITE_CORRUPT || result == SQLITE_NOTADB; }
    static bool isTransient(int result) { return result == SQLITE_BUSY || result == SQLITE_LOCKED; }
    // How long a connection waits for another one (of this or another process) to finish.
    static constexpr int BusyTimeoutMilliseconds = 5000;
    static int setMaxPageCount(std::int64_t count, sqlite3* db);

protected:
    BCNDBStorage() = default;
    // The second half of making a store: keeps the schema, opens (or rebuilds) the file.
    void initWithSchema(Schema schema, std::uint64_t version, const std::string& filename);
    // For a new file / for a file of an older version.
    virtual void customizeDatabase(sqlite3*) { }
    virtual void migrateDatabase(sqlite3*, std::uint64_t) { }

private:
    bool changeTable(const std::string& table, bool wantExisting, const std::string& query, const std::string& verb);
    int configureDatabase(std::uint64_t version, const std::string& filename);
    // Reads out what the damaged file still gives, sets it aside, builds the file anew and puts
    // the rows back. False when no working file could be made.
    bool recoverFromDamage(int cause);
    sqlite3* openDatabase(int* result) const;

    std::filesystem::path m_dbFileURL;
    std::uint64_t m_version = 0;
    std::string m_filename;
    std::int64_t m_maxSizeInBytes = DefaultMaxSizeInBytes;
    std::int64_t m_pageSize = 0;
    Schema m_schema;
};
