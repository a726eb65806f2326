#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"

#include <cstdio>
#include <mutex>

namespace {

struct LoggerState {
    std::mutex mutex;
    BCNLoggerLevel level = BCNLogLevelAssert;
    BCNLogHandler handler = BCNLogger::defaultHandler();
    bool userDefined = false;
};

LoggerState& state()
{
    static LoggerState s;
    return s;
}

const char* levelName(BCNLoggerLevel level)
{
    switch (level) {
    case BCNLogLevelVerbose: return "VERBOSE";
    case BCNLogLevelDebug: return "DEBUG";
    case BCNLogLevelInfo: return "INFO";
    case BCNLogLevelWarning: return "WARNING";
    case BCNLogLevelError: return "ERROR";
    case BCNLogLevelAssert: return "ASSERT";
    default: return "";
    }
}

} // namespace

const BCNLogHandler& BCNLogger::defaultHandler()
{
    static const BCNLogHandler handler = [](const BCNLogMessageProvider& message, BCNLoggerLevel level, const std::string& tag,
                                            const char*, const char* function, unsigned line) {
        if (!message || level == BCNLogLevelNone || level < BCNLogger::currentLogLevel())
            return;
        const std::string text = message();
        std::fprintf(stderr, "[%s] %s: %s/%u %s\n", tag.c_str(), levelName(level), function ? function : "", line, text.c_str());
    };
    return handler;
}

void BCNLogger::logMessage(const BCNLogMessageProvider& message, BCNLoggerLevel level, const std::string& tag,
                           const char* file, const char* function, unsigned line)
{
    // The handler is taken, not held under the lock, so a slow handler never blocks setters.
    BCNLogHandler handler = logHandler();
    if (handler)
        handler(message, level, tag, file, function, line);
}

BCNLoggerLevel BCNLogger::currentLogLevel()
{
    std::lock_guard lock(state().mutex);
    return state().level;
}

void BCNLogger::setCurrentLogLevel(BCNLoggerLevel level)
{
    std::lock_guard lock(state().mutex);
    state().userDefined = true;
    state().level = level;
}

BCNLogHandler BCNLogger::logHandler()
{
    std::lock_guard lock(state().mutex);
    return state().handler;
}

void BCNLogger::setLogHandler(BCNLogHandler handler)
{
    std::lock_guard lock(state().mutex);
    state().userDefined = true;
    state().handler = std::move(handler);
}

bool BCNLogger::isUserDefinedLogLevel()
{
    std::lock_guard lock(state().mutex);
    return state().userDefined;
}

void BCNLogger::setIsUserDefinedLogLevel(bool userDefined)
{
    std::lock_guard lock(state().mutex);
    state().userDefined = userDefined;
}
