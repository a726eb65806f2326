#pragma once
// Layers: rectangles with a background colour, corner radius, opacity and sublayers that a
// layer-backed view shows under its subviews (its own drawing sits on its layer, sublayers
// above it). Geometry is y up inside a layer, like an unflipped view. GradientLayer paints a
// linear gradient; PlayerLayer shows the current frame of a media::Player. Headless: changes
// show at once, so a transaction only groups them. Main thread only.

#include <memory>
#include <optional>
#include <vector>

#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Media/Player.h"
#include "Platform/UI/Color.h"

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

class Layer : public std::enable_shared_from_this<Layer> {
public:
    static LayerPtr layer();
    virtual ~Layer() = default;
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    graphics::Rect frame() const { return m_frame; }
    // Resizes the sublayers that follow their superlayer's size (autoresizingMask).
    void setFrame(const graphics::Rect& frame);
    graphics::Rect bounds() const { return graphics::Rect{{0, 0}, m_frame.size}; }
    unsigned autoresizingMask() const { return m_autoresizingMask; }
    void setAutoresizingMask(unsigned mask) { m_autoresizingMask = mask; }

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

    Layer* superlayer() const { return m_superlayer; }
    const std::vector<LayerPtr>& sublayers() const { return m_sublayers; }
    // Moves `layer` here from any other superlayer.
    void addSublayer(const LayerPtr& layer);
    void removeFromSuperlayer();

    // A bitmap drawn scaled to the bounds, over the background and under the sublayers.
    const graphics::ImagePtr& contents() const { return m_contents; }
    void setContents(graphics::ImagePtr contents) { m_contents = std::move(contents); }

    void setNeedsDisplay() { m_needsDisplay = true; }
    bool needsDisplay() const { return m_needsDisplay; }

    // Draws this layer (background, contents) and its sublayers into `context`, whose space
    // is this layer's superlayer's.
    void renderInContext(GraphicsContext& context);
    // The background and contents only, in this layer's own space.
    void renderOwnContent(GraphicsContext& context);
    void renderSublayers(GraphicsContext& context);

protected:
    Layer() = default;
    // The layer's own contents, over its background.
    virtual void drawInContext(GraphicsContext& context) { (void)context; }

private:
    graphics::Rect m_frame;
    unsigned m_autoresizingMask = LayerNotSizable;
    std::optional<Color> m_backgroundColor;
    double m_cornerRadius = 0;
    bool m_masksToBounds = false;
    double m_opacity = 1.0;
    bool m_hidden = false;
    bool m_needsDisplay = false;
    graphics::ImagePtr m_contents;
    Layer* m_superlayer = nullptr;
    std::vector<LayerPtr> m_sublayers;
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
