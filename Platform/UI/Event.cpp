#include "Platform/UI/Event.h"

namespace ui {

Event Event::mouseEvent(EventType type, graphics::Point locationInWindow, const std::shared_ptr<Window>& window,
                        long clickCount, unsigned long modifierFlags)
{
    Event e;
    e.m_type = type;
    e.m_location = locationInWindow;
    e.m_window = window;
    e.m_clickCount = clickCount;
    e.m_modifierFlags = modifierFlags;
    return e;
}

Event Event::keyEvent(EventType type, std::string characters, const std::shared_ptr<Window>& window,
                      unsigned short keyCode, unsigned long modifierFlags)
{
    Event e;
    e.m_type = type;
    e.m_characters = std::move(characters);
    e.m_window = window;
    e.m_keyCode = keyCode;
    e.m_modifierFlags = modifierFlags;
    return e;
}

Event Event::forTrackingArea(EventType type, const std::shared_ptr<TrackingArea>& area) const
{
    Event e = *this;
    e.m_type = type;
    e.m_trackingArea = area;
    e.m_clickCount = 0;
    return e;
}

} // namespace ui
