#pragma once
// Uniform type identifiers: a fixed registry of the types this system reads, writes or
// refuses, with conformance, preferred file extensions and MIME types, and detection of a
// file's type from its first bytes (falling back to its extension). Any thread.

#include <optional>
#include <string>
#include <vector>

namespace images {

// Identifiers the rest of the system names.
extern const std::string kUTTypeItem;          // "public.item"
extern const std::string kUTTypeContent;       // "public.content"
extern const std::string kUTTypeData;          // "public.data"
extern const std::string kUTTypeDirectory;     // "public.directory"
extern const std::string kUTTypeFileURL;       // "public.file-url"
extern const std::string kUTTypeFolder;        // "public.folder"
extern const std::string kUTTypeImage;         // "public.image"
extern const std::string kUTTypeRawImage;      // "public.camera-raw-image"
extern const std::string kUTTypeJPEG;          // "public.jpeg"
extern const std::string kUTTypePNG;           // "public.png"
extern const std::string kUTTypeTIFF;          // "public.tiff"
extern const std::string kUTTypeGIF;           // "com.compuserve.gif"
extern const std::string kUTTypeHEIC;          // "public.heic"
extern const std::string kUTTypeHEIF;          // "public.heif"
extern const std::string kUTTypeBMP;           // "com.microsoft.bmp"
extern const std::string kUTTypeWebP;          // "org.webmproject.webp"
extern const std::string kUTTypeAudiovisualContent; // "public.audiovisual-content"
extern const std::string kUTTypeMovie;         // "public.movie"
extern const std::string kUTTypeMPEG4;         // "public.mpeg-4"
extern const std::string kUTTypeQuickTimeMovie; // "com.apple.quicktime-movie"
extern const std::string kUTTypePDF;           // "com.adobe.pdf"
extern const std::string kUTTypeText;          // "public.text"
extern const std::string kUTTypePlainText;     // "public.plain-text"
extern const std::string kUTTypeHTML;          // "public.html"

class UTType {
public:
    // A registered type; none for an identifier we don't know.
    static std::optional<UTType> typeWithIdentifier(const std::string& identifier);
    // The registered type whose extensions include `extension` (any case, without the dot).
    static std::optional<UTType> typeWithFilenameExtension(const std::string& extension);
    static std::optional<UTType> typeWithMIMEType(const std::string& mimeType);

    const std::string& identifier() const { return m_identifier; }
    // First listed extension / MIME type; empty when the type has none.
    std::string preferredFilenameExtension() const;
    std::string preferredMIMEType() const;
    const std::vector<std::string>& filenameExtensions() const;
    const std::vector<std::string>& mimeTypes() const;
    // The direct parents of this type.
    const std::vector<std::string>& supertypes() const;
    // True for the type itself and every ancestor.
    bool conformsTo(const std::string& identifier) const;
    bool conformsTo(const UTType& other) const { return conformsTo(other.identifier()); }

    bool operator==(const UTType& other) const { return m_identifier == other.m_identifier; }

private:
    explicit UTType(std::string identifier) : m_identifier(std::move(identifier)) { }
    std::string m_identifier;
};

// Does `identifier` conform to `parent`? Unknown identifiers conform only to themselves.
bool typeConformsTo(const std::string& identifier, const std::string& parent);
// The file name extensions of every registered type that conforms to `identifier` (all of
// an image's kinds for "public.image"), each once.
std::vector<std::string> filenameExtensionsConformingTo(const std::string& identifier);

// The type of the given bytes (at least the first few dozen of a file), using the file's
// extension to tell apart formats that share a container (camera RAW files that are TIFFs
// inside); falls back to the extension when the content is not recognised. Empty when
// neither gives a type.
std::string typeOfData(const uint8_t* bytes, size_t size, const std::string& extension);
// The type an image decoder gives the bytes: as typeOfData, except that the extension alone
// decides only for types without a signature we check. A file named ".jpg" (or ".png", ".nef",
// ...) whose bytes are not of that kind has no type, so it is never taken for an image.
std::string typeOfContent(const uint8_t* bytes, size_t size, const std::string& extension);
// The type of a file: "public.folder" for a directory, else by content and extension; empty
// when the file cannot be read and its extension names no type.
std::string typeOfFile(const std::string& path);

} // namespace images
