#pragma once
// The document of the overlay laid over a cinemagraph: a size and an ordered list of text
// and image objects. It hands each object a stable identifier, watches every object it holds,
// turns each change (of the list or of an observed property) into an undo action on the
// host's undo manager and a report to its delegate, converts canvas points into an object's
// own space, finds the object under a point, and reads and writes its file package
// ("Canvas.plist" beside a "Data" folder of the pictures' original files).
//
// Main thread (or one thread at a time): no locks; undo registration and reports happen
// synchronously inside the call that caused them.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraKit/Canvas/CanvasObject.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/FileWrapper.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/UndoManager.h"
#include "Platform/Foundation/Value.h"

class Canvas;
class ImageCanvasObject;
using CanvasPtr = std::shared_ptr<Canvas>;

class CanvasDelegate {
public:
    enum class ChangeKind { inserted = 0, updated = 1, removed = 2, moved = 3 };
    virtual ~CanvasDelegate() = default;
    virtual void canvasDidChangeObjects(Canvas& canvas, const std::vector<CanvasObjectPtr>& objects, ChangeKind kind) = 0;
};

// Errors of the package reader: domain CanvasErrorDomain, code the case's number.
extern const std::string CanvasErrorDomain;           // "MovaraKit.Canvas.Error"
extern const std::string CanvasMissingDataFilenameKey; // "filename"

class Canvas : public foundation::Observable, public std::enable_shared_from_this<Canvas> {
public:
    using ChangeKind = CanvasDelegate::ChangeKind;
    enum class ErrorCode : long { missingData = 0, noPlist = 1 };

    static CanvasPtr init();
    ~Canvas() override;

    graphics::Size size() const { return m_size; }
    // Moves the objects: one centred within a point stays centred, one past the middle keeps
    // its distance to the far edge. Registers no undo action of its own.
    void setSize(const graphics::Size& size);
    const std::vector<CanvasObjectPtr>& objects() const { return m_objects; }
    // Every change of the list goes through here: observation, the objects' canvas link, one
    // undo action and the delegate's reports.
    void setObjects(const std::vector<CanvasObjectPtr>& objects);

    std::shared_ptr<foundation::UndoManager> undoManager() const { return m_undoManager.lock(); }
    // Also removes the canvas's actions from the manager set before (even the same one).
    virtual void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);
    std::shared_ptr<CanvasDelegate> delegate() const { return m_delegate.lock(); }
    virtual void setDelegate(const std::shared_ptr<CanvasDelegate>& delegate) { m_delegate = delegate; }

    int64_t lastObjectID() const { return m_lastObjectID; }
    // The object's identifier; none for an object that never had one.
    virtual std::optional<int64_t> identifier(const CanvasObjectPtr& object) const;
    // Searches every identifier ever given, so an object that left the list is still found.
    virtual CanvasObjectPtr object(int64_t identifier) const;

    // The object (not on the canvas yet) gets its identifier, if new, before the list changes,
    // so the delegate's "inserted" report already sees it. `index` is clamped to the list.
    void insert(const CanvasObjectPtr& object, size_t index);
    // Removes the listed objects that are on the canvas.
    void remove(const std::vector<CanvasObjectPtr>& objects);

    // A canvas point in the object's own space (origin at the lower left of its bounds).
    virtual graphics::Point convert(const graphics::Point& point, const CanvasObjectPtr& object) const;
    // The first object, front of the list first, whose own hit test takes the point.
    CanvasObjectPtr hitTest(const graphics::Point& point, bool includeHidden) const;

    // ---- the file package ----
    // Replaces size, last identifier and objects with the package's, as one undoable change.
    // Everything is read and checked first: a failure leaves the canvas as it was.
    bool load(const foundation::FileWrapperPtr& wrapper, foundation::ErrorPtr* error = nullptr);
    // Brings the directory wrapper's contents up to date in place; untouched on failure.
    bool save(const foundation::FileWrapperPtr& wrapper, foundation::ErrorPtr* error = nullptr);
    // The bytes of "Canvas.plist" for the canvas as it is (binary property list).
    foundation::Data makePlist(foundation::ErrorPtr* error = nullptr) const;
    // One object's dictionary, without "identifier".
    foundation::Value dictionary(const CanvasObjectPtr& object) const;
    // "<base>-<identifier>.<ext>" of the picture's original file name; names are unique
    // within the canvas (see the .cpp for how clashes are resolved).
    std::string dataFilename(const std::shared_ptr<ImageCanvasObject>& image) const;

    virtual void startObserving(const CanvasObjectPtr& object);
    virtual void stopObserving(const CanvasObjectPtr& object);

    const foundation::KeyTable& observableKeys() const override;

protected:
    Canvas() = default;

private:
    void objectsDidChange(const std::vector<CanvasObjectPtr>& old);
    void objectDidChange(const CanvasObjectPtr& object, const foundation::KeyValueChange& change);
    void moveObjectsForSize(const graphics::Size& old, const graphics::Size& size);
    void report(const std::vector<CanvasObjectPtr>& objects, ChangeKind kind);
    std::map<const ImageCanvasObject*, std::string> dataFilenames() const;

    graphics::Size m_size;
    std::vector<CanvasObjectPtr> m_objects;
    std::weak_ptr<foundation::UndoManager> m_undoManager;
    std::weak_ptr<CanvasDelegate> m_delegate;
    int64_t m_lastObjectID = 0;
    std::map<CanvasObjectPtr, int64_t> m_objectIdentifiers;
    std::map<const CanvasObject*, std::vector<foundation::Observable::Token>> m_observations;
};
