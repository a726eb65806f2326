#include "MovaraKit/HTTP/NKHTTPRequestSerializer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "MovaraKit/HTTP/NKQueryStringPair.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/StringUtils.h"

namespace {

// The platform's code for text that an encoding cannot represent.
constexpr long kInapplicableStringEncodingErrorCode = 517;

foundation::ErrorPtr unencodableTextError(NKStringEncoding encoding, const std::string& what)
{
    return foundation::Error::make(NKURLRequestSerializationErrorDomain, kInapplicableStringEncodingErrorCode,
                                   "The " + what + " cannot be written in " + NKStringEncodingName(encoding) + ".");
}

std::string asciiUpper(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string operatingSystemVersionString()
{
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\''))
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return "Linux";
}

// What stays of a text once everything that is not ASCII is dropped; servers read the header
// as ASCII, and a name in another script must not make the request unsendable.
std::string asciiOnly(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80)
            out += static_cast<char>(c);
    }
    return out;
}

std::string userAgent()
{
    auto bundle = foundation::Bundle::main();
    std::string name;
    std::string version;
    if (bundle) {
        name = bundle->objectForInfoDictionaryKey("CFBundleExecutable").asString();
        if (name.empty())
            name = bundle->bundleIdentifier();
        version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").asString();
        if (version.empty())
            version = bundle->objectForInfoDictionaryKey("CFBundleVersion").asString();
    }
    std::string agent = name + "/" + version + " (Mac OS X " + operatingSystemVersionString() + ")";
    return asciiOnly(agent);
}

} // namespace

std::string NKHTTPRequestSerializer::acceptLanguageForLanguages(const std::vector<std::string>& languages)
{
    std::string header;
    for (std::size_t i = 0; i < languages.size(); ++i) {
        float q = 1.0f - 0.1f * static_cast<float>(i);
        char value[16];
        std::snprintf(value, sizeof value, "%0.1g", q);
        if (!header.empty())
            header += ", ";
        header += languages[i] + ";q=" + value;
        if (q <= 0.5f)
            break;
    }
    return header;
}

std::vector<std::string> NKHTTPRequestSerializer::preferredLanguages()
{
    std::vector<std::string> languages;
    auto add = [&](std::string entry) {
        entry = entry.substr(0, entry.find_first_of(".@"));
        for (char& c : entry) {
            if (c == '_')
                c = '-';
        }
        if (entry.empty() || entry == "C" || entry == "POSIX")
            return;
        for (const auto& known : languages) {
            if (known == entry)
                return;
        }
        languages.push_back(entry);
    };
    if (const char* list = std::getenv("LANGUAGE"); list && *list) {
        std::string text = list;
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(':', start);
            add(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    if (languages.empty()) {
        for (const char* variable : { "LC_ALL", "LC_MESSAGES", "LANG" }) {
            if (const char* value = std::getenv(variable); value && *value) {
                add(value);
                break;
            }
        }
    }
    return languages;
}

NKHTTPRequestSerializer::NKHTTPRequestSerializer()
{
    m_headers["Accept-Language"] = acceptLanguageForLanguages(preferredLanguages());
    m_headers["User-Agent"] = userAgent();
}

std::shared_ptr<NKHTTPRequestSerializer> NKHTTPRequestSerializer::serializer()
{
    return make<NKHTTPRequestSerializer>();
}

void NKHTTPRequestSerializer::setValue(const std::optional<std::string>& value, const std::string& field)
{
    if (value)
        m_headers[field] = *value;
    else
        m_headers.erase(field);
}

std::optional<std::string> NKHTTPRequestSerializer::valueForHTTPHeaderField(const std::string& field) const
{
    auto it = m_headers.find(field);
    if (it == m_headers.end())
        return std::nullopt;
    return it->second;
}

void NKHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(const std::string& username, const std::string& password)
{
    setValue("Basic " + foundation::base64Encode(std::string_view(username + ":" + password)), "Authorization");
}

void NKHTTPRequestSerializer::setAuthorizationHeaderFieldWithToken(const std::string& token)
{
    setValue("Token token=\"" + token + "\"", "Authorization");
}

void NKHTTPRequestSerializer::clearAuthorizationHeader()
{
    m_headers.erase("Authorization");
}

void NKHTTPRequestSerializer::setQueryStringSerializationWithStyle(unsigned long style)
{
    m_queryStringSerializationStyle = style;
    m_queryStringSerialization = nullptr;
}

void NKHTTPRequestSerializer::setQueryStringSerializationWithBlock(QueryStringSerializationBlock block)
{
    m_queryStringSerialization = std::move(block);
}

std::optional<net::URLRequest> NKHTTPRequestSerializer::requestWithMethod(const std::string& method, const std::string& URLString,
                                                                          const std::optional<foundation::Value>& parameters,
                                                                          foundation::ErrorPtr* error) const
{
    net::URLRequest request;
    request.setURL(foundation::URL::URLWithString(URLString));
    request.setHTTPMethod(method);
    if (m_allowsCellularAccess)
        request.setAllowsCellularAccess(*m_allowsCellularAccess);
    if (m_cachePolicy)
        request.setCachePolicy(*m_cachePolicy);
    if (m_shouldHandleCookies)
        request.setHTTPShouldHandleCookies(*m_shouldHandleCookies);
    if (m_shouldUsePipelining)
        request.setHTTPShouldUsePipelining(*m_shouldUsePipelining);
    if (m_networkServiceType)
        request.setNetworkServiceType(*m_networkServiceType);
    if (m_timeoutInterval)
        request.setTimeoutInterval(*m_timeoutInterval);
    return requestBySerializingRequest(request, parameters, error);
}

net::URLRequest NKHTTPRequestSerializer::requestWithDefaultHeaders(const net::URLRequest& request) const
{
    net::URLRequest copy = request;
    for (const auto& [field, value] : m_headers) {
        if (!request.valueForHTTPHeaderField(field))
            copy.setValueForHTTPHeaderField(value, field);
    }
    return copy;
}

bool NKHTTPRequestSerializer::encodesParametersInURI(const std::string& method) const
{
    return m_methodsInURI.contains(asciiUpper(method));
}

std::optional<net::URLRequest> NKHTTPRequestSerializer::requestBySerializingRequest(const net::URLRequest& request,
                                                                                    const std::optional<foundation::Value>& parameters,
                                                                                    foundation::ErrorPtr* error) const
{
    net::URLRequest copy = requestWithDefaultHeaders(request);
    if (!parameters)
        return copy;

    std::optional<std::string> query;
    if (m_queryStringSerialization) {
        foundation::ErrorPtr blockError;
        query = m_queryStringSerialization(request, *parameters, &blockError);
        if (blockError) {
            if (error)
                *error = blockError;
            return std::nullopt;
        }
    } else if (m_queryStringSerializationStyle == 0) {
        query = NKQueryStringFromParameters(*parameters);
    }
    // Another style defines no encoding: the request then goes out without parameters.
    if (!query)
        return copy;

    if (encodesParametersInURI(request.HTTPMethod())) {
        if (copy.URL()) {
            const std::string& url = copy.URL()->absoluteString();
            std::string joined = url + (copy.URL()->query() ? "&" : "?") + *query;
            copy.setURL(foundation::URL::URLWithString(joined));
        }
    } else {
        if (!copy.valueForHTTPHeaderField("Content-Type"))
            copy.setValueForHTTPHeaderField("application/x-www-form-urlencoded", "Content-Type");
        auto body = NKEncodeText(*query, m_stringEncoding);
        if (!body) {
            if (error)
                *error = unencodableTextError(m_stringEncoding, "form body");
            return std::nullopt;
        }
        copy.setHTTPBody(std::move(*body));
    }
    return copy;
}

std::optional<net::URLRequest> NKHTTPRequestSerializer::multipartFormRequestWithMethod(
    const std::string& method, const std::string& URLString, const std::optional<foundation::Value>& parameters,
    const ConstructingBodyBlock& block, foundation::ErrorPtr* error) const
{
    auto request = requestWithMethod(method, URLString, std::nullopt, error);
    if (!request)
        return std::nullopt;
    NKStreamingMultipartFormData formData(*request);
    if (parameters) {
        for (const auto& pair : NKQueryStringPairsFromKeyAndValue(nullptr, *parameters)) {
            foundation::Data data;
            if (pair.value().isData()) {
                data = pair.value().asData();
            } else if (!pair.value().isNull()) {
                auto bytes = NKEncodeText(NKQueryStringTextForm(pair.value()), m_stringEncoding);
                if (!bytes) {
                    if (error)
                        *error = unencodableTextError(m_stringEncoding, "value of the form field \"" + pair.field() + "\"");
                    return std::nullopt;
                }
                data = std::move(*bytes);
            }
            formData.appendPartWithFormData(data, pair.field());
        }
    }
    if (block)
        block(formData);
    return formData.requestByFinalizingMultipartFormData();
}

net::URLRequest NKHTTPRequestSerializer::requestWithMultipartFormRequest(const net::URLRequest& request,
                                                                         const foundation::URL& fileURL,
                                                                         WriteCompletionHandler handler) const
{
    net::InputStreamPtr input = request.HTTPBodyStream();
    auto output = net::OutputStream::outputStreamToFileAtPath(fileURL.path(), false);
    dispatch::Queue::global()->async([input, output, handler] {
        foundation::ErrorPtr error;
        output->open();
        if (output->streamStatus() == net::StreamStatus::Error)
            error = output->streamError();
        if (!error && input) {
            input->open();
            std::uint8_t buffer[1024];
            while (true) {
                long read = input->read(buffer, sizeof buffer);
                if (read < 0) {
                    error = input->streamError();
                    break;
                }
                if (read == 0)
                    break;
                if (output->write(buffer, static_cast<std::size_t>(read)) != read) {
                    error = output->streamError();
                    break;
                }
            }
        }
        output->close();
        if (!error && output->streamStatus() == net::StreamStatus::Error)
            error = output->streamError();
        if (input)
            input->close();
        if (!error && input && input->streamStatus() == net::StreamStatus::Error)
            error = input->streamError();
        if (handler)
            dispatch::Queue::main()->async([handler, error] { handler(error); });
    });
    net::URLRequest copy = request;
    copy.setHTTPBodyStream(nullptr);
    return copy;
}

void NKHTTPRequestSerializer::copyBaseStateTo(NKHTTPRequestSerializer& other) const
{
    other.m_headers = m_headers;
    other.m_queryStringSerializationStyle = m_queryStringSerializationStyle;
    other.m_queryStringSerialization = m_queryStringSerialization;
}

std::shared_ptr<NKHTTPRequestSerializer> NKHTTPRequestSerializer::copy() const
{
    auto other = make<NKHTTPRequestSerializer>();
    copyBaseStateTo(*other);
    return other;
}

// MARK: - JSON and property-list bodies

std::shared_ptr<NKJSONRequestSerializer> NKJSONRequestSerializer::serializerWithWritingOptions(unsigned long options)
{
    auto serializer = make<NKJSONRequestSerializer>();
    serializer->setWritingOptions(options);
    return serializer;
}

std::optional<net::URLRequest> NKJSONRequestSerializer::requestBySerializingRequest(const net::URLRequest& request,
                                                                                    const std::optional<foundation::Value>& parameters,
                                                                                    foundation::ErrorPtr* error) const
{
    if (encodesParametersInURI(request.HTTPMethod()))
        return NKHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    net::URLRequest copy = requestWithDefaultHeaders(request);
    if (parameters) {
        if (!copy.valueForHTTPHeaderField("Content-Type"))
            copy.setValueForHTTPHeaderField("application/json", "Content-Type");
        foundation::ErrorPtr writeError;
        std::string json = foundation::toJSON(*parameters, (m_writingOptions & 1) != 0, &writeError);
        if (writeError) {
            if (error)
                *error = writeError;
        } else {
            copy.setHTTPBody(foundation::Data(json.begin(), json.end()));
        }
    }
    return copy;
}

std::shared_ptr<NKHTTPRequestSerializer> NKJSONRequestSerializer::copy() const
{
    auto other = make<NKJSONRequestSerializer>();
    copyBaseStateTo(*other);
    other->m_writingOptions = m_writingOptions;
    return other;
}

std::shared_ptr<NKPropertyListRequestSerializer> NKPropertyListRequestSerializer::serializerWithFormat(
    foundation::PropertyListFormat format, unsigned long writeOptions)
{
    auto serializer = make<NKPropertyListRequestSerializer>();
    serializer->m_format = format;
    serializer->m_writeOptions = writeOptions;
    return serializer;
}

std::optional<net::URLRequest> NKPropertyListRequestSerializer::requestBySerializingRequest(
    const net::URLRequest& request, const std::optional<foundation::Value>& parameters, foundation::ErrorPtr* error) const
{
    if (encodesParametersInURI(request.HTTPMethod()))
        return NKHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    net::URLRequest copy = requestWithDefaultHeaders(request);
    if (parameters) {
        if (!copy.valueForHTTPHeaderField("Content-Type"))
            copy.setValueForHTTPHeaderField("application/x-plist", "Content-Type");
        foundation::ErrorPtr writeError;
        foundation::Data body = foundation::writePropertyList(*parameters, m_format, &writeError);
        if (writeError) {
            if (error)
                *error = writeError;
        } else {
            copy.setHTTPBody(std::move(body));
        }
    }
    return copy;
}

std::shared_ptr<NKHTTPRequestSerializer> NKPropertyListRequestSerializer::copy() const
{
    auto other = make<NKPropertyListRequestSerializer>();
    copyBaseStateTo(*other);
    other->m_format = m_format;
    other->m_writeOptions = m_writeOptions;
    return other;
}
