#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <fstream>

#include "MovaraAppKit/Telemetry/Core/Storage/BCNDBStorage.h"

namespace {

// A store with one small table that records which hook ran.
class ProbeStorage : public BCNDBStorage {
public:
    static std::shared_ptr<ProbeStorage> make(std::uint64_t version)
    {
        std::shared_ptr<ProbeStorage> storage(new ProbeStorage());
        storage->initWithSchema({ { "items", { { "id", { "INTEGER", "PRIMARY KEY" } }, { "value", { "INTEGER" } }, { "name", { "TEXT" } } } } },
                                version, "probe.sqlite");
        return storage;
    }
    int customized = 0;
    std::vector<std::uint64_t> migratedFrom;

protected:
    void customizeDatabase(sqlite3*) override { ++customized; }
    void migrateDatabase(sqlite3*, std::uint64_t from) override { migratedFrom.push_back(from); }
};

std::int64_t userVersion(BCNDBStorage& storage)
{
    return storage.executeSelectionQuery("PRAGMA user_version").front().front().asInteger();
}

} // namespace

using BCNDBStorageTest = TelemetryTest;

TEST_F(BCNDBStorageTest, VersionsMoveForwardOnlyAndCallTheirHooks)
{
    auto first = ProbeStorage::make(2);
    EXPECT_EQ(first->customized, 1);
    EXPECT_TRUE(first->migratedFrom.empty());
    EXPECT_EQ(userVersion(*first), 2);
    EXPECT_EQ(first->executeSelectionQuery("PRAGMA auto_vacuum").front().front(), foundation::Value(1));

    auto same = ProbeStorage::make(2);
    EXPECT_EQ(same->customized, 0);
    EXPECT_TRUE(same->migratedFrom.empty());

    auto newer = ProbeStorage::make(3);
    EXPECT_EQ(newer->migratedFrom, std::vector<std::uint64_t> { 2 });
    EXPECT_EQ(userVersion(*newer), 3);

    // A file written by a newer client keeps its number: an older one must not claim it.
    auto older = ProbeStorage::make(1);
    EXPECT_TRUE(older->migratedFrom.empty());
    EXPECT_EQ(userVersion(*older), 3);
}

TEST_F(BCNDBStorageTest, AFileThatIsNotADatabaseIsBuiltAnew)
{
    auto path = BCNUtility::fullURLForPathComponent("probe.sqlite");
    std::ofstream(path) << std::string(4096, 'x');
    auto storage = ProbeStorage::make(1);
    EXPECT_EQ(storage->customized, 1);
    EXPECT_EQ(storage->countEntriesForTable("items", std::nullopt, nullptr), 0u);
    EXPECT_EQ(storage->executeNonSelectionQuery("INSERT INTO \"items\" (\"value\") VALUES (1)"), 0);
}

TEST_F(BCNDBStorageTest, IntegersReadBackWithAllTheirBitsAndOtherTypesAsNull)
{
    auto storage = ProbeStorage::make(1);
    BCNStorageBindableArray values;
    values.addNumber((std::int64_t(1) << 32) + 5);
    values.addString(std::nullopt);
    ASSERT_EQ(storage->executeNonSelectionQuery("INSERT INTO \"items\" (\"value\", \"name\") VALUES (?, ?)", &values), 0);
    const auto rows = storage->executeSelectionQuery("SELECT \"value\", \"name\", 1.5 FROM \"items\"");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], foundation::Value(std::int64_t(4294967301)));
    EXPECT_TRUE(rows[0][1].isNull());
    EXPECT_TRUE(rows[0][2].isNull());
    EXPECT_TRUE(logged(BCNLogLevelError, "Could not retrieve column value at index 2 from statement: unknown type 2."));
    BCNStorageBindableArray condition;
    condition.addString("nobody");
    EXPECT_EQ(storage->countEntriesForTable("items", "\"name\" = ?", &condition), 0u);
    EXPECT_EQ(storage->countEntriesForTable("items", std::nullopt, nullptr), 1u);
}

TEST_F(BCNDBStorageTest, TheSizeCeilingChangesOnlyWhenTheDataFitsAndAlwaysReports)
{
    auto storage = ProbeStorage::make(1);
    ASSERT_EQ(storage->pageSize(), 4096);
    std::vector<bool> answers;
    storage->setMaxStorageSize(100000, [&](bool ok) { answers.push_back(ok); });
    EXPECT_EQ(storage->maxSizeInBytes(), 102400);
    EXPECT_TRUE(logged(BCNLogLevelInfo, "Changed maximum database size to 102400 bytes (next multiple of 4KiB)."));
    storage->setMaxStorageSize(4096, [&](bool ok) { answers.push_back(ok); });
    EXPECT_EQ(storage->maxSizeInBytes(), 102400) << "smaller than the file: unchanged";
    EXPECT_EQ(answers, (std::vector<bool> { true, false }));
}

TEST_F(BCNDBStorageTest, TablesAreCreatedOnceAndDroppedOnlyWhenThere)
{
    auto storage = ProbeStorage::make(1);
    const BCNDBStorage::ColumnsSchema columns { { "id", { "INTEGER", "PRIMARY KEY" } }, { "note", { "TEXT" } } };
    ASSERT_TRUE(storage->createTable("notes", columns));
    EXPECT_TRUE(logged(BCNLogLevelVerbose, "Table notes has been created"));
    EXPECT_EQ(storage->executeNonSelectionQuery("INSERT INTO notes (note) VALUES ('kept')"), SQLITE_OK);
    EXPECT_TRUE(storage->createTable("notes", columns)) << "an existing table is left as it is";
    EXPECT_EQ(storage->countEntriesForTable("notes", std::nullopt, nullptr), 1u);

    EXPECT_FALSE(storage->createTable("broken", { { "id", { "NOT A TYPE (" } } }));
    EXPECT_TRUE(logged(BCNLogLevelError, "Failed to create table broken"));

    EXPECT_TRUE(storage->dropTable("notes"));
    EXPECT_TRUE(storage->dropTable("notes")) << "a missing table needs no dropping";
    EXPECT_EQ(storage->executeSelectionQuery("SELECT name FROM sqlite_master WHERE name = 'notes'").size(), 0u);
}
