#pragma once
// A box whose background is the shell's "shadow-box" picture stretched over the area being
// redrawn, in place of the box's own frame. Main thread only.

#include <memory>

#include "Platform/UI/Box.h"
#include "Platform/UI/Image.h"

class ShadowBox : public ui::Box {
public:
    static std::shared_ptr<ShadowBox> initWithFrame(const graphics::Rect& frame);
    static std::shared_ptr<ShadowBox> initWithCoder(const graphics::Rect& frame);

    const ui::ImagePtr& shadowBoxImage() const { return m_shadowBoxImage; }
    void draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context) override;

protected:
    explicit ShadowBox(const graphics::Rect& frame);

private:
    ui::ImagePtr m_shadowBoxImage;
};
