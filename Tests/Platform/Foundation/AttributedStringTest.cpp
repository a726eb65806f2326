#include "Platform/Foundation/AttributedString.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using foundation::AttributedString;
using foundation::TextAttributes;
using foundation::TextRange;
using foundation::Value;

namespace {

// Each run as (its text, the value of `name` in it or "" when it has none).
std::vector<std::pair<std::string, std::string>> runsOf(const AttributedString& text, const std::string& name)
{
    std::vector<std::pair<std::string, std::string>> runs;
    text.enumerateAttributes([&](const TextAttributes& attributes, TextRange range) {
        auto it = attributes.find(name);
        runs.emplace_back(text.string().substr(range.location, range.length),
                          it == attributes.end() ? "" : it->second.asString());
    });
    return runs;
}

using Runs = std::vector<std::pair<std::string, std::string>>;

} // namespace

TEST(AttributedString, AttributesCoverRangesAndEqualNeighboursMerge)
{
    AttributedString text("hello world", {{"k", Value(std::string("a"))}});
    text.addAttribute("k", Value(std::string("b")), {2, 3});
    EXPECT_EQ(runsOf(text, "k"), (Runs {{"he", "a"}, {"llo", "b"}, {" world", "a"}}));

    TextRange effective;
    EXPECT_EQ(text.attributesAtIndex(3, &effective).at("k"), Value(std::string("b")));
    EXPECT_EQ(effective, (TextRange {2, 3}));

    // Putting the old value back leaves one run again.
    text.addAttribute("k", Value(std::string("a")), {2, 3});
    EXPECT_EQ(runsOf(text, "k"), (Runs {{"hello world", "a"}}));

    // A range past the end is cut at the end; one wholly past it changes nothing.
    text.removeAttribute("k", {6, 1000});
    text.addAttribute("k", Value(std::string("z")), {50, 2});
    text.addAttribute("k", Value(std::string("z")), {3, SIZE_MAX});
    EXPECT_EQ(runsOf(text, "k"), (Runs {{"hel", "a"}, {"lo world", "z"}}));

    text.append(AttributedString("!", {{"k", Value(std::string("z"))}}));
    EXPECT_EQ(runsOf(text, "k"), (Runs {{"hel", "a"}, {"lo world!", "z"}}));

    EXPECT_TRUE(text.attributesAtIndex(99, &effective).empty());
    EXPECT_EQ(effective, (TextRange {text.length(), 0}));
    EXPECT_EQ(runsOf(AttributedString(), "k"), Runs {});
}

TEST(AttributedString, HTMLReadsAsShownTextWithItsLinks)
{
    struct Case {
        std::string name;
        std::string html;
        std::string text;
        Runs links;
    } cases[] = {
        {"paragraphs and a link",
         "<html><head><title>T</title><style>p { color: red }</style></head><body>\n"
         "<p>Read  the\n <a href=\"https://example.com/terms?a=1&amp;b=2\">terms</a>.</p><p>Thanks</p></body></html>",
         "Read the terms.\nThanks\n",
         {{"Read the ", ""}, {"terms", "https://example.com/terms?a=1&b=2"}, {".\nThanks\n", ""}}},
        {"entities and line breaks", "caf&eacute; &amp; cr&#232;me<br>&lt;b&gt; &#x263A;&nbsp;x",
         "caf&eacute; & cr\xC3\xA8me\n<b> \xE2\x98\xBA\xC2\xA0x", {{"caf&eacute; & cr\xC3\xA8me\n<b> \xE2\x98\xBA\xC2\xA0x", ""}}},
        {"anchors without href, single quotes, unquoted", "<a name=top>a</a> <A HREF='x.html'>b</A> <a href=y>c</a>",
         "a b c", {{"a ", ""}, {"b", "x.html"}, {" ", ""}, {"c", "y"}}},
        {"comments and scripts are not text", "one<!-- two <a href=z>no</a> --><script>if (a < b) x();</script> three",
         "one three", {{"one three", ""}}},
        {"a tag cut off ends the text", "kept <a href=\"never closed", "kept", {{"kept", ""}}},
        {"a lone angle bracket is text", "1 < 2 and 3 > 2", "1 < 2 and 3 > 2", {{"1 < 2 and 3 > 2", ""}}},
        {"unclosed link runs to the end", "<a href=u>all of it", "all of it", {{"all of it", "u"}}},
        {"nothing", "", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AttributedString text = AttributedString::initWithHTML(c.html);
        EXPECT_EQ(text.string(), c.text);
        EXPECT_EQ(runsOf(text, foundation::NSLinkAttributeName), c.links);
    }

    AttributedString styled = AttributedString::initWithHTML("a<b>b<i>c</i></b><em>d</em>");
    EXPECT_EQ(runsOf(styled, foundation::NSFontAttributeName),
              (Runs {{"a", "Times-Roman 12"}, {"b", "Times-Bold 12"}, {"c", "Times-BoldItalic 12"}, {"d", "Times-Italic 12"}}));
}
