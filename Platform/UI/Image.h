#pragma once
// A picture for the user interface: a bitmap with a size in points (so a 2x bitmap draws at
// half its pixel size), found by name among registered images and the main bundle's
// resources, or made from a file, data or drawing code. Immutable once made, except its
// size and template flag; main thread for named lookups.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"

namespace ui {

class GraphicsContext;
class Image;
using ImagePtr = std::shared_ptr<Image>;

class Image {
public:
    // A registered image of that name, else the resource "name" (png, jpg, tiff, gif, with a
    // "@2x" variant preferred) of the main bundle; none when there is neither. Found images
    // are kept, so the same name gives the same image.
    static ImagePtr imageNamed(const std::string& name);
    // Makes `image` known by `name` (none removes the name).
    static void registerImageNamed(const std::string& name, ImagePtr image);
    static ImagePtr imageWithContentsOfFile(const std::string& path, foundation::ErrorPtr* error = nullptr);
    static ImagePtr imageWithData(std::vector<uint8_t> bytes);
    // Over a bitmap; a zero size takes the pixel size.
    static ImagePtr imageWithBitmap(graphics::ImagePtr bitmap, graphics::Size size = {});
    // Draws `handler` into a bitmap of `size` points at `scale` (y up, or down when flipped).
    static ImagePtr imageWithSize(graphics::Size size, bool flipped,
                                  const std::function<void(GraphicsContext&, const graphics::Rect&)>& handler,
                                  double scale = 2.0);

    graphics::Size size() const { return m_size; }
    void setSize(graphics::Size size) { m_size = size; }
    const graphics::ImagePtr& bitmap() const { return m_bitmap; }
    const std::string& name() const { return m_name; }
    bool isTemplate() const { return m_template; }
    void setTemplate(bool value) { m_template = value; }
    bool isValid() const { return m_bitmap != nullptr; }

    ImagePtr copy() const;
    // PNG bytes of the bitmap; empty when it cannot be encoded.
    std::vector<uint8_t> PNGRepresentation() const;

    Image(graphics::ImagePtr bitmap, graphics::Size size);

private:
    graphics::ImagePtr m_bitmap;
    graphics::Size m_size;
    std::string m_name;
    bool m_template = false;
};

} // namespace ui
