#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesLogBuffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/FileManager.h"

namespace {

constexpr const char* kLogTag = "BeaconCrashes";

std::atomic<BCNCrashesLogBuffer*> g_installed { nullptr };

// Writes one file in a single write call; a file that cannot be opened is skipped. When the slot
// changed while it was being written the file is left empty rather than torn.
void writeSlotFile(const char* path, const void* bytes, std::uint32_t length, const std::atomic<std::uint32_t>& sequence, std::uint32_t seen) noexcept
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (length > 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, bytes, length);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence.load(std::memory_order_relaxed) != seen)
            [[maybe_unused]] const int truncated = ::ftruncate(fd, 0);
    }
    ::close(fd);
}

// A saved file holds at most what its slot does: a larger one is not ours, and is not read.
std::optional<std::vector<std::uint8_t>> readFile(const std::filesystem::path& path, std::size_t maximumSize)
{
    foundation::ErrorPtr error;
    auto bytes = foundation::FileManager::defaultManager().contentsAtPath(path.string(), &error, maximumSize);
    if (!bytes && error && error->code() == foundation::NSFileReadTooLargeError)
        BCNLogError(kLogTag, error->localizedDescription());
    return bytes;
}

void emptyFile(const std::filesystem::path& path)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
}

} // namespace

BCNCrashesLogBuffer::BCNCrashesLogBuffer(std::string directory)
    : m_directory(std::move(directory))
{
    std::error_code ec;
    std::filesystem::create_directories(m_directory, ec);
    if (ec)
        BCNLogError(kLogTag, "Cannot create the crash log buffer folder " + m_directory + ": " + ec.message());
    ::chmod(m_directory.c_str(), 0700);
    for (std::size_t i = 0; i < kSlotCount; ++i) {
        Slot& slot = m_slots[i];
        slot.bufferPath = m_directory + "/" + std::to_string(i) + "." + kBufferExtension;
        slot.tokenPath = m_directory + "/" + std::to_string(i) + "." + kTokenExtension;
        slot.bytes = std::make_unique<std::uint8_t[]>(kSlotCapacity);
        slot.token = std::make_unique<char[]>(kTokenCapacity);
        // Only when missing: a file saved by a crash stays until it is read.
        const int fd = ::open(slot.bufferPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
        else
            ::chmod(slot.bufferPath.c_str(), 0600); // one an older version made open to all
    }
}

BCNCrashesLogBuffer::~BCNCrashesLogBuffer()
{
    BCNCrashesLogBuffer* self = this;
    g_installed.compare_exchange_strong(self, nullptr);
}

std::string BCNCrashesLogBuffer::bufferPath(std::size_t slot) const { return m_slots.at(slot).bufferPath; }
std::string BCNCrashesLogBuffer::tokenPath(std::size_t slot) const { return m_slots.at(slot).tokenPath; }

void BCNCrashesLogBuffer::fill(Slot& slot, std::span<const std::uint8_t> archive, const std::string& token, const std::string& internalId, double timestamp)
{
    // Odd sequence: the crash-time writer saves this slot empty until it is whole again.
    slot.sequence.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(slot.bytes.get(), archive.data(), archive.size());
    slot.length.store(static_cast<std::uint32_t>(archive.size()), std::memory_order_relaxed);
    std::memcpy(slot.token.get(), token.data(), token.size());
    slot.tokenLength.store(static_cast<std::uint32_t>(token.size()), std::memory_order_relaxed);
    slot.sequence.fetch_add(1, std::memory_order_release);
    slot.internalId = internalId;
    slot.timestamp = timestamp;
}

void BCNCrashesLogBuffer::clear(Slot& slot)
{
    slot.sequence.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.length.store(0, std::memory_order_relaxed);
    slot.tokenLength.store(0, std::memory_order_relaxed);
    slot.sequence.fetch_add(1, std::memory_order_release);
    slot.internalId.clear();
    slot.timestamp = 0;
}

std::optional<std::size_t> BCNCrashesLogBuffer::bufferLog(std::span<const std::uint8_t> archive, const std::string& encryptedToken,
    const std::string& internalId, double timestamp)
{
    if (archive.empty())
        return std::nullopt;
    if (archive.size() > kSlotCapacity) {
        BCNLogVerbose(kLogTag, "A log of " + std::to_string(archive.size()) + " bytes is too big for the Crashes Buffer.");
        return std::nullopt;
    }
    // A token that does not fit is dropped rather than cut: a cut token would not decrypt.
    const std::string token = encryptedToken.size() <= kTokenCapacity ? encryptedToken : std::string();
    std::lock_guard lock(m_mutex);
    double oldest = std::numeric_limits<double>::max();
    std::size_t oldestIndex = 0;
    for (std::size_t i = 0; i < kSlotCount; ++i) {
        Slot& slot = m_slots[i];
        if (slot.length.load(std::memory_order_relaxed) == 0) {
            fill(slot, archive, token, internalId, timestamp);
            BCNLogVerbose(kLogTag, "Found an empty buffer position.");
            return i;
        }
        if (slot.timestamp < oldest) {
            oldest = slot.timestamp;
            oldestIndex = i;
            BCNLogVerbose(kLogTag, "Remembering index " + std::to_string(i) + " for oldest timestamp " + std::to_string(oldest) + ".");
        }
    }
    BCNLogVerbose(kLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
    // The overwritten slot takes the new log's token too, never the old log's.
    fill(m_slots[oldestIndex], archive, token, internalId, timestamp);
    BCNLogVerbose(kLogTag, "Overwrote buffered log at index " + std::to_string(oldestIndex) + ".");
    return oldestIndex;
}

void BCNCrashesLogBuffer::releaseLog(const std::string& internalId)
{
    if (internalId.empty())
        return;
    std::lock_guard lock(m_mutex);
    for (Slot& slot : m_slots) {
        if (slot.internalId != internalId)
            continue;
        BCNLogVerbose(kLogTag, "Deleting a log from buffer with id " + internalId);
        clear(slot);
        if (writeStarted()) {
            ::unlink(slot.bufferPath.c_str());
            BCNLogVerbose(kLogTag, "Deleted crash buffer file: " + slot.bufferPath + ".");
        }
    }
}

BCNCrashesLogBuffer::SlotContents BCNCrashesLogBuffer::slotContents(std::size_t index) const
{
    std::lock_guard lock(m_mutex);
    const Slot& slot = m_slots.at(index);
    SlotContents contents;
    contents.archive.assign(slot.bytes.get(), slot.bytes.get() + slot.length.load());
    contents.token.assign(slot.token.get(), slot.tokenLength.load());
    contents.internalId = slot.internalId;
    contents.timestamp = slot.timestamp;
    return contents;
}

void BCNCrashesLogBuffer::saveToFiles() noexcept
{
    m_writeStarted.store(true, std::memory_order_release);
    for (Slot& slot : m_slots) {
        const std::uint32_t seen = slot.sequence.load(std::memory_order_acquire);
        const bool whole = (seen & 1) == 0;
        const std::uint32_t length = whole ? slot.length.load(std::memory_order_relaxed) : 0;
        const std::uint32_t tokenLength = whole ? slot.tokenLength.load(std::memory_order_relaxed) : 0;
        writeSlotFile(slot.bufferPath.c_str(), slot.bytes.get(), length, slot.sequence, seen);
        if (tokenLength > 0)
            writeSlotFile(slot.tokenPath.c_str(), slot.token.get(), tokenLength, slot.sequence, seen);
    }
}

std::size_t BCNCrashesLogBuffer::processSavedFiles(const std::function<bool(const std::vector<std::uint8_t>&, const std::optional<std::string>&)>& consume)
{
    std::size_t consumed = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(m_directory, ec);
    if (ec) {
        BCNLogError(kLogTag, "Couldn't get files in the directory \"" + m_directory + "\"");
        return 0;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : it)
        if (entry.path().extension() == std::string(".") + kBufferExtension)
            files.push_back(entry.path());
    for (const auto& path : files) {
        auto bytes = readFile(path, kSlotCapacity);
        if (bytes && !bytes->empty()) {
            auto tokenFile = path;
            tokenFile.replace_extension(kTokenExtension);
            std::optional<std::string> token;
            if (auto tokenBytes = readFile(tokenFile, kTokenCapacity))
                token = std::string(tokenBytes->begin(), tokenBytes->end());
            if (!consume(*bytes, token))
                continue;
            ++consumed;
            std::filesystem::remove(tokenFile, ec);
        }
        emptyFile(path);
    }
    return consumed;
}

bool BCNCrashesLogBuffer::emptyBufferFiles()
{
    std::error_code ec;
    std::filesystem::directory_iterator it(m_directory, ec);
    if (ec) {
        BCNLogError(kLogTag, "Couldn't get files in the directory \"" + m_directory + "\"");
        return false;
    }
    for (const auto& entry : it) {
        std::error_code sizeError;
        if (entry.path().extension() == std::string(".") + kBufferExtension && entry.file_size(sizeError) > 0 && !sizeError)
            emptyFile(entry.path());
    }
    return true;
}

void BCNCrashesLogBuffer::install(BCNCrashesLogBuffer* buffer) noexcept { g_installed.store(buffer, std::memory_order_release); }
BCNCrashesLogBuffer* BCNCrashesLogBuffer::installed() noexcept { return g_installed.load(std::memory_order_acquire); }

extern "C" void bcn_save_log_buffer()
{
    if (BCNCrashesLogBuffer* buffer = BCNCrashesLogBuffer::installed())
        buffer->saveToFiles();
}
