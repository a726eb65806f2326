#include "MovaraKit/HTTP/NKStringEncoding.h"

#include "Platform/Foundation/StringUtils.h"

namespace {

// Windows 1252 differs from Latin 1 in 0x80-0x9F; 0 marks the five bytes it leaves undefined.
constexpr char32_t kCP1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

} // namespace

std::optional<NKStringEncoding> NKStringEncodingFromIANACharsetName(const std::string& name)
{
    std::string lower = foundation::asciiLowercase(name);
    if (lower == "utf-8" || lower == "utf8")
        return NKUTF8StringEncoding;
    if (lower == "iso-8859-1" || lower == "latin1" || lower == "iso_8859-1" || lower == "l1")
        return NKISOLatin1StringEncoding;
    if (lower == "us-ascii" || lower == "ascii")
        return NKASCIIStringEncoding;
    if (lower == "windows-1252" || lower == "cp1252")
        return NKWindowsCP1252StringEncoding;
    return std::nullopt;
}

std::optional<std::string> NKDecodeText(const foundation::Data& bytes, NKStringEncoding encoding)
{
    std::string text;
    switch (encoding) {
    case NKUTF8StringEncoding:
        text.assign(bytes.begin(), bytes.end());
        if (!foundation::isValidUTF8(text))
            return std::nullopt;
        return text;
    case NKASCIIStringEncoding:
        for (auto byte : bytes) {
            if (byte >= 0x80)
                return std::nullopt;
        }
        return std::string(bytes.begin(), bytes.end());
    case NKISOLatin1StringEncoding:
        // Latin 1 maps byte for byte onto the first 256 code points.
        for (auto byte : bytes)
            foundation::appendUTF8(text, byte);
        return text;
    case NKWindowsCP1252StringEncoding:
        for (auto byte : bytes) {
            // The undefined bytes read as the control characters of the same value, as the
            // platform's decoder does, rather than failing a whole answer.
            const char32_t high = byte >= 0x80 && byte < 0xA0 ? kCP1252High[byte - 0x80] : 0;
            foundation::appendUTF8(text, high ? high : byte);
        }
        return text;
    }
    return std::nullopt;
}

std::optional<foundation::Data> NKEncodeText(const std::string& text, NKStringEncoding encoding)
{
    if (!foundation::isValidUTF8(text))
        return std::nullopt;
    if (encoding == NKUTF8StringEncoding)
        return foundation::Data(text.begin(), text.end());
    if (encoding != NKASCIIStringEncoding && encoding != NKISOLatin1StringEncoding && encoding != NKWindowsCP1252StringEncoding)
        return std::nullopt;
    foundation::Data bytes;
    bytes.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto c = foundation::decodeUTF8(text, pos);
        if (!c)
            return std::nullopt;
        if (*c < 0x80) {
            bytes.push_back(static_cast<std::uint8_t>(*c));
            continue;
        }
        if (encoding == NKASCIIStringEncoding)
            return std::nullopt;
        if (encoding == NKISOLatin1StringEncoding) {
            if (*c > 0xFF)
                return std::nullopt;
            bytes.push_back(static_cast<std::uint8_t>(*c));
            continue;
        }
        // Windows 1252: Latin 1 above 0x9F, the table below it.
        if (*c >= 0xA0 && *c <= 0xFF) {
            bytes.push_back(static_cast<std::uint8_t>(*c));
            continue;
        }
        bool found = false;
        for (int i = 0; i < 32; ++i) {
            if (kCP1252High[i] && kCP1252High[i] == *c) {
                bytes.push_back(static_cast<std::uint8_t>(0x80 + i));
                found = true;
                break;
            }
        }
        if (!found)
            return std::nullopt;
    }
    return bytes;
}

std::string NKStringEncodingName(NKStringEncoding encoding)
{
    switch (encoding) {
    case NKASCIIStringEncoding:
        return "ASCII";
    case NKUTF8StringEncoding:
        return "UTF-8";
    case NKISOLatin1StringEncoding:
        return "ISO Latin 1";
    case NKWindowsCP1252StringEncoding:
        return "Windows Latin 1";
    }
    return "encoding " + std::to_string(static_cast<unsigned long>(encoding));
}
