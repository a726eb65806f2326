#pragma once
// Errors as the platform reports them: a domain, an integer code and a user-info dictionary
// (localized description, underlying error, failing URL, ...). Passed around as ErrorPtr,
// a shared pointer to a const Error; null means success.

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace foundation {

class Error;
using ErrorPtr = std::shared_ptr<const Error>;

// Well-known domains and user-info keys (their platform spellings).
extern const std::string NSCocoaErrorDomain;      // "NSCocoaErrorDomain"
extern const std::string NSPOSIXErrorDomain;      // "NSPOSIXErrorDomain"
extern const std::string NSOSStatusErrorDomain;   // "NSOSStatusErrorDomain"
extern const std::string NSURLErrorDomain;        // "NSURLErrorDomain"
extern const std::string NSLocalizedDescriptionKey;        // "NSLocalizedDescription"
extern const std::string NSLocalizedFailureReasonErrorKey; // "NSLocalizedFailureReason"
extern const std::string NSLocalizedRecoverySuggestionErrorKey; // "NSLocalizedRecoverySuggestion"
extern const std::string NSUnderlyingErrorKey;    // "NSUnderlyingError"
extern const std::string NSFilePathErrorKey;      // "NSFilePath"
extern const std::string NSURLErrorKey;           // "NSURL"
extern const std::string NSURLErrorFailingURLStringErrorKey; // "NSErrorFailingURLStringKey"

// Cocoa error codes used across the system.
enum CocoaErrorCode : long {
    NSFileNoSuchFileError = 4,
    NSFileReadUnknownError = 256,
    NSFileReadNoSuchFileError = 260,
    NSFileReadCorruptFileError = 259,
    NSFileReadTooLargeError = 263,
    NSFileWriteUnknownError = 512,
    NSFileWriteFileExistsError = 516,
    NSFileWriteOutOfSpaceError = 640,
    NSUserCancelledError = 3072,
    NSFormattingError = 2048,
    NSPropertyListReadCorruptError = 3840,
    NSCoderReadCorruptError = 4864,
    NSCoderValueNotFoundError = 4865,
};

class Error {
public:
    // User-info values are text, numbers, URLs-as-text or a nested error; this small sum type
    // keeps Error free of the heavier property-list Value.
    struct Info {
        std::optional<std::string> text;
        std::optional<long long> number;
        ErrorPtr error;
    };
    using UserInfo = std::map<std::string, Info>;

    Error(std::string domain, long code, UserInfo userInfo = {});

    static ErrorPtr make(std::string domain, long code, UserInfo userInfo = {});
    // An error whose localized description is `description`.
    static ErrorPtr make(std::string domain, long code, const std::string& description,
                         ErrorPtr underlying = nullptr);
    // The platform's user-cancelled error: Cocoa domain, code 3072.
    static ErrorPtr userCancelled();
    // An error in the POSIX domain for errno `code`, with strerror's text.
    static ErrorPtr posix(int code, const std::string& context = {});

    const std::string& domain() const { return m_domain; }
    long code() const { return m_code; }
    const UserInfo& userInfo() const { return m_userInfo; }

    // The description a user sees: the user info's description, else a generic text built
    // from the domain and code, as the platform does.
    std::string localizedDescription() const;
    std::optional<std::string> localizedFailureReason() const;
    std::optional<std::string> localizedRecoverySuggestion() const;
    ErrorPtr underlyingError() const;
    std::optional<std::string> stringForKey(const std::string& key) const;

    bool isUserCancelled() const { return m_domain == NSCocoaErrorDomain && m_code == NSUserCancelledError; }
    bool is(const std::string& domain, long code) const { return m_domain == domain && m_code == code; }

private:
    std::string m_domain;
    long m_code = 0;
    UserInfo m_userInfo;
};

// The platform's named exceptions (NSInvalidArgumentException, ...), thrown with the exact
// reason text the caller documents.
class Exception : public std::exception {
public:
    Exception(std::string name, std::string reason);
    const std::string& name() const { return m_name; }
    const std::string& reason() const { return m_reason; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::string m_name;
    std::string m_reason;
    std::string m_what;
};

extern const std::string NSInvalidArgumentException;          // "NSInvalidArgumentException"
extern const std::string NSInternalInconsistencyException;    // "NSInternalInconsistencyException"
extern const std::string NSRangeException;                    // "NSRangeException"
extern const std::string NSGenericException;                  // "NSGenericException"
extern const std::string NSInvalidUnarchiveOperationException; // "NSInvalidUnarchiveOperationException"

// "The process stops": prints the message to stderr and aborts.
[[noreturn]] void fatal(const std::string& message);

} // namespace foundation
