#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "MovaraAppKit/Shell/Analytics.h"
#include "MovaraAppKit/Shell/FadingTitleBarWindowController.h"
#include "MovaraAppKit/Shell/LicenseAgreementWindowController.h"
#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"
#include "MovaraAppKit/Shell/OnboardingWalkthroughViewController.h"
#include "MovaraAppKit/Shell/OnboardingWalkthroughWindowController.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/Media/PlayerItem.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/TextField.h"
#include "Tests/MovaraAppKit/Shell/ShellTestSupport.h"
#include "Tests/Support/TempDir.h"

namespace {

class StageTracker final : public AnalyticsTracking {
public:
    std::vector<std::string> log;
    void signUp() override { }
    void signIn() override { }
    void createDocument(AnalyticsDocumentSource, const std::optional<AnalyticsProperties>&) override { }
    void openDocument() override { }
    void navigateTo(AnalyticsNavigationTab) override { }
    void edit(AnalyticsEditAction) override { }
    void exportTo(AnalyticsExportTarget, std::int64_t, std::int64_t, std::int64_t, const std::string&, std::int64_t) override { }
    void upload() override { }
    void resourceLinkClicked(const std::string&) override { }
    void viewTutorials() override { }
    void playTutorial(const std::string&, double, double) override { }
    void beginOnboardingStage(std::int64_t s) override { log.push_back("begin " + std::to_string(s)); }
    void endOnboardingStage(std::int64_t s) override { log.push_back("end " + std::to_string(s)); }
    void endOnboarding(double c) override
    {
        char text[32];
        std::snprintf(text, sizeof text, "done %.3f", c);
        log.push_back(text);
    }
};

class OnboardingWindowsTest : public testing::Test {
protected:
    void SetUp() override
    {
        dispatch::RunLoop::main().bindToCurrentThread();
        m_tracker = std::make_shared<StageTracker>();
        Analytics::shared().setTrackers({m_tracker});
    }
    void TearDown() override
    {
        Analytics::shared().stopTracking();
        for (const auto& w : ui::Application::shared()->windows())
            w->orderOut(nullptr);
        ui::ScriptedResponder::uninstall();
        shelltest::TestAppSpecific::license.reset();
        shelltest::TestAppSpecific::planMovie.reset();
        if (dispatch::Clock::isVirtual())
            dispatch::Clock::setVirtual(false);
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }

    static std::vector<foundation::URL> movies(int n)
    {
        std::vector<foundation::URL> urls;
        for (int i = 0; i < n; ++i)
            urls.push_back(foundation::URL::fileURLWithPath("/nonexistent/walk" + std::to_string(i) + ".mp4"));
        return urls;
    }
    static std::vector<std::string> captions(int n)
    {
        std::vector<std::string> texts;
        for (int i = 0; i < n; ++i)
            texts.push_back("Caption " + std::to_string(i));
        return texts;
    }

    // The walkthrough on screen; `finish` plays the current movie to its end.
    std::shared_ptr<OnboardingWalkthroughViewController> show(int movieCount, int captionCount)
    {
        auto vc = OnboardingWalkthroughViewController::initWithMovies(movies(movieCount), captions(captionCount));
        m_window = ui::Window::windowWithContentViewController(vc);
        // Its window controller stops the movie when the window closes.
        m_controller = OnboardingWalkthroughWindowController::init();
        m_controller->setWindow(m_window);
        m_window->setDelegate(m_controller);
        m_window->makeKeyAndOrderFront();
        return vc;
    }
    static void finish(const std::shared_ptr<OnboardingWalkthroughViewController>& vc)
    {
        foundation::NotificationCenter::defaultCenter().post(media::AVPlayerItemDidPlayToEndTimeNotification, vc->player()->currentItem());
    }

    std::shared_ptr<StageTracker> m_tracker;
    ui::WindowPtr m_window;
    std::shared_ptr<OnboardingWalkthroughWindowController> m_controller;
};

TEST_F(OnboardingWindowsTest, WalkthroughButtonReadsNextUntilTheLastCaption)
{
    struct Case {
        int movies;
        int captions;
        std::vector<std::string> titles;   // on each movie, then after the last has finished
        std::vector<std::string> messages; // the same moments
    };
    const Case cases[] = {
        {5, 5, {"Next", "Next", "Next", "Next", "Close", "Close"}, {"Caption 0", "Caption 1", "Caption 2", "Caption 3", "Caption 4", "Caption 4"}},
        {2, 4, {"Next", "Next", "Next"}, {"Caption 0", "Caption 1", "Caption 2"}},
        {4, 2, {"Next", "Close", "Close", "Close", "Close"}, {"Caption 0", "Caption 1", "Caption 1", "Caption 1", "Caption 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.movies) + " movies, " + std::to_string(c.captions) + " captions");
        auto vc = show(c.movies, c.captions);
        for (size_t i = 0; i < c.titles.size(); ++i) {
            EXPECT_EQ(vc->buttonTitle(), c.titles[i]) << "at " << i;
            EXPECT_EQ(vc->message(), c.messages[i]) << "at " << i;
            EXPECT_FALSE(vc->hideMessageBox());
            if (i + 1 < c.titles.size()) {
                vc->nextDone(nullptr); // the movie plays with the box hidden
                EXPECT_TRUE(vc->hideMessageBox());
                EXPECT_EQ(vc->player()->rate(), 1.0f);
                finish(vc);
            }
        }
        // Only Close remains, and it closes.
        vc->nextDone(nullptr);
        EXPECT_FALSE(m_window->isVisible());
        EXPECT_EQ(m_tracker->log.back(), "done 1.000");
        m_tracker->log.clear();
    }
}

TEST_F(OnboardingWindowsTest, ClosingMidwayReportsTheShareOfMoviesWatched)
{
    auto vc = show(4, 4);
    vc->nextDone(nullptr);
    finish(vc);
    vc->nextDone(nullptr);
    finish(vc);
    vc->nextDone(nullptr); // the third movie plays
    m_window->performClose();
    EXPECT_EQ(m_tracker->log, (std::vector<std::string>{"begin 0", "end 0", "begin 1", "end 1", "begin 2", "done 0.500"}));
    EXPECT_EQ(vc->player()->currentItem(), nullptr);
    EXPECT_EQ(vc->player()->rate(), 0.0f);
}

TEST_F(OnboardingWindowsTest, EmptyWalkthroughOffersCloseAndReportsWithoutDividingByZero)
{
    auto vc = show(0, 0);
    EXPECT_EQ(vc->buttonTitle(), "Close");
    EXPECT_EQ(vc->message(), std::nullopt);
    EXPECT_EQ(vc->player(), nullptr);
    vc->nextDone(nullptr);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_EQ(m_tracker->log, (std::vector<std::string>{"begin 0", "done 1.000"}));
}

TEST_F(OnboardingWindowsTest, ReopeningTheWalkthroughStartsAgainAtTheFirstMovie)
{
    auto vc = show(3, 3);
    vc->nextDone(nullptr);
    finish(vc);
    EXPECT_EQ(vc->currentIndex(), 1);
    auto oldItem = vc->player()->currentItem();
    m_window->performClose();
    m_window->makeKeyAndOrderFront();
    EXPECT_EQ(vc->currentIndex(), 0);
    EXPECT_EQ(vc->message(), "Caption 0");
    // Only the new movie's end counts: the old item's notification changes nothing.
    foundation::NotificationCenter::defaultCenter().post(media::AVPlayerItemDidPlayToEndTimeNotification, oldItem);
    EXPECT_EQ(vc->currentIndex(), 0);
}

TEST_F(OnboardingWindowsTest, PlanWindowKeepsOneMovieAndOneLoopWhateverTheAppearances)
{
    shelltest::TestAppSpecific::planMovie = foundation::URL::fileURLWithPath("/nonexistent/tent.mp4");
    auto vc = MovaraPlanOnboardingViewController::init();
    auto window = ui::Window::windowWithContentViewController(vc);
    window->makeKeyAndOrderFront();
    auto movieView = vc->movieView();
    ASSERT_TRUE(movieView);
    auto first = vc->player();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->rate(), 1.0f);
    EXPECT_TRUE(vc->hasPlayerObserver());
    ASSERT_TRUE(movieView->layer());
    EXPECT_EQ(movieView->layer()->sublayers().size(), 1u);
    EXPECT_EQ(vc->caption(), "Test caption");

    window->orderOut();
    EXPECT_FALSE(vc->hasPlayerObserver());
    EXPECT_EQ(first->rate(), 0.0f);
    EXPECT_TRUE(movieView->layer()->sublayers().empty());

    window->makeKeyAndOrderFront();
    EXPECT_TRUE(vc->hasPlayerObserver());
    EXPECT_NE(vc->player(), first);
    EXPECT_EQ(movieView->layer()->sublayers().size(), 1u);

    // The movie loops: its end seeks back to the start and plays on.
    auto player = vc->player();
    player->pause();
    foundation::NotificationCenter::defaultCenter().post(media::AVPlayerItemDidPlayToEndTimeNotification, player->currentItem());
    EXPECT_EQ(player->rate(), 1.0f);
}

TEST_F(OnboardingWindowsTest, PlanWindowShowsTheApplicationsCaptionBetweenTheMovieAndTheForm)
{
    auto vc = MovaraPlanOnboardingViewController::init();
    auto window = ui::Window::windowWithContentViewController(vc);
    window->makeKeyAndOrderFront();
    auto movie = vc->movieView();
    ASSERT_TRUE(movie);
    std::vector<std::shared_ptr<ui::TextField>> shown;
    std::function<void(const ui::ViewPtr&)> collect = [&](const ui::ViewPtr& v) {
        if (auto field = std::dynamic_pointer_cast<ui::TextField>(v); field && field->stringValue() == "Test caption")
            shown.push_back(field);
        for (const auto& sub : v->subviews())
            collect(sub);
    };
    collect(vc->view());
    ASSERT_EQ(shown.size(), 1u) << "the caption is not on screen";
    const auto caption = shown.front()->convertRectToView(shown.front()->bounds(), nullptr);
    const auto movieRect = movie->convertRectToView(movie->bounds(), nullptr);
    EXPECT_FALSE(shown.front()->isHiddenOrHasHiddenAncestor());
    EXPECT_LE(caption.maxY(), movieRect.minY() + 0.5) << "the caption lies under the movie";
    EXPECT_GT(caption.height(), 0.0);
}

TEST_F(OnboardingWindowsTest, PlanWindowsCheckBoxTurnsItOffAtLaunchAndOnAgain)
{
    auto defaults = foundation::UserDefaults::standard();
    defaults->removeObjectForKey(MVRDontShowOnboardingWindowOnLaunchKey);
    auto storyboard = ui::Storyboard::storyboardWithName("MovaraPlanOnboardingWindow");
    ASSERT_TRUE(storyboard);
    auto controller = storyboard->instantiateControllerWithIdentifierAs<MovaraPlanOnboardingWindowController>(
        "MovaraPlanOnboardingWindowController");
    ASSERT_TRUE(controller);
    controller->showOnLaunch();
    auto window = controller->window();
    ASSERT_TRUE(window && window->isVisible());
    auto vc = std::dynamic_pointer_cast<MovaraPlanOnboardingViewController>(window->contentViewController());
    ASSERT_TRUE(vc);
    auto checkbox = vc->dontShowCheckbox();
    ASSERT_TRUE(checkbox);
    EXPECT_FALSE(checkbox->isHidden());
    EXPECT_EQ(checkbox->state(), ui::ControlStateValueOff);

    testsupport::TempDir dir;
    foundation::ErrorPtr error;
    ASSERT_TRUE(window->renderToPNG((dir.path() / "plan-window.png").string(), &error));
    if (const char* keep = std::getenv("SHELL_SNAPSHOT_DIR"))
        std::filesystem::copy_file(dir.path() / "plan-window.png", std::filesystem::path(keep) / "plan-window.png",
                                   std::filesystem::copy_options::overwrite_existing);

    // Ticked: the window stays away at the next launch; the application can still show it.
    checkbox->performClick();
    EXPECT_TRUE(defaults->boolForKey(MVRDontShowOnboardingWindowOnLaunchKey));
    window->orderOut();
    controller->showOnLaunch();
    EXPECT_FALSE(window->isVisible());
    controller->showWindow(nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(checkbox->state(), ui::ControlStateValueOn) << "the box shows the stored choice";

    // Cleared: the window is offered at launch again.
    checkbox->performClick();
    EXPECT_FALSE(defaults->boolForKey(MVRDontShowOnboardingWindowOnLaunchKey));
    window->orderOut();
    controller->showOnLaunch();
    EXPECT_TRUE(window->isVisible());

    vc->setHideDontShowOnboardingWindowCheckbox(true);
    EXPECT_TRUE(checkbox->isHidden());
    defaults->removeObjectForKey(MVRDontShowOnboardingWindowOnLaunchKey);
}

// A one-page PDF, written by hand with correct cross-reference offsets.
std::string minimalPDF()
{
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] /Contents 4 0 R >>",
        "<< /Length 35 >>\nstream\n0 0 1 rg 20 20 160 60 re f\nendstream",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t o : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

TEST_F(OnboardingWindowsTest, LicenceIsShownAndSavedOrTheFailureIsShown)
{
    testsupport::TempDir dir;
    const std::string source = (dir.path() / "License.pdf").string();
    std::ofstream(source, std::ios::binary) << minimalPDF();
    shelltest::TestAppSpecific::license = foundation::URL::fileURLWithPath(source);
    auto controller = LicenseAgreementWindowController::init();
    auto window = controller->window();
    ASSERT_TRUE(window);
    ASSERT_TRUE(controller->pdfView());
    ASSERT_TRUE(controller->pdfView()->document());
    EXPECT_EQ(controller->pdfView()->document()->pageCount(), 1);
    auto picture = window->renderImage();
    ASSERT_TRUE(picture);

    auto script = ui::ScriptedResponder::make();
    ui::ScriptedResponder::install(script);
    // Cancelled: nothing written.
    script->cancelNextSavePanel();
    controller->saveLicense(nullptr);
    dispatch::RunLoop::main().runUntil([&] { return script->pendingAnswers() == 0 && !window->attachedSheet(); }, 5);
    ASSERT_FALSE(script->transcript().empty());
    EXPECT_EQ(script->transcript().back().nameFieldStringValue, "License.pdf");
    EXPECT_EQ(script->transcript().back().allowedFileTypes, std::vector<std::string>{"pdf"});

    // Saved: the same bytes.
    const std::string copy = (dir.path() / "Copy.pdf").string();
    script->answerSavePanel(foundation::URL::fileURLWithPath(copy));
    controller->saveLicense(nullptr);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return std::ifstream(copy).good(); }, 5));
    std::ifstream in(copy, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), minimalPDF());

    // A save into a folder that is not there is reported in an alert.
    script->answerSavePanel(foundation::URL::fileURLWithPath((dir.path() / "missing" / "License.pdf").string()));
    script->answerAlertWithResponse(ui::AlertFirstButtonReturn);
    controller->saveLicense(nullptr);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] {
        for (const auto& r : script->transcript())
            if (r.kind == ui::ScriptedResponder::Kind::alert)
                return true;
        return false;
    }, 5));
}

TEST_F(OnboardingWindowsTest, TitleBarFadesAfterThreeQuietSecondsAndAtOnceWhenThePointerLeaves)
{
    dispatch::Clock::setVirtual(true);
    auto window = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 300, 200), ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable
                                                                                          | ui::WindowStyleMaskResizable);
    auto controller = FadingTitleBarWindowController::initWithWindow(window);
    controller->windowDidLoad();
    auto container = controller->titlebarContainerView();
    ASSERT_TRUE(container);
    EXPECT_TRUE(window->standardWindowButton(ui::WindowButton::closeButton)->isDescendantOf(container.get()));
    EXPECT_FALSE(window->contentView()->isDescendantOf(container.get()));
    EXPECT_TRUE(window->isMovableByWindowBackground());

    controller->showWindow(nullptr);
    EXPECT_EQ(container->alphaValue(), 1.0);
    auto moved = ui::Event::mouseEvent(ui::EventType::mouseMoved, {50, 50}, window);
    for (int i = 0; i < 4; ++i) {
        dispatch::Clock::advance(2.5);
        controller->mouseMoved(moved);
        EXPECT_EQ(container->alphaValue(), 1.0);
    }
    dispatch::Clock::advance(3.1);
    EXPECT_EQ(container->alphaValue(), 0.0);

    // The pointer comes in through the tracking area and goes out again.
    window->sendEvent(ui::Event::mouseEvent(ui::EventType::mouseMoved, {-10, -10}, window));
    window->sendEvent(ui::Event::mouseEvent(ui::EventType::mouseMoved, {100, 100}, window));
    EXPECT_EQ(container->alphaValue(), 1.0);
    EXPECT_TRUE(controller->hasPendingFade());
    window->sendEvent(ui::Event::mouseEvent(ui::EventType::mouseMoved, {500, 500}, window));
    EXPECT_EQ(container->alphaValue(), 0.0);
    EXPECT_FALSE(controller->hasPendingFade());

    // A resize replaces the one tracking area with one over the new content.
    window->setFrame(graphics::Rect::make(0, 0, 500, 400));
    const auto& areas = window->contentView()->trackingAreas();
    ASSERT_EQ(areas.size(), 1u);
    EXPECT_EQ(areas.front(), controller->trackingArea());
    EXPECT_EQ(areas.front()->rect(), window->contentView()->bounds());

    controller->windowWillClose(foundation::Notification{});
    EXPECT_TRUE(window->contentView()->trackingAreas().empty());
}

} // namespace
