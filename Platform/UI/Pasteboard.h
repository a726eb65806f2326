#pragma once
// Pasteboards: the general one (copy and paste) and named ones that carry the data of a
// drag. A pasteboard holds items; each item offers its data under one or more type
// identifiers. File and web URLs are written and read as the platform does (an item with a
// "public.file-url" or "public.url" string). Thread-safe.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/URL.h"

namespace ui {

extern const std::string NSPasteboardTypeFileURL; // "public.file-url"
extern const std::string NSPasteboardTypeURL;     // "public.url"
extern const std::string NSPasteboardTypeString;  // "public.utf8-plain-text"
extern const std::string NSPasteboardTypePNG;     // "public.png"
extern const std::string NSPasteboardTypeTIFF;    // "public.tiff"
extern const std::string NSPasteboardNameGeneral; // "Apple CFPasteboard general"
extern const std::string NSPasteboardNameDrag;    // "Apple CFPasteboard drag"

class PasteboardItem {
public:
    PasteboardItem() = default;
    // An item for a URL: "public.file-url" for a file URL, else "public.url".
    static PasteboardItem itemWithURL(const foundation::URL& url);
    static PasteboardItem itemWithString(const std::string& string, const std::string& type = NSPasteboardTypeString);

    std::vector<std::string> types() const;
    void setStringForType(const std::string& string, const std::string& type);
    void setDataForType(std::vector<uint8_t> data, const std::string& type);
    std::optional<std::string> stringForType(const std::string& type) const;
    std::optional<std::vector<uint8_t>> dataForType(const std::string& type) const;

private:
    std::vector<std::pair<std::string, std::vector<uint8_t>>> m_data; // in the order written
};

class Pasteboard {
public:
    static std::shared_ptr<Pasteboard> generalPasteboard();
    // The pasteboard of that name, made on first use.
    static std::shared_ptr<Pasteboard> pasteboardWithName(const std::string& name);
    // A new pasteboard of its own (a drag in flight, a test).
    static std::shared_ptr<Pasteboard> pasteboardWithUniqueName();

    const std::string& name() const { return m_name; }
    long changeCount() const;
    // Empties the pasteboard; returns the new change count.
    long clearContents();
    // Adds items after those already there.
    bool writeObjects(const std::vector<PasteboardItem>& items);
    bool writeURLs(const std::vector<foundation::URL>& urls);
    // Writes into the first item (making one when empty), as the platform's setString does.
    bool setStringForType(const std::string& string, const std::string& type);
    std::optional<std::string> stringForType(const std::string& type) const;

    // Every type offered by any item, in order of first appearance.
    std::vector<std::string> types() const;
    std::optional<std::string> availableTypeFromArray(const std::vector<std::string>& types) const;
    std::vector<PasteboardItem> pasteboardItems() const;
    // The URLs of the items, in pasteboard order: file URLs and, unless `fileURLsOnly`, web
    // URLs. Strings that do not parse as URLs are skipped.
    std::vector<foundation::URL> readURLs(bool fileURLsOnly) const;

    // Replaces the contents with one item that will offer `types`; the data follows through
    // setDataForType. Returns the new change count.
    long declareTypes(const std::vector<std::string>& types);
    // Writes into the first item (making one when empty).
    bool setDataForType(std::vector<uint8_t> data, const std::string& type);
    // The data of the first item that offers `type`.
    std::optional<std::vector<uint8_t>> dataForType(const std::string& type) const;
    // Whether some item offers data of one of `types` or of a type conforming to one.
    bool canReadItemWithDataConformingToTypes(const std::vector<std::string>& types) const;

    // What an image reader takes from a pasteboard, item by item: the file URL of an image
    // file that the bitmap decoders read, else a picture held as image data (PNG, TIFF, JPEG).
    struct ImageObject {
        std::optional<foundation::URL> fileURL;
        std::shared_ptr<class Image> image;
    };
    std::vector<ImageObject> readImageFileURLsAndImages() const;
    bool canReadImageFileURLsOrImages() const;

    // Called on the reading thread at the start of every read of the contents (not of the change
    // count), outside the pasteboard's lock: whoever fills the pasteboard from elsewhere (the
    // desktop's clipboard) brings contents still on their way in there, or gives up on them.
    // One hook at a time; an empty function removes it.
    using ReadHook = std::function<void()>;
    void setReadHook(ReadHook hook);

    explicit Pasteboard(std::string name) : m_name(std::move(name)) { }

private:
    void beforeRead() const;

    std::string m_name;
    mutable std::mutex m_hookMutex;
    std::shared_ptr<const ReadHook> m_readHook;
    mutable std::mutex m_mutex;
    std::vector<PasteboardItem> m_items;
    long m_changeCount = 0;
};

using PasteboardPtr = std::shared_ptr<Pasteboard>;

} // namespace ui
