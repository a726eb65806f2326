#include "MovaraAppKit/Shell/OnboardingWalkthroughViewController.h"

#include "MovaraAppKit/Shell/Analytics.h"
#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Media/PlayerItem.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Window.h"

using graphics::Rect;

// ---- player view -----------------------------------------------------------------------------

OnboardingWalkthroughPlayerView::OnboardingWalkthroughPlayerView(const Rect& frame)
    : ui::View(frame)
{
}

std::shared_ptr<OnboardingWalkthroughPlayerView> OnboardingWalkthroughPlayerView::initWithCoder(const Rect& frame)
{
    std::shared_ptr<OnboardingWalkthroughPlayerView> view(new OnboardingWalkthroughPlayerView(frame));
    view->setWantsLayer(true);
    return view;
}

std::shared_ptr<ui::Layer> OnboardingWalkthroughPlayerView::makeBackingLayer()
{
    auto layer = ui::PlayerLayer::playerLayerWithPlayer(nullptr);
    layer->setVideoGravity(ui::LayerVideoGravity::resizeAspect);
    return layer;
}

std::shared_ptr<ui::PlayerLayer> OnboardingWalkthroughPlayerView::playerLayer() const
{
    return std::dynamic_pointer_cast<ui::PlayerLayer>(layer());
}

void OnboardingWalkthroughPlayerView::draw(const Rect&, ui::GraphicsContext&)
{
    // The layer shows the movie; the window's dark background shows around it.
}

// ---- message box -----------------------------------------------------------------------------

RoundedCornerVisualEffectView::RoundedCornerVisualEffectView(const Rect& frame)
    : ui::View(frame)
{
}

std::shared_ptr<RoundedCornerVisualEffectView> RoundedCornerVisualEffectView::initWithCoder(const Rect& frame)
{
    std::shared_ptr<RoundedCornerVisualEffectView> view(new RoundedCornerVisualEffectView(frame));
    view->setWantsLayer(true);
    // A dark, translucent material over the movie.
    view->layer()->setBackgroundColor(ui::Color::calibratedWhite(0.12, 0.85));
    return view;
}

void RoundedCornerVisualEffectView::viewDidMoveToWindow()
{
    ui::View::viewDidMoveToWindow();
    if (layer())
        layer()->setCornerRadius(5.0);
}

// ---- view controller -------------------------------------------------------------------------

std::shared_ptr<OnboardingWalkthroughViewController> OnboardingWalkthroughViewController::init()
{
    auto info = MVRAppInfo::shared();
    return initWithMovies(info->onboardingWalkthroughMovieUrls(), info->onboardingWalkthroughMessages());
}

std::shared_ptr<OnboardingWalkthroughViewController> OnboardingWalkthroughViewController::initWithMovies(
    std::vector<foundation::URL> urls, std::vector<std::string> messages)
{
    std::shared_ptr<OnboardingWalkthroughViewController> controller(new OnboardingWalkthroughViewController());
    controller->m_urls = std::move(urls);
    controller->m_messages = std::move(messages);
    std::weak_ptr<OnboardingWalkthroughViewController> weak = controller;
    controller->registerAction("nextDone:", [weak](ui::Object* sender) {
        if (auto self = weak.lock())
            self->nextDone(sender);
    });
    return controller;
}

void OnboardingWalkthroughViewController::setMessage(std::optional<std::string> message)
{
    willChange("message");
    m_message = std::move(message);
    didChange("message");
}

void OnboardingWalkthroughViewController::setButtonTitle(std::optional<std::string> title)
{
    willChange("buttonTitle");
    m_buttonTitle = std::move(title);
    didChange("buttonTitle");
}

void OnboardingWalkthroughViewController::setHideMessageBox(bool value)
{
    willChange("hideMessageBox");
    m_hideMessageBox = value;
    didChange("hideMessageBox");
}

const foundation::KeyTable& OnboardingWalkthroughViewController::observableKeys() const
{
    // Optional texts read as empty values when absent, which the bound controls show as "".
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("message", [](const foundation::Observable& o) -> std::any {
             const auto& m = static_cast<const OnboardingWalkthroughViewController&>(o).message();
             return m ? std::any(*m) : std::any();
         })
            .key("buttonTitle", [](const foundation::Observable& o) -> std::any {
                const auto& m = static_cast<const OnboardingWalkthroughViewController&>(o).buttonTitle();
                return m ? std::any(*m) : std::any();
            })
            .key("hideMessageBox", &OnboardingWalkthroughViewController::hideMessageBox,
                 &OnboardingWalkthroughViewController::setHideMessageBox);
        return t;
    }();
    return table;
}

void OnboardingWalkthroughViewController::loadView()
{
    // The storyboard's scene: the movie fills the window, the message box floats at its foot.
    auto view = OnboardingWalkthroughPlayerView::initWithCoder(Rect::make(0, 0, 640, 480));
    auto box = RoundedCornerVisualEffectView::initWithCoder(Rect::make(20, 20, 600, 64));
    auto caption = ui::TextField::wrappingLabelWithString("", 460);
    caption->setFrame(Rect::make(16, 8, 460, 48));
    caption->setTextColor(ui::Color::white());
    auto button = ui::Button::buttonWithTitle("", nullptr, "nextDone:");
    button->setFrame(Rect::make(492, 16, 92, 32));
    button->setKeyEquivalent("\r");
    button->setTarget(sharedAs<ui::Object>());
    box->addSubview(caption);
    box->addSubview(button);
    view->addSubview(box);
    setView(view);
    m_nextButton = button;

    auto self = std::dynamic_pointer_cast<foundation::Observable>(sharedAs<ui::Object>());
    caption->bind(ui::NSValueBinding, self, "message");
    button->bind(ui::NSTitleBinding, self, "buttonTitle");
    box->bind(ui::NSHiddenBinding, self, "hideMessageBox");
}

std::shared_ptr<OnboardingWalkthroughPlayerView> OnboardingWalkthroughViewController::playerView()
{
    auto v = std::dynamic_pointer_cast<OnboardingWalkthroughPlayerView>(view());
    if (!v)
        foundation::fatal("OnboardingWalkthroughViewController: the view is not an OnboardingWalkthroughPlayerView.");
    if (!v->playerLayer())
        foundation::fatal("OnboardingWalkthroughViewController: the player view has no player layer.");
    return v;
}

void OnboardingWalkthroughViewController::observeEndOfItem(const media::PlayerItemPtr& item)
{
    std::weak_ptr<OnboardingWalkthroughViewController> weak = sharedAs<OnboardingWalkthroughViewController>();
    m_endObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        media::AVPlayerItemDidPlayToEndTimeNotification, foundation::identityOf(item.get()), nullptr,
        [weak](const foundation::Notification& n) {
            if (auto self = weak.lock())
                self->currentItemFinishedPlaying(n);
        });
}

void OnboardingWalkthroughViewController::viewWillAppear()
{
    ui::ViewController::viewWillAppear();
    m_currentIndex = 0;
    auto view = playerView();
    // Without any movie there is nothing to load: the box offers Close at once.
    if (!m_urls.empty()) {
        m_player = media::Player::playerWithURL(m_urls.front());
        view->playerLayer()->setPlayer(m_player);
        observeEndOfItem(m_player->currentItem());
    } else {
        m_player.reset();
        view->playerLayer()->setPlayer(nullptr);
        m_endObservation.remove();
    }
    updateMessageBox();
    Analytics::shared().beginOnboardingStage(m_currentIndex);
}

void OnboardingWalkthroughViewController::updateMessageBox()
{
    const auto index = m_currentIndex;
    const auto count = static_cast<std::int64_t>(m_messages.size());
    if (index < count)
        setMessage(m_messages[static_cast<size_t>(index)]);
    // Signed arithmetic: with no captions at all the button must read Close, not wrap round.
    setButtonTitle(index < count - 1 ? foundation::localized("Next", "button title", mvr_movaraAppKitBundle())
                                     : foundation::localized("Close", "button title", mvr_movaraAppKitBundle()));
    setHideMessageBox(false);
}

void OnboardingWalkthroughViewController::nextDone(ui::Object*)
{
    if (m_currentIndex < static_cast<std::int64_t>(m_urls.size()) && m_player) {
        setHideMessageBox(true);
        m_player->play();
        return;
    }
    if (auto* w = isViewLoaded() ? view()->window() : nullptr)
        w->close();
}

void OnboardingWalkthroughViewController::currentItemFinishedPlaying(const foundation::Notification&)
{
    Analytics::shared().endOnboardingStage(m_currentIndex);
    ++m_currentIndex;
    m_endObservation.remove();
    if (m_currentIndex >= static_cast<std::int64_t>(m_urls.size()) || !m_player) {
        updateMessageBox();
        return;
    }
    m_player->pause();
    auto item = media::PlayerItem::playerItemWithURL(m_urls[static_cast<size_t>(m_currentIndex)]);
    m_player->replaceCurrentItemWithPlayerItem(item);
    observeEndOfItem(item);
    Analytics::shared().beginOnboardingStage(m_currentIndex);
    updateMessageBox();
}

void OnboardingWalkthroughViewController::stopPlayback()
{
    if (m_player) {
        m_player->pause();
        m_player->replaceCurrentItemWithPlayerItem(nullptr);
    }
    m_endObservation.remove();
    if (isViewLoaded())
        if (auto v = std::dynamic_pointer_cast<OnboardingWalkthroughPlayerView>(view()); v && v->playerLayer())
            v->playerLayer()->setPlayer(nullptr);
    // With no movies nothing was left unwatched; never divide by zero.
    const double completion = m_urls.empty() ? 1.0 : static_cast<double>(m_currentIndex) / static_cast<double>(m_urls.size());
    Analytics::shared().endOnboarding(completion);
}
