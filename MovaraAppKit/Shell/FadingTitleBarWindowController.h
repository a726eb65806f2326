#pragma once
// A window controller whose window's title bar (with its buttons) fades out when the pointer
// leaves the window or rests for three seconds, and comes back when the pointer enters or
// moves over the content; the window can be dragged by its background. The fade runs on the
// process clock (virtual in tests). Main thread only.

#include <memory>
#include <optional>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/UI/TrackingArea.h"
#include "Platform/UI/View.h"
#include "Platform/UI/WindowController.h"

class FadingTitleBarWindowController : public ui::WindowController {
public:
    static std::shared_ptr<FadingTitleBarWindowController> initWithWindow(const std::shared_ptr<ui::Window>& window);
    ~FadingTitleBarWindowController() override;

    // How long the title bar stays after the last sign of the pointer.
    static constexpr double fadeDelay = 3.0;

    // The view that holds the title bar: found from the close button, as the ancestor of the
    // close button whose superview also holds the content view. None for a window without one.
    std::shared_ptr<ui::View> titlebarContainerView();
    const ui::TrackingAreaPtr& trackingArea() const { return m_trackingArea; }
    bool hasPendingFade() const { return m_fadeTimer.has_value(); }

    void windowDidLoad() override;
    void contentViewFrameDidChange(const foundation::Notification* notification);
    void showWindow(ui::Object* sender) override;
    void mouseEntered(const ui::Event& event) override;
    void mouseMoved(const ui::Event& event) override;
    void mouseExited(const ui::Event& event) override;
    void showChrome();
    void fadeChrome();
    // Not registered with the window: an owner or subclass calls it when the window closes.
    void windowWillClose(const foundation::Notification& notification);

protected:
    FadingTitleBarWindowController() = default;

private:
    void cancelFadeTimer();
    void setChromeAlpha(double alpha);

    ui::TrackingAreaPtr m_trackingArea;
    std::optional<dispatch::RunLoop::PerformToken> m_fadeTimer;
    std::optional<foundation::NotificationCenter::Token> m_frameObservation;
};
