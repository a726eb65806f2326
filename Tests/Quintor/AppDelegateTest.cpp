// The application delegate on a main window of tiny photos: open requests, the error sheet
// of a refused addition, activation, reopen, help and the Edit menu's undo.
#include <gtest/gtest.h>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Media/VideoSettings.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/PlayerView.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/Workspace.h"
#include "Quintor/AppDelegate.h"
#include "Quintor/MainWindowController.h"
#include "Tests/Quintor/MainWindowTestSupport.h"
#include "Tests/Support/TempDir.h"

namespace {

class AppDelegateTest : public testing::Test {
protected:
    void SetUp() override
    {
        // The application's bundle as the shell needs it: a name and the walkthrough movies.
        m_bundle.write("Resources/Info.plist",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>CFBundleName</key><string>Quintor</string>"
                       "<key>CFBundleIdentifier</key><string>com.movara.QuintorAppDelegateTest</string>"
                       "</dict></plist>\n");
        for (const char* movie : {"walkthrough1.mp4", "walkthrough2.mp4", "walkthrough3.mp4", "walkthrough4.mp4"})
            m_bundle.write(std::string("Resources/") + movie, "");
        foundation::Bundle::setMain(foundation::Bundle::bundleWithPath(m_bundle.path().string()));
        mainwindowtest::registerSunScapeFrames();
        ui::Workspace::shared().setRecordsOnly(true);
        ui::Workspace::shared().clearRecordedCalls();
        ui::ScriptedResponder::install(m_responder);

        m_delegate = AppDelegate::init();
        ui::Application::shared()->setDelegate(m_delegate);
        m_controller = m_delegate->mainWindowController();
        ASSERT_TRUE(m_controller);
        m_controller->showWindow(nullptr);
    }

    void TearDown() override
    {
        if (auto window = m_controller ? m_controller->window() : nullptr)
            window->close();
        m_controller.reset();
        auto app = ui::Application::shared();
        app->setDelegate(nullptr);
        app->setMainMenu(nullptr);
        app->setHelpMenu(nullptr);
        m_delegate.reset();
        ui::ScriptedResponder::uninstall();
        foundation::Bundle::setMain(nullptr);
    }

    std::vector<std::string> photos(const std::vector<int>& greys)
    {
        std::vector<std::string> paths;
        for (size_t i = 0; i < greys.size(); ++i) {
            const auto path = m_dir / ("IMG_" + std::to_string(i + 1) + ".jpg");
            mainwindowtest::greyPhoto(path, greys[i], int(i));
            paths.push_back(path.string());
        }
        return paths;
    }

    bool idle() const
    {
        auto preview = m_controller->previewController();
        return m_controller->hideProgress() && !m_controller->isExporting() && preview && !preview->isCreatingPreview();
    }

    media::PlayerPtr player() const
    {
        auto view = m_controller->previewController()->playerView();
        return view ? view->player() : nullptr;
    }

    // Opens two photos as the file manager would and waits for their preview.
    void openTwoPhotos()
    {
        ui::Application::shared()->openFiles(photos({60, 180}));
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([this] { return idle() && player(); }, 30));
    }

    testsupport::TempDir m_bundle;
    testsupport::TempDir m_dir;
    std::shared_ptr<ui::ScriptedResponder> m_responder = ui::ScriptedResponder::make();
    std::shared_ptr<AppDelegate> m_delegate;
    std::shared_ptr<MainWindowController> m_controller;
};

TEST_F(AppDelegateTest, OpenRequestShowsProgressThenThePreview)
{
    std::vector<foundation::URL> urls;
    for (const auto& path : photos({40, 120, 200}))
        urls.push_back(foundation::URL::fileURLWithPath(path));
    // The URL form of the request takes each URL's path.
    ui::Application::shared()->openURLs(urls);
    EXPECT_FALSE(m_controller->hideProgress());
    EXPECT_EQ(m_controller->progressMessage(), "Starting to create preview");

    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([this] { return idle() && player(); }, 30));
    EXPECT_EQ(m_delegate->model()->imageSources().size(), 3u);
    EXPECT_EQ(appDelegate(), m_delegate);
    EXPECT_EQ(m_controller->window()->contentView(), m_controller->editView());
}

TEST_F(AppDelegateTest, RefusedAdditionLeavesTheProgressAndShowsTheModelsMessage)
{
    ui::Application::shared()->openFiles(photos({100}));
    auto sheetAlert = [this]() -> std::optional<ui::ScriptedResponder::Record> {
        for (const auto& record : m_responder->transcript())
            if (record.kind == ui::ScriptedResponder::Kind::alert && record.asSheet)
                return record;
        return std::nullopt;
    };
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return sheetAlert().has_value(); }, 30));
    EXPECT_EQ(sheetAlert()->messageText, "You must start with more than one image.");
    EXPECT_TRUE(m_controller->hideProgress());
    EXPECT_EQ(m_controller->progressMessage(), "");
    EXPECT_EQ(m_controller->progressValue(), 0.0);
    EXPECT_TRUE(m_delegate->model()->imageSources().empty());
    EXPECT_EQ(m_controller->window()->contentView(), m_controller->dragAndDropView());
}

TEST_F(AppDelegateTest, PreviewFollowsActivationAndTheWindowComesBack)
{
    openTwoPhotos();
    auto window = m_controller->window();
    const foundation::Notification none;

    m_delegate->applicationDidResignActive(none);
    EXPECT_EQ(player()->rate(), 0.0f);
    window->close();
    m_delegate->applicationDidBecomeActive(none);
    EXPECT_TRUE(window->isVisible());
    EXPECT_NE(player()->rate(), 0.0f);

    // Reopen with no visible window shows the main window; the platform is left nothing to do.
    window->close();
    EXPECT_FALSE(m_delegate->applicationShouldHandleReopen(*ui::Application::shared(), false));
    EXPECT_TRUE(window->isVisible());
    window->close();
    m_delegate->movaraPlanOnboardingWindowDidClose();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(AppDelegateTest, HelpOpensTheHelpPage)
{
    EXPECT_TRUE(m_delegate->performAction("showMovaraHelp:", nullptr));
    const auto calls = ui::Workspace::shared().recordedCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].operation, "openURL");
    ASSERT_EQ(calls[0].arguments.size(), 1u);
    auto url = foundation::URL::URLWithString(calls[0].arguments[0]);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "https");
    EXPECT_EQ(url->path(), "/products/mac/quintor/help");
}

TEST_F(AppDelegateTest, EditMenuUndoesTheAddition)
{
    openTwoPhotos();
    auto undoItem = ui::MenuItem::initWithTitle("Undo", "undo:");
    ASSERT_TRUE(m_delegate->validateMenuItem(*undoItem));
    EXPECT_EQ(undoItem->title(), "Undo Add Items");

    ASSERT_TRUE(m_delegate->performAction("undo:", nullptr));
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([this] { return idle(); }, 30));
    EXPECT_TRUE(m_delegate->model()->imageSources().empty());
    auto redoItem = ui::MenuItem::initWithTitle("Redo", "redo:");
    EXPECT_TRUE(m_delegate->validateMenuItem(*redoItem));
    EXPECT_EQ(redoItem->title(), "Redo Add Items");
}

TEST_F(AppDelegateTest, AnOpenRequestDuringAPreviewBuildLeavesThatBuildCancellable)
{
    int previews = 0;
    auto counting = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRPreviewCreatedNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++previews; });
    ui::Application::shared()->openFiles(photos({60, 180}));
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([this] {
        auto preview = m_controller->previewController();
        return preview && preview->isCreatingPreview();
    }, 30));
    ASSERT_EQ(m_controller->progressMessage(), "Creating preview");

    // More photos while the preview is being built: its caption and cancel button stay.
    std::vector<std::string> more;
    for (int i = 0; i < 2; ++i) {
        const auto path = m_dir / ("IMG_" + std::to_string(i + 10) + ".jpg");
        mainwindowtest::greyPhoto(path, 90 + 40 * i, 10 + i);
        more.push_back(path.string());
    }
    ui::Application::shared()->openFiles(more);
    EXPECT_EQ(m_controller->progressMessage(), "Creating preview");
    EXPECT_TRUE(m_controller->cancelButton()->target());
    EXPECT_EQ(m_controller->cancelButton()->action(), "cancel");

    // Then the preview of all four is built.
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return previews == 2 && idle(); }, 30));
    EXPECT_EQ(m_delegate->model()->imageSources().size(), 4u);
    EXPECT_EQ(m_controller->window()->contentView(), m_controller->editView());
}

TEST_F(AppDelegateTest, UndoWaitsWhileAnExportRuns)
{
    openTwoPhotos();
    const auto movie = foundation::URL::fileURLWithPath((m_dir / "out.mp4").string());
    m_controller->exportMovie(movie, media::AVVideoCodecTypeH264, 1.0, media::Time::invalid());
    ASSERT_TRUE(m_controller->isExporting());

    // An undone addition would rebuild the preview in the export's progress display.
    auto undoItem = ui::MenuItem::initWithTitle("Undo", "undo:");
    EXPECT_FALSE(m_delegate->validateMenuItem(*undoItem));
    m_delegate->performAction("undo:", nullptr);
    EXPECT_EQ(m_delegate->model()->imageSources().size(), 2u);
    EXPECT_EQ(m_controller->progressMessage(), "Exporting your timelapse");

    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([this] { return idle(); }, 30));
    EXPECT_TRUE(m_delegate->validateMenuItem(*undoItem));
}

} // namespace

TEST_F(AppDelegateTest, UndoAndTheWindowsCommandsWaitWhileASheetIsUp)
{
    openTwoPhotos();
    auto window = m_controller->window();
    auto sheet = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled);
    window->beginSheet(sheet);
    auto menu = ui::Application::shared()->mainMenu();
    ASSERT_TRUE(menu);
    menu->update();
    auto item = [&](const std::string& action) {
        for (const auto& top : menu->itemArray())
            if (auto sub = top->submenu())
                for (const auto& i : sub->itemArray())
                    if (i->action() == action)
                        return i;
        return ui::MenuItemPtr();
    };
    for (const char* action : {"undo:", "removeAllItems:", "export:", "performClose:"}) {
        ASSERT_TRUE(item(action)) << action;
        EXPECT_FALSE(item(action)->isEnabled()) << action << " under a sheet";
    }
    // Its shortcut changes nothing under the sheet.
    window->sendEvent(ui::Event::keyEvent(ui::EventType::keyDown, "z", window, 0, ui::EventModifierFlagCommand));
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
    EXPECT_EQ(m_delegate->model()->imageSources().size(), 2u);

    window->endSheet(sheet);
    menu->update();
    EXPECT_TRUE(item("undo:")->isEnabled());
    EXPECT_TRUE(item("performClose:")->isEnabled());
}

TEST_F(AppDelegateTest, TheEditMenuOffersCutCopyAndPasteWithTheirShortcuts)
{
    auto menu = ui::Application::shared()->mainMenu();
    ASSERT_TRUE(menu);
    auto edit = menu->itemWithTitle("Edit");
    ASSERT_TRUE(edit && edit->submenu());
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& i : edit->submenu()->itemArray())
        if (!i->isSeparatorItem())
            found.emplace_back(i->action(), i->keyEquivalent());
    const std::vector<std::pair<std::string, std::string>> expected {
        {"undo:", "z"}, {"redo:", "Z"}, {"cut:", "x"}, {"copy:", "c"}, {"paste:", "v"}};
    EXPECT_EQ(found, expected);
}
