#pragma once
// The general pasteboard as the desktop's clipboard. What the application writes to the general
// pasteboard is offered to other applications once the main loop's turn is over; what another
// application copies replaces the general pasteboard's contents: they are emptied at once and
// filled as soon as the other application has handed its data over.
//
// Types map to the desktop's MIME types: pictures ("public.png", "public.tiff", "public.jpeg") to
// image/png, image/tiff and image/jpeg, text to text/plain;charset=utf-8, file URLs to
// text/uri-list, and every other type identifier (the frameworks' own, such as
// "com.movara.CanvasObject") to "application/x-" and the identifier in lower case, as MIME types
// know no case. Of a picture offered in several forms only the first of PNG, TIFF and JPEG is
// taken; of the "application/x-" types only the application's own (named at open, or written
// by it) are taken, the other applications' private types never.
//
// Reading the general pasteboard on the main thread while another application's data is still
// on its way waits for it, running GLib's main context (not the run loop's performed blocks) so
// that the data can arrive. An application that goes silent for readTimeout() seconds, or takes
// a minute in all, is given up on: the pasteboard then reads as empty. Data of one type larger
// than maximumDataLength() is refused (that type stays away). Reads on other threads never wait:
// they see what has arrived. Main thread only, one bridge at a time, within a GtkDesktop's life.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ui {

class ClipboardBridge {
public:
    static constexpr std::size_t DefaultMaximumDataLength = std::size_t(256) << 20;
    static constexpr double DefaultReadTimeout = 5;

    // Bridges the default display's clipboard; none without a display. `ownTypes` are the type
    // identifiers of the application's own data, spelled as the application spells them: the
    // desktop hands them back in lower case, and these say how to spell them again.
    static std::unique_ptr<ClipboardBridge> open(const std::vector<std::string>& ownTypes = {});
    ~ClipboardBridge();

    ClipboardBridge(const ClipboardBridge&) = delete;
    ClipboardBridge& operator=(const ClipboardBridge&) = delete;

    // Offers the general pasteboard's contents now if they changed since they were last offered
    // or read (what the end of every turn of the main loop does).
    void synchronize();

    // Whether another application's data is still on its way to the general pasteboard.
    bool isReceiving() const;

    std::size_t maximumDataLength() const;
    void setMaximumDataLength(std::size_t length);
    double readTimeout() const;
    void setReadTimeout(double seconds);

    struct Impl;

private:
    ClipboardBridge();
    std::shared_ptr<Impl> m_impl;
};

// The desktop's MIME type for a pasteboard type and back; none for types that do not cross.
// Own types come back in lower case.
std::optional<std::string> mimeTypeForPasteboardType(const std::string& type);
std::optional<std::string> pasteboardTypeForMimeType(const std::string& mimeType);

} // namespace ui
