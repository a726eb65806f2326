// The general pasteboard and the desktop's clipboard, with another application on the display
// (xclip) on the other side: pictures and text copied there are on the general pasteboard here,
// what is written here (pictures, text, addresses, the frameworks' own types) pastes there, and
// an application that holds the clipboard without ever handing anything over, or hands over too
// much, leaves the pasteboard empty instead of stopping this one.
#include <gtest/gtest.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/Gtk/ClipboardBridge.h"
#include "Platform/UI/Gtk/GtkDesktop.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/Pasteboard.h"
#include "Tests/Support/DesktopClipboardFixture.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> bytesOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> fileContents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An application that takes the clipboard and then never hands anything over: it either never
// says what it offers, or says "a PNG picture" and never sends one. It runs on a thread of its
// own with a connection of its own, as another process would.
class SilentOwner {
public:
    enum class Mode { NeverAnswers, OffersAPictureItNeverSends };

    explicit SilentOwner(Mode mode)
        : m_mode(mode)
    {
        m_thread = std::thread([this] { serve(); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!m_owning && !m_failed && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~SilentOwner()
    {
        m_stop = true;
        m_thread.join();
    }
    bool owning() const { return m_owning; }

private:
    void serve()
    {
        Display* display = XOpenDisplay(nullptr);
        if (!display) {
            m_failed = true;
            return;
        }
        const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
        const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
        const Atom targets = XInternAtom(display, "TARGETS", False);
        const Atom png = XInternAtom(display, "image/png", False);
        const Atom text = XInternAtom(display, "UTF8_STRING", False);
        XSetSelectionOwner(display, clipboard, window, CurrentTime);
        m_owning = XGetSelectionOwner(display, clipboard) == window;
        while (!m_stop) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type != SelectionRequest || m_mode != Mode::OffersAPictureItNeverSends)
                    continue;
                const XSelectionRequestEvent& request = event.xselectionrequest;
                if (request.target != targets)
                    continue; // asked for the picture: silence
                const Atom offered[] = {targets, png, text};
                XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(offered), 3);
                XEvent reply {};
                reply.xselection.type = SelectionNotify;
                reply.xselection.requestor = request.requestor;
                reply.xselection.selection = request.selection;
                reply.xselection.target = request.target;
                reply.xselection.property = request.property;
                reply.xselection.time = request.time;
                XSendEvent(display, request.requestor, False, 0, &reply);
                XFlush(display);
            }
            pollfd fd {ConnectionNumber(display), POLLIN, 0};
            ::poll(&fd, 1, 20);
        }
        XCloseDisplay(display);
    }

    Mode m_mode;
    std::thread m_thread;
    std::atomic<bool> m_owning {false};
    std::atomic<bool> m_failed {false};
    std::atomic<bool> m_stop {false};
};

class ClipboardBridgeTest : public testsupport::DesktopClipboardTest {
protected:
    using DesktopClipboardTest::copyThere;
    bool copyThere(const std::string& target, const std::string& text)
    {
        return copyThere(target, bytesOf(text));
    }
    std::optional<std::vector<uint8_t>> arrived(const std::string& type)
    {
        return ui::Pasteboard::generalPasteboard()->dataForType(type);
    }

    // Something of ours on the clipboard, offered to the desktop at the end of the turn.
    void copyHere(const std::string& text)
    {
        auto general = ui::Pasteboard::generalPasteboard();
        general->clearContents();
        general->setStringForType(text, ui::NSPasteboardTypeString);
        dispatch::RunLoop::main().runOnce(0);
    }
};

TEST_F(ClipboardBridgeTest, PicturesCopiedInAnotherApplicationAreOnTheGeneralPasteboard)
{
    fixtures::TIFFSpec tiff;
    tiff.width = 5;
    tiff.height = 3;
    tiff.pixel = [](int x, int y) { return std::vector<uint16_t> {uint16_t(x * 40), uint16_t(y * 80), 9}; };
    fixtures::writeTIFF(m_dir / "picture.tiff", tiff);
    fixtures::JPEGSpec jpeg;
    jpeg.width = 16;
    jpeg.height = 9;
    jpeg.pixel = [](int x, int) { return std::vector<uint8_t> {uint8_t(x * 15), 90, 40}; };
    struct Case {
        std::string mime;
        std::string type;
        std::vector<uint8_t> bytes;
        int width, height;
    };
    const Case cases[] = {
        {"image/png", ui::NSPasteboardTypePNG, fixtures::makePNG8(8, 6, 2, [](int x, int) { return std::vector<uint8_t> {uint8_t(x * 30), 0, 200}; }), 8, 6},
        {"image/jpeg", images::kUTTypeJPEG, fixtures::makeJPEG(jpeg), 16, 9},
        {"image/tiff", ui::NSPasteboardTypeTIFF, fileContents(m_dir / "picture.tiff"), 5, 3},
    };
    auto general = ui::Pasteboard::generalPasteboard();
    for (const auto& c : cases) {
        copyHere("older");
        ASSERT_TRUE(copyThere(c.mime, c.bytes));
        const auto data = arrived(c.type);
        ASSERT_TRUE(data) << c.mime;
        EXPECT_EQ(*data, c.bytes) << c.mime;
        EXPECT_FALSE(general->stringForType(ui::NSPasteboardTypeString)) << "what was copied here before is gone: " << c.mime;
        const auto images = general->readImageFileURLsAndImages();
        ASSERT_EQ(images.size(), 1u) << c.mime;
        ASSERT_TRUE(images.front().image) << c.mime;
        EXPECT_EQ(images.front().image->size().width, c.width) << c.mime;
        EXPECT_EQ(images.front().image->size().height, c.height) << c.mime;
    }

    // Bytes that are no picture come over as they are, and make no picture.
    ASSERT_TRUE(copyThere("image/png", bytesOf("\x89PNG\r\n\x1a\n but then nothing of a picture")));
    ASSERT_TRUE(arrived(ui::NSPasteboardTypePNG));
    EXPECT_TRUE(general->readImageFileURLsAndImages().empty());
}

TEST_F(ClipboardBridgeTest, TextCrossesBothWays)
{
    auto general = ui::Pasteboard::generalPasteboard();
    struct In {
        std::string target;
        std::string sent;
        std::string pasted;
    };
    const In in[] = {
        {"UTF8_STRING", "Quintor \u00e9t\u00e9 \u2713", "Quintor \u00e9t\u00e9 \u2713"},
        {"text/plain;charset=utf-8", std::string("two\nlines\0", 10), "two\nlines"},
        // Broken UTF-8 is mended, never passed on.
        {"UTF8_STRING", "a\xff\xfe" "b", "a\ufffd\ufffd" "b"},
    };
    for (const auto& c : in) {
        ASSERT_TRUE(copyThere(c.target, c.sent));
        ASSERT_TRUE(arrived(ui::NSPasteboardTypeString)) << c.target;
        EXPECT_EQ(general->stringForType(ui::NSPasteboardTypeString), c.pasted) << c.target;
        copyHere("reset");
    }

    copyHere("deux photos \u2713");
    m_other.stopServing();
    for (const char* target : {"UTF8_STRING", "text/plain;charset=utf-8"})
        EXPECT_EQ(m_other.paste(target), "deux photos \u2713") << target;
    // Our own offer is not read back as another application's copy.
    EXPECT_EQ(general->stringForType(ui::NSPasteboardTypeString), "deux photos \u2713");
}

TEST_F(ClipboardBridgeTest, WhatIsWrittenToTheGeneralPasteboardPastesInAnotherApplication)
{
    auto general = ui::Pasteboard::generalPasteboard();
    const auto png = fixtures::makePNG8(4, 4, 0, [](int x, int y) { return std::vector<uint8_t> {uint8_t(x * 60 + y)}; });
    const std::vector<uint8_t> archive {'b', 'p', 'l', 'i', 's', 't', 0, 1, 2, 0xff};
    general->clearContents();
    ui::PasteboardItem item;
    item.setDataForType(png, ui::NSPasteboardTypePNG);
    item.setStringForType("two photos", ui::NSPasteboardTypeString);
    item.setDataForType(archive, "com.movara.CanvasObject");
    general->writeObjects({item, ui::PasteboardItem::itemWithURL(foundation::URL::fileURLWithPath("/tmp/a b.jpg"))});
    dispatch::RunLoop::main().runOnce(0); // the turn ends: the desktop is offered the contents

    const auto targets = m_other.paste("TARGETS");
    ASSERT_TRUE(targets);
    for (const char* target : {"image/png", "application/x-com.movara.canvasobject", "text/uri-list", "UTF8_STRING"})
        EXPECT_NE(targets->find(target), std::string::npos) << target << " in\n" << *targets;
    EXPECT_EQ(m_other.paste("image/png"), std::string(png.begin(), png.end()));
    // MIME types know no case: the type is found however the other side spells it.
    for (const char* target : {"application/x-com.movara.CanvasObject", "application/x-com.movara.canvasobject"})
        EXPECT_EQ(m_other.paste(target), std::string(archive.begin(), archive.end())) << target;
    EXPECT_EQ(m_other.paste("UTF8_STRING"), "two photos");
    EXPECT_EQ(m_other.paste("text/uri-list"), "file:///tmp/a%20b.jpg\r\n");
    EXPECT_EQ(general->pasteboardItems().size(), 2u);
}

TEST_F(ClipboardBridgeTest, OwnTypesAndAddressesComeBackAsTheApplicationWroteThem)
{
    auto general = ui::Pasteboard::generalPasteboard();
    const std::vector<uint8_t> archive {'b', 'p', 'l', 'i', 's', 't', 0, 7};
    // As another of our processes offers it (in lower case), and as a program might spell it.
    for (const char* target : {"application/x-com.movara.canvasobject", "application/x-com.movara.CanvasObject"}) {
        ASSERT_TRUE(copyThere(target, archive));
        EXPECT_EQ(arrived("com.movara.CanvasObject"), archive) << target;
        copyHere("reset");
    }

    // Other applications' types of the same form are theirs: nothing of them is fetched.
    ASSERT_TRUE(copyThere("application/x-org.example.Drawing", archive));
    EXPECT_TRUE(general->pasteboardItems().empty());
    EXPECT_FALSE(m_bridge->isReceiving());

    ASSERT_TRUE(copyThere("text/uri-list", std::string("# copied\r\nfile:///tmp/a%20b.png\r\n\r\nhttps://example.com/c\r\nnot an address\r\n")));
    ASSERT_TRUE(arrived(ui::NSPasteboardTypeFileURL));
    const auto items = general->pasteboardItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].stringForType(ui::NSPasteboardTypeFileURL), "file:///tmp/a%20b.png");
    EXPECT_EQ(items[1].stringForType(ui::NSPasteboardTypeURL), "https://example.com/c");
}

TEST_F(ClipboardBridgeTest, AnApplicationThatNeverHandsItsDataOverLeavesThePasteboardEmpty)
{
    m_bridge->setReadTimeout(0.5);
    auto general = ui::Pasteboard::generalPasteboard();
    for (auto mode : {SilentOwner::Mode::NeverAnswers, SilentOwner::Mode::OffersAPictureItNeverSends}) {
        copyHere("copied here before");
        const long before = general->changeCount();
        {
            SilentOwner owner(mode);
            ASSERT_TRUE(owner.owning());
            ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return general->changeCount() != before; }, 10));
            // A read on another thread never waits (only the main thread can bring the data in).
            std::optional<std::string> elsewhere = "unread";
            std::thread([&] { elsewhere = general->stringForType(ui::NSPasteboardTypeString); }).join();
            EXPECT_FALSE(elsewhere);
            // The read waits for the data, gives up, and finds nothing: not the older copy.
            EXPECT_FALSE(general->dataForType(ui::NSPasteboardTypePNG));
            EXPECT_FALSE(general->stringForType(ui::NSPasteboardTypeString));
            EXPECT_TRUE(general->pasteboardItems().empty());
            EXPECT_FALSE(m_bridge->isReceiving());
        }
        // The next copy elsewhere comes over as ever.
        ASSERT_TRUE(copyThere("UTF8_STRING", std::string("after")));
        EXPECT_EQ(arrived(ui::NSPasteboardTypeString), bytesOf("after"));
    }

    // What the application writes while another application's copy is on its way wins, also
    // over the owner's formats that GTK tells of after the write.
    {
        SilentOwner owner(SilentOwner::Mode::OffersAPictureItNeverSends);
        ASSERT_TRUE(owner.owning());
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return m_bridge->isReceiving(); }, 10));
        copyHere("mine");
        EXPECT_FALSE(m_bridge->isReceiving());
        EXPECT_EQ(m_other.paste("UTF8_STRING"), "mine");
        EXPECT_EQ(general->stringForType(ui::NSPasteboardTypeString), "mine");
    }
}

TEST_F(ClipboardBridgeTest, DataBeyondTheLimitIsRefused)
{
    m_bridge->setMaximumDataLength(200000);
    auto general = ui::Pasteboard::generalPasteboard();
    struct Case {
        size_t size;
        bool taken;
    };
    for (const Case c : {Case {200000, true}, Case {200001, false}, Case {3000000, false}}) {
        copyHere("before");
        std::vector<uint8_t> bytes(c.size);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = uint8_t(i * 7 + i / 251);
        ASSERT_TRUE(copyThere("image/png", bytes));
        const auto data = general->dataForType(ui::NSPasteboardTypePNG);
        EXPECT_FALSE(m_bridge->isReceiving());
        EXPECT_EQ(data.has_value(), c.taken) << c.size;
        if (data) {
            EXPECT_EQ(*data, bytes) << c.size;
        }
        EXPECT_TRUE(c.taken || general->pasteboardItems().empty()) << c.size;
    }
}

TEST(ClipboardBridgeTypes, PasteboardTypesAndTheDesktopsMimeTypes)
{
    struct Case {
        std::string type;
        std::optional<std::string> mime;
        std::string back; // the type the MIME type turns back into
    };
    const Case cases[] = {
        {"public.png", "image/png", "public.png"},
        {"public.tiff", "image/tiff", "public.tiff"},
        {"public.jpeg", "image/jpeg", "public.jpeg"},
        {"public.utf8-plain-text", "text/plain;charset=utf-8", "public.utf8-plain-text"},
        {"public.file-url", "text/uri-list", "public.file-url"},
        {"com.movara.CanvasObject", "application/x-com.movara.canvasobject", "com.movara.canvasobject"},
        {"com.example.a-b", "application/x-com.example.a-b", "com.example.a-b"},
        {"public.url", std::nullopt, ""},
        {"public.rtf", std::nullopt, ""},
        {"Public.Thing", std::nullopt, ""},
        {"not an identifier", std::nullopt, ""},
        {"com.movara.x;evil=1", std::nullopt, ""},
        {"nodots", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ui::mimeTypeForPasteboardType(c.type), c.mime) << c.type;
        if (c.mime) {
            EXPECT_EQ(ui::pasteboardTypeForMimeType(*c.mime), c.back) << *c.mime;
        }
    }
    EXPECT_EQ(ui::pasteboardTypeForMimeType("Image/PNG"), "public.png");
    EXPECT_EQ(ui::pasteboardTypeForMimeType("application/x-com.movara.CanvasObject"), "com.movara.canvasobject");
    for (const char* mime : {"application/x-gtk-text-buffer-rich-text", "application/x-public.png", "application/x-PUBLIC.png",
                             "text/html", "image/bmp", "application/x-", "application/x-.a"})
        EXPECT_EQ(ui::pasteboardTypeForMimeType(mime), std::nullopt) << mime;
}

} // namespace
