#pragma once
// A formatter for the shell's form fields that refuses an edit (with the system beep) when
// the text would be longer than maxLength user-perceived characters, would hold a character
// outside `allowed`, or one inside `disallowed`. In the two character strings U+2334 (⌴)
// stands for a space, which interface files cannot show. Registered by the plain name
// "TextFieldFormatter" for interface files. Main thread only.

#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Platform/UI/Formatter.h"

class TextFieldFormatter : public ui::Formatter {
public:
    static std::shared_ptr<TextFieldFormatter> init();

    std::size_t maxLength() const { return m_maxLength; }
    void setMaxLength(std::size_t value) { m_maxLength = value; }
    const std::string& allowed() const { return m_allowed; }
    // Builds the allowed set; an empty string allows nothing.
    void setAllowed(const std::string& value);
    const std::string& disallowed() const { return m_disallowed; }
    void setDisallowed(const std::string& value);

    std::optional<std::string> stringForObjectValue(const std::any& value) const override;
    bool getObjectValue(std::any* value, const std::string& string, std::string* errorDescription) const override;
    std::optional<ui::AttributedString> attributedStringForObjectValue(const std::any& value,
                                                                       const ui::TextAttributes& defaults) const override;
    // Never proposes a replacement and never describes the refusal; the field beeps.
    bool isPartialStringValid(const std::string& partial, std::string* newString, std::string* errorDescription) const override;

protected:
    TextFieldFormatter() = default;

private:
    std::size_t m_maxLength = std::numeric_limits<std::size_t>::max();
    std::string m_allowed;
    std::optional<std::set<char32_t>> m_allowedCharacterset;
    std::string m_disallowed;
    std::optional<std::set<char32_t>> m_disallowedCharacterset;
};
