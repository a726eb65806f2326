#pragma once
// Kernel facts read before any crash: the kernel release as a version triple, valid UTF-8
// prefixes of kernel strings, and facts about a process. None of this runs on the crash path.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct MVCrashHostInfoVersion {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t revision = 0;
};

class MVCrashHostInfo {
public:
    // None when the release cannot be read.
    static std::shared_ptr<MVCrashHostInfo> currentHostInfo();
    // Parses a release text ("6.1.0-13-amd64"): the numbers before the first part that is not
    // "number." are kept, and a text that does not have all three is logged.
    static std::shared_ptr<MVCrashHostInfo> initWithRelease(const std::string& release);
    const MVCrashHostInfoVersion& darwinVersion() const { return m_version; }

private:
    MVCrashHostInfoVersion m_version;
};

// The number of leading bytes, at most `max_length`, that form valid UTF-8 text (a leading byte
// order mark counts; a NUL ends the text).
std::size_t mvcrash_sysctl_valid_utf8_bytes_max(const std::uint8_t* bytes, std::size_t max_length);
std::size_t mvcrash_sysctl_valid_utf8_bytes(const char* string);

class MVCrashProcessInfo {
public:
    static std::shared_ptr<MVCrashProcessInfo> currentProcessInfo();
    // None when the kernel has no record of the process.
    static std::shared_ptr<MVCrashProcessInfo> initWithProcessID(pid_t pid);

    pid_t processID() const { return m_pid; }
    // The longest valid UTF-8 prefix (16 bytes at most) of the command name; none when empty.
    const std::optional<std::string>& processName() const { return m_name; }
    pid_t parentProcessID() const { return m_parentPid; }
    std::int64_t startSeconds() const { return m_startSeconds; }
    std::int64_t startMicroseconds() const { return m_startMicroseconds; }
    bool isTraced() const { return m_traced; }

private:
    pid_t m_pid = 0;
    std::optional<std::string> m_name;
    pid_t m_parentPid = 0;
    std::int64_t m_startSeconds = 0;
    std::int64_t m_startMicroseconds = 0;
    bool m_traced = false;
};
