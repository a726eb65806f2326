#pragma once
// The plan onboarding window, from the storyboard "MovaraPlanOnboardingWindow" of the shell:
// a caption over the account-creation form, offered at launch unless the user default
// "dontShowOnboardingWindowOnLaunch" is set. Closing it tells the delegate, so the application
// can bring up its own window. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "MovaraAppKit/Account/BaseMovaraPlanWindowController.h"
#include "MovaraAppKit/Account/MovaraPlanSignInCreateViewController.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Media/Player.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Layer.h"
#include "Platform/UI/View.h"

// "dontShowOnboardingWindowOnLaunch"
extern const std::string MVRDontShowOnboardingWindowOnLaunchKey;

class MovaraPlanOnboardingWindowDelegate {
public:
    virtual ~MovaraPlanOnboardingWindowDelegate() = default;
    virtual void movaraPlanOnboardingWindowDidClose() = 0;
};

class MovaraPlanOnboardingWindowController : public BaseMovaraPlanWindowController {
public:
    static std::shared_ptr<MovaraPlanOnboardingWindowController> init();

    std::shared_ptr<MovaraPlanOnboardingWindowDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<MovaraPlanOnboardingWindowDelegate>& delegate) { m_delegate = delegate; }

    // Shows the window unless the user turned it off at launch.
    virtual void showOnLaunch();
    void windowWillClose(const foundation::Notification& notification) override;

protected:
    MovaraPlanOnboardingWindowController() = default;

private:
    std::weak_ptr<MovaraPlanOnboardingWindowDelegate> m_delegate;
};

// The window's content: a looping promotional movie, the caption and the form, opened on
// account creation. A sign-in (a current user appearing) closes the window. The movie plays
// only while the view is on screen: disappearing pauses it and takes its layer away.
class MovaraPlanOnboardingViewController : public MovaraPlanSignInCreateViewController {
public:
    static std::shared_ptr<MovaraPlanOnboardingViewController> init();

    const std::optional<std::string>& caption() const { return m_caption; }
    void setCaption(std::optional<std::string> caption);
    bool hideDontShowOnboardingWindowCheckbox() const { return m_hideDontShowOnboardingWindowCheckbox; }
    void setHideDontShowOnboardingWindowCheckbox(bool value);

    // The view that hosts the movie (an outlet, held weakly).
    std::shared_ptr<ui::View> movieView() const { return m_movieView.lock(); }
    void setMovieView(const std::shared_ptr<ui::View>& view) { m_movieView = view; }
    bool hasPlayerObserver() const { return m_playerObserver.has_value(); }
    const media::PlayerPtr& player() const { return m_player; }

    // The check box under the form (bound to hideDontShowOnboardingWindowCheckbox), which sets
    // or clears "dontShowOnboardingWindowOnLaunch".
    std::shared_ptr<ui::Button> dontShowCheckbox() const { return m_dontShowCheckbox.lock(); }
    void dontShowOnboardingWindowOnLaunchChanged(ui::Object* sender);

    void loadView() override;
    void viewWillAppear() override;
    void viewWillDisappear() override;
    virtual void currentUserDidChange(const foundation::Notification& notification);

    const foundation::KeyTable& observableKeys() const override;

protected:
    MovaraPlanOnboardingViewController() = default;

private:
    std::optional<std::string> m_caption;
    bool m_hideDontShowOnboardingWindowCheckbox = false;
    foundation::NotificationCenter::Token m_currentUserObservation;
    std::weak_ptr<ui::View> m_movieView;
    std::weak_ptr<ui::Button> m_dontShowCheckbox;
    std::optional<foundation::NotificationCenter::Token> m_playerObserver;
    media::PlayerPtr m_player;
    std::shared_ptr<ui::PlayerLayer> m_playerLayer;
};
