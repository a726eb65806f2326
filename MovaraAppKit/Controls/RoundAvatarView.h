#pragma once
// A user's picture in a circle. When changeable, hovering darkens it and shows "Edit" over
// it, and a click or the space bar opens the picture chooser; a chosen picture is shown and
// handed to the change handler the owning screen installs. Also the default avatar picture
// and the download of an avatar with that default as the fallback. Main thread only.

#include <functional>
#include <memory>
#include <optional>

#include "Platform/Foundation/URL.h"
#include "Platform/UI/ImageView.h"
#include "Platform/UI/Layer.h"
#include "Platform/UI/PictureTaker.h"
#include "Platform/UI/TextField.h"

class RoundAvatarView : public ui::ImageView {
public:
    using ChangeHandler = std::function<void(const ui::ImagePtr& image)>;

    static std::shared_ptr<RoundAvatarView> initWithFrame(const graphics::Rect& frame);
    static std::shared_ptr<RoundAvatarView> initWithCoder(const graphics::Rect& frame);

    // The shell's "default-avatar" picture, loaded once.
    static ui::ImagePtr defaultAvatarImage();
    // Downloads the picture at `url` and gives it to `completion` on the main queue; without a
    // URL, the default picture at once on the caller's thread. A failed download, or a body
    // that is not a picture, gives the default picture.
    static void requestAvatarImageForURL(const std::optional<foundation::URL>& url,
                                         std::function<void(const ui::ImagePtr& image)> completion);

    bool changeable() const { return m_changeable; }
    void setChangeable(bool value) { m_changeable = value; }
    const ChangeHandler& changeHandler() const { return m_changeHandler; }
    void setChangeHandler(ChangeHandler handler) { m_changeHandler = std::move(handler); }
    const std::shared_ptr<ui::TextField>& label() const { return m_label; }
    const ui::LayerPtr& darkenLayer() const { return m_darkenLayer; }

    // Actions: "showPictureTaker:" opens the chooser whatever the state.
    void showPictureTaker(ui::Object* sender);
    void pictureTakerDidEnd(ui::PictureTaker& taker, ui::ModalResponse returnCode);

    void awakeFromNib() override;
    void layout() override;
    void draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context) override;
    void updateTrackingAreas() override;
    bool acceptsFirstResponder() const override { return m_changeable && isEnabled(); }
    void drawFocusRingMask(ui::GraphicsContext& context) const;
    graphics::Rect focusRingMaskBounds() const { return bounds(); }
    void mouseDown(const ui::Event& event) override;
    void mouseEntered(const ui::Event& event) override;
    void mouseExited(const ui::Event& event) override;
    void keyUp(const ui::Event& event) override;
    void mouseUp(const ui::Event& event) override;

protected:
    explicit RoundAvatarView(const graphics::Rect& frame);

private:
    static std::shared_ptr<RoundAvatarView> make(const graphics::Rect& frame);
    void openPictureTaker();

    bool m_changeable = true;
    ChangeHandler m_changeHandler;
    std::shared_ptr<ui::TextField> m_label;
    ui::LayerPtr m_darkenLayer;
    ui::TrackingAreaPtr m_trackingArea;
};
