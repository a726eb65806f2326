#pragma once
// Byte streams as the URL layer reads and writes them: pull-based input streams over memory,
// a file or a producer of our own (multipart bodies), and output streams into memory or a
// file. One thread uses a stream at a time. Failures are reported by a read or write of -1
// and the stream's error; the stream then stays in the error state.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"

namespace net {

enum class StreamStatus { NotOpen = 0, Opening = 1, Open = 2, Reading = 3, Writing = 4, AtEnd = 5, Closed = 6, Error = 7 };

class InputStream {
public:
    virtual ~InputStream() = default;

    static std::shared_ptr<InputStream> inputStreamWithData(foundation::Data data);
    // The file is opened by open(); a missing file fails then, with the file system's error.
    static std::shared_ptr<InputStream> inputStreamWithFileAtPath(const std::string& path);
    static std::shared_ptr<InputStream> inputStreamWithURL(const foundation::URL& fileURL);

    virtual void open() = 0;
    virtual void close() = 0;
    // Bytes copied into `buffer` (0 at the end), or -1 with streamError() set.
    virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
    virtual bool hasBytesAvailable() const = 0;
    virtual StreamStatus streamStatus() const = 0;
    virtual foundation::ErrorPtr streamError() const = 0;
};

using InputStreamPtr = std::shared_ptr<InputStream>;

class OutputStream {
public:
    ~OutputStream();

    static std::shared_ptr<OutputStream> outputStreamToMemory();
    static std::shared_ptr<OutputStream> outputStreamToFileAtPath(const std::string& path, bool append);

    void open();
    void close();
    // Bytes taken (all of them, or -1 with streamError() set).
    long write(const std::uint8_t* buffer, std::size_t length);
    bool hasSpaceAvailable() const { return m_status == StreamStatus::Open; }
    StreamStatus streamStatus() const { return m_status; }
    foundation::ErrorPtr streamError() const { return m_error; }

    // Drops what was written and starts again at the beginning (of the memory or the file).
    bool truncateToStart();

    // What a memory stream holds; none for a file stream.
    std::optional<foundation::Data> dataWrittenToMemory() const;
    // The bytes written so far to a file stream; none for a memory stream.
    std::optional<std::uint64_t> fileCurrentOffset() const;

private:
    OutputStream() = default;
    void fail(int code);

    bool m_toMemory = true;
    bool m_append = false;
    std::string m_path;
    std::FILE* m_file = nullptr;
    std::uint64_t m_offset = 0;
    foundation::Data m_memory;
    StreamStatus m_status = StreamStatus::NotOpen;
    foundation::ErrorPtr m_error;
};

using OutputStreamPtr = std::shared_ptr<OutputStream>;

} // namespace net
