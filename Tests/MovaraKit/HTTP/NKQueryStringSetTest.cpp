#include <gtest/gtest.h>

#include <cmath>

#include "MovaraKit/HTTP/NKHTTPRequestSerializer.h"
#include "MovaraKit/HTTP/NKQueryStringPair.h"

using foundation::Data;
using foundation::Value;

namespace {

std::string bodyText(const net::URLRequest& request)
{
    return request.HTTPBody() ? std::string(request.HTTPBody()->begin(), request.HTTPBody()->end()) : std::string();
}

std::string drain(net::InputStream& stream)
{
    stream.open();
    std::string out;
    std::uint8_t buffer[97];
    long n = 0;
    while ((n = stream.read(buffer, sizeof buffer)) > 0)
        out.append(buffer, buffer + n);
    return n < 0 ? out + "<error>" : out;
}

} // namespace

TEST(NKQueryString, SetMembersShareTheKeyInTheOrderOfTheirText)
{
    const Value nan = std::nan("");
    struct Case {
        const char* name;
        Value parameters;
        const char* query;
    };
    const Case cases[] = {
        { "text, case-sensitive", Value::dictionary({ { "tags", Value::setOf({ "b", "a", "B" }) } }), "tags=B&tags=a&tags=b" },
        { "numbers sort as text", Value::dictionary({ { "n", Value::setOf({ 9, 10, 1 }) } }), "n=1&n=10&n=9" },
        { "a repeated member counts once", Value::dictionary({ { "n", Value::setOf({ 2, 2.0, 1 }) } }), "n=1&n=2" },
        { "mixed kinds", Value::dictionary({ { "m", Value::setOf({ "a", 2, true }) } }), "m=1&m=2&m=a" },
        { "equal texts of unequal members", Value::dictionary({ { "m", Value::setOf({ "1", 1 }) } }), "m=1&m=1" },
        { "bytes, not letters", Value::dictionary({ { "s", Value::setOf({ "\xC3\xA9", "z", "Z" }) } }), "s=Z&s=z&s=%C3%A9" },
        { "inside a dictionary", Value::dictionary({ { "a", Value::dictionary({ { "b", Value::setOf({ "y", "x" }) } }) } }),
          "a%5Bb%5D=x&a%5Bb%5D=y" },
        { "inside an array", Value::dictionary({ { "l", Value::array({ Value::setOf({ "b", "a" }), "c" }) } }),
          "l%5B%5D=a&l%5B%5D=b&l%5B%5D=c" },
        { "dictionaries as members",
          Value::dictionary({ { "s", Value::setOf({ Value::dictionary({ { "k", 2 } }), Value::dictionary({ { "k", 1 }, { "j", "z" } }) }) } }),
          "s%5Bj%5D=z&s%5Bk%5D=1&s%5Bk%5D=2" },
        // A member's text is its content whatever order its keys were given in.
        { "dictionaries sort by sorted keys",
          Value::dictionary({ { "s", Value::setOf({ Value::dictionary({ { "b", 1 }, { "a", 2 } }), Value::dictionary({ { "a", 1 } }) }) } }),
          "s%5Ba%5D=1&s%5Ba%5D=2&s%5Bb%5D=1" },
        { "an array as a member", Value::dictionary({ { "s", Value::setOf({ Value::array({ 2, 1 }) }) } }), "s%5B%5D=2&s%5B%5D=1" },
        { "a set in a set", Value::dictionary({ { "s", Value::setOf({ Value::setOf({ "y", "x" }), "w" }) } }), "s=w&s=x&s=y" },
        { "null as a member", Value::dictionary({ { "s", Value::setOf({ "a", nullptr }) } }), "s&s=a" },
        { "NaN members stay apart", Value::dictionary({ { "s", Value::setOf({ nan, nan, 1 }) } }), "s=1&s=nan&s=nan" },
        { "empty set gives nothing", Value::dictionary({ { "e", Value::setOf({}) }, { "a", 1 } }), "a=1" },
        { "reserved characters escaped", Value::dictionary({ { "k[]", Value::setOf({ "a&b", "c=d" }) } }), "k%5B%5D=a%26b&k%5B%5D=c%3Dd" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(NKQueryStringFromParameters(c.parameters), c.query) << c.name;
}

TEST(NKQueryString, SetMembersKeepTheirKindInThePairs)
{
    const auto pairs = NKQueryStringPairsFromDictionary(Value::dictionary({ { "n", Value::setOf({ 9, 10, Data { 1 } }) } }));
    const std::vector<NKQueryStringPair> expected = { { "n", 10 }, { "n", 9 }, { "n", Data { 1 } } };
    EXPECT_EQ(pairs, expected);
    // The same set built in another order gives the same pairs.
    EXPECT_EQ(NKQueryStringPairsFromDictionary(Value::dictionary({ { "n", Value::setOf({ Data { 1 }, 10, 9 }) } })), expected);
}

TEST(NKHTTPRequestSerializer, PutsSetMembersIntoTheQueryOrTheFormBody)
{
    const auto parameters = Value::dictionary({ { "tags", Value::setOf({ "b", "a" }) }, { "q", 1 } });
    auto serializer = NKHTTPRequestSerializer::serializer();
    auto get = serializer->requestWithMethod("GET", "https://h/p?x=1", parameters);
    ASSERT_TRUE(get);
    EXPECT_EQ(get->URL()->absoluteString(), "https://h/p?x=1&q=1&tags=a&tags=b");
    EXPECT_FALSE(get->HTTPBody());

    auto post = serializer->requestWithMethod("POST", "https://h/p", parameters);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->URL()->absoluteString(), "https://h/p");
    EXPECT_EQ(bodyText(*post), "q=1&tags=a&tags=b");
    EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
}

TEST(NKStreamingMultipartFormData, MakesOnePartPerSetMember)
{
    auto serializer = NKHTTPRequestSerializer::serializer();
    foundation::ErrorPtr error;
    auto request = serializer->multipartFormRequestWithMethod(
        "POST", "https://h/up",
        Value::dictionary({ { "tags", Value::setOf({ "b", "a" }) }, { "blob", Value::setOf({ Data { 0x00, 0xFF } }) },
                            { "user", Value::dictionary({ { "ids", Value::setOf({ 2, 1 }) } }) } }),
        nullptr, &error);
    ASSERT_TRUE(request) << (error ? error->localizedDescription() : "");
    const std::string type = request->valueForHTTPHeaderField("Content-Type").value_or("");
    ASSERT_TRUE(type.starts_with("multipart/form-data; boundary=")) << type;
    const std::string boundary = type.substr(type.find('=') + 1);
    const std::string body = drain(*request->HTTPBodyStream());
    auto part = [&](const std::string& name, const std::string& data) {
        return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + data + "\r\n";
    };
    const std::string expected = part("blob", std::string("\x00\xFF", 2)) + part("tags", "a") + part("tags", "b")
        + part("user[ids]", "1") + part("user[ids]", "2") + "--" + boundary + "--\r\n";
    EXPECT_EQ(body, expected);
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
}

TEST(NKJSONAndPropertyListRequestSerializers, RefuseASetWithAnError)
{
    const auto parameters = Value::dictionary({ { "tags", Value::setOf({ "a" }) } });
    for (const std::shared_ptr<NKHTTPRequestSerializer>& serializer :
         { std::shared_ptr<NKHTTPRequestSerializer>(NKJSONRequestSerializer::serializer()),
           std::shared_ptr<NKHTTPRequestSerializer>(NKPropertyListRequestSerializer::serializer()) }) {
        foundation::ErrorPtr error;
        auto request = serializer->requestWithMethod("POST", "https://h/", parameters, &error);
        ASSERT_TRUE(error);
        EXPECT_NE(error->localizedDescription().find("set"), std::string::npos) << error->localizedDescription();
        EXPECT_TRUE(!request || !request->HTTPBody());
    }
}
