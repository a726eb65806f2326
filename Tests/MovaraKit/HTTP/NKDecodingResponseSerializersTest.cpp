#include <gtest/gtest.h>

#include <fstream>

#include "MovaraKit/HTTP/NKCompoundResponseSerializer.h"
#include "MovaraKit/HTTP/NKImageResponseSerializer.h"
#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "MovaraKit/HTTP/NKPropertyListResponseSerializer.h"
#include "MovaraKit/HTTP/NKXMLResponseSerializer.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/UI/Image.h"
#include "Tests/Support/ImageFixtures.h"

using foundation::Data;
using foundation::Value;

namespace {

net::HTTPURLResponse response(long status, const std::string& type)
{
    return net::HTTPURLResponse(*foundation::URL::URLWithString("https://api.example.com/x"), status,
                                net::HTTPHeaderFields { { "Content-Type", type } });
}

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

} // namespace

TEST(NKJSONResponseSerializer, DecodesBodiesAndKeepsErrorDocumentsOfFailedStatuses)
{
    struct Case {
        const char* name;
        long status;
        const char* type;
        Data body;
        bool removeNulls;
        std::optional<std::string> object; // JSON of the expected object; none: no object
        long errorCode;                    // 0: no error
        long underlyingCode;
    };
    const Case cases[] = {
        { "null removal", 200, "application/json", bytes(R"({"a":null,"b":[null,{"c":null}]})"), true, R"({"b":[null,{}]})", 0, 0 },
        { "latin-1 charset", 200, "application/json; charset=iso-8859-1", Data { '"', 0xE9, '"' }, false, "\"\xC3\xA9\"", 0, 0 },
        { "error document of a 422", 422, "application/json", bytes(R"({"error":"x"})"), false, R"({"error":"x"})", -1011, 0 },
        { "html refused", 200, "text/html", bytes("<p>"), false, std::nullopt, -1016, 0 },
        { "one space", 200, "application/json", bytes(" "), false, std::nullopt, 0, 0 },
        { "empty body", 200, "application/json", Data(), false, std::nullopt, 0, 0 },
        { "cut short", 200, "application/json", bytes("[1,2"), false, std::nullopt, 3840, 0 },
        { "cut short under a 500", 500, "application/json", bytes("[1,2"), false, std::nullopt, 3840, -1011 },
        // A body that is not text in its charset is an error, never a success without an object.
        { "not UTF-8", 200, "application/json", Data { '"', 0xFF, '"' }, false, std::nullopt, -1016, 0 },
        { "not ASCII", 200, "application/json; charset=us-ascii", Data { '"', 0xE9, '"' }, false, std::nullopt, -1016, 0 },
        { "not UTF-8 under a 500", 500, "application/json", Data { '"', 0xFF, '"' }, false, std::nullopt, -1016, -1011 },
    };
    for (const Case& c : cases) {
        auto serializer = NKJSONResponseSerializer::serializer();
        serializer->setRemovesKeysWithNullValues(c.removeNulls);
        foundation::ErrorPtr error;
        std::any object = serializer->responseObjectForResponse(response(c.status, c.type), c.body, &error);
        EXPECT_EQ(object.has_value(), c.object.has_value()) << c.name;
        if (c.object && object.has_value()) {
            EXPECT_EQ(std::any_cast<Value>(object), foundation::parseJSON(*c.object)) << c.name;
        }
        EXPECT_EQ(error ? error->code() : 0, c.errorCode) << c.name;
        EXPECT_EQ(error && error->underlyingError() ? error->underlyingError()->code() : 0, c.underlyingCode) << c.name;
    }
}

TEST(NKJSONResponseSerializer, DecodesNothingWithoutAnErrorSlotWhenInvalid)
{
    auto serializer = NKJSONResponseSerializer::serializer();
    EXPECT_FALSE(serializer->responseObjectForResponse(response(422, "application/json"), bytes("{}"), nullptr).has_value());
}

TEST(NKJSONResponseSerializer, CopiesKeepOptionsButNotChangedMediaTypes)
{
    auto serializer = NKJSONResponseSerializer::serializerWithReadingOptions(1);
    serializer->setRemovesKeysWithNullValues(true);
    serializer->setAcceptableContentTypes(std::set<std::string> { "text/plain" });
    auto copy = std::dynamic_pointer_cast<NKJSONResponseSerializer>(serializer->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->readingOptions(), 1u);
    EXPECT_TRUE(copy->removesKeysWithNullValues());
    EXPECT_EQ(copy->acceptableContentTypes(), (std::set<std::string> { "application/json", "text/json", "text/javascript" }));
}

TEST(NKXMLResponseSerializers, ParseDocumentsWithoutReachingOut)
{
    auto parserSerializer = NKXMLParserResponseSerializer::serializer();
    foundation::ErrorPtr error;
    auto object = parserSerializer->responseObjectForResponse(response(200, "text/xml"), bytes("<a x=\"1\"><b>hi</b></a>"), &error);
    auto parser = std::any_cast<std::shared_ptr<NKXMLParser>>(object);
    std::string events;
    parser->didStartElement = [&](const std::string& name, const NKXMLParser::Attributes& attributes) {
        events += "<" + name + (attributes.contains("x") ? " x=" + attributes.at("x") : "") + ">";
    };
    parser->didEndElement = [&](const std::string& name) { events += "</" + name + ">"; };
    parser->foundCharacters = [&](const std::string& text) { events += text; };
    EXPECT_TRUE(parser->parse());
    EXPECT_EQ(events, "<a x=1><b>hi</b></a>");

    EXPECT_FALSE(parserSerializer->responseObjectForResponse(response(200, "image/png"), bytes("<a/>"), &error).has_value());
    EXPECT_EQ(error->code(), -1016);

    auto documentSerializer = NKXMLDocumentResponseSerializer::serializer();
    error = nullptr;
    auto document = std::any_cast<std::shared_ptr<NKXMLDocument>>(
        documentSerializer->responseObjectForResponse(response(200, "application/xml"), bytes("<r><v>7</v></r>"), &error));
    EXPECT_EQ(document->rootElementName(), "r");
    EXPECT_EQ(document->stringValueOfFirstElementNamed("v"), "7");
    EXPECT_FALSE(error);

    // External entities are neither fetched nor expanded.
    const std::string hostile = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><r><v>&e;</v></r>";
    auto guarded = documentSerializer->responseObjectForResponse(response(200, "application/xml"), bytes(hostile), &error);
    if (guarded.has_value()) {
        EXPECT_EQ(std::any_cast<std::shared_ptr<NKXMLDocument>>(guarded)->stringValueOfFirstElementNamed("v"), "");
    }

    EXPECT_FALSE(documentSerializer->responseObjectForResponse(response(500, "text/xml"), bytes("<r>"), &error).has_value());
    ASSERT_TRUE(error);
    EXPECT_NE(error->code(), -1011);
    ASSERT_TRUE(error->underlyingError());
    EXPECT_EQ(error->underlyingError()->code(), -1011);
}

TEST(NKPropertyListResponseSerializer, ReadsPropertyListsAndReportsTruncation)
{
    const std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>a</key><integer>1</integer></dict></plist>";
    auto serializer = NKPropertyListResponseSerializer::serializer();
    foundation::ErrorPtr error;
    auto object = serializer->responseObjectForResponse(response(200, "application/x-plist"), bytes(plist), &error);
    EXPECT_EQ(std::any_cast<Value>(object), Value::dictionary({ { "a", 1 } }));
    EXPECT_FALSE(error);
    EXPECT_FALSE(serializer->responseObjectForResponse(response(200, "application/x-plist"), bytes(plist.substr(0, 60)), &error).has_value());
    EXPECT_TRUE(error);
}

TEST(NKImageAndCompoundResponseSerializers, DecodeImagesAndFallBackToTheBody)
{
    auto png = fixtures::makePNG8(64, 48, 2, [](int, int) { return std::vector<uint8_t> { 10, 20, 30 }; });
    auto image = NKImageResponseSerializer::serializer();
    foundation::ErrorPtr error;
    auto decoded = std::any_cast<ui::ImagePtr>(image->responseObjectForResponse(response(200, "image/png"), png, &error));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size().width, 64);
    EXPECT_EQ(decoded->size().height, 48);
    EXPECT_FALSE(image->responseObjectForResponse(response(200, "image/png"), bytes("not a png"), &error).has_value());
    EXPECT_EQ(error->code(), -1016);

    auto compound = NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        { NKJSONResponseSerializer::serializer(), NKImageResponseSerializer::serializer() });
    error = nullptr;
    EXPECT_TRUE(std::any_cast<ui::ImagePtr>(compound->responseObjectForResponse(response(200, "image/png"), png, &error)));
    EXPECT_FALSE(error);
    auto text = compound->responseObjectForResponse(response(200, "text/plain"), bytes("hello"), &error);
    EXPECT_EQ(std::any_cast<Data>(text), bytes("hello"));
    EXPECT_FALSE(error);

    auto empty = NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers({});
    EXPECT_EQ(std::any_cast<Data>(empty->responseObjectForResponse(response(404, "text/plain"), bytes("x"), &error)), bytes("x"));
    EXPECT_EQ(error->code(), -1011);
}

TEST(NKXMLDocumentResponseSerializer, HonoursTheDocumentOptions)
{
    struct Case {
        const char* name;
        unsigned long options;
        const char* body;
        std::optional<std::string> xml; // the document's XML text after the declaration; none: no document
    };
    const Case cases[] = {
        { "blank text dropped by default", 0, "<r>\n  <a>x</a>\n</r>", "<r><a>x</a></r>" },
        { "whitespace kept when asked", NSXMLNodePreserveWhitespace, "<r>\n  <a>x</a>\n</r>", "<r>\n  <a>x</a>\n</r>" },
        { "CDATA merged into text by default", 0, "<r><![CDATA[a<b]]></r>", "<r>a&lt;b</r>" },
        { "CDATA kept when asked", NSXMLNodePreserveCDATA, "<r><![CDATA[a<b]]></r>", "<r><![CDATA[a<b]]></r>" },
        { "malformed refused", 0, "<r><a></r>", std::nullopt },
        { "malformed tidied", NSXMLDocumentTidyXML, "<r><a>t</r>", "<r><a>t</a></r>" },
        { "HTML is not XML", 0, "<html><body><p>one<br>two</body></html>", std::nullopt },
        { "HTML tidied", NSXMLDocumentTidyHTML, "<html><body><p>one<br>two</body></html>",
          "<html><body><p>one<br/>two</p></body></html>" },
        { "invalid but not validated", 0, "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY><!ELEMENT b EMPTY>]><r><b/></r>",
          "<!DOCTYPE r [\n<!ELEMENT r (a)>\n<!ELEMENT a EMPTY>\n<!ELEMENT b EMPTY>\n]>\n<r><b/></r>" },
        { "invalid and validated", NSXMLDocumentValidate,
          "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY><!ELEMENT b EMPTY>]><r><b/></r>", std::nullopt },
        { "valid and validated", NSXMLDocumentValidate, "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><a/></r>",
          "<!DOCTYPE r [\n<!ELEMENT r (a)>\n<!ELEMENT a EMPTY>\n]>\n<r><a/></r>" },
        { "pretty printed", NSXMLNodePrettyPrint, "<r><a>x</a></r>", "<r>\n  <a>x</a>\n</r>" },
        { "empty elements expanded", NSXMLNodeExpandEmptyElement, "<r><a/></r>", "<r><a></a></r>" },
    };
    for (const Case& c : cases) {
        auto serializer = NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(c.options);
        foundation::ErrorPtr error;
        auto object = serializer->responseObjectForResponse(response(200, "text/xml"), bytes(c.body), &error);
        if (!c.xml) {
            EXPECT_FALSE(object.has_value()) << c.name;
            EXPECT_TRUE(error) << c.name;
            continue;
        }
        ASSERT_TRUE(object.has_value()) << c.name << ": " << (error ? error->localizedDescription() : "");
        EXPECT_FALSE(error) << c.name;
        std::string xml = std::any_cast<std::shared_ptr<NKXMLDocument>>(object)->XMLString();
        if (xml.starts_with("<?xml"))
            xml = xml.substr(xml.find('\n') + 1);
        while (!xml.empty() && xml.back() == '\n')
            xml.pop_back();
        EXPECT_EQ(xml, *c.xml) << c.name;
    }
}

TEST(NKXMLDocumentResponseSerializer, NoOptionLetsAServersDocumentReadLocalFiles)
{
    // A document from a server names files of this machine; whatever it asks for, they stay
    // unread and nothing waits on them (/dev/zero would never end).
    const char* bodies[] = {
        "<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><r><v>&e;</v></r>",
        "<!DOCTYPE r SYSTEM \"file:///dev/zero\"><r><v>x</v></r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file:///dev/zero\"> %p;]><r><v>x</v></r>",
        "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><v><xi:include href=\"file:///etc/hostname\" parse=\"text\"/></v></r>",
    };
    const unsigned long everything = NSXMLDocumentValidate | NSXMLNodeLoadExternalEntitiesAlways | NSXMLDocumentXInclude
        | NSXMLDocumentTidyXML;
    std::ifstream hostnameFile("/etc/hostname");
    std::string hostname;
    std::getline(hostnameFile, hostname);
    for (const char* body : bodies) {
        for (unsigned long options : { 0ul, everything, everything | NSXMLNodePreserveEntities }) {
            auto serializer = NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(options);
            foundation::ErrorPtr error;
            auto object = serializer->responseObjectForResponse(response(200, "text/xml"), bytes(body), &error);
            if (!object.has_value())
                continue;
            auto document = std::any_cast<std::shared_ptr<NKXMLDocument>>(object);
            const std::string value = document->stringValueOfFirstElementNamed("v").value_or("");
            if (!hostname.empty()) {
                EXPECT_EQ(value.find(hostname), std::string::npos) << body << " options " << options;
            }
            EXPECT_EQ(document->XMLString().find(std::string(1, '\0')), std::string::npos);
        }
    }
}
