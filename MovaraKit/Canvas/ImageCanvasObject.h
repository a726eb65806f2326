#pragma once
// A picture on a canvas. Keeps the file's bytes exactly as received with their file name (so
// documents and the pasteboard store the original file) and the decoded bitmap, turned
// upright, for drawing, sizing and hit testing. Hit tests look at the picture's alpha, so
// transparent parts don't count.

#include <memory>
#include <string>

#include "MovaraKit/Canvas/CanvasObject.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"

class ImageCanvasObject;
using ImageCanvasObjectPtr = std::shared_ptr<ImageCanvasObject>;

class ImageCanvasObject : public CanvasObject {
public:
    // nullptr, with an error, when the bytes are not a picture we can decode. The size is the
    // decoded picture's pixel size.
    static ImageCanvasObjectPtr initWithOriginalImageData(foundation::Data data, const std::string& filename,
                                                          foundation::ErrorPtr* error = nullptr);
    // Reads the file (its last path component becomes the file name); nullptr with the file
    // system's or the decoder's error.
    static ImageCanvasObjectPtr initWithURL(const foundation::URL& url, foundation::ErrorPtr* error = nullptr);
    // Over a bitmap: PNG bytes and a generated "<UUID>.png" name. nullptr when the bitmap
    // can't be encoded.
    static ImageCanvasObjectPtr initWithImage(const graphics::ImagePtr& image);

    // Turns a decoded picture upright for EXIF orientation 1...8 (1 and others: unchanged).
    static graphics::ImagePtr decode(const foundation::Data& data, foundation::ErrorPtr* error);

    const foundation::Data& originalImageData() const { return m_originalImageData; }
    // Replacing the bytes or the name decodes nothing again.
    void setOriginalImageData(foundation::Data data) { m_originalImageData = std::move(data); }
    const std::string& originalFilename() const { return m_originalFilename; }
    void setOriginalFilename(std::string name) { m_originalFilename = std::move(name); }
    const graphics::ImagePtr& image() const { return m_image; }
    void setImage(graphics::ImagePtr image) { m_image = std::move(image); }

    graphics::Size naturalSize() const override;
    graphics::ImagePtr makeImage() const override { return m_image; }
    bool hitTest(const graphics::Point& point) const override;
    // The file name without its extension, or the localized "Image" for generated pictures.
    std::string defaultDescription() const override;

    std::string className() const override { return "ImageCanvasObject"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    static void registerCodingClass();

private:
    ImageCanvasObject() = default;

    foundation::Data m_originalImageData;
    std::string m_originalFilename;
    graphics::ImagePtr m_image;
};
