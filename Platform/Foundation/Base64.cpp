#include "Platform/Foundation/Base64.h"

#include <array>

namespace foundation {

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeDecodeTable()
{
    std::array<int, 256> t{};
    for (auto& v : t)
        v = -1;
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(Alphabet[i])] = i;
    return t;
}

constexpr auto DecodeTable = makeDecodeTable();

} // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes, unsigned options)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t n = std::uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            n |= std::uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            n |= bytes[i + 2];
        out += Alphabet[(n >> 18) & 63];
        out += Alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? Alphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? Alphabet[n & 63] : '=';
    }

    size_t lineLength = (options & Base64Encoding64CharacterLineLength) ? 64
        : (options & Base64Encoding76CharacterLineLength)               ? 76
                                                                        : 0;
    if (lineLength == 0 || out.size() <= lineLength)
        return out;
    bool cr = options & Base64EncodingEndLineWithCarriageReturn;
    bool lf = options & Base64EncodingEndLineWithLineFeed;
    std::string ending = cr == lf ? "\r\n" : cr ? "\r" : "\n";
    std::string wrapped;
    wrapped.reserve(out.size() + out.size() / lineLength * ending.size());
    for (size_t i = 0; i < out.size(); i += lineLength) {
        if (i)
            wrapped += ending;
        wrapped.append(out, i, lineLength);
    }
    return wrapped;
}

std::string base64Encode(std::string_view bytes, unsigned options)
{
    return base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), options);
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text, unsigned options)
{
    bool ignoreUnknown = options & Base64DecodingIgnoreUnknownCharacters;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    int count = 0;   // characters in the current group, padding included
    int padding = 0; // "=" seen so far; only more padding may follow
    for (char c : text) {
        if (c == '=') {
            // Padding fills the third and fourth place of the last group only.
            if (count < 2)
                return std::nullopt;
            ++padding;
            ++count;
        } else {
            int v = DecodeTable[static_cast<unsigned char>(c)];
            if (v < 0) {
                if (ignoreUnknown)
                    continue;
                return std::nullopt;
            }
            if (padding)
                return std::nullopt;
            group = (group << 6) | std::uint32_t(v);
            ++count;
        }
        if (count == 4) {
            group <<= 6 * padding;
            out.push_back(std::uint8_t(group >> 16));
            if (padding < 2)
                out.push_back(std::uint8_t(group >> 8));
            if (padding < 1)
                out.push_back(std::uint8_t(group));
            group = 0;
            count = 0;
            if (padding)
                padding = 3; // the data is complete: nothing but ignored characters may follow
        }
    }
    if (count != 0)
        return std::nullopt;
    return out;
}

} // namespace foundation
