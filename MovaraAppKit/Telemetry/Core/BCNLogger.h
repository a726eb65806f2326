#pragma once
// The telemetry client's levelled console logger. Every message goes through logMessage()
// with a tag and the caller's function and line; the text comes from a provider that is only
// called when the message is printed (or by a custom handler). Providers are valid for the
// duration of the call only. Any thread.

#include <functional>
#include <string>

enum BCNLoggerLevel : unsigned {
    BCNLogLevelVerbose = 2,
    BCNLogLevelDebug = 3,
    BCNLogLevelInfo = 4,
    BCNLogLevelWarning = 5,
    BCNLogLevelError = 6,
    BCNLogLevelAssert = 7,
    BCNLogLevelNone = 99,
};

using BCNLogMessageProvider = std::function<std::string()>;
using BCNLogHandler = std::function<void(const BCNLogMessageProvider& message, BCNLoggerLevel level, const std::string& tag,
                                         const char* file, const char* function, unsigned line)>;

class BCNLogger {
public:
    static void logMessage(const BCNLogMessageProvider& message, BCNLoggerLevel level, const std::string& tag,
                           const char* file, const char* function, unsigned line);

    // ASSERT until set; the default handler prints messages at this level and above.
    static BCNLoggerLevel currentLogLevel();
    static void setCurrentLogLevel(BCNLoggerLevel level);
    static BCNLogHandler logHandler();
    // Null restores nothing: with no handler, nothing is logged at all.
    static void setLogHandler(BCNLogHandler handler);
    // Set by either setter; the facade leaves a level the application chose alone.
    static bool isUserDefinedLogLevel();
    static void setIsUserDefinedLogLevel(bool userDefined);

    // The handler installed at start: one line "[tag] LEVEL: function/line message" on stderr.
    static const BCNLogHandler& defaultHandler();
};

// The entry for a wrapper SDK: its messages take the same path as the client's own.
class BCNWrapperLogger {
public:
    static void BCNWrapperLog(const BCNLogMessageProvider& message, const std::string& tag, BCNLoggerLevel level)
    {
        BCNLogger::logMessage(message, level, tag, __FILE__, "+[BCNWrapperLogger BCNWrapperLog:tag:level:]", 10);
    }
};

#define BCN_LOG(level, tag, ...) \
    BCNLogger::logMessage([&]() -> std::string { return __VA_ARGS__; }, level, tag, __FILE__, __func__, __LINE__)
#define BCNLogVerbose(tag, ...) BCN_LOG(BCNLogLevelVerbose, tag, __VA_ARGS__)
#define BCNLogDebug(tag, ...) BCN_LOG(BCNLogLevelDebug, tag, __VA_ARGS__)
#define BCNLogInfo(tag, ...) BCN_LOG(BCNLogLevelInfo, tag, __VA_ARGS__)
#define BCNLogWarning(tag, ...) BCN_LOG(BCNLogLevelWarning, tag, __VA_ARGS__)
#define BCNLogError(tag, ...) BCN_LOG(BCNLogLevelError, tag, __VA_ARGS__)
#define BCNLogAssert(tag, ...) BCN_LOG(BCNLogLevelAssert, tag, __VA_ARGS__)
