#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "MovaraKit/HTTP/NKHTTPRequestSerializer.h"
#include "MovaraKit/HTTP/NKQueryStringPair.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/JSON.h"
#include "Tests/Support/TempDir.h"

using foundation::Value;
using testsupport::TempDir;

namespace {

std::string bodyText(const net::URLRequest& request)
{
    return request.HTTPBody() ? std::string(request.HTTPBody()->begin(), request.HTTPBody()->end()) : std::string();
}

// Reads a stream to its end in reads of `chunk` bytes; -1 read ends it with "<error>".
std::string drain(net::InputStream& stream, std::size_t chunk)
{
    stream.open();
    std::string out;
    std::vector<std::uint8_t> buffer(chunk);
    while (true) {
        long n = stream.read(buffer.data(), buffer.size());
        if (n < 0)
            return out + "<error>";
        if (n == 0)
            return out;
        out.append(buffer.begin(), buffer.begin() + n);
    }
}

} // namespace

TEST(NKQueryString, FlattensSortsAndEscapesParameters)
{
    struct Case {
        const char* name;
        Value parameters;
        const char* query;
    };
    const Case cases[] = {
        { "keys sorted, space escaped", Value::dictionary({ { "b", 1 }, { "a", "x y" } }), "a=x%20y&b=1" },
        { "nested dictionary", Value::dictionary({ { "user", Value::dictionary({ { "name", "n" }, { "age", 3 } }) } }),
          "user%5Bage%5D=3&user%5Bname%5D=n" },
        { "array keeps its order", Value::dictionary({ { "tags", Value::array({ "b", "a" }) } }), "tags%5B%5D=b&tags%5B%5D=a" },
        { "keys sort as text", Value::dictionary({ { "9", 1 }, { "a", 2 }, { "10", 3 }, { "B", 4 } }), "10=3&9=1&B=4&a=2" },
        { "null gives the bare field", Value::dictionary({ { "k", nullptr } }), "k" },
        { "empty containers give nothing", Value::dictionary({ { "a", Value::array() }, { "d", Value::dictionary() } }), "" },
        { "reserved characters", Value::dictionary({ { "q", "a&b=c/?é" } }), "q=a%26b%3Dc/?%C3%A9" },
        { "booleans and reals", Value::dictionary({ { "f", 1.5 }, { "t", true } }), "f=1.5&t=1" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(NKQueryStringFromParameters(c.parameters), c.query) << c.name;
}

TEST(NKHTTPRequestSerializer, PutsParametersIntoTheQueryOrAFormBody)
{
    struct Case {
        const char* name;
        const char* method;
        const char* url;
        std::optional<Value> parameters;
        std::optional<std::string> contentType; // already on the request
        const char* expectedURL;
        const char* expectedBody;
        const char* expectedContentType;
    };
    const auto params = Value::dictionary({ { "a", 1 } });
    const Case cases[] = {
        { "GET without query", "GET", "https://h/p", params, {}, "https://h/p?a=1", "", "" },
        { "GET with a query", "GET", "https://h/p?x=1", params, {}, "https://h/p?x=1&a=1", "", "" },
        { "GET with an empty dictionary", "GET", "https://h/p", Value::dictionary(), {}, "https://h/p?", "", "" },
        { "lower-case get", "get", "https://h/p", params, {}, "https://h/p?a=1", "", "" },
        { "DELETE", "DELETE", "https://h/p", params, {}, "https://h/p?a=1", "", "" },
        { "POST gets a form body", "POST", "https://h/p", params, {}, "https://h/p", "a=1", "application/x-www-form-urlencoded" },
        { "POST keeps its type", "POST", "https://h/p", params, "text/plain", "https://h/p", "a=1", "text/plain" },
        { "POST without parameters", "POST", "https://h/p", std::nullopt, {}, "https://h/p", "", "" },
    };
    auto serializer = NKHTTPRequestSerializer::serializer();
    for (const Case& c : cases) {
        net::URLRequest request(*foundation::URL::URLWithString(c.url));
        request.setHTTPMethod(c.method);
        if (c.contentType)
            request.setValueForHTTPHeaderField(*c.contentType, "Content-Type");
        foundation::ErrorPtr error;
        auto out = serializer->requestBySerializingRequest(request, c.parameters, &error);
        ASSERT_TRUE(out) << c.name;
        EXPECT_EQ(out->URL()->absoluteString(), c.expectedURL) << c.name;
        EXPECT_EQ(bodyText(*out), c.expectedBody) << c.name;
        EXPECT_EQ(out->valueForHTTPHeaderField("Content-Type").value_or(""), c.expectedContentType) << c.name;
    }
}

TEST(NKHTTPRequestSerializer, DefaultHeadersGiveWayToTheRequestsOwn)
{
    auto serializer = NKHTTPRequestSerializer::serializer();
    serializer->setValue("key", "MOVARA-API-KEY");
    net::URLRequest request(*foundation::URL::URLWithString("https://h/"));
    request.setValueForHTTPHeaderField("de", "accept-language");
    auto out = serializer->requestBySerializingRequest(request, std::nullopt, nullptr);
    EXPECT_EQ(out->valueForHTTPHeaderField("Accept-Language"), "de");
    EXPECT_EQ(out->valueForHTTPHeaderField("MOVARA-API-KEY"), "key");
    EXPECT_TRUE(out->valueForHTTPHeaderField("User-Agent"));
    EXPECT_EQ(out->valueForHTTPHeaderField("User-Agent")->find_first_not_of(
                  " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"),
              std::string::npos);

    serializer->setValue(std::nullopt, "MOVARA-API-KEY");
    EXPECT_FALSE(serializer->valueForHTTPHeaderField("MOVARA-API-KEY"));
}

TEST(NKHTTPRequestSerializer, AcceptLanguageListsSixLanguagesAtMost)
{
    EXPECT_EQ(NKHTTPRequestSerializer::acceptLanguageForLanguages({ "en", "fr", "de" }), "en;q=1, fr;q=0.9, de;q=0.8");
    EXPECT_EQ(NKHTTPRequestSerializer::acceptLanguageForLanguages({ "a", "b", "c", "d", "e", "f", "g", "h" }),
              "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
    EXPECT_EQ(NKHTTPRequestSerializer::acceptLanguageForLanguages({}), "");
}

TEST(NKHTTPRequestSerializer, AuthorizationHeaders)
{
    struct Case {
        const char* user;
        const char* password;
        std::string expected;
    };
    const Case cases[] = {
        { "user", "pass", "Basic dXNlcjpwYXNz" },
        { "user", "", "Basic dXNlcjo=" },
        { "jos\xC3\xA9", "p", "Basic " + foundation::base64Encode(std::string_view("jos\xC3\xA9:p")) },
    };
    auto serializer = NKHTTPRequestSerializer::serializer();
    for (const Case& c : cases) {
        serializer->setAuthorizationHeaderFieldWithUsername(c.user, c.password);
        EXPECT_EQ(serializer->valueForHTTPHeaderField("Authorization"), c.expected) << c.user << ":" << c.password;
    }
    serializer->setAuthorizationHeaderFieldWithToken("abc");
    EXPECT_EQ(serializer->valueForHTTPHeaderField("Authorization"), "Token token=\"abc\"");
    serializer->clearAuthorizationHeader();
    EXPECT_FALSE(serializer->valueForHTTPHeaderField("Authorization"));
}

TEST(NKHTTPRequestSerializer, SetPropertiesApplyToLaterRequestsAndCopiesKeepOnlyHeaders)
{
    auto serializer = NKHTTPRequestSerializer::serializer();
    EXPECT_EQ(serializer->requestWithMethod("GET", "https://h/", std::nullopt)->timeoutInterval(),
              net::URLRequest::DefaultTimeoutInterval);
    serializer->setTimeoutInterval(3600);
    serializer->setCachePolicy(net::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    serializer->setValue("v", "X-Custom");
    auto request = serializer->requestWithMethod("GET", "https://h/", std::nullopt);
    EXPECT_EQ(request->timeoutInterval(), 3600);
    EXPECT_EQ(request->cachePolicy(), net::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);

    auto copy = serializer->copy();
    EXPECT_EQ(copy->valueForHTTPHeaderField("X-Custom"), "v");
    EXPECT_FALSE(copy->timeoutInterval());
}

TEST(NKHTTPRequestSerializer, QueryBlockReplacesTheEncodingAndItsErrorFailsTheRequest)
{
    auto serializer = NKHTTPRequestSerializer::serializer();
    serializer->setQueryStringSerializationWithBlock([](const net::URLRequest&, const Value&, foundation::ErrorPtr*) {
        return std::optional<std::string>("custom");
    });
    EXPECT_EQ(serializer->requestWithMethod("GET", "https://h/", Value::dictionary({ { "a", 1 } }))->URL()->absoluteString(),
              "https://h/?custom");

    serializer->setQueryStringSerializationWithBlock([](const net::URLRequest&, const Value&, foundation::ErrorPtr* error) {
        *error = foundation::Error::make("test", 7, "no");
        return std::optional<std::string>();
    });
    foundation::ErrorPtr error;
    EXPECT_FALSE(serializer->requestWithMethod("GET", "https://h/", Value::dictionary(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 7);

    serializer->setQueryStringSerializationWithStyle(0);
    EXPECT_EQ(serializer->requestWithMethod("GET", "https://h/", Value::dictionary({ { "a", 1 } }))->URL()->absoluteString(),
              "https://h/?a=1");
}

TEST(NKJSONAndPropertyListRequestSerializers, WriteBodiesOnlyForBodyMethods)
{
    auto json = NKJSONRequestSerializer::serializer();
    auto post = json->requestWithMethod("POST", "https://h/", Value::dictionary({ { "a", 1 } }));
    EXPECT_EQ(bodyText(*post), "{\"a\":1}");
    EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/json");
    EXPECT_EQ(json->requestWithMethod("GET", "https://h/", Value::dictionary({ { "a", 1 } }))->URL()->absoluteString(),
              "https://h/?a=1");
    auto bare = json->requestWithMethod("POST", "https://h/", std::nullopt);
    EXPECT_FALSE(bare->HTTPBody());
    EXPECT_FALSE(bare->valueForHTTPHeaderField("Content-Type"));

    foundation::ErrorPtr error;
    auto refused = json->requestWithMethod("POST", "https://h/", Value::dictionary({ { "d", foundation::Data { 1 } } }), &error);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->HTTPBody());
    EXPECT_TRUE(error);

    auto plist = NKPropertyListRequestSerializer::serializer();
    auto plistPost = plist->requestWithMethod("PUT", "https://h/", Value::dictionary({ { "a", 1 } }));
    EXPECT_EQ(plistPost->valueForHTTPHeaderField("Content-Type"), "application/x-plist");
    EXPECT_EQ(foundation::readPropertyList(*plistPost->HTTPBody()), Value::dictionary({ { "a", 1 } }));
}

TEST(NKMultipartBodyStream, ProducesTheExactLayoutWhateverTheReadSize)
{
    NKMultipartBodyStream stream;
    stream.appendHTTPBodyPart(std::make_shared<NKHTTPBodyPart>(NKHTTPBodyPartHeaders { { "Content-Disposition", "form-data; name=\"a\"" } },
                                                               "B", foundation::Data { 'x', 'y', 'z' }, 3));
    stream.appendHTTPBodyPart(std::make_shared<NKHTTPBodyPart>(NKHTTPBodyPartHeaders { { "H", "v" } }, "B", foundation::Data {}, 0));
    const std::string expected = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxyz"
                                 "\r\n--B\r\nH: v\r\n\r\n"
                                 "\r\n--B--\r\n";
    stream.setInitialAndFinalBoundaries();
    EXPECT_EQ(stream.contentLength(), expected.size());
    for (std::size_t chunk : { 1, 7, 4096 }) {
        auto copy = stream.copy();
        EXPECT_EQ(drain(*copy, chunk), expected) << chunk;
        EXPECT_EQ(copy->read(nullptr, 0), 0);
    }
    EXPECT_EQ(drain(stream, 4096), expected);
    stream.close();
    std::uint8_t byte;
    EXPECT_EQ(stream.read(&byte, 1), 0);

    NKMultipartBodyStream empty;
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(empty.contentLength(), 0u);
    EXPECT_EQ(drain(empty, 16), "");
}

TEST(NKMultipartBodyStream, PacketSizeEndsAReadOnceReached)
{
    NKMultipartBodyStream stream;
    for (int i = 0; i < 4; ++i)
        stream.appendHTTPBodyPart(std::make_shared<NKHTTPBodyPart>(NKHTTPBodyPartHeaders {}, "B", foundation::Data(10000, 'a'), 10000));
    stream.setNumberOfBytesInPacket(16384);
    stream.open();
    std::vector<std::uint8_t> buffer(1 << 20);
    long first = stream.read(buffer.data(), buffer.size());
    EXPECT_GE(first, 16384);
    EXPECT_LT(static_cast<std::uint64_t>(first), stream.contentLength());
}

TEST(NKMultipartBodyStream, APartThatCannotBeReadFailsTheBodyInsteadOfShorteningIt)
{
    TempDir dir;
    auto path = dir.write("gone.bin", "12345");
    NKStreamingMultipartFormData form(net::URLRequest(*foundation::URL::URLWithString("https://h/")));
    ASSERT_TRUE(form.appendPartWithFileURL(foundation::URL::fileURLWithPath(path.string()), "file", nullptr));
    form.appendPartWithFormData(foundation::Data { 'x' }, "after");
    auto request = form.requestByFinalizingMultipartFormData();
    std::filesystem::remove(path);
    for (std::size_t chunk : { 1, 4096 }) {
        auto body = std::static_pointer_cast<NKMultipartBodyStream>(request.HTTPBodyStream())->copy();
        EXPECT_TRUE(drain(*body, chunk).ends_with("<error>")) << chunk;
        EXPECT_TRUE(body->streamError()) << chunk;
    }
}

TEST(NKStreamingMultipartFormData, BuildsPartsFromParametersAndFiles)
{
    TempDir dir;
    auto photo = dir.write("photo.jpg", "JPEGDATA");
    auto odd = dir.write("notes.zzqx", "x");
    auto serializer = NKHTTPRequestSerializer::serializer();
    foundation::ErrorPtr error;
    auto request = serializer->multipartFormRequestWithMethod(
        "POST", "https://h/up", Value::dictionary({ { "a", 1 }, { "n", nullptr }, { "user", Value::dictionary({ { "name", "é" } }) } }),
        [&](NKMultipartFormData& form) {
            EXPECT_TRUE(form.appendPartWithFileURL(foundation::URL::fileURLWithPath(photo.string()), "photo", nullptr));
            EXPECT_TRUE(form.appendPartWithFileURL(foundation::URL::fileURLWithPath(odd.string()), "notes", nullptr));
        },
        &error);
    ASSERT_TRUE(request);
    auto type = request->valueForHTTPHeaderField("Content-Type").value_or("");
    ASSERT_TRUE(type.starts_with("multipart/form-data; boundary=Boundary+")) << type;
    const std::string boundary = type.substr(type.find('=') + 1);
    EXPECT_EQ(boundary.size(), 9u + 16u);
    std::string body = drain(*request->HTTPBodyStream(), 333);
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
    const std::string expected = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1"
        "\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n"
        "\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"user[name]\"\r\n\r\n\xC3\xA9"
        "\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"photo.jpg\"\r\nContent-Type: image/jpeg\r\n\r\nJPEGDATA"
        "\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"notes\"; filename=\"notes.zzqx\"\r\nContent-Type: application/octet-stream\r\n\r\nx"
        "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(body, expected);

    auto plain = serializer->multipartFormRequestWithMethod("POST", "https://h/up", std::nullopt, nullptr);
    EXPECT_FALSE(plain->HTTPBodyStream());
    EXPECT_FALSE(plain->valueForHTTPHeaderField("Content-Type"));
    EXPECT_FALSE(plain->valueForHTTPHeaderField("Content-Length"));
}

TEST(NKStreamingMultipartFormData, RefusesFileURLsItCannotRead)
{
    struct Case {
        foundation::URL url;
        const char* reason;
    };
    const Case cases[] = {
        { *foundation::URL::URLWithString("https://h/file.jpg"), "Expected URL to be a file URL" },
        { foundation::URL::fileURLWithPath("/nonexistent/photo.jpg"), "File URL not reachable." },
    };
    for (const Case& c : cases) {
        NKStreamingMultipartFormData form(net::URLRequest(*foundation::URL::URLWithString("https://h/")));
        foundation::ErrorPtr error;
        EXPECT_FALSE(form.appendPartWithFileURL(c.url, "f", &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), NKURLRequestSerializationErrorDomain);
        EXPECT_EQ(error->code(), -1000);
        EXPECT_EQ(error->localizedFailureReason(), c.reason);
        EXPECT_TRUE(form.bodyStream()->isEmpty());
    }
}

TEST(NKHTTPRequestSerializer, WritesAMultipartBodyToAFileOrReportsWhyNot)
{
    TempDir dir;
    auto photo = dir.write("photo.png", std::string(5000, 'p'));
    auto serializer = NKHTTPRequestSerializer::serializer();
    auto makeRequest = [&] {
        return *serializer->multipartFormRequestWithMethod("POST", "https://h/up", Value::dictionary({ { "a", 1 } }),
                                                            [&](NKMultipartFormData& form) {
                                                                form.appendPartWithFileURL(foundation::URL::fileURLWithPath(photo.string()), "p", nullptr);
                                                            });
    };
    struct Case {
        const char* name;
        std::filesystem::path target;
        bool removeSource;
        bool fails;
    };
    const Case cases[] = {
        { "writable", dir / "body.bin", false, false },
        { "missing folder", dir / "no" / "body.bin", false, true },
        { "part vanished", dir / "body2.bin", true, true },
    };
    for (const Case& c : cases) {
        auto request = makeRequest();
        auto expected = drain(*std::static_pointer_cast<NKMultipartBodyStream>(request.HTTPBodyStream())->copy(), 4096);
        if (c.removeSource)
            std::filesystem::remove(photo);
        bool done = false;
        foundation::ErrorPtr error;
        auto stripped = serializer->requestWithMultipartFormRequest(request, foundation::URL::fileURLWithPath(c.target.string()),
                                                                    [&](const foundation::ErrorPtr& e) {
                                                                        error = e;
                                                                        done = true;
                                                                    });
        EXPECT_FALSE(stripped.HTTPBodyStream()) << c.name;
        EXPECT_EQ(stripped.valueForHTTPHeaderField("Content-Length"), request.valueForHTTPHeaderField("Content-Length")) << c.name;
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }, 10)) << c.name;
        EXPECT_EQ(error != nullptr, c.fails) << c.name;
        if (!c.fails) {
            std::ifstream in(c.target, std::ios::binary);
            std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(written, expected) << c.name;
        }
    }
}

TEST(NKHTTPRequestSerializer, FormBodiesAndFormValuesTakeTheStringEncoding)
{
    // The query text of a block may hold text as it is; the built-in one is escaped ASCII and
    // reads the same in every encoding.
    struct Case {
        const char* name;
        NKStringEncoding encoding;
        const char* text;
        std::optional<std::string> bytes; // none: the text cannot be encoded
    };
    const Case cases[] = {
        { "UTF-8", NKUTF8StringEncoding, "n=\xC3\xA9\xE2\x82\xAC", std::string("n=\xC3\xA9\xE2\x82\xAC") },
        { "Latin 1", NKISOLatin1StringEncoding, "n=\xC3\xA9\xC3\xBF", std::string("n=\xE9\xFF") },
        { "Latin 1 has no euro sign", NKISOLatin1StringEncoding, "n=\xE2\x82\xAC", std::nullopt },
        { "Windows 1252 has one", NKWindowsCP1252StringEncoding, "n=\xE2\x82\xAC\xC3\xA9", std::string("n=\x80\xE9") },
        { "ASCII", NKASCIIStringEncoding, "n=a", std::string("n=a") },
        { "ASCII refuses the rest", NKASCIIStringEncoding, "n=\xC3\xA9", std::nullopt },
    };
    for (const Case& c : cases) {
        auto serializer = NKHTTPRequestSerializer::serializer();
        EXPECT_EQ(serializer->stringEncoding(), NKUTF8StringEncoding);
        serializer->setStringEncoding(c.encoding);
        const std::string text = c.text;
        serializer->setQueryStringSerializationWithBlock(
            [text](const net::URLRequest&, const Value&, foundation::ErrorPtr*) { return std::optional<std::string>(text); });
        foundation::ErrorPtr error;
        auto request = serializer->requestWithMethod("POST", "https://h/", Value::dictionary({ { "n", 1 } }), &error);
        if (c.bytes) {
            ASSERT_TRUE(request) << c.name;
            EXPECT_EQ(bodyText(*request), *c.bytes) << c.name;
            EXPECT_FALSE(error) << c.name;
        } else {
            // Sent without its parameters it would look like a success to the server.
            EXPECT_FALSE(request) << c.name;
            ASSERT_TRUE(error) << c.name;
            EXPECT_EQ(error->domain(), NKURLRequestSerializationErrorDomain) << c.name;
        }
    }

    auto latin = NKHTTPRequestSerializer::serializer();
    latin->setStringEncoding(NKISOLatin1StringEncoding);
    auto form = latin->multipartFormRequestWithMethod("POST", "https://h/up", Value::dictionary({ { "name", "\xC3\xA9" } }), nullptr);
    ASSERT_TRUE(form);
    std::string body = drain(*form->HTTPBodyStream(), 64);
    EXPECT_NE(body.find("name=\"name\"\r\n\r\n\xE9\r\n"), std::string::npos) << body;

    foundation::ErrorPtr error;
    EXPECT_FALSE(latin->multipartFormRequestWithMethod("POST", "https://h/up", Value::dictionary({ { "name", "\xE2\x82\xAC" } }),
                                                       nullptr, &error));
    EXPECT_TRUE(error);

    // A copy starts with the encoding of a new serializer.
    EXPECT_EQ(latin->copy()->stringEncoding(), NKUTF8StringEncoding);
}
