// Geometry, hit testing and the routing of mouse, key, tracking and drag events.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/UI/Pasteboard.h"
#include "Platform/UI/View.h"
#include "Tests/Platform/UI/UITestSupport.h"

using graphics::Point;
using graphics::Rect;
using namespace ui;

namespace {

// A view that writes down what reaches it.
class Probe : public View {
public:
    static std::shared_ptr<Probe> make(const Rect& frame, std::string name, bool flipped = false)
    {
        auto p = std::shared_ptr<Probe>(new Probe(frame));
        p->m_name = std::move(name);
        p->m_flipped = flipped;
        return p;
    }
    bool isFlipped() const override { return m_flipped; }
    bool acceptsFirstResponder() const override { return m_acceptsFirst; }
    void mouseDown(const Event& e) override { log("down", e); }
    void mouseDragged(const Event& e) override { log("dragged", e); }
    void mouseUp(const Event& e) override { log("up", e); }
    void mouseEntered(const Event& e) override { log("entered", e); }
    void mouseExited(const Event& e) override { log("exited", e); }
    void mouseMoved(const Event& e) override { log("moved", e); }
    void keyDown(const Event& e) override { events.push_back(m_name + ":key " + e.characters()); }

    DragOperation draggingEntered(const DraggingInfo& info) override
    {
        events.push_back(m_name + ":dragEntered");
        return info.draggingPasteboard()->readURLs(true).empty() ? NSDragOperationNone : NSDragOperationCopy;
    }
    void draggingExited(const DraggingInfo*) override { events.push_back(m_name + ":dragExited"); }
    bool performDragOperation(const DraggingInfo& info) override
    {
        dropped = info.draggingPasteboard()->readURLs(true);
        events.push_back(m_name + ":perform");
        return true;
    }

    std::vector<std::string> events;
    std::vector<foundation::URL> dropped;
    Point lastLocal;
    bool m_acceptsFirst = false;

private:
    explicit Probe(const Rect& frame) : View(frame) { }
    void log(const char* what, const Event& e)
    {
        lastLocal = convertPoint(e.locationInWindow(), nullptr);
        events.push_back(m_name + ":" + what);
    }
    std::string m_name;
    bool m_flipped = false;
};

class ViewTest : public uitest::UITest { };

TEST_F(ViewTest, ConvertsPointsBetweenFlippedAndUnflippedViews)
{
    // A 100-high parent with a child at (10, 20) of size 50x40; in a flipped child y runs down
    // from the child's top edge.
    struct Case {
        bool parentFlipped;
        bool childFlipped;
        Point inChild;
        Point inParent;
    };
    const Case cases[] = {
        {false, false, {5, 5}, {15, 25}},
        {false, true, {5, 5}, {15, 55}},   // 20 + 40 - 5
        {true, false, {5, 5}, {15, 55}},   // the child is flipped relative to its parent
        {true, true, {5, 5}, {15, 25}},
    };
    for (const auto& c : cases) {
        auto parent = Probe::make(Rect::make(0, 0, 200, 100), "parent", c.parentFlipped);
        auto child = Probe::make(Rect::make(10, 20, 50, 40), "child", c.childFlipped);
        parent->addSubview(child);
        EXPECT_EQ(child->convertPointToView(c.inChild, parent.get()), c.inParent)
            << c.parentFlipped << c.childFlipped;
        EXPECT_EQ(child->convertPoint(c.inParent, parent.get()), c.inChild) << c.parentFlipped << c.childFlipped;
    }
}

TEST_F(ViewTest, SubviewsFollowTheirSuperviewsSizeByTheirMasks)
{
    struct Case {
        unsigned mask;
        Rect expected; // of a subview at (10, 20, 30, 40) after 100 x 100 grows to 160 x 130
    };
    const Case cases[] = {
        {ViewNotSizable, Rect::make(10, 20, 30, 40)},
        {ViewWidthSizable | ViewHeightSizable, Rect::make(10, 20, 90, 70)},
        {ViewMinXMargin | ViewMaxYMargin, Rect::make(70, 20, 30, 40)},
        {ViewMinXMargin | ViewMaxXMargin | ViewMinYMargin | ViewMaxYMargin, Rect::make(40, 35, 30, 40)},
        {ViewMinXMargin | ViewWidthSizable | ViewMaxXMargin, Rect::make(30, 20, 50, 40)},
    };
    for (const auto& c : cases) {
        auto super = View::initWithFrame(Rect::make(0, 0, 100, 100));
        auto sub = View::initWithFrame(Rect::make(10, 20, 30, 40));
        sub->setAutoresizingMask(c.mask);
        super->addSubview(sub);
        super->setFrameSize({160, 130});
        EXPECT_EQ(sub->frame(), c.expected) << "mask " << c.mask;
        // Back to the old size, back to the old frame; a shrink never gives a negative length.
        super->setFrameSize({100, 100});
        EXPECT_EQ(sub->frame(), Rect::make(10, 20, 30, 40)) << "mask " << c.mask;
        super->setFrameSize({0, 0});
        EXPECT_GE(sub->frame().width(), 0);
        EXPECT_GE(sub->frame().height(), 0);
    }
}

TEST_F(ViewTest, HitTestFindsTheTopmostVisibleDeepestView)
{
    auto w = makeWindow();
    auto content = w->contentView();
    auto back = Probe::make(Rect::make(0, 0, 200, 150), "back");
    auto front = Probe::make(Rect::make(50, 50, 100, 50), "front");
    auto inner = Probe::make(Rect::make(10, 10, 20, 20), "inner", true);
    content->addSubview(back);
    content->addSubview(front);
    front->addSubview(inner);

    EXPECT_EQ(w->frameView()->hitTest({70, 70}), inner.get());
    EXPECT_EQ(w->frameView()->hitTest({55, 55}), front.get());
    EXPECT_EQ(w->frameView()->hitTest({10, 10}), back.get());
    // Max edges are outside (half-open rectangles).
    EXPECT_EQ(w->frameView()->hitTest({150, 70}), back.get());
    front->setHidden(true);
    EXPECT_EQ(w->frameView()->hitTest({70, 70}), back.get());
    EXPECT_EQ(w->frameView()->hitTest({500, 500}), nullptr);
}

TEST_F(ViewTest, DragAndUpGoToTheViewThatTookTheMouseDown)
{
    auto w = makeWindow();
    auto a = Probe::make(Rect::make(0, 0, 100, 100), "a");
    auto b = Probe::make(Rect::make(100, 0, 100, 100), "b", true);
    w->contentView()->addSubview(a);
    w->contentView()->addSubview(b);

    mouse(w, EventType::leftMouseDown, 150, 30);
    mouse(w, EventType::leftMouseDragged, 20, 30); // over a, still b's drag
    mouse(w, EventType::leftMouseUp, 20, 30);
    EXPECT_EQ(b->events, (std::vector<std::string>{"b:down", "b:dragged", "b:up"}));
    EXPECT_TRUE(a->events.empty());
    // Location in b's flipped coordinates: x 20-100, y 100-30.
    EXPECT_EQ(b->lastLocal, (Point{-80, 70}));
}

TEST_F(ViewTest, KeysGoToTheFirstResponderWhichAClickChooses)
{
    auto w = makeWindow();
    auto a = Probe::make(Rect::make(0, 0, 100, 100), "a");
    auto b = Probe::make(Rect::make(100, 0, 100, 100), "b");
    b->m_acceptsFirst = true;
    w->contentView()->addSubview(a);
    w->contentView()->addSubview(b);
    w->makeKeyAndOrderFront();

    click(w, 10, 10); // a does not accept: the window stays first responder
    EXPECT_EQ(w->firstResponder().get(), w.get());
    click(w, 150, 10);
    EXPECT_EQ(w->firstResponder().get(), b.get());
    key(w, "x");
    EXPECT_EQ(b->events.back(), "b:key x");
    // Removing the view from the window takes the keyboard back.
    b->removeFromSuperview();
    EXPECT_EQ(w->firstResponder().get(), w.get());
}

TEST_F(ViewTest, TrackingAreasReportCrossingsAndMovesToTheirOwner)
{
    auto w = makeWindow();
    auto view = Probe::make(Rect::make(50, 50, 100, 50), "v");
    w->contentView()->addSubview(view);
    view->addTrackingArea(TrackingArea::initWithRect(view->bounds(),
                                                     NSTrackingMouseEnteredAndExited | NSTrackingMouseMoved | NSTrackingActiveAlways,
                                                     view));
    mouse(w, EventType::mouseMoved, 10, 10);
    mouse(w, EventType::mouseMoved, 60, 60);
    mouse(w, EventType::mouseMoved, 70, 60);
    mouse(w, EventType::mouseMoved, 160, 60);
    mouse(w, EventType::mouseMoved, 170, 60);
    EXPECT_EQ(view->events, (std::vector<std::string>{"v:entered", "v:moved", "v:exited"}));
}

TEST_F(ViewTest, DropsReachOnlyViewsRegisteredForThePasteboardsTypes)
{
    auto w = makeWindow();
    auto target = Probe::make(Rect::make(0, 0, 100, 100), "t");
    auto other = Probe::make(Rect::make(100, 0, 100, 100), "o");
    target->registerForDraggedTypes({NSPasteboardTypeFileURL});
    w->contentView()->addSubview(target);
    w->contentView()->addSubview(other);

    auto files = Pasteboard::pasteboardWithUniqueName();
    files->writeURLs({foundation::URL::fileURLWithPath("/tmp/a.jpg"), foundation::URL::fileURLWithPath("/tmp/b.jpg")});
    auto text = Pasteboard::pasteboardWithUniqueName();
    text->setStringForType("hello", NSPasteboardTypeString);

    EXPECT_EQ(w->draggingUpdated(text, {50, 50}), NSDragOperationNone);
    EXPECT_TRUE(target->events.empty());
    EXPECT_EQ(w->draggingUpdated(files, {150, 50}), NSDragOperationNone); // over the other view
    EXPECT_EQ(w->draggingUpdated(files, {50, 50}), NSDragOperationCopy);
    EXPECT_EQ(w->draggingUpdated(files, {60, 50}), NSDragOperationCopy); // updated: the entered answer
    EXPECT_EQ(w->draggingUpdated(files, {150, 50}), NSDragOperationNone);
    EXPECT_TRUE(w->performDragOperation(files, {50, 50}));
    EXPECT_EQ(target->events,
              (std::vector<std::string>{"t:dragEntered", "t:dragExited", "t:dragEntered", "t:perform"}));
    ASSERT_EQ(target->dropped.size(), 2u);
    EXPECT_EQ(target->dropped[1].path(), "/tmp/b.jpg");
    EXPECT_TRUE(other->events.empty());
    // A source that allows no copying gets nothing.
    EXPECT_EQ(w->draggingUpdated(files, {50, 50}, NSDragOperationMove), NSDragOperationNone);
}

TEST_F(ViewTest, AWindowWithASheetTakesNoClicks)
{
    auto w = makeWindow();
    auto view = Probe::make(Rect::make(0, 0, 100, 100), "v");
    w->contentView()->addSubview(view);
    w->makeKeyAndOrderFront();
    auto sheet = makeWindow(100, 50);
    w->beginSheet(sheet);
    const long beeps = Application::shared()->beepCount();
    click(w, 10, 10);
    EXPECT_TRUE(view->events.empty());
    EXPECT_EQ(Application::shared()->beepCount(), beeps + 1);
    w->endSheet(sheet);
    click(w, 10, 10);
    EXPECT_EQ(view->events, (std::vector<std::string>{"v:down", "v:up"}));
}

TEST_F(ViewTest, FrameChangesAreAnnounced)
{
    auto view = View::initWithFrame(Rect::make(0, 0, 10, 10));
    int count = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        NSViewFrameDidChangeNotification, foundation::identityOf(view.get()), nullptr, [&](const foundation::Notification&) { ++count; });
    view->setFrame(Rect::make(0, 0, 20, 10));
    view->setFrame(Rect::make(0, 0, 20, 10)); // unchanged: quiet
    view->setPostsFrameChangedNotifications(false);
    view->setFrame(Rect::make(0, 0, 30, 10));
    EXPECT_EQ(count, 1);
}

TEST(PasteboardTest, ReadsURLsInOrderAndSkipsWhatIsNotAURL)
{
    auto pb = Pasteboard::pasteboardWithUniqueName();
    pb->writeObjects({PasteboardItem::itemWithURL(foundation::URL::fileURLWithPath("/x/one.png")),
                      PasteboardItem::itemWithString("just text"),
                      PasteboardItem::itemWithURL(*foundation::URL::URLWithString("https://example.com/a")),
                      PasteboardItem::itemWithString("not a url at all", NSPasteboardTypeFileURL),
                      PasteboardItem::itemWithURL(foundation::URL::fileURLWithPath("/x/two dir", true))});
    const auto files = pb->readURLs(true);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].path(), "/x/one.png");
    EXPECT_EQ(files[1].path(), "/x/two dir");
    EXPECT_EQ(pb->readURLs(false).size(), 3u);
    EXPECT_EQ(pb->types(), (std::vector<std::string>{NSPasteboardTypeFileURL, NSPasteboardTypeString, NSPasteboardTypeURL}));
    const long before = pb->changeCount();
    pb->clearContents();
    EXPECT_GT(pb->changeCount(), before);
    EXPECT_TRUE(pb->types().empty());
}

} // namespace
