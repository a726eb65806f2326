#include "MovaraKit/Support/AttributedString+Movara.h"

#include <algorithm>
#include <set>

std::optional<foundation::AttributedString>
mvr_attributedStringWithOnlyLinkAttributesFromHTMLString(const std::optional<std::string>& html)
{
    if (!html)
        return std::nullopt;
    foundation::AttributedString text = foundation::AttributedString::initWithHTML(*html);
    mvr_removeAllAttributesExcept(text, {foundation::NSLinkAttributeName});
    return text;
}

foundation::AttributedString mvr_attributedStringByRemovingAllAttributesExcept(const foundation::AttributedString& text,
                                                                              const std::vector<std::string>& names)
{
    foundation::AttributedString copy = text;
    mvr_removeAllAttributesExcept(copy, names);
    return copy;
}

void mvr_removeAllAttributesExcept(foundation::AttributedString& text, const std::vector<std::string>& names)
{
    // The names are gathered from a snapshot first: removing while walking the runs would
    // change the runs being walked.
    std::set<std::string> unwanted;
    text.enumerateAttributes([&](const foundation::TextAttributes& attributes, foundation::TextRange) {
        for (const auto& [name, value] : attributes)
            if (std::find(names.begin(), names.end(), name) == names.end())
                unwanted.insert(name);
    });
    for (const std::string& name : unwanted)
        text.removeAttribute(name, {0, text.length()});
}
