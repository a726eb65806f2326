#include <gtest/gtest.h>

#include <functional>

#include "MovaraKit/HTTP/NKCompoundResponseSerializer.h"
#include "MovaraKit/HTTP/NKHTTPRequestSerializer.h"
#include "MovaraKit/HTTP/NKImageResponseSerializer.h"
#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "MovaraKit/HTTP/NKPropertyListResponseSerializer.h"
#include "MovaraKit/HTTP/NKXMLResponseSerializer.h"
#include "Platform/Foundation/KeyedArchiver.h"

using foundation::CodingPtr;
using foundation::Data;
using foundation::ErrorPtr;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;

namespace {

Data archive(const std::shared_ptr<const foundation::Coding>& object)
{
    ErrorPtr error;
    Data data = KeyedArchiver::archivedDataWithRootObject(object, true, &error);
    EXPECT_FALSE(error) << (error ? error->localizedDescription() : "");
    return data;
}

// Decodes under secure coding, allowing only the object's own class.
template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object)
{
    ErrorPtr error;
    CodingPtr decoded = KeyedUnarchiver::unarchivedObjectOfClasses({ object->className() }, archive(object), &error);
    EXPECT_FALSE(error) << (error ? error->localizedDescription() : "");
    EXPECT_TRUE(decoded);
    if (!decoded)
        return nullptr;
    EXPECT_EQ(decoded->className(), object->className());
    auto typed = std::dynamic_pointer_cast<T>(decoded);
    EXPECT_TRUE(typed) << "decoded as another class";
    return typed;
}

// Writes whatever a test asks under a class name of its choosing, to make hostile archives.
class ForgedObject : public foundation::Coding {
public:
    ForgedObject(std::string name, std::function<void(KeyedArchiver&)> encode)
        : m_name(std::move(name))
        , m_encode(std::move(encode))
    {
    }
    std::string className() const override { return m_name; }
    void encodeWithCoder(KeyedArchiver& coder) const override { m_encode(coder); }

private:
    std::string m_name;
    std::function<void(KeyedArchiver&)> m_encode;
};

} // namespace

TEST(NKSerializerArchiving, RequestSerializersKeepHeadersStyleAndOptionsButStartAfreshOtherwise)
{
    auto configure = [](NKHTTPRequestSerializer& s) {
        s.setValue("Bearer abc", "Authorization");
        s.setTimeoutInterval(42);
        s.setHTTPMethodsEncodingParametersInURI({ "GET" });
    };

    auto base = NKHTTPRequestSerializer::serializer();
    configure(*base);
    auto json = NKJSONRequestSerializer::serializerWithWritingOptions(1);
    configure(*json);
    auto plist = NKPropertyListRequestSerializer::serializerWithFormat(foundation::PropertyListFormat::Binary, 3);
    configure(*plist);

    for (const std::shared_ptr<NKHTTPRequestSerializer>& original : std::vector<std::shared_ptr<NKHTTPRequestSerializer>> { base, json, plist }) {
        SCOPED_TRACE(original->className());
        auto decoded = roundTrip(original);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->HTTPRequestHeaders(), original->HTTPRequestHeaders());
        EXPECT_EQ(decoded->HTTPRequestHeaders().at("Authorization"), "Bearer abc");
        EXPECT_FALSE(decoded->timeoutInterval()) << "request properties are not archived";
        EXPECT_EQ(decoded->HTTPMethodsEncodingParametersInURI(), (std::set<std::string> { "GET", "HEAD", "DELETE" }));
    }

    auto decodedJSON = roundTrip(json);
    ASSERT_TRUE(decodedJSON);
    EXPECT_EQ(decodedJSON->writingOptions(), 1u);
    auto decodedPlist = roundTrip(plist);
    ASSERT_TRUE(decodedPlist);
    EXPECT_EQ(decodedPlist->format(), foundation::PropertyListFormat::Binary);
    EXPECT_EQ(decodedPlist->writeOptions(), 3u);

    // The decoded serializer works as its class: a POST gets a JSON body.
    net::URLRequest request(*foundation::URL::URLWithString("https://api.example.com/x"));
    request.setHTTPMethod("POST");
    ErrorPtr error;
    auto serialized = decodedJSON->requestBySerializingRequest(request, foundation::Value::dictionary({ { "a", 1 } }), &error);
    ASSERT_TRUE(serialized);
    EXPECT_EQ(serialized->valueForHTTPHeaderField("Content-Type"), "application/json");
}

TEST(NKSerializerArchiving, ResponseSerializersKeepAcceptableSetsAndTheirOwnOptions)
{
    auto base = NKHTTPResponseSerializer::serializer();
    base->setAcceptableStatusCodes(std::set<long> { 200, 204, 300, 301, 302, 1000000 }); // several ranges
    base->setAcceptableContentTypes(std::set<std::string> { "text/csv" });
    auto decodedBase = roundTrip(base);
    ASSERT_TRUE(decodedBase);
    EXPECT_EQ(decodedBase->acceptableStatusCodes(), base->acceptableStatusCodes());
    EXPECT_EQ(decodedBase->acceptableContentTypes(), base->acceptableContentTypes());

    // "Any" (no set) survives as no set, not as the defaults of a new serializer.
    auto open = NKHTTPResponseSerializer::serializer();
    open->setAcceptableStatusCodes(std::nullopt);
    auto decodedOpen = roundTrip(open);
    ASSERT_TRUE(decodedOpen);
    EXPECT_FALSE(decodedOpen->acceptableStatusCodes());
    EXPECT_FALSE(decodedOpen->acceptableContentTypes());

    auto json = NKJSONResponseSerializer::serializerWithReadingOptions(1);
    json->setRemovesKeysWithNullValues(true);
    json->setAcceptableContentTypes(std::set<std::string> { "application/vnd.quintor+json" });
    auto decodedJSON = roundTrip(json);
    ASSERT_TRUE(decodedJSON);
    EXPECT_EQ(decodedJSON->readingOptions(), 1u);
    EXPECT_TRUE(decodedJSON->removesKeysWithNullValues());
    EXPECT_EQ(decodedJSON->acceptableContentTypes(), json->acceptableContentTypes());

    auto xmlDocument = NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(5);
    auto decodedXMLDocument = roundTrip(xmlDocument);
    ASSERT_TRUE(decodedXMLDocument);
    EXPECT_EQ(decodedXMLDocument->options(), 5u);

    auto plist = NKPropertyListResponseSerializer::serializerWithFormat(foundation::PropertyListFormat::Binary, 2);
    auto decodedPlist = roundTrip(plist);
    ASSERT_TRUE(decodedPlist);
    EXPECT_EQ(decodedPlist->format(), foundation::PropertyListFormat::Binary);
    EXPECT_EQ(decodedPlist->readOptions(), 2u);

    // Classes with nothing of their own still decode as themselves, with their media types.
    for (const std::shared_ptr<NKHTTPResponseSerializer>& plain :
         std::vector<std::shared_ptr<NKHTTPResponseSerializer>> { NKXMLParserResponseSerializer::serializer(), NKImageResponseSerializer::serializer() }) {
        SCOPED_TRACE(plain->className());
        auto decoded = roundTrip(plain);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->acceptableContentTypes(), plain->acceptableContentTypes());
    }

    auto compound = NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers({ json, NKImageResponseSerializer::serializer() });
    auto decodedCompound = roundTrip(compound);
    ASSERT_TRUE(decodedCompound);
    ASSERT_EQ(decodedCompound->responseSerializers().size(), 2u);
    auto member = std::dynamic_pointer_cast<NKJSONResponseSerializer>(decodedCompound->responseSerializers()[0]);
    ASSERT_TRUE(member);
    EXPECT_TRUE(member->removesKeysWithNullValues());
    EXPECT_TRUE(std::dynamic_pointer_cast<NKImageResponseSerializer>(decodedCompound->responseSerializers()[1]));
}

TEST(NKSerializerArchiving, RefusesClassesNotAllowedAndHostileArchives)
{
    // A serializer of another class than the one asked for is refused, not decoded.
    const Data json = archive(NKJSONResponseSerializer::serializer());
    for (const foundation::ClassSet& allowed : { foundation::ClassSet { "NKXMLParserResponseSerializer" },
                                                 foundation::ClassSet { "NKHTTPRequestSerializer" } }) {
        ErrorPtr error;
        EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClasses(allowed, json, &error)) << *allowed.begin();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), foundation::NSCoderReadCorruptError);
    }
    // The base class allows its subclasses.
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses({ "NKHTTPResponseSerializer" }, json));

    auto indexSet = [](std::int64_t count, std::int64_t location, std::int64_t length) {
        return std::make_shared<ForgedObject>("NSIndexSet", [=](KeyedArchiver& coder) {
            coder.encodeInteger(count, "NSRangeCount");
            coder.encodeInteger(location, "NSLocation");
            coder.encodeInteger(length, "NSLength");
            coder.encodeData(Data { 0x80 }, "NSRangeData");
        });
    };
    auto withCodes = [](std::shared_ptr<ForgedObject> codes) {
        return std::make_shared<ForgedObject>("NKHTTPResponseSerializer", [codes](KeyedArchiver& coder) {
            coder.encodeObject(codes, "acceptableStatusCodes");
        });
    };
    struct Case {
        const char* name;
        std::shared_ptr<ForgedObject> root;
    };
    const Case cases[] = {
        { "a range of a trillion status codes", withCodes(indexSet(1, 0, std::int64_t(1) << 40)) },
        { "a negative range", withCodes(indexSet(1, -5, 3)) },
        { "truncated range data", withCodes(indexSet(2, 0, 0)) },
        { "status codes of another class", withCodes(std::make_shared<ForgedObject>("NKHTTPRequestSerializer", [](KeyedArchiver&) { })) },
        { "a header that is not text", std::make_shared<ForgedObject>("NKHTTPRequestSerializer", [](KeyedArchiver& coder) {
              coder.encodeValue(foundation::Value::dictionary({ { "X-Count", 3 } }), "mutableHTTPRequestHeaders");
          }) },
        { "headers that are not a dictionary", std::make_shared<ForgedObject>("NKHTTPRequestSerializer", [](KeyedArchiver& coder) {
              coder.encodeString("User-Agent: x", "mutableHTTPRequestHeaders");
          }) },
        { "a property-list format the writer lacks", std::make_shared<ForgedObject>("NKPropertyListRequestSerializer", [](KeyedArchiver& coder) {
              coder.encodeInteger(7, "format");
          }) },
        { "negative options", std::make_shared<ForgedObject>("NKJSONResponseSerializer", [](KeyedArchiver& coder) {
              coder.encodeInteger(-1, "readingOptions");
          }) },
        { "a compound member that is no response serializer", std::make_shared<ForgedObject>("NKCompoundResponseSerializer", [](KeyedArchiver& coder) {
              coder.encodeArrayOfObjects({ NKHTTPRequestSerializer::serializer() }, "responseSerializers");
          }) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorPtr error;
        EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClasses({ "NKHTTPResponseSerializer", "NKHTTPRequestSerializer" }, archive(c.root), &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), foundation::NSCocoaErrorDomain);
    }
}
