#pragma once
// A rectangle of a window that draws itself and handles events: a frame in its superview's
// coordinates, bounds in its own (y up unless isFlipped()), subviews drawn after it, hit
// testing, tracking areas, drag destinations and value bindings. Views are made by static
// factories and held by their superview; main thread only.

#include <any>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Binding.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/Appearance.h"
#include "Platform/UI/Dragging.h"
#include "Platform/UI/Object.h"
#include "Platform/UI/TrackingArea.h"

namespace ui {

class GraphicsContext;
class Layer;
class ViewController;
class Window;
class View;
using ViewPtr = std::shared_ptr<View>;

extern const std::string NSViewFrameDidChangeNotification;  // "NSViewFrameDidChangeNotification"
extern const std::string NSViewBoundsDidChangeNotification; // "NSViewBoundsDidChangeNotification"

// Names of the common bindings.
extern const std::string NSValueBinding;   // "value"
extern const std::string NSEnabledBinding; // "enabled"
extern const std::string NSHiddenBinding;  // "hidden"
extern const std::string NSTitleBinding;   // "title"

// For intrinsicContentSize: no preferred length on that axis.
inline constexpr double NSViewNoIntrinsicMetric = -1.0;

enum class Cursor { arrow, pointingHand, resizeLeftRight, resizeUpDown, iBeam, crosshair, openHand, closedHand };

enum class WindowOrderingMode { below = -1, out = 0, above = 1 };

// How a view follows a change of its superview's size: the margins and lengths that stretch
// (shared equally between those named), the rest kept.
enum AutoresizingMask : unsigned {
    ViewNotSizable = 0,
    ViewMinXMargin = 1,
    ViewWidthSizable = 2,
    ViewMaxXMargin = 4,
    ViewMinYMargin = 8,
    ViewHeightSizable = 16,
    ViewMaxYMargin = 32,
};

class View : public Responder {
public:
    static ViewPtr initWithFrame(const graphics::Rect& frame);
    ~View() override;

    // ---- geometry
    graphics::Rect frame() const { return m_frame; }
    virtual void setFrame(const graphics::Rect& frame);
    void setFrameOrigin(graphics::Point origin);
    void setFrameSize(graphics::Size size);
    // Same size as the frame; the origin may be moved (scrolling).
    graphics::Rect bounds() const { return graphics::Rect{m_boundsOrigin, m_frame.size}; }
    void setBoundsOrigin(graphics::Point origin);
    virtual bool isFlipped() const { return false; }
    bool postsFrameChangedNotifications() const { return m_postsFrameChanged; }
    void setPostsFrameChangedNotifications(bool value) { m_postsFrameChanged = value; }
    virtual graphics::Size intrinsicContentSize() const { return {NSViewNoIntrinsicMetric, NSViewNoIntrinsicMetric}; }
    // The smallest size that holds what the view shows: its subviews' frames with the margin
    // they keep from the left and bottom edges kept on the right and top too; a view without
    // subviews fits its intrinsic size where it has one, else its frame.
    graphics::Size fittingSize() const;
    unsigned autoresizingMask() const { return m_autoresizingMask; }
    void setAutoresizingMask(unsigned mask) { m_autoresizingMask = mask; }
    // Moves and sizes the subviews by their masks after this view's size was `oldSize`; called
    // by setFrame when the size changes.
    void resizeSubviewsWithOldSize(graphics::Size oldSize);

    // Points between this view's bounds and another view's (nullptr: the window's base
    // coordinates). Both views must be in the same window, or one of them be null.
    graphics::Point convertPoint(graphics::Point point, const View* fromView) const;
    graphics::Point convertPointToView(graphics::Point point, const View* toView) const;
    graphics::Rect convertRect(const graphics::Rect& rect, const View* fromView) const;
    graphics::Rect convertRectToView(const graphics::Rect& rect, const View* toView) const;

    // ---- hierarchy
    View* superview() const { return m_superview; }
    Window* window() const { return m_window; }
    const std::vector<ViewPtr>& subviews() const { return m_subviews; }
    void addSubview(const ViewPtr& view);
    void addSubview(const ViewPtr& view, WindowOrderingMode place, const View* relativeTo);
    void removeFromSuperview();
    void replaceSubview(const ViewPtr& oldView, const ViewPtr& newView);
    bool isDescendantOf(const View* view) const;
    // This view or the first descendant (depth first) with the tag.
    ViewPtr viewWithTag(long tag);
    ViewController* viewController() const { return m_viewController; }

    virtual void viewWillMoveToSuperview(View* newSuperview) { (void)newSuperview; }
    virtual void viewDidMoveToSuperview() { }
    virtual void viewWillMoveToWindow(Window* newWindow) { (void)newWindow; }
    virtual void viewDidMoveToWindow() { }
    virtual void didAddSubview(View* subview) { (void)subview; }
    virtual void willRemoveSubview(View* subview) { (void)subview; }

    // ---- state
    bool isHidden() const { return m_hidden; }
    virtual void setHidden(bool hidden);
    bool isHiddenOrHasHiddenAncestor() const;
    double alphaValue() const { return m_alpha; }
    void setAlphaValue(double alpha);
    bool wantsLayer() const { return m_wantsLayer; }
    // Turning it on gives the view its backing layer (makeBackingLayer) if it has none.
    void setWantsLayer(bool value);
    long tag() const { return m_tag; }
    void setTag(long tag) { m_tag = tag; }
    const std::string& identifier() const { return m_identifier; }
    void setIdentifier(std::string identifier) { m_identifier = std::move(identifier); }
    const std::string& toolTip() const { return m_toolTip; }
    void setToolTip(std::string toolTip) { m_toolTip = std::move(toolTip); }

    // ---- appearance and drawing
    AppearancePtr appearance() const { return m_appearance; }
    void setAppearance(AppearancePtr appearance);
    // Own, else the superview's, else the window's, else the application's light look.
    AppearancePtr effectiveAppearance() const;
    bool needsDisplay() const { return m_needsDisplay; }
    void setNeedsDisplay(bool value = true);
    void setNeedsDisplayInRect(const graphics::Rect&) { setNeedsDisplay(true); }
    void display();
    virtual void layout() { }
    // Whether what the view draws changes with time by itself (a movie playing, a flip-book
    // running), so that a window on screen is redrawn at the display's rate meanwhile.
    virtual bool isAnimating() const { return false; }
    // ---- layers
    // The backing layer of a layer-backed view: drawn under the view's own drawing, its
    // sublayers over it, the subviews over both. None until setWantsLayer(true) or setLayer.
    std::shared_ptr<Layer> layer() const { return m_layer; }
    void setLayer(std::shared_ptr<Layer> layer);
    virtual std::shared_ptr<Layer> makeBackingLayer();
    // A view that answers true is drawn by updateLayer() instead of draw().
    virtual bool wantsUpdateLayer() const { return false; }
    virtual void updateLayer() { }
    // Draws this view's own content into `context`, whose space is this view's bounds.
    virtual void draw(const graphics::Rect& dirtyRect, GraphicsContext& context);
    // Draws the view and its subviews (the window calls this).
    void displayInContext(GraphicsContext& context);
    // Whether the view draws the ring that shows it takes the keys: it is its key window's first
    // responder and can be one.
    bool showsKeyboardFocus() const;

    // ---- events
    // The deepest visible view under `point` (in the superview's coordinates), or none.
    virtual View* hitTest(graphics::Point point);
    bool mouseInRect(graphics::Point point, const graphics::Rect& rect) const { return rect.contains(point); }
    virtual bool acceptsFirstMouse(const class Event*) const { return true; }
    virtual bool mouseDownCanMoveWindow() const { return !isOpaque(); }
    virtual bool isOpaque() const { return false; }
    virtual bool performKeyEquivalent(const Event& event);
    std::shared_ptr<Responder> nextResponder() const override;

    // ---- keyboard loop
    ViewPtr nextKeyView() const { return m_nextKeyView.lock(); }
    void setNextKeyView(const ViewPtr& view) { m_nextKeyView = view; }
    virtual bool canBecomeKeyView() const { return acceptsFirstResponder() && !isHiddenOrHasHiddenAncestor(); }
    // The first view along the key loop (after this one) that can become key.
    ViewPtr nextValidKeyView() const;

    // ---- tracking areas and cursors
    void addTrackingArea(const TrackingAreaPtr& area);
    void removeTrackingArea(const TrackingAreaPtr& area);
    const std::vector<TrackingAreaPtr>& trackingAreas() const { return m_trackingAreas; }
    // Called when the view's geometry or window changes; override to rebuild areas.
    virtual void updateTrackingAreas() { }
    virtual void resetCursorRects() { }
    void addCursorRect(const graphics::Rect& rect, Cursor cursor) { m_cursorRects.emplace_back(rect, cursor); }
    void discardCursorRects() { m_cursorRects.clear(); }
    const std::vector<std::pair<graphics::Rect, Cursor>>& cursorRects() const { return m_cursorRects; }

    // ---- drag destination
    void registerForDraggedTypes(const std::vector<std::string>& types);
    void unregisterDraggedTypes() { m_draggedTypes.clear(); }
    const std::vector<std::string>& registeredDraggedTypes() const { return m_draggedTypes; }
    virtual DragOperation draggingEntered(const DraggingInfo& info) { (void)info; return NSDragOperationNone; }
    virtual DragOperation draggingUpdated(const DraggingInfo& info) { (void)info; return m_lastDragOperation; }
    virtual void draggingExited(const DraggingInfo* info) { (void)info; }
    virtual bool prepareForDragOperation(const DraggingInfo& info) { (void)info; return true; }
    virtual bool performDragOperation(const DraggingInfo& info) { (void)info; return false; }
    virtual void concludeDragOperation(const DraggingInfo* info) { (void)info; }

    // ---- bindings
    struct BindingInfo {
        std::shared_ptr<foundation::Observable> observedObject;
        std::string keyPath;
        foundation::BindingOptions options;
    };
    // Keeps `binding` of this view in step with `keyPath` of `observable` (held weakly).
    void bind(const std::string& binding, const std::shared_ptr<foundation::Observable>& observable,
              const std::string& keyPath, foundation::BindingOptions options = {});
    void unbind(const std::string& binding);
    std::optional<BindingInfo> infoForBinding(const std::string& binding) const;
    // A value arrived from the model for `binding`; false when the view has no such binding.
    virtual bool setValueForBinding(const std::string& binding, const std::any& value);
    virtual std::vector<std::string> exposedBindings() const { return {NSHiddenBinding}; }

protected:
    explicit View(const graphics::Rect& frame);
    // The user changed the value behind `binding`: tell the model.
    void pushBindingValue(const std::string& binding, const std::any& value);
    bool isBound(const std::string& binding) const { return m_bindings.count(binding) != 0; }

private:
    friend class Window;
    friend class ViewController;
    void setWindowRecursive(Window* window);
    void detachFromSuperview();
    graphics::Point toSuperview(graphics::Point p) const;
    graphics::Point fromSuperview(graphics::Point p) const;
    void drawFocusRing(GraphicsContext& context);

    graphics::Rect m_frame;
    graphics::Point m_boundsOrigin;
    View* m_superview = nullptr;
    Window* m_window = nullptr;
    ViewController* m_viewController = nullptr;
    std::vector<ViewPtr> m_subviews;
    bool m_hidden = false;
    double m_alpha = 1.0;
    bool m_wantsLayer = false;
    std::shared_ptr<Layer> m_layer;
    bool m_needsDisplay = true;
    bool m_postsFrameChanged = true;
    unsigned m_autoresizingMask = ViewNotSizable;
    long m_tag = 0;
    std::string m_identifier;
    std::string m_toolTip;
    AppearancePtr m_appearance;
    std::weak_ptr<View> m_nextKeyView;
    std::vector<TrackingAreaPtr> m_trackingAreas;
    std::vector<std::pair<graphics::Rect, Cursor>> m_cursorRects;
    std::vector<std::string> m_draggedTypes;
    DragOperation m_lastDragOperation = NSDragOperationNone;
    std::map<std::string, std::shared_ptr<foundation::Binding>> m_bindings;
    // The observed object is held weakly, as by the binding itself: a view is often bound to
    // the controller that owns it, and a strong reference would keep both alive for good.
    struct StoredBindingInfo {
        std::weak_ptr<foundation::Observable> observedObject;
        std::string keyPath;
        foundation::BindingOptions options;
    };
    std::map<std::string, StoredBindingInfo> m_bindingInfo;
};

} // namespace ui
