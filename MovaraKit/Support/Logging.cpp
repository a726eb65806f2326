#include "MovaraKit/Support/Logging.h"

#include <cstdlib>
#include <string_view>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/StringUtils.h"

extern char** environ;

namespace {

std::optional<LogFilter> parseLogFilter(std::string_view text)
{
    std::string name = foundation::trimmingWhitespaceAndNewlines(text);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    static constexpr std::pair<std::string_view, LogFilter> names[] = {
        {"all", LogFilter::all},     {"debug", LogFilter::debug}, {"info", LogFilter::info}, {"default", LogFilter::default_},
        {"error", LogFilter::error}, {"fault", LogFilter::fault}, {"mute", LogFilter::mute},
    };
    for (const auto& [n, filter] : names)
        if (n == name)
            return filter;
    return std::nullopt;
}

} // namespace

LogFilter LogFilterForType(LogType type)
{
    switch (type) {
    case LogType::debug:
        return LogFilter::debug;
    case LogType::info:
        return LogFilter::info;
    case LogType::default_:
        return LogFilter::default_;
    case LogType::error:
        return LogFilter::error;
    case LogType::fault:
        return LogFilter::fault;
    }
    return LogFilter::all;
}

bool isEnabled(LogFilter filter, LogType type) { return LogFilterForType(type) >= filter; }

std::shared_ptr<LogEnvironment> LogEnvironment::init(const std::map<std::string, std::string>& environment)
{
    auto env = std::make_shared<LogEnvironment>();
    if (auto it = environment.find("LOG_GLOBAL_FILTER"); it != environment.end())
        env->m_globalFilter = parseLogFilter(it->second);
    return env;
}

std::shared_ptr<LogEnvironment> LogEnvironment::current()
{
    static const std::shared_ptr<LogEnvironment> environment = [] {
        std::map<std::string, std::string> variables;
        for (char** entry = environ; entry && *entry; ++entry) {
            std::string_view text(*entry);
            size_t eq = text.find('=');
            if (eq != std::string_view::npos)
                variables.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
        }
        return init(variables);
    }();
    return environment;
}

std::shared_ptr<LogSubsystem> LogSubsystem::init(std::string name, std::shared_ptr<LogEnvironment> environment)
{
    auto subsystem = std::make_shared<LogSubsystem>();
    subsystem->m_pointsOfInterest = std::make_shared<OSLog>(OSLog{name, OSLogCategoryPointsOfInterest});
    subsystem->m_name = std::move(name);
    subsystem->m_environment = environment ? std::move(environment) : LogEnvironment::init({});
    return subsystem;
}

std::shared_ptr<LogSubsystem> LogSubsystem::init(const std::shared_ptr<foundation::Bundle>& bundle)
{
    if (!bundle)
        return nullptr;
    std::string identifier = bundle->bundleIdentifier();
    if (identifier.empty())
        return nullptr;
    return init(std::move(identifier), LogEnvironment::current());
}

std::shared_ptr<LogSubsystem> LogSubsystem::main()
{
    static const std::shared_ptr<LogSubsystem> subsystem = [] {
        auto bundle = foundation::Bundle::main();
        std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
        return init(identifier.empty() ? std::string("Logging.Default") : identifier, LogEnvironment::current());
    }();
    return subsystem;
}

std::shared_ptr<Log> LogSubsystem::makeLog(std::string category, LogFilter filter)
{
    return Log::init(std::move(category), shared_from_this(), filter);
}

void LogSubsystem::emitSignpost(const OSLog& log, SignpostType type, const char* name, SignpostID spid, const void* dso,
                                const char* format, std::span<const LogArgument> arguments)
{
    LogRecord record;
    record.kind = LogRecord::Kind::signpost;
    record.signpostType = type;
    record.subsystem = log.subsystem;
    record.category = log.category;
    record.name = name ? name : "";
    record.spid = spid;
    if (format)
        record.message = formatLogMessage(format, arguments);
    record.dso = dso;
    emitLogRecord(std::move(record));
}

std::shared_ptr<Log> Log::init(std::string category, std::shared_ptr<LogSubsystem> subsystem, LogFilter filter)
{
    if (!subsystem)
        subsystem = LogSubsystem::main();
    auto log = std::make_shared<Log>();
    log->m_osLog = std::make_shared<OSLog>(OSLog{subsystem->name(), category});
    log->m_category = std::move(category);
    log->m_filter = subsystem->environment()->globalFilter().value_or(filter);
    log->m_subsystem = std::move(subsystem);
    return log;
}

bool Log::isEnabled(LogType type) const
{
    if (!::isEnabled(m_filter, type))
        return false;
    return currentLogSink()->isEnabled(*m_osLog, type);
}

bool Log::signpostsEnabled() const { return currentLogSink()->signpostsEnabled(*m_osLog); }

void Log::write(LogType type, const char* format, const void* dso, std::span<const LogArgument> arguments) const
{
    LogRecord record;
    record.kind = LogRecord::Kind::message;
    record.type = type;
    record.subsystem = m_osLog->subsystem;
    record.category = m_osLog->category;
    record.message = formatLogMessage(format ? format : "", arguments);
    record.dso = dso;
    emitLogRecord(std::move(record));
}

std::shared_ptr<Signpost> Log::begin(const char* name, const void* dso, const char* format,
                                     std::span<const LogArgument> arguments) const
{
    auto signpost = std::make_shared<SignpostImpl>(shared_from_this(), name);
    signpost->beginWith(dso, format, arguments);
    return signpost;
}

SignpostImpl::SignpostImpl(std::shared_ptr<const Log> log, const char* name)
    : m_log(std::move(log))
    , m_name(name ? name : "")
{
    m_spid = makeSignpostID(*m_log->osLog());
}

SignpostImpl::~SignpostImpl()
{
    // An interval left open would never close in the performance tools: close it here, in
    // the framework's name since the caller's is no longer known.
    if (m_began && !m_ended)
        endWith(MVR_DSO, nullptr, {});
}

void SignpostImpl::beginWith(const void* dso, const char* format, std::span<const LogArgument> arguments)
{
    m_began = true;
    LogSubsystem::emitSignpost(*m_log->osLog(), SignpostType::begin, m_name.c_str(), m_spid, dso, format, arguments);
}

void SignpostImpl::endWith(const void* dso, const char* format, std::span<const LogArgument> arguments)
{
    if (!m_began || m_ended)
        return;
    m_ended = true;
    LogSubsystem::emitSignpost(*m_log->osLog(), SignpostType::end, m_name.c_str(), m_spid, dso, format, arguments);
}
