#include "MovaraAppKit/Controls/ShadowBox.h"

#include "MovaraAppKit/Controls/Image+Movara.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/UI/GraphicsContext.h"

ShadowBox::ShadowBox(const graphics::Rect& frame)
    : ui::Box(frame)
    , m_shadowBoxImage(mvr_imageForResource(mvr_movaraAppKitBundle(), "shadow-box"))
{
}

std::shared_ptr<ShadowBox> ShadowBox::initWithFrame(const graphics::Rect& frame)
{
    return std::shared_ptr<ShadowBox>(new ShadowBox(frame));
}

std::shared_ptr<ShadowBox> ShadowBox::initWithCoder(const graphics::Rect& frame)
{
    return std::shared_ptr<ShadowBox>(new ShadowBox(frame));
}

void ShadowBox::draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context)
{
    if (m_shadowBoxImage)
        context.drawImage(*m_shadowBoxImage, dirtyRect);
}
