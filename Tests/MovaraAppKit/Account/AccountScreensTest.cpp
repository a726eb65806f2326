#include "Tests/MovaraKit/Service/ServiceFixture.h"

#include <filesystem>
#include <fstream>
#include <set>

#include "MovaraAppKit/Account/BaseMovaraPlanWindowController.h"
#include "MovaraAppKit/Account/MovaraPlanAccountSettingsViewController.h"
#include "MovaraAppKit/Account/MovaraPlanHomeViewController.h"
#include "MovaraAppKit/Account/MovaraPlanSignInCreateViewController.h"
#include "MovaraAppKit/Shell/Analytics.h"
#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"
#include "Tests/MovaraAppKit/Shell/ShellTestSupport.h"
#include "Tests/Support/ImageFixtures.h"

namespace {

class AccountScreensTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        dispatch::RunLoop::main().bindToCurrentThread();
        m_responder = ui::ScriptedResponder::make();
        ui::ScriptedResponder::install(m_responder);
        makeService();
    }
    void TearDown() override
    {
        for (const auto& w : ui::Application::shared()->windows())
            w->orderOut(nullptr);
        ui::ScriptedResponder::uninstall();
        ServiceTest::TearDown();
    }

    // A window holding the controller's view, shown, as the account window would.
    ui::WindowPtr show(const std::shared_ptr<ui::ViewController>& controller, bool dark = false)
    {
        auto window = ui::Window::windowWithContentViewController(controller);
        window->setAppearance(dark ? ui::Appearance::darkAqua() : ui::Appearance::aqua());
        window->makeKeyAndOrderFront(nullptr);
        controller->viewWillAppear();
        m_windows.push_back(window);
        return window;
    }

    static void type(const std::shared_ptr<ui::TextField>& field, const std::string& text)
    {
        ASSERT_TRUE(field);
        ASSERT_TRUE(field->window());
        field->window()->makeFirstResponder(field);
        field->replaceText(text);
    }

    // The alerts presented so far, as "message | informative".
    std::vector<std::string> alerts() const
    {
        std::vector<std::string> shown;
        for (const auto& record : m_responder->transcript())
            if (record.kind == ui::ScriptedResponder::Kind::alert)
                shown.push_back(record.messageText + " | " + record.informativeText);
        return shown;
    }

    bool waitForAlerts(std::size_t count)
    {
        return dispatch::RunLoop::main().runUntil([&] { return alerts().size() >= count; }, 10);
    }

    void signInAsAnn()
    {
        MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann", "secret"));
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([] { return MVRAPIUser::currentUser() != nullptr; }, 10));
        drainRunLoop();
    }

    // Where snapshots go: $QUINTOR_RENDER_DIR when set, else a folder of the test's own.
    std::string snapshot(const ui::WindowPtr& window, const std::string& name)
    {
        const char* dir = std::getenv("QUINTOR_RENDER_DIR");
        const std::string folder = dir ? dir : (std::filesystem::path(std::getenv("TMPDIR")) / "account-snapshots").string();
        std::filesystem::create_directories(folder);
        const std::string path = folder + "/" + name + ".png";
        EXPECT_TRUE(window->renderToPNG(path)) << path;
        return path;
    }

    std::shared_ptr<ui::ScriptedResponder> m_responder;
    std::vector<ui::WindowPtr> m_windows;
};

} // namespace

TEST_F(AccountScreensTest, TheFormEnablesItsButtonsByTheEditedFieldsTag)
{
    auto form = MovaraPlanSignInCreateViewController::init();
    show(form);
    struct Step {
        long tag;
        const char* text;
        bool signIn;
        bool create;
        bool reset;
    };
    const Step steps[] = {
        { 102, "secret", false, false, false },  // a password alone does nothing
        { 101, "not valid!", false, false, false },
        { 101, "ann@example.com", true, false, false },
        { 102, "short", false, false, false },
        { 201, "bob", false, false, false },
        { 202, "bob@example.com", false, false, false },
        { 203, "longenough", false, true, false },
        { 203, "12345", false, false, false },
        { 301, "no way!", false, false, false },
        { 301, "ann", false, false, true },
    };
    for (const Step& step : steps) {
        auto field = form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag(step.tag));
        ASSERT_TRUE(field) << step.tag;
        EXPECT_EQ(field->tag(), step.tag);
        // Each field is typed into on its own pane.
        if (step.tag / 100 == 1)
            form->setHideSignin(false);
        type(field, step.text);
        form->view()->window()->makeFirstResponder(field); // commits nothing: still editing
        EXPECT_EQ(form->enableSignInButton(), step.signIn) << step.tag << " " << step.text;
        EXPECT_EQ(form->enableCreateButton(), step.create) << step.tag << " " << step.text;
        EXPECT_EQ(form->enableResetPasswordButton(), step.reset) << step.tag << " " << step.text;
    }
}

TEST_F(AccountScreensTest, SignInShowsTheWrongPasswordAndClosesOnSuccess)
{
    auto home = MovaraPlanHomeViewController::init();
    auto window = show(home);
    home->showSignIn(nullptr);
    auto form = std::dynamic_pointer_cast<MovaraPlanSignInCreateViewController>(home->presentedViewControllers().empty()
                                                                                    ? nullptr
                                                                                    : home->presentedViewControllers().front());
    ASSERT_TRUE(form);
    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::signInUsernameOrEmail), "ann");
    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::signInPassword), "wrong-password");
    EXPECT_TRUE(form->enableSignInButton());
    m_responder->answerAlertWithButton("OK");
    form->signInButton()->performClick();
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts().back(), "Sign-in information incorrect | Please enter the correct username and password.");
    EXPECT_EQ(form->signInPassword(), "");
    EXPECT_FALSE(form->enableSignInButton());
    EXPECT_FALSE(MVRIsSignedIn());

    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::signInPassword), "secret");
    form->signInButton()->performClick();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return home->presentedViewControllers().empty(); }, 10));
    drainRunLoop();
    EXPECT_TRUE(MVRIsSignedIn());
    EXPECT_TRUE(home->signedIn());
    EXPECT_EQ(home->greeting(), "Signed in as ann");
}

TEST_F(AccountScreensTest, ResetAndCreateReportTheirOutcomes)
{
    auto form = MovaraPlanSignInCreateViewController::init();
    show(form);
    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::signInUsernameOrEmail), "nobody@example.com");
    form->showResetPasswordView(nullptr);
    EXPECT_FALSE(form->hideResetPassword());
    EXPECT_EQ(form->forgotUsernameOrEmail(), "nobody@example.com");
    EXPECT_TRUE(form->enableResetPasswordButton());
    m_responder->answerAlertWithButton("OK");
    form->resetButton()->performClick();
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts().back(), "User not found | A user with that username or email address was not found.");
    EXPECT_EQ(form->forgotUsernameOrEmail(), "");
    EXPECT_FALSE(form->enableResetPasswordButton());

    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::forgotUsernameOrEmail), "ann@example.com");
    m_responder->answerAlertWithButton("OK");
    form->resetButton()->performClick();
    ASSERT_TRUE(waitForAlerts(2));
    EXPECT_EQ(alerts().back(), "Email sent | A password reset message has been sent to the email address for that account.");
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !form->hideSignin(); }, 10));
    EXPECT_EQ(form->signInUsernameOrEmail(), "ann@example.com");

    form->showCreateAccountView(nullptr);
    EXPECT_EQ(form->createEmail(), "ann@example.com");
    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::createUsername), "taken");
    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::createPassword), "password1");
    form->marketingConsentSwitch()->performClick();
    EXPECT_TRUE(form->createMarketingConsent());
    m_responder->answerAlertWithButton("OK");
    form->createButton()->performClick();
    ASSERT_TRUE(waitForAlerts(3));
    EXPECT_EQ(alerts().back(), "Invalid Field | ");
    EXPECT_FALSE(form->enableCreateButton());

    type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::createUsername), "newbie");
    EXPECT_TRUE(form->enableCreateButton());
    form->createButton()->performClick();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([] { return MVRIsSignedIn(); }, 10));
    const auto sent = requests().back();
    EXPECT_EQ(sent.fields.at("marketing_consent"), "true");
    EXPECT_EQ(sent.fields.at("tracking_consent"), "false");
}

TEST_F(AccountScreensTest, SettingsTabsSaveThePasswordTheConsentAndTheProfile)
{
    signInAsAnn();
    auto password = MovaraPlanAccountSettingsPasswordViewController::init();
    show(password);
    type(password->fieldWithTag(MovaraPlanAccountSettingsPasswordViewController::FieldTag::passwordOld), "not-the-password");
    type(password->fieldWithTag(MovaraPlanAccountSettingsPasswordViewController::FieldTag::passwordNew1), "newsecret");
    type(password->fieldWithTag(MovaraPlanAccountSettingsPasswordViewController::FieldTag::passwordNew2), "newsecret");
    EXPECT_FALSE(password->enableUpdateButton()) << "the old password must be the stored one";
    type(password->fieldWithTag(MovaraPlanAccountSettingsPasswordViewController::FieldTag::passwordOld), "secret");
    type(password->fieldWithTag(MovaraPlanAccountSettingsPasswordViewController::FieldTag::passwordNew2), "newsecret");
    EXPECT_TRUE(password->enableUpdateButton());
    type(password->fieldWithTag(MovaraPlanAccountSettingsPasswordViewController::FieldTag::passwordNew2), "nomatch1");
    EXPECT_FALSE(password->enableUpdateButton());
    type(password->fieldWithTag(MovaraPlanAccountSettingsPasswordViewController::FieldTag::passwordNew2), "newsecret");
    m_responder->answerAlertWithButton("OK");
    password->updateButton()->performClick();
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts().back(), "Password changed | Please remember your new password.");
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return password->enableEditControls(); }, 10));
    EXPECT_EQ(MVRCurrentPassword(), "newsecret");
    EXPECT_EQ(requests().back().fields.at("password"), "newsecret");

    auto consent = MovaraPlanAccountSettingsConsentViewController::init();
    show(consent);
    EXPECT_FALSE(consent->enableUpdateButton());
    consent->marketingSwitch()->performClick();
    EXPECT_TRUE(consent->enableUpdateButton());
    consent->updateButton()->performClick();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return consent->enableEditControls(); }, 10));
    EXPECT_EQ(requests().back().fields.at("marketing_consent"), "true");
    EXPECT_EQ(MVRAPIUser::currentUser()->marketingConsent(), true);

    auto profile = MovaraPlanAccountSettingsProfileViewController::init();
    show(profile);
    type(profile->fieldWithTag(MovaraPlanAccountSettingsProfileViewController::FieldTag::userURL), "not a url");
    EXPECT_FALSE(profile->enableUpdateButton());
    type(profile->fieldWithTag(MovaraPlanAccountSettingsProfileViewController::FieldTag::userURL), "");
    EXPECT_TRUE(profile->enableUpdateButton()) << "an empty web address is fine";
    type(profile->fieldWithTag(MovaraPlanAccountSettingsProfileViewController::FieldTag::userEmail), "broken@");
    EXPECT_FALSE(profile->enableUpdateButton());
    type(profile->fieldWithTag(MovaraPlanAccountSettingsProfileViewController::FieldTag::userEmail), "ann@example.com");
    profile->avatarView()->changeHandler()(RoundAvatarView::defaultAvatarImage());
    EXPECT_TRUE(profile->didChangeAvatar());
    profile->updateButton()->performClick();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return profile->enableEditControls(); }, 10));
    EXPECT_FALSE(profile->didChangeAvatar());
    EXPECT_TRUE(requests().back().files.contains("avatar"));
}

// Saving the tracking consent has the shell start or stop analytics at once. The shell is
// made but not launched, so its own watch on the current user moves nothing here; its web
// service is the one the tab talks to.
TEST_F(AccountScreensTest, TheConsentTabStartsAndStopsTheShellsAnalytics)
{
    m_service.reset();
    drainRunLoop();
    shelltest::ScopedTelemetryClient telemetry;
    testsupport::TempDir bundle;
    bundle.write("Info.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                               "<key>CFBundleName</key><string>Tester</string>"
                               "<key>CFBundleIdentifier</key><string>com.movara.AccountTests</string></dict></plist>\n");
    foundation::Bundle::setMain(foundation::Bundle::bundleWithPath(bundle.path().string()));
    shelltest::TestAppSpecific::apiBaseURL = foundation::URL::URLWithString(m_server.url("/api"));
    struct Restore {
        ~Restore()
        {
            ui::Application::shared()->setDelegate(nullptr);
            Analytics::shared().stopTracking();
            shelltest::TestAppSpecific::apiBaseURL.reset();
            foundation::Bundle::setMain(nullptr);
        }
    } restore;
    ui::Application::shared()->setDelegate(MovaraAppDelegate::init());

    signInAsAnn();
    Analytics::shared().startTracking();
    ASSERT_TRUE(Analytics::shared().isTrackingEnabled());
    auto consent = MovaraPlanAccountSettingsConsentViewController::init();
    show(consent);

    struct Step {
        const char* sent;
        bool running;
    };
    for (const Step& step : { Step { "false", false }, Step { "true", true } }) {
        SCOPED_TRACE(step.sent);
        consent->trackingSwitch()->performClick();
        consent->updateButton()->performClick();
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return consent->enableEditControls(); }, 10));
        EXPECT_EQ(requests().back().fields.at("tracking_consent"), step.sent);
        EXPECT_EQ(Analytics::shared().isTrackingEnabled(), step.running);
        ASSERT_FALSE(telemetry->analyticsEnabled.empty());
        EXPECT_EQ(telemetry->analyticsEnabled.back(), step.running);
    }
    EXPECT_TRUE(alerts().empty());
}

TEST_F(AccountScreensTest, SigningOutEmptiesEveryScreensUser)
{
    signInAsAnn();
    auto profile = MovaraPlanAccountSettingsProfileViewController::init();
    auto home = MovaraPlanHomeViewController::init();
    show(profile);
    show(home);
    EXPECT_TRUE(profile->user());
    m_service->logout();
    drainRunLoop();
    EXPECT_FALSE(profile->user());
    EXPECT_FALSE(home->signedIn());
}

TEST_F(AccountScreensTest, SnapshotsOfEveryScreenInBothLooks)
{
    signInAsAnn();
    for (bool dark : { false, true }) {
        const std::string look = dark ? "dark" : "light";
        auto form = MovaraPlanSignInCreateViewController::init();
        auto window = show(form, dark);
        type(form->fieldWithTag(MovaraPlanSignInCreateViewController::FieldTag::signInUsernameOrEmail), "ann@example.com");
        snapshot(window, "signin-" + look);
        form->showCreateAccountView(nullptr);
        form->marketingConsentSwitch()->performClick();
        snapshot(window, "create-" + look);
        form->showResetPasswordView(nullptr);
        snapshot(window, "reset-" + look);

        auto home = MovaraPlanHomeViewController::init();
        snapshot(show(home, dark), "home-" + look);

        auto tabs = MovaraPlanAccountSettingsTabViewController();
        auto tabWindow = show(tabs, dark);
        for (long index = 0; index < 3; ++index) {
            tabs->setSelectedTabViewItemIndex(index);
            snapshot(tabWindow, "settings-" + std::to_string(index) + "-" + look);
        }
    }
}

TEST_F(AccountScreensTest, WithoutAPasswordManagerTheFormOffersNone)
{
    // This process's desktop (its own data and configuration folders) names no application
    // for the password manager's scheme.
    ui::Workspace::shared().setRecordsOnly(true);
    auto form = MovaraPlanSignInCreateViewController::init();
    show(form);
    EXPECT_FALSE(form->onePasswordAvailable());
    EXPECT_FALSE(form->onePasswordIcon());
    EXPECT_FALSE(form->onePasswordButton());
    EXPECT_FALSE(std::any_cast<bool>(form->valueForKey("onePasswordAvailable")));
}

TEST_F(AccountScreensTest, ThePasswordManagerTheDesktopNamesIsOfferedWithItsIcon)
{
    namespace fs = std::filesystem;
    ui::Workspace::shared().setRecordsOnly(true);
    ui::Workspace::shared().clearRecordedCalls();
    // A desktop whose default handler for the scheme is a fake password manager with an icon
    // of its own in the icon theme, set up before anything asks the desktop.
    const fs::path data = std::getenv("XDG_DATA_HOME");
    const fs::path config = std::getenv("XDG_CONFIG_HOME");
    fs::create_directories(data / "applications");
    std::ofstream(data / "applications" / "fakepm.desktop") << "[Desktop Entry]\nType=Application\nName=Fake Password Manager\n"
                                                               "Exec=/bin/true %u\nIcon=fakepm-icon\n"
                                                               "MimeType=x-scheme-handler/onepassword;\n";
    // Another application for the scheme that the desktop does not choose.
    std::ofstream(data / "applications" / "other.desktop") << "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true %u\n"
                                                              "MimeType=x-scheme-handler/onepassword;\n";
    std::ofstream(config / "mimeapps.list") << "[Default Applications]\nx-scheme-handler/onepassword=fakepm.desktop\n";
    fs::create_directories(data / "icons/hicolor/48x48/apps");
    fixtures::writeFile(data / "icons/hicolor/48x48/apps/fakepm-icon.png",
                           fixtures::makePNG8(20, 20, 2, [](int, int) { return std::vector<uint8_t> { 200, 30, 30 }; }));

    auto form = MovaraPlanSignInCreateViewController::init();
    show(form);
    EXPECT_TRUE(form->onePasswordAvailable());
    EXPECT_TRUE(std::any_cast<bool>(form->valueForKey("onePasswordAvailable")));
    auto icon = form->onePasswordIcon();
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->size().width, 20);
    EXPECT_EQ(icon->size().height, 20);
    EXPECT_EQ(ui::Workspace::shared().URLForApplicationToOpenURL(*foundation::URL::URLWithString(
                  MovaraPlanSignInCreateViewController::onePasswordSearchURL())),
              (data / "applications" / "fakepm.desktop").string());

    // The offer opens the search through the desktop.
    ASSERT_TRUE(form->onePasswordButton());
    EXPECT_FALSE(form->onePasswordButton()->isHidden());
    form->onePasswordButton()->performClick(nullptr);
    const auto calls = ui::Workspace::shared().recordedCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (ui::Workspace::Call { "openURL", { MovaraPlanSignInCreateViewController::onePasswordSearchURL() } }));
    EXPECT_TRUE(MovaraPlanSignInCreateViewController::onePasswordSearchURL().starts_with("onepassword://search/"));
    snapshot(m_windows.back(), "sign-in-with-password-manager");

    // An entry without a usable icon still gives the application a picture.
    std::ofstream(data / "applications" / "noicon.desktop") << "[Desktop Entry]\nType=Application\nName=N\nExec=/bin/true %u\n"
                                                               "Icon=/nonexistent/icon.png\n";
    EXPECT_FALSE(ui::Workspace::shared().iconForApplication((data / "applications" / "noicon.desktop").string()));
    EXPECT_FALSE(ui::Workspace::shared().iconForApplication((data / "applications" / "missing.desktop").string()));
}

TEST_F(AccountScreensTest, SheetsHangBelowTheAccountWindowsTransparentTitleBar)
{
    auto board = ui::Storyboard::storyboardWithName("MovaraPlanWindow");
    ASSERT_TRUE(board);
    auto controller = board->instantiateControllerWithIdentifierAs<MovaraPlanWindowController>("MovaraPlanWindowController");
    ASSERT_TRUE(controller);
    auto window = controller->window();
    ASSERT_TRUE(window);
    controller->showWindow(nullptr);
    EXPECT_TRUE(window->titlebarAppearsTransparent());
    // The content runs under the title bar, so the content's top is the frame's.
    ASSERT_EQ(ui::Window::contentRectForFrameRect(window->frame(), window->styleMask()).maxY(), window->frame().maxY());

    auto sheet = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 200, 80), 0);
    window->beginSheet(sheet);
    ASSERT_EQ(window->attachedSheet(), sheet);
    EXPECT_EQ(sheet->frame().maxY(), window->frame().maxY() - titleBarHeight());
    EXPECT_NEAR(sheet->frame().midX(), window->frame().midX(), 0.5);
    EXPECT_EQ(sheet->frame().size, graphics::Size(200, 80));
    window->endSheet(sheet);

    // A window of the same kind without the account windows' delegate hangs it at the top.
    auto plain = ui::Window::initWithContentRect(window->frame(), window->styleMask());
    plain->makeKeyAndOrderFront(nullptr);
    m_windows.push_back(plain);
    auto other = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 200, 80), 0);
    plain->beginSheet(other);
    EXPECT_EQ(other->frame().maxY(), plain->frame().maxY());
    plain->endSheet(other);
    window->orderOut(nullptr);
}

TEST_F(AccountScreensTest, SettingsTabsTakeTheSizeTheirControlsNeed)
{
    signInAsAnn();
    auto tabs = MovaraPlanAccountSettingsTabViewController();
    auto window = show(tabs);
    const double top = window->frame().maxY();
    std::set<std::pair<double, double>> sizes;
    for (long index : { 0, 1, 2, 0 }) {
        tabs->setSelectedTabViewItemIndex(index);
        auto tab = tabs->controllerAtIndex(static_cast<std::size_t>(index));
        const graphics::Size fitting = tab->view()->fittingSize();
        sizes.insert({ fitting.width, fitting.height });
        EXPECT_EQ(tab->preferredContentSize(), fitting) << index;
        // Every control of the tab lies inside its view, with the margins it keeps on the left
        // and at the bottom kept on the right and at the top as well.
        for (const auto& control : tab->view()->subviews()) {
            EXPECT_LE(control->frame().maxX(), fitting.width) << index;
            EXPECT_LE(control->frame().maxY(), fitting.height) << index;
        }
        EXPECT_EQ(tab->view()->frame().size, fitting) << index;
        // The window takes the tab and the row of tabs above it, keeping its top edge.
        const auto content = ui::Window::contentRectForFrameRect(window->frame(), window->styleMask());
        EXPECT_EQ(content.size.width, fitting.width) << index;
        EXPECT_EQ(content.size.height, fitting.height + (tabs->view()->frame().size.height - fitting.height)) << index;
        EXPECT_EQ(tabs->view()->frame().size, content.size) << index;
        EXPECT_EQ(window->frame().maxY(), top) << index;
        for (const auto& button : tabs->tabButtons())
            EXPECT_GT(button->frame().minY(), fitting.height - 1) << index << ": the tab row stays above the tab";
    }
    EXPECT_GT(sizes.size(), 1u) << "the tabs need different sizes";
    snapshot(window, "settings-fitted");
}
