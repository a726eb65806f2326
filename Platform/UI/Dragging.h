#pragma once
// What a drag destination learns about a drag in progress: its pasteboard, where the
// pointer is (window coordinates) and which operations the source allows.

#include <memory>

#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/Pasteboard.h"

namespace ui {

class Window;

enum DragOperation : unsigned {
    NSDragOperationNone = 0,
    NSDragOperationCopy = 1,
    NSDragOperationLink = 2,
    NSDragOperationGeneric = 4,
    NSDragOperationPrivate = 8,
    NSDragOperationMove = 16,
    NSDragOperationDelete = 32,
    NSDragOperationEvery = ~0u,
};

class DraggingInfo {
public:
    DraggingInfo(PasteboardPtr pasteboard, graphics::Point location, unsigned sourceOperationMask,
                 std::weak_ptr<Window> window, long sequenceNumber)
        : m_pasteboard(std::move(pasteboard)), m_location(location), m_mask(sourceOperationMask)
        , m_window(std::move(window)), m_sequenceNumber(sequenceNumber) { }

    const PasteboardPtr& draggingPasteboard() const { return m_pasteboard; }
    graphics::Point draggingLocation() const { return m_location; }
    unsigned draggingSourceOperationMask() const { return m_mask; }
    std::shared_ptr<Window> draggingDestinationWindow() const { return m_window.lock(); }
    long draggingSequenceNumber() const { return m_sequenceNumber; }

private:
    PasteboardPtr m_pasteboard;
    graphics::Point m_location;
    unsigned m_mask = NSDragOperationEvery;
    std::weak_ptr<Window> m_window;
    long m_sequenceNumber = 0;
};

} // namespace ui
