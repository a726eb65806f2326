// Keyed archiving of the request and response serializers. Every serializer class archives
// under its own class name and decodes through a new instance of that class (so defaults that
// are not archived, such as the language and user-agent headers, are those of this process),
// then restores the archived keys over them. All classes allow secure decoding.

#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "MovaraKit/HTTP/NKCompoundResponseSerializer.h"
#include "MovaraKit/HTTP/NKHTTPRequestSerializer.h"
#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"
#include "MovaraKit/HTTP/NKImageResponseSerializer.h"
#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "MovaraKit/HTTP/NKPropertyListResponseSerializer.h"
#include "MovaraKit/HTTP/NKXMLResponseSerializer.h"

using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;

namespace {

const std::string kIndexSetClassName = "NSIndexSet";
const std::string kRangeCountKey = "NSRangeCount";
const std::string kLocationKey = "NSLocation";
const std::string kLengthKey = "NSLength";
const std::string kRangeDataKey = "NSRangeData";

// An index set holds ranges, but we keep status codes one by one: an archive asking for more
// indexes than this is refused rather than expanded into memory.
constexpr std::uint64_t kMaximumIndexCount = 1u << 16;

void failCorrupt(KeyedUnarchiver& coder, const std::string& description)
{
    coder.failWithError(foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError, description));
}

// The acceptable status codes as the platform's index set: the number of ranges, then the one
// range as location and length, or every range as pairs of unsigned LEB128 numbers.
class NKArchivedIndexSet : public foundation::Coding {
public:
    explicit NKArchivedIndexSet(std::set<long> indexes) : m_indexes(std::move(indexes)) { }
    const std::set<long>& indexes() const { return m_indexes; }
    std::string className() const override { return kIndexSetClassName; }

    void encodeWithCoder(KeyedArchiver& coder) const override
    {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
        for (long index : m_indexes) {
            if (index < 0)
                continue; // an index set holds no negative index
            const auto value = static_cast<std::uint64_t>(index);
            if (!ranges.empty() && ranges.back().first + ranges.back().second == value)
                ++ranges.back().second;
            else
                ranges.emplace_back(value, 1);
        }
        coder.encodeInteger(static_cast<std::int64_t>(ranges.size()), kRangeCountKey);
        if (ranges.size() == 1) {
            coder.encodeInteger(static_cast<std::int64_t>(ranges[0].first), kLocationKey);
            coder.encodeInteger(static_cast<std::int64_t>(ranges[0].second), kLengthKey);
        } else if (ranges.size() > 1) {
            foundation::Data bytes;
            for (const auto& [location, length] : ranges) {
                appendVarint(bytes, location);
                appendVarint(bytes, length);
            }
            coder.encodeData(bytes, kRangeDataKey);
        }
    }

    static foundation::CodingPtr initWithCoder(KeyedUnarchiver& coder)
    {
        const std::int64_t count = coder.decodeInteger(kRangeCountKey);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
        if (count < 0) {
            failCorrupt(coder, "The index set has a negative number of ranges.");
        } else if (count == 1) {
            const std::int64_t location = coder.decodeInteger(kLocationKey);
            const std::int64_t length = coder.decodeInteger(kLengthKey);
            if (location < 0 || length < 0)
                failCorrupt(coder, "The index set has a negative range.");
            else
                ranges.emplace_back(location, length);
        } else if (count > 1) {
            const auto bytes = coder.decodeData(kRangeDataKey).value_or(foundation::Data());
            std::size_t offset = 0;
            for (std::int64_t i = 0; i < count && !coder.error(); ++i) {
                auto location = readVarint(bytes, offset);
                auto length = location ? readVarint(bytes, offset) : std::nullopt;
                if (!location || !length)
                    failCorrupt(coder, "The index set's ranges are truncated.");
                else
                    ranges.emplace_back(*location, *length);
            }
        }
        std::set<long> indexes;
        std::uint64_t total = 0;
        for (const auto& [location, length] : ranges) {
            if (coder.error())
                break;
            total += length;
            if (length > kMaximumIndexCount || total > kMaximumIndexCount
                || location > static_cast<std::uint64_t>(std::numeric_limits<long>::max()) - length) {
                failCorrupt(coder, "The index set is too large.");
                break;
            }
            for (std::uint64_t i = 0; i < length; ++i)
                indexes.insert(static_cast<long>(location + i));
        }
        if (coder.error())
            return nullptr;
        return std::make_shared<NKArchivedIndexSet>(std::move(indexes));
    }

private:
    static void appendVarint(foundation::Data& bytes, std::uint64_t value)
    {
        do {
            std::uint8_t byte = value & 0x7f;
            value >>= 7;
            bytes.push_back(value ? (byte | 0x80) : byte);
        } while (value);
    }
    static std::optional<std::uint64_t> readVarint(const foundation::Data& bytes, std::size_t& offset)
    {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64 && offset < bytes.size(); shift += 7) {
            const std::uint8_t byte = bytes[offset++];
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        return std::nullopt;
    }

    std::set<long> m_indexes;
};

// An unsigned option word; a negative number in the archive is refused.
unsigned long decodeOptions(KeyedUnarchiver& coder, const std::string& key)
{
    const std::int64_t value = coder.decodeInteger(key);
    if (value < 0) {
        failCorrupt(coder, "The value for the key \"" + key + "\" is negative.");
        return 0;
    }
    return static_cast<unsigned long>(value);
}

template <class Base, class T>
void registerSerializerClass(const std::string& name, std::vector<std::string> superclasses)
{
    KeyedArchiver::registerClass({ name, std::move(superclasses), true, 0, [](KeyedUnarchiver& coder) -> foundation::CodingPtr {
        return Base::template initWithCoder<T>(coder);
    } });
}

void registerCodingClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        KeyedArchiver::registerClass({ kIndexSetClassName, {}, true, 0, &NKArchivedIndexSet::initWithCoder });

        const std::vector<std::string> request { "NKHTTPRequestSerializer" };
        registerSerializerClass<NKHTTPRequestSerializer, NKHTTPRequestSerializer>("NKHTTPRequestSerializer", {});
        registerSerializerClass<NKHTTPRequestSerializer, NKJSONRequestSerializer>("NKJSONRequestSerializer", request);
        registerSerializerClass<NKHTTPRequestSerializer, NKPropertyListRequestSerializer>("NKPropertyListRequestSerializer", request);

        const std::vector<std::string> response { "NKHTTPResponseSerializer" };
        registerSerializerClass<NKHTTPResponseSerializer, NKHTTPResponseSerializer>("NKHTTPResponseSerializer", {});
        registerSerializerClass<NKHTTPResponseSerializer, NKJSONResponseSerializer>("NKJSONResponseSerializer", response);
        registerSerializerClass<NKHTTPResponseSerializer, NKXMLParserResponseSerializer>("NKXMLParserResponseSerializer", response);
        registerSerializerClass<NKHTTPResponseSerializer, NKXMLDocumentResponseSerializer>("NKXMLDocumentResponseSerializer", response);
        registerSerializerClass<NKHTTPResponseSerializer, NKPropertyListResponseSerializer>("NKPropertyListResponseSerializer", response);
        registerSerializerClass<NKHTTPResponseSerializer, NKImageResponseSerializer>("NKImageResponseSerializer", response);
        registerSerializerClass<NKHTTPResponseSerializer, NKCompoundResponseSerializer>("NKCompoundResponseSerializer", response);
    });
}

// Archives can be read before any serializer was made: register the classes at load.
const bool registered = (registerCodingClasses(), true);

} // namespace

// MARK: - Request serializers

void NKHTTPRequestSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    foundation::Dictionary headers;
    for (const auto& [field, value] : m_headers)
        headers.set(field, value);
    coder.encodeValue(foundation::Value(std::move(headers)), "mutableHTTPRequestHeaders");
    coder.encodeInteger(static_cast<std::int64_t>(m_queryStringSerializationStyle), "queryStringSerializationStyle");
}

void NKHTTPRequestSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    const foundation::Value headers = coder.decodeValue("mutableHTTPRequestHeaders");
    if (coder.error())
        return;
    if (!headers.isNull()) {
        if (!headers.isDictionary())
            return failCorrupt(coder, "The default header fields are not a dictionary.");
        std::map<std::string, std::string> restored;
        for (const auto& [field, value] : headers.asDictionary()) {
            if (!value.isString())
                return failCorrupt(coder, "The default header field \"" + field + "\" is not text.");
            restored[field] = value.asString();
        }
        m_headers = std::move(restored);
    }
    m_queryStringSerializationStyle = decodeOptions(coder, "queryStringSerializationStyle");
}

void NKJSONRequestSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    NKHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<std::int64_t>(m_writingOptions), "writingOptions");
}

void NKJSONRequestSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    NKHTTPRequestSerializer::restoreWithCoder(coder);
    m_writingOptions = decodeOptions(coder, "writingOptions");
}

void NKPropertyListRequestSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    NKHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<std::int64_t>(m_format), "format");
    coder.encodeInteger(static_cast<std::int64_t>(m_writeOptions), "writeOptions");
}

void NKPropertyListRequestSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    NKHTTPRequestSerializer::restoreWithCoder(coder);
    // The format is what the body is written in: only a format the writer has is taken.
    const std::int64_t format = coder.decodeInteger("format");
    if (format == static_cast<std::int64_t>(foundation::PropertyListFormat::XML)
        || format == static_cast<std::int64_t>(foundation::PropertyListFormat::Binary))
        m_format = static_cast<foundation::PropertyListFormat>(format);
    else
        failCorrupt(coder, "The property-list format " + std::to_string(format) + " cannot be written.");
    m_writeOptions = decodeOptions(coder, "writeOptions");
}

// MARK: - Response serializers

void NKHTTPResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    if (m_acceptableStatusCodes)
        coder.encodeObject(std::make_shared<NKArchivedIndexSet>(*m_acceptableStatusCodes), "acceptableStatusCodes");
    if (m_acceptableContentTypes)
        coder.encodeStringSet(*m_acceptableContentTypes, "acceptableContentTypes");
}

void NKHTTPResponseSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    auto codes = coder.decodeObjectOfClass<NKArchivedIndexSet>(kIndexSetClassName, "acceptableStatusCodes");
    auto types = coder.decodeStringSet("acceptableContentTypes");
    if (coder.error())
        return;
    m_acceptableStatusCodes = codes ? std::optional<std::set<long>>(codes->indexes()) : std::nullopt;
    m_acceptableContentTypes = std::move(types);
}

void NKJSONResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    NKHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<std::int64_t>(m_readingOptions), "readingOptions");
    coder.encodeBool(m_removesKeysWithNullValues, "removesKeysWithNullValues");
}

void NKJSONResponseSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    NKHTTPResponseSerializer::restoreWithCoder(coder);
    m_readingOptions = decodeOptions(coder, "readingOptions");
    m_removesKeysWithNullValues = coder.decodeBool("removesKeysWithNullValues");
}

void NKXMLDocumentResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    NKHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<std::int64_t>(m_options), "options");
}

void NKXMLDocumentResponseSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    NKHTTPResponseSerializer::restoreWithCoder(coder);
    m_options = decodeOptions(coder, "options");
}

void NKPropertyListResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    NKHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeInteger(static_cast<std::int64_t>(m_format), "format");
    coder.encodeInteger(static_cast<std::int64_t>(m_readOptions), "readOptions");
}

void NKPropertyListResponseSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    NKHTTPResponseSerializer::restoreWithCoder(coder);
    // Reading finds the format itself, so any code is kept as it was archived.
    const std::int64_t format = coder.decodeInteger("format");
    if (format < std::numeric_limits<int>::min() || format > std::numeric_limits<int>::max())
        return failCorrupt(coder, "The property-list format is out of range.");
    m_format = static_cast<foundation::PropertyListFormat>(format);
    m_readOptions = decodeOptions(coder, "readOptions");
}

void NKCompoundResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const
{
    NKHTTPResponseSerializer::encodeWithCoder(coder);
    std::vector<std::shared_ptr<const foundation::Coding>> members(m_responseSerializers.begin(), m_responseSerializers.end());
    coder.encodeArrayOfObjects(members, "responseSerializers");
}

void NKCompoundResponseSerializer::restoreWithCoder(KeyedUnarchiver& coder)
{
    NKHTTPResponseSerializer::restoreWithCoder(coder);
    auto members = coder.decodeArrayOfObjectsOfClasses({ "NKHTTPResponseSerializer" }, "responseSerializers");
    if (coder.error())
        return;
    Members restored;
    for (const auto& member : members.value_or(std::vector<foundation::CodingPtr>())) {
        if (auto serializer = std::dynamic_pointer_cast<NKHTTPResponseSerializer>(member))
            restored.push_back(std::move(serializer));
    }
    m_responseSerializers = std::move(restored);
}
