#pragma once
// Layers: the platform's layer model, headless. A layer has bounds (its own coordinate space,
// y up), a position in its superlayer's space where its anchor point sits, an affine transform
// about the anchor, contents (a bitmap drawn scaled to the bounds), a background, a border, a
// shadow, opacity and sublayers; frame is derived from these. A delegate can supply the
// contents (displayLayer). Layout is explicit: setNeedsLayout marks a layer, layoutIfNeeded
// runs layoutSublayers down the tree. GradientLayer paints a linear gradient, ShapeLayer
// fills a path, TextLayer draws one string, PlayerLayer shows a player's current frame.
//
// Decision: nothing here animates. A property change shows at once; what the platform would
// have animated is answered by actionForKey (none inside a transaction that disables actions,
// or for a class whose defaultActionForKey gives none), so callers that care can tell. Layer
// trees render with cairo into a GraphicsContext, which is how views show them and how tests
// take snapshots. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Media/Player.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Color.h"
#include "Platform/UI/Font.h"

namespace ui {

class GraphicsContext;
class Layer;
using LayerPtr = std::shared_ptr<Layer>;

enum LayerAutoresizingMask : unsigned {
    LayerNotSizable = 0,
    LayerMinXMargin = 1,
    LayerWidthSizable = 2,
    LayerMaxXMargin = 4,
    LayerMinYMargin = 8,
    LayerHeightSizable = 16,
    LayerMaxYMargin = 32,
};

// Supplies a layer's contents when it is displayed.
class LayerDelegate {
public:
    virtual ~LayerDelegate() = default;
    virtual void displayLayer(Layer& layer) = 0;
};

// Groups layer changes; inside one that disables actions, no change would animate.
class Transaction {
public:
    static void begin();
    static void commit();
    static bool disableActions();
    static void setDisableActions(bool value);
};

class Layer : public std::enable_shared_from_this<Layer> {
public:
    static LayerPtr layer();
    virtual ~Layer() = default;
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // ---- geometry ----
    // The bounding box of the transformed bounds in the superlayer's space.
    graphics::Rect frame() const;
    // Sets the bounds' size and the position (as if untransformed); resizes the sublayers that
    // follow their superlayer's size (autoresizingMask).
    void setFrame(const graphics::Rect& frame);
    graphics::Rect bounds() const { return m_bounds; }
    void setBounds(const graphics::Rect& bounds);
    graphics::Point position() const { return m_position; }
    void setPosition(const graphics::Point& position) { m_position = position; }
    // In the unit square of the bounds; (0.5, 0.5) is the centre.
    graphics::Point anchorPoint() const { return m_anchorPoint; }
    void setAnchorPoint(const graphics::Point& anchor) { m_anchorPoint = anchor; }
    // Applied about the anchor point.
    graphics::AffineTransform affineTransform() const { return m_transform; }
    virtual void setAffineTransform(const graphics::AffineTransform& transform) { m_transform = transform; }
    unsigned autoresizingMask() const { return m_autoresizingMask; }
    void setAutoresizingMask(unsigned mask) { m_autoresizingMask = mask; }

    // Between this layer's space and another layer's of the same tree.
    graphics::Point convertPointFromLayer(const graphics::Point& point, const Layer* layer) const;
    graphics::Rect convertRectFromLayer(const graphics::Rect& rect, const Layer* layer) const;
    graphics::Point convertPointToLayer(const graphics::Point& point, const Layer* layer) const;

    // ---- appearance ----
    const std::optional<Color>& backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::optional<Color> color) { m_backgroundColor = std::move(color); }
    double cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(double radius) { m_cornerRadius = radius; }
    bool masksToBounds() const { return m_masksToBounds; }
    void setMasksToBounds(bool value) { m_masksToBounds = value; }
    double opacity() const { return m_opacity; }
    void setOpacity(double opacity) { m_opacity = opacity; }
    bool isHidden() const { return m_hidden; }
    void setHidden(bool hidden) { m_hidden = hidden; }
    double borderWidth() const { return m_borderWidth; }
    void setBorderWidth(double width) { m_borderWidth = width; }
    const std::optional<Color>& borderColor() const { return m_borderColor; }
    void setBorderColor(std::optional<Color> color) { m_borderColor = std::move(color); }
    // The shadow is cast by everything the layer draws (its own content and sublayers), offset
    // and blurred by about `radius` points.
    const std::optional<Color>& shadowColor() const { return m_shadowColor; }
    void setShadowColor(std::optional<Color> color) { m_shadowColor = std::move(color); }
    graphics::Size shadowOffset() const { return m_shadowOffset; }
    void setShadowOffset(graphics::Size offset) { m_shadowOffset = offset; }
    double shadowRadius() const { return m_shadowRadius; }
    void setShadowRadius(double radius) { m_shadowRadius = radius; }
    double shadowOpacity() const { return m_shadowOpacity; }
    void setShadowOpacity(double opacity) { m_shadowOpacity = opacity; }

    // A bitmap drawn scaled to the bounds, over the background and under the sublayers.
    const graphics::ImagePtr& contents() const { return m_contents; }
    void setContents(graphics::ImagePtr contents) { m_contents = std::move(contents); }
    double contentsScale() const { return m_contentsScale; }
    virtual void setContentsScale(double scale) { m_contentsScale = scale; }

    // ---- display ----
    std::shared_ptr<LayerDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<LayerDelegate>& delegate) { m_delegate = delegate; }
    void setNeedsDisplay() { m_needsDisplay = true; }
    bool needsDisplay() const { return m_needsDisplay; }
    bool needsDisplayOnBoundsChange() const { return m_needsDisplayOnBoundsChange; }
    void setNeedsDisplayOnBoundsChange(bool value) { m_needsDisplayOnBoundsChange = value; }
    // Asks the delegate for contents (display() clears the mark).
    virtual void display();
    void displayIfNeeded();

    // ---- layout ----
    // Marked when made and when the bounds change size.
    void setNeedsLayout() { m_needsLayout = true; }
    bool needsLayout() const { return m_needsLayout; }
    // Lays out this layer when marked, then its sublayers, depth first.
    void layoutIfNeeded();
    virtual void layoutSublayers() { }

    // ---- actions ----
    // What a change of `key` would run: nothing inside a transaction that disables actions,
    // else the class's default.
    std::optional<std::string> actionForKey(const std::string& key) const;
    virtual std::optional<std::string> defaultActionForKey(const std::string& key) const;

    // ---- the tree ----
    Layer* superlayer() const { return m_superlayer; }
    const std::vector<LayerPtr>& sublayers() const { return m_sublayers; }
    // Moves `layer` here from any other superlayer.
    void addSublayer(const LayerPtr& layer);
    void insertSublayer(const LayerPtr& layer, size_t index);
    // Replaces the sublayers; layers no longer listed leave the tree.
    void setSublayers(const std::vector<LayerPtr>& layers);
    void removeFromSuperlayer();

    // ---- rendering ----
    // Displays and lays out what is marked, then draws this layer (shadow, background,
    // contents, own drawing, sublayers, border) into `context`, whose space is the superlayer's.
    void renderInContext(GraphicsContext& context);
    // The background and contents only, in this layer's own space.
    void renderOwnContent(GraphicsContext& context);
    void renderSublayers(GraphicsContext& context);
    // This layer's frame drawn into a new transparent bitmap at `scale`; none for an empty frame.
    std::unique_ptr<GraphicsContext> snapshot(double scale = 1.0);

protected:
    Layer() = default;
    // The layer's own drawing, over its contents.
    virtual void drawInContext(GraphicsContext& context) { (void)context; }

private:
    // From this layer's space to its superlayer's.
    graphics::AffineTransform toSuperlayer() const;
    graphics::AffineTransform toRoot() const;
    void renderBody(GraphicsContext& context);

    graphics::Rect m_bounds;
    graphics::Point m_position;
    graphics::Point m_anchorPoint {0.5, 0.5};
    graphics::AffineTransform m_transform;
    unsigned m_autoresizingMask = LayerNotSizable;
    std::optional<Color> m_backgroundColor;
    double m_cornerRadius = 0;
    bool m_masksToBounds = false;
    double m_opacity = 1.0;
    bool m_hidden = false;
    double m_borderWidth = 0;
    std::optional<Color> m_borderColor;
    std::optional<Color> m_shadowColor;
    graphics::Size m_shadowOffset {0, -3};
    double m_shadowRadius = 3;
    double m_shadowOpacity = 0;
    graphics::ImagePtr m_contents;
    double m_contentsScale = 1.0;
    std::weak_ptr<LayerDelegate> m_delegate;
    bool m_needsDisplay = false;
    bool m_needsDisplayOnBoundsChange = false;
    bool m_needsLayout = true; // a new layer is laid out before it is first drawn
    Layer* m_superlayer = nullptr;
    std::vector<LayerPtr> m_sublayers;
};

// Fills (and optionally strokes) a path, in the layer's own space.
class ShapeLayer : public Layer {
public:
    static std::shared_ptr<ShapeLayer> layer();
    const BezierPath& path() const { return m_path; }
    void setPath(BezierPath path) { m_path = std::move(path); }
    const std::optional<Color>& fillColor() const { return m_fillColor; }
    void setFillColor(std::optional<Color> color) { m_fillColor = std::move(color); }

protected:
    ShapeLayer() = default;
    void drawInContext(GraphicsContext& context) override;

private:
    BezierPath m_path;
    std::optional<Color> m_fillColor = Color::black();
};

// One string drawn from the top left of the bounds.
class TextLayer : public Layer {
public:
    static std::shared_ptr<TextLayer> layer();
    const std::string& string() const { return m_string; }
    void setString(std::string string) { m_string = std::move(string); }
    const Font& font() const { return m_font; }
    void setFont(const Font& font) { m_font = font; }
    double fontSize() const { return m_font.pointSize(); }
    void setFontSize(double size) { m_font = m_font.withSize(size); }
    const Color& foregroundColor() const { return m_foregroundColor; }
    void setForegroundColor(const Color& color) { m_foregroundColor = color; }

protected:
    TextLayer() = default;
    void drawInContext(GraphicsContext& context) override;

private:
    std::string m_string;
    Font m_font = Font::systemFontOfSize(36);
    Color m_foregroundColor = Color::white();
};

class GradientLayer : public Layer {
public:
    static std::shared_ptr<GradientLayer> layer();

    const std::vector<Color>& colors() const { return m_colors; }
    void setColors(std::vector<Color> colors) { m_colors = std::move(colors); }
    // In the unit square of the bounds, (0, 0) at the bottom left.
    graphics::Point startPoint() const { return m_start; }
    void setStartPoint(graphics::Point p) { m_start = p; }
    graphics::Point endPoint() const { return m_end; }
    void setEndPoint(graphics::Point p) { m_end = p; }

protected:
    GradientLayer() = default;
    void drawInContext(GraphicsContext& context) override;

private:
    std::vector<Color> m_colors;
    graphics::Point m_start {0.5, 0};
    graphics::Point m_end {0.5, 1};
};

// How a frame fills a player layer: whole and centred, covering it (cropped), or stretched.
enum class LayerVideoGravity { resizeAspect, resizeAspectFill, resize };

class PlayerLayer : public Layer {
public:
    static std::shared_ptr<PlayerLayer> playerLayerWithPlayer(media::PlayerPtr player);

    const media::PlayerPtr& player() const { return m_player; }
    void setPlayer(media::PlayerPtr player) { m_player = std::move(player); }
    LayerVideoGravity videoGravity() const { return m_gravity; }
    void setVideoGravity(LayerVideoGravity gravity) { m_gravity = gravity; }
    // Where a frame of `frameSize` lands in the bounds.
    graphics::Rect videoRectForFrameSize(graphics::Size frameSize) const;

protected:
    PlayerLayer() = default;
    void drawInContext(GraphicsContext& context) override;

private:
    media::PlayerPtr m_player;
    LayerVideoGravity m_gravity = LayerVideoGravity::resizeAspect;
};

} // namespace ui
