#include "Platform/Foundation/StringUtils.h"

#include <algorithm>
#include <cstdint>

namespace foundation {

namespace {

enum class GCB : uint8_t {
    Other,
    Control,
    CR,
    Extend,
    L,
    LF,
    LV,
    LVT,
    T,
    V,
    SpacingMark,
    Prepend,
    RegionalIndicator,
    E_Base,
    E_Base_GAZ,
    E_Modifier,
    Glue_After_Zwj,
    ZWJ,
};

struct GraphemeRange {
    char32_t first;
    char32_t last;
    GCB value;
};
struct CodeRange {
    char32_t first;
    char32_t last;
};
struct FoldRun {
    char32_t first;
    char32_t last;
    int stride;
    int delta;
};
struct CodeMapping {
    char32_t from;
    char32_t to;
};

#include "Platform/Foundation/StringUtilsTables.inc"

constexpr char32_t Replacement = 0xFFFD;

// Decodes one code point at `pos`; a malformed, overlong or surrogate sequence yields U+FFFD
// for its first byte only, so that decoding always moves on.
char32_t decodeAt(std::string_view s, size_t& pos)
{
    if (auto cp = decodeUTF8(s, pos))
        return *cp;
    ++pos;
    return Replacement;
}

std::u32string decode(std::string_view s)
{
    std::u32string out;
    out.reserve(s.size());
    for (size_t pos = 0; pos < s.size();)
        out += decodeAt(s, pos);
    return out;
}

GCB graphemeBreak(char32_t c)
{
    if (c >= 0xAC00 && c <= 0xD7A3)
        return (c - 0xAC00) % 28 == 0 ? GCB::LV : GCB::LVT;
    auto it = std::upper_bound(std::begin(GraphemeBreakRanges), std::end(GraphemeBreakRanges), c,
                               [](char32_t v, const GraphemeRange& r) { return v < r.first; });
    if (it == std::begin(GraphemeBreakRanges))
        return GCB::Other;
    --it;
    return c <= it->last ? it->value : GCB::Other;
}

bool isExtendedPictographic(char32_t c)
{
    auto it = std::upper_bound(std::begin(ExtendedPictographicRanges), std::end(ExtendedPictographicRanges), c,
                               [](char32_t v, const CodeRange& r) { return v < r.first; });
    if (it == std::begin(ExtendedPictographicRanges))
        return false;
    --it;
    return c <= it->last;
}

// Indic conjuncts (a consonant, a virama, a consonant) are one character in the scripts whose
// viramas join consonants visibly: Devanagari, Bengali, Gujarati, Oriya, Telugu, Malayalam.
bool isConjunctLinker(char32_t c)
{
    return c == 0x094D || c == 0x09CD || c == 0x0ACD || c == 0x0B4D || c == 0x0C4D || c == 0x0D4D;
}

bool isConjunctConsonant(char32_t c)
{
    static constexpr CodeRange Consonants[] = {
        {0x0915, 0x0939}, {0x0958, 0x095F}, {0x0978, 0x097F}, {0x0995, 0x09A8}, {0x09AA, 0x09B0}, {0x09B2, 0x09B2},
        {0x09B6, 0x09B9}, {0x09DC, 0x09DD}, {0x09DF, 0x09DF}, {0x09F0, 0x09F1}, {0x0A95, 0x0AA8}, {0x0AAA, 0x0AB0},
        {0x0AB2, 0x0AB3}, {0x0AB5, 0x0AB9}, {0x0AF9, 0x0AF9}, {0x0B15, 0x0B28}, {0x0B2A, 0x0B30}, {0x0B32, 0x0B33},
        {0x0B35, 0x0B39}, {0x0B5C, 0x0B5D}, {0x0B5F, 0x0B5F}, {0x0B71, 0x0B71}, {0x0C15, 0x0C28}, {0x0C2A, 0x0C39},
        {0x0C58, 0x0C5A}, {0x0D15, 0x0D3A},
    };
    if (c < 0x0915 || c > 0x0D3A)
        return false;
    for (const auto& r : Consonants)
        if (c >= r.first && c <= r.last)
            return true;
    return false;
}

bool isCombiningExtend(char32_t c)
{
    auto it = std::upper_bound(std::begin(CombiningExtendRanges), std::end(CombiningExtendRanges), c,
                               [](char32_t v, const CodeRange& r) { return v < r.first; });
    if (it == std::begin(CombiningExtendRanges))
        return false;
    --it;
    return c <= it->last;
}

char32_t foldCase(char32_t c)
{
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    auto it = std::upper_bound(std::begin(CaseFoldRuns), std::end(CaseFoldRuns), c,
                               [](char32_t v, const FoldRun& r) { return v < r.first; });
    if (it == std::begin(CaseFoldRuns))
        return c;
    --it;
    if (c > it->last || (c - it->first) % it->stride != 0)
        return c;
    return char32_t(int(c) + it->delta);
}

// The folded letter without its accents (the primary strength of a collation).
char32_t primaryKey(char32_t c)
{
    char32_t folded = foldCase(c);
    auto it = std::lower_bound(std::begin(BaseLetters), std::end(BaseLetters), folded,
                               [](const CodeMapping& m, char32_t v) { return m.from < v; });
    if (it != std::end(BaseLetters) && it->from == folded)
        return it->to;
    return folded;
}

bool isSpaceSeparator(char32_t c)
{
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F
        || c == 0x3000;
}

bool isNewline(char32_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

std::string trimmed(std::string_view text, bool (*isTrimmed)(char32_t))
{
    size_t begin = 0;
    size_t pos = 0;
    size_t end = 0;
    bool seenKept = false;
    while (pos < text.size()) {
        size_t at = pos;
        char32_t c = decodeAt(text, pos);
        if (!isTrimmed(c)) {
            if (!seenKept)
                begin = at, seenKept = true;
            end = pos;
        }
    }
    return seenKept ? std::string(text.substr(begin, end - begin)) : std::string();
}

// Rank of a character in the file manager's order: punctuation and symbols, then digits,
// then letters (and everything else, which in practice is letters of other scripts).
int characterRank(char32_t c)
{
    if (c < 0x80) {
        if (c >= '0' && c <= '9')
            return 1;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            return 2;
        return 0;
    }
    bool symbol = c <= 0xBF || c == 0xD7 || c == 0xF7 || (c >= 0x2000 && c <= 0x2BFF) || (c >= 0x2E00 && c <= 0x2E7F)
        || (c >= 0x3000 && c <= 0x303F) || (c >= 0xFE10 && c <= 0xFE6F) || (c >= 0xFF01 && c <= 0xFF0F)
        || (c >= 0xFF1A && c <= 0xFF20) || (c >= 0xFF3B && c <= 0xFF40) || (c >= 0xFF5B && c <= 0xFF65)
        || (c >= 0x1F000 && c <= 0x1FAFF);
    return symbol ? 0 : 2;
}

bool isASCIIDigit(char32_t c) { return c >= '0' && c <= '9'; }

ComparisonResult toResult(int v)
{
    return v < 0 ? ComparisonResult::OrderedAscending
                 : v > 0 ? ComparisonResult::OrderedDescending : ComparisonResult::OrderedSame;
}

} // namespace

std::optional<char32_t> decodeUTF8(std::string_view text, std::size_t& pos)
{
    if (pos >= text.size())
        return std::nullopt;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80)
        return char32_t(text[pos++]);
    size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, cp = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, cp = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (length > text.size() - pos)
        return std::nullopt;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char b = byte(pos + i);
        if ((b & 0xC0) != 0x80)
            return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return std::nullopt;
    pos += length;
    return cp;
}

void appendUTF8(std::string& out, char32_t codePoint)
{
    const auto c = static_cast<std::uint32_t>(codePoint);
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool isValidUTF8(std::string_view text)
{
    for (size_t pos = 0; pos < text.size();) {
        if (!decodeUTF8(text, pos))
            return false;
    }
    return true;
}

std::string asciiLowercase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::size_t utf16Length(std::string_view utf8)
{
    std::size_t units = 0;
    for (size_t pos = 0; pos < utf8.size();)
        units += decodeAt(utf8, pos) >= 0x10000 ? 2 : 1;
    return units;
}

std::size_t graphemeCount(std::string_view utf8)
{
    std::u32string cps = decode(utf8);
    if (cps.empty())
        return 0;
    std::size_t count = 1;
    GCB prev = graphemeBreak(cps[0]);
    // Emoji ZWJ sequences: 1 after "ExtPict Extend*", 2 right after "ExtPict Extend* ZWJ".
    int emoji = isExtendedPictographic(cps[0]) ? 1 : 0;
    size_t regionalIndicators = prev == GCB::RegionalIndicator ? 1 : 0; // consecutive, up to prev
    // Conjuncts: 1 after "Consonant (Extend|Linker)*" without a linker, 2 once a linker is seen.
    int conjunct = isConjunctConsonant(cps[0]) ? 1 : 0;
    for (size_t i = 1; i < cps.size(); ++i) {
        char32_t c = cps[i];
        GCB cur = graphemeBreak(c);
        bool extPict = isExtendedPictographic(c);
        bool join;
        if (prev == GCB::CR && cur == GCB::LF)
            join = true;
        else if (prev == GCB::Control || prev == GCB::CR || prev == GCB::LF)
            join = false;
        else if (cur == GCB::Control || cur == GCB::CR || cur == GCB::LF)
            join = false;
        else if (prev == GCB::L && (cur == GCB::L || cur == GCB::V || cur == GCB::LV || cur == GCB::LVT))
            join = true;
        else if ((prev == GCB::LV || prev == GCB::V) && (cur == GCB::V || cur == GCB::T))
            join = true;
        else if ((prev == GCB::LVT || prev == GCB::T) && cur == GCB::T)
            join = true;
        else if (cur == GCB::Extend || cur == GCB::ZWJ || cur == GCB::SpacingMark)
            join = true;
        else if (prev == GCB::Prepend)
            join = true;
        else if (conjunct == 2 && isConjunctConsonant(c))
            join = true;
        else if (emoji == 2 && extPict)
            join = true;
        else if (prev == GCB::RegionalIndicator && cur == GCB::RegionalIndicator)
            join = regionalIndicators % 2 == 1; // pairs make flags
        else
            join = false;
        if (!join)
            ++count;

        if (extPict)
            emoji = 1;
        else if (emoji == 1 && cur == GCB::Extend)
            emoji = 1;
        else if (emoji == 1 && cur == GCB::ZWJ)
            emoji = 2;
        else
            emoji = 0;
        if (isConjunctConsonant(c))
            conjunct = 1;
        else if (conjunct && isConjunctLinker(c))
            conjunct = 2;
        else if (!(conjunct && (cur == GCB::ZWJ || isCombiningExtend(c))))
            conjunct = 0;
        regionalIndicators = cur == GCB::RegionalIndicator ? regionalIndicators + 1 : 0;
        prev = cur;
    }
    return count;
}

std::string trimmingWhitespace(std::string_view text)
{
    return trimmed(text, [](char32_t c) { return c == '\t' || isSpaceSeparator(c); });
}

std::string trimmingWhitespaceAndNewlines(std::string_view text)
{
    return trimmed(text, [](char32_t c) { return c == '\t' || isSpaceSeparator(c) || isNewline(c); });
}

ComparisonResult caseInsensitiveCompare(std::string_view a, std::string_view b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        char32_t x = foldCase(decodeAt(a, i));
        char32_t y = foldCase(decodeAt(b, j));
        if (x != y)
            return toResult(x < y ? -1 : 1);
    }
    return toResult(i < a.size() ? 1 : j < b.size() ? -1 : 0);
}

ComparisonResult localizedStandardCompare(std::string_view a, std::string_view b)
{
    std::u32string x = decode(a);
    std::u32string y = decode(b);
    size_t i = 0, j = 0;
    int secondary = 0; // first accent difference, used only when the primary keys tie
    while (i < x.size() && j < y.size()) {
        bool digitsX = isASCIIDigit(x[i]);
        bool digitsY = isASCIIDigit(y[j]);
        if (digitsX && digitsY) {
            size_t endX = i, endY = j;
            while (endX < x.size() && isASCIIDigit(x[endX]))
                ++endX;
            while (endY < y.size() && isASCIIDigit(y[endY]))
                ++endY;
            // Leading zeros do not change the value; then more digits is a larger number.
            size_t sigX = i, sigY = j;
            while (sigX + 1 < endX && x[sigX] == '0')
                ++sigX;
            while (sigY + 1 < endY && y[sigY] == '0')
                ++sigY;
            if (endX - sigX != endY - sigY)
                return toResult(endX - sigX < endY - sigY ? -1 : 1);
            for (size_t k = 0; k < endX - sigX; ++k)
                if (x[sigX + k] != y[sigY + k])
                    return toResult(x[sigX + k] < y[sigY + k] ? -1 : 1);
            i = endX, j = endY;
            continue;
        }
        int rankX = characterRank(x[i]);
        int rankY = characterRank(y[j]);
        if (rankX != rankY)
            return toResult(rankX - rankY);
        char32_t px = primaryKey(x[i]);
        char32_t py = primaryKey(y[j]);
        if (px != py)
            return toResult(px < py ? -1 : 1);
        if (secondary == 0) {
            char32_t fx = foldCase(x[i]);
            char32_t fy = foldCase(y[j]);
            if (fx != fy)
                secondary = fx < fy ? -1 : 1;
        }
        ++i, ++j;
    }
    if (i < x.size())
        return ComparisonResult::OrderedDescending;
    if (j < y.size())
        return ComparisonResult::OrderedAscending;
    return toResult(secondary);
}

} // namespace foundation
