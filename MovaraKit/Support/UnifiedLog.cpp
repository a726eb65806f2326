#include "MovaraKit/Support/UnifiedLog.h"

#include <dlfcn.h>
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

const std::string OSLogCategoryPointsOfInterest = "PointsOfInterest";

namespace {

// Writes each record as one line with a single write(2), so lines from several threads or
// processes sharing stderr don't interleave.
class StderrLogSink final : public LogSink {
public:
    void write(const LogRecord& record) override
    {
        std::string line = formatLogLine(record);
        line += '\n';
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = ::write(STDERR_FILENO, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
};

std::mutex& sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<LogSink>& sinkSlot()
{
    static std::shared_ptr<LogSink> sink = std::make_shared<StderrLogSink>();
    return sink;
}

const char* typeName(const LogRecord& record)
{
    if (record.kind == LogRecord::Kind::signpost)
        return "Signpost";
    switch (record.type) {
    case LogType::default_:
        return "Notice";
    case LogType::info:
        return "Info";
    case LogType::debug:
        return "Debug";
    case LogType::error:
        return "Error";
    case LogType::fault:
        return "Fault";
    }
    return "Other";
}

const char* signpostTypeName(SignpostType type)
{
    switch (type) {
    case SignpostType::begin:
        return "begin";
    case SignpostType::end:
        return "end";
    case SignpostType::event:
        return "event";
    }
    return "event";
}

std::string imageName(const void* dso)
{
    if (!dso)
        return "?";
    Dl_info info{};
    if (!::dladdr(dso, &info) || !info.dli_fname || !*info.dli_fname)
        return "?";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void appendEscaped(std::string& out, std::string_view text)
{
    for (char c : text) {
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
}

std::string timestamp(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    auto sinceEpoch = time.time_since_epoch();
    auto secs = duration_cast<seconds>(sinceEpoch);
    auto micros = duration_cast<microseconds>(sinceEpoch - secs).count();
    if (micros < 0) {
        secs -= seconds(1);
        micros += 1000000;
    }
    time_t t = static_cast<time_t>(secs.count());
    struct tm local {};
    ::localtime_r(&t, &local);
    char date[32];
    char zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    char out[64];
    std::snprintf(out, sizeof out, "%s.%06lld%s", date, static_cast<long long>(micros), zone);
    return out;
}

} // namespace

bool LogSink::isEnabled(const OSLog&, LogType) const { return true; }

bool LogSink::signpostsEnabled(const OSLog&) const { return true; }

SignpostID makeSignpostID(const OSLog&)
{
    static std::atomic<SignpostID> next{1};
    SignpostID id = next.fetch_add(1, std::memory_order_relaxed);
    // Skip the reserved values should the counter ever reach them.
    while (id == 0 || id == SignpostIDExclusive || id == ~SignpostID(0))
        id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

void emitLogRecord(LogRecord record)
{
    record.time = std::chrono::system_clock::now();
    record.pid = ::getpid();
    record.tid = ::gettid();
    currentLogSink()->write(record);
}

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink)
{
    if (!sink)
        sink = std::make_shared<StderrLogSink>();
    std::lock_guard lock(sinkMutex());
    std::swap(sinkSlot(), sink);
    return sink;
}

std::shared_ptr<LogSink> currentLogSink()
{
    std::lock_guard lock(sinkMutex());
    return sinkSlot();
}

std::string formatLogLine(const LogRecord& record)
{
    std::string line = timestamp(record.time);
    line += ' ';
    line += program_invocation_short_name;
    line += '[' + std::to_string(record.pid) + ':' + std::to_string(record.tid) + "] <";
    line += typeName(record);
    line += "> (" + imageName(record.dso) + ") [";
    appendEscaped(line, record.subsystem);
    line += ':';
    appendEscaped(line, record.category);
    line += ']';
    if (record.kind == LogRecord::Kind::signpost) {
        line += ' ';
        line += signpostTypeName(record.signpostType);
        line += " \"";
        appendEscaped(line, record.name);
        char id[32];
        std::snprintf(id, sizeof id, "\" spid=0x%llx", static_cast<unsigned long long>(record.spid));
        line += id;
    }
    if (!record.message.empty() || record.kind == LogRecord::Kind::message) {
        line += ' ';
        appendEscaped(line, record.message);
    }
    return line;
}
