#include "Platform/UI/View.h"

#include <algorithm>
#include <cmath>
#include <cairo.h>
#include <functional>

#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Layer.h"
#include "Platform/UI/ViewController.h"
#include "Platform/UI/Window.h"

namespace ui {

using graphics::Point;
using graphics::Rect;

const std::string NSViewFrameDidChangeNotification = "NSViewFrameDidChangeNotification";
const std::string NSViewBoundsDidChangeNotification = "NSViewBoundsDidChangeNotification";
const std::string NSValueBinding = "value";
const std::string NSEnabledBinding = "enabled";
const std::string NSHiddenBinding = "hidden";
const std::string NSTitleBinding = "title";

namespace {

void postAbout(View* view, const std::string& name)
{
    auto& center = foundation::NotificationCenter::defaultCenter();
    if (auto self = std::dynamic_pointer_cast<View>(view->weak_from_this().lock()))
        center.post(name, self);
    else
        center.post(name, view);
}

} // namespace

View::View(const Rect& frame)
    : m_frame(frame)
{
}

ViewPtr View::initWithFrame(const Rect& frame)
{
    return ViewPtr(new View(frame));
}

View::~View()
{
    for (auto& sub : m_subviews) {
        sub->m_superview = nullptr;
        sub->m_window = nullptr;
    }
}

void View::setFrame(const Rect& frame)
{
    if (frame == m_frame)
        return;
    const graphics::Size oldSize = m_frame.size;
    m_frame = frame;
    if (oldSize != frame.size)
        resizeSubviewsWithOldSize(oldSize);
    if (m_layer)
        m_layer->setFrame(bounds());
    setNeedsDisplay(true);
    if (m_window)
        updateTrackingAreas();
    if (m_postsFrameChanged)
        postAbout(this, NSViewFrameDidChangeNotification);
}

namespace {

// One axis of a subview: its origin and length inside a superview whose length changed by
// `delta`, the parts flagged flexible sharing the change equally.
void resizeAxis(double& origin, double& length, double delta, bool minFlexible, bool lengthFlexible, bool maxFlexible)
{
    const int parts = int(minFlexible) + int(lengthFlexible) + int(maxFlexible);
    if (parts == 0 || delta == 0)
        return;
    const double share = delta / parts;
    if (minFlexible)
        origin += share;
    if (lengthFlexible)
        length = std::max(0.0, length + share);
    origin = std::round(origin);
    length = std::round(length);
}

} // namespace

void View::resizeSubviewsWithOldSize(graphics::Size oldSize)
{
    const double dx = m_frame.size.width - oldSize.width;
    const double dy = m_frame.size.height - oldSize.height;
    // Copied: a subview's setFrame may rearrange the list.
    const auto subviews = m_subviews;
    for (const auto& sub : subviews) {
        const unsigned mask = sub->autoresizingMask();
        if (mask == ViewNotSizable)
            continue;
        Rect f = sub->frame();
        resizeAxis(f.origin.x, f.size.width, dx, mask & ViewMinXMargin, mask & ViewWidthSizable,
                   mask & ViewMaxXMargin);
        resizeAxis(f.origin.y, f.size.height, dy, mask & ViewMinYMargin, mask & ViewHeightSizable,
                   mask & ViewMaxYMargin);
        sub->setFrame(f);
    }
}

void View::setFrameOrigin(Point origin)
{
    setFrame(Rect{origin, m_frame.size});
}

void View::setFrameSize(graphics::Size size)
{
    setFrame(Rect{m_frame.origin, size});
}

void View::setBoundsOrigin(Point origin)
{
    if (origin == m_boundsOrigin)
        return;
    m_boundsOrigin = origin;
    setNeedsDisplay(true);
    postAbout(this, NSViewBoundsDidChangeNotification);
}

Point View::toSuperview(Point p) const
{
    const bool flippedRelative = isFlipped() != (m_superview ? m_superview->isFlipped() : false);
    const double x = m_frame.origin.x + (p.x - m_boundsOrigin.x);
    const double y = flippedRelative ? m_frame.origin.y + m_frame.size.height - (p.y - m_boundsOrigin.y)
                                     : m_frame.origin.y + (p.y - m_boundsOrigin.y);
    return {x, y};
}

Point View::fromSuperview(Point p) const
{
    const bool flippedRelative = isFlipped() != (m_superview ? m_superview->isFlipped() : false);
    const double x = m_boundsOrigin.x + (p.x - m_frame.origin.x);
    const double y = flippedRelative ? m_boundsOrigin.y + (m_frame.origin.y + m_frame.size.height - p.y)
                                     : m_boundsOrigin.y + (p.y - m_frame.origin.y);
    return {x, y};
}

Point View::convertPointToView(Point point, const View* toView) const
{
    Point p = point;
    for (const View* v = this; v; v = v->m_superview)
        p = v->toSuperview(p);
    if (!toView)
        return p;
    std::vector<const View*> chain;
    for (const View* v = toView; v; v = v->m_superview)
        chain.push_back(v);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        p = (*it)->fromSuperview(p);
    return p;
}

Point View::convertPoint(Point point, const View* fromView) const
{
    if (fromView)
        return fromView->convertPointToView(point, this);
    std::vector<const View*> chain;
    for (const View* v = this; v; v = v->m_superview)
        chain.push_back(v);
    Point p = point;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        p = (*it)->fromSuperview(p);
    return p;
}

Rect View::convertRectToView(const Rect& rect, const View* toView) const
{
    const Rect r = rect.standardized();
    const Point a = convertPointToView({r.minX(), r.minY()}, toView);
    const Point b = convertPointToView({r.maxX(), r.maxY()}, toView);
    return Rect::make(std::min(a.x, b.x), std::min(a.y, b.y), std::abs(b.x - a.x), std::abs(b.y - a.y));
}

Rect View::convertRect(const Rect& rect, const View* fromView) const
{
    if (fromView)
        return fromView->convertRectToView(rect, this);
    const Rect r = rect.standardized();
    const Point a = convertPoint({r.minX(), r.minY()}, nullptr);
    const Point b = convertPoint({r.maxX(), r.maxY()}, nullptr);
    return Rect::make(std::min(a.x, b.x), std::min(a.y, b.y), std::abs(b.x - a.x), std::abs(b.y - a.y));
}

void View::addSubview(const ViewPtr& view)
{
    addSubview(view, WindowOrderingMode::above, nullptr);
}

void View::addSubview(const ViewPtr& view, WindowOrderingMode place, const View* relativeTo)
{
    if (!view || view.get() == this || isDescendantOf(view.get()))
        return;
    ViewPtr keep = view;
    if (view->m_superview)
        view->removeFromSuperview();
    view->viewWillMoveToSuperview(this);
    auto at = m_subviews.end();
    if (relativeTo) {
        auto it = std::find_if(m_subviews.begin(), m_subviews.end(), [&](const ViewPtr& v) { return v.get() == relativeTo; });
        if (it != m_subviews.end())
            at = place == WindowOrderingMode::below ? it : it + 1;
    } else if (place == WindowOrderingMode::below) {
        at = m_subviews.begin();
    }
    m_subviews.insert(at, view);
    view->m_superview = this;
    view->viewDidMoveToSuperview();
    view->setWindowRecursive(m_window);
    didAddSubview(view.get());
    setNeedsDisplay(true);
}

void View::removeFromSuperview()
{
    if (!m_superview)
        return;
    auto keep = std::dynamic_pointer_cast<View>(weak_from_this().lock());
    m_superview->willRemoveSubview(this);
    viewWillMoveToSuperview(nullptr);
    setWindowRecursive(nullptr);
    detachFromSuperview();
    viewDidMoveToSuperview();
}

void View::detachFromSuperview()
{
    auto& list = m_superview->m_subviews;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const ViewPtr& v) { return v.get() == this; }), list.end());
    m_superview->setNeedsDisplay(true);
    m_superview = nullptr;
}

void View::replaceSubview(const ViewPtr& oldView, const ViewPtr& newView)
{
    if (!oldView || oldView->m_superview != this || !newView) {
        if (newView)
            addSubview(newView);
        return;
    }
    addSubview(newView, WindowOrderingMode::above, oldView.get());
    oldView->removeFromSuperview();
}

bool View::isDescendantOf(const View* view) const
{
    for (const View* v = this; v; v = v->m_superview) {
        if (v == view)
            return true;
    }
    return false;
}

ViewPtr View::viewWithTag(long tag)
{
    if (m_tag == tag)
        return std::dynamic_pointer_cast<View>(shared_from_this());
    for (auto& sub : m_subviews) {
        if (auto found = sub->viewWithTag(tag))
            return found;
    }
    return nullptr;
}

void View::setWindowRecursive(Window* window)
{
    if (m_window == window)
        return;
    viewWillMoveToWindow(window);
    if (m_window)
        m_window->viewWillLeaveWindow(this);
    m_window = window;
    for (auto& sub : m_subviews)
        sub->setWindowRecursive(window);
    viewDidMoveToWindow();
    updateTrackingAreas();
}

void View::setHidden(bool hidden)
{
    if (m_hidden == hidden)
        return;
    m_hidden = hidden;
    if (hidden && m_window)
        m_window->viewWillLeaveWindow(this);
    if (m_superview)
        m_superview->setNeedsDisplay(true);
}

bool View::isHiddenOrHasHiddenAncestor() const
{
    for (const View* v = this; v; v = v->m_superview) {
        if (v->m_hidden)
            return true;
    }
    return false;
}

void View::setAlphaValue(double alpha)
{
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    setNeedsDisplay(true);
}

void View::setAppearance(AppearancePtr appearance)
{
    m_appearance = std::move(appearance);
    setNeedsDisplay(true);
}

AppearancePtr View::effectiveAppearance() const
{
    for (const View* v = this; v; v = v->m_superview) {
        if (v->m_appearance)
            return v->m_appearance;
    }
    if (m_window)
        return m_window->effectiveAppearance();
    return Application::shared()->effectiveAppearance();
}

void View::setNeedsDisplay(bool value)
{
    m_needsDisplay = value;
}

void View::display()
{
    m_needsDisplay = false;
}

void View::draw(const Rect&, GraphicsContext&)
{
}

void View::setWantsLayer(bool value)
{
    m_wantsLayer = value;
    if (value && !m_layer)
        setLayer(makeBackingLayer());
}

std::shared_ptr<Layer> View::makeBackingLayer()
{
    return Layer::layer();
}

void View::setLayer(std::shared_ptr<Layer> layer)
{
    m_layer = std::move(layer);
    if (m_layer) {
        m_wantsLayer = true;
        m_layer->setFrame(bounds());
    }
    setNeedsDisplay(true);
}

void View::displayInContext(GraphicsContext& context)
{
    if (m_hidden)
        return;
    layout();
    cairo_t* cr = context.cairo();
    context.saveGState();
    context.translate(m_frame.origin.x, m_frame.origin.y);
    if (isFlipped() != (m_superview ? m_superview->isFlipped() : false)) {
        context.translate(0, m_frame.size.height);
        context.scale(1, -1);
    }
    context.translate(-m_boundsOrigin.x, -m_boundsOrigin.y);
    context.clipToRect(bounds());
    const bool translucent = m_alpha < 1.0;
    if (translucent)
        cairo_push_group(cr);
    const AppearancePtr outer = context.appearance();
    context.setAppearance(effectiveAppearance());
    if (m_layer) {
        if (wantsUpdateLayer())
            updateLayer();
        m_layer->setFrame(bounds());
        context.saveGState();
        context.translate(m_boundsOrigin.x, m_boundsOrigin.y);
        m_layer->renderOwnContent(context);
        context.restoreGState();
    }
    if (!m_layer || !wantsUpdateLayer())
        draw(bounds(), context);
    if (m_layer) {
        context.saveGState();
        context.translate(m_boundsOrigin.x, m_boundsOrigin.y);
        m_layer->renderSublayers(context);
        context.restoreGState();
    }
    for (const auto& sub : std::vector<ViewPtr>(m_subviews))
        sub->displayInContext(context);
    context.setAppearance(outer);
    if (translucent) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, m_alpha);
    }
    context.restoreGState();
    if (showsKeyboardFocus())
        drawFocusRing(context);
    m_needsDisplay = false;
}

bool View::showsKeyboardFocus() const
{
    return m_window && m_window->isKeyWindow() && m_window->firstResponder().get() == this && canBecomeKeyView();
}

void View::drawFocusRing(GraphicsContext& context)
{
    // Around the frame, in the superview's space, over what the view drew.
    context.saveGState();
    BezierPath ring = BezierPath::bezierPathWithRoundedRect(m_frame.insetBy(-1.5, -1.5), 5, 5);
    ring.setLineWidth(3);
    context.setStrokeColor(Color::keyboardFocusIndicatorColor());
    context.strokePath(ring);
    context.restoreGState();
}

View* View::hitTest(Point point)
{
    if (m_hidden || !m_frame.contains(point))
        return nullptr;
    const Point local = fromSuperview(point);
    for (auto it = m_subviews.rbegin(); it != m_subviews.rend(); ++it) {
        if (View* hit = (*it)->hitTest(local))
            return hit;
    }
    return this;
}

bool View::performKeyEquivalent(const Event& event)
{
    if (m_hidden)
        return false;
    for (const auto& sub : std::vector<ViewPtr>(m_subviews)) {
        if (sub->performKeyEquivalent(event))
            return true;
    }
    return false;
}

std::shared_ptr<Responder> View::nextResponder() const
{
    if (auto explicitNext = Responder::nextResponder())
        return explicitNext;
    if (m_viewController)
        return m_viewController->sharedAs<Responder>();
    if (m_superview)
        return m_superview->sharedAs<Responder>();
    if (m_window)
        return m_window->sharedAs<Responder>();
    return nullptr;
}

ViewPtr View::nextValidKeyView() const
{
    // The explicit loop first.
    std::vector<const View*> seen {this};
    for (ViewPtr v = nextKeyView(); v; v = v->nextKeyView()) {
        if (std::find(seen.begin(), seen.end(), v.get()) != seen.end())
            break;
        if (v->canBecomeKeyView())
            return v;
        seen.push_back(v.get());
    }
    if (nextKeyView())
        return nullptr;
    // Without one, the views of the window in drawing order, starting after this one.
    const View* root = this;
    while (root->m_superview)
        root = root->m_superview;
    std::vector<View*> order;
    std::function<void(const View*)> walk = [&](const View* v) {
        for (const auto& sub : v->m_subviews) {
            order.push_back(sub.get());
            walk(sub.get());
        }
    };
    walk(root);
    auto self = std::find(order.begin(), order.end(), this);
    const size_t start = self == order.end() ? 0 : static_cast<size_t>(self - order.begin()) + 1;
    for (size_t i = 0; i < order.size(); ++i) {
        View* candidate = order[(start + i) % order.size()];
        if (candidate != this && candidate->canBecomeKeyView())
            return candidate->sharedAs<View>();
    }
    return nullptr;
}

void View::addTrackingArea(const TrackingAreaPtr& area)
{
    if (area && std::find(m_trackingAreas.begin(), m_trackingAreas.end(), area) == m_trackingAreas.end())
        m_trackingAreas.push_back(area);
}

void View::removeTrackingArea(const TrackingAreaPtr& area)
{
    m_trackingAreas.erase(std::remove(m_trackingAreas.begin(), m_trackingAreas.end(), area), m_trackingAreas.end());
}

void View::registerForDraggedTypes(const std::vector<std::string>& types)
{
    for (const auto& t : types) {
        if (std::find(m_draggedTypes.begin(), m_draggedTypes.end(), t) == m_draggedTypes.end())
            m_draggedTypes.push_back(t);
    }
}

void View::bind(const std::string& binding, const std::shared_ptr<foundation::Observable>& observable,
                const std::string& keyPath, foundation::BindingOptions options)
{
    unbind(binding);
    if (!observable)
        return;
    std::weak_ptr<View> weak = std::dynamic_pointer_cast<View>(shared_from_this());
    m_bindingInfo[binding] = StoredBindingInfo{observable, keyPath, options};
    m_bindings[binding] = foundation::Binding::bind(
        [weak, binding](const std::any& value) {
            if (auto self = weak.lock())
                self->setValueForBinding(binding, value);
        },
        observable, keyPath, std::move(options));
}

void View::unbind(const std::string& binding)
{
    auto it = m_bindings.find(binding);
    if (it != m_bindings.end()) {
        if (it->second)
            it->second->unbind();
        m_bindings.erase(it);
    }
    m_bindingInfo.erase(binding);
}

std::optional<View::BindingInfo> View::infoForBinding(const std::string& binding) const
{
    auto it = m_bindingInfo.find(binding);
    if (it == m_bindingInfo.end())
        return std::nullopt;
    return BindingInfo{it->second.observedObject.lock(), it->second.keyPath, it->second.options};
}

bool View::setValueForBinding(const std::string& binding, const std::any& value)
{
    if (binding == NSHiddenBinding) {
        bool hidden = false;
        try {
            hidden = value.has_value() && foundation::anyTo<bool>(value);
        } catch (const std::bad_any_cast&) {
        }
        setHidden(hidden);
        return true;
    }
    return false;
}

void View::pushBindingValue(const std::string& binding, const std::any& value)
{
    auto it = m_bindings.find(binding);
    if (it != m_bindings.end() && it->second)
        it->second->controlDidChange(value);
}

graphics::Size View::fittingSize() const
{
    if (m_subviews.empty()) {
        const graphics::Size intrinsic = intrinsicContentSize();
        return { intrinsic.width >= 0 ? intrinsic.width : m_frame.size.width, intrinsic.height >= 0 ? intrinsic.height : m_frame.size.height };
    }
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool first = true;
    for (const auto& subview : m_subviews) {
        const graphics::Rect f = subview->frame();
        if (first) {
            minX = f.minX(), minY = f.minY(), maxX = f.maxX(), maxY = f.maxY();
            first = false;
            continue;
        }
        minX = std::min(minX, f.minX());
        minY = std::min(minY, f.minY());
        maxX = std::max(maxX, f.maxX());
        maxY = std::max(maxY, f.maxY());
    }
    const double marginX = std::max(0.0, minX);
    const double marginY = std::max(0.0, minY);
    return { std::ceil(maxX + marginX - std::min(0.0, minX)), std::ceil(maxY + marginY - std::min(0.0, minY)) };
}

} // namespace ui
