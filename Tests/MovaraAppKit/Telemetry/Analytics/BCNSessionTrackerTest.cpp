#include "MovaraAppKit/Telemetry/Analytics/BCNSessionTracker.h"
#include "MovaraAppKit/Telemetry/Analytics/BCNPageLog.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/UI/Application.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace {

struct CollectingDelegate : BCNSessionTrackerDelegate {
    std::vector<BCNLogPtr> logs;
    void sessionTrackerProcessLog(BCNSessionTracker&, const BCNLogPtr& log) override { logs.push_back(log); }
};

// A crash report names the session it happened in, not the current one.
struct OwnSessionLog : BCNPageLog, BCNNoAutoAssignSessionIdLog { };

class SessionTrackerTest : public TelemetryTest {
protected:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        dispatch::Clock::setVirtual(true);
        m_tracker = std::make_shared<BCNSessionTracker>();
        m_tracker->setDelegate(m_delegate);
    }
    void TearDown() override
    {
        m_tracker.reset();
        dispatch::Clock::setVirtual(false);
        TelemetryTest::TearDown();
    }
    static void post(const std::string& name) { foundation::NotificationCenter::defaultCenter().post(name); }
    static void advance(double seconds) { dispatch::Clock::advance(seconds); }
    static std::optional<std::string> session() { return BCNSessionContext::sharedInstance()->sessionId(); }
    void prepare(const BCNLogPtr& log) { m_tracker->channelPrepareLog(nullptr, log); }

    std::shared_ptr<CollectingDelegate> m_delegate = std::make_shared<CollectingDelegate>();
    std::shared_ptr<BCNSessionTracker> m_tracker;
};

} // namespace

TEST_F(SessionTrackerTest, StartingGivesOneSessionAndStoppingEndsIt)
{
    m_tracker->start();
    m_tracker->start();
    ASSERT_EQ(m_delegate->logs.size(), 1u);
    auto start = std::dynamic_pointer_cast<BCNStartSessionLog>(m_delegate->logs[0]);
    ASSERT_NE(start, nullptr);
    ASSERT_TRUE(session());
    EXPECT_EQ(start->sid(), session());
    EXPECT_EQ(session()->size(), 36u);

    auto page = std::make_shared<BCNPageLog>();
    prepare(page);
    EXPECT_EQ(page->sid(), session());
    auto own = std::make_shared<OwnSessionLog>();
    own->setSid("EARLIER");
    prepare(own);
    EXPECT_EQ(own->sid(), "EARLIER");

    m_tracker->stop();
    EXPECT_FALSE(session());
    post(ui::NSApplicationDidBecomeActiveNotification);
    EXPECT_EQ(m_delegate->logs.size(), 1u) << "a stopped tracker follows the application no more";
}

TEST_F(SessionTrackerTest, ASessionEndsAfterInactivityWithoutLogs)
{
    struct Case {
        const char* name;
        double inactive;                 // seconds between resigning and becoming active
        std::optional<double> logAfter;  // a log prepared this long after resigning
        bool ownSessionLog;              // that log keeps its own session id
        bool newSession;
    };
    const std::vector<Case> cases {
        { "10 s away", 10, std::nullopt, false, false },
        { "25 s away", 25, std::nullopt, false, true },
        { "25 s away, a log 10 s before coming back", 25, 15, false, false },
        { "25 s away, a log 21 s before coming back", 25, 4, false, true },
        { "a log with its own session still counts", 25, 15, true, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_tracker->start();
        const auto first = session();
        const std::size_t before = m_delegate->logs.size();
        advance(30); // whatever came before is long past
        post(ui::NSApplicationDidResignActiveNotification);
        if (c.logAfter) {
            advance(*c.logAfter);
            BCNLogPtr log = c.ownSessionLog ? BCNLogPtr(std::make_shared<OwnSessionLog>()) : BCNLogPtr(std::make_shared<BCNPageLog>());
            prepare(log);
            advance(c.inactive - *c.logAfter);
        } else {
            advance(c.inactive);
        }
        post(ui::NSApplicationDidBecomeActiveNotification);
        EXPECT_EQ(session() != first, c.newSession);
        EXPECT_EQ(m_delegate->logs.size(), before + (c.newSession ? 1 : 0));
        m_tracker->stop();
    }
}
