#include "Platform/Foundation/UndoManager.h"

#include <algorithm>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Localized.h"

namespace foundation {

const std::string NSUndoManagerCheckpointNotification = "NSUndoManagerCheckpointNotification";
const std::string NSUndoManagerDidUndoChangeNotification = "NSUndoManagerDidUndoChangeNotification";
const std::string NSUndoManagerDidRedoChangeNotification = "NSUndoManagerDidRedoChangeNotification";

struct UndoManager::Group {
    struct Action {
        const void* target = nullptr;
        std::function<bool()> invoke;  // empty for a nested group
        std::shared_ptr<Group> nested;
    };
    std::vector<Action> actions;
    std::string actionName;

    bool empty() const { return actions.empty(); }

    // Runs the actions newest first, nested groups included.
    void perform() const
    {
        for (auto it = actions.rbegin(); it != actions.rend(); ++it) {
            if (it->nested)
                it->nested->perform();
            else if (it->invoke)
                it->invoke();
        }
    }

    // Drops the target's actions here and in nested groups (and nested groups left empty).
    void removeTarget(const void* target)
    {
        std::erase_if(actions, [target](Action& a) {
            if (a.nested) {
                a.nested->removeTarget(target);
                return a.nested->empty();
            }
            return a.target == target;
        });
    }
};

std::shared_ptr<UndoManager> UndoManager::init()
{
    return std::shared_ptr<UndoManager>(new UndoManager());
}

UndoManager::~UndoManager()
{
    if (m_hasTurnObserver)
        dispatch::RunLoop::main().removeTurnObserver(m_turnObserver);
}

// ---- registration ---------------------------------------------------------------------------

void UndoManager::registerUndo(const void* target, std::function<void()> handler)
{
    addAction(target, [handler = std::move(handler)] {
        handler();
        return true;
    });
}

void UndoManager::addAction(const void* target, std::function<bool()> invoke)
{
    if (m_disableCount > 0)
        return;
    if (m_openGroups.empty())
        openEventGroupIfNeeded();
    if (m_openGroups.empty())
        throw Exception(NSInternalInconsistencyException,
                        "undo: UndoManager is in invalid state, must begin a group before registering undo");
    // A new change makes what was undone unreachable; changes made by undo and redo themselves
    // are how the other stack gets filled and must not clear it.
    if (m_mode == Mode::Idle)
        m_redoStack.clear();
    m_openGroups.back()->actions.push_back({ target, std::move(invoke), nullptr });
}

void UndoManager::openEventGroupIfNeeded()
{
    if (!m_groupsByEvent || !m_openGroups.empty() || m_mode != Mode::Idle)
        return;
    beginUndoGrouping();
    m_eventGroupOpen = true;
    if (!m_hasTurnObserver) {
        std::weak_ptr<UndoManager> weak = weak_from_this();
        m_turnObserver = dispatch::RunLoop::main().addTurnObserver([weak] {
            auto self = weak.lock();
            if (self && self->m_eventGroupOpen && self->m_openGroups.size() == 1)
                self->endUndoGrouping();
        });
        m_hasTurnObserver = true;
    }
}

// ---- grouping -------------------------------------------------------------------------------

void UndoManager::beginUndoGrouping()
{
    m_openGroups.push_back(std::make_shared<Group>());
    NotificationCenter::defaultCenter().post(NSUndoManagerCheckpointNotification, this);
}

void UndoManager::endUndoGrouping()
{
    if (m_openGroups.empty())
        throw Exception(NSInternalInconsistencyException, "endUndoGrouping: called with no matching begin");
    NotificationCenter::defaultCenter().post(NSUndoManagerCheckpointNotification, this);
    closeGroup();
}

void UndoManager::closeGroup()
{
    if (m_openGroups.empty())
        return;
    auto group = std::move(m_openGroups.back());
    m_openGroups.pop_back();
    if (m_openGroups.empty())
        m_eventGroupOpen = false;
    if (group->empty())
        return;
    if (!m_openGroups.empty()) {
        m_openGroups.back()->actions.push_back({ nullptr, nullptr, std::move(group) });
        return;
    }
    (m_mode == Mode::Undoing ? m_redoStack : m_undoStack).push_back(std::move(group));
    trim();
}

int UndoManager::groupingLevel() const { return static_cast<int>(m_openGroups.size()); }

// ---- names ----------------------------------------------------------------------------------

namespace {
// Puts `argument` in place of the format's "%@" (a translation may move it).
std::string withArgument(std::string format, const std::string& argument)
{
    const auto at = format.find("%@");
    if (at == std::string::npos)
        return format + " " + argument;
    return format.replace(at, 2, argument);
}
} // namespace

void UndoManager::setActionName(const std::string& name)
{
    // Callers name a change before or after registering it; opening the turn's group here
    // lets both orders name the same group.
    if (m_openGroups.empty() && m_disableCount == 0)
        openEventGroupIfNeeded();
    if (!m_openGroups.empty()) {
        m_openGroups.front()->actionName = name;
        return;
    }
    auto& stack = m_mode == Mode::Undoing ? m_redoStack : m_undoStack;
    if (!stack.empty())
        stack.back()->actionName = name;
}

std::string UndoManager::undoActionName() const
{
    if (m_mode == Mode::Idle && !m_openGroups.empty() && !m_openGroups.front()->empty())
        return m_openGroups.front()->actionName;
    return m_undoStack.empty() ? std::string() : m_undoStack.back()->actionName;
}

std::string UndoManager::redoActionName() const
{
    return m_redoStack.empty() ? std::string() : m_redoStack.back()->actionName;
}

std::string UndoManager::undoMenuTitleForUndoActionName(const std::string& name) const
{
    if (name.empty())
        return localized("Undo", "menu item title");
    return withArgument(localized("Undo %@", "menu item title"), name);
}

std::string UndoManager::redoMenuTitleForUndoActionName(const std::string& name) const
{
    if (name.empty())
        return localized("Redo", "menu item title");
    return withArgument(localized("Redo %@", "menu item title"), name);
}

std::string UndoManager::undoMenuItemTitle() const { return undoMenuTitleForUndoActionName(undoActionName()); }
std::string UndoManager::redoMenuItemTitle() const { return redoMenuTitleForUndoActionName(redoActionName()); }

// ---- undo and redo --------------------------------------------------------------------------

bool UndoManager::canUndo() const
{
    if (m_mode == Mode::Idle && !m_openGroups.empty() && !m_openGroups.front()->empty())
        return true;
    return !m_undoStack.empty();
}

bool UndoManager::canRedo() const { return !m_redoStack.empty(); }

void UndoManager::undo()
{
    if (m_mode != Mode::Idle)
        return; // an undo or redo from inside an action would tangle both stacks
    if (m_openGroups.size() > 1)
        throw Exception(NSInternalInconsistencyException, "undo was called with too many nested undo groups");
    if (m_openGroups.size() == 1)
        endUndoGrouping();
    performTop(true);
}

void UndoManager::redo()
{
    if (m_mode != Mode::Idle)
        return;
    if (!m_openGroups.empty())
        throw Exception(NSInternalInconsistencyException, "redo was called with an open undo group");
    performTop(false);
}

void UndoManager::performTop(bool undoing)
{
    auto& stack = undoing ? m_undoStack : m_redoStack;
    if (stack.empty())
        return;
    auto group = std::move(stack.back());
    stack.pop_back();

    m_mode = undoing ? Mode::Undoing : Mode::Redoing;
    beginUndoGrouping();
    struct Restore {
        UndoManager& m;
        ~Restore()
        {
            // Close whatever the actions left open so the manager stays usable even if an
            // action threw; the group built so far lands on the opposite stack.
            while (m.m_openGroups.size() > 1)
                m.closeGroup();
            if (!m.m_openGroups.empty())
                m.closeGroup();
            m.m_mode = Mode::Idle;
        }
    };
    {
        Restore restore { *this };
        m_openGroups.front()->actionName = group->actionName;
        group->perform();
        NotificationCenter::defaultCenter().post(NSUndoManagerCheckpointNotification, this);
    }
    NotificationCenter::defaultCenter().post(undoing ? NSUndoManagerDidUndoChangeNotification
                                                     : NSUndoManagerDidRedoChangeNotification,
                                             this);
}

// ---- registration control and cleanup -------------------------------------------------------

void UndoManager::disableUndoRegistration() { ++m_disableCount; }

void UndoManager::enableUndoRegistration()
{
    if (m_disableCount == 0)
        throw Exception(NSInternalInconsistencyException,
                        "enableUndoRegistration: may only be invoked after a matching disableUndoRegistration");
    --m_disableCount;
}

void UndoManager::removeAllActions()
{
    m_undoStack.clear();
    m_redoStack.clear();
    if (m_mode == Mode::Idle) {
        m_openGroups.clear();
        m_eventGroupOpen = false;
    } else {
        // The undo or redo in progress still closes its own group.
        for (auto& g : m_openGroups)
            g->actions.clear();
    }
    m_disableCount = 0;
}

void UndoManager::removeAllActionsWithTarget(const void* target)
{
    if (!target)
        return;
    for (auto* stack : { &m_undoStack, &m_redoStack }) {
        for (auto& g : *stack)
            g->removeTarget(target);
        std::erase_if(*stack, [](const std::shared_ptr<Group>& g) { return g->empty(); });
    }
    for (auto& g : m_openGroups)
        g->removeTarget(target);
}

void UndoManager::setLevelsOfUndo(std::size_t levels)
{
    m_levelsOfUndo = levels;
    trim();
}

void UndoManager::trim()
{
    if (m_levelsOfUndo == 0)
        return;
    for (auto* stack : { &m_undoStack, &m_redoStack }) {
        if (stack->size() > m_levelsOfUndo)
            stack->erase(stack->begin(), stack->begin() + static_cast<std::ptrdiff_t>(stack->size() - m_levelsOfUndo));
    }
}

} // namespace foundation
