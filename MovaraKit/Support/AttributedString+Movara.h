#pragma once
// Reducing rich text to the attributes a caller wants to keep, and HTML to its links, for
// texts shown in the account screens. Pure functions; any thread.

#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/AttributedString.h"

// The HTML read as rich text with every attribute but the link removed; none for none.
std::optional<foundation::AttributedString>
mvr_attributedStringWithOnlyLinkAttributesFromHTMLString(const std::optional<std::string>& html);
// A copy with mvr_removeAllAttributesExcept applied.
foundation::AttributedString mvr_attributedStringByRemovingAllAttributesExcept(const foundation::AttributedString& text,
                                                                              const std::vector<std::string>& names);
// Removes, over the whole text, every attribute whose name is not in `names`.
void mvr_removeAllAttributesExcept(foundation::AttributedString& text, const std::vector<std::string>& names);
