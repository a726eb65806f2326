#include "MovaraKit/Support/String+Validation.h"

#include <string_view>
#include <vector>

#include "Platform/Foundation/StringUtils.h"
#include "Platform/Foundation/URL.h"

namespace {

bool isASCIILetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isASCIIDigit(char c) { return c >= '0' && c <= '9'; }

bool isUsernameCharacter(char c) { return isASCIILetter(c) || isASCIIDigit(c) || c == '_'; }
bool isEmailLocalCharacter(char c)
{
    return isASCIILetter(c) || isASCIIDigit(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
}
bool isEmailDomainCharacter(char c) { return isASCIILetter(c) || isASCIIDigit(c) || c == '.' || c == '-'; }

template <typename Pred>
bool allOf(std::string_view s, Pred pred)
{
    for (char c : s)
        if (!pred(c))
            return false;
    return true;
}

} // namespace

bool mvr_isValidUsername(const std::string& text)
{
    return !text.empty() && allOf(text, isUsernameCharacter);
}

bool mvr_isValidEmail(const std::string& text)
{
    // Matched by hand rather than with a regex engine: user text of any length must not be
    // able to exhaust the stack through a backtracking matcher.
    size_t at = text.find('@');
    if (at == std::string::npos || at == 0)
        return false;
    std::string_view local(text.data(), at);
    std::string_view domain = std::string_view(text).substr(at + 1);
    if (!allOf(local, isEmailLocalCharacter) || !allOf(domain, isEmailDomainCharacter))
        return false;
    // The domain's class includes ".", but the top-level part holds letters only, so it is
    // whatever follows the last full stop; at least one character must precede that stop.
    size_t dot = domain.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return false;
    std::string_view top = domain.substr(dot + 1);
    return top.size() >= 2 && allOf(top, isASCIILetter);
}

bool mvr_isValidPassword(const std::string& text) { return foundation::utf16Length(text) > 5; }

bool mvr_isValidURL(const std::string& text)
{
    if (text.empty())
        return false;
    // Non-ASCII text cannot form an unescaped URL, so ASCII lower-casing is all it needs.
    auto components = foundation::URLComponents::componentsWithString(foundation::asciiLowercase(text));
    if (!components)
        return false;
    if (!components->scheme()) {
        // A host typed without a scheme parses as a path; read it again as an http address.
        components = foundation::URLComponents::componentsWithString("http://" + components->path());
        if (!components)
            return false;
    }
    std::string scheme = components->scheme().value_or("");
    if (scheme != "http" && scheme != "https")
        return false;
    std::optional<std::string> host = components->host();
    if (!host || host->empty())
        return false;
    std::vector<std::string_view> labels;
    std::string_view rest(*host);
    for (;;) {
        size_t dot = rest.find('.');
        labels.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    for (std::string_view label : labels)
        if (label.empty())
            return false;
    return labels.size() >= 2 && labels.back().size() > 1;
}

bool mvr_isEqualToStringIgnoringCase(const std::string& text, const std::string& other)
{
    return foundation::caseInsensitiveCompare(text, other) == foundation::ComparisonResult::OrderedSame;
}
