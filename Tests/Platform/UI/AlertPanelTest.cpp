// Alerts and panels answered by the scripted responder or by their defaults, run modally
// or as sheets.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "Platform/UI/Alert.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/SavePanel.h"
#include "Tests/Platform/UI/UITestSupport.h"
#include "Tests/Support/TempDir.h"

using foundation::URL;
using namespace ui;

namespace {

class AlertPanelTest : public uitest::UITest {
protected:
    std::shared_ptr<Alert> twoButtonAlert()
    {
        auto alert = Alert::init();
        alert->setMessageText("Marketing Consent");
        alert->setInformativeText("Can we write to you?");
        alert->addButtonWithTitle("No");
        alert->addButtonWithTitle("Yes");
        return alert;
    }
};

TEST_F(AlertPanelTest, ButtonsReturnCodesInOrderAndTheFirstIsTheDefault)
{
    auto alert = twoButtonAlert();
    auto cancel = alert->addButtonWithTitle("Cancel");
    ASSERT_EQ(alert->buttons().size(), 3u);
    EXPECT_EQ(alert->buttons()[0]->tag(), AlertFirstButtonReturn);
    EXPECT_EQ(alert->buttons()[1]->tag(), AlertSecondButtonReturn);
    EXPECT_EQ(alert->buttons()[0]->keyEquivalent(), kReturnKey);
    EXPECT_EQ(cancel->keyEquivalent(), kEscapeKey);
    // Nobody to answer: the default button.
    EXPECT_EQ(alert->runModal(), AlertFirstButtonReturn);
}

TEST_F(AlertPanelTest, ScriptedAnswersPickButtonsByTitleOrCodeAndAreRecorded)
{
    auto responder = ScriptedResponder::make();
    ScriptedResponder::install(responder);
    responder->answerAlertWithButton("Yes");
    responder->answerAlertWithResponse(AlertFirstButtonReturn);
    responder->answerAlertWithButton("Maybe"); // not on the alert: the default

    EXPECT_EQ(twoButtonAlert()->runModal(), AlertSecondButtonReturn);
    EXPECT_EQ(twoButtonAlert()->runModal(), AlertFirstButtonReturn);
    EXPECT_EQ(twoButtonAlert()->runModal(), AlertFirstButtonReturn);
    EXPECT_EQ(responder->pendingAnswers(), 0u);
    const auto t = responder->transcript();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].kind, ScriptedResponder::Kind::alert);
    EXPECT_EQ(t[0].messageText, "Marketing Consent");
    EXPECT_EQ(t[0].informativeText, "Can we write to you?");
    EXPECT_EQ(t[0].buttons, (std::vector<std::string>{"No", "Yes"}));
    EXPECT_EQ(t[0].response, AlertSecondButtonReturn);
}

TEST_F(AlertPanelTest, SuppressionIsTickedOnlyWhenTheAlertShowsTheBox)
{
    auto responder = ScriptedResponder::make();
    ScriptedResponder::install(responder);
    responder->answerAlertWithResponse(AlertFirstButtonReturn, true);
    responder->answerAlertWithResponse(AlertFirstButtonReturn, true);
    auto withBox = twoButtonAlert();
    withBox->setShowsSuppressionButton(true);
    withBox->runModal();
    EXPECT_EQ(withBox->suppressionButton()->state(), ControlStateValueOn);
    auto without = twoButtonAlert();
    without->runModal();
    EXPECT_EQ(without->suppressionButton()->state(), ControlStateValueOff);
}

TEST_F(AlertPanelTest, AnAlertSheetAnswersOnALaterTurnOfTheMainLoop)
{
    auto responder = ScriptedResponder::make();
    ScriptedResponder::install(responder);
    responder->answerAlertWithButton("Yes");
    auto host = makeWindow();
    host->makeKeyAndOrderFront();
    std::optional<ModalResponse> result;
    twoButtonAlert()->beginSheetModalForWindow(host, [&](ModalResponse r) { result = r; });
    EXPECT_FALSE(result);
    EXPECT_NE(host->attachedSheet(), nullptr);
    ASSERT_TRUE(runUntil([&] { return result.has_value(); }));
    EXPECT_EQ(*result, AlertSecondButtonReturn);
    EXPECT_EQ(host->attachedSheet(), nullptr);
    EXPECT_TRUE(responder->transcript().at(0).asSheet);
}

TEST_F(AlertPanelTest, PressingAButtonOfAnAlertSheetEndsIt)
{
    auto host = makeWindow();
    std::optional<ModalResponse> result;
    auto alert = twoButtonAlert();
    alert->beginSheetModalForWindow(host, [&](ModalResponse r) { result = r; });
    alert->buttons()[1]->performClick();
    EXPECT_EQ(result, AlertSecondButtonReturn);
    // The scheduled default answer finds the sheet gone and does nothing.
    while (dispatch::RunLoop::main().runOnce(0)) { }
    EXPECT_EQ(result, AlertSecondButtonReturn);
}

TEST_F(AlertPanelTest, PresentingAnErrorShowsItsDescription)
{
    auto responder = ScriptedResponder::make();
    ScriptedResponder::install(responder);
    auto host = makeWindow();
    bool dismissed = false;
    host->presentError(foundation::Error::make(foundation::NSCocoaErrorDomain, 0, "You must start with more than one image."),
                       [&] { dismissed = true; });
    ASSERT_TRUE(runUntil([&] { return dismissed; }));
    const auto t = responder->transcript();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].messageText, "You must start with more than one image.");
    EXPECT_EQ(t[0].buttons, (std::vector<std::string>{"OK"}));
}

TEST_F(AlertPanelTest, WithoutAResponderPanelsAreCancelled)
{
    auto save = SavePanel::savePanel();
    EXPECT_EQ(save->runModal(), ModalResponseCancel);
    EXPECT_FALSE(save->URL());
    auto open = OpenPanel::openPanel();
    auto host = makeWindow();
    std::optional<ModalResponse> result;
    open->beginSheetModalForWindow(host, [&](ModalResponse r) { result = r; });
    ASSERT_TRUE(runUntil([&] { return result.has_value(); }));
    EXPECT_EQ(*result, ModalResponseCancel);
    EXPECT_TRUE(open->URLs().empty());
}

TEST_F(AlertPanelTest, TheSavePanelGivesTheNameAnAllowedExtension)
{
    struct Case {
        std::vector<std::string> allowed;
        bool allowsOthers;
        std::string answered;
        std::string expected;
    };
    const Case cases[] = {
        {{"mp4"}, false, "/out/Trip.mp4", "/out/Trip.mp4"},
        {{"mp4"}, false, "/out/Trip", "/out/Trip.mp4"},
        {{"mp4"}, false, "/out/Trip.mov", "/out/Trip.mov.mp4"},
        {{"MP4"}, false, "/out/Trip.mp4", "/out/Trip.mp4"},
        {{"public.mpeg-4"}, false, "/out/Trip", "/out/Trip.mp4"},
        {{"mp4"}, true, "/out/Trip.mov", "/out/Trip.mov"},
        {{}, false, "/out/Trip", "/out/Trip"},
    };
    auto responder = ScriptedResponder::make();
    ScriptedResponder::install(responder);
    for (const auto& c : cases) {
        responder->answerSavePanel(URL::fileURLWithPath(c.answered));
        auto panel = SavePanel::savePanel();
        panel->setAllowedFileTypes(c.allowed);
        panel->setAllowsOtherFileTypes(c.allowsOthers);
        ASSERT_EQ(panel->runModal(), ModalResponseOK) << c.answered;
        EXPECT_EQ(panel->URL()->path(), c.expected);
        EXPECT_EQ(panel->directoryURL()->path(), "/out");
    }
    responder->cancelNextSavePanel();
    EXPECT_EQ(SavePanel::savePanel()->runModal(), ModalResponseCancel);
}

TEST_F(AlertPanelTest, TheOpenPanelHandsBackOnlyWhatItCouldHaveChosen)
{
    testsupport::TempDir dir;
    const auto jpeg = dir.write("a.jpg", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(60, '\0'));
    const auto text = dir.write("notes.txt", "hello");
    std::filesystem::create_directory(dir / "folder");
    auto responder = ScriptedResponder::make();
    ScriptedResponder::install(responder);
    const std::vector<URL> answer = {URL::fileURLWithPath(text.string()), URL::fileURLWithPath(jpeg.string()),
                                     URL::fileURLWithPath((dir / "folder").string(), true),
                                     URL::fileURLWithPath((dir / "missing.jpg").string())};

    auto panel = OpenPanel::openPanel();
    panel->setAllowedFileTypes({"public.image"});
    panel->setCanChooseDirectories(true);
    panel->setAllowsMultipleSelection(true);
    responder->answerOpenPanel(answer);
    ASSERT_EQ(panel->runModal(), ModalResponseOK);
    ASSERT_EQ(panel->URLs().size(), 2u);
    EXPECT_EQ(panel->URLs()[0].lastPathComponent(), "a.jpg");
    EXPECT_EQ(panel->URLs()[1].lastPathComponent(), "folder");

    // One item at most, and no folders, unless allowed.
    panel->setAllowsMultipleSelection(false);
    panel->setCanChooseDirectories(false);
    responder->answerOpenPanel({URL::fileURLWithPath((dir / "folder").string(), true), URL::fileURLWithPath(jpeg.string())});
    ASSERT_EQ(panel->runModal(), ModalResponseOK);
    ASSERT_EQ(panel->URLs().size(), 1u);
    EXPECT_EQ(panel->URLs()[0].lastPathComponent(), "a.jpg");

    // Nothing acceptable is a cancel.
    responder->answerOpenPanel({URL::fileURLWithPath(text.string())});
    EXPECT_EQ(panel->runModal(), ModalResponseCancel);
}

TEST_F(AlertPanelTest, AModalSessionEndsWithTheScriptedCodeOrAbortsWhenNothingCanEndIt)
{
    auto w = makeWindow();
    EXPECT_EQ(Application::shared()->runModalForWindow(w), ModalResponseAbort);
    auto responder = ScriptedResponder::make();
    ScriptedResponder::install(responder);
    responder->answerModalWindow(ModalResponseOK);
    EXPECT_EQ(Application::shared()->runModalForWindow(w), ModalResponseOK);
    // A block on the main loop may end it too.
    dispatch::RunLoop::main().perform([] { Application::shared()->stopModalWithCode(42); });
    EXPECT_EQ(Application::shared()->runModalForWindow(w), 42);
}

} // namespace
