#pragma once
// Facts about the machine and the operating system, read from Linux's own sources, in the
// shapes a device description needs. Any thread; each call reads afresh (they are cheap).
//
//   operating system name     NAME of /etc/os-release (else uname's system name)
//   operating system version  VERSION_ID of /etc/os-release as major, minor and patch (HostInfo)
//   operating system build    uname's kernel release (HostInfo)
//   model                     the firmware's product name (/sys/class/dmi/id), else the
//                             processor's model name, else none
//   manufacturer              the firmware's system vendor (/sys/class/dmi/id), else none
//   locale                    LC_ALL, else LC_MESSAGES, else LANG: language, optional script,
//                             country ("en_US.UTF-8" -> en, US; "sr_RS@latin" -> sr, Latn, RS)
//   time zone offset          the local zone's offset from UTC now, in seconds
//   screen                    none: no display is attached to this process's platform layer

#include <optional>
#include <string>

#include "Platform/System/HostInfo.h"

namespace sys {

struct LocaleParts {
    std::string language;
    std::optional<std::string> script;
    std::optional<std::string> country;
};

struct ScreenSize {
    int width = 0;
    int height = 0;
};

class DeviceFacts {
public:
    static std::string operatingSystemName();
    // 0.0.0 when os-release has no version.
    static OSVersion operatingSystemVersion();
    static std::optional<std::string> operatingSystemBuild();
    static std::optional<std::string> model();
    static std::optional<std::string> manufacturer();
    static LocaleParts preferredLocale();
    static long timeZoneOffsetSeconds();
    static std::optional<ScreenSize> mainScreenSize();

    // The parsing behind the readers above, for their callers' tests.
    static std::optional<std::string> osReleaseValue(const std::string& contents, const std::string& key);
    static LocaleParts parseLocale(const std::string& identifier);
};

} // namespace sys
