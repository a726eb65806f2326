#include "Platform/System/DeviceFacts.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace sys {

namespace {

std::optional<std::string> readFile(const char* path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string trimmed(std::string text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
        ++start;
    return text.substr(start);
}

std::optional<std::string> firmwareText(const char* path)
{
    auto name = readFile(path);
    if (!name)
        return std::nullopt;
    std::string text = trimmed(*name);
    if (text.empty())
        return std::nullopt;
    return text;
}

std::optional<std::string> osRelease()
{
    if (auto text = readFile("/etc/os-release"))
        return text;
    return readFile("/usr/lib/os-release");
}

} // namespace

std::optional<std::string> DeviceFacts::osReleaseValue(const std::string& contents, const std::string& key)
{
    std::istringstream lines(contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.starts_with(key + "="))
            continue;
        std::string value = trimmed(line.substr(key.size() + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

LocaleParts DeviceFacts::parseLocale(const std::string& identifier)
{
    // language[_COUNTRY][.codeset][@modifier]; "C" and "POSIX" mean plain English.
    std::string text = identifier;
    std::optional<std::string> modifier;
    if (auto at = text.find('@'); at != std::string::npos) {
        modifier = text.substr(at + 1);
        text.erase(at);
    }
    if (auto dot = text.find('.'); dot != std::string::npos)
        text.erase(dot);
    LocaleParts parts;
    if (text.empty() || text == "C" || text == "POSIX") {
        parts.language = "en";
        return parts;
    }
    for (char& c : text)
        if (c == '-')
            c = '_';
    const auto underscore = text.find('_');
    parts.language = text.substr(0, underscore);
    if (underscore != std::string::npos && underscore + 1 < text.size())
        parts.country = text.substr(underscore + 1);
    if (modifier == "latin")
        parts.script = "Latn";
    else if (modifier == "cyrillic")
        parts.script = "Cyrl";
    return parts;
}

std::string DeviceFacts::operatingSystemName()
{
    if (auto contents = osRelease())
        if (auto name = osReleaseValue(*contents, "NAME"); name && !name->empty())
            return *name;
    utsname names {};
    if (uname(&names) == 0)
        return names.sysname;
    return "Linux";
}

OSVersion DeviceFacts::operatingSystemVersion()
{
    return sys::operatingSystemVersion().value_or(OSVersion {});
}

std::optional<std::string> DeviceFacts::operatingSystemBuild()
{
    return kernelRelease();
}

std::optional<std::string> DeviceFacts::model()
{
    if (auto product = firmwareText("/sys/class/dmi/id/product_name"))
        return product;
    // Virtual machines and boards without firmware tables: the processor is what can be told.
    if (auto processor = hardwareFacts().model; !processor.empty())
        return processor;
    return std::nullopt;
}

std::optional<std::string> DeviceFacts::manufacturer()
{
    return firmwareText("/sys/class/dmi/id/sys_vendor");
}


LocaleParts DeviceFacts::preferredLocale()
{
    for (const char* variable : { "LC_ALL", "LC_MESSAGES", "LANG" })
        if (const char* value = std::getenv(variable); value && *value)
            return parseLocale(value);
    return parseLocale("C");
}

long DeviceFacts::timeZoneOffsetSeconds()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

std::optional<ScreenSize> DeviceFacts::mainScreenSize()
{
    return std::nullopt;
}

} // namespace sys
