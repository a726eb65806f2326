#pragma once
// Progress of a job in units of work, composed into trees: a child added with a pending unit
// count stands for that many units of its parent, its fraction counting toward them while it
// runs and all of them once it has finished. Observable keys: "totalUnitCount",
// "completedUnitCount", "fractionCompleted" (also when a descendant moves), "isCancelled",
// "isFinished", "isIndeterminate", "localizedDescription", "userInfo". Observers are told on the thread
// that made the change. Thread-safe.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/Value.h"

namespace foundation {

class Progress;
using ProgressPtr = std::shared_ptr<Progress>;

class Progress : public Observable, public std::enable_shared_from_this<Progress> {
public:
    // A progress that joins the thread's current progress (if any) as its child, taking the
    // pending units the current one was made current with.
    static ProgressPtr progressWithTotalUnitCount(std::int64_t unitCount);
    // A progress that joins no parent.
    static ProgressPtr discreteProgressWithTotalUnitCount(std::int64_t unitCount);
    static ProgressPtr progressWithTotalUnitCount(std::int64_t unitCount, const ProgressPtr& parent,
                                                  std::int64_t pendingUnitCount);
    // A progress of 0 units that joins `parent` when it is the thread's current progress.
    static ProgressPtr initWithParent(const ProgressPtr& parent, Value userInfo = Value());

    // The thread's current progress, or null.
    static ProgressPtr currentProgress();
    // Makes this progress the thread's current one: the next progress made on this thread
    // becomes its child for `unitCount` units. Undone by resignCurrent(), which completes the
    // units at once when no child took them.
    void becomeCurrentWithPendingUnitCount(std::int64_t unitCount);
    void resignCurrent();

    // A child already in a tree is not added again.
    void addChild(const ProgressPtr& child, std::int64_t pendingUnitCount);

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t count);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);
    // In [0, 1]; 0 while indeterminate.
    double fractionCompleted() const;
    // Either count negative, or both 0.
    bool isIndeterminate() const;
    // Completed at least the total, of a positive total.
    bool isFinished() const;

    bool isCancellable() const;
    void setCancellable(bool cancellable);
    bool isCancelled() const;
    // Cancels this progress and its children (also children added later); the cancellation
    // handler runs once, on the cancelling thread.
    void cancel();
    // Runs at once if the progress is already cancelled.
    void setCancellationHandler(std::function<void()> handler);

    bool isPausable() const;
    void setPausable(bool pausable);
    bool isPaused() const;
    // Pauses this progress and its children; the pausing handler runs on the pausing thread
    // at each pause (a progress can be paused again after it was resumed).
    void pause();
    void resume();
    void setPausingHandler(std::function<void()> handler);
    void setResumingHandler(std::function<void()> handler);

    // The description set, else "N% completed".
    std::string localizedDescription() const;
    void setLocalizedDescription(std::string description);
    std::string localizedAdditionalDescription() const;
    void setLocalizedAdditionalDescription(std::string description);

    Value userInfo() const;
    void setUserInfoObject(const std::string& key, Value value);
    // User-info entries that are objects rather than property-list values (a preview picture,
    // say), kept under their own keys beside userInfo(); an empty value removes one. Either
    // setter tells observers of "userInfo".
    std::any userInfoItem(const std::string& key) const;
    void setUserInfoItem(const std::string& key, std::any item);

    const KeyTable& observableKeys() const override;

    Progress(std::int64_t totalUnitCount, Value userInfo);
    ~Progress() override;

private:
    struct Child {
        ProgressPtr progress;
        std::int64_t pendingUnitCount = 0;
    };

    static void attachToCurrent(const ProgressPtr& progress);
    std::vector<ProgressPtr> ancestors() const;
    // Changes the counts under the lock (`assign`), announcing `key`, the fraction of this
    // progress and of its ancestors, and a change of finished state.
    void changeCounts(const char* key, const std::function<void()>& assign);
    void childDidFinish(Progress* child);

    mutable std::mutex m_mutex;
    std::int64_t m_totalUnitCount = 0;
    std::int64_t m_completedUnitCount = 0;
    bool m_cancellable = true;
    bool m_cancelled = false;
    bool m_finishReported = false; // to the parent, once
    std::string m_localizedDescription;
    std::string m_localizedAdditionalDescription;
    Value m_userInfo;
    std::map<std::string, std::any> m_userInfoItems;
    std::function<void()> m_cancellationHandler;
    bool m_pausable = false;
    bool m_paused = false;
    std::function<void()> m_pausingHandler;
    std::function<void()> m_resumingHandler;
    std::weak_ptr<Progress> m_parent;
    std::vector<Child> m_children;
};

} // namespace foundation
