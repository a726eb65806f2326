#include "MovaraKit/Canvas/Canvas.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "MovaraKit/Support/Archiving+Movara.h"
#include "MovaraKit/Support/CGColorArchiving.h"
#include "Platform/Foundation/PropertyList.h"

using foundation::ErrorPtr;
using foundation::Value;
using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::Size;

const std::string CanvasErrorDomain = "MovaraKit.Canvas.Error";
const std::string CanvasMissingDataFilenameKey = "filename";

namespace {

const std::string kPlistName = "Canvas.plist";
const std::string kDataName = "Data";

// Every observation a canvas registers carries this context.
const std::string kObservationContext = "com.movara.CanvasObjectObservationContext";
void* observationContext()
{
    return const_cast<std::string*>(&kObservationContext);
}

bool fail(ErrorPtr* error, ErrorPtr e)
{
    if (error)
        *error = std::move(e);
    return false;
}

ErrorPtr canvasError(Canvas::ErrorCode code, const std::string& filename = {})
{
    foundation::Error::UserInfo info;
    if (code == Canvas::ErrorCode::missingData) {
        info[foundation::NSLocalizedDescriptionKey].text = "The canvas document has no data file \"" + filename + "\".";
        info[CanvasMissingDataFilenameKey].text = filename;
    } else {
        info[foundation::NSLocalizedDescriptionKey].text = "The canvas document has no readable \"Canvas.plist\".";
    }
    return foundation::Error::make(CanvasErrorDomain, static_cast<long>(code), std::move(info));
}

// Values of the observed keys compared the way the objects' own types compare.
template <class... T> bool anyEqualAs(const std::any& a, const std::any& b)
{
    bool equal = false;
    bool matched = false;
    ((!matched && std::any_cast<T>(&a) && std::any_cast<T>(&b)
          ? (matched = true, equal = *std::any_cast<T>(&a) == *std::any_cast<T>(&b))
          : false),
     ...);
    return equal;
}

bool anyEqual(const std::any& a, const std::any& b)
{
    if (!a.has_value() || !b.has_value())
        return false;
    if (a.type() != b.type())
        return false;
    return anyEqualAs<double, bool, int64_t, int, std::string, Point, Size, AffineTransform, graphics::Color, ui::Font,
                      ui::TextAlignment>(a, b);
}

std::string pathExtension(const std::string& name)
{
    const std::string ext = std::filesystem::path(name).extension().string();
    return ext.empty() ? ext : ext.substr(1);
}

std::string lastComponentWithoutExtension(const std::string& name)
{
    const std::filesystem::path p(name);
    return p.filename().empty() ? std::string() : p.stem().string();
}

// The name of an image's file in "Data", before any number that tells it from another: the
// original file name with the object's identifier. A NUL (which no file name may hold) becomes
// "_", and what is then still no file name ("", ".", "..") is prefixed with "image".
void dataNameParts(const std::string& originalFilename, std::optional<int64_t> identifier, std::string& base,
                   std::string& ext)
{
    ext = pathExtension(originalFilename);
    base = lastComponentWithoutExtension(originalFilename);
    std::replace(ext.begin(), ext.end(), '\0', '_');
    std::replace(base.begin(), base.end(), '\0', '_');
    if (identifier)
        base += "-" + std::to_string(*identifier);
    if (!foundation::FileWrapper::isSinglePathComponent(base + (ext.empty() ? "" : "." + ext)))
        base = "image" + base;
}

} // namespace

CanvasPtr Canvas::init()
{
    return CanvasPtr(new Canvas());
}

Canvas::~Canvas()
{
    // No shared_ptr to ourselves exists any more; the tokens remove their observations.
    m_observations.clear();
    if (auto manager = m_undoManager.lock())
        manager->removeAllActionsWithTarget(foundation::identityOf(this));
}

const foundation::KeyTable& Canvas::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key(
            "size", [](const foundation::Observable& o) -> std::any { return static_cast<const Canvas&>(o).size(); },
            [](foundation::Observable& o, const std::any& v) { static_cast<Canvas&>(o).setSize(std::any_cast<Size>(v)); });
        t.key(
            "objects", [](const foundation::Observable& o) -> std::any { return static_cast<const Canvas&>(o).objects(); },
            [](foundation::Observable& o, const std::any& v) {
                static_cast<Canvas&>(o).setObjects(std::any_cast<std::vector<CanvasObjectPtr>>(v));
            });
        return t;
    }();
    return table;
}

void Canvas::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager)
{
    auto previous = m_undoManager.lock();
    m_undoManager = undoManager;
    if (previous)
        previous->removeAllActionsWithTarget(foundation::identityOf(this));
}

// ---- size -----------------------------------------------------------------------------------------

void Canvas::setSize(const Size& size)
{
    const Size old = m_size;
    willChange("size");
    m_size = size;
    didChange("size");
    moveObjectsForSize(old, size);
}

void Canvas::moveObjectsForSize(const Size& old, const Size& size)
{
    auto manager = undoManager();
    if (manager)
        manager->disableUndoRegistration();
    auto moved = [](double v, double from, double to) {
        if (std::abs(v - from * 0.5) < 1.0)
            return v + to * 0.5 - from * 0.5;
        if (v > from * 0.5)
            return v + (to - from);
        return v;
    };
    for (const CanvasObjectPtr& object : std::vector<CanvasObjectPtr>(m_objects)) {
        object->setX(moved(object->x(), old.width, size.width));
        object->setY(moved(object->y(), old.height, size.height));
    }
    if (manager)
        manager->enableUndoRegistration();
}

// ---- the list -------------------------------------------------------------------------------------

void Canvas::setObjects(const std::vector<CanvasObjectPtr>& objects)
{
    const std::vector<CanvasObjectPtr> old = m_objects;
    willChange("objects");
    m_objects = objects;
    didChange("objects");
    objectsDidChange(old);
}

void Canvas::objectsDidChange(const std::vector<CanvasObjectPtr>& old)
{
    if (old == m_objects)
        return;
    const std::set<CanvasObjectPtr> oldSet(old.begin(), old.end());
    const std::set<CanvasObjectPtr> newSet(m_objects.begin(), m_objects.end());
    std::vector<CanvasObjectPtr> removed;
    for (const auto& object : old) {
        if (!newSet.count(object) && std::find(removed.begin(), removed.end(), object) == removed.end())
            removed.push_back(object);
    }
    std::vector<CanvasObjectPtr> inserted;
    for (const auto& object : m_objects) {
        if (!oldSet.count(object) && std::find(inserted.begin(), inserted.end(), object) == inserted.end())
            inserted.push_back(object);
    }
    for (const auto& object : removed) {
        stopObserving(object);
        object->setCanvas(nullptr);
    }
    for (const auto& object : inserted) {
        object->setCanvas(shared_from_this());
        startObserving(object);
    }
    if (auto manager = undoManager()) {
        manager->registerUndo<Canvas>(shared_from_this(), [old](Canvas& canvas) { canvas.setObjects(old); });
    }
    if (!removed.empty())
        report(removed, ChangeKind::removed);
    if (!inserted.empty())
        report(inserted, ChangeKind::inserted);
    if (removed.empty() && inserted.empty())
        report(m_objects, ChangeKind::moved);
}

void Canvas::report(const std::vector<CanvasObjectPtr>& objects, ChangeKind kind)
{
    if (auto delegate = m_delegate.lock())
        delegate->canvasDidChangeObjects(*this, objects, kind);
}

void Canvas::insert(const CanvasObjectPtr& object, size_t index)
{
    if (!object || std::find(m_objects.begin(), m_objects.end(), object) != m_objects.end())
        return;
    if (!m_objectIdentifiers.count(object)) {
        const int64_t id = m_lastObjectID + 1;
        m_objectIdentifiers[object] = id;
        m_lastObjectID = id;
    }
    std::vector<CanvasObjectPtr> list = m_objects;
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(std::min(index, list.size())), object);
    setObjects(list);
}

void Canvas::remove(const std::vector<CanvasObjectPtr>& objects)
{
    std::vector<CanvasObjectPtr> list = m_objects;
    std::vector<size_t> indices;
    for (size_t i = 0; i < list.size(); ++i) {
        if (std::find(objects.begin(), objects.end(), list[i]) != objects.end())
            indices.push_back(i);
    }
    for (auto it = indices.rbegin(); it != indices.rend(); ++it)
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(*it));
    setObjects(list);
}

std::optional<int64_t> Canvas::identifier(const CanvasObjectPtr& object) const
{
    auto it = m_objectIdentifiers.find(object);
    return it == m_objectIdentifiers.end() ? std::nullopt : std::optional(it->second);
}

CanvasObjectPtr Canvas::object(int64_t identifier) const
{
    for (const auto& [object, id] : m_objectIdentifiers) {
        if (id == identifier)
            return object;
    }
    return nullptr;
}

// ---- observation ----------------------------------------------------------------------------------

void Canvas::startObserving(const CanvasObjectPtr& object)
{
    auto& tokens = m_observations[object.get()];
    std::weak_ptr<Canvas> weakSelf = shared_from_this();
    std::weak_ptr<CanvasObject> weakObject = object;
    for (const std::string& keyPath : object->observedKeyPaths()) {
        tokens.push_back(object->addObserver(
            keyPath, foundation::KeyValueObservingOptionNew | foundation::KeyValueObservingOptionOld, observationContext(),
            [weakSelf, weakObject](const foundation::KeyValueChange& change) {
                auto canvas = weakSelf.lock();
                auto changed = weakObject.lock();
                if (canvas && changed && change.context == observationContext())
                    canvas->objectDidChange(changed, change);
            }));
    }
}

void Canvas::stopObserving(const CanvasObjectPtr& object)
{
    m_observations.erase(object.get());
}

void Canvas::objectDidChange(const CanvasObjectPtr& object, const foundation::KeyValueChange& change)
{
    if (change.isPrior)
        return;
    if (anyEqual(change.oldValue, change.newValue))
        return;
    auto manager = undoManager();
    if (!change.keyPath.empty() && change.oldValue.has_value() && manager) {
        std::weak_ptr<CanvasObject> weakObject = object;
        manager->registerUndo<Canvas>(shared_from_this(), [weakObject, keyPath = change.keyPath, old = change.oldValue](Canvas&) {
            if (auto target = weakObject.lock())
                target->setValueForKeyPath(keyPath, old);
        });
    }
    report({object}, ChangeKind::updated);
}

// ---- geometry -------------------------------------------------------------------------------------

Point Canvas::convert(const Point& point, const CanvasObjectPtr& object) const
{
    const double x = object->x();
    const double y = object->y();
    const AffineTransform m = AffineTransform::makeTranslation(-x, -y)
                                  .concatenating(AffineTransform::makeRotation(-object->angle()))
                                  .concatenating(AffineTransform::makeTranslation(x, y));
    const Point p = point.applying(m).applying(object->transform());
    const Rect r = object->rect().applying(object->transform()).standardized();
    return p - r.origin;
}

CanvasObjectPtr Canvas::hitTest(const Point& point, bool includeHidden) const
{
    for (const CanvasObjectPtr& object : m_objects) {
        if (!includeHidden && object->hidden())
            continue;
        if (object->hitTest(convert(point, object)))
            return object;
    }
    return nullptr;
}

// ---- the file package -----------------------------------------------------------------------------

std::map<const ImageCanvasObject*, std::string> Canvas::dataFilenames() const
{
    // The name depends on the file name and the identifier, so an object keeps its file from
    // one save to the next. Objects without identifiers, or names that happen to coincide,
    // would share one file and lose one picture's bytes: later ones get " 2", " 3", ...
    std::map<const ImageCanvasObject*, std::string> names;
    std::set<std::string> taken;
    for (const CanvasObjectPtr& object : m_objects) {
        auto image = std::dynamic_pointer_cast<ImageCanvasObject>(object);
        if (!image || names.count(image.get()))
            continue;
        std::string base, ext;
        dataNameParts(image->originalFilename(), identifier(image), base, ext);
        std::string name = ext.empty() ? base : base + "." + ext;
        for (int n = 2; taken.count(name) || !foundation::FileWrapper::isSinglePathComponent(name); ++n)
            name = base + " " + std::to_string(n) + (ext.empty() ? "" : "." + ext);
        taken.insert(name);
        names[image.get()] = name;
    }
    return names;
}

std::string Canvas::dataFilename(const std::shared_ptr<ImageCanvasObject>& image) const
{
    const auto names = dataFilenames();
    auto it = names.find(image.get());
    if (it != names.end())
        return it->second;
    // Not on the canvas: the plain rule.
    std::string base, ext;
    dataNameParts(image->originalFilename(), identifier(image), base, ext);
    return ext.empty() ? base : base + "." + ext;
}

Value Canvas::dictionary(const CanvasObjectPtr& object) const
{
    const auto image = std::dynamic_pointer_cast<ImageCanvasObject>(object);
    const auto text = std::dynamic_pointer_cast<TextCanvasObject>(object);
    if (!image && !text)
        foundation::fatal("Can't serialize " + object->className());
    Value d = Value::dictionary();
    d.set("type", image ? "image" : "text");
    d.set("position", mvr_stringFromPoint(object->position()));
    d.set("size", mvr_stringFromSize(object->size()));
    d.set("preserveAspect", object->preserveAspect());
    d.set("transform", transformString(object->transform()));
    d.set("angle", object->angle());
    d.set("hidden", object->hidden());
    d.set("opacity", object->opacity());
    d.set("name", object->canvasDescription());
    if (image) {
        d.set("originalFilename", image->originalFilename());
        d.set("dataFilename", dataFilename(image));
    } else {
        d.set("text", text->text());
        d.set("font", Value::dictionary({{"attributes", text->font().fontDescriptorAttributes()},
                                         {"size", text->font().pointSize()}}));
        if (auto color = CGColorArchiving::dictionary(text->color()))
            d.set("color", *color);
        d.set("textAlignment", static_cast<int64_t>(text->textAlignment()));
        d.set("underlineStyle", text->underlineStyle());
    }
    return d;
}

foundation::Data Canvas::makePlist(ErrorPtr* error) const
{
    Value list = Value::array();
    for (const CanvasObjectPtr& object : m_objects) {
        Value d = dictionary(object);
        if (auto id = identifier(object))
            d.set("identifier", *id);
        else
            d.erase("identifier");
        list.append(std::move(d));
    }
    Value top = Value::dictionary({{"version", 1},
                                   {"size", mvr_stringFromSize(m_size)},
                                   {"lastObjectID", m_lastObjectID},
                                   {"objects", std::move(list)}});
    return foundation::writePropertyList(top, foundation::PropertyListFormat::Binary, error);
}

bool Canvas::save(const foundation::FileWrapperPtr& wrapper, ErrorPtr* error)
{
    if (!wrapper || !wrapper->isDirectory())
        return fail(error, foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileWriteUnknownError,
                                                   "A canvas is saved into a folder."));
    ErrorPtr plistError;
    foundation::Data plist = makePlist(&plistError);
    if (plist.empty())
        return fail(error, plistError);

    if (auto old = wrapper->fileWrapperNamed(kPlistName))
        wrapper->removeFileWrapper(old);
    wrapper->addRegularFileWithContents(std::move(plist), kPlistName);

    foundation::FileWrapperPtr dataDir = wrapper->fileWrapperNamed(kDataName);
    if (dataDir && !dataDir->isDirectory()) {
        wrapper->removeFileWrapper(dataDir);
        dataDir = nullptr;
    }
    if (!dataDir) {
        dataDir = foundation::FileWrapper::initDirectoryWithFileWrappers();
        dataDir->setPreferredFilename(kDataName);
        wrapper->addFileWrapper(dataDir);
    }

    std::set<std::string> keep;
    const auto names = dataFilenames();
    for (const CanvasObjectPtr& object : m_objects) {
        auto image = std::dynamic_pointer_cast<ImageCanvasObject>(object);
        if (!image)
            continue;
        const std::string& name = names.at(image.get());
        keep.insert(name);
        if (auto existing = dataDir->fileWrapperNamed(name)) {
            // A file of that name with other bytes (the picture changed, or the name now
            // belongs to another object) is replaced: the package always holds each picture.
            const auto contents = existing->regularFileContents();
            if (contents && *contents == image->originalImageData())
                continue;
            dataDir->removeFileWrapper(existing);
        }
        dataDir->addRegularFileWithContents(image->originalImageData(), name);
    }
    std::vector<foundation::FileWrapperPtr> stale;
    for (const auto& [name, child] : dataDir->fileWrappers()) {
        if (!keep.count(name))
            stale.push_back(child);
    }
    for (const auto& child : stale)
        dataDir->removeFileWrapper(child);
    return true;
}

bool Canvas::load(const foundation::FileWrapperPtr& wrapper, ErrorPtr* error)
{
    if (!wrapper || !wrapper->isDirectory() || wrapper->fileWrappers().empty())
        return fail(error, canvasError(ErrorCode::noPlist));
    auto plistWrapper = wrapper->fileWrapperNamed(kPlistName);
    auto plistBytes = plistWrapper ? plistWrapper->regularFileContents() : std::nullopt;
    if (!plistBytes)
        return fail(error, canvasError(ErrorCode::noPlist));
    ErrorPtr parseError;
    const Value plist = foundation::readPropertyList(*plistBytes, &parseError);
    if (parseError)
        return fail(error, parseError);
    if (!plist.isDictionary())
        return fail(error, canvasError(ErrorCode::noPlist));

    // Everything is read before anything changes.
    std::optional<Size> size;
    if (plist["size"].isString())
        size = mvr_sizeFromString(plist["size"].asString());
    std::optional<int64_t> lastObjectID;
    if (plist["lastObjectID"].isInteger())
        lastObjectID = plist["lastObjectID"].asInteger();
    const foundation::FileWrapperPtr dataDir = wrapper->fileWrapperNamed(kDataName);

    std::vector<CanvasObjectPtr> loaded;
    std::vector<std::pair<CanvasObjectPtr, int64_t>> identifiers;
    const Value& list = plist["objects"];
    for (const Value& d : list.isArray() ? list.asArray() : Value::Array()) {
        if (!d.isDictionary() || !d["type"].isString())
            continue;
        const std::string& type = d["type"].asString();
        CanvasObjectPtr object;
        if (type == "image") {
            const std::string filename = d["originalFilename"].isString() ? d["originalFilename"].asString() : std::string();
            const std::string dataName = d["dataFilename"].isString() ? d["dataFilename"].asString() : std::string();
            // Only entries of the package's own "Data" folder are read: a name can't reach
            // outside it.
            auto file = dataDir && dataDir->isDirectory() ? dataDir->fileWrapperNamed(dataName) : nullptr;
            auto bytes = file ? file->regularFileContents() : std::nullopt;
            if (!bytes)
                return fail(error, canvasError(ErrorCode::missingData, dataName));
            ErrorPtr imageError;
            auto image = ImageCanvasObject::initWithOriginalImageData(std::move(*bytes), filename, &imageError);
            if (!image)
                return fail(error, imageError);
            object = image;
        } else if (type == "text") {
            auto text = TextCanvasObject::init();
            text->setText(d["text"].isString() ? d["text"].asString() : std::string());
            const Value& font = d["font"];
            if (font.isDictionary() && font["attributes"].isDictionary() && font["size"].isNumber() && !font["size"].isBool()) {
                if (auto made = ui::Font::fontWithDescriptor(font["attributes"], font["size"].asDouble()))
                    text->setFont(*made);
            }
            if (d["color"].isDictionary()) {
                if (auto color = CGColorArchiving::color(d["color"]))
                    text->setColor(*color);
            }
            if (d["textAlignment"].isInteger())
                text->setTextAlignment(static_cast<ui::TextAlignment>(d["textAlignment"].asInteger()));
            if (d["underlineStyle"].isInteger())
                text->setUnderlineStyle(d["underlineStyle"].asInteger());
            object = text;
        } else {
            continue;
        }
        if (d["position"].isString()) {
            if (auto p = mvr_pointFromString(d["position"].asString()))
                object->setPosition(*p);
        }
        if (d["size"].isString()) {
            if (auto s = mvr_sizeFromString(d["size"].asString()))
                object->setSize(*s);
        }
        if (d["angle"].isReal() || d["angle"].isInteger())
            object->setAngle(d["angle"].asDouble());
        if (d["hidden"].isBool())
            object->setHidden(d["hidden"].asBool());
        if (d["preserveAspect"].isBool())
            object->setPreserveAspect(d["preserveAspect"].asBool());
        if (d["identifier"].isInteger())
            identifiers.emplace_back(object, d["identifier"].asInteger());
        if (d["opacity"].isReal() || d["opacity"].isInteger())
            object->setOpacity(d["opacity"].asDouble());
        // Text that doesn't read as six numbers gives the identity, which a new object has anyway.
        if (d["transform"].isString())
            object->setTransform(transform(d["transform"].asString()));
        if (d["name"].isString())
            object->setCanvasDescriptionStorage(d["name"].asString());
        loaded.push_back(std::move(object));
    }

    // Apply: one undo group restores the size and the old objects.
    auto manager = undoManager();
    if (manager)
        manager->beginUndoGrouping();
    for (const auto& [object, id] : identifiers) {
        m_objectIdentifiers[object] = id;
        m_lastObjectID = std::max(m_lastObjectID, id);
    }
    if (lastObjectID)
        m_lastObjectID = std::max(*lastObjectID, m_lastObjectID);
    if (size && !(*size == m_size)) {
        // The objects being replaced are not moved for the new size: they leave the canvas,
        // and undo brings them back exactly where they were.
        struct SizeSetter {
            static void apply(Canvas& canvas, Size size)
            {
                const Size old = canvas.m_size;
                if (auto um = canvas.undoManager())
                    um->registerUndo<Canvas>(canvas.shared_from_this(), [old](Canvas& c) { apply(c, old); });
                canvas.willChange("size");
                canvas.m_size = size;
                canvas.didChange("size");
            }
        };
        SizeSetter::apply(*this, *size);
    }
    setObjects(loaded);
    if (manager)
        manager->endUndoGrouping();
    return true;
}
