#pragma once
// An input event: mouse (location in the window's base coordinates, click count), key
// (characters, key code) or a tracking-area crossing. A plain value; main thread only.

#include <memory>
#include <string>

#include "Platform/Graphics/Geometry.h"

namespace ui {

class Window;
class TrackingArea;

enum class EventType {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    mouseEntered = 8,
    mouseExited = 9,
    keyDown = 10,
    keyUp = 11,
    scrollWheel = 22,
};

enum EventModifierFlags : unsigned long {
    EventModifierFlagShift = 1ul << 17,
    EventModifierFlagControl = 1ul << 18,
    EventModifierFlagOption = 1ul << 19,
    EventModifierFlagCommand = 1ul << 20,
};

class Event {
public:
    static Event mouseEvent(EventType type, graphics::Point locationInWindow, const std::shared_ptr<Window>& window,
                            long clickCount = 1, unsigned long modifierFlags = 0);
    static Event keyEvent(EventType type, std::string characters, const std::shared_ptr<Window>& window,
                          unsigned short keyCode = 0, unsigned long modifierFlags = 0);

    EventType type() const { return m_type; }
    graphics::Point locationInWindow() const { return m_location; }
    std::shared_ptr<Window> window() const { return m_window.lock(); }
    long clickCount() const { return m_clickCount; }
    unsigned long modifierFlags() const { return m_modifierFlags; }
    const std::string& characters() const { return m_characters; }
    const std::string& charactersIgnoringModifiers() const { return m_characters; }
    unsigned short keyCode() const { return m_keyCode; }
    double deltaX() const { return m_deltaX; }
    double deltaY() const { return m_deltaY; }
    void setScrollingDelta(double dx, double dy) { m_deltaX = dx; m_deltaY = dy; }
    // The area whose crossing this entered/exited/moved event reports.
    std::shared_ptr<TrackingArea> trackingArea() const { return m_trackingArea.lock(); }

    // The same event re-typed for a tracking area (the window makes these).
    Event forTrackingArea(EventType type, const std::shared_ptr<TrackingArea>& area) const;

private:
    EventType m_type = EventType::mouseMoved;
    graphics::Point m_location;
    std::weak_ptr<Window> m_window;
    long m_clickCount = 0;
    unsigned long m_modifierFlags = 0;
    std::string m_characters;
    unsigned short m_keyCode = 0;
    double m_deltaX = 0;
    double m_deltaY = 0;
    std::weak_ptr<TrackingArea> m_trackingArea;
};

// Characters of the keys that windows and buttons treat specially.
inline constexpr const char* kReturnKey = "\r";
inline constexpr const char* kEscapeKey = "\x1b";
inline constexpr const char* kTabKey = "\t";
inline constexpr const char* kDeleteBackwardKey = "\x7f";

} // namespace ui
