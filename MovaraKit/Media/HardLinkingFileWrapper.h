#pragma once
// A regular-file wrapper made from an existing file that, when written, hard-links the
// destination to the file its contents came from instead of copying the bytes (a copy where
// the file system can't link). Big movies in saved packages then take no extra space or time.
// The wrapper keeps the file open, so its contents stay valid if the file is replaced. Not
// thread-safe: one thread at a time.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"

enum FileWrapperWritingOptions : unsigned {
    FileWrapperWritingAtomic = 1 << 0,       // always the case here: the destination is replaced whole
    FileWrapperWritingWithNameUpdating = 1 << 1,
};

class HardLinkingFileWrapper {
public:
    // nullptr and the reading error (Cocoa domain) when `url` is not a readable regular file.
    static std::shared_ptr<HardLinkingFileWrapper> initWithRegularFileURL(const foundation::URL& url,
                                                                          foundation::ErrorPtr* error = nullptr);
    ~HardLinkingFileWrapper();
    HardLinkingFileWrapper(const HardLinkingFileWrapper&) = delete;
    HardLinkingFileWrapper& operator=(const HardLinkingFileWrapper&) = delete;

    // Where the contents are on disk: the file it was made from, then each successful destination.
    const std::optional<foundation::URL>& originalURL() const { return m_originalURL; }
    // The file's bytes, memory-mapped on first use (empty for an empty file or when mapping fails).
    std::span<const uint8_t> regularFileContents() const;
    uint64_t size() const { return m_size; }

    // Writes the contents to `url`, replacing what is there. `originalContentsURL` (else
    // originalURL()) names where the same bytes already are: the destination is linked to it
    // when it still holds them, else the bytes are written. On success originalURL() becomes `url`;
    // on failure nothing at `url` changes and originalURL() stays.
    bool writeToURL(const foundation::URL& url, unsigned options, const std::optional<foundation::URL>& originalContentsURL,
                    foundation::ErrorPtr* error = nullptr);

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const Identity&) const = default;
    };

    HardLinkingFileWrapper() = default;
    // Whether the file at `path` is one we know to hold our bytes.
    bool holdsOurContents(const std::string& path) const;
    bool copyContentsTo(const std::string& path, foundation::ErrorPtr* error) const;

    std::optional<foundation::URL> m_originalURL;
    int m_fd = -1;
    uint64_t m_size = 0;
    Identity m_source;                 // the file opened at creation
    std::optional<Identity> m_written; // the last destination, when it was a copy
    mutable const uint8_t* m_map = nullptr;
    mutable bool m_mapTried = false;
};
