#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>
#include <vector>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/Pasteboard.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Quintor/DropTargetViews.h"
#include "Quintor/ExportSettingsController.h"
#include "Quintor/FlipBookView.h"
#include "Tests/Quintor/MainWindowTestSupport.h"

using mainwindowtest::greyPhoto;

namespace {

struct MainWindowControllerTest : ::testing::Test {
    testsupport::TempDir dir;
    mainwindowtest::Harness h;

    std::vector<foundation::URL> photos(int count)
    {
        std::vector<foundation::URL> urls;
        for (int i = 0; i < count; ++i)
            urls.push_back(greyPhoto(dir / ("IMG_" + std::to_string(i + 1) + ".jpg"), 40 + 40 * i, count - i));
        return urls;
    }
    ui::MenuItemPtr item(const std::string& action, long tag = 0)
    {
        auto menuItem = ui::MenuItem::initWithTitle("?", action);
        menuItem->setTag(tag);
        return menuItem;
    }
    bool enabled(const std::string& action) { return h.controller->validateMenuItem(*item(action)); }
    std::shared_ptr<foundation::UndoManager> undo() { return h.controller->undoManager(); }
    void closeUndoGroup() { dispatch::RunLoop::main().runOnce(0); }
};

TEST_F(MainWindowControllerTest, AnEmptyWindowShowsTheDropViewAndDisablesWhatNeedsImages)
{
    EXPECT_EQ(h.content(), h.controller->dragAndDropView());
    EXPECT_TRUE(h.controller->window()->appearance()->isDark());
    for (const char* action : { "removeAllItems:", "resetTrimRange:", "export:", "exportToStillara:", "togglePlayPause:" })
        EXPECT_FALSE(enabled(action)) << action;
    for (const char* action : { "addImages:", "changeSort:", "togglePlayDirection:" })
        EXPECT_TRUE(enabled(action)) << action;
    auto playPause = item("togglePlayPause:");
    h.controller->validateMenuItem(*playPause);
    EXPECT_EQ(playPause->title(), "Play");
}

TEST_F(MainWindowControllerTest, TheProgressDisplayTakesTheWindowUntilItsUserLeavesIt)
{
    auto target = h.controller->exportSettingsController();
    h.controller->showProgress("Working", target, "cancel");
    EXPECT_EQ(h.content(), h.controller->progressView());
    EXPECT_EQ(h.controller->progressMessage(), "Working");
    EXPECT_TRUE(h.controller->isIndeterminateProgress());
    EXPECT_FALSE(h.controller->cancelButton()->isEnabled());
    EXPECT_TRUE(h.controller->sunScapeView()->isAnimating());

    h.controller->progressDidAdvance(0.25);
    EXPECT_TRUE(h.controller->cancelButton()->isEnabled());
    EXPECT_FALSE(h.controller->isIndeterminateProgress());
    EXPECT_DOUBLE_EQ(h.controller->progressIndicator()->doubleValue(), 0.25);

    // Leaving while the model is empty shows the drop view, not the editing view.
    h.controller->leaveProgress();
    EXPECT_EQ(h.content(), h.controller->dragAndDropView());
    EXPECT_FALSE(h.controller->sunScapeView()->isAnimating());
    EXPECT_EQ(h.controller->progressMessage(), "");

    // Without a target the cancel button stays disabled through the reports.
    h.controller->showProgress("Adding", nullptr, "");
    h.controller->progressDidAdvance(0.5);
    EXPECT_FALSE(h.controller->cancelButton()->isEnabled());
    h.controller->leaveProgress();
}

TEST_F(MainWindowControllerTest, CommandsFollowThePlayingPreview)
{
    h.add(photos(3));
    EXPECT_EQ(h.controller->trimTrackView()->stopCount(), 3);
    for (const char* action : { "removeAllItems:", "resetTrimRange:", "export:", "exportToStillara:", "togglePlayPause:" })
        EXPECT_TRUE(enabled(action)) << action;

    auto playPause = item("togglePlayPause:");
    auto player = h.controller->previewController()->playerView()->player();
    ASSERT_TRUE(player);
    h.controller->previewController()->play();
    h.controller->validateMenuItem(*playPause);
    EXPECT_EQ(playPause->title(), "Pause");
    h.controller->togglePlayPause(nullptr);
    h.controller->validateMenuItem(*playPause);
    EXPECT_EQ(playPause->title(), "Play");
}

TEST_F(MainWindowControllerTest, ReverseTogglesAndUndoes)
{
    h.add(photos(3));
    auto preview = h.controller->previewController();
    h.controller->togglePlayDirection(nullptr);
    closeUndoGroup();
    EXPECT_EQ(h.model->playDirectionTag(), Model::PlayDirectionTag::reverse);
    EXPECT_EQ(preview->playerDirection(), PlayerDirection::reverse);
    EXPECT_EQ(undo()->undoActionName(), "Reverse");
    undo()->undo();
    EXPECT_EQ(h.model->playDirectionTag(), Model::PlayDirectionTag::forward);
    EXPECT_EQ(preview->playerDirection(), PlayerDirection::forward);
    undo()->redo();
    EXPECT_EQ(h.model->playDirectionTag(), Model::PlayDirectionTag::reverse);

    h.controller->togglePlayDirection(nullptr);
    EXPECT_EQ(h.model->playDirectionTag(), Model::PlayDirectionTag::forward);
}

TEST_F(MainWindowControllerTest, TrimDragsAndResetsUndoAndRedo)
{
    h.add(photos(5));
    auto preview = h.controller->previewController();
    auto track = h.controller->trimTrackView();
    // Dragging the end knob from 1.0 to 0.6.
    h.controller->handleTrimGesture(1.0, ChangedItem::endKnob, ChangeGesture::panBegan);
    h.controller->handleTrimGesture(0.6, ChangedItem::endKnob, ChangeGesture::panChanged);
    track->setEndKnobValue(0.6);
    h.controller->handleTrimGesture(0.6, ChangedItem::endKnob, ChangeGesture::panEnded);
    closeUndoGroup();
    EXPECT_EQ(undo()->undoActionName(), "Trim Range Change");
    EXPECT_DOUBLE_EQ(preview->endKnobValue(), 0.6);
    undo()->undo();
    EXPECT_DOUBLE_EQ(preview->endKnobValue(), 1.0);
    EXPECT_DOUBLE_EQ(track->endKnobValue(), 1.0);
    undo()->redo();
    EXPECT_DOUBLE_EQ(preview->endKnobValue(), 0.6);
    EXPECT_DOUBLE_EQ(track->endKnobValue(), 0.6);

    h.controller->setTrimRange(0.2, 0.6);
    closeUndoGroup();
    h.controller->resetTrimRange(nullptr);
    closeUndoGroup();
    EXPECT_EQ(undo()->undoActionName(), "Reset Trim Range");
    EXPECT_DOUBLE_EQ(preview->startKnobValue(), 0.0);
    EXPECT_DOUBLE_EQ(track->endKnobValue(), 1.0);
    undo()->undo();
    EXPECT_DOUBLE_EQ(preview->startKnobValue(), 0.2);
    EXPECT_DOUBLE_EQ(preview->endKnobValue(), 0.6);
    EXPECT_DOUBLE_EQ(track->startKnobValue(), 0.2);
}

TEST_F(MainWindowControllerTest, TheDurationFieldFollowsEveryChangeOfTheTrimRange)
{
    h.add(photos(6));
    auto field = h.controller->durationTextField();
    // The duration is known once the player has the movie ready.
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return h.controller->previewController()->duration() > 0; }, 10));
    const std::string whole = field->stringValue();
    auto trimTo = [&](double end) {
        h.controller->handleTrimGesture(1.0, ChangedItem::endKnob, ChangeGesture::panBegan);
        h.controller->handleTrimGesture(end, ChangedItem::endKnob, ChangeGesture::panChanged);
        h.controller->trimTrackView()->setEndKnobValue(end);
        h.controller->handleTrimGesture(end, ChangedItem::endKnob, ChangeGesture::panEnded);
        closeUndoGroup();
    };
    trimTo(0.5);
    const std::string half = field->stringValue();
    ASSERT_NE(half, whole);

    // Whatever puts a range in force shows its duration: undo, redo, reset and its undo.
    const std::vector<std::pair<std::string, std::function<void()>>> steps {
        { "undo of the drag", [&] { undo()->undo(); } },
        { "redo of the drag", [&] { undo()->redo(); } },
        { "Reset Trim Range", [&] { h.controller->resetTrimRange(nullptr); closeUndoGroup(); } },
        { "undo of the reset", [&] { undo()->undo(); } },
        { "range set directly", [&] { h.controller->setTrimRange(0.0, 1.0); closeUndoGroup(); } },
    };
    const std::vector<std::string> expected { whole, half, whole, half, whole };
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].second();
        EXPECT_EQ(field->stringValue(), expected[i]) << steps[i].first;
        EXPECT_DOUBLE_EQ(h.controller->previewController()->duration(),
                         30.0 / h.model->fps() * h.controller->previewController()->trimmedDuration().seconds()) << steps[i].first;
    }
}

TEST_F(MainWindowControllerTest, TheRateFieldShowsAReadableRateWhileTheSliderIsDragged)
{
    h.add(photos(3));
    auto window = h.controller->window();
    auto slider = h.controller->speedSlider();
    auto field = h.controller->fpsTextField();
    const auto track = slider->convertRectToView(slider->bounds(), nullptr);
    // Dragged through points that fall between whole rates.
    window->sendEvent(ui::Event::mouseEvent(ui::EventType::leftMouseDown, { track.minX() + 10, track.midY() }, window));
    for (double x : { 0.31, 0.57, 0.913 }) {
        window->sendEvent(ui::Event::mouseEvent(ui::EventType::leftMouseDragged, { track.minX() + track.width() * x, track.midY() }, window));
        const double fps = h.model->fps();
        ASSERT_NE(fps, std::round(fps)) << "the drag landed on a whole rate";
        const std::string shown = field->stringValue();
        const auto dot = shown.find_first_of(".,");
        EXPECT_TRUE(dot == std::string::npos || shown.size() - dot - 1 <= 3) << shown;
        EXPECT_NEAR(std::atof(shown.c_str()), fps, 0.0005) << shown;
        // The text fits the field.
        EXPECT_LE(field->cell()->cellSizeForBounds(field->bounds()).width, field->bounds().width()) << shown;
    }
    window->sendEvent(ui::Event::mouseEvent(ui::EventType::leftMouseUp, { track.minX() + track.width() * 0.913, track.midY() }, window));
}

TEST_F(MainWindowControllerTest, ReturnInTheRateFieldCommitsTheRateAndExportsNothing)
{
    h.add(photos(3));
    auto window = h.controller->window();
    auto field = h.controller->fpsTextField();
    auto key = [&](const std::string& characters) {
        window->sendEvent(ui::Event::keyEvent(ui::EventType::keyDown, characters, window));
        window->sendEvent(ui::Event::keyEvent(ui::EventType::keyUp, characters, window));
    };
    ASSERT_TRUE(window->makeFirstResponder(field));
    for (int i = 0; i < 6; ++i)
        key(ui::kDeleteBackwardKey);
    key("1");
    key("2");
    key(ui::kReturnKey);
    EXPECT_DOUBLE_EQ(h.model->fps(), 12.0);
    EXPECT_FALSE(window->attachedSheet()) << "Return in the field began an export";

    // Away from the field, Return is the Export button's.
    ASSERT_TRUE(window->makeFirstResponder(nullptr));
    key(ui::kReturnKey);
    auto sheet = window->attachedSheet();
    ASSERT_TRUE(sheet) << "Return no longer reaches the Export button";
    window->endSheet(sheet, ui::ModalResponseCancel);
}

TEST_F(MainWindowControllerTest, RemoveAllShowsTheEmptyStateAndItsUndoBringsNoImagesBack)
{
    h.add(photos(3));
    h.controller->setTrimRange(0.5, 1.0);
    closeUndoGroup();
    h.controller->removeAllItems(nullptr);
    closeUndoGroup();
    EXPECT_TRUE(h.model->imageSources().empty());
    EXPECT_EQ(h.content(), h.controller->dragAndDropView());
    EXPECT_FALSE(h.controller->previewController()->playerView()->player());
    EXPECT_EQ(undo()->undoActionName(), "Reset Trim Range");
    undo()->undo();
    EXPECT_TRUE(h.model->imageSources().empty());
    EXPECT_DOUBLE_EQ(h.controller->previewController()->startKnobValue(), 0.5);
}

TEST_F(MainWindowControllerTest, UndoingBackToNoImagesStopsThePreviewForGood)
{
    h.add(photos(2));
    auto preview = h.controller->previewController();
    ASSERT_TRUE(preview->playerView()->player());
    closeUndoGroup();
    ASSERT_EQ(undo()->undoActionName(), "Add Items");

    // The undone images leave no movie playing behind the empty window...
    undo()->undo();
    EXPECT_TRUE(h.model->imageSources().empty());
    EXPECT_EQ(h.content(), h.controller->dragAndDropView());
    EXPECT_FALSE(preview->playerView()->player());
    EXPECT_EQ(preview->duration(), 0.0);

    // ...nor come back when the next addition's preview is cancelled.
    foundation::ErrorPtr error;
    ASSERT_TRUE(h.model->addImages({greyPhoto(dir / "B_1.jpg", 90, 1), greyPhoto(dir / "B_2.jpg", 150, 2)}, &error));
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return preview->isCreatingPreview(); }, 30));
    auto cancel = h.controller->cancelButton();
    ASSERT_TRUE(cancel->target());
    cancel->target()->performAction(cancel->action(), nullptr);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return h.idle(); }, 30));
    EXPECT_TRUE(h.model->imageSources().empty());
    EXPECT_EQ(h.content(), h.controller->dragAndDropView());
    EXPECT_FALSE(preview->playerView()->player());
}

TEST_F(MainWindowControllerTest, SortItemsShowTheOrderInForceAndChoosingItAgainChangesNothing)
{
    h.add(photos(3));
    auto byName = item("changeSort:", ui::tagValue(Model::SortTag::byName));
    auto byDate = item("changeSort:", ui::tagValue(Model::SortTag::byDate));
    h.controller->validateMenuItem(*byName);
    h.controller->validateMenuItem(*byDate);
    EXPECT_EQ(byName->state(), ui::ControlStateValueOn);
    EXPECT_EQ(byDate->state(), ui::ControlStateValueOff);

    const bool couldUndo = undo()->canUndo();
    const std::string before = undo()->undoActionName();
    h.controller->changeSort(byName.get());
    EXPECT_EQ(undo()->canUndo(), couldUndo);
    EXPECT_EQ(undo()->undoActionName(), before);

    // The photos were taken in reverse name order, so ordering by date reverses the list.
    const auto first = h.model->imageSources().front();
    h.controller->changeSort(byDate.get());
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return h.idle(); }, 30));
    closeUndoGroup();
    EXPECT_EQ(h.model->sortItemTag(), Model::SortTag::byDate);
    EXPECT_EQ(h.model->imageSources().back(), first);
    EXPECT_EQ(undo()->undoActionName(), "Sort by Date");
    undo()->undo();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return h.idle(); }, 30));
    EXPECT_EQ(h.model->sortItemTag(), Model::SortTag::byName);
    EXPECT_EQ(h.model->imageSources().front(), first);
}

TEST_F(MainWindowControllerTest, ThePlayheadFollowsPlayPositionsAndIgnoresNotificationsWithoutOne)
{
    auto track = h.controller->trimTrackView();
    track->setStartKnobValue(0.2);
    track->setEndKnobValue(0.6);
    auto& center = foundation::NotificationCenter::defaultCenter();
    center.post(MVRPlayPositionChanged, std::make_shared<double>(0.4));
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.4);
    center.post(MVRPlayPositionChanged);
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.4);
    // Past the end of the range it starts again at the start.
    center.post(MVRPlayPositionChanged, std::make_shared<double>(0.7));
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.2);
}

TEST_F(MainWindowControllerTest, FilesFromTheOpenPanelAndDropsGoToTheApplicationInOrder)
{
    std::vector<std::vector<foundation::URL>> added;
    h.controller->setAddImagesHandler([&](const std::vector<foundation::URL>& urls) { added.push_back(urls); });
    const auto urls = photos(3);
    std::vector<foundation::URL> dropped = urls;
    dropped.push_back(foundation::URL::fileURLWithPath(dir.path().string(), true));

    auto responder = ui::ScriptedResponder::make();
    responder->answerOpenPanel(urls);
    ui::ScriptedResponder::install(responder);
    h.controller->addImages(nullptr);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !added.empty(); }, 5));
    ui::ScriptedResponder::uninstall();
    EXPECT_EQ(added[0], urls);

    auto pasteboard = ui::Pasteboard::pasteboardWithUniqueName();
    pasteboard->writeURLs(dropped);
    auto window = h.controller->window();
    EXPECT_EQ(window->draggingUpdated(pasteboard, { 300, 300 }), ui::NSDragOperationCopy);
    EXPECT_TRUE(window->performDragOperation(pasteboard, { 300, 300 }));
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[1], dropped);

    // Text without file URLs is accepted and adds nothing.
    auto text = ui::Pasteboard::pasteboardWithUniqueName();
    text->setStringForType("hello", ui::NSPasteboardTypeString);
    auto drop = DragAndDropView::initWithFrame(graphics::Rect::make(0, 0, 10, 10));
    drop->setDropHandler([&](const std::vector<foundation::URL>& u) { added.push_back(u); });
    EXPECT_TRUE(drop->performDragOperation(ui::DraggingInfo(text, {}, ui::NSDragOperationEvery, {}, 1)));
    EXPECT_EQ(added.size(), 2u);
}

TEST(FlipBookView, ShowsItsFirstFrameAtRestAndStepsThroughTheFramesOnTheClock)
{
    dispatch::Clock::setVirtual(true);
    auto view = FlipBookView::initWithFrame(graphics::Rect::make(0, 0, 4, 4));
    std::vector<ui::ImagePtr> frames;
    for (int i = 0; i < 4; ++i)
        frames.push_back(ui::Image::imageWithSize({ 1, 1 }, false, [](auto&, auto&) { }, 1.0));
    view->setImages({ frames[0] });
    EXPECT_FALSE(view->currentImage());
    view->setImages(frames);
    EXPECT_EQ(view->currentImage(), frames[0]);
    view->startAnimation();
    dispatch::Clock::advance(2.6); // 10 s over 4 frames: the second frame shows from 2.5 s
    EXPECT_EQ(view->currentImage(), frames[1]);
    dispatch::Clock::advance(10.0);
    EXPECT_EQ(view->currentImage(), frames[1]);
    view->stopAnimation();
    EXPECT_EQ(view->currentImage(), frames[0]);
    view->startAnimation();
    EXPECT_EQ(view->currentImage(), frames[0]);
    dispatch::Clock::setVirtual(false);
}

TEST(NoDragAndDropImageView, NeverTakesADrop)
{
    auto view = NoDragAndDropImageView::initWithFrame(graphics::Rect::make(0, 0, 10, 10));
    view->setEditable(true);
    EXPECT_TRUE(view->registeredDraggedTypes().empty());
    auto pasteboard = ui::Pasteboard::pasteboardWithUniqueName();
    pasteboard->writeURLs({ foundation::URL::fileURLWithPath("/tmp/x.jpg") });
    const ui::DraggingInfo info(pasteboard, {}, ui::NSDragOperationEvery, {}, 1);
    EXPECT_EQ(view->draggingEntered(info), ui::NSDragOperationNone);
    EXPECT_FALSE(view->performDragOperation(info));
    EXPECT_FALSE(view->image());
}

} // namespace

namespace {

TEST_F(MainWindowControllerTest, TheEditingWindowRendersItsPreviewAndControls)
{
    h.add(photos(3));
    h.controller->setTrimRange(0.0, 0.5);
    const auto png = dir / "window.png";
    foundation::ErrorPtr error;
    ASSERT_TRUE(h.controller->window()->renderToPNG(png.string(), &error)) << (error ? error->localizedDescription() : "");
    auto image = h.controller->window()->renderImage();
    ASSERT_TRUE(image);
    EXPECT_GT(std::filesystem::file_size(png), 1000u);
}

} // namespace
