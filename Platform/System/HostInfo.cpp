#include "Platform/System/HostInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace sys {

std::optional<std::string> kernelRelease()
{
    utsname name {};
    if (::uname(&name) != 0)
        return std::nullopt;
    return std::string(name.release);
}

std::optional<std::string> kernelBuild()
{
    utsname name {};
    if (::uname(&name) != 0)
        return std::nullopt;
    return std::string(name.version);
}

HardwareFacts hardwareFacts()
{
    HardwareFacts facts;
    long online = ::sysconf(_SC_NPROCESSORS_CONF);
    facts.logicalProcessors = online > 0 ? static_cast<std::uint32_t>(online) : 0;
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    std::set<std::pair<std::string, std::string>> cores;
    std::string physical;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, colon);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.pop_back();
        std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : std::string();
        if (key == "model name" && facts.model.empty())
            facts.model = value;
        else if (key == "physical id")
            physical = value;
        else if (key == "core id")
            cores.emplace(physical, value);
    }
    facts.physicalProcessors = cores.empty() ? facts.logicalProcessors : static_cast<std::uint32_t>(cores.size());
    return facts;
}

namespace {

// The kernel keeps 15 bytes of a command's name; the file it runs, or failing that (another
// user's process) its first argument, names it whole.
std::optional<std::string> fullProcessName(const std::string& base)
{
    auto lastComponent = [](const std::string& path) -> std::optional<std::string> {
        const auto slash = path.rfind('/');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (name.empty())
            return std::nullopt;
        return name;
    };
    char target[4096];
    const ssize_t length = ::readlink((base + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
        std::string path(target, static_cast<std::size_t>(length));
        // A program replaced while it runs is shown with this mark.
        if (path.ends_with(" (deleted)"))
            path.resize(path.size() - 10);
        if (auto name = lastComponent(path))
            return name;
    }
    std::ifstream cmdline(base + "/cmdline", std::ios::binary);
    std::string first;
    if (std::getline(cmdline, first, '\0') && !first.empty())
        return lastComponent(first);
    return std::nullopt;
}

} // namespace

std::optional<ProcessFacts> processFacts(pid_t pid)
{
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream stat(base + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return std::nullopt;
    // The command name is in parentheses and may itself hold spaces and parentheses.
    auto open = text.find('(');
    auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    ProcessFacts facts;
    facts.pid = pid;
    facts.name = fullProcessName(base).value_or(text.substr(open + 1, close - open - 1));
    std::istringstream rest(text.substr(close + 1));
    std::string field;
    // Fields from the state on: state(3) ppid(4) ... starttime(22).
    std::string state;
    long long ppid = 0;
    rest >> state >> ppid;
    for (int index = 5; index < 22 && rest >> field; ++index) { }
    unsigned long long startTicks = 0;
    rest >> startTicks;
    facts.parentPid = static_cast<pid_t>(ppid);
    // The start is counted in clock ticks since boot; the boot time is in /proc/stat.
    std::ifstream procStat("/proc/stat");
    long long bootTime = 0;
    while (std::getline(procStat, text))
        if (text.rfind("btime ", 0) == 0)
            bootTime = std::stoll(text.substr(6));
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (ticks > 0) {
        facts.startSeconds = bootTime + static_cast<std::int64_t>(startTicks / static_cast<unsigned long long>(ticks));
        facts.startMicroseconds = static_cast<std::int64_t>((startTicks % static_cast<unsigned long long>(ticks)) * 1000000ULL / static_cast<unsigned long long>(ticks));
    }
    std::ifstream status(base + "/status");
    while (std::getline(status, text))
        if (text.rfind("TracerPid:", 0) == 0)
            facts.traced = std::stol(text.substr(10)) != 0;
    return facts;
}

std::optional<OSVersion> operatingSystemVersion()
{
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VERSION_ID=", 0) != 0)
            continue;
        std::string value = line.substr(11);
        if (!value.empty() && value.front() == '"')
            value = value.substr(1, value.size() >= 2 ? value.size() - 2 : 0);
        OSVersion version;
        if (std::sscanf(value.c_str(), "%ld.%ld.%ld", &version.major, &version.minor, &version.patch) < 1)
            return std::nullopt;
        return version;
    }
    return std::nullopt;
}

} // namespace sys
