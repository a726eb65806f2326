#pragma once
// The root of the user-interface objects: anything that can be the target of an action (a
// named message such as "export:"), be validated as a menu item's target, or come out of an
// interface file (awakeFromNib). Responder adds the chain that untargeted actions and
// unhandled events travel along. Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>

namespace ui {

class Event;
class MenuItem;
class UserInterfaceItem;

class Object : public std::enable_shared_from_this<Object> {
public:
    using ActionHandler = std::function<void(Object* sender)>;

    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Called once an interface file has made all its objects and connected them.
    virtual void awakeFromNib() { }

    // Actions this object answers, by name ("ok:", "showAboutWindow:"). A later registration of
    // the same name replaces the earlier one, so a subclass overrides its base's action.
    void registerAction(const std::string& action, ActionHandler handler);
    virtual bool respondsToAction(const std::string& action) const;
    // Runs the action; false when this object has none of that name.
    virtual bool performAction(const std::string& action, Object* sender);

    // Whether an item whose target is this object is enabled; may also retitle the item.
    virtual bool validateMenuItem(MenuItem& item);
    virtual bool validateUserInterfaceItem(const UserInterfaceItem& item);

    template <class T> std::shared_ptr<T> sharedAs() { return std::dynamic_pointer_cast<T>(shared_from_this()); }
    template <class T> std::shared_ptr<const T> sharedAs() const
    {
        return std::dynamic_pointer_cast<const T>(shared_from_this());
    }

protected:
    Object() = default;

private:
    std::map<std::string, ActionHandler> m_actions;
};

// What validation sees of a menu item or control: its action and tag.
class UserInterfaceItem {
public:
    virtual ~UserInterfaceItem() = default;
    virtual std::string action() const = 0;
    virtual long tag() const = 0;
};

// Controls and menu items carry their tags as plain integers; the classes that own a set of
// tags declare it as an enumeration. These two convert at that edge.
template <class Tag>
    requires std::is_enum_v<Tag>
constexpr long tagValue(Tag tag)
{
    return static_cast<long>(tag);
}
template <class Tag>
    requires std::is_enum_v<Tag>
constexpr Tag tagAs(long tag)
{
    return static_cast<Tag>(tag);
}

class Responder : public Object {
public:
    // By default the next responder is the one set here; views, windows and controllers
    // compute theirs from their place in the hierarchy.
    virtual std::shared_ptr<Responder> nextResponder() const { return m_nextResponder.lock(); }
    void setNextResponder(const std::shared_ptr<Responder>& responder) { m_nextResponder = responder; }

    virtual bool acceptsFirstResponder() const { return false; }
    virtual bool becomeFirstResponder() { return true; }
    virtual bool resignFirstResponder() { return true; }

    // Unhandled events go to the next responder.
    virtual void mouseDown(const Event& event);
    virtual void mouseDragged(const Event& event);
    virtual void mouseUp(const Event& event);
    virtual void mouseMoved(const Event& event);
    virtual void mouseEntered(const Event& event);
    virtual void mouseExited(const Event& event);
    virtual void rightMouseDown(const Event& event);
    virtual void keyDown(const Event& event);
    virtual void keyUp(const Event& event);
    virtual void scrollWheel(const Event& event);

    // Performs the action here or further along the chain; false when nobody answers it.
    bool tryToPerform(const std::string& action, Object* sender);

private:
    std::weak_ptr<Responder> m_nextResponder;
};

using ObjectPtr = std::shared_ptr<Object>;
using ResponderPtr = std::shared_ptr<Responder>;

} // namespace ui
