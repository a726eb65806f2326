#include "Platform/Foundation/Error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace foundation {

const std::string NSCocoaErrorDomain = "NSCocoaErrorDomain";
const std::string NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
const std::string NSOSStatusErrorDomain = "NSOSStatusErrorDomain";
const std::string NSURLErrorDomain = "NSURLErrorDomain";
const std::string NSLocalizedDescriptionKey = "NSLocalizedDescription";
const std::string NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
const std::string NSLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
const std::string NSUnderlyingErrorKey = "NSUnderlyingError";
const std::string NSFilePathErrorKey = "NSFilePath";
const std::string NSURLErrorKey = "NSURL";
const std::string NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

const std::string NSInvalidArgumentException = "NSInvalidArgumentException";
const std::string NSInternalInconsistencyException = "NSInternalInconsistencyException";
const std::string NSRangeException = "NSRangeException";
const std::string NSGenericException = "NSGenericException";
const std::string NSInvalidUnarchiveOperationException = "NSInvalidUnarchiveOperationException";

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
    info[NSLocalizedDescriptionKey].text = description;
    if (underlying)
        info[NSUnderlyingErrorKey].error = std::move(underlying);
    return make(std::move(domain), code, std::move(info));
}

ErrorPtr Error::userCancelled()
{
    return make(NSCocoaErrorDomain, NSUserCancelledError);
}

ErrorPtr Error::posix(int code, const std::string& context)
{
    std::string text = std::strerror(code);
    if (!context.empty())
        text = context + ": " + text;
    return make(NSPOSIXErrorDomain, code, text);
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
    if (auto text = stringForKey(NSLocalizedDescriptionKey))
        return *text;
    if (isUserCancelled())
        return "The operation was cancelled.";
    if (m_domain == NSCocoaErrorDomain)
        return "The operation couldn\u2019t be completed. (Cocoa error " + std::to_string(m_code) + ".)";
    return "The operation couldn\u2019t be completed. (" + m_domain + " error " + std::to_string(m_code) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const
{
    return stringForKey(NSLocalizedFailureReasonErrorKey);
}

std::optional<std::string> Error::localizedRecoverySuggestion() const
{
    return stringForKey(NSLocalizedRecoverySuggestionErrorKey);
}

ErrorPtr Error::underlyingError() const
{
    auto it = m_userInfo.find(NSUnderlyingErrorKey);
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
