#include "Platform/UI/Pasteboard.h"

#include "Platform/Images/UTType.h"
#include "Platform/UI/Image.h"

#include <algorithm>
#include <atomic>

namespace ui {

const std::string NSPasteboardTypeFileURL = "public.file-url";
const std::string NSPasteboardTypeURL = "public.url";
const std::string NSPasteboardTypeString = "public.utf8-plain-text";
const std::string NSPasteboardTypePNG = "public.png";
const std::string NSPasteboardTypeTIFF = "public.tiff";
const std::string NSPasteboardNameGeneral = "Apple CFPasteboard general";
const std::string NSPasteboardNameDrag = "Apple CFPasteboard drag";

PasteboardItem PasteboardItem::itemWithURL(const foundation::URL& url)
{
    PasteboardItem item;
    item.setStringForType(url.absoluteString(), url.isFileURL() ? NSPasteboardTypeFileURL : NSPasteboardTypeURL);
    return item;
}

PasteboardItem PasteboardItem::itemWithString(const std::string& string, const std::string& type)
{
    PasteboardItem item;
    item.setStringForType(string, type);
    return item;
}

std::vector<std::string> PasteboardItem::types() const
{
    std::vector<std::string> out;
    for (const auto& [type, data] : m_data)
        out.push_back(type);
    return out;
}

void PasteboardItem::setStringForType(const std::string& string, const std::string& type)
{
    setDataForType(std::vector<uint8_t>(string.begin(), string.end()), type);
}

void PasteboardItem::setDataForType(std::vector<uint8_t> data, const std::string& type)
{
    for (auto& entry : m_data) {
        if (entry.first == type) {
            entry.second = std::move(data);
            return;
        }
    }
    m_data.emplace_back(type, std::move(data));
}

std::optional<std::string> PasteboardItem::stringForType(const std::string& type) const
{
    auto data = dataForType(type);
    if (!data)
        return std::nullopt;
    return std::string(data->begin(), data->end());
}

std::optional<std::vector<uint8_t>> PasteboardItem::dataForType(const std::string& type) const
{
    for (const auto& entry : m_data) {
        if (entry.first == type)
            return entry.second;
    }
    return std::nullopt;
}

namespace {

std::mutex& registryMutex()
{
    static std::mutex m;
    return m;
}

std::map<std::string, std::shared_ptr<Pasteboard>>& registry()
{
    static std::map<std::string, std::shared_ptr<Pasteboard>> r;
    return r;
}

} // namespace

std::shared_ptr<Pasteboard> Pasteboard::generalPasteboard()
{
    return pasteboardWithName(NSPasteboardNameGeneral);
}

std::shared_ptr<Pasteboard> Pasteboard::pasteboardWithName(const std::string& name)
{
    std::lock_guard lock(registryMutex());
    auto& slot = registry()[name];
    if (!slot)
        slot = std::make_shared<Pasteboard>(name);
    return slot;
}

std::shared_ptr<Pasteboard> Pasteboard::pasteboardWithUniqueName()
{
    static std::atomic<long> counter {0};
    return std::make_shared<Pasteboard>("Quintor unique pasteboard " + std::to_string(++counter));
}

void Pasteboard::setReadHook(ReadHook hook)
{
    std::lock_guard lock(m_hookMutex);
    m_readHook = hook ? std::make_shared<const ReadHook>(std::move(hook)) : nullptr;
}

void Pasteboard::beforeRead() const
{
    std::shared_ptr<const ReadHook> hook;
    {
        std::lock_guard lock(m_hookMutex);
        hook = m_readHook;
    }
    if (hook)
        (*hook)();
}

long Pasteboard::changeCount() const
{
    std::lock_guard lock(m_mutex);
    return m_changeCount;
}

long Pasteboard::clearContents()
{
    std::lock_guard lock(m_mutex);
    m_items.clear();
    return ++m_changeCount;
}

bool Pasteboard::writeObjects(const std::vector<PasteboardItem>& items)
{
    std::lock_guard lock(m_mutex);
    m_items.insert(m_items.end(), items.begin(), items.end());
    ++m_changeCount;
    return true;
}

bool Pasteboard::writeURLs(const std::vector<foundation::URL>& urls)
{
    std::vector<PasteboardItem> items;
    for (const auto& url : urls)
        items.push_back(PasteboardItem::itemWithURL(url));
    return writeObjects(items);
}

bool Pasteboard::setStringForType(const std::string& string, const std::string& type)
{
    std::lock_guard lock(m_mutex);
    if (m_items.empty())
        m_items.emplace_back();
    m_items.front().setStringForType(string, type);
    ++m_changeCount;
    return true;
}

std::optional<std::string> Pasteboard::stringForType(const std::string& type) const
{
    beforeRead();
    std::lock_guard lock(m_mutex);
    for (const auto& item : m_items) {
        if (auto s = item.stringForType(type))
            return s;
    }
    return std::nullopt;
}

std::vector<std::string> Pasteboard::types() const
{
    beforeRead();
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& item : m_items) {
        for (const auto& type : item.types()) {
            if (std::find(out.begin(), out.end(), type) == out.end())
                out.push_back(type);
        }
    }
    return out;
}

std::optional<std::string> Pasteboard::availableTypeFromArray(const std::vector<std::string>& wanted) const
{
    const auto offered = types();
    for (const auto& type : wanted) {
        if (std::find(offered.begin(), offered.end(), type) != offered.end())
            return type;
    }
    return std::nullopt;
}

std::vector<PasteboardItem> Pasteboard::pasteboardItems() const
{
    beforeRead();
    std::lock_guard lock(m_mutex);
    return m_items;
}

std::vector<foundation::URL> Pasteboard::readURLs(bool fileURLsOnly) const
{
    std::vector<foundation::URL> out;
    for (const auto& item : pasteboardItems()) {
        std::optional<std::string> text = item.stringForType(NSPasteboardTypeFileURL);
        if (!text && !fileURLsOnly)
            text = item.stringForType(NSPasteboardTypeURL);
        if (!text)
            continue;
        auto url = foundation::URL::URLWithString(*text);
        // A URL must be absolute to mean anything on a pasteboard.
        if (!url || url->scheme().empty())
            continue;
        if (fileURLsOnly && !url->isFileURL())
            continue;
        out.push_back(*url);
    }
    return out;
}

long Pasteboard::declareTypes(const std::vector<std::string>&)
{
    std::lock_guard lock(m_mutex);
    m_items.clear();
    m_items.emplace_back();
    return ++m_changeCount;
}

bool Pasteboard::setDataForType(std::vector<uint8_t> data, const std::string& type)
{
    std::lock_guard lock(m_mutex);
    if (m_items.empty())
        m_items.emplace_back();
    m_items.front().setDataForType(std::move(data), type);
    ++m_changeCount;
    return true;
}

std::optional<std::vector<uint8_t>> Pasteboard::dataForType(const std::string& type) const
{
    beforeRead();
    std::lock_guard lock(m_mutex);
    for (const auto& item : m_items) {
        if (auto d = item.dataForType(type))
            return d;
    }
    return std::nullopt;
}

bool Pasteboard::canReadItemWithDataConformingToTypes(const std::vector<std::string>& wanted) const
{
    for (const auto& type : types()) {
        for (const auto& w : wanted) {
            if (type == w || images::typeConformsTo(type, w))
                return true;
        }
    }
    return false;
}

namespace {

// Image files that our bitmap decoders read (the platform's unfiltered bitmap types).
bool isReadableImageFile(const foundation::URL& url)
{
    if (!url.isFileURL())
        return false;
    const std::string type = images::typeOfFile(url.path());
    return !type.empty() && images::typeConformsTo(type, images::kUTTypeImage);
}

const std::vector<std::string>& imageDataTypes()
{
    static const std::vector<std::string> types = {NSPasteboardTypePNG, NSPasteboardTypeTIFF, images::kUTTypeJPEG};
    return types;
}

} // namespace

std::vector<Pasteboard::ImageObject> Pasteboard::readImageFileURLsAndImages() const
{
    std::vector<ImageObject> out;
    for (const auto& item : pasteboardItems()) {
        if (auto text = item.stringForType(NSPasteboardTypeFileURL)) {
            auto url = foundation::URL::URLWithString(*text);
            if (url && isReadableImageFile(*url)) {
                out.push_back({*url, nullptr});
                continue;
            }
        }
        for (const auto& type : imageDataTypes()) {
            auto data = item.dataForType(type);
            if (!data)
                continue;
            auto image = Image::imageWithData(std::move(*data));
            if (image && image->isValid()) {
                out.push_back({std::nullopt, image});
                break;
            }
        }
    }
    return out;
}

bool Pasteboard::canReadImageFileURLsOrImages() const
{
    for (const auto& item : pasteboardItems()) {
        if (auto text = item.stringForType(NSPasteboardTypeFileURL)) {
            auto url = foundation::URL::URLWithString(*text);
            if (url && isReadableImageFile(*url))
                return true;
        }
        for (const auto& type : imageDataTypes()) {
            if (item.dataForType(type))
                return true;
        }
    }
    return false;
}

} // namespace ui
