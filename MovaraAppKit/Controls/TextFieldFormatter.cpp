#include "MovaraAppKit/Controls/TextFieldFormatter.h"

#include <vector>

#include "Platform/Foundation/ClassRegistry.h"
#include "Platform/Foundation/StringUtils.h"

namespace {

// The code points of UTF-8 text; a malformed byte reads as U+FFFD, so bad input can never
// slip through as nothing.
std::vector<char32_t> codePoints(const std::string& text)
{
    std::vector<char32_t> out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = len > 0 && i + static_cast<size_t>(len) <= n;
        for (int k = 1; ok && k < len; ++k) {
            if ((s[i + static_cast<size_t>(k)] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (s[i + static_cast<size_t>(k)] & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += static_cast<size_t>(len);
    }
    return out;
}

std::set<char32_t> characterSet(const std::string& text)
{
    std::set<char32_t> set;
    for (char32_t c : codePoints(text))
        set.insert(c == U'\u2334' ? U' ' : c);
    return set;
}

const bool registered = [] {
    foundation::ClassRegistry::shared().registerClass<ui::Formatter>("TextFieldFormatter", [] { return TextFieldFormatter::init(); });
    return true;
}();

} // namespace

std::shared_ptr<TextFieldFormatter> TextFieldFormatter::init()
{
    return std::shared_ptr<TextFieldFormatter>(new TextFieldFormatter());
}

void TextFieldFormatter::setAllowed(const std::string& value)
{
    m_allowed = value;
    m_allowedCharacterset = characterSet(value);
}

void TextFieldFormatter::setDisallowed(const std::string& value)
{
    m_disallowed = value;
    m_disallowedCharacterset = characterSet(value);
}

std::optional<std::string> TextFieldFormatter::stringForObjectValue(const std::any& value) const
{
    if (const auto* s = std::any_cast<std::string>(&value))
        return *s;
    return std::nullopt;
}

bool TextFieldFormatter::getObjectValue(std::any* value, const std::string& string, std::string*) const
{
    if (value)
        *value = string;
    return true;
}

std::optional<ui::AttributedString> TextFieldFormatter::attributedStringForObjectValue(const std::any&,
                                                                                      const ui::TextAttributes&) const
{
    return std::nullopt;
}

bool TextFieldFormatter::isPartialStringValid(const std::string& partial, std::string*, std::string*) const
{
    const std::size_t count = foundation::graphemeCount(partial);
    bool breaksAllowed = false;
    bool breaksDisallowed = false;
    if (m_allowedCharacterset || m_disallowedCharacterset) {
        for (char32_t c : codePoints(partial)) {
            if (m_allowedCharacterset && !m_allowedCharacterset->count(c))
                breaksAllowed = true;
            if (m_disallowedCharacterset && m_disallowedCharacterset->count(c))
                breaksDisallowed = true;
        }
    }
    // The text field sounds the beep when we refuse.
    return count <= m_maxLength && !breaksAllowed && !breaksDisallowed;
}
