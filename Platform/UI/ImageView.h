#pragma once
// Shows an image, scaled and aligned in its bounds. An editable image view takes image files
// dropped on it. Main thread only.

#include <memory>

#include "Platform/UI/Control.h"

namespace ui {

enum class ImageScaling { proportionallyDown = 0, axesIndependently = 1, none = 2, proportionallyUpOrDown = 3 };

class ImageView : public Control {
public:
    static std::shared_ptr<ImageView> initWithFrame(const graphics::Rect& frame);
    static std::shared_ptr<ImageView> imageViewWithImage(ImagePtr image);

    ImagePtr image() const { return m_image; }
    virtual void setImage(ImagePtr image);
    ImageScaling imageScaling() const { return m_scaling; }
    void setImageScaling(ImageScaling scaling);
    bool isEditable() const { return m_editable; }
    // An editable view registers for dropped files (and no longer when not editable).
    void setEditable(bool value);
    // Where the image is drawn in the bounds.
    graphics::Rect imageRect() const;

    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;
    DragOperation draggingEntered(const DraggingInfo& info) override;
    bool performDragOperation(const DraggingInfo& info) override;
    bool setValueForBinding(const std::string& binding, const std::any& value) override;

protected:
    explicit ImageView(const graphics::Rect& frame);

private:
    ImagePtr m_image;
    ImageScaling m_scaling = ImageScaling::proportionallyDown;
    bool m_editable = false;
};

} // namespace ui
