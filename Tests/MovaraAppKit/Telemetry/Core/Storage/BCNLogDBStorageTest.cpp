#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include <sqlite3.h>

#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "MovaraAppKit/Telemetry/Core/Storage/BCNLogDBStorage.h"

namespace {

struct Batch {
    std::vector<BCNLogPtr> logs;
    std::optional<std::string> batchId;
    bool more = false;
};

Batch load(BCNLogDBStorage& storage, const std::string& group, std::uint64_t limit,
           std::optional<std::set<std::string>> excluded = std::nullopt)
{
    Batch batch;
    batch.more = storage.loadLogsWithGroupId(group, limit, excluded, [&](const auto& logs, const auto& id) {
        batch.logs = logs;
        batch.batchId = id;
    });
    return batch;
}

std::vector<std::string> sids(const std::vector<BCNLogPtr>& logs)
{
    std::vector<std::string> out;
    for (const auto& log : logs)
        out.push_back(log->sid().value_or("?"));
    return out;
}

void runSQL(const std::filesystem::path& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

} // namespace

class BCNLogStore : public TelemetryTest {
protected:
    BCNLogPtr named(const std::string& sid, std::size_t padding = 0)
    {
        auto log = validLog<BCNLogWithProperties>();
        log->setSid(sid);
        if (padding)
            log->setProperties(foundation::Value::dictionary({ { "pad", std::string(padding, 'p') } }));
        return log;
    }
};

TEST_F(BCNLogStore, BatchesPageThroughTheGroupByPriorityThenAge)
{
    auto storage = BCNLogDBStorage::init();
    ASSERT_TRUE(storage->saveLog(named("a"), "Analytics", 1));
    ASSERT_TRUE(storage->saveLog(named("b"), "Analytics", 2));
    ASSERT_TRUE(storage->saveLog(named("c"), "Analytics", 0x101)); // only the low byte is the priority
    ASSERT_TRUE(storage->saveLog(named("other"), "Crashes", 2));
    EXPECT_EQ(storage->countLogs(), 4u);

    auto first = load(*storage, "Analytics", 2);
    EXPECT_EQ(sids(first.logs), (std::vector<std::string> { "b", "a" }));
    EXPECT_TRUE(first.more);
    ASSERT_TRUE(first.batchId);
    EXPECT_TRUE(foundation::UUID::fromString(*first.batchId));
    auto second = load(*storage, "Analytics", 2);
    EXPECT_EQ(sids(second.logs), std::vector<std::string> { "c" });
    EXPECT_FALSE(second.more);
    auto third = load(*storage, "Analytics", 2);
    EXPECT_TRUE(third.logs.empty());
    EXPECT_FALSE(third.batchId);

    storage->deleteLogsWithBatchId(*first.batchId, "Analytics");
    storage->deleteLogsWithBatchId(*first.batchId, "Analytics");
    storage->deleteLogsWithBatchId("unknown", "Analytics");
    EXPECT_EQ(storage->countLogs(), 2u);

    // A fresh store (the next launch) hands out what is left, batches forgotten.
    auto relaunched = BCNLogDBStorage::init();
    EXPECT_EQ(sids(load(*relaunched, "Analytics", 10).logs), std::vector<std::string> { "c" });
}

TEST_F(BCNLogStore, GroupsAreKeptApartEvenWhenOneNameBeginsWithTheOther)
{
    auto storage = BCNLogDBStorage::init();
    storage->saveLog(named("crash"), "Crashes", 1);
    storage->saveLog(named("buffered"), "CrashesBuffer", 1);
    auto crashes = load(*storage, "Crashes", 10);
    auto buffered = load(*storage, "CrashesBuffer", 10);
    ASSERT_EQ(sids(crashes.logs), std::vector<std::string> { "crash" });
    ASSERT_EQ(sids(buffered.logs), std::vector<std::string> { "buffered" });

    EXPECT_EQ(sids(storage->deleteLogsWithGroupId("Crashes")), std::vector<std::string> { "crash" });
    EXPECT_TRUE(load(*storage, "CrashesBuffer", 10).logs.empty()) << "the other group's batch is still in flight";
    storage->deleteLogsWithBatchId(*buffered.batchId, "Crashes");
    EXPECT_EQ(storage->countLogs(), 1u) << "a batch is deleted only for its own group";
    storage->deleteLogsWithBatchId(*buffered.batchId, "CrashesBuffer");
    EXPECT_EQ(storage->countLogs(), 0u);
}

TEST_F(BCNLogStore, AFullStoreEvictsEqualOrLowerPrioritiesOldestFirst)
{
    auto storage = BCNLogDBStorage::init();
    storage->setMaxStorageSize(40960, nullptr);
    for (const char* sid : { "p2-a", "p2-b" })
        ASSERT_TRUE(storage->saveLog(named(sid, 3000), "Analytics", 2));
    int normal = 0;
    while (!logged(BCNLogLevelDebug, "Log storage was over capacity, 1 oldest log(s) with equal or lower priority deleted.")) {
        ASSERT_TRUE(storage->saveLog(named("p1-" + std::to_string(normal++), 3000), "Analytics", 1));
        ASSERT_LT(normal, 100);
    }
    auto remaining = sids(load(*storage, "Analytics", 100).logs);
    EXPECT_EQ(remaining.front(), "p2-a");
    EXPECT_EQ(std::count(remaining.begin(), remaining.end(), "p1-0"), 0) << "the oldest normal log went first";

    auto relaunched = BCNLogDBStorage::init();
    relaunched->setMaxStorageSize(40960, nullptr);
    ASSERT_TRUE(relaunched->saveLog(named("p2-c", 3000), "Analytics", 2));
    remaining = sids(load(*relaunched, "Analytics", 100).logs);
    EXPECT_EQ(std::count(remaining.begin(), remaining.end(), "p2-a"), 1) << "critical logs outlive normal ones";
    EXPECT_EQ(std::count(remaining.begin(), remaining.end(), "p1-1"), 0);
    EXPECT_EQ(std::count(remaining.begin(), remaining.end(), "p2-c"), 1);

    const auto before = relaunched->countLogs();
    EXPECT_FALSE(relaunched->saveLog(named("huge", 60000), "Analytics", 2));
    EXPECT_TRUE(loggedStartingWith(BCNLogLevelError, "Log is too large ("));
    EXPECT_EQ(relaunched->countLogs(), before) << "nothing is evicted for a log that can never fit";
}

TEST_F(BCNLogStore, AFullStoreGivesUpExactlyItsOldestLogOfThePriorityForANewOne)
{
    auto storage = BCNLogDBStorage::init();
    storage->setMaxStorageSize(40960, nullptr);
    std::vector<std::string> saved;
    while (storage->countLogs() == saved.size()) {
        saved.push_back("n" + std::to_string(saved.size()));
        ASSERT_TRUE(storage->saveLog(named(saved.back(), 3000), "Analytics", 1));
        ASSERT_LT(saved.size(), 100u);
    }
    // The last save made room by deleting exactly one log: the first ever stored.
    const std::vector<std::string> expected(saved.begin() + 1, saved.end());
    EXPECT_EQ(sids(load(*storage, "Analytics", 100).logs), expected);
}

TEST_F(BCNLogStore, ANormalLogIsRefusedWhenOnlyCriticalOnesFillTheStore)
{
    auto storage = BCNLogDBStorage::init();
    storage->setMaxStorageSize(32768, nullptr);
    int critical = 0;
    while (!logged(BCNLogLevelDebug, "Log storage was over capacity, 1 oldest log(s) with equal or lower priority deleted.")) {
        ASSERT_TRUE(storage->saveLog(named("p2-" + std::to_string(critical++), 3000), "Crashes", 2));
        ASSERT_LT(critical, 100);
    }
    const auto before = storage->countLogs();
    EXPECT_FALSE(storage->saveLog(named("p1", 3000), "Analytics", 1));
    EXPECT_TRUE(logged(BCNLogLevelError, "Storage is full and no logs with equal or lower priority exist; discarding the log."));
    EXPECT_EQ(storage->countLogs(), before);
}

TEST_F(BCNLogStore, TargetTokensAreKeptEncipheredAndExcludedKeysStayBehind)
{
    auto storage = BCNLogDBStorage::init();
    auto targeted = validLog<BCNCommonSchemaLog>();
    targeted->ver = "3.0";
    targeted->name = "a.b";
    targeted->setSid("targeted");
    targeted->addTransmissionTargetToken("key1-secret-token");
    ASSERT_TRUE(storage->saveLog(targeted, "Analytics/one", 1));
    auto other = validLog<BCNCommonSchemaLog>();
    other->ver = "3.0";
    other->name = "a.b";
    other->setSid("other");
    other->addTransmissionTargetToken("key2-token");
    ASSERT_TRUE(storage->saveLog(other, "Analytics/one", 1));

    const auto file = BCNUtility::fullURLForPathComponent("Logs.sqlite");
    auto stored = storage->executeSelectionQuery("SELECT \"targetToken\", \"targetKey\" FROM \"logs\" ORDER BY \"id\"");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0][1], foundation::Value("key1"));
    EXPECT_EQ(stored[0][0].asString().find("secret"), std::string::npos);

    auto batch = load(*storage, "Analytics/one", 10, std::set<std::string> { "key2" });
    ASSERT_EQ(sids(batch.logs), std::vector<std::string> { "targeted" });
    EXPECT_EQ(batch.logs[0]->transmissionTargetTokens(), (std::set<std::string> { "key1-secret-token" }));

    runSQL(file, "UPDATE logs SET targetToken = 'AAAA' WHERE targetKey = 'key2'");
    auto tampered = load(*BCNLogDBStorage::init(), "Analytics/one", 10);
    ASSERT_EQ(tampered.logs.size(), 2u);
    EXPECT_FALSE(tampered.logs[1]->transmissionTargetTokens().has_value());
    EXPECT_TRUE(logged(BCNLogLevelError, "Failed to decrypt the target token for log with Id 2."));
}

TEST_F(BCNLogStore, UnreadableRowsAreDroppedAndOlderFilesStartEmpty)
{
    auto storage = BCNLogDBStorage::init();
    storage->saveLog(named("good"), "Analytics", 1);
    const auto file = BCNUtility::fullURLForPathComponent("Logs.sqlite");
    runSQL(file, "INSERT INTO logs (groupId, log, priority) VALUES ('Analytics', 'bm90IGFuIGFyY2hpdmU=', 1)");
    EXPECT_EQ(sids(load(*storage, "Analytics", 10).logs), std::vector<std::string> { "good" });
    EXPECT_TRUE(logged(BCNLogLevelError, "Deserialization failed for log with Id 2"));
    EXPECT_EQ(storage->countLogs(), 1u);

    runSQL(file, "PRAGMA user_version = 4");
    auto upgraded = BCNLogDBStorage::init();
    EXPECT_EQ(upgraded->countLogs(), 0u);
    EXPECT_EQ(upgraded->executeSelectionQuery("PRAGMA user_version").front().front(), foundation::Value(5));
    EXPECT_EQ(upgraded->executeSelectionQuery("SELECT name FROM sqlite_master WHERE type = 'index' AND name = 'ix_logs_priority'").size(), 1u);
}

TEST_F(BCNLogStore, ALogSavedByAProcessThatIsKilledIsThereAtTheNextStart)
{
    EXPECT_EXIT(
        {
            BCNUtility::resetBeaconDirectory();
            auto storage = BCNLogDBStorage::init();
            if (storage->saveLog(named("survivor"), "Analytics", 1))
                std::raise(SIGKILL);
            std::_Exit(1);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    auto storage = BCNLogDBStorage::init();
    EXPECT_EQ(sids(load(*storage, "Analytics", 10).logs), std::vector<std::string> { "survivor" });
}

TEST_F(BCNLogStore, WhileAnotherProcessWritesTheStoreWaitsInsteadOfRefusing)
{
    auto storage = BCNLogDBStorage::init();
    ASSERT_TRUE(storage->saveLog(named("before"), "Analytics", 1));
    const auto file = BCNUtility::fullURLForPathComponent("Logs.sqlite");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The other process: a write transaction that takes a moment.
        sqlite3* db = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK || sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
            ::_exit(1);
        (void)!::write(ready[1], "x", 1);
        ::usleep(400 * 1000);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_TRUE(storage->saveLog(named("while busy"), "Analytics", 1)) << "a busy store is waited for";
    EXPECT_FALSE(loggedStartingWith(BCNLogLevelError, "Log is too large")) << "a busy store is not a store of size 0";
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sids(load(*storage, "Analytics", 10).logs), (std::vector<std::string> { "before", "while busy" }));
    ::close(ready[0]);
    ::close(ready[1]);
}

namespace {

// Pages of the file that hold rows of a table (leaf pages of a table tree).
std::vector<std::size_t> tableLeafPages(const std::filesystem::path& file, std::size_t pageSize)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::size_t> pages;
    for (std::size_t page = 1; (page + 1) * pageSize <= bytes.size(); ++page)
        if (bytes[page * pageSize] == 0x0D)
            pages.push_back(page);
    return pages;
}

} // namespace

TEST_F(BCNLogStore, ADamagedPageIsSetAsideAndTheStoreGoesOnWithWhatCouldBeRead)
{
    auto storage = BCNLogDBStorage::init();
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(storage->saveLog(named("s" + std::to_string(i), 3000), "Analytics", 1));
    const auto file = BCNUtility::fullURLForPathComponent("Logs.sqlite");
    const auto pageSize = static_cast<std::size_t>(storage->pageSize());
    const auto leaves = tableLeafPages(file, pageSize);
    ASSERT_GE(leaves.size(), 4u);
    {
        // One page in the middle becomes garbage, as a torn write or a bad sector leaves it.
        std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(leaves[leaves.size() / 2] * pageSize));
        const std::string garbage(pageSize, '\xA5');
        out.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }

    const auto salvaged = load(*storage, "Analytics", 100);
    EXPECT_GE(salvaged.logs.size(), 8u) << "the logs that could still be read are kept";
    EXPECT_LT(salvaged.logs.size(), 12u);
    EXPECT_TRUE(loggedStartingWith(BCNLogLevelWarning, "The log store was damaged"));
    bool setAside = false;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
        setAside = setAside || entry.path().filename().string().starts_with("Logs.sqlite.damaged");
    EXPECT_TRUE(setAside) << "the damaged file is kept aside, not deleted";

    // The store works again, for writing and for deleting what was sent.
    ASSERT_TRUE(salvaged.batchId);
    EXPECT_TRUE(storage->saveLog(named("after"), "Analytics", 1));
    storage->deleteLogsWithBatchId(*salvaged.batchId, "Analytics");
    EXPECT_EQ(sids(load(*storage, "Analytics", 100).logs), std::vector<std::string> { "after" });
    EXPECT_EQ(sids(load(*BCNLogDBStorage::init(), "Analytics", 100).logs), std::vector<std::string> { "after" }) << "at the next start too";
}

TEST_F(BCNLogStore, ALogThatWasSentButCannotBeDeletedIsNotHandedOutAgain)
{
    auto storage = BCNLogDBStorage::init();
    ASSERT_TRUE(storage->saveLog(named("a"), "Analytics", 1));
    ASSERT_TRUE(storage->saveLog(named("b"), "Analytics", 1));
    // From here on nothing in the store can change, as in a folder that became read-only or full.
    const auto file = BCNUtility::fullURLForPathComponent("Logs.sqlite");
    runSQL(file, "CREATE TRIGGER keep BEFORE DELETE ON logs BEGIN SELECT RAISE(FAIL, 'attempt to write a readonly database'); END;"
                 "CREATE TRIGGER refuse BEFORE INSERT ON logs BEGIN SELECT RAISE(FAIL, 'attempt to write a readonly database'); END;");
    auto sent = load(*storage, "Analytics", 1);
    ASSERT_EQ(sids(sent.logs), std::vector<std::string> { "a" });
    storage->deleteLogsWithBatchId(*sent.batchId, "Analytics");
    EXPECT_EQ(sids(load(*storage, "Analytics", 10).logs), std::vector<std::string> { "b" }) << "\"a\" went out already";
    EXPECT_TRUE(load(*storage, "Analytics", 10).logs.empty());
    EXPECT_FALSE(storage->saveLog(named("c"), "Analytics", 1));
    EXPECT_FALSE(storage->saveLog(named("d"), "Analytics", 1));
    EXPECT_EQ(countStartingWith(BCNLogLevelError, "The log store cannot be written"), 1) << "said once";
}
