#include "MovaraKit/Canvas/Canvas.h"

#include <gtest/gtest.h>

#include <numbers>

#include "MovaraKit/Canvas/CanvasUndoActionName.h"
#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "Tests/Support/ImageFixtures.h"

using graphics::Point;
using graphics::Rect;
using graphics::Size;
using Kind = Canvas::ChangeKind;

namespace {

struct Report {
    std::vector<CanvasObjectPtr> objects;
    Kind kind;
    std::vector<std::optional<int64_t>> identifiers;
};

class RecordingDelegate : public CanvasDelegate {
public:
    void canvasDidChangeObjects(Canvas& canvas, const std::vector<CanvasObjectPtr>& objects, ChangeKind kind) override
    {
        Report r {objects, kind, {}};
        for (const auto& o : objects)
            r.identifiers.push_back(canvas.identifier(o));
        reports.push_back(std::move(r));
    }
    std::vector<Report> reports;
};

class CanvasTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        canvas = Canvas::init();
        undo = foundation::UndoManager::init();
        undo->setGroupsByEvent(false);
        delegate = std::make_shared<RecordingDelegate>();
        canvas->setUndoManager(undo);
        canvas->setDelegate(delegate);
    }

    // Each edit in its own undo group, as an editor's commands are.
    template <class F> void edit(F&& f)
    {
        undo->beginUndoGrouping();
        f();
        undo->endUndoGrouping();
    }

    CanvasObjectPtr box(Point position, Size size)
    {
        auto object = CanvasObject::init();
        object->setPosition(position);
        object->setSize(size);
        return object;
    }

    CanvasPtr canvas;
    std::shared_ptr<foundation::UndoManager> undo;
    std::shared_ptr<RecordingDelegate> delegate;
};

} // namespace

TEST_F(CanvasTest, InsertGivesIdentifiersInOrderAndReportsWithThemAlreadySet)
{
    EXPECT_EQ(canvas->size(), Size());
    EXPECT_EQ(canvas->lastObjectID(), 0);
    auto a = box({0, 0}, {1, 1});
    auto b = box({0, 0}, {1, 1});
    edit([&] { canvas->insert(a, 0); });
    edit([&] { canvas->insert(b, 0); });
    EXPECT_EQ(canvas->identifier(a), 1);
    EXPECT_EQ(canvas->identifier(b), 2);
    EXPECT_EQ(canvas->objects(), (std::vector<CanvasObjectPtr> {b, a}));
    ASSERT_EQ(delegate->reports.size(), 2u);
    EXPECT_EQ(delegate->reports[0].kind, Kind::inserted);
    EXPECT_EQ(delegate->reports[0].identifiers, (std::vector<std::optional<int64_t>> {1}));
    EXPECT_EQ(a->canvas(), canvas);

    // Undo removes, redo puts back with the same identifier.
    undo->undo();
    EXPECT_EQ(canvas->objects(), (std::vector<CanvasObjectPtr> {a}));
    EXPECT_EQ(delegate->reports.back().kind, Kind::removed);
    EXPECT_EQ(b->canvas(), nullptr);
    undo->redo();
    EXPECT_EQ(canvas->objects(), (std::vector<CanvasObjectPtr> {b, a}));
    EXPECT_EQ(delegate->reports.back().kind, Kind::inserted);
    EXPECT_EQ(canvas->identifier(b), 2);

    // Removed objects are still found by identifier.
    edit([&] { canvas->remove({b}); });
    EXPECT_EQ(canvas->object(2), b);
    EXPECT_EQ(canvas->object(7), nullptr);
}

TEST_F(CanvasTest, ListChangesReportOnceOrTwiceAndEqualListsDoNothing)
{
    auto a = box({0, 0}, {1, 1});
    auto b = box({0, 0}, {1, 1});
    auto c = box({0, 0}, {1, 1});
    edit([&] { canvas->setObjects({a, b}); });
    delegate->reports.clear();
    edit([&] { canvas->setObjects({a, b}); });
    EXPECT_TRUE(delegate->reports.empty());
    EXPECT_FALSE(undo->canUndo() && undo->undoActionName() == "x");

    edit([&] { canvas->setObjects({b, a}); });
    ASSERT_EQ(delegate->reports.size(), 1u);
    EXPECT_EQ(delegate->reports[0].kind, Kind::moved);
    EXPECT_EQ(delegate->reports[0].objects, (std::vector<CanvasObjectPtr> {b, a}));

    delegate->reports.clear();
    edit([&] { canvas->setObjects({c}); });
    ASSERT_EQ(delegate->reports.size(), 2u);
    EXPECT_EQ(delegate->reports[0].kind, Kind::removed);
    EXPECT_EQ(delegate->reports[0].objects, (std::vector<CanvasObjectPtr> {b, a}));
    EXPECT_EQ(delegate->reports[1].kind, Kind::inserted);
    EXPECT_EQ(delegate->reports[1].objects, (std::vector<CanvasObjectPtr> {c}));
}

TEST_F(CanvasTest, PropertyChangesUndoAndRedoAndEqualValuesAreIgnored)
{
    auto text = TextCanvasObject::init();
    edit([&] { canvas->insert(text, 0); });
    delegate->reports.clear();
    struct Step {
        const char* name;
        std::function<void()> change;
        std::function<bool()> changed;
    };
    const std::vector<Step> steps = {
        {"opacity", [&] { text->setOpacity(0.25); }, [&] { return text->opacity() == 0.25; }},
        {"hidden", [&] { text->setHidden(true); }, [&] { return text->hidden(); }},
        {"angle", [&] { text->setAngle(0.5); }, [&] { return text->angle() == 0.5; }},
        {"transform", [&] { text->setTransform(graphics::AffineTransform::makeScale(-1, 1)); },
         [&] { return !text->transform().isIdentity(); }},
        {"text", [&] { text->setText("Changed"); }, [&] { return text->text() == "Changed"; }},
        {"font", [&] { text->setFont(ui::Font::fontWithName("Courier", 20)); }, [&] { return text->font().pointSize() == 20; }},
        {"color", [&] { text->setColor(graphics::Color::sRGB(0, 1, 0)); }, [&] { return text->color() == graphics::Color::sRGB(0, 1, 0); }},
        {"textAlignment", [&] { text->setTextAlignment(ui::TextAlignment::left); },
         [&] { return text->textAlignment() == ui::TextAlignment::left; }},
        {"description", [&] { text->setCanvasDescription("Named"); }, [&] { return text->canvasDescriptionStorage() == "Named"; }},
        {"size", [&] { text->setSize({3, 4}); }, [&] { return text->size() == Size {3, 4}; }},
        {"position", [&] { text->setPosition({5, 6}); }, [&] { return text->position() == Point {5, 6}; }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        delegate->reports.clear();
        edit(step.change);
        EXPECT_TRUE(step.changed());
        ASSERT_FALSE(delegate->reports.empty());
        EXPECT_EQ(delegate->reports.back().kind, Kind::updated);
        EXPECT_EQ(delegate->reports.back().objects, (std::vector<CanvasObjectPtr> {text}));
        undo->undo();
        EXPECT_FALSE(step.changed());
        undo->redo();
        EXPECT_TRUE(step.changed());
    }
    delegate->reports.clear();
    edit([&] { text->setOpacity(text->opacity()); });
    EXPECT_TRUE(delegate->reports.empty());

    // A removed object is no longer watched.
    edit([&] { canvas->remove({text}); });
    delegate->reports.clear();
    text->setOpacity(0.9);
    EXPECT_TRUE(delegate->reports.empty());
}

TEST_F(CanvasTest, EditsUndoAndRedoUnderTheNamesAnEditorGivesThem)
{
    auto text = TextCanvasObject::init();
    undo->beginUndoGrouping();
    canvas->insert(text, 0);
    undo->setActionName(CanvasUndoActionName::insertText());
    undo->endUndoGrouping();
    undo->beginUndoGrouping();
    text->setPosition({40, 50});
    undo->setActionName(CanvasUndoActionName::move());
    undo->endUndoGrouping();
    EXPECT_EQ(undo->undoMenuItemTitle(), "Undo Move");
    undo->undo();
    EXPECT_EQ(text->position(), Point());
    EXPECT_EQ(undo->redoMenuItemTitle(), "Redo Move");
    EXPECT_EQ(undo->undoMenuItemTitle(), "Undo Insert Text");
    undo->undo();
    EXPECT_TRUE(canvas->objects().empty());
    undo->redo();
    undo->redo();
    EXPECT_EQ(canvas->objects(), (std::vector<CanvasObjectPtr> {text}));
    EXPECT_EQ(text->position(), (Point {40, 50}));
}

TEST_F(CanvasTest, SizeChangeMovesObjectsWithoutUndo)
{
    canvas->setSize({100, 100});
    auto centred = box({50.5, 10}, {1, 1});
    auto far = box({80, 10}, {1, 1});
    auto near = box({20, 10}, {1, 1});
    edit([&] { canvas->setObjects({centred, far, near}); });
    undo->removeAllActions();
    delegate->reports.clear();
    canvas->setSize({200, 100});
    EXPECT_EQ(centred->x(), 100.5);
    EXPECT_EQ(far->x(), 180);
    EXPECT_EQ(near->x(), 20);
    EXPECT_EQ(centred->y(), 10);
    EXPECT_FALSE(undo->canUndo());
    ASSERT_EQ(delegate->reports.size(), 2u);
    EXPECT_EQ(delegate->reports[0].objects, (std::vector<CanvasObjectPtr> {centred}));
    EXPECT_EQ(delegate->reports[1].objects, (std::vector<CanvasObjectPtr> {far}));
}

TEST_F(CanvasTest, ConversionAndHitTesting)
{
    canvas->setUndoManager(nullptr);
    auto back = box({50, 50}, {40, 20});
    auto front = box({60, 50}, {40, 20});
    edit([&] { canvas->setObjects({front, back}); });
    EXPECT_EQ(canvas->convert({30, 40}, back), (Point {0, 0}));
    EXPECT_EQ(canvas->hitTest({65, 50}, false), front);
    EXPECT_EQ(canvas->hitTest({35, 50}, false), back);
    EXPECT_EQ(canvas->hitTest({10, 10}, false), nullptr);
    front->setHidden(true);
    EXPECT_EQ(canvas->hitTest({65, 50}, false), back);
    EXPECT_EQ(canvas->hitTest({65, 50}, true), front);

    // A quarter turn: the point above the centre lands on the object's right.
    auto turned = box({0, 0}, {40, 20});
    turned->setAngle(std::numbers::pi / 2);
    edit([&] { canvas->setObjects({turned}); });
    const Point p = canvas->convert({0, 15}, turned);
    EXPECT_NEAR(p.x, 35, 1e-9);
    EXPECT_NEAR(p.y, 10, 1e-9);
    EXPECT_EQ(canvas->hitTest({0, 15}, false), turned);
    EXPECT_EQ(canvas->hitTest({15, 0}, false), nullptr);
}

TEST_F(CanvasTest, SettingTheSameUndoManagerAgainDropsTheCanvasActions)
{
    edit([&] { canvas->insert(box({0, 0}, {1, 1}), 0); });
    ASSERT_TRUE(undo->canUndo());
    canvas->setUndoManager(undo);
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(CanvasTest, ADestroyedCanvasLeavesNoActionsBehind)
{
    auto object = box({0, 0}, {1, 1});
    edit([&] { canvas->insert(object, 0); });
    canvas.reset();
    EXPECT_FALSE(undo->canUndo());
    EXPECT_EQ(object->canvas(), nullptr);
    object->setOpacity(0.5); // nobody is told; nothing breaks
}
