#include "Platform/Images/UTType.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "Platform/Foundation/StringUtils.h"

namespace images {

const std::string kUTTypeItem = "public.item";
const std::string kUTTypeContent = "public.content";
const std::string kUTTypeData = "public.data";
const std::string kUTTypeDirectory = "public.directory";
const std::string kUTTypeFolder = "public.folder";
const std::string kUTTypeFileURL = "public.file-url";
const std::string kUTTypeImage = "public.image";
const std::string kUTTypeRawImage = "public.camera-raw-image";
const std::string kUTTypeJPEG = "public.jpeg";
const std::string kUTTypePNG = "public.png";
const std::string kUTTypeTIFF = "public.tiff";
const std::string kUTTypeGIF = "com.compuserve.gif";
const std::string kUTTypeHEIC = "public.heic";
const std::string kUTTypeHEIF = "public.heif";
const std::string kUTTypeBMP = "com.microsoft.bmp";
const std::string kUTTypeWebP = "org.webmproject.webp";
const std::string kUTTypeAudiovisualContent = "public.audiovisual-content";
const std::string kUTTypeMovie = "public.movie";
const std::string kUTTypeMPEG4 = "public.mpeg-4";
const std::string kUTTypeQuickTimeMovie = "com.apple.quicktime-movie";
const std::string kUTTypePDF = "com.adobe.pdf";
const std::string kUTTypeText = "public.text";
const std::string kUTTypePlainText = "public.plain-text";
const std::string kUTTypeHTML = "public.html";

namespace {

struct Entry {
    std::vector<std::string> supertypes;
    std::vector<std::string> extensions;
    std::vector<std::string> mimeTypes;
};

const std::map<std::string, Entry>& registry()
{
    static const std::map<std::string, Entry> r = {
        {"public.item", {{}, {}, {}}},
        {"public.content", {{}, {}, {}}},
        {"public.data", {{"public.item"}, {}, {"application/octet-stream"}}},
        {"public.directory", {{"public.item"}, {}, {}}},
        {"public.folder", {{"public.directory"}, {}, {}}},
        {"public.image", {{"public.data", "public.content"}, {}, {}}},
        {"public.camera-raw-image", {{"public.image"}, {}, {}}},
        {"public.jpeg", {{"public.image"}, {"jpeg", "jpg", "jpe"}, {"image/jpeg"}}},
        {"public.png", {{"public.image"}, {"png"}, {"image/png"}}},
        {"public.tiff", {{"public.image"}, {"tiff", "tif"}, {"image/tiff"}}},
        {"com.compuserve.gif", {{"public.image"}, {"gif"}, {"image/gif"}}},
        {"public.heif", {{"public.image"}, {"heif"}, {"image/heif"}}},
        {"public.heic", {{"public.heif"}, {"heic"}, {"image/heic"}}},
        {"com.microsoft.bmp", {{"public.image"}, {"bmp"}, {"image/bmp"}}},
        {"org.webmproject.webp", {{"public.image"}, {"webp"}, {"image/webp"}}},
        {"com.canon.cr2-raw-image", {{"public.camera-raw-image"}, {"cr2"}, {}}},
        {"com.canon.cr3-raw-image", {{"public.camera-raw-image"}, {"cr3"}, {}}},
        {"com.canon.crw-raw-image", {{"public.camera-raw-image"}, {"crw"}, {}}},
        {"com.nikon.raw-image", {{"public.camera-raw-image"}, {"nef"}, {}}},
        {"com.nikon.nrw-raw-image", {{"public.camera-raw-image"}, {"nrw"}, {}}},
        {"com.sony.arw-raw-image", {{"public.camera-raw-image"}, {"arw"}, {}}},
        {"com.sony.sr2-raw-image", {{"public.camera-raw-image"}, {"sr2"}, {}}},
        {"com.adobe.raw-image", {{"public.camera-raw-image"}, {"dng"}, {"image/x-adobe-dng"}}},
        {"com.fuji.raw-image", {{"public.camera-raw-image"}, {"raf"}, {}}},
        {"com.olympus.raw-image", {{"public.camera-raw-image"}, {"orf"}, {}}},
        {"com.panasonic.rw2-raw-image", {{"public.camera-raw-image"}, {"rw2"}, {}}},
        {"com.pentax.raw-image", {{"public.camera-raw-image"}, {"pef"}, {}}},
        {"com.samsung.raw-image", {{"public.camera-raw-image"}, {"srw"}, {}}},
        {"com.leica.raw-image", {{"public.camera-raw-image"}, {"rwl"}, {}}},
        {"public.audiovisual-content", {{"public.data", "public.content"}, {}, {}}},
        {"public.movie", {{"public.audiovisual-content"}, {}, {}}},
        {"public.mpeg-4", {{"public.movie"}, {"mp4", "mpeg4"}, {"video/mp4"}}},
        {"com.apple.quicktime-movie", {{"public.movie"}, {"mov", "qt"}, {"video/quicktime"}}},
        {"com.apple.m4v-video", {{"public.movie"}, {"m4v"}, {"video/x-m4v"}}},
        {"com.adobe.pdf", {{"public.data", "public.content"}, {"pdf"}, {"application/pdf"}}},
        {"public.text", {{"public.data", "public.content"}, {}, {}}},
        {"public.plain-text", {{"public.text"}, {"txt", "text"}, {"text/plain"}}},
        {"public.html", {{"public.text"}, {"html", "htm"}, {"text/html"}}},
    };
    return r;
}

const Entry* entryOf(const std::string& id)
{
    auto it = registry().find(id);
    return it == registry().end() ? nullptr : &it->second;
}

bool conforms(const std::string& id, const std::string& parent, int depth)
{
    if (id == parent)
        return true;
    if (depth > 16)
        return false;
    const Entry* e = entryOf(id);
    if (!e)
        return false;
    for (const auto& s : e->supertypes)
        if (conforms(s, parent, depth + 1))
            return true;
    return false;
}

bool startsWith(const uint8_t* b, size_t n, size_t at, const char* magic, size_t len)
{
    return n >= at + len && std::memcmp(b + at, magic, len) == 0;
}

std::string typeOfExtension(const std::string& ext)
{
    if (ext.empty())
        return {};
    auto t = UTType::typeWithFilenameExtension(ext);
    return t ? t->identifier() : std::string();
}

bool isRawExtension(const std::string& ext)
{
    const std::string t = typeOfExtension(ext);
    return !t.empty() && conforms(t, kUTTypeRawImage, 0);
}

// ISO base media files: the brand in the "ftyp" box tells HEIF images from movies.
std::string typeOfISOBMFF(const uint8_t* b, size_t n)
{
    if (!startsWith(b, n, 4, "ftyp", 4) || n < 12)
        return {};
    std::vector<std::string> brands;
    brands.emplace_back(reinterpret_cast<const char*>(b + 8), 4);
    uint32_t boxSize = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    for (size_t at = 16; at + 4 <= std::min<size_t>(n, boxSize); at += 4)
        brands.emplace_back(reinterpret_cast<const char*>(b + at), 4);
    auto has = [&](const char* brand) { return std::find(brands.begin(), brands.end(), brand) != brands.end(); };
    if (brands[0] == "crx ")
        return "com.canon.cr3-raw-image";
    if (brands[0] == "heic" || brands[0] == "heix" || brands[0] == "heim" || brands[0] == "heis" || has("heic"))
        return kUTTypeHEIC;
    if (brands[0] == "mif1" || brands[0] == "msf1" || has("mif1"))
        return kUTTypeHEIF;
    if (brands[0] == "qt  ")
        return kUTTypeQuickTimeMovie;
    if (brands[0] == "M4V " || brands[0] == "M4VH")
        return "com.apple.m4v-video";
    return kUTTypeMPEG4;
}

} // namespace

std::optional<UTType> UTType::typeWithIdentifier(const std::string& identifier)
{
    if (!entryOf(identifier))
        return std::nullopt;
    return UTType(identifier);
}

std::optional<UTType> UTType::typeWithFilenameExtension(const std::string& extension)
{
    std::string ext = foundation::asciiLowercase(extension);
    if (!ext.empty() && ext[0] == '.')
        ext.erase(0, 1);
    if (ext.empty())
        return std::nullopt;
    for (const auto& [id, e] : registry())
        if (std::find(e.extensions.begin(), e.extensions.end(), ext) != e.extensions.end())
            return UTType(id);
    return std::nullopt;
}

std::optional<UTType> UTType::typeWithMIMEType(const std::string& mimeType)
{
    const std::string m = foundation::asciiLowercase(mimeType);
    for (const auto& [id, e] : registry())
        if (std::find(e.mimeTypes.begin(), e.mimeTypes.end(), m) != e.mimeTypes.end())
            return UTType(id);
    return std::nullopt;
}

std::string UTType::preferredFilenameExtension() const
{
    const Entry* e = entryOf(m_identifier);
    return e && !e->extensions.empty() ? e->extensions.front() : std::string();
}

std::string UTType::preferredMIMEType() const
{
    const Entry* e = entryOf(m_identifier);
    return e && !e->mimeTypes.empty() ? e->mimeTypes.front() : std::string();
}

const std::vector<std::string>& UTType::filenameExtensions() const { return entryOf(m_identifier)->extensions; }
const std::vector<std::string>& UTType::mimeTypes() const { return entryOf(m_identifier)->mimeTypes; }
const std::vector<std::string>& UTType::supertypes() const { return entryOf(m_identifier)->supertypes; }

bool UTType::conformsTo(const std::string& identifier) const { return conforms(m_identifier, identifier, 0); }

bool typeConformsTo(const std::string& identifier, const std::string& parent) { return conforms(identifier, parent, 0); }

std::vector<std::string> filenameExtensionsConformingTo(const std::string& identifier)
{
    std::vector<std::string> extensions;
    for (const auto& [id, entry] : registry()) {
        if (!conforms(id, identifier, 0))
            continue;
        for (const auto& ext : entry.extensions)
            if (std::find(extensions.begin(), extensions.end(), ext) == extensions.end())
                extensions.push_back(ext);
    }
    return extensions;
}

namespace {

// The type the bytes show, with the extension telling apart formats that share a container;
// empty when the bytes are not of a kind we recognise.
std::string typeBySignature(const uint8_t* b, size_t n, const std::string& ext)
{
    if (startsWith(b, n, 0, "\xFF\xD8\xFF", 3))
        return kUTTypeJPEG;
    if (startsWith(b, n, 0, "\x89PNG\r\n\x1A\n", 8))
        return kUTTypePNG;
    if (startsWith(b, n, 0, "GIF87a", 6) || startsWith(b, n, 0, "GIF89a", 6))
        return kUTTypeGIF;
    if (startsWith(b, n, 0, "FUJIFILMCCD-RAW", 15))
        return "com.fuji.raw-image";
    if (startsWith(b, n, 0, "IIRO", 4) || startsWith(b, n, 0, "IIRS", 4) || startsWith(b, n, 0, "MMOR", 4))
        return "com.olympus.raw-image";
    if (startsWith(b, n, 0, "IIU\0", 4))
        return "com.panasonic.rw2-raw-image";
    if (startsWith(b, n, 0, "II*\0", 4) || startsWith(b, n, 0, "MM\0*", 4)) {
        // Most camera RAW formats are TIFF containers; only the extension tells them apart.
        if (startsWith(b, n, 8, "CR\x02", 3))
            return "com.canon.cr2-raw-image";
        if (isRawExtension(ext))
            return typeOfExtension(ext);
        return kUTTypeTIFF;
    }
    if (std::string t = typeOfISOBMFF(b, n); !t.empty())
        return t;
    if (startsWith(b, n, 0, "%PDF-", 5))
        return kUTTypePDF;
    if (startsWith(b, n, 0, "RIFF", 4) && startsWith(b, n, 8, "WEBP", 4))
        return kUTTypeWebP;
    if (startsWith(b, n, 0, "BM", 2) && ext == "bmp")
        return kUTTypeBMP;
    return {};
}

// Types whose files typeBySignature recognises: for these, bytes of another kind contradict
// the name rather than leave the type open. Canon's old CRW is the one RAW kind we can't tell.
bool hasCheckedSignature(const std::string& type)
{
    if (typeConformsTo(type, kUTTypeRawImage))
        return type != "com.canon.crw-raw-image";
    return type == kUTTypeJPEG || type == kUTTypePNG || type == kUTTypeGIF || type == kUTTypeTIFF || type == kUTTypeHEIC
        || type == kUTTypeHEIF || type == kUTTypeBMP || type == kUTTypeWebP || type == kUTTypePDF;
}

} // namespace

std::string typeOfData(const uint8_t* b, size_t n, const std::string& extension)
{
    const std::string ext = foundation::asciiLowercase(extension);
    if (std::string t = typeBySignature(b, n, ext); !t.empty())
        return t;
    return typeOfExtension(ext);
}

std::string typeOfContent(const uint8_t* b, size_t n, const std::string& extension)
{
    const std::string ext = foundation::asciiLowercase(extension);
    if (std::string t = typeBySignature(b, n, ext); !t.empty())
        return t;
    std::string byName = typeOfExtension(ext);
    return hasCheckedSignature(byName) ? std::string() : byName;
}

std::string typeOfFile(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return kUTTypeFolder;
    std::string ext;
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
        ext = path.substr(dot + 1);
    uint8_t head[64] = {};
    size_t n = 0;
    std::ifstream in(path, std::ios::binary);
    if (in) {
        in.read(reinterpret_cast<char*>(head), sizeof head);
        n = static_cast<size_t>(in.gcount());
    }
    return typeOfData(head, n, ext);
}

} // namespace images
