#pragma once
// The walkthrough's content: one movie at a time in a player view, each waiting on its first
// frame under its caption until the user presses Next; after the last movie only Close
// remains. Progress goes to analytics as onboarding stages. Also the player view (whose
// backing layer shows the movie, letterboxed) and the rounded message box. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Media/Player.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Layer.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/View.h"
#include "Platform/UI/ViewController.h"

// A view whose backing layer is a player layer fitting the movie inside it. Made only by
// interface files.
class OnboardingWalkthroughPlayerView : public ui::View {
public:
    static std::shared_ptr<OnboardingWalkthroughPlayerView> initWithCoder(const graphics::Rect& frame);
    std::shared_ptr<ui::PlayerLayer> playerLayer() const;
    std::shared_ptr<ui::Layer> makeBackingLayer() override;
    bool isOpaque() const override { return true; }
    void draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context) override;

protected:
    explicit OnboardingWalkthroughPlayerView(const graphics::Rect& frame);
};

// The message box: a dark translucent panel whose corners are rounded (5 points) once it is
// in a window. Made only by interface files.
class RoundedCornerVisualEffectView : public ui::View {
public:
    static std::shared_ptr<RoundedCornerVisualEffectView> initWithCoder(const graphics::Rect& frame);
    void viewDidMoveToWindow() override;

protected:
    explicit RoundedCornerVisualEffectView(const graphics::Rect& frame);
};

class OnboardingWalkthroughViewController : public ui::ViewController, public foundation::Observable {
public:
    // The movies and captions of the configuration object.
    static std::shared_ptr<OnboardingWalkthroughViewController> init();
    static std::shared_ptr<OnboardingWalkthroughViewController> initWithMovies(std::vector<foundation::URL> urls,
                                                                               std::vector<std::string> messages);

    const std::optional<std::string>& message() const { return m_message; }
    void setMessage(std::optional<std::string> message);
    const std::optional<std::string>& buttonTitle() const { return m_buttonTitle; }
    void setButtonTitle(std::optional<std::string> title);
    bool hideMessageBox() const { return m_hideMessageBox; }
    void setHideMessageBox(bool value);
    std::int64_t currentIndex() const { return m_currentIndex; }
    const std::vector<foundation::URL>& urls() const { return m_urls; }
    const std::vector<std::string>& messages() const { return m_messages; }
    const media::PlayerPtr& player() const { return m_player; }
    std::shared_ptr<ui::Button> nextButton() const { return m_nextButton; }

    void loadView() override;
    void viewWillAppear() override;
    virtual void currentItemFinishedPlaying(const foundation::Notification& notification);
    // Action "nextDone:" of the Next/Close button.
    virtual void nextDone(ui::Object* sender);
    // Stops the movie and reports how much of the walkthrough was watched.
    virtual void stopPlayback();

    const foundation::KeyTable& observableKeys() const override;

protected:
    OnboardingWalkthroughViewController() = default;

private:
    std::shared_ptr<OnboardingWalkthroughPlayerView> playerView();
    void updateMessageBox();
    void observeEndOfItem(const media::PlayerItemPtr& item);

    std::optional<std::string> m_message;
    std::optional<std::string> m_buttonTitle;
    bool m_hideMessageBox = false;
    std::int64_t m_currentIndex = 0;
    std::vector<foundation::URL> m_urls;
    std::vector<std::string> m_messages;
    media::PlayerPtr m_player;
    foundation::NotificationCenter::Token m_endObservation;
    std::shared_ptr<ui::Button> m_nextButton;
};
