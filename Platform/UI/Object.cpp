#include "Platform/UI/Object.h"

#include "Platform/UI/Event.h"

namespace ui {

Object::~Object() = default;

void Object::registerAction(const std::string& action, ActionHandler handler)
{
    m_actions[action] = std::move(handler);
}

bool Object::respondsToAction(const std::string& action) const
{
    return m_actions.count(action) != 0;
}

bool Object::performAction(const std::string& action, Object* sender)
{
    auto it = m_actions.find(action);
    if (it == m_actions.end() || !it->second)
        return false;
    // A copy: the handler may replace the action table while it runs.
    ActionHandler handler = it->second;
    handler(sender);
    return true;
}

bool Object::validateMenuItem(MenuItem&)
{
    return true;
}

bool Object::validateUserInterfaceItem(const UserInterfaceItem&)
{
    return true;
}

void Responder::mouseDown(const Event& e) { if (auto next = nextResponder()) next->mouseDown(e); }
void Responder::mouseDragged(const Event& e) { if (auto next = nextResponder()) next->mouseDragged(e); }
void Responder::mouseUp(const Event& e) { if (auto next = nextResponder()) next->mouseUp(e); }
void Responder::mouseMoved(const Event& e) { if (auto next = nextResponder()) next->mouseMoved(e); }
void Responder::mouseEntered(const Event& e) { if (auto next = nextResponder()) next->mouseEntered(e); }
void Responder::mouseExited(const Event& e) { if (auto next = nextResponder()) next->mouseExited(e); }
void Responder::rightMouseDown(const Event& e) { if (auto next = nextResponder()) next->rightMouseDown(e); }
void Responder::keyDown(const Event& e) { if (auto next = nextResponder()) next->keyDown(e); }
void Responder::keyUp(const Event& e) { if (auto next = nextResponder()) next->keyUp(e); }
void Responder::scrollWheel(const Event& e) { if (auto next = nextResponder()) next->scrollWheel(e); }

bool Responder::tryToPerform(const std::string& action, Object* sender)
{
    for (std::shared_ptr<Responder> r = sharedAs<Responder>(); r; r = r->nextResponder()) {
        if (r->performAction(action, sender))
            return true;
    }
    return false;
}

} // namespace ui
