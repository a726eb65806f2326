#pragma once
// Logs in flight: a copy of every log between the moment a service hands it to its channel and the
// moment the channel has stored it, so that a crash in that window does not lose it. The crash
// handler writes every slot to its own file; the next launch reads the files back.
//
// The slots are allocated once, when the buffer is made, and never move: the crash-time writer
// reads them in place with no lock and no allocation, possibly while another thread is filling
// one. Each slot carries a sequence number (odd while it is being changed), so a slot caught
// half-written is saved empty rather than torn.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

class BCNCrashesLogBuffer {
public:
    static constexpr std::size_t kSlotCount = 60;
    // A log archive bigger than this is not buffered (crash logs and attachments never are).
    static constexpr std::size_t kSlotCapacity = 32 * 1024;
    static constexpr std::size_t kTokenCapacity = 1024;
    static constexpr const char* kBufferExtension = "bcncrasheslogbuffer";
    static constexpr const char* kTokenExtension = "targettoken";

    // Creates the directory and one empty buffer file per slot where none exists yet (a file saved
    // by a crash is kept until it is read).
    explicit BCNCrashesLogBuffer(std::string directory);
    ~BCNCrashesLogBuffer();
    BCNCrashesLogBuffer(const BCNCrashesLogBuffer&) = delete;
    BCNCrashesLogBuffer& operator=(const BCNCrashesLogBuffer&) = delete;

    const std::string& directory() const { return m_directory; }
    std::string bufferPath(std::size_t slot) const;
    std::string tokenPath(std::size_t slot) const;

    // Copies a log into a free slot, or over the oldest one (lowest index among equal times) when
    // all are taken; the slot's token is always the new log's own. Returns the slot, or none when
    // the archive is empty or too big.
    std::optional<std::size_t> bufferLog(std::span<const std::uint8_t> archive, const std::string& encryptedToken,
        const std::string& internalId, double timestamp);
    // Frees every slot holding that log. Once a crash is being saved, the slot's file is removed
    // too: the log is now in the store and must not also come back from the buffer.
    void releaseLog(const std::string& internalId);

    // What a slot holds now (tests and diagnostics).
    struct SlotContents {
        std::vector<std::uint8_t> archive;
        std::string token;
        std::string internalId;
        double timestamp = 0;
    };
    SlotContents slotContents(std::size_t slot) const;

    // Crash-time writer: open/write/close only, no lock, no allocation.
    void saveToFiles() noexcept;
    bool writeStarted() const noexcept { return m_writeStarted.load(std::memory_order_acquire); }

    // After a restart: calls `consume` for each non-empty buffer file with its bytes and its token
    // text (when it has a token file). When `consume` returns true the file is emptied and its
    // token file removed; when false (the bytes could not be read back) both are left as they are.
    // Empty files are emptied again, harmlessly. Returns how many files were consumed.
    std::size_t processSavedFiles(const std::function<bool(const std::vector<std::uint8_t>&, const std::optional<std::string>&)>& consume);
    // Empties every non-empty buffer file (token files and slots are left). False when the
    // directory cannot be listed.
    bool emptyBufferFiles();

    // The buffer the crash handler saves (one per process); none by default.
    static void install(BCNCrashesLogBuffer* buffer) noexcept;
    static BCNCrashesLogBuffer* installed() noexcept;

private:
    struct Slot {
        std::string bufferPath;
        std::string tokenPath;
        std::atomic<std::uint32_t> sequence { 0 };
        std::atomic<std::uint32_t> length { 0 };
        std::atomic<std::uint32_t> tokenLength { 0 };
        std::unique_ptr<std::uint8_t[]> bytes;
        std::unique_ptr<char[]> token;
        std::string internalId;
        double timestamp = 0;
    };
    void fill(Slot& slot, std::span<const std::uint8_t> archive, const std::string& token, const std::string& internalId, double timestamp);
    static void clear(Slot& slot);

    std::string m_directory;
    std::array<Slot, kSlotCount> m_slots;
    std::atomic<bool> m_writeStarted { false };
    mutable std::mutex m_mutex;
};

// The crash reporter's post-crash callback: saves the installed buffer. Its arguments are unused.
extern "C" void bcn_save_log_buffer();
