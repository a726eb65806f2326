#pragma once
// A multipart/form-data body produced on demand: NKMultipartBodyStream is an input stream over
// ordered NKHTTPBodyPart objects, each of which hands out its opening boundary, its header
// block, its content (read straight from data, a file or a stream) and, for the last part, the
// closing boundary. The total length is known in advance for the Content-Length. A part whose
// content fails mid-body puts the whole stream into the error state, so a reader never
// mistakes a short body for a complete one. One thread reads a stream at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/Stream.h"

// Ordered header fields of one part, written in the order given.
using NKHTTPBodyPartHeaders = std::vector<std::pair<std::string, std::string>>;

class NKHTTPBodyPart {
public:
    using Body = std::variant<std::monostate, foundation::Data, foundation::URL, net::InputStreamPtr>;

    NKHTTPBodyPart(NKHTTPBodyPartHeaders headers, std::string boundary, Body body, std::uint64_t bodyContentLength);
    ~NKHTTPBodyPart();

    const NKHTTPBodyPartHeaders& headers() const { return m_headers; }
    const std::string& boundary() const { return m_boundary; }
    const Body& body() const { return m_body; }
    std::uint64_t bodyContentLength() const { return m_bodyContentLength; }

    bool hasInitialBoundary() const { return m_hasInitialBoundary; }
    void setHasInitialBoundary(bool has) { m_hasInitialBoundary = has; }
    bool hasFinalBoundary() const { return m_hasFinalBoundary; }
    void setHasFinalBoundary(bool has) { m_hasFinalBoundary = has; }

    // The content stream, made on first use.
    const net::InputStreamPtr& inputStream();
    std::string stringForHeaders() const;
    std::uint64_t contentLength() const;
    bool hasBytesAvailable();
    // Bytes produced, or -1 when the content stream fails (its error is inputStream()'s).
    long read(std::uint8_t* buffer, std::size_t maxLength);

    // A fresh part over the same content, in its first phase and without boundary flags.
    std::shared_ptr<NKHTTPBodyPart> copy() const;

private:
    enum class Phase { Boundary = 1, Headers = 2, Body = 3, FinalBoundary = 4 };

    std::size_t readText(const std::string& text, std::uint8_t* buffer, std::size_t maxLength);
    void transitionToNextPhase();
    std::string openingBoundary() const;
    std::string closingBoundary() const;

    NKHTTPBodyPartHeaders m_headers;
    std::string m_boundary;
    Body m_body;
    std::uint64_t m_bodyContentLength = 0;
    bool m_hasInitialBoundary = false;
    bool m_hasFinalBoundary = false;
    net::InputStreamPtr m_inputStream;
    Phase m_phase = Phase::Boundary;
    std::size_t m_phaseReadOffset = 0;
};

class NKMultipartBodyStream final : public net::InputStream {
public:
    NKMultipartBodyStream() = default;

    void appendHTTPBodyPart(std::shared_ptr<NKHTTPBodyPart> part) { m_parts.push_back(std::move(part)); }
    const std::vector<std::shared_ptr<NKHTTPBodyPart>>& HTTPBodyParts() const { return m_parts; }
    bool isEmpty() const { return m_parts.empty(); }
    void setInitialAndFinalBoundaries();
    std::uint64_t contentLength() const;

    // A read gathers at least this many bytes before it returns (unlimited by default), and
    // sleeps `delay` seconds after each part read: throttling for slow links.
    std::uint64_t numberOfBytesInPacket() const { return m_numberOfBytesInPacket; }
    void setNumberOfBytesInPacket(std::uint64_t count) { m_numberOfBytesInPacket = count; }
    double delay() const { return m_delay; }
    void setDelay(double seconds) { m_delay = seconds; }

    void open() override;
    void close() override;
    long read(std::uint8_t* buffer, std::size_t maxLength) override;
    bool hasBytesAvailable() const override { return m_status == net::StreamStatus::Open; }
    net::StreamStatus streamStatus() const override { return m_status; }
    foundation::ErrorPtr streamError() const override { return m_error; }

    // A new stream over copies of the parts, ready to produce the whole body again.
    std::shared_ptr<NKMultipartBodyStream> copy() const;

private:
    std::vector<std::shared_ptr<NKHTTPBodyPart>> m_parts;
    std::size_t m_nextPart = 0;
    std::shared_ptr<NKHTTPBodyPart> m_currentPart;
    std::uint64_t m_numberOfBytesInPacket = 9223372036854775807ULL;
    double m_delay = 0;
    net::StreamStatus m_status = net::StreamStatus::NotOpen;
    foundation::ErrorPtr m_error;
};
