#pragma once
// Interface files without a file format: each "interface file" is a builder function
// registered under its name that makes the windows, views and controllers of that file and
// connects them to each other and to the file's owner. Loading by name runs the builder and
// then wakes every object it added (awakeFromNib). Storyboards are named sets of scenes, each
// a builder of one controller registered under an identifier. Builders register from their
// own .cpp (at start-up) or from tests; loading happens on the main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/UI/Object.h"

namespace ui {

class Window;
class WindowController;

// One loading of an interface file, handed to its builder.
class InterfaceFile {
public:
    InterfaceFile(std::string name, ObjectPtr owner) : m_name(std::move(name)), m_owner(std::move(owner)) { }

    const std::string& name() const { return m_name; }
    // The object that asked for the file ("File's Owner"); may be none.
    const ObjectPtr& owner() const { return m_owner; }
    template <class T> std::shared_ptr<T> ownerAs() const { return std::dynamic_pointer_cast<T>(m_owner); }

    // Keeps `object` among the file's top-level objects and wakes it when loading ends.
    template <class T> std::shared_ptr<T> add(std::shared_ptr<T> object)
    {
        if (object) {
            m_topLevel.push_back(object);
            m_toWake.push_back(object);
        }
        return object;
    }
    // An object held by another object of the file (a view in a window): woken, not kept.
    template <class T> std::shared_ptr<T> wake(std::shared_ptr<T> object)
    {
        if (object)
            m_toWake.push_back(object);
        return object;
    }

    const std::vector<ObjectPtr>& topLevelObjects() const { return m_topLevel; }
    const std::vector<ObjectPtr>& objectsToWake() const { return m_toWake; }

private:
    std::string m_name;
    ObjectPtr m_owner;
    std::vector<ObjectPtr> m_topLevel;
    std::vector<ObjectPtr> m_toWake;
};

using InterfaceBuilder = std::function<void(InterfaceFile&)>;
// Makes one scene's controller (and what it owns) and returns it.
using SceneBuilder = std::function<ObjectPtr(InterfaceFile&)>;

class InterfaceRegistry {
public:
    // A later registration of the same name replaces the earlier one.
    static void registerFile(const std::string& name, InterfaceBuilder builder);
    static bool isRegistered(const std::string& name);
    // Runs the builder with `owner`, then awakeFromNib on every object added, in order.
    // None, with an error, when no file of that name is registered.
    static std::optional<std::vector<ObjectPtr>> loadFile(const std::string& name, const ObjectPtr& owner,
                                                          foundation::ErrorPtr* error = nullptr);

    static void registerScene(const std::string& storyboard, const std::string& identifier, SceneBuilder builder,
                              bool isInitial = false);
    static bool hasStoryboard(const std::string& storyboard);
    // The initial scene of a storyboard that holds a window: `makeController` makes the window
    // controller named `identifier`, `makeWindow` its window, of which the controller becomes
    // the owner (and the delegate, when it is one) before it hears windowDidLoad.
    static void registerWindowScene(const std::string& storyboard, const std::string& identifier,
                                    std::function<std::shared_ptr<WindowController>()> makeController,
                                    std::function<std::shared_ptr<Window>()> makeWindow);
};

class Storyboard {
public:
    // None when no scene of that storyboard is registered.
    static std::shared_ptr<Storyboard> storyboardWithName(const std::string& name);

    const std::string& name() const { return m_name; }
    // A new controller of the scene (woken); none for an unknown identifier.
    ObjectPtr instantiateControllerWithIdentifier(const std::string& identifier) const;
    ObjectPtr instantiateInitialController() const;
    template <class T> std::shared_ptr<T> instantiateControllerWithIdentifierAs(const std::string& identifier) const
    {
        return std::dynamic_pointer_cast<T>(instantiateControllerWithIdentifier(identifier));
    }

    explicit Storyboard(std::string name) : m_name(std::move(name)) { }

private:
    std::string m_name;
};

} // namespace ui
