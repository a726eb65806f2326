#include "Platform/Net/Stream.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

namespace net {

namespace {

class DataInputStream final : public InputStream {
public:
    explicit DataInputStream(foundation::Data data) : m_data(std::move(data)) { }

    void open() override
    {
        if (m_status == StreamStatus::NotOpen)
            m_status = StreamStatus::Open;
    }
    void close() override { m_status = StreamStatus::Closed; }
    long read(std::uint8_t* buffer, std::size_t maxLength) override
    {
        if (m_status != StreamStatus::Open)
            return 0;
        if (maxLength == 0 && m_offset < m_data.size())
            return 0;
        std::size_t count = std::min(maxLength, m_data.size() - m_offset);
        if (count)
            std::memcpy(buffer, m_data.data() + m_offset, count);
        m_offset += count;
        if (m_offset == m_data.size())
            m_status = StreamStatus::AtEnd;
        return static_cast<long>(count);
    }
    bool hasBytesAvailable() const override { return m_status == StreamStatus::Open || m_status == StreamStatus::NotOpen; }
    StreamStatus streamStatus() const override { return m_status; }
    foundation::ErrorPtr streamError() const override { return nullptr; }

private:
    foundation::Data m_data;
    std::size_t m_offset = 0;
    StreamStatus m_status = StreamStatus::NotOpen;
};

class FileInputStream final : public InputStream {
public:
    explicit FileInputStream(std::string path) : m_path(std::move(path)) { }
    ~FileInputStream() override { close(); }

    void open() override
    {
        if (m_status != StreamStatus::NotOpen)
            return;
        m_file = std::fopen(m_path.c_str(), "rb");
        if (!m_file) {
            m_error = foundation::Error::posix(errno, m_path);
            m_status = StreamStatus::Error;
            return;
        }
        m_status = StreamStatus::Open;
    }
    void close() override
    {
        if (m_file)
            std::fclose(m_file);
        m_file = nullptr;
        if (m_status != StreamStatus::Error)
            m_status = StreamStatus::Closed;
    }
    long read(std::uint8_t* buffer, std::size_t maxLength) override
    {
        if (m_status == StreamStatus::Error)
            return -1;
        if (m_status != StreamStatus::Open || maxLength == 0)
            return 0;
        std::size_t count = std::fread(buffer, 1, maxLength, m_file);
        if (count < maxLength) {
            if (std::ferror(m_file)) {
                m_error = foundation::Error::posix(errno ? errno : EIO, m_path);
                m_status = StreamStatus::Error;
                return -1;
            }
            m_status = StreamStatus::AtEnd;
        }
        return static_cast<long>(count);
    }
    bool hasBytesAvailable() const override { return m_status == StreamStatus::Open || m_status == StreamStatus::NotOpen; }
    StreamStatus streamStatus() const override { return m_status; }
    foundation::ErrorPtr streamError() const override { return m_error; }

private:
    std::string m_path;
    std::FILE* m_file = nullptr;
    StreamStatus m_status = StreamStatus::NotOpen;
    foundation::ErrorPtr m_error;
};

} // namespace

std::shared_ptr<InputStream> InputStream::inputStreamWithData(foundation::Data data)
{
    return std::make_shared<DataInputStream>(std::move(data));
}

std::shared_ptr<InputStream> InputStream::inputStreamWithFileAtPath(const std::string& path)
{
    return std::make_shared<FileInputStream>(path);
}

std::shared_ptr<InputStream> InputStream::inputStreamWithURL(const foundation::URL& fileURL)
{
    return inputStreamWithFileAtPath(fileURL.path());
}

OutputStream::~OutputStream()
{
    if (m_file)
        std::fclose(m_file);
}

std::shared_ptr<OutputStream> OutputStream::outputStreamToMemory()
{
    return std::shared_ptr<OutputStream>(new OutputStream());
}

std::shared_ptr<OutputStream> OutputStream::outputStreamToFileAtPath(const std::string& path, bool append)
{
    auto stream = std::shared_ptr<OutputStream>(new OutputStream());
    stream->m_toMemory = false;
    stream->m_path = path;
    stream->m_append = append;
    return stream;
}

void OutputStream::fail(int code)
{
    m_error = foundation::Error::posix(code, m_path);
    m_status = StreamStatus::Error;
}

void OutputStream::open()
{
    if (m_status != StreamStatus::NotOpen)
        return;
    if (!m_toMemory) {
        m_file = std::fopen(m_path.c_str(), m_append ? "ab" : "wb");
        if (!m_file) {
            fail(errno);
            return;
        }
        if (m_append) {
            std::fseek(m_file, 0, SEEK_END);
            long at = std::ftell(m_file);
            m_offset = at > 0 ? static_cast<std::uint64_t>(at) : 0;
        }
    }
    m_status = StreamStatus::Open;
}

void OutputStream::close()
{
    if (m_file) {
        // Buffered bytes that cannot reach the disk are a failed write, not a short file.
        if (std::fclose(m_file) != 0 && m_status != StreamStatus::Error)
            fail(errno ? errno : EIO);
        m_file = nullptr;
    }
    if (m_status != StreamStatus::Error)
        m_status = StreamStatus::Closed;
}

long OutputStream::write(const std::uint8_t* buffer, std::size_t length)
{
    if (m_status == StreamStatus::Error)
        return -1;
    if (m_status != StreamStatus::Open)
        return 0;
    if (m_toMemory) {
        // Running out of memory fails this stream, never the thread that writes to it.
        try {
            m_memory.insert(m_memory.end(), buffer, buffer + length);
        } catch (const std::bad_alloc&) {
            fail(ENOMEM);
            return -1;
        }
        return static_cast<long>(length);
    }
    std::size_t written = std::fwrite(buffer, 1, length, m_file);
    if (written != length) {
        fail(errno ? errno : EIO);
        return -1;
    }
    m_offset += written;
    return static_cast<long>(written);
}

bool OutputStream::truncateToStart()
{
    if (m_status == StreamStatus::Error)
        return false;
    if (m_toMemory) {
        m_memory.clear();
        return true;
    }
    if (!m_file)
        return m_status == StreamStatus::NotOpen;
    if (std::fflush(m_file) != 0 || ::ftruncate(::fileno(m_file), 0) != 0 || std::fseek(m_file, 0, SEEK_SET) != 0) {
        fail(errno ? errno : EIO);
        return false;
    }
    m_offset = 0;
    return true;
}

std::optional<foundation::Data> OutputStream::dataWrittenToMemory() const
{
    if (!m_toMemory)
        return std::nullopt;
    return m_memory;
}

std::optional<std::uint64_t> OutputStream::fileCurrentOffset() const
{
    if (m_toMemory)
        return std::nullopt;
    return m_offset;
}

} // namespace net
