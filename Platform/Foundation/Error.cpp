#include "Platform/Foundation/Error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace foundation {

const std::string CocoaErrorDomain = "NSCocoaErrorDomain";
const std::string POSIXErrorDomain = "NSPOSIXErrorDomain";
const std::string OSStatusErrorDomain = "NSOSStatusErrorDomain";
const std::string URLErrorDomain = "NSURLErrorDomain";
const std::string LocalizedDescriptionKey = "NSLocalizedDescription";
const std::string LocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
const std::string LocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
const std::string UnderlyingErrorKey = "NSUnderlyingError";
const std::string FilePathErrorKey = "NSFilePath";
const std::string URLErrorKey = "NSURL";
const std::string FailingURLStringErrorKey = "NSErrorFailingURLStringKey";

const std::string InvalidArgumentException = "NSInvalidArgumentException";
const std::string InternalInconsistencyException = "NSInternalInconsistencyException";
const std::string RangeException = "NSRangeException";
const std::string GenericException = "NSGenericException";
const std::string InvalidUnarchiveOperationException = "NSInvalidUnarchiveOperationException";

Error::Error(std::string domain, long code, UserInfo userInfo)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_userInfo(std::move(userInfo))
{
}

ErrorPtr Error::make(std::string domain, long code, UserInfo userInfo)
{
    return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
}

ErrorPtr Error::make(std::string domain, long code, const std::string& description, ErrorPtr underlying)
{
    UserInfo info;
    info[LocalizedDescriptionKey].text = description;
    if (underlying)
        info[UnderlyingErrorKey].error = std::move(underlying);
    return make(std::move(domain), code, std::move(info));
}

ErrorPtr Error::userCancelled()
{
    return make(CocoaErrorDomain, UserCancelledError);
}

ErrorPtr Error::posix(int code, const std::string& context)
{
    std::string text = std::strerror(code);
    if (!context.empty())
        text = context + ": " + text;
    return make(POSIXErrorDomain, code, text);
}

std::optional<std::string> Error::stringForKey(const std::string& key) const
{
    auto it = m_userInfo.find(key);
    if (it == m_userInfo.end() || !it->second.text)
        return std::nullopt;
    return it->second.text;
}

std::string Error::localizedDescription() const
{
    if (auto text = stringForKey(LocalizedDescriptionKey))
        return *text;
    if (isUserCancelled())
        return "The operation was cancelled.";
    if (m_domain == CocoaErrorDomain)
        return "The operation couldn\u2019t be completed. (Cocoa error " + std::to_string(m_code) + ".)";
    return "The operation couldn\u2019t be completed. (" + m_domain + " error " + std::to_string(m_code) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const
{
    return stringForKey(LocalizedFailureReasonErrorKey);
}

std::optional<std::string> Error::localizedRecoverySuggestion() const
{
    return stringForKey(LocalizedRecoverySuggestionErrorKey);
}

ErrorPtr Error::underlyingError() const
{
    auto it = m_userInfo.find(UnderlyingErrorKey);
    return it == m_userInfo.end() ? nullptr : it->second.error;
}

Exception::Exception(std::string name, std::string reason)
    : m_name(std::move(name))
    , m_reason(std::move(reason))
    , m_what(m_name + ": " + m_reason)
{
}

void fatal(const std::string& message)
{
    std::fprintf(stderr, "fatal: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace foundation
