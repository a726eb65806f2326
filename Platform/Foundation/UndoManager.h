#pragma once
// Undo and redo stacks of closures, grouped. With groupsByEvent (the default) the first
// registration of a main-run-loop turn opens a group that closes at the end of that turn.
// Registrations made while undoing go to the redo stack and those made while redoing to the
// undo stack. Main thread only.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"

namespace foundation {

extern const std::string NSUndoManagerCheckpointNotification;    // "NSUndoManagerCheckpointNotification"
extern const std::string NSUndoManagerDidUndoChangeNotification; // "NSUndoManagerDidUndoChangeNotification"
extern const std::string NSUndoManagerDidRedoChangeNotification; // "NSUndoManagerDidRedoChangeNotification"

class UndoManager : public std::enable_shared_from_this<UndoManager> {
public:
    static std::shared_ptr<UndoManager> init();
    ~UndoManager();
    UndoManager(const UndoManager&) = delete;
    UndoManager& operator=(const UndoManager&) = delete;

    // Registers `handler` to run with the target on undo. The target is held weakly: once it
    // is gone its actions are skipped.
    template <class T> void registerUndo(const std::shared_ptr<T>& target, std::function<void(T&)> handler);
    // For a target known to outlive its actions (or to remove them when it goes).
    void registerUndo(const void* target, std::function<void()> handler);

    // Names the group being built (or, outside one, the group on top of the stack the next
    // registration goes to).
    void setActionName(const std::string& name);
    std::string undoActionName() const;
    std::string redoActionName() const;
    // "Undo", or "Undo <name>"; likewise for redo.
    std::string undoMenuItemTitle() const;
    std::string redoMenuItemTitle() const;
    std::string undoMenuTitleForUndoActionName(const std::string& name) const;
    std::string redoMenuTitleForUndoActionName(const std::string& name) const;

    void beginUndoGrouping();
    void endUndoGrouping();
    int groupingLevel() const;
    bool groupsByEvent() const { return m_groupsByEvent; }
    void setGroupsByEvent(bool value) { m_groupsByEvent = value; }

    bool canUndo() const;
    bool canRedo() const;
    void undo();
    void redo();
    bool isUndoing() const { return m_mode == Mode::Undoing; }
    bool isRedoing() const { return m_mode == Mode::Redoing; }

    // Counted: registration resumes after as many enables as disables.
    void disableUndoRegistration();
    void enableUndoRegistration();
    bool isUndoRegistrationEnabled() const { return m_disableCount == 0; }

    void removeAllActions();
    void removeAllActionsWithTarget(const void* target);
    template <class T> void removeAllActionsWithTarget(const std::shared_ptr<T>& target)
    {
        removeAllActionsWithTarget(identityOf(target.get()));
    }

    // 0 means unlimited; otherwise the oldest groups beyond this count are dropped.
    std::size_t levelsOfUndo() const { return m_levelsOfUndo; }
    void setLevelsOfUndo(std::size_t levels);

    struct Group;

private:
    UndoManager() = default;
    enum class Mode { Idle, Undoing, Redoing };

    // `invoke` returns false when the target no longer exists.
    void addAction(const void* target, std::function<bool()> invoke);
    void openEventGroupIfNeeded();
    void closeGroup();
    void trim();
    void performTop(bool undoing);

    std::vector<std::shared_ptr<Group>> m_undoStack; // oldest first
    std::vector<std::shared_ptr<Group>> m_redoStack;
    std::vector<std::shared_ptr<Group>> m_openGroups; // outermost first
    Mode m_mode = Mode::Idle;
    bool m_groupsByEvent = true;
    bool m_eventGroupOpen = false;
    int m_disableCount = 0;
    std::size_t m_levelsOfUndo = 0;
    dispatch::RunLoop::ObserverId m_turnObserver = 0;
    bool m_hasTurnObserver = false;
};

template <class T>
void UndoManager::registerUndo(const std::shared_ptr<T>& target, std::function<void(T&)> handler)
{
    std::weak_ptr<T> weak = target;
    addAction(identityOf(target.get()), [weak, handler = std::move(handler)] {
        auto strong = weak.lock();
        if (!strong)
            return false;
        handler(*strong);
        return true;
    });
}

} // namespace foundation
