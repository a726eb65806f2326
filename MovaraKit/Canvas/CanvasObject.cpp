#include "MovaraKit/Canvas/CanvasObject.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "MovaraKit/Support/Archiving+Movara.h"
#include "Platform/Foundation/Error.h"
#include "Platform/UI/Layer.h"

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::Size;

namespace {

const std::string kNSValueTypeKey = "NS.objCType";
const std::string kNSValueBytesKey = "NS.bytes";

} // namespace

// ---- boxed transform ----------------------------------------------------------------------------

CanvasBoxedTransform::CanvasBoxedTransform(const AffineTransform& transform)
{
    MVRBoxedValue boxed = mvr_valueWithCGAffineTransform(transform);
    m_objCType = std::move(boxed.objCType);
    m_bytes = std::move(boxed.bytes);
}

CanvasBoxedTransform::CanvasBoxedTransform(std::string objCType, std::vector<uint8_t> bytes)
    : m_objCType(std::move(objCType)), m_bytes(std::move(bytes))
{
}

AffineTransform CanvasBoxedTransform::transformValue() const
{
    return mvr_CGAffineTransformValue(MVRBoxedValue {m_objCType, m_bytes});
}

void CanvasBoxedTransform::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    coder.encodeString(m_objCType, kNSValueTypeKey);
    coder.encodeData(m_bytes, kNSValueBytesKey);
}

// ---- canvas object ------------------------------------------------------------------------------

CanvasObjectPtr CanvasObject::init()
{
    return CanvasObjectPtr(new CanvasObject());
}

CanvasObject::~CanvasObject() = default;

const std::string& CanvasObject::pasteboardType()
{
    static const std::string type = "com.movara.CanvasObject";
    return type;
}

const std::vector<std::string>& CanvasObject::baseObservedKeyPaths()
{
    static const std::vector<std::string> paths = {"position", "size", "opacity", "hidden",
                                                   "angle", "transform", "preserveAspect", "canvasDescription"};
    return paths;
}

void CanvasObject::setX(double x)
{
    change("x", m_x, x);
}

void CanvasObject::setY(double y)
{
    change("y", m_y, y);
}

void CanvasObject::setWidth(double width)
{
    change("width", m_width, width);
}

void CanvasObject::setHeight(double height)
{
    change("height", m_height, height);
}

void CanvasObject::setPreserveAspect(bool value)
{
    change("preserveAspect", m_preserveAspect, value);
}

void CanvasObject::setHidden(bool value)
{
    change("hidden", m_hidden, value);
}

void CanvasObject::setOpacity(double value)
{
    change("opacity", m_opacity, value);
}

void CanvasObject::setTransform(const AffineTransform& transform)
{
    change("transform", m_transform, transform);
}

void CanvasObject::setAngle(double radians)
{
    change("angle", m_angle, radians);
}

std::string CanvasObject::canvasDescription() const
{
    return m_canvasDescriptionStorage.empty() ? defaultDescription() : m_canvasDescriptionStorage;
}

void CanvasObject::setCanvasDescription(const std::string& description)
{
    const std::string stored = description == defaultDescription() ? std::string() : description;
    change("canvasDescription", m_canvasDescriptionStorage, stored);
}

void CanvasObject::setCanvasDescriptionStorage(const std::string& description)
{
    change("canvasDescription", m_canvasDescriptionStorage, description);
}

bool CanvasObject::validateCanvasDescription(std::any& value) const
{
    if (!value.has_value()) {
        value = defaultDescription();
        return true;
    }
    if (const std::string* text = std::any_cast<std::string>(&value); text && text->empty())
        value = defaultDescription();
    return true;
}

std::string CanvasObject::defaultDescription() const
{
    return "Object";
}

void CanvasObject::setPosition(const Point& position)
{
    setX(position.x);
    setY(position.y);
}

void CanvasObject::setSize(const Size& size)
{
    setWidth(size.width);
    setHeight(size.height);
}

Rect CanvasObject::rect() const
{
    const Point p = position();
    const Size s = size();
    return Rect::make(p.x - s.width * 0.5, p.y - s.height * 0.5, s.width, s.height);
}

void CanvasObject::setRect(const Rect& rect)
{
    const Rect r = rect.standardized();
    setPosition({r.origin.x + r.size.width * 0.5, r.origin.y + r.size.height * 0.5});
    setSize(rect.size);
}

Rect CanvasObject::bounds() const
{
    const Rect mapped = rect().applying(m_transform).standardized();
    return mapped.offsetBy(-mapped.minX(), -mapped.minY());
}

Rect CanvasObject::alignmentRect() const
{
    const Point p = position();
    const AffineTransform toOrigin = AffineTransform::makeTranslation(-p.x, -p.y);
    const Rect centred = rect().applying(toOrigin);
    const Rect rotated = centred.applying(AffineTransform::makeRotation(m_angle));
    return rotated.applying(toOrigin.inverted()).standardized();
}

graphics::ImagePtr CanvasObject::makeImage() const
{
    foundation::fatal("CanvasObject.makeImage() is an abstract method and must be overridden");
}

bool CanvasObject::hitTest(const Point& point) const
{
    return bounds().contains(point);
}

void CanvasObject::display(ui::Layer& layer) const
{
    layer.setContents(makeImage());
}

foundation::KeyTable CanvasObject::makeBaseKeyTable()
{
    foundation::KeyTable t;
    t.key("x", &CanvasObject::x, &CanvasObject::setX);
    t.key("y", &CanvasObject::y, &CanvasObject::setY);
    t.key("width", &CanvasObject::width, &CanvasObject::setWidth);
    t.key("height", &CanvasObject::height, &CanvasObject::setHeight);
    t.key("preserveAspect", &CanvasObject::preserveAspect, &CanvasObject::setPreserveAspect);
    t.key("hidden", &CanvasObject::hidden, &CanvasObject::setHidden);
    t.key("opacity", &CanvasObject::opacity, &CanvasObject::setOpacity);
    t.key(
        "transform", [](const foundation::Observable& o) -> std::any { return static_cast<const CanvasObject&>(o).transform(); },
        [](foundation::Observable& o, const std::any& v) {
            static_cast<CanvasObject&>(o).setTransform(std::any_cast<AffineTransform>(v));
        });
    t.key("angle", &CanvasObject::angle, &CanvasObject::setAngle);
    t.key(
        "position", [](const foundation::Observable& o) -> std::any { return static_cast<const CanvasObject&>(o).position(); },
        [](foundation::Observable& o, const std::any& v) { static_cast<CanvasObject&>(o).setPosition(std::any_cast<Point>(v)); });
    t.key(
        "size", [](const foundation::Observable& o) -> std::any { return static_cast<const CanvasObject&>(o).size(); },
        [](foundation::Observable& o, const std::any& v) { static_cast<CanvasObject&>(o).setSize(std::any_cast<Size>(v)); });
    t.key(
        "canvasDescription",
        [](const foundation::Observable& o) -> std::any { return static_cast<const CanvasObject&>(o).canvasDescription(); },
        [](foundation::Observable& o, const std::any& v) {
            static_cast<CanvasObject&>(o).setCanvasDescription(std::any_cast<std::string>(v));
        });
    t.affecting("x", {"position"});
    t.affecting("y", {"position"});
    t.affecting("position", {"x", "y"});
    t.affecting("width", {"size"});
    t.affecting("height", {"size"});
    t.affecting("size", {"width", "height"});
    return t;
}

const foundation::KeyTable& CanvasObject::observableKeys() const
{
    static const foundation::KeyTable table = makeBaseKeyTable();
    return table;
}

void CanvasObject::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    mvr_encodeCGPoint(coder, position(), "position");
    mvr_encodeCGSize(coder, size(), "size");
    coder.encodeBool(m_hidden, "hidden");
    coder.encodeDouble(m_opacity, "opacity");
    coder.encodeObject(std::make_shared<CanvasBoxedTransform>(m_transform), "transform");
    coder.encodeDouble(m_angle, "angle");
    coder.encodeString(m_canvasDescriptionStorage, "canvasDescription");
    coder.encodeBool(m_preserveAspect, "preserveAspect");
}

void CanvasObject::decodeBase(foundation::KeyedUnarchiver& coder)
{
    const Point p = mvr_decodeCGPointForKey(coder, "position");
    const Size s = mvr_decodeCGSizeForKey(coder, "size");
    m_x = p.x;
    m_y = p.y;
    m_width = s.width;
    m_height = s.height;
    m_hidden = coder.decodeBool("hidden");
    m_opacity = coder.decodeDouble("opacity");
    m_transform = AffineTransform::identity();
    if (auto boxed = coder.decodeObjectOfClass<CanvasBoxedTransform>("NSValue", "transform"))
        m_transform = boxed->transformValue();
    m_angle = coder.decodeDouble("angle");
    m_canvasDescriptionStorage = coder.decodeString("canvasDescription").value_or(std::string());
    m_preserveAspect = coder.decodeBool("preserveAspect");
}

void CanvasObject::registerCodingClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        foundation::KeyedArchiver::registerClass({"NSValue", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
            auto type = coder.decodeString(kNSValueTypeKey);
            auto bytes = coder.decodeData(kNSValueBytesKey);
            return std::make_shared<CanvasBoxedTransform>(type.value_or(std::string()), bytes.value_or(foundation::Data()));
        }});
        foundation::KeyedArchiver::registerClass({"CanvasObject", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
            auto object = CanvasObject::init();
            object->decodeBase(coder);
            return object;
        }});
        ImageCanvasObject::registerCodingClass();
        TextCanvasObject::registerCodingClass();
    });
}

namespace {
// Archives can be read before any object was made: register the classes at load.
const bool registered = (CanvasObject::registerCodingClasses(), true);
} // namespace
