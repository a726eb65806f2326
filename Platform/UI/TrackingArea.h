#pragma once
// A region of a view whose owner is told when the pointer enters, leaves or moves in it.

#include <any>
#include <memory>

#include "Platform/Graphics/Geometry.h"

namespace ui {

class Responder;

enum TrackingAreaOptions : unsigned {
    NSTrackingMouseEnteredAndExited = 0x01,
    NSTrackingMouseMoved = 0x02,
    NSTrackingCursorUpdate = 0x04,
    NSTrackingActiveWhenFirstResponder = 0x10,
    NSTrackingActiveInKeyWindow = 0x20,
    NSTrackingActiveInActiveApp = 0x40,
    NSTrackingActiveAlways = 0x80,
    NSTrackingAssumeInside = 0x100,
    NSTrackingInVisibleRect = 0x200,
    NSTrackingEnabledDuringMouseDrag = 0x400,
};

class TrackingArea {
public:
    // The owner is held weakly; `rect` is in the coordinates of the view it is added to.
    static std::shared_ptr<TrackingArea> initWithRect(graphics::Rect rect, unsigned options,
                                                      const std::shared_ptr<Responder>& owner, std::any userInfo = {})
    {
        return std::shared_ptr<TrackingArea>(new TrackingArea(rect, options, owner, std::move(userInfo)));
    }

    graphics::Rect rect() const { return m_rect; }
    unsigned options() const { return m_options; }
    std::shared_ptr<Responder> owner() const { return m_owner.lock(); }
    const std::any& userInfo() const { return m_userInfo; }

    // Kept by the window: whether the pointer was inside at the last look.
    bool isInside() const { return m_inside; }
    void setInside(bool inside) { m_inside = inside; }

private:
    TrackingArea(graphics::Rect rect, unsigned options, const std::shared_ptr<Responder>& owner, std::any userInfo)
        : m_rect(rect), m_options(options), m_owner(owner), m_userInfo(std::move(userInfo))
        , m_inside((options & NSTrackingAssumeInside) != 0) { }

    graphics::Rect m_rect;
    unsigned m_options = 0;
    std::weak_ptr<Responder> m_owner;
    std::any m_userInfo;
    bool m_inside = false;
};

using TrackingAreaPtr = std::shared_ptr<TrackingArea>;

} // namespace ui
