#include "MovaraAppKit/CrashReporter/MVCrashHostInfo.h"

#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "Platform/System/HostInfo.h"

std::shared_ptr<MVCrashHostInfo> MVCrashHostInfo::currentHostInfo()
{
    auto release = sys::kernelRelease();
    if (!release) {
        mvcrash_log("[MVCrashReporter] Failed to fetch kern.osrelease value %d: %s", errno, std::strerror(errno));
        return nullptr;
    }
    return initWithRelease(*release);
}

std::shared_ptr<MVCrashHostInfo> MVCrashHostInfo::initWithRelease(const std::string& release)
{
    auto info = std::shared_ptr<MVCrashHostInfo>(new MVCrashHostInfo());
    std::uint64_t* parts[3] = { &info->m_version.major, &info->m_version.minor, &info->m_version.revision };
    std::size_t pos = 0;
    bool complete = true;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= release.size() || release[pos] != '.') {
                complete = false;
                break;
            }
            ++pos;
        }
        const std::size_t start = pos;
        std::uint64_t value = 0;
        while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9' && value < (1ULL << 58))
            value = value * 10 + static_cast<std::uint64_t>(release[pos++] - '0');
        if (pos == start) {
            complete = false;
            break;
        }
        *parts[i] = value;
    }
    if (!complete)
        mvcrash_log("[MVCrashReporter] Unexpected kern.osrelease string format: %s", release.c_str());
    return info;
}

std::size_t mvcrash_sysctl_valid_utf8_bytes_max(const std::uint8_t* bytes, std::size_t max_length)
{
    std::size_t count = 0;
    if (max_length > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        count = 3;
    while (count < max_length) {
        const std::uint8_t lead = bytes[count];
        if (lead == 0)
            break;
        std::size_t continuation;
        if (lead < 0x80)
            continuation = 0;
        else if (lead >= 0xC0 && lead <= 0xDF)
            continuation = 1;
        else if (lead >= 0xE0 && lead <= 0xEF)
            continuation = 2;
        else if (lead >= 0xF0 && lead <= 0xF7)
            continuation = 3;
        else
            break;
        if (count + continuation >= max_length && continuation > 0)
            break;
        bool valid = true;
        for (std::size_t i = 1; i <= continuation; ++i)
            if (bytes[count + i] < 0x80 || bytes[count + i] > 0xBF)
                valid = false;
        if (!valid)
            break;
        count += continuation + 1;
    }
    return count;
}

std::size_t mvcrash_sysctl_valid_utf8_bytes(const char* string)
{
    return mvcrash_sysctl_valid_utf8_bytes_max(reinterpret_cast<const std::uint8_t*>(string), std::strlen(string));
}

std::shared_ptr<MVCrashProcessInfo> MVCrashProcessInfo::currentProcessInfo()
{
    return initWithProcessID(::getpid());
}

std::shared_ptr<MVCrashProcessInfo> MVCrashProcessInfo::initWithProcessID(pid_t pid)
{
    auto facts = sys::processFacts(pid);
    if (!facts)
        return nullptr;
    auto info = std::shared_ptr<MVCrashProcessInfo>(new MVCrashProcessInfo());
    info->m_pid = facts->pid;
    const std::size_t valid = mvcrash_sysctl_valid_utf8_bytes_max(reinterpret_cast<const std::uint8_t*>(facts->name.data()), std::min<std::size_t>(facts->name.size(), 16));
    if (valid > 0)
        info->m_name = facts->name.substr(0, valid);
    info->m_parentPid = facts->parentPid;
    info->m_startSeconds = facts->startSeconds;
    info->m_startMicroseconds = facts->startMicroseconds;
    info->m_traced = facts->traced;
    return info;
}
