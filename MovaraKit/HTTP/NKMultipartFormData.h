#pragma once
// Building a multipart/form-data body: the builder hands this to the caller's block, each
// append adds one part to a streamed body (files are never loaded whole), and finalizing sets
// the body stream, the multipart Content-Type and the exact Content-Length on the request.

#include <cstdint>
#include <memory>
#include <string>

#include "MovaraKit/HTTP/NKMultipartBodyStream.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Net/URLRequest.h"

// Suggested throttling over slow links; nothing in the layer uses them.
extern const std::uint64_t kNKUploadStream3GSuggestedPacketSize; // 16384
extern const double kNKUploadStream3GSuggestedDelay;             // 0.2

extern const std::string NKURLRequestSerializationErrorDomain; // "com.wirefern.error.serialization.request"

class NKMultipartFormData {
public:
    virtual ~NKMultipartFormData() = default;
    // File name = the URL's last path component, MIME type from its extension
    // ("application/octet-stream" when unknown).
    virtual bool appendPartWithFileURL(const foundation::URL& fileURL, const std::string& name, foundation::ErrorPtr* error) = 0;
    virtual bool appendPartWithFileURL(const foundation::URL& fileURL, const std::string& name, const std::string& fileName,
                                       const std::string& mimeType, foundation::ErrorPtr* error) = 0;
    virtual void appendPartWithInputStream(net::InputStreamPtr stream, const std::string& name, const std::string& fileName,
                                           std::int64_t length, const std::string& mimeType) = 0;
    virtual void appendPartWithFileData(const foundation::Data& data, const std::string& name, const std::string& fileName,
                                        const std::string& mimeType) = 0;
    virtual void appendPartWithFormData(const foundation::Data& data, const std::string& name) = 0;
    virtual void appendPartWithHeaders(const NKHTTPBodyPartHeaders& headers, const foundation::Data& body) = 0;
    virtual void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) = 0;
};

class NKStreamingMultipartFormData final : public NKMultipartFormData {
public:
    NKStreamingMultipartFormData(net::URLRequest request);

    const net::URLRequest& request() const { return m_request; }
    const std::string& boundary() const { return m_boundary; }
    const std::shared_ptr<NKMultipartBodyStream>& bodyStream() const { return m_bodyStream; }

    bool appendPartWithFileURL(const foundation::URL& fileURL, const std::string& name, foundation::ErrorPtr* error) override;
    bool appendPartWithFileURL(const foundation::URL& fileURL, const std::string& name, const std::string& fileName,
                               const std::string& mimeType, foundation::ErrorPtr* error) override;
    void appendPartWithInputStream(net::InputStreamPtr stream, const std::string& name, const std::string& fileName,
                                   std::int64_t length, const std::string& mimeType) override;
    void appendPartWithFileData(const foundation::Data& data, const std::string& name, const std::string& fileName,
                                const std::string& mimeType) override;
    void appendPartWithFormData(const foundation::Data& data, const std::string& name) override;
    void appendPartWithHeaders(const NKHTTPBodyPartHeaders& headers, const foundation::Data& body) override;
    void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) override;

    // Without parts, the request unchanged; else with the body stream and multipart headers.
    net::URLRequest requestByFinalizingMultipartFormData();

private:
    net::URLRequest m_request;
    std::string m_boundary;
    std::shared_ptr<NKMultipartBodyStream> m_bodyStream;
};
