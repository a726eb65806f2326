#include "Platform/UI/Gtk/ClipboardBridge.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <utility>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/Pasteboard.h"

namespace ui {

namespace {

using Clock = std::chrono::steady_clock;

const std::string TextMimeType = "text/plain;charset=utf-8";
const std::string LegacyTextMimeType = "text/plain";
const std::string URIListMimeType = "text/uri-list";
const std::string OwnTypePrefix = "application/x-";

// Whatever an application does, one round of reading its data ends within this.
constexpr double TotalReadTimeout = 60;
constexpr gsize ReadChunk = 64 * 1024;

const std::vector<std::pair<std::string, std::string>>& knownTypes()
{
    static const std::vector<std::pair<std::string, std::string>> types = {
        {NSPasteboardTypePNG, "image/png"},
        {NSPasteboardTypeTIFF, "image/tiff"},
        {images::kUTTypeJPEG, "image/jpeg"},
        {NSPasteboardTypeString, TextMimeType},
        {NSPasteboardTypeFileURL, URIListMimeType},
    };
    return types;
}

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool equalIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && lowercase(a) == lowercase(b);
}

// A reverse-DNS type identifier ("com.movara.CanvasObject"): letters, digits, dots and dashes,
// with at least one dot.
bool isTypeIdentifier(const std::string& type)
{
    if (type.empty() || type.size() > 200 || type.find('.') == std::string::npos || type.front() == '.' || type.back() == '.')
        return false;
    for (char c : type)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-'))
            return false;
    return true;
}

bool isPublicType(const std::string& type)
{
    return lowercase(type).rfind("public.", 0) == 0;
}

double secondsSince(Clock::time_point then)
{
    return std::chrono::duration<double>(Clock::now() - then).count();
}

// Text as UTF-8 whatever the other application sent: C strings' terminating zeros go, the old
// untyped text of X is Latin-1, and what is not valid UTF-8 either way is mended.
std::string textFromData(std::vector<uint8_t> data, bool legacy)
{
    while (!data.empty() && data.back() == 0)
        data.pop_back();
    const auto* bytes = reinterpret_cast<const char*>(data.data());
    if (g_utf8_validate(bytes, gssize(data.size()), nullptr))
        return std::string(bytes, data.size());
    gchar* mended = legacy ? g_convert(bytes, gssize(data.size()), "UTF-8", "ISO-8859-1", nullptr, nullptr, nullptr)
                           : g_utf8_make_valid(bytes, gssize(data.size()));
    std::string text = mended ? mended : "";
    g_free(mended);
    return text;
}

// The X window that owns the clipboard, formats known or not; 0 for none, and where there is no
// X (elsewhere an offer comes with its formats).
unsigned long clipboardOwner(GdkDisplay* display)
{
#ifdef GDK_WINDOWING_X11
    if (GDK_IS_X11_DISPLAY(display)) {
        Display* xdisplay = gdk_x11_display_get_xdisplay(display);
        return XGetSelectionOwner(xdisplay, gdk_x11_get_xatom_by_name_for_display(display, "CLIPBOARD"));
    }
#endif
    (void)display;
    return 0;
}

} // namespace

std::optional<std::string> mimeTypeForPasteboardType(const std::string& type)
{
    for (const auto& [known, mime] : knownTypes())
        if (known == type)
            return mime;
    // Web addresses travel with file URLs in the URI list; the platform's other public types
    // have no counterpart here.
    if (isPublicType(type) || !isTypeIdentifier(type))
        return std::nullopt;
    // GTK looks MIME types up in lower case: a type asked for in capitals would never be found.
    return OwnTypePrefix + lowercase(type);
}

std::optional<std::string> pasteboardTypeForMimeType(const std::string& mimeType)
{
    const std::string mime = lowercase(mimeType);
    for (const auto& [type, known] : knownTypes())
        if (known == mime)
            return type;
    if (mime.rfind(OwnTypePrefix, 0) == 0) {
        const std::string type = mime.substr(OwnTypePrefix.size());
        if (isTypeIdentifier(type) && !isPublicType(type))
            return type;
    }
    return std::nullopt;
}

// GTK's reads of the clipboard on X are answered in the order they were asked for, per MIME type,
// and a read never leaves that queue until an answer comes, even when cancelled: a read of an
// application that never answers takes the answer meant for the next read of that type. So reads
// of the clipboard are never cancelled, the reads of one type are taken as interchangeable (the
// first to be answered serves whoever waits for that type), no second read of a type is asked of
// the same owner while it still has one to answer, and the types of one round are read one after another:
// two transfers at once would share GTK's one property and spoil each other.
struct ClipboardBridge::Impl : std::enable_shared_from_this<Impl> {
    // One round of reading what another application offers; chunk reads in flight hold it.
    struct Fetch {
        GCancellable* cancellable = g_cancellable_new(); // of the chunk reads only
        long changeCount = 0;          // the general pasteboard's, once emptied for this round
        unsigned long tenure = 0;      // the owner's, see ownerTenure()
        bool awaitingFormats = false;  // the owner has not said yet what it offers
        std::vector<std::pair<std::string, std::string>> wanted; // pasteboard type, MIME type
        std::size_t next = 0;          // the type being read
        bool waitingForStream = false;
        GInputStream* stream = nullptr;
        std::vector<uint8_t> data;
        std::vector<uint8_t> buffer = std::vector<uint8_t>(ReadChunk);
        std::vector<std::pair<std::string, std::vector<uint8_t>>> received; // pasteboard type, data
        Clock::time_point started = Clock::now();
        Clock::time_point lastProgress = started;

        const std::string& mime() const { return wanted[next].second; }
        void endStream()
        {
            if (stream) {
                g_object_unref(stream);
                stream = nullptr;
            }
            data.clear();
            data.shrink_to_fit();
        }
        ~Fetch()
        {
            g_cancellable_cancel(cancellable);
            endStream();
            g_object_unref(cancellable);
        }
    };

    // One read of the clipboard asked of GTK: it ends when an answer for its MIME type comes,
    // maybe long after, to whichever bridge is open then.
    struct Request {
        std::string mime;
        unsigned long tenure; // whose: see ownerTenure()
    };
    static std::weak_ptr<Impl>& current()
    {
        static std::weak_ptr<Impl> bridge;
        return bridge;
    }
    // Counts the clipboard's changes of hands as seen here (X reuses window numbers: a new owner
    // may have the number of an old one).
    static unsigned long& ownerTenure()
    {
        static unsigned long tenure = 0;
        return tenure;
    }
    // The requests not yet answered, the process's: they outlive bridges.
    static std::vector<Request>& requestsInFlight()
    {
        static std::vector<Request> requests;
        return requests;
    }

    GdkDisplay* display = nullptr;
    GdkClipboard* clipboard = nullptr;
    gulong changedHandler = 0;
    dispatch::RunLoop::ObserverId observer = 0;
    long syncedChangeCount = -1;
    std::vector<std::string> ownTypes;
    std::size_t maximumDataLength = DefaultMaximumDataLength;
    double readTimeout = DefaultReadTimeout;
    std::shared_ptr<Fetch> fetch;
    guint watchdog = 0;
    bool settling = false;
    GdkContentProvider* offered = nullptr; // our last offer
    unsigned long offeredBy = 0;           // the X window that made it
    unsigned long lastOwner = 0;           // the X window that held the clipboard last we looked

    ~Impl();
    void publish();
    void desktopChanged();
    void startFetch(std::vector<std::pair<std::string, std::string>> wanted, bool awaitingFormats);
    void dropFetch();
    void advance();
    void typeDone(bool ok);
    void readChunk();
    void complete();
    void settle();
    void checkFetch();
    std::optional<std::string> spelled(const std::string& type) const;

    static void requestAnswered(GObject* source, GAsyncResult* result, gpointer data);
    static void chunkRead(GObject* source, GAsyncResult* result, gpointer data);
};

ClipboardBridge::Impl::~Impl()
{
    dropFetch();
    if (changedHandler)
        g_signal_handler_disconnect(clipboard, changedHandler);
    if (clipboard)
        g_object_unref(clipboard);
    if (offered)
        g_object_unref(offered);
}

std::optional<std::string> ClipboardBridge::Impl::spelled(const std::string& type) const
{
    for (const auto& own : ownTypes)
        if (equalIgnoringCase(own, type))
            return own;
    return std::nullopt;
}

void ClipboardBridge::Impl::publish()
{
    // What the application writes now is newer than whatever is still coming from elsewhere.
    dropFetch();
    auto general = Pasteboard::generalPasteboard();
    const auto items = general->pasteboardItems();
    syncedChangeCount = general->changeCount();
    if (items.empty())
        return; // emptied on the way to new contents; the desktop keeps what it has
    std::vector<GdkContentProvider*> providers;
    auto add = [&](const std::string& mime, std::vector<uint8_t> data) {
        auto* held = new std::vector<uint8_t>(std::move(data));
        GBytes* bytes = g_bytes_new_with_free_func(held->data(), held->size(),
                                                   [](gpointer p) { delete static_cast<std::vector<uint8_t>*>(p); }, held);
        providers.push_back(gdk_content_provider_new_for_bytes(mime.c_str(), bytes));
        g_bytes_unref(bytes);
    };
    for (const auto& type : items.front().types()) {
        if (type == NSPasteboardTypeFileURL || type == NSPasteboardTypeURL)
            continue;
        auto mime = mimeTypeForPasteboardType(type);
        auto data = items.front().dataForType(type);
        if (!mime || !data)
            continue;
        if (!isPublicType(type) && std::find(ownTypes.begin(), ownTypes.end(), type) == ownTypes.end())
            ownTypes.push_back(type);
        add(*mime, std::move(*data));
    }
    // Every item's address, one a line, as file managers copy files.
    std::string uris;
    for (const auto& item : items) {
        auto url = item.stringForType(NSPasteboardTypeFileURL);
        if (!url)
            url = item.stringForType(NSPasteboardTypeURL);
        if (url)
            uris += *url + "\r\n";
    }
    if (!uris.empty())
        add(URIListMimeType, std::vector<uint8_t>(uris.begin(), uris.end()));
    if (providers.empty())
        return;
    GdkContentProvider* provider = gdk_content_provider_new_union(providers.data(), providers.size());
    gdk_clipboard_set_content(clipboard, provider);
    if (offered)
        g_object_unref(offered);
    offered = provider;
    offeredBy = clipboardOwner(display);
}

void ClipboardBridge::Impl::desktopChanged()
{
    // Our own offer coming back.
    if (gdk_clipboard_is_local(clipboard))
        return;
    GdkContentFormats* formats = gdk_clipboard_get_formats(clipboard);
    gsize count = 0;
    const char* const* mimes = gdk_content_formats_get_mime_types(formats, &count);
    // The application wrote to the pasteboard since it last offered or read it: that copy was
    // made after whatever GTK tells of now (an owner's formats come late), so it stands.
    if (Pasteboard::generalPasteboard()->changeCount() != syncedChangeCount) {
        publish();
        if (gdk_clipboard_is_local(clipboard))
            return;
    }
    const unsigned long owner = clipboardOwner(display);
    if (offered && owner && owner == offeredBy) {
        // Still ours: GTK took the late answer of the application that had the clipboard before
        // our copy for news. Our offer stands.
        gdk_clipboard_set_content(clipboard, offered);
        return;
    }
    // A new owner first shows without formats.
    if (count == 0 || owner != lastOwner)
        ++ownerTenure();
    lastOwner = owner;
    if (count == 0 && !owner) {
        // The owner is gone (it quit): what was read from it stays.
        dropFetch();
        return;
    }
    std::vector<std::pair<std::string, std::string>> wanted; // type, mime
    auto offers = [&](const std::string& mime) {
        for (gsize i = 0; i < count; ++i)
            if (lowercase(mimes[i]) == mime)
                return true;
        return false;
    };
    // One picture: the first form that keeps it best.
    for (const char* mime : {"image/png", "image/tiff", "image/jpeg"})
        if (offers(mime)) {
            wanted.emplace_back(*pasteboardTypeForMimeType(mime), mime);
            break;
        }
    if (offers(TextMimeType))
        wanted.emplace_back(NSPasteboardTypeString, TextMimeType);
    else if (offers(LegacyTextMimeType))
        wanted.emplace_back(NSPasteboardTypeString, LegacyTextMimeType);
    if (offers(URIListMimeType))
        wanted.emplace_back(NSPasteboardTypeFileURL, URIListMimeType);
    for (gsize i = 0; i < count; ++i) {
        const std::string mime = mimes[i];
        if (lowercase(mime).rfind(OwnTypePrefix, 0) != 0)
            continue;
        auto type = pasteboardTypeForMimeType(mime);
        if (!type)
            continue;
        // Only the application's own: other applications offer their private types in this form
        // too, any number of them, and none of it could be used here.
        const auto own = spelled(*type);
        if (!own)
            continue;
        if (std::none_of(wanted.begin(), wanted.end(), [&](const auto& w) { return w.first == own; }))
            wanted.emplace_back(*own, mime);
    }
    // GTK may tell of one owner's formats twice: the round already under way goes on.
    if (fetch && fetch->tenure == ownerTenure() && !fetch->awaitingFormats && fetch->wanted == wanted)
        return;
    // The user copied something else: what was on the general pasteboard is no longer what they
    // copied, whether or not the new data can come here.
    startFetch(std::move(wanted), count == 0);
}

void ClipboardBridge::Impl::startFetch(std::vector<std::pair<std::string, std::string>> wanted, bool awaitingFormats)
{
    dropFetch();
    auto general = Pasteboard::generalPasteboard();
    general->clearContents();
    syncedChangeCount = general->changeCount();
    if (wanted.empty() && !awaitingFormats)
        return;
    fetch = std::make_shared<Fetch>();
    fetch->changeCount = syncedChangeCount;
    fetch->tenure = ownerTenure();
    fetch->awaitingFormats = awaitingFormats;
    fetch->wanted = std::move(wanted);
    auto* self = new std::weak_ptr<Impl>(weak_from_this());
    watchdog = g_timeout_add_full(G_PRIORITY_DEFAULT, 100, [](gpointer data) -> gboolean {
        auto self = static_cast<std::weak_ptr<Impl>*>(data)->lock();
        if (!self)
            return G_SOURCE_REMOVE;
        self->checkFetch();
        return self->fetch ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    }, self, [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
    if (!awaitingFormats)
        advance();
}

void ClipboardBridge::Impl::dropFetch()
{
    // A chunk read in flight holds the round: cancelled, it lets go.
    if (fetch)
        g_cancellable_cancel(fetch->cancellable);
    fetch.reset();
    if (watchdog) {
        // Also from within the watchdog itself: its source is then gone once it returns.
        g_source_remove(watchdog);
        watchdog = 0;
    }
}

void ClipboardBridge::Impl::checkFetch()
{
    if (!fetch)
        return;
    const bool silent = secondsSince(fetch->lastProgress) > readTimeout;
    if (!silent && secondsSince(fetch->started) <= TotalReadTimeout)
        return;
    std::fprintf(stderr, "clipboard: the application that holds the clipboard %s; nothing of it is pasted\n",
                 silent ? "stopped answering" : "took too long handing its data over");
    dropFetch();
}

void ClipboardBridge::Impl::advance()
{
    if (fetch->next == fetch->wanted.size()) {
        complete();
        return;
    }
    // A new read is always asked for: only it makes the present owner answer. Whichever read of
    // the type is answered first brings that answer.
    fetch->waitingForStream = true;
    auto& inFlight = requestsInFlight();
    if (std::any_of(inFlight.begin(), inFlight.end(), [&](const Request& r) {
            return r.mime == fetch->mime() && r.tenure == fetch->tenure;
        }))
        return;
    inFlight.push_back({fetch->mime(), fetch->tenure});
    const char* mimeTypes[] = {fetch->mime().c_str(), nullptr};
    gdk_clipboard_read_async(clipboard, mimeTypes, G_PRIORITY_DEFAULT, nullptr, requestAnswered, new Request(inFlight.back()));
}

void ClipboardBridge::Impl::requestAnswered(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<Request> request(static_cast<Request*>(data));
    GInputStream* stream = gdk_clipboard_read_finish(GDK_CLIPBOARD(source), result, nullptr, nullptr);
    auto& inFlight = requestsInFlight();
    auto asked = std::find_if(inFlight.begin(), inFlight.end(), [&](const Request& r) {
        return r.mime == request->mime && r.tenure == request->tenure;
    });
    if (asked != inFlight.end())
        inFlight.erase(asked);
    auto self = current().lock();
    auto fetch = self ? self->fetch : nullptr;
    if (!fetch || !fetch->waitingForStream || fetch->mime() != request->mime) {
        // Nobody waits for this type (any more).
        if (stream)
            g_object_unref(stream);
        return;
    }
    fetch->waitingForStream = false;
    if (!stream) {
        self->typeDone(false);
        return;
    }
    fetch->stream = stream;
    fetch->lastProgress = Clock::now();
    self->readChunk();
}

void ClipboardBridge::Impl::readChunk()
{
    g_input_stream_read_async(fetch->stream, fetch->buffer.data(), fetch->buffer.size(), G_PRIORITY_DEFAULT, fetch->cancellable,
                              chunkRead, new std::pair<std::weak_ptr<Impl>, std::shared_ptr<Fetch>>(weak_from_this(), fetch));
}

void ClipboardBridge::Impl::chunkRead(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<std::pair<std::weak_ptr<Impl>, std::shared_ptr<Fetch>>> held(
        static_cast<std::pair<std::weak_ptr<Impl>, std::shared_ptr<Fetch>>*>(data));
    const gssize size = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
    auto self = held->first.lock();
    auto& fetch = held->second;
    // A round given up on, or the bridge gone: nothing more to do.
    if (!self || self->fetch != fetch)
        return;
    if (size <= 0) {
        self->typeDone(size == 0);
        return;
    }
    fetch->lastProgress = Clock::now();
    if (fetch->data.size() + std::size_t(size) > self->maximumDataLength) {
        // Refused before it is held: the data so far goes, the rest is not asked for.
        std::fprintf(stderr, "clipboard: %s data of more than %zu bytes from another application refused\n",
                     fetch->mime().c_str(), self->maximumDataLength);
        self->typeDone(false);
        return;
    }
    fetch->data.insert(fetch->data.end(), fetch->buffer.begin(), fetch->buffer.begin() + size);
    self->readChunk();
}

void ClipboardBridge::Impl::typeDone(bool ok)
{
    const auto& [type, mime] = fetch->wanted[fetch->next];
    if (ok) {
        if (type == NSPasteboardTypeString) {
            const std::string text = textFromData(std::move(fetch->data), mime == LegacyTextMimeType);
            fetch->received.emplace_back(type, std::vector<uint8_t>(text.begin(), text.end()));
        } else {
            fetch->received.emplace_back(type, std::move(fetch->data));
        }
    }
    fetch->endStream();
    ++fetch->next;
    advance();
}

void ClipboardBridge::Impl::complete()
{
    auto done = fetch;
    dropFetch();
    auto general = Pasteboard::generalPasteboard();
    // The application wrote something itself meanwhile: that is newer.
    if (general->changeCount() != done->changeCount)
        return;
    std::vector<PasteboardItem> items(1);
    for (auto& [type, data] : done->received) {
        if (type != NSPasteboardTypeFileURL) {
            items.front().setDataForType(std::move(data), type);
            continue;
        }
        // One item an address; comments and blank lines of the list are not addresses.
        std::istringstream lines(std::string(data.begin(), data.end()));
        size_t index = 0;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty() || line.front() == '#')
                continue;
            auto url = foundation::URL::URLWithString(line);
            if (!url || url->scheme().empty())
                continue;
            if (index == items.size())
                items.emplace_back();
            items[index++].setStringForType(url->absoluteString(), url->isFileURL() ? NSPasteboardTypeFileURL : NSPasteboardTypeURL);
        }
    }
    if (items.front().types().empty())
        return;
    general->writeObjects(items);
    syncedChangeCount = general->changeCount();
}

void ClipboardBridge::Impl::settle()
{
    // Only the main thread runs GLib's context; a read made from within this wait waits no more.
    if (!dispatch::RunLoop::isMainThread() || !fetch || settling)
        return;
    settling = true;
    // The watchdog ends every round in time; this bound only guards against a stuck watchdog.
    const auto deadline = fetch->started + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(TotalReadTimeout + 2 * readTimeout + 1));
    GMainContext* context = g_main_context_default();
    while (fetch && Clock::now() < deadline)
        g_main_context_iteration(context, TRUE);
    if (fetch)
        dropFetch();
    settling = false;
}

ClipboardBridge::ClipboardBridge()
    : m_impl(std::make_shared<Impl>())
{
}

std::unique_ptr<ClipboardBridge> ClipboardBridge::open(const std::vector<std::string>& ownTypes)
{
    GdkDisplay* display = gdk_display_get_default();
    if (!display)
        return nullptr;
    std::unique_ptr<ClipboardBridge> bridge(new ClipboardBridge());
    auto impl = bridge->m_impl;
    impl->display = display;
    impl->clipboard = GDK_CLIPBOARD(g_object_ref(gdk_display_get_clipboard(display)));
    Impl::current() = impl;
    impl->ownTypes = ownTypes;
    // What the general pasteboard holds now is not offered: only what is copied from here on.
    impl->syncedChangeCount = Pasteboard::generalPasteboard()->changeCount();
    impl->changedHandler = g_signal_connect_swapped(impl->clipboard, "changed", G_CALLBACK(+[](Impl* self) { self->desktopChanged(); }),
                                                    impl.get());
    std::weak_ptr<Impl> weak = impl;
    impl->observer = dispatch::RunLoop::main().addTurnObserver([weak] {
        auto self = weak.lock();
        if (self && Pasteboard::generalPasteboard()->changeCount() != self->syncedChangeCount)
            self->publish();
    });
    Pasteboard::generalPasteboard()->setReadHook([weak] {
        // Other threads neither wait nor hold the bridge (its end is the main thread's).
        if (!dispatch::RunLoop::isMainThread())
            return;
        if (auto self = weak.lock())
            self->settle();
    });
    // Something copied before the application started is there to paste.
    impl->desktopChanged();
    return bridge;
}

ClipboardBridge::~ClipboardBridge()
{
    Pasteboard::generalPasteboard()->setReadHook({});
    dispatch::RunLoop::main().removeTurnObserver(m_impl->observer);
    m_impl->dropFetch();
    if (m_impl->changedHandler) {
        g_signal_handler_disconnect(m_impl->clipboard, m_impl->changedHandler);
        m_impl->changedHandler = 0;
    }
}

void ClipboardBridge::synchronize()
{
    if (Pasteboard::generalPasteboard()->changeCount() != m_impl->syncedChangeCount)
        m_impl->publish();
}

bool ClipboardBridge::isReceiving() const
{
    return m_impl->fetch != nullptr;
}

std::size_t ClipboardBridge::maximumDataLength() const
{
    return m_impl->maximumDataLength;
}

void ClipboardBridge::setMaximumDataLength(std::size_t length)
{
    m_impl->maximumDataLength = length;
}

double ClipboardBridge::readTimeout() const
{
    return m_impl->readTimeout;
}

void ClipboardBridge::setReadTimeout(double seconds)
{
    m_impl->readTimeout = seconds > 0 ? seconds : DefaultReadTimeout;
}

} // namespace ui
