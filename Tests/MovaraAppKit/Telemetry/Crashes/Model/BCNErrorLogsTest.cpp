#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

using foundation::Value;

namespace {

std::shared_ptr<BCNStackFrame> frame(const char* address)
{
    auto f = std::make_shared<BCNStackFrame>();
    f->address = address;
    f->lineNumber = 12;
    return f;
}

std::shared_ptr<BCNAppleErrorLog> fullCrash(std::shared_ptr<BCNAppleErrorLog> log)
{
    log->errorId = "E-1";
    log->processId = 4242;
    log->processName = "Quintor";
    log->fatal = true;
    log->appLaunchTimestamp = foundation::Date::dateWithTimeIntervalSince1970(1700000000);
    log->primaryArchitectureId = 16777223;
    log->applicationPath = "/usr/bin/quintor";
    log->osExceptionType = "SIGSEGV";
    log->osExceptionCode = "SEGV_MAPERR";
    log->osExceptionAddress = "0x0000000000000008";
    auto thread = std::make_shared<BCNThread>();
    thread->threadId = 0;
    thread->name = "main";
    thread->frames->push_back(frame("0x1000"));
    log->threads = { { thread } };
    auto binary = std::make_shared<BCNBinary>();
    binary->binaryId = "ABCD";
    binary->startAddress = "0x1000";
    binary->endAddress = "0x2000";
    binary->name = "quintor";
    binary->path = "/usr/bin/quintor";
    log->binaries = { { binary } };
    log->registers = Value::dictionary({ { "rip", "0x1000" } });
    auto exception = std::make_shared<BCNException>();
    exception->type = "std::runtime_error";
    exception->frames = { { frame("0x1004") } };
    auto inner = std::make_shared<BCNException>();
    inner->type = "inner";
    exception->innerExceptions = { { inner } };
    log->exception = exception;
    return log;
}

} // namespace

TEST_F(TelemetryTest, ErrorRecordsNameTheirFirstMissingField)
{
    BCNLogger::setCurrentLogLevel(BCNLogLevelVerbose);
    auto crash = fullCrash(validLog<BCNAppleErrorLog>());
    ASSERT_TRUE(crash->isValid());
    auto handled = validLog<BCNHandledErrorLog>();
    handled->errorId = "H-1";
    handled->exception = crash->exception;
    ASSERT_TRUE(handled->isValid());
    auto attachment = validLog<BCNErrorAttachmentLog>();
    attachment->errorId = "E-1";
    attachment->data.bytes = foundation::Data {};
    attachment->contentType = "text/plain";
    ASSERT_TRUE(attachment->isValid()) << "empty data is data";

    struct Case {
        std::function<bool()> breakAndCheck;
        const char* message;
    };
    const std::vector<Case> cases {
        { [&] { crash->osExceptionAddress.reset(); return crash->isValid(); }, "BCNAppleErrorLog: \"osExceptionAddress\" is not valid." },
        { [&] { crash->applicationPath.reset(); return crash->isValid(); }, "BCNAppleErrorLog: \"applicationPath\" is not valid." },
        { [&] { crash->processName.reset(); return crash->isValid(); }, "BCNAppleErrorLog: \"processName\" is not valid." },
        { [&] { crash->errorId.reset(); return crash->isValid(); }, "BCNAppleErrorLog: \"errorId\" is not valid." },
        { [&] { return std::make_shared<BCNAppleErrorLog>()->isValid(); }, "BCNAppleErrorLog: \"timestamp\" is not valid." },
        { [&] { handled->exception.reset(); return handled->isValid(); }, "BCNHandledErrorLog: \"exception\" is not valid." },
        { [&] { attachment->contentType.reset(); return attachment->isValid(); }, "BCNErrorAttachmentLog: \"contentType\" is not valid." },
        { [&] { attachment->errorId.reset(); return attachment->isValid(); }, "BCNErrorAttachmentLog: \"errorId\" is not valid." },
        { [&] { BCNException e; e.type = "T"; e.frames.emplace(); return e.isValid(); }, "BCNException: \"frames\" is not valid." },
        { [&] { BCNThread t; t.threadId = 1; return t.isValid(); }, "BCNThread: \"frames\" is not valid." },
        { [&] { BCNThread t; t.frames->push_back(std::make_shared<BCNStackFrame>()); return t.isValid(); }, "BCNThread: \"threadId\" is not valid." },
        { [&] { BCNBinary b; b.binaryId = "x"; b.startAddress = "0"; b.endAddress = "1"; b.name = "n"; return b.isValid(); },
          "BCNBinary: \"path\" is not valid." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_FALSE(c.breakAndCheck());
        EXPECT_EQ(linesAt(BCNLogLevelVerbose).back(), c.message);
    }
    BCNException oneEmptyFrame;
    oneEmptyFrame.type = "T";
    oneEmptyFrame.frames = { { std::make_shared<BCNStackFrame>() } };
    EXPECT_TRUE(oneEmptyFrame.isValid());
}

TEST_F(TelemetryTest, ACrashLogSerialisesItsKeysAndSurvivesTheStore)
{
    auto bare = std::make_shared<BCNAppleErrorLog>();
    EXPECT_EQ(bare->serializeToDictionary(), Value::dictionary({ { "type", "appleError" }, { "fatal", false } }));

    auto crash = fullCrash(validLog<BCNAppleErrorLog>());
    const Value json = crash->serializeToDictionary();
    EXPECT_EQ(json["id"], Value("E-1"));
    EXPECT_EQ(json["appLaunchTimestamp"], Value("2023-11-14T22:13:20.000Z"));
    EXPECT_EQ(json["threads"][0], Value::dictionary({ { "id", 0 }, { "name", "main" },
                                                      { "frames", Value::array({ Value::dictionary({ { "address", "0x1000" }, { "lineNumber", 12 } }) }) } }));
    EXPECT_EQ(json["binaries"][0]["id"], Value("ABCD"));
    EXPECT_EQ(json["exception"]["innerExceptions"][0], Value::dictionary({ { "type", "inner" } }));
    EXPECT_EQ(json["registers"], Value::dictionary({ { "rip", "0x1000" } }));

    auto back = std::dynamic_pointer_cast<BCNAppleErrorLog>(BCNUtility::unarchiveKeyedData(BCNUtility::archiveKeyedData(crash)));
    ASSERT_NE(back, nullptr) << ::testing::PrintToString(linesAt(BCNLogLevelError));
    EXPECT_TRUE(back->isEqual(*crash));
    EXPECT_EQ(back->serializeToDictionary(), json);
    back->fatal = false;
    EXPECT_FALSE(back->isEqual(*crash)) << "fatal alone tells them apart";

    BCNThread emptyFrames;
    EXPECT_EQ(emptyFrames.serializeToDictionary(), Value::dictionary({ { "frames", Value::array() } }));
    EXPECT_TRUE(BCNBinary().isEqual(BCNBinary()));

    BCNWrapperException wrapper;
    wrapper.modelException = crash->exception;
    wrapper.processId = 7;
    wrapper.exceptionData = foundation::Data { 0, 1, 2, 255 };
    auto wrapperData = BCNUtility::archiveKeyedData(std::make_shared<BCNWrapperException>(wrapper));
    auto wrapperBack = std::dynamic_pointer_cast<BCNWrapperException>(BCNUtility::unarchiveKeyedData(wrapperData));
    ASSERT_NE(wrapperBack, nullptr);
    EXPECT_EQ(wrapperBack->exceptionData, wrapper.exceptionData);
    EXPECT_EQ(wrapperBack->processId, 7);
    ASSERT_NE(wrapperBack->modelException, nullptr);
    EXPECT_TRUE(wrapperBack->modelException->isEqual(*crash->exception));
}

TEST_F(TelemetryTest, AttachmentsCarryTheirBytesAsOneBase64Line)
{
    auto a = BCNErrorAttachmentLog::attachmentWithText("", "empty.txt");
    auto b = BCNErrorAttachmentLog::attachmentWithBinary(foundation::Data(300, 0xAB), "blob.bin", "application/octet-stream");
    EXPECT_NE(a->attachmentId, b->attachmentId);
    EXPECT_EQ(a->attachmentId->size(), 36u);
    const Value json = a->serializeToDictionary();
    EXPECT_EQ(json["type"], Value("errorAttachment"));
    EXPECT_EQ(json["fileName"], Value("empty.txt"));
    EXPECT_EQ(json["data"], Value(""));
    EXPECT_EQ(json["contentType"], Value("text/plain"));
    const std::string encoded = b->serializeToDictionary()["data"].asString();
    EXPECT_EQ(encoded.size(), 400u);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);

    b->errorId = "E-1";
    auto back = std::dynamic_pointer_cast<BCNErrorAttachmentLog>(BCNUtility::unarchiveKeyedData(BCNUtility::archiveKeyedData(b)));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*b));
    back->data.bytes->back() = 0;
    EXPECT_FALSE(back->isEqual(*b));
}

TEST(BCNErrorReportTest, AKillIsSigkillInAnyCase)
{
    for (const auto& [signal, kill] : std::vector<std::pair<std::optional<std::string>, bool>> {
             { "SIGKILL", true }, { "sigkill", true }, { "SigKill", true }, { "SIGSEGV", false }, { std::nullopt, false } }) {
        BCNErrorReport report("E", "K", signal, std::nullopt, std::nullopt, std::nullopt, std::nullopt, nullptr, 1);
        EXPECT_EQ(report.isAppKill(), kill) << signal.value_or("(none)");
        EXPECT_EQ(report.incidentIdentifier(), "E");
    }
}
