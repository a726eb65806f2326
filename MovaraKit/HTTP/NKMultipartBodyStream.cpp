#include "MovaraKit/HTTP/NKMultipartBodyStream.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {
constexpr const char* CRLF = "\r\n";
}

NKHTTPBodyPart::NKHTTPBodyPart(NKHTTPBodyPartHeaders headers, std::string boundary, Body body, std::uint64_t bodyContentLength)
    : m_headers(std::move(headers))
    , m_boundary(std::move(boundary))
    , m_body(std::move(body))
    , m_bodyContentLength(bodyContentLength)
{
}

NKHTTPBodyPart::~NKHTTPBodyPart()
{
    if (m_inputStream)
        m_inputStream->close();
}

const net::InputStreamPtr& NKHTTPBodyPart::inputStream()
{
    if (!m_inputStream) {
        if (const auto* data = std::get_if<foundation::Data>(&m_body))
            m_inputStream = net::InputStream::inputStreamWithData(*data);
        else if (const auto* url = std::get_if<foundation::URL>(&m_body))
            m_inputStream = net::InputStream::inputStreamWithURL(*url);
        else if (const auto* stream = std::get_if<net::InputStreamPtr>(&m_body); stream && *stream)
            m_inputStream = *stream;
        else
            m_inputStream = net::InputStream::inputStreamWithData({});
    }
    return m_inputStream;
}

std::string NKHTTPBodyPart::stringForHeaders() const
{
    std::string text;
    for (const auto& [name, value] : m_headers)
        text += name + ": " + value + CRLF;
    text += CRLF;
    return text;
}

std::string NKHTTPBodyPart::openingBoundary() const
{
    return m_hasInitialBoundary ? "--" + m_boundary + CRLF : std::string(CRLF) + "--" + m_boundary + CRLF;
}

std::string NKHTTPBodyPart::closingBoundary() const
{
    return m_hasFinalBoundary ? std::string(CRLF) + "--" + m_boundary + "--" + CRLF : std::string();
}

std::uint64_t NKHTTPBodyPart::contentLength() const
{
    return openingBoundary().size() + stringForHeaders().size() + m_bodyContentLength + closingBoundary().size();
}

bool NKHTTPBodyPart::hasBytesAvailable()
{
    // Once the content is under way the part is read until its phases are through, so a
    // content stream that has just ended (or failed) still gets its closing text (or its
    // error) out. Back in the first phase with the content closed, the part is spent.
    if (m_phase != Phase::Boundary || !m_inputStream)
        return true;
    switch (m_inputStream->streamStatus()) {
    case net::StreamStatus::NotOpen:
    case net::StreamStatus::Opening:
    case net::StreamStatus::Open:
    case net::StreamStatus::Reading:
    case net::StreamStatus::Writing:
        return true;
    default:
        return false;
    }
}

std::size_t NKHTTPBodyPart::readText(const std::string& text, std::uint8_t* buffer, std::size_t maxLength)
{
    std::size_t count = std::min(text.size() - m_phaseReadOffset, maxLength);
    if (count)
        std::memcpy(buffer, text.data() + m_phaseReadOffset, count);
    m_phaseReadOffset += count;
    if (m_phaseReadOffset >= text.size())
        transitionToNextPhase();
    return count;
}

void NKHTTPBodyPart::transitionToNextPhase()
{
    // Our streams need no run loop, so the phase can change on the reading thread itself.
    switch (m_phase) {
    case Phase::Boundary:
        m_phase = Phase::Headers;
        break;
    case Phase::Headers:
        inputStream()->open();
        m_phase = Phase::Body;
        break;
    case Phase::Body:
        inputStream()->close();
        m_phase = Phase::FinalBoundary;
        break;
    case Phase::FinalBoundary:
        m_phase = Phase::Boundary;
        break;
    }
    m_phaseReadOffset = 0;
}

long NKHTTPBodyPart::read(std::uint8_t* buffer, std::size_t maxLength)
{
    std::size_t total = 0;
    if (m_phase == Phase::Boundary)
        total += readText(openingBoundary(), buffer, maxLength);
    if (m_phase == Phase::Headers)
        total += readText(stringForHeaders(), buffer + total, maxLength - total);
    if (m_phase == Phase::Body) {
        const auto& stream = inputStream();
        long count = total < maxLength ? stream->read(buffer + total, maxLength - total) : 0;
        if (count < 0)
            return -1;
        total += static_cast<std::size_t>(count);
        auto status = stream->streamStatus();
        if (status == net::StreamStatus::AtEnd || status == net::StreamStatus::Closed)
            transitionToNextPhase();
        else if (status == net::StreamStatus::Error)
            return -1;
    }
    if (m_phase == Phase::FinalBoundary)
        total += readText(closingBoundary(), buffer + total, maxLength - total);
    return static_cast<long>(total);
}

std::shared_ptr<NKHTTPBodyPart> NKHTTPBodyPart::copy() const
{
    return std::make_shared<NKHTTPBodyPart>(m_headers, m_boundary, m_body, m_bodyContentLength);
}

void NKMultipartBodyStream::setInitialAndFinalBoundaries()
{
    if (m_parts.empty())
        return;
    for (const auto& part : m_parts) {
        part->setHasInitialBoundary(false);
        part->setHasFinalBoundary(false);
    }
    m_parts.front()->setHasInitialBoundary(true);
    m_parts.back()->setHasFinalBoundary(true);
}

std::uint64_t NKMultipartBodyStream::contentLength() const
{
    std::uint64_t length = 0;
    for (const auto& part : m_parts)
        length += part->contentLength();
    return length;
}

void NKMultipartBodyStream::open()
{
    if (m_status == net::StreamStatus::Open)
        return;
    m_status = net::StreamStatus::Open;
    setInitialAndFinalBoundaries();
    m_nextPart = 0;
    m_currentPart = nullptr;
}

void NKMultipartBodyStream::close()
{
    if (m_status != net::StreamStatus::Error)
        m_status = net::StreamStatus::Closed;
}

long NKMultipartBodyStream::read(std::uint8_t* buffer, std::size_t maxLength)
{
    if (m_status == net::StreamStatus::Error)
        return -1;
    if (m_status != net::StreamStatus::Open)
        return 0;
    std::uint64_t limit = std::min<std::uint64_t>(maxLength, m_numberOfBytesInPacket);
    std::size_t total = 0;
    while (total < limit) {
        if (!m_currentPart || !m_currentPart->hasBytesAvailable()) {
            if (m_nextPart >= m_parts.size())
                break;
            m_currentPart = m_parts[m_nextPart++];
            continue;
        }
        long count = m_currentPart->read(buffer + total, maxLength - total);
        if (count < 0) {
            // The announced length can no longer be met: fail the body rather than cut it short.
            m_error = m_currentPart->inputStream()->streamError();
            if (!m_error)
                m_error = foundation::Error::posix(EIO, "multipart body part");
            m_status = net::StreamStatus::Error;
            return -1;
        }
        total += static_cast<std::size_t>(count);
        if (m_delay > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(m_delay));
    }
    return static_cast<long>(total);
}

std::shared_ptr<NKMultipartBodyStream> NKMultipartBodyStream::copy() const
{
    auto stream = std::make_shared<NKMultipartBodyStream>();
    for (const auto& part : m_parts)
        stream->appendHTTPBodyPart(part->copy());
    stream->setInitialAndFinalBoundaries();
    return stream;
}
