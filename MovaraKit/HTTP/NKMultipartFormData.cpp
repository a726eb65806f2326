#include "MovaraKit/HTTP/NKMultipartFormData.h"

#include <cstdio>
#include <filesystem>
#include <random>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Images/UTType.h"
#include "Platform/Net/URLError.h"

const std::uint64_t kNKUploadStream3GSuggestedPacketSize = 16384;
const double kNKUploadStream3GSuggestedDelay = 0.2;
const std::string NKURLRequestSerializationErrorDomain = "com.wirefern.error.serialization.request";

namespace {

std::string makeBoundary()
{
    static thread_local std::mt19937 generator { std::random_device {}() };
    char text[48];
    std::snprintf(text, sizeof text, "Boundary+%08X%08X", static_cast<unsigned>(generator()), static_cast<unsigned>(generator()));
    return text;
}

foundation::ErrorPtr badFileURLError(const std::string& reason)
{
    auto bundle = foundation::Bundle::main();
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedFailureReasonErrorKey].text = bundle ? bundle->localizedStringForKey(reason, {}, "NetKit") : reason;
    return foundation::Error::make(NKURLRequestSerializationErrorDomain, net::NSURLErrorBadURL, std::move(info));
}

NKHTTPBodyPartHeaders fileHeaders(const std::string& name, const std::string& fileName, const std::string& mimeType)
{
    return { { "Content-Disposition", "form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"" },
             { "Content-Type", mimeType } };
}

} // namespace

NKStreamingMultipartFormData::NKStreamingMultipartFormData(net::URLRequest request)
    : m_request(std::move(request))
    , m_boundary(makeBoundary())
    , m_bodyStream(std::make_shared<NKMultipartBodyStream>())
{
}

bool NKStreamingMultipartFormData::appendPartWithFileURL(const foundation::URL& fileURL, const std::string& name,
                                                         foundation::ErrorPtr* error)
{
    std::string mimeType = "application/octet-stream";
    if (auto type = images::UTType::typeWithFilenameExtension(fileURL.pathExtension())) {
        if (auto preferred = type->preferredMIMEType(); !preferred.empty())
            mimeType = preferred;
    }
    return appendPartWithFileURL(fileURL, name, fileURL.lastPathComponent(), mimeType, error);
}

bool NKStreamingMultipartFormData::appendPartWithFileURL(const foundation::URL& fileURL, const std::string& name,
                                                         const std::string& fileName, const std::string& mimeType,
                                                         foundation::ErrorPtr* error)
{
    if (!fileURL.isFileURL()) {
        if (error)
            *error = badFileURLError("Expected URL to be a file URL");
        return false;
    }
    std::error_code code;
    const std::string path = fileURL.path();
    if (!std::filesystem::exists(path, code)) {
        if (error)
            *error = badFileURLError("File URL not reachable.");
        return false;
    }
    auto size = std::filesystem::file_size(path, code);
    if (code) {
        if (error)
            *error = foundation::Error::posix(code.value(), path);
        return false;
    }
    m_bodyStream->appendHTTPBodyPart(std::make_shared<NKHTTPBodyPart>(fileHeaders(name, fileName, mimeType), m_boundary, fileURL, size));
    return true;
}

void NKStreamingMultipartFormData::appendPartWithInputStream(net::InputStreamPtr stream, const std::string& name,
                                                             const std::string& fileName, std::int64_t length,
                                                             const std::string& mimeType)
{
    m_bodyStream->appendHTTPBodyPart(std::make_shared<NKHTTPBodyPart>(fileHeaders(name, fileName, mimeType), m_boundary,
                                                                      std::move(stream), static_cast<std::uint64_t>(length)));
}

void NKStreamingMultipartFormData::appendPartWithFileData(const foundation::Data& data, const std::string& name,
                                                          const std::string& fileName, const std::string& mimeType)
{
    appendPartWithHeaders(fileHeaders(name, fileName, mimeType), data);
}

void NKStreamingMultipartFormData::appendPartWithFormData(const foundation::Data& data, const std::string& name)
{
    appendPartWithHeaders({ { "Content-Disposition", "form-data; name=\"" + name + "\"" } }, data);
}

void NKStreamingMultipartFormData::appendPartWithHeaders(const NKHTTPBodyPartHeaders& headers, const foundation::Data& body)
{
    m_bodyStream->appendHTTPBodyPart(std::make_shared<NKHTTPBodyPart>(headers, m_boundary, body, body.size()));
}

void NKStreamingMultipartFormData::throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay)
{
    m_bodyStream->setNumberOfBytesInPacket(numberOfBytes);
    m_bodyStream->setDelay(delay);
}

net::URLRequest NKStreamingMultipartFormData::requestByFinalizingMultipartFormData()
{
    if (m_bodyStream->isEmpty())
        return m_request;
    m_bodyStream->setInitialAndFinalBoundaries();
    m_request.setHTTPBodyStream(m_bodyStream);
    m_request.setValueForHTTPHeaderField("multipart/form-data; boundary=" + m_boundary, "Content-Type");
    m_request.setValueForHTTPHeaderField(std::to_string(m_bodyStream->contentLength()), "Content-Length");
    return m_request;
}
