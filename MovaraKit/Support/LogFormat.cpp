#include "MovaraKit/Support/LogFormat.h"

#include <algorithm>
#include <cstdio>

namespace {

// Widths and precisions come from constant formats, but a typo like "%99999999d" must not
// make a logging call allocate without bound.
constexpr int kMaxFieldWidth = 4096;

template <typename... T>
std::string printfString(const std::string& recipe, T... value)
{
    char small[128];
    int n = std::snprintf(small, sizeof small, recipe.c_str(), value...);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), recipe.c_str(), value...);
    out.resize(static_cast<size_t>(n));
    return out;
}

// The argument as it is, for conversions it doesn't fit.
std::string natural(const LogArgument::Value& v)
{
    struct Visitor {
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(std::uint64_t u) const { return std::to_string(u); }
        std::string operator()(double d) const { return printfString("%g", d); }
        std::string operator()(std::string_view s) const { return std::string(s); }
        std::string operator()(const void* p) const { return p ? printfString("%p", p) : std::string("(null)"); }
    };
    return std::visit(Visitor{}, v);
}

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;

    std::string build(const char* length, char conversion) const
    {
        std::string s = "%" + flags;
        if (width >= 0)
            s += std::to_string(width);
        if (precision >= 0)
            s += "." + std::to_string(precision);
        s += length;
        s += conversion;
        return s;
    }
};

std::string render(const Spec& recipe, char conversion, const LogArgument::Value& v)
{
    const auto* i = std::get_if<std::int64_t>(&v);
    const auto* u = std::get_if<std::uint64_t>(&v);
    const auto* d = std::get_if<double>(&v);
    const auto* s = std::get_if<std::string_view>(&v);
    const auto* p = std::get_if<const void*>(&v);
    switch (conversion) {
    case 'd':
    case 'i':
        if (i)
            return printfString(recipe.build("ll", 'd'), static_cast<long long>(*i));
        if (u)
            return printfString(recipe.build("ll", 'u'), static_cast<unsigned long long>(*u));
        break;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
        if (i || u)
            return printfString(recipe.build("ll", conversion), static_cast<unsigned long long>(i ? static_cast<std::uint64_t>(*i) : *u));
        break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (d)
            return printfString(recipe.build("", conversion), *d);
        if (i)
            return printfString(recipe.build("", conversion), static_cast<double>(*i));
        if (u)
            return printfString(recipe.build("", conversion), static_cast<double>(*u));
        break;
    case 'c':
        if (i || u)
            return printfString(recipe.build("", 'c'), static_cast<int>(static_cast<unsigned char>(i ? *i : static_cast<std::int64_t>(*u))));
        break;
    case 's':
    case '@':
        if (s) {
            std::string text(*s);
            return printfString(recipe.build("", 's'), text.c_str());
        }
        break;
    case 'p':
        if (p)
            return natural(v);
        if (i || u)
            return printfString("0x%llx", static_cast<unsigned long long>(i ? static_cast<std::uint64_t>(*i) : *u));
        break;
    default:
        break;
    }
    return natural(v);
}

bool isLengthModifier(char c) { return c == 'h' || c == 'l' || c == 'q' || c == 'j' || c == 'z' || c == 't' || c == 'L'; }

} // namespace

std::string formatLogMessage(std::string_view format, std::span<const LogArgument> arguments)
{
    std::string out;
    out.reserve(format.size() + 16 * arguments.size());
    size_t next = 0;
    auto takeArgument = [&]() -> const LogArgument* { return next < arguments.size() ? &arguments[next++] : nullptr; };
    auto takeInt = [&]() -> int {
        const LogArgument* a = takeArgument();
        if (!a)
            return -1;
        if (const auto* i = std::get_if<std::int64_t>(&a->value()))
            return static_cast<int>(std::clamp<std::int64_t>(*i, -1, kMaxFieldWidth));
        if (const auto* u = std::get_if<std::uint64_t>(&a->value()))
            return static_cast<int>(std::min<std::uint64_t>(*u, kMaxFieldWidth));
        return -1;
    };
    auto readNumber = [&](size_t& j) {
        long long n = 0;
        while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
            n = std::min<long long>(n * 10 + (format[j] - '0'), kMaxFieldWidth);
            ++j;
        }
        return static_cast<int>(n);
    };

    size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        size_t j = i + 1;
        if (j < format.size() && format[j] == '%') {
            out += '%';
            i = j + 1;
            continue;
        }
        // "{public}", "{private, mask.hash}", "{time_t}": annotations for the platform's
        // redaction and decoding; this log keeps every value as it is.
        if (j < format.size() && format[j] == '{') {
            size_t close = format.find('}', j);
            if (close == std::string_view::npos)
                break;
            j = close + 1;
        }
        Spec recipe;
        while (j < format.size() && std::string_view("-+ #0'").find(format[j]) != std::string_view::npos)
            recipe.flags += format[j++];
        if (j < format.size() && format[j] == '*') {
            recipe.width = takeInt();
            ++j;
        } else if (j < format.size() && format[j] >= '0' && format[j] <= '9') {
            recipe.width = readNumber(j);
        }
        if (j < format.size() && format[j] == '.') {
            ++j;
            if (j < format.size() && format[j] == '*') {
                recipe.precision = takeInt();
                ++j;
            } else {
                recipe.precision = readNumber(j);
            }
        }
        while (j < format.size() && isLengthModifier(format[j]))
            ++j;
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        char conversion = format[j];
        const LogArgument* argument = takeArgument();
        out += argument ? render(recipe, conversion, argument->value()) : std::string("<missing>");
        i = j + 1;
    }
    return out;
}
