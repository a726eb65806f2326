#pragma once
// The abstract base of everything placed on a canvas: geometry (centre, size, an extra
// transform and a rotation about the centre), visibility, a user-facing description and a
// weak link to the owning canvas. Every stored property is observable; the canvas turns
// their changes into undo actions and delegate reports. Objects archive themselves with
// secure keyed coding (the pasteboard format). Main thread, like the canvas that owns them.

#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"

#include "Platform/UI/Layer.h"

class Canvas;
class CanvasObject;
using CanvasObjectPtr = std::shared_ptr<CanvasObject>;

class CanvasObject : public foundation::Observable,
                     public foundation::Coding,
                     public ui::LayerDelegate,
                     public std::enable_shared_from_this<CanvasObject> {
public:
    // A free-standing base object (tests and subclasses' own state start from these values).
    static CanvasObjectPtr init();
    ~CanvasObject() override;

    static bool supportsSecureCoding() { return true; }
    // "com.movara.CanvasObject": the pasteboard type that carries archived objects.
    static const std::string& pasteboardType();
    // The key paths a canvas observes on objects of this class.
    static const std::vector<std::string>& baseObservedKeyPaths();
    virtual const std::vector<std::string>& observedKeyPaths() const { return baseObservedKeyPaths(); }

    double x() const { return m_x; }
    void setX(double x);
    double y() const { return m_y; }
    void setY(double y);
    double width() const { return m_width; }
    void setWidth(double width);
    double height() const { return m_height; }
    void setHeight(double height);
    bool preserveAspect() const { return m_preserveAspect; }
    void setPreserveAspect(bool value);
    bool hidden() const { return m_hidden; }
    void setHidden(bool value);
    double opacity() const { return m_opacity; }
    void setOpacity(double value);
    const graphics::AffineTransform& transform() const { return m_transform; }
    void setTransform(const graphics::AffineTransform& transform);
    double angle() const { return m_angle; }
    void setAngle(double radians);

    std::shared_ptr<Canvas> canvas() const { return m_canvas.lock(); }
    void setCanvas(const std::shared_ptr<Canvas>& canvas) { m_canvas = canvas; }

    // The stored description, else the default one. Setting the default stores nothing, so
    // the description keeps following the default.
    std::string canvasDescription() const;
    void setCanvasDescription(const std::string& description);
    const std::string& canvasDescriptionStorage() const { return m_canvasDescriptionStorage; }
    // Stores a description as it is (documents read it back this way), with change reports.
    void setCanvasDescriptionStorage(const std::string& description);
    // An absent value or an empty string becomes the default description; anything else
    // stays. Never fails.
    bool validateCanvasDescription(std::any& value) const;
    virtual std::string defaultDescription() const;

    graphics::Point position() const { return {m_x, m_y}; }
    void setPosition(const graphics::Point& position);
    graphics::Size size() const { return {m_width, m_height}; }
    void setSize(const graphics::Size& size);
    virtual graphics::Size naturalSize() const { return {}; }
    graphics::Rect rect() const;
    void setRect(const graphics::Rect& rect);
    // The frame after `transform`, moved to the origin: the object's own space.
    graphics::Rect bounds() const;
    // The frame turned by `angle` about the centre: what editors snap to guides.
    graphics::Rect alignmentRect() const;

    // Whether the cinemagraph's colour adjustments also apply to this object. Not archived.
    bool applyAdjustments() const { return m_applyAdjustments; }
    void setApplyAdjustments(bool value) { m_applyAdjustments = value; }

    // The object drawn into a bitmap of its size. The base class has nothing to draw.
    virtual graphics::ImagePtr makeImage() const;
    // `point` is in the object's own space (origin at the lower left of bounds()).
    virtual bool hitTest(const graphics::Point& point) const;
    // Gives the layer a freshly rendered image as its contents (the layer-delegate entry).
    void display(ui::Layer& layer) const;
    void displayLayer(ui::Layer& layer) override { display(layer); }

    std::string className() const override { return "CanvasObject"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

    const foundation::KeyTable& observableKeys() const override;

    // Registers the archivable classes (base, image and text objects) once per process.
    static void registerCodingClasses();

protected:
    CanvasObject() = default;
    // Reads the base keys of an archive into this object, without change reports.
    void decodeBase(foundation::KeyedUnarchiver& coder);
    // The table subclasses start theirs from.
    static foundation::KeyTable makeBaseKeyTable();

    // Brackets a change with willChange/didChange unless the value is the same.
    template <class T> void change(const char* key, T& field, const T& value)
    {
        willChange(key);
        field = value;
        didChange(key);
    }

private:
    double m_x = 0;
    double m_y = 0;
    double m_width = 0;
    double m_height = 0;
    bool m_preserveAspect = true;
    bool m_hidden = false;
    double m_opacity = 1.0;
    graphics::AffineTransform m_transform;
    double m_angle = 0;
    std::weak_ptr<Canvas> m_canvas;
    std::string m_canvasDescriptionStorage;
    bool m_applyAdjustments = false;
};

// Removes the first element equal to `element` (by identity for objects); nothing when absent.
template <class T> void remove(std::vector<T>& array, const T& element)
{
    for (auto it = array.begin(); it != array.end(); ++it) {
        if (*it == element) {
            array.erase(it);
            return;
        }
    }
}

// A boxed affine transform as the archive keeps it ("NSValue" with its type encoding).
class CanvasBoxedTransform : public foundation::Coding {
public:
    explicit CanvasBoxedTransform(const graphics::AffineTransform& transform);
    CanvasBoxedTransform(std::string objCType, std::vector<uint8_t> bytes);
    graphics::AffineTransform transformValue() const;
    std::string className() const override { return "NSValue"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

private:
    std::string m_objCType;
    std::vector<uint8_t> m_bytes;
};
