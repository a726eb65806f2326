#include <gtest/gtest.h>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

using foundation::Data;
using foundation::URL;

namespace {

net::HTTPURLResponse response(long status, const std::string& type = {})
{
    net::HTTPHeaderFields headers;
    if (!type.empty())
        headers.emplace("Content-Type", type);
    return net::HTTPURLResponse(*URL::URLWithString("https://api.example.com/x"), status, headers);
}

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

} // namespace

TEST(NKHTTPResponseSerializer, ValidatesStatusAndMediaTypeAndChainsTheirErrors)
{
    struct Case {
        const char* name;
        std::optional<net::HTTPURLResponse> response;
        std::optional<Data> body;
        bool jsonOnly;
        bool valid;
        long code;           // 0: no error object
        long underlyingCode; // 0: none
    };
    const Case cases[] = {
        { "no response at all", std::nullopt, bytes("x"), true, true, 0, 0 },
        { "204 with no body", response(204), Data(), false, true, 0, 0 },
        { "404 with a body", response(404, "text/html"), bytes("<h1>no</h1>"), false, false, -1011, 0 },
        { "html refused, status 500", response(500, "text/html"), bytes("<h1>boom</h1>"), true, false, -1011, -1016 },
        { "html refused, empty body", response(200, "text/html"), Data(), true, false, 0, 0 },
        { "json with parameters", response(200, "application/json; charset=utf-8"), bytes("{}"), true, true, 0, 0 },
    };
    for (const Case& c : cases) {
        auto serializer = NKHTTPResponseSerializer::serializer();
        if (c.jsonOnly)
            serializer->setAcceptableContentTypes(std::set<std::string> { "application/json" });
        foundation::ErrorPtr error;
        EXPECT_EQ(serializer->validateResponse(c.response, c.body, &error), c.valid) << c.name;
        if (!c.code) {
            EXPECT_EQ(error, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(error, nullptr) << c.name;
        EXPECT_EQ(error->domain(), "com.wirefern.error.serialization.response") << c.name;
        EXPECT_EQ(error->code(), c.code) << c.name;
        EXPECT_EQ(error->stringForKey(NetKitOperationFailingURLResponseDataErrorKey),
                  std::string(c.body->begin(), c.body->end())) << c.name;
        if (c.underlyingCode) {
            ASSERT_NE(error->underlyingError(), nullptr) << c.name;
            EXPECT_EQ(error->underlyingError()->code(), c.underlyingCode) << c.name;
        } else {
            EXPECT_EQ(error->underlyingError(), nullptr) << c.name;
        }
    }
}

TEST(NKHTTPResponseSerializer, StatusErrorTextNamesReasonAndCode)
{
    foundation::ErrorPtr error;
    auto object = NKHTTPResponseSerializer::serializer()->responseObjectForResponse(response(404), bytes("gone"), &error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
    // The body comes back even when validation fails.
    EXPECT_EQ(std::any_cast<Data>(object), bytes("gone"));

    auto anything = NKHTTPResponseSerializer::serializer();
    anything->setAcceptableStatusCodes(std::nullopt);
    EXPECT_TRUE(anything->validateResponse(response(503), bytes("x"), nullptr));
}

TEST(NKHTTPResponseSerializer, ChainingKeepsAnExistingUnderlyingError)
{
    auto inner = foundation::Error::make("A", 1, "inner");
    auto outer = foundation::Error::make("B", 2, "outer", inner);
    auto other = foundation::Error::make("C", 3, "other");
    EXPECT_EQ(NKErrorWithUnderlyingError(outer, other), outer);
    EXPECT_EQ(NKErrorWithUnderlyingError(nullptr, other), other);
    auto chained = NKErrorWithUnderlyingError(other, inner);
    EXPECT_EQ(chained->code(), 3);
    EXPECT_EQ(chained->underlyingError(), inner);
}
