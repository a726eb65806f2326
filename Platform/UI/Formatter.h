#pragma once
// Turns a control's object value into text and back, and may refuse text while it is typed.

#include <any>
#include <optional>
#include <string>

#include "Platform/UI/AttributedString.h"
#include "Platform/UI/Object.h"

namespace ui {

class Formatter : public Object {
public:
    // The text shown for `value`; none when the value is not one this formatter shows.
    virtual std::optional<std::string> stringForObjectValue(const std::any& value) const = 0;
    // Reads `string` into `value`; false (with a reason in `errorDescription`) when it can't.
    virtual bool getObjectValue(std::any* value, const std::string& string, std::string* errorDescription) const = 0;
    virtual std::optional<AttributedString> attributedStringForObjectValue(const std::any& value,
                                                                           const TextAttributes& defaults) const
    {
        (void)value;
        (void)defaults;
        return std::nullopt;
    }
    // Asked on every edit with the whole proposed text. False refuses the edit; a refusal may
    // propose `newString` instead.
    virtual bool isPartialStringValid(const std::string& partial, std::string* newString,
                                      std::string* errorDescription) const
    {
        (void)partial;
        (void)newString;
        (void)errorDescription;
        return true;
    }
};

} // namespace ui
