#include "MovaraKit/Support/URL+Movara.h"

#include "Platform/Images/UTType.h"

const std::string MVRMovaraWebRoot = "https://www.movara.com/";

bool mvr_isValidWebURL(const std::string& text)
{
    auto components = foundation::URLComponents::componentsWithString(text);
    if (!components)
        return false;
    if (!components->scheme()) {
        // Typed without a scheme, a host name parses as a path.
        components->setScheme("http");
        components->setHost(components->path());
        components->setPath("");
    }
    std::string scheme = *components->scheme();
    for (char& c : scheme)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (scheme != "http" && scheme != "https")
        return false;
    if (!components->url())
        return false;
    auto host = components->host();
    return host && !host->empty();
}

std::optional<std::string> mvr_typeIdentifier(const foundation::URL& url)
{
    if (!url.isFileURL())
        return std::nullopt;
    std::string type = images::typeOfFile(url.path());
    if (type.empty())
        return std::nullopt;
    return type;
}

bool mvr_isFileURLOfType(const foundation::URL& url, const std::string& type)
{
    auto identifier = mvr_typeIdentifier(url);
    return identifier && *identifier == type;
}

bool mvr_isFileURLConformingToType(const foundation::URL& url, const std::string& type)
{
    auto identifier = mvr_typeIdentifier(url);
    return identifier && images::typeConformsTo(*identifier, type);
}

std::optional<foundation::URL> mvr_URLForMovaraWebPath(const std::optional<std::string>& path)
{
    return foundation::URL::URLWithString(MVRMovaraWebRoot + path.value_or(""));
}
