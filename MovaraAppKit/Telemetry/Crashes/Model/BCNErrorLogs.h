#pragma once
// The logs of the crash service: a crash ("appleError", with threads, binaries, registers and
// the exception), a handled error ("handledError"), a file attached to either
// ("errorAttachment"), and the read-only description of an error handed to the application.

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorRecords.h"

// What crash and handled-error logs share; never sent by itself.
class BCNAbstractErrorLog : public BCNLogWithProperties {
public:
    std::optional<std::string> errorId;
    std::optional<std::int64_t> processId;
    std::optional<std::string> processName;
    std::optional<std::int64_t> parentProcessId;
    std::optional<std::string> parentProcessName;
    std::optional<std::int64_t> errorThreadId;
    std::optional<std::string> errorThreadName;
    bool fatal = false;
    std::optional<foundation::Date> appLaunchTimestamp;
    std::optional<std::string> architecture;

    template <class Self, class F> static void fields(Self& s, F&& f)
    {
        f("id", s.errorId), f("processId", s.processId), f("processName", s.processName), f("parentProcessId", s.parentProcessId);
        f("parentProcessName", s.parentProcessName), f("errorThreadId", s.errorThreadId), f("errorThreadName", s.errorThreadName);
        f("fatal", s.fatal), f("appLaunchTimestamp", s.appLaunchTimestamp), f("architecture", s.architecture);
    }
    BCN_RECORD_FIELD_OPERATIONS(BCNLogWithProperties)

    bool isValid() const override;
    foundation::Value serializeToDictionary() const override { return serializeFields(BCNLogWithProperties::serializeToDictionary()); }
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNAbstractErrorLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    BCNAbstractErrorLog() = default;
    explicit BCNAbstractErrorLog(std::string type) : BCNLogWithProperties(std::move(type)) { }
};

class BCNAppleErrorLog : public BCNAbstractErrorLog, public BCNNoAutoAssignSessionIdLog {
public:
    BCNAppleErrorLog() : BCNAbstractErrorLog("appleError") { }

    std::optional<std::int64_t> primaryArchitectureId, architectureVariantId;
    std::optional<std::string> applicationPath, osExceptionType, osExceptionCode, osExceptionAddress, exceptionType, exceptionReason,
        selectorRegisterValue;
    BCNRecordList<BCNThread> threads;
    BCNRecordList<BCNBinary> binaries;
    std::optional<foundation::Value> registers;
    std::shared_ptr<BCNException> exception;

    template <class Self, class F> static void ownFields(Self& s, F&& f)
    {
        f("primaryArchitectureId", s.primaryArchitectureId), f("architectureVariantId", s.architectureVariantId);
        f("applicationPath", s.applicationPath), f("osExceptionType", s.osExceptionType), f("osExceptionCode", s.osExceptionCode);
        f("osExceptionAddress", s.osExceptionAddress), f("exceptionType", s.exceptionType), f("exceptionReason", s.exceptionReason);
        f("selectorRegisterValue", s.selectorRegisterValue), f("threads", s.threads), f("binaries", s.binaries);
        f("registers", s.registers), f("exception", s.exception);
    }

    bool isValid() const override;
    foundation::Value serializeToDictionary() const override;
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNAppleErrorLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

class BCNHandledErrorLog : public BCNLogWithProperties {
public:
    BCNHandledErrorLog() : BCNLogWithProperties("handledError") { }

    std::optional<std::string> errorId;
    std::shared_ptr<BCNException> exception;

    template <class Self, class F> static void fields(Self& s, F&& f) { f("id", s.errorId), f("exception", s.exception); }
    BCN_RECORD_FIELD_OPERATIONS(BCNLogWithProperties)

    bool isValid() const override;
    foundation::Value serializeToDictionary() const override { return serializeFields(BCNLogWithProperties::serializeToDictionary()); }
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNHandledErrorLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

class BCNErrorAttachmentLog : public BCNAbstractLog {
public:
    // A fresh upper-case UUID as its id.
    BCNErrorAttachmentLog();
    BCNErrorAttachmentLog(std::optional<std::string> filename, foundation::Data data, std::optional<std::string> contentType);
    // The text as UTF-8, "text/plain".
    static std::shared_ptr<BCNErrorAttachmentLog> attachmentWithText(const std::string& text, std::optional<std::string> filename);
    static std::shared_ptr<BCNErrorAttachmentLog> attachmentWithBinary(foundation::Data data, std::optional<std::string> filename,
                                                                       std::optional<std::string> contentType);

    std::optional<std::string> attachmentId, errorId, contentType, filename;
    bcn::Base64Bytes data;

    template <class Self, class F> static void fields(Self& s, F&& f)
    {
        f("id", s.attachmentId), f("errorId", s.errorId), f("contentType", s.contentType), f("fileName", s.filename), f("data", s.data);
    }
    BCN_RECORD_FIELD_OPERATIONS(BCNAbstractLog)

    bool isValid() const override;
    foundation::Value serializeToDictionary() const override { return serializeFields(BCNAbstractLog::serializeToDictionary()); }
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNErrorAttachmentLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

// A crash or handled error as the application's delegate sees it.
class BCNErrorReport {
public:
    BCNErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey, std::optional<std::string> signal,
                   std::optional<std::string> exceptionName, std::optional<std::string> exceptionReason,
                   std::optional<foundation::Date> appStartTime, std::optional<foundation::Date> appErrorTime, BCNDevicePtr device,
                   std::uint64_t appProcessIdentifier);

    const std::optional<std::string>& incidentIdentifier() const { return m_incidentIdentifier; }
    const std::optional<std::string>& reporterKey() const { return m_reporterKey; }
    const std::optional<std::string>& signal() const { return m_signal; }
    void setSignal(std::optional<std::string> signal) { m_signal = std::move(signal); }
    const std::optional<std::string>& exceptionName() const { return m_exceptionName; }
    const std::optional<std::string>& exceptionReason() const { return m_exceptionReason; }
    const std::optional<foundation::Date>& appStartTime() const { return m_appStartTime; }
    const std::optional<foundation::Date>& appErrorTime() const { return m_appErrorTime; }
    const BCNDevicePtr& device() const { return m_device; }
    std::uint64_t appProcessIdentifier() const { return m_appProcessIdentifier; }
    // The process was killed: the signal is SIGKILL, in any letter case.
    bool isAppKill() const;

private:
    std::optional<std::string> m_incidentIdentifier, m_reporterKey, m_signal, m_exceptionName, m_exceptionReason;
    std::optional<foundation::Date> m_appStartTime, m_appErrorTime;
    BCNDevicePtr m_device;
    std::uint64_t m_appProcessIdentifier;
};
