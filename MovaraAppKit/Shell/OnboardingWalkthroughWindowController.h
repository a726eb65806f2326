#pragma once
// The first-launch walkthrough window, from the storyboard "OnboardingWalkthrough" of the
// shell. On the first launch it opens and is followed, when it closes, by the plan onboarding
// window; on later launches the plan onboarding window is offered at once. The user default
// "hasShownWalkthroughWindowOnLaunch" remembers that it was shown. Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Window.h"
#include "Platform/UI/WindowController.h"

// "hasShownWalkthroughWindowOnLaunch"
extern const std::string MVRHasShownWalkthroughWindowOnLaunchKey;

class OnboardingWalkthroughWindowController : public ui::WindowController, public ui::WindowDelegate {
public:
    static std::shared_ptr<OnboardingWalkthroughWindowController> init();

    bool shouldShowMovaraPlanOnboardingWindowNext() const { return m_shouldShowMovaraPlanOnboardingWindowNext; }
    void setShouldShowMovaraPlanOnboardingWindowNext(bool value) { m_shouldShowMovaraPlanOnboardingWindowNext = value; }

    void windowDidLoad() override;
    // Centres the window, titles it with the application's name and icon, shows it and
    // records that the walkthrough has been shown (on every showing, from the menu too).
    void showWindow(ui::Object* sender) override;
    void windowWillClose(const foundation::Notification& notification) override;

    // Called at will-finish-launching.
    virtual void showOnLaunch();

protected:
    OnboardingWalkthroughWindowController() = default;

private:
    bool m_shouldShowMovaraPlanOnboardingWindowNext = false;
};
