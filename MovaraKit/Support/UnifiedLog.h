#pragma once
// The system log under the logging interface: log objects for a subsystem and category,
// message types, signpost identifiers and a replaceable sink. The default sink writes one
// line per record to stderr (see formatLogLine); tests install a recording sink.
// Every function may be called from any thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

// The address of the calling image's header, which attributes a record to its executable or
// shared library. Pass MVR_DSO wherever a `dso` is asked for.
extern "C" void* __dso_handle __attribute__((__visibility__("hidden")));
#define MVR_DSO (static_cast<const void*>(&__dso_handle))

// Message types with the platform's raw values; any other value is allowed and counts as the
// lowest rank.
enum class LogType : std::uint8_t { default_ = 0x00, info = 0x01, debug = 0x02, error = 0x10, fault = 0x11 };

// A log object: where records of one subsystem and category go.
struct OSLog {
    std::string subsystem;
    std::string category;
};
using OSLogPtr = std::shared_ptr<const OSLog>;

// The predefined category that performance tools show as points of interest.
extern const std::string OSLogCategoryPointsOfInterest; // "PointsOfInterest"

using SignpostID = std::uint64_t;
// The identifier of signposts that never overlap (events, points of interest).
inline constexpr SignpostID SignpostIDExclusive = 0xEEEEB0B5B2B2EEEEull;
// A fresh identifier for one interval on `log` (unique within the process, never 0).
SignpostID makeSignpostID(const OSLog& log);

enum class SignpostType { begin, end, event };

struct LogRecord {
    enum class Kind { message, signpost };
    Kind kind = Kind::message;
    LogType type = LogType::default_;              // messages
    SignpostType signpostType = SignpostType::event; // signposts
    std::string subsystem;
    std::string category;
    std::string name;      // signposts: the interval's or event's name
    SignpostID spid = 0;   // signposts
    std::string message;   // the formatted text (may be empty for signposts)
    const void* dso = nullptr;
    std::chrono::system_clock::time_point time;
    pid_t pid = 0;
    pid_t tid = 0;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    // The platform's own settings: whether records of `type` are kept for `log`.
    virtual bool isEnabled(const OSLog& log, LogType type) const;
    virtual bool signpostsEnabled(const OSLog& log) const;
    virtual void write(const LogRecord& record) = 0;
};

// Stamps the record with the time, process and thread, and hands it to the current sink.
void emitLogRecord(LogRecord record);

// Installs `sink` (null restores the stderr sink) and returns the one it replaces.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);
std::shared_ptr<LogSink> currentLogSink();

// One line, without the trailing newline:
//   2026-03-05 14:07:09.123456+0000 quintor[812:815] <Error> (libMovaraKit.so) [com.movara.Quintor:Export] text
//   ... <Signpost> (quintor) [com.movara.Quintor:Export] begin "Encode" spid=0x3 text
// Line breaks and backslashes in the text are escaped, so every record stays one line.
std::string formatLogLine(const LogRecord& record);
