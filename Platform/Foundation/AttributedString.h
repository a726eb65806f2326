#pragma once
// Text with attributes over ranges of it: runs of named values (a link, a font name...), as
// documents and HTML snippets carry them, and a small HTML reader that keeps the text, line
// breaks, links and bold/italic. Ranges count UTF-8 bytes of the text. A plain value.

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Value.h"

namespace foundation {

extern const std::string NSLinkAttributeName; // "NSLink": the target address as text
extern const std::string NSFontAttributeName; // "NSFont": a font name and size, "Times-Bold 12"
extern const std::string NSForegroundColorAttributeName; // "NSColor": a system colour's name, "labelColor"

using TextAttributes = std::map<std::string, Value>;

struct TextRange {
    size_t location = 0;
    size_t length = 0;
    size_t end() const { return location + length; }
    bool operator==(const TextRange&) const = default;
};

class AttributedString {
public:
    AttributedString() = default;
    explicit AttributedString(std::string text, TextAttributes attributes = {});
    // The text of an HTML document or fragment, read the way a browser shows it (white space
    // folded, paragraphs and <br> as line breaks, entities decoded, head/script/style left out)
    // with NSLink over each <a href> and NSFont over all of it. Never fails: whatever is not
    // understood is read as text or skipped.
    static AttributedString initWithHTML(std::string_view html);

    const std::string& string() const { return m_text; }
    size_t length() const { return m_text.size(); }

    // The attributes at `index` and, in `effectiveRange`, the whole run that has them.
    TextAttributes attributesAtIndex(size_t index, TextRange* effectiveRange = nullptr) const;
    // Each run of equal attributes, in order; an empty text has none.
    void enumerateAttributes(const std::function<void(const TextAttributes&, TextRange)>& block) const;

    // Ranges reaching past the end are cut at the end.
    void addAttribute(const std::string& name, const Value& value, TextRange range);
    void removeAttribute(const std::string& name, TextRange range);
    void append(const AttributedString& other);

    bool operator==(const AttributedString& other) const = default;

private:
    struct Run {
        size_t length = 0;
        TextAttributes attributes;
        bool operator==(const Run&) const = default;
    };
    // Splits runs so that `location` starts one; returns that run's index.
    size_t splitAt(size_t location);
    void editRange(TextRange range, const std::function<void(TextAttributes&)>& edit);
    void mergeRuns();

    std::string m_text;
    std::vector<Run> m_runs; // cover the text exactly; adjacent runs differ
};

} // namespace foundation
