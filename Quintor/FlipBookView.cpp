#include "Quintor/FlipBookView.h"

#include <cmath>

#include "Platform/Dispatch/Clock.h"
#include "Platform/UI/GraphicsContext.h"

std::shared_ptr<FlipBookView> FlipBookView::initWithFrame(const graphics::Rect& frame)
{
    auto view = std::shared_ptr<FlipBookView>(new FlipBookView(frame));
    view->setWantsLayer(true);
    return view;
}

FlipBookView::FlipBookView(const graphics::Rect& frame)
    : View(frame)
{
}

void FlipBookView::setImages(std::vector<ui::ImagePtr> images)
{
    if (images.size() < 2)
        return;
    m_images = std::move(images);
    m_contents = m_images.front();
    setNeedsDisplay();
}

void FlipBookView::startAnimation()
{
    m_startTime = dispatch::Clock::now();
    setNeedsDisplay();
}

void FlipBookView::stopAnimation()
{
    m_startTime.reset();
    m_contents = m_images.empty() ? nullptr : m_images.front();
    setNeedsDisplay();
}

ui::ImagePtr FlipBookView::currentImage() const
{
    if (!m_startTime || m_images.empty())
        return m_contents;
    // Discrete frames: each shows for an equal share of the duration, and the loop repeats
    // for ever.
    const double elapsed = std::fmod(std::max(0.0, dispatch::Clock::now() - *m_startTime), animationDuration);
    const auto count = static_cast<double>(m_images.size());
    const auto index = static_cast<size_t>(std::floor(elapsed / animationDuration * count));
    return m_images[std::min(index, m_images.size() - 1)];
}

void FlipBookView::draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context)
{
    View::draw(dirtyRect, context);
    if (auto image = currentImage())
        context.drawImage(*image, bounds());
}
