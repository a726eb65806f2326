#pragma once
// The framework's logging interface over the system log: loggers per subsystem and category
// with a level threshold that the process-wide LOG_GLOBAL_FILTER environment variable
// overrides, signpost intervals, events and points of interest. LogEnvironment, LogSubsystem
// and Log are immutable and usable from any thread; one Signpost is ended from one thread at
// a time. Formats are constant strings; at most 12 arguments per call, more emit nothing.

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Support/LogFormat.h"
#include "MovaraKit/Support/UnifiedLog.h"

namespace foundation {
class Bundle;
}

// Level thresholds, lowest first; a filter passes the types ranked at or above it.
enum class LogFilter { all, debug, info, default_, error, fault, mute };

inline constexpr std::array<LogFilter, 7> LogFilterAllCases = {
    LogFilter::all, LogFilter::debug, LogFilter::info, LogFilter::default_, LogFilter::error, LogFilter::fault, LogFilter::mute,
};

// The rank a message type counts as (types outside the five known ones rank as `all`).
LogFilter LogFilterForType(LogType type);
// The rank comparison alone: true when `type` ranks at or above `filter`.
bool isEnabled(LogFilter filter, LogType type);

inline constexpr std::size_t kMaxLogArguments = 12;

class LogEnvironment {
public:
    // Reads LOG_GLOBAL_FILTER from `environment` (trimmed, case ignored; none when it names
    // no filter).
    static std::shared_ptr<LogEnvironment> init(const std::map<std::string, std::string>& environment);
    // The running process's environment, read once on first use.
    static std::shared_ptr<LogEnvironment> current();

    std::optional<LogFilter> globalFilter() const { return m_globalFilter; }

private:
    std::optional<LogFilter> m_globalFilter;
};

class Log;

class LogSubsystem : public std::enable_shared_from_this<LogSubsystem> {
public:
    static std::shared_ptr<LogSubsystem> init(std::string name, std::shared_ptr<LogEnvironment> environment);
    // None when the bundle has no identifier; else named after it, with the current environment.
    static std::shared_ptr<LogSubsystem> init(const std::shared_ptr<foundation::Bundle>& bundle);
    // Named after the main bundle's identifier, or "Logging.Default" without one; made once.
    static std::shared_ptr<LogSubsystem> main();

    const std::string& name() const { return m_name; }
    const std::shared_ptr<LogEnvironment>& environment() const { return m_environment; }
    const OSLogPtr& pointsOfInterest() const { return m_pointsOfInterest; }

    std::shared_ptr<Log> makeLog(std::string category, LogFilter filter);

    template <typename... Args>
    void markPointOfInterest(const char* name, const void* dso, const char* format = nullptr, const Args&... args) const;

    // Emits a signpost event with pre-packed arguments (the templates above funnel into it).
    static void emitSignpost(const OSLog& log, SignpostType type, const char* name, SignpostID spid, const void* dso,
                             const char* format, std::span<const LogArgument> arguments);

private:
    std::string m_name;
    std::shared_ptr<LogEnvironment> m_environment;
    OSLogPtr m_pointsOfInterest;
};

class Signpost;

class Log : public std::enable_shared_from_this<Log> {
public:
    // The filter is the environment's global filter when that is set, else `filter`.
    static std::shared_ptr<Log> init(std::string category, std::shared_ptr<LogSubsystem> subsystem, LogFilter filter);

    const OSLogPtr& osLog() const { return m_osLog; }
    const std::string& category() const { return m_category; }
    const std::shared_ptr<LogSubsystem>& subsystem() const { return m_subsystem; }
    LogFilter filter() const { return m_filter; }

    // The rank test, then the system log's own settings.
    bool isEnabled(LogType type) const;
    bool signpostsEnabled() const;

    template <typename... Args>
    void log(LogType type, const char* format, const void* dso, const Args&... args) const
    {
        if constexpr (sizeof...(Args) <= kMaxLogArguments) {
            if (!isEnabled(type))
                return;
            const LogArgument packed[sizeof...(Args) + 1] = {LogArgument(args)..., LogArgument(0)};
            write(type, format, dso, std::span<const LogArgument>(packed, sizeof...(Args)));
        }
    }
    template <typename... Args>
    void debug(const char* format, const void* dso, const Args&... args) const { log(LogType::debug, format, dso, args...); }
    template <typename... Args>
    void info(const char* format, const void* dso, const Args&... args) const { log(LogType::info, format, dso, args...); }
    template <typename... Args>
    void default_(const char* format, const void* dso, const Args&... args) const { log(LogType::default_, format, dso, args...); }
    template <typename... Args>
    void error(const char* format, const void* dso, const Args&... args) const { log(LogType::error, format, dso, args...); }
    template <typename... Args>
    void fault(const char* format, const void* dso, const Args&... args) const { log(LogType::fault, format, dso, args...); }

    // Begins an interval; neither the filter nor signpostsEnabled() is consulted. With more
    // than 12 arguments nothing is emitted and the handle is an inert base Signpost.
    template <typename... Args>
    std::shared_ptr<Signpost> beginSignpost(const char* name, const void* dso, const char* format = nullptr,
                                            const Args&... args) const;

    template <typename... Args>
    void markEvent(const char* name, const void* dso, const char* format = nullptr, const Args&... args) const
    {
        if constexpr (sizeof...(Args) <= kMaxLogArguments) {
            const LogArgument packed[sizeof...(Args) + 1] = {LogArgument(args)..., LogArgument(0)};
            LogSubsystem::emitSignpost(*m_osLog, SignpostType::event, name, SignpostIDExclusive, dso, format,
                                       std::span<const LogArgument>(packed, sizeof...(Args)));
        }
    }
    template <typename... Args>
    void markPointOfInterest(const char* name, const void* dso, const char* format = nullptr, const Args&... args) const
    {
        m_subsystem->markPointOfInterest(name, dso, format, args...);
    }

private:
    void write(LogType type, const char* format, const void* dso, std::span<const LogArgument> arguments) const;
    std::shared_ptr<Signpost> begin(const char* name, const void* dso, const char* format,
                                    std::span<const LogArgument> arguments) const;

    OSLogPtr m_osLog;
    std::string m_category;
    std::shared_ptr<LogSubsystem> m_subsystem;
    LogFilter m_filter = LogFilter::default_;
};

// A handle of one interval. The base type's operations do nothing.
class Signpost {
public:
    virtual ~Signpost() = default;

    void end(const void* dso) { endWith(dso, nullptr, {}); }
    template <typename... Args>
    void end(const void* dso, const char* format, const Args&... args)
    {
        if constexpr (sizeof...(Args) <= kMaxLogArguments) {
            const LogArgument packed[sizeof...(Args) + 1] = {LogArgument(args)..., LogArgument(0)};
            endWith(dso, format, std::span<const LogArgument>(packed, sizeof...(Args)));
        }
    }

protected:
    virtual void endWith(const void* /*dso*/, const char* /*format*/, std::span<const LogArgument> /*arguments*/) {}
};

// The working interval: begun at creation, ended once by end() or, failing that, on release.
class SignpostImpl final : public Signpost {
public:
    SignpostImpl(std::shared_ptr<const Log> log, const char* name);
    ~SignpostImpl() override;

    const std::shared_ptr<const Log>& log() const { return m_log; }
    const std::string& name() const { return m_name; }
    SignpostID spid() const { return m_spid; }
    bool began() const { return m_began; }
    bool ended() const { return m_ended; }

private:
    friend class Log;
    void beginWith(const void* dso, const char* format, std::span<const LogArgument> arguments);
    void endWith(const void* dso, const char* format, std::span<const LogArgument> arguments) override;

    std::shared_ptr<const Log> m_log;
    std::string m_name;
    SignpostID m_spid = 0;
    bool m_began = false;
    bool m_ended = false;
};

template <typename... Args>
void LogSubsystem::markPointOfInterest(const char* name, const void* dso, const char* format, const Args&... args) const
{
    if constexpr (sizeof...(Args) <= kMaxLogArguments) {
        const LogArgument packed[sizeof...(Args) + 1] = {LogArgument(args)..., LogArgument(0)};
        emitSignpost(*m_pointsOfInterest, SignpostType::event, name, SignpostIDExclusive, dso, format,
                     std::span<const LogArgument>(packed, sizeof...(Args)));
    }
}

template <typename... Args>
std::shared_ptr<Signpost> Log::beginSignpost(const char* name, const void* dso, const char* format, const Args&... args) const
{
    if constexpr (sizeof...(Args) <= kMaxLogArguments) {
        const LogArgument packed[sizeof...(Args) + 1] = {LogArgument(args)..., LogArgument(0)};
        return begin(name, dso, format, std::span<const LogArgument>(packed, sizeof...(Args)));
    } else {
        return std::make_shared<Signpost>();
    }
}
