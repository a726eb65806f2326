#pragma once
// Facts about the host and about processes, read from uname and /proc in place of the desktop
// platform's system-control calls. They allocate: call them before a crash, never inside one.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace sys {

// uname's release ("6.1.0-13-amd64") and version (the kernel's build text).
std::optional<std::string> kernelRelease();
std::optional<std::string> kernelBuild();

struct HardwareFacts {
    std::string model;            // the processor's model name, "" when unknown
    std::uint32_t physicalProcessors = 0;
    std::uint32_t logicalProcessors = 0;
};
HardwareFacts hardwareFacts();

struct ProcessFacts {
    pid_t pid = 0;
    std::string name;             // the program's file name, whole (the kernel's command name
                                  // keeps only 15 bytes of it)
    pid_t parentPid = 0;
    std::int64_t startSeconds = 0; // seconds since 1970 at which the process started
    std::int64_t startMicroseconds = 0;
    bool traced = false;           // a debugger or tracer is attached
};
// Facts about a live process; none when /proc has no record of it.
std::optional<ProcessFacts> processFacts(pid_t pid);

// The operating system's version as three numbers, from /etc/os-release's VERSION_ID
// ("12" gives 12.0.0); none when it cannot be read.
struct OSVersion {
    long major = 0, minor = 0, patch = 0;
};
std::optional<OSVersion> operatingSystemVersion();

} // namespace sys
