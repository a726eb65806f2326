#include "MovaraKit/Support/Logging.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "Platform/Foundation/Bundle.h"
#include "Tests/Support/TempDir.h"

namespace {

class RecordingSink : public LogSink {
public:
    bool isEnabled(const OSLog&, LogType type) const override { return type != disabledType; }
    void write(const LogRecord& record) override
    {
        std::lock_guard lock(mutex);
        records.push_back(record);
    }

    LogType disabledType = static_cast<LogType>(0x7F);
    std::mutex mutex;
    std::vector<LogRecord> records;
};

class Logging : public ::testing::Test {
protected:
    void SetUp() override { m_previous = setLogSink(m_sink); }
    void TearDown() override { setLogSink(m_previous); }

    static std::shared_ptr<LogSubsystem> subsystem(std::optional<std::string> globalFilter)
    {
        std::map<std::string, std::string> environment{{"HOME", "/nowhere"}};
        if (globalFilter)
            environment["LOG_GLOBAL_FILTER"] = *globalFilter;
        return LogSubsystem::init("com.movara.test", LogEnvironment::init(environment));
    }

    std::vector<LogRecord>& records() { return m_sink->records; }

    std::shared_ptr<RecordingSink> m_sink = std::make_shared<RecordingSink>();
    std::shared_ptr<LogSink> m_previous;
};

constexpr LogType kAllTypes[] = {LogType::debug, LogType::info, LogType::default_, LogType::error, LogType::fault};

} // namespace

TEST(LogFilterTest, RanksTypesInOrder)
{
    for (size_t i = 1; i < LogFilterAllCases.size(); ++i)
        EXPECT_LT(LogFilterAllCases[i - 1], LogFilterAllCases[i]);
    EXPECT_TRUE(isEnabled(LogFilter::error, LogType::fault));
    EXPECT_TRUE(isEnabled(LogFilter::error, LogType::error));
    EXPECT_FALSE(isEnabled(LogFilter::error, LogType::default_));
    EXPECT_FALSE(isEnabled(LogFilter::mute, LogType::fault));
    // A type outside the known five ranks lowest: only `all` lets it through.
    EXPECT_TRUE(isEnabled(LogFilter::all, static_cast<LogType>(0x42)));
    EXPECT_FALSE(isEnabled(LogFilter::debug, static_cast<LogType>(0x42)));
}

TEST(LogFilterTest, GlobalFilterIsParsedFromTheEnvironment)
{
    struct Case {
        std::optional<std::string> value;
        std::optional<LogFilter> filter;
    } cases[] = {
        {"  Error\n", LogFilter::error},
        {"MUTE", LogFilter::mute},
        {"default", LogFilter::default_},
        {"\tall ", LogFilter::all},
        {"warning", std::nullopt},
        {"", std::nullopt},
        {"err or", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        std::map<std::string, std::string> environment;
        if (c.value)
            environment["LOG_GLOBAL_FILTER"] = *c.value;
        EXPECT_EQ(c.filter, LogEnvironment::init(environment)->globalFilter()) << c.value.value_or("<absent>");
    }
}

TEST_F(Logging, GlobalFilterOverridesEachLoggerInBothDirections)
{
    struct Case {
        std::optional<std::string> global;
        LogFilter own;
        LogFilter effective;
    } cases[] = {
        {std::nullopt, LogFilter::info, LogFilter::info},
        {"warning", LogFilter::info, LogFilter::info},
        {"mute", LogFilter::debug, LogFilter::mute},
        {"all", LogFilter::fault, LogFilter::all},
    };
    for (const auto& c : cases) {
        auto log = subsystem(c.global)->makeLog("Tests", c.own);
        EXPECT_EQ(c.effective, log->filter()) << c.global.value_or("<absent>");
    }

    auto muted = subsystem("mute")->makeLog("Tests", LogFilter::debug);
    for (LogType type : kAllTypes) {
        EXPECT_FALSE(muted->isEnabled(type));
        muted->log(type, "dropped", MVR_DSO);
    }
    EXPECT_TRUE(records().empty());
}

TEST_F(Logging, FilterDropsLowerLevelsAndAsksTheSystemLogForTheRest)
{
    auto log = subsystem(std::nullopt)->makeLog("Export", LogFilter::error);
    log->info("info %d", MVR_DSO, 1);
    log->default_("default %d", MVR_DSO, 2);
    log->error("error %d", MVR_DSO, 3);
    log->fault("fault %s", MVR_DSO, "four");
    ASSERT_EQ(2u, records().size());
    EXPECT_EQ(LogType::error, records()[0].type);
    EXPECT_EQ("error 3", records()[0].message);
    EXPECT_EQ("com.movara.test", records()[0].subsystem);
    EXPECT_EQ("Export", records()[0].category);
    EXPECT_EQ(MVR_DSO, records()[0].dso);
    EXPECT_EQ("fault four", records()[1].message);

    // A type the system log has switched off is not written even when the filter passes it.
    m_sink->disabledType = LogType::fault;
    EXPECT_FALSE(log->isEnabled(LogType::fault));
    log->fault("dropped", MVR_DSO);
    EXPECT_EQ(2u, records().size());
}

TEST_F(Logging, AtMostTwelveArgumentsPerCall)
{
    auto log = subsystem(std::nullopt)->makeLog("Tests", LogFilter::all);
    log->info("%d %d %d %d %d %d %d %d %d %d %d %d", MVR_DSO, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12);
    log->info("%d %d %d %d %d %d %d %d %d %d %d %d %d", MVR_DSO, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13);
    log->markEvent("Tick", MVR_DSO, "%d%d%d%d%d%d%d%d%d%d%d%d%d", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13);
    auto inert = log->beginSignpost("Too much", MVR_DSO, "%d", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13);
    ASSERT_NE(nullptr, inert);
    inert->end(MVR_DSO);
    inert.reset();
    ASSERT_EQ(1u, records().size());
    EXPECT_EQ("1 2 3 4 5 6 7 8 9 10 11 12", records()[0].message);
}

TEST_F(Logging, SignpostIntervalEndsExactlyOnce)
{
    auto log = subsystem("mute")->makeLog("Signposts", LogFilter::mute); // signposts ignore the filter
    {
        auto interval = log->beginSignpost("Encode", MVR_DSO, "frames %d", 30);
        interval->end(MVR_DSO, "done %s", "ok");
        interval->end(MVR_DSO);
    }
    {
        auto released = log->beginSignpost("Decode", MVR_DSO);
    }
    ASSERT_EQ(4u, records().size());
    const LogRecord& begin = records()[0];
    const LogRecord& end = records()[1];
    EXPECT_EQ(LogRecord::Kind::signpost, begin.kind);
    EXPECT_EQ(SignpostType::begin, begin.signpostType);
    EXPECT_EQ("Encode", begin.name);
    EXPECT_EQ("frames 30", begin.message);
    EXPECT_EQ(SignpostType::end, end.signpostType);
    EXPECT_EQ("Encode", end.name);
    EXPECT_EQ("done ok", end.message);
    EXPECT_EQ(begin.spid, end.spid);
    EXPECT_NE(SignpostIDExclusive, begin.spid);

    // Released without end: the end signpost is emitted at release.
    EXPECT_EQ(SignpostType::begin, records()[2].signpostType);
    EXPECT_EQ(SignpostType::end, records()[3].signpostType);
    EXPECT_EQ(records()[2].spid, records()[3].spid);
    EXPECT_NE(begin.spid, records()[2].spid);

    Signpost base;
    base.end(MVR_DSO);
    base.end(MVR_DSO, "%d", 1);
    EXPECT_EQ(4u, records().size());
}

TEST_F(Logging, EventsAndPointsOfInterestUseTheExclusiveIdentifier)
{
    auto sub = subsystem(std::nullopt);
    auto log = sub->makeLog("UI", LogFilter::mute);
    log->markEvent("Tap", MVR_DSO);
    log->markPointOfInterest("Export started", MVR_DSO, "%s", "movie.mov");
    sub->markPointOfInterest("Launch", MVR_DSO);
    ASSERT_EQ(3u, records().size());
    for (const LogRecord& r : records()) {
        EXPECT_EQ(SignpostType::event, r.signpostType);
        EXPECT_EQ(SignpostIDExclusive, r.spid);
    }
    EXPECT_EQ("UI", records()[0].category);
    EXPECT_EQ(OSLogCategoryPointsOfInterest, records()[1].category);
    EXPECT_EQ("movie.mov", records()[1].message);
    EXPECT_EQ(OSLogCategoryPointsOfInterest, records()[2].category);
    EXPECT_EQ("com.movara.test", records()[2].subsystem);
}

TEST_F(Logging, SubsystemFromABundleNeedsAnIdentifier)
{
    testsupport::TempDir dir;
    auto anonymous = std::make_shared<foundation::Bundle>(dir.path().string(), dir.path().string(),
                                                          foundation::Value::dictionary());
    EXPECT_EQ(nullptr, LogSubsystem::init(anonymous));
    EXPECT_EQ(nullptr, LogSubsystem::init(std::shared_ptr<foundation::Bundle>()));

    auto info = foundation::Value::dictionary();
    info["CFBundleIdentifier"] = foundation::Value("com.movara.Quintor");
    auto named = std::make_shared<foundation::Bundle>(dir.path().string(), dir.path().string(), info);
    auto sub = LogSubsystem::init(named);
    ASSERT_NE(nullptr, sub);
    EXPECT_EQ("com.movara.Quintor", sub->name());
    EXPECT_EQ(LogEnvironment::current(), sub->environment());
}

TEST(LogFormatTest, ConversionsFollowTheirArguments)
{
    auto format = [](std::string_view f, std::initializer_list<LogArgument> args) {
        return formatLogMessage(f, std::span<const LogArgument>(args.begin(), args.size()));
    };
    struct Case {
        std::string actual, expected;
    } cases[] = {
        {format("plain 100%%", {}), "plain 100%"},
        {format("%d|%5d|%-3d|%03d", {-7, 42, 1, 5}), "-7|   42|1  |005"},
        {format("%ld %lld %zu %u", {1L, 2LL, size_t(3), 4u}), "1 2 3 4"},
        {format("%x %X %#o", {255, 255, 8}), "ff FF 010"},
        {format("%.2f %g %e", {3.14159, 0.5, 1000.0}), "3.14 0.5 1.000000e+03"},
        {format("%{public}s and %{private}@", {"open", std::string("secret")}), "open and secret"},
        {format("%{public, mask.hash}d", {9}), "9"},
        {format("%.3s|%5s|%-5s|", {"abcdef", "ab", "ab"}), "abc|   ab|ab   |"},
        {format("%.*s", {2, "abcdef"}), "ab"},
        {format("%c%c", {'o', 'k'}), "ok"},
        {format("%s", {static_cast<const char*>(nullptr)}), "(null)"},
        // Mismatches print the argument as it is rather than reading the wrong type.
        {format("%d", {"text"}), "text"},
        {format("%s", {12}), "12"},
        {format("%f", {7}), "7.000000"},
        {format("%d and %d", {1}), "1 and <missing>"},
        {format("trailing %", {}), "trailing %"},
        {format("%{unterminated", {1}), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, c.actual);
    // A runaway width in a format is capped instead of allocating gigabytes.
    EXPECT_LE(format("%99999999999d", {1}).size(), 4096u);
}

TEST(LogFormatTest, LineFormatKeepsEachRecordOnOneLine)
{
    LogRecord message;
    message.type = LogType::error;
    message.subsystem = "com.movara.Quintor";
    message.category = "Export";
    message.message = "first\nsecond \\ third";
    message.pid = 12;
    message.tid = 34;
    message.dso = MVR_DSO;
    std::string line = formatLogLine(message);
    EXPECT_EQ(std::string::npos, line.find('\n'));
    EXPECT_NE(std::string::npos, line.find("[12:34] <Error> ("));
    EXPECT_NE(std::string::npos, line.find(") [com.movara.Quintor:Export] first\\nsecond \\\\ third"));

    LogRecord signpost = message;
    signpost.kind = LogRecord::Kind::signpost;
    signpost.signpostType = SignpostType::begin;
    signpost.name = "Encode";
    signpost.spid = 0x1f;
    signpost.message = "";
    line = formatLogLine(signpost);
    EXPECT_TRUE(line.ends_with("<Signpost> (" + line.substr(line.find("(") + 1, line.find(")") - line.find("(") - 1) +
                               ") [com.movara.Quintor:Export] begin \"Encode\" spid=0x1f"))
        << line;
}
