#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Foundation/UUID.h"

bool BCNRecordFieldInvalid(const std::string& className, const std::string& field)
{
    BCNLogVerbose("Beacon", className + ": \"" + field + "\" is not valid.");
    return false;
}

namespace {

// The first absent field of `required` (name, present) is logged; true when none is absent.
bool requireFields(const std::string& className, std::initializer_list<std::pair<const char*, bool>> required)
{
    for (const auto& [name, present] : required)
        if (!present)
            return BCNRecordFieldInvalid(className, name);
    return true;
}

template <class Record> foundation::Value ownFieldsOf(const Record& record)
{
    foundation::Value dictionary = foundation::Value::dictionary();
    Record::fields(record, [&](const char* key, const auto& member) { bcn::put(dictionary, key, member); });
    return dictionary;
}

bool hasElements(const auto& list) { return list && !list->empty(); }

} // namespace

bool BCNException::isValid() const
{
    return requireFields(kClassName, { { "type", type.has_value() }, { "frames", hasElements(frames) } });
}

bool BCNThread::isValid() const
{
    return requireFields(kClassName, { { "threadId", threadId.has_value() }, { "frames", hasElements(frames) } });
}

bool BCNBinary::isValid() const
{
    return requireFields(kClassName, { { "binaryId", binaryId.has_value() }, { "startAddress", startAddress.has_value() },
                                       { "endAddress", endAddress.has_value() }, { "name", name.has_value() }, { "path", path.has_value() } });
}

// ---------------------------------------------------------------------------------------------

bool BCNAbstractErrorLog::isValid() const
{
    if (!BCNLogWithProperties::isValid())
        return false;
    return requireFields(className(), { { "errorId", errorId.has_value() }, { "processId", processId.has_value() },
                                        { "processName", processName.has_value() } });
}

bool BCNAbstractErrorLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNAbstractErrorLog*>(&other);
    return that && BCNLogWithProperties::isEqual(other) && ownFieldsOf<BCNAbstractErrorLog>(*this) == ownFieldsOf<BCNAbstractErrorLog>(*that);
}

void BCNAbstractErrorLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNLogWithProperties::encodeWithCoder(coder);
    encodeFields(coder);
}

void BCNAbstractErrorLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNLogWithProperties::initWithCoder(coder);
    decodeFields(coder);
}

bool BCNAppleErrorLog::isValid() const
{
    if (!BCNAbstractErrorLog::isValid())
        return false;
    return requireFields(className(), { { "primaryArchitectureId", primaryArchitectureId.has_value() },
                                        { "applicationPath", applicationPath.has_value() },
                                        { "osExceptionType", osExceptionType.has_value() },
                                        { "osExceptionCode", osExceptionCode.has_value() },
                                        { "osExceptionAddress", osExceptionAddress.has_value() } });
}

foundation::Value BCNAppleErrorLog::serializeToDictionary() const
{
    foundation::Value dictionary = BCNAbstractErrorLog::serializeToDictionary();
    ownFields(*this, [&](const char* key, const auto& member) { bcn::put(dictionary, key, member); });
    return dictionary;
}

bool BCNAppleErrorLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNAppleErrorLog*>(&other);
    if (!that || !BCNAbstractErrorLog::isEqual(other))
        return false;
    foundation::Value mine = foundation::Value::dictionary(), theirs = foundation::Value::dictionary();
    ownFields(*this, [&](const char* key, const auto& member) { bcn::put(mine, key, member); });
    ownFields(*that, [&](const char* key, const auto& member) { bcn::put(theirs, key, member); });
    return mine == theirs;
}

void BCNAppleErrorLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNAbstractErrorLog::encodeWithCoder(coder);
    ownFields(*this, [&](const char* key, const auto& member) { bcn::encode(coder, key, member); });
}

void BCNAppleErrorLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNAbstractErrorLog::initWithCoder(coder);
    ownFields(*this, [&](const char* key, auto& member) { bcn::decode(coder, key, member); });
}

bool BCNHandledErrorLog::isValid() const
{
    if (!BCNLogWithProperties::isValid())
        return false;
    return requireFields(className(), { { "errorId", errorId.has_value() }, { "exception", exception != nullptr } });
}

bool BCNHandledErrorLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNHandledErrorLog*>(&other);
    return that && BCNLogWithProperties::isEqual(other) && ownFieldsOf<BCNHandledErrorLog>(*this) == ownFieldsOf<BCNHandledErrorLog>(*that);
}

void BCNHandledErrorLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNLogWithProperties::encodeWithCoder(coder);
    encodeFields(coder);
}

void BCNHandledErrorLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNLogWithProperties::initWithCoder(coder);
    decodeFields(coder);
}

// ---------------------------------------------------------------------------------------------

BCNErrorAttachmentLog::BCNErrorAttachmentLog() : BCNAbstractLog("errorAttachment"), attachmentId(foundation::UUID::random().UUIDString()) { }

BCNErrorAttachmentLog::BCNErrorAttachmentLog(std::optional<std::string> name, foundation::Data bytes, std::optional<std::string> type)
    : BCNErrorAttachmentLog()
{
    filename = std::move(name);
    data.bytes = std::move(bytes);
    contentType = std::move(type);
}

std::shared_ptr<BCNErrorAttachmentLog> BCNErrorAttachmentLog::attachmentWithText(const std::string& text, std::optional<std::string> filename)
{
    return std::make_shared<BCNErrorAttachmentLog>(std::move(filename), foundation::Data(text.begin(), text.end()), "text/plain");
}

std::shared_ptr<BCNErrorAttachmentLog> BCNErrorAttachmentLog::attachmentWithBinary(foundation::Data data, std::optional<std::string> filename,
                                                                                   std::optional<std::string> contentType)
{
    return std::make_shared<BCNErrorAttachmentLog>(std::move(filename), std::move(data), std::move(contentType));
}

bool BCNErrorAttachmentLog::isValid() const
{
    if (!BCNAbstractLog::isValid())
        return false;
    return requireFields(className(), { { "errorId", errorId.has_value() }, { "attachmentId", attachmentId.has_value() },
                                        { "data", data.bytes.has_value() }, { "contentType", contentType.has_value() } });
}

bool BCNErrorAttachmentLog::isEqual(const BCNAbstractLog& other) const
{
    const auto* that = dynamic_cast<const BCNErrorAttachmentLog*>(&other);
    return that && BCNAbstractLog::isEqual(other) && attachmentId == that->attachmentId && errorId == that->errorId
           && contentType == that->contentType && filename == that->filename && data == that->data;
}

void BCNErrorAttachmentLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNAbstractLog::encodeWithCoder(coder);
    encodeFields(coder);
}

void BCNErrorAttachmentLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNAbstractLog::initWithCoder(coder);
    decodeFields(coder);
}

// ---------------------------------------------------------------------------------------------

BCNErrorReport::BCNErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey, std::optional<std::string> signal,
                               std::optional<std::string> exceptionName, std::optional<std::string> exceptionReason,
                               std::optional<foundation::Date> appStartTime, std::optional<foundation::Date> appErrorTime, BCNDevicePtr device,
                               std::uint64_t appProcessIdentifier)
    : m_incidentIdentifier(std::move(errorId)), m_reporterKey(std::move(reporterKey)), m_signal(std::move(signal)),
      m_exceptionName(std::move(exceptionName)), m_exceptionReason(std::move(exceptionReason)), m_appStartTime(appStartTime),
      m_appErrorTime(appErrorTime), m_device(std::move(device)), m_appProcessIdentifier(appProcessIdentifier)
{
}

bool BCNErrorReport::isAppKill() const
{
    return m_signal && foundation::caseInsensitiveCompare(*m_signal, "SIGKILL") == foundation::ComparisonResult::OrderedSame;
}

BCN_REGISTER_CODING_CLASS(BCNStackFrame, {})
BCN_REGISTER_CODING_CLASS(BCNException, {})
BCN_REGISTER_CODING_CLASS(BCNThread, {})
BCN_REGISTER_CODING_CLASS(BCNBinary, {})
BCN_REGISTER_CODING_CLASS(BCNWrapperException, {})
BCN_REGISTER_CODING_CLASS(BCNAppleErrorLog, { "BCNAbstractErrorLog", "BCNLogWithProperties", "BCNAbstractLog" })
BCN_REGISTER_CODING_CLASS(BCNHandledErrorLog, { "BCNLogWithProperties", "BCNAbstractLog" })
BCN_REGISTER_CODING_CLASS(BCNErrorAttachmentLog, { "BCNAbstractLog" })
