// Progress trees.

#include <algorithm>
#include <cmath>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Progress.h"

namespace foundation {

namespace {

// The thread's current progresses, innermost last, each with the units its next child takes.
struct Current {
    ProgressPtr progress;
    std::int64_t pendingUnitCount = 0;
    bool taken = false;
};

thread_local std::vector<Current> t_current;

bool finishedCounts(std::int64_t total, std::int64_t completed)
{
    return total > 0 && completed >= total;
}

} // namespace

Progress::Progress(std::int64_t totalUnitCount, Value userInfo)
    : m_totalUnitCount(totalUnitCount)
    , m_userInfo(userInfo.isDictionary() ? std::move(userInfo) : Value::dictionary())
{
}

Progress::~Progress() = default;

const KeyTable& Progress::observableKeys() const
{
    static const KeyTable table = [] {
        KeyTable t;
        t.key("totalUnitCount", &Progress::totalUnitCount, &Progress::setTotalUnitCount);
        t.key("completedUnitCount", &Progress::completedUnitCount, &Progress::setCompletedUnitCount);
        t.key("fractionCompleted", &Progress::fractionCompleted);
        t.key("isIndeterminate", &Progress::isIndeterminate);
        t.key("isFinished", &Progress::isFinished);
        t.key("isCancelled", &Progress::isCancelled);
        t.key("isCancellable", &Progress::isCancellable, &Progress::setCancellable);
        t.key("isPaused", &Progress::isPaused);
        t.key("isPausable", &Progress::isPausable, &Progress::setPausable);
        t.key("localizedDescription", &Progress::localizedDescription, &Progress::setLocalizedDescription);
        t.key("localizedAdditionalDescription", &Progress::localizedAdditionalDescription,
              &Progress::setLocalizedAdditionalDescription);
        t.key("userInfo", &Progress::userInfo);
        return t;
    }();
    return table;
}

ProgressPtr Progress::discreteProgressWithTotalUnitCount(std::int64_t unitCount)
{
    return std::make_shared<Progress>(unitCount, Value());
}

ProgressPtr Progress::progressWithTotalUnitCount(std::int64_t unitCount)
{
    auto progress = std::make_shared<Progress>(unitCount, Value());
    attachToCurrent(progress);
    return progress;
}

ProgressPtr Progress::progressWithTotalUnitCount(std::int64_t unitCount, const ProgressPtr& parent,
                                                 std::int64_t pendingUnitCount)
{
    auto progress = discreteProgressWithTotalUnitCount(unitCount);
    if (parent)
        parent->addChild(progress, pendingUnitCount);
    return progress;
}

ProgressPtr Progress::initWithParent(const ProgressPtr& parent, Value userInfo)
{
    auto progress = std::make_shared<Progress>(0, std::move(userInfo));
    if (parent && parent == currentProgress())
        attachToCurrent(progress);
    return progress;
}

void Progress::attachToCurrent(const ProgressPtr& progress)
{
    // The current progress hands its pending units to its first child only.
    if (t_current.empty() || t_current.back().taken)
        return;
    t_current.back().taken = true;
    t_current.back().progress->addChild(progress, t_current.back().pendingUnitCount);
}

ProgressPtr Progress::currentProgress()
{
    return t_current.empty() ? nullptr : t_current.back().progress;
}

void Progress::becomeCurrentWithPendingUnitCount(std::int64_t unitCount)
{
    t_current.push_back({shared_from_this(), unitCount, false});
}

void Progress::resignCurrent()
{
    if (t_current.empty() || t_current.back().progress.get() != this)
        throw Exception(NSInternalInconsistencyException,
                        "*** -[Progress resignCurrent]: this progress is not the current one on this thread");
    const Current current = t_current.back();
    t_current.pop_back();
    // Work that made no progress object of its own is done all the same.
    if (!current.taken && current.pendingUnitCount > 0)
        changeCounts("completedUnitCount", [&] { m_completedUnitCount += current.pendingUnitCount; });
}

void Progress::addChild(const ProgressPtr& child, std::int64_t pendingUnitCount)
{
    if (!child || child.get() == this)
        return;
    {
        std::lock_guard lock(child->m_mutex);
        if (!child->m_parent.expired())
            return;
        child->m_parent = weak_from_this();
    }
    bool cancelled = false;
    changeCounts(nullptr, [&] {
        m_children.push_back({child, pendingUnitCount});
        cancelled = m_cancelled;
    });
    if (cancelled)
        child->cancel();
    if (child->isFinished())
        childDidFinish(child.get());
}

std::vector<ProgressPtr> Progress::ancestors() const
{
    std::vector<ProgressPtr> chain;
    std::weak_ptr<Progress> next;
    {
        std::lock_guard lock(m_mutex);
        next = m_parent;
    }
    while (auto parent = next.lock()) {
        chain.push_back(parent);
        std::lock_guard lock(parent->m_mutex);
        next = parent->m_parent;
        if (chain.size() > 10000)
            break; // a cycle can't be built through addChild, but never loop for ever
    }
    return chain;
}

void Progress::changeCounts(const char* key, const std::function<void()>& assign)
{
    const auto chain = ancestors();
    const bool wasFinished = isFinished();
    const bool wasIndeterminate = isIndeterminate();
    if (key)
        willChange(key);
    willChange("fractionCompleted");
    for (const auto& ancestor : chain)
        ancestor->willChange("fractionCompleted");
    {
        std::lock_guard lock(m_mutex);
        assign();
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        (*it)->didChange("fractionCompleted");
    didChange("fractionCompleted");
    if (key)
        didChange(key);

    if (isIndeterminate() != wasIndeterminate) {
        willChange("isIndeterminate");
        didChange("isIndeterminate");
    }
    const bool finished = isFinished();
    if (finished == wasFinished)
        return;
    willChange("isFinished");
    didChange("isFinished");
    if (!finished)
        return;
    ProgressPtr parent;
    {
        std::lock_guard lock(m_mutex);
        if (m_finishReported)
            return;
        m_finishReported = true;
        parent = m_parent.lock();
    }
    if (parent)
        parent->childDidFinish(this);
}

void Progress::childDidFinish(Progress* child)
{
    // The child's share becomes completed units of ours in one step, so the fraction never dips.
    changeCounts("completedUnitCount", [&] {
        auto it = std::find_if(m_children.begin(), m_children.end(),
                               [child](const Child& c) { return c.progress.get() == child; });
        if (it == m_children.end())
            return;
        m_completedUnitCount += it->pendingUnitCount;
        m_children.erase(it);
    });
}

std::int64_t Progress::totalUnitCount() const
{
    std::lock_guard lock(m_mutex);
    return m_totalUnitCount;
}

void Progress::setTotalUnitCount(std::int64_t count)
{
    changeCounts("totalUnitCount", [&] { m_totalUnitCount = count; });
}

std::int64_t Progress::completedUnitCount() const
{
    std::lock_guard lock(m_mutex);
    return m_completedUnitCount;
}

void Progress::setCompletedUnitCount(std::int64_t count)
{
    changeCounts("completedUnitCount", [&] { m_completedUnitCount = count; });
}

double Progress::fractionCompleted() const
{
    std::int64_t total, completed;
    std::vector<Child> children;
    {
        std::lock_guard lock(m_mutex);
        total = m_totalUnitCount;
        completed = m_completedUnitCount;
        children = m_children;
    }
    if (total <= 0)
        return 0.0;
    double units = std::max<std::int64_t>(completed, 0);
    for (const auto& child : children)
        units += child.progress->fractionCompleted() * static_cast<double>(std::max<std::int64_t>(child.pendingUnitCount, 0));
    return std::clamp(units / static_cast<double>(total), 0.0, 1.0);
}

bool Progress::isIndeterminate() const
{
    std::lock_guard lock(m_mutex);
    return m_totalUnitCount < 0 || m_completedUnitCount < 0 || (m_totalUnitCount == 0 && m_completedUnitCount == 0);
}

bool Progress::isFinished() const
{
    std::lock_guard lock(m_mutex);
    return finishedCounts(m_totalUnitCount, m_completedUnitCount);
}

bool Progress::isCancellable() const
{
    std::lock_guard lock(m_mutex);
    return m_cancellable;
}

void Progress::setCancellable(bool cancellable)
{
    willChange("isCancellable");
    {
        std::lock_guard lock(m_mutex);
        m_cancellable = cancellable;
    }
    didChange("isCancellable");
}

bool Progress::isCancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

void Progress::cancel()
{
    std::function<void()> handler;
    std::vector<Child> children;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return;
    }
    willChange("isCancelled");
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
        // Run once and let go: handlers often hold what owns this progress.
        handler = std::move(m_cancellationHandler);
        m_cancellationHandler = nullptr;
        children = m_children;
    }
    didChange("isCancelled");
    if (handler)
        handler();
    for (const auto& child : children)
        child.progress->cancel();
}

void Progress::setCancellationHandler(std::function<void()> handler)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_cancelled) {
            m_cancellationHandler = std::move(handler);
            return;
        }
    }
    if (handler)
        handler();
}

bool Progress::isPausable() const
{
    std::lock_guard lock(m_mutex);
    return m_pausable;
}

void Progress::setPausable(bool pausable)
{
    willChange("isPausable");
    {
        std::lock_guard lock(m_mutex);
        m_pausable = pausable;
    }
    didChange("isPausable");
}

bool Progress::isPaused() const
{
    std::lock_guard lock(m_mutex);
    return m_paused;
}

void Progress::pause()
{
    std::function<void()> handler;
    std::vector<Child> children;
    {
        std::lock_guard lock(m_mutex);
        if (m_paused)
            return;
    }
    willChange("isPaused");
    {
        std::lock_guard lock(m_mutex);
        m_paused = true;
        handler = m_pausingHandler;
        children = m_children;
    }
    didChange("isPaused");
    if (handler)
        handler();
    for (const auto& child : children)
        child.progress->pause();
}

void Progress::resume()
{
    std::function<void()> handler;
    std::vector<Child> children;
    {
        std::lock_guard lock(m_mutex);
        if (!m_paused)
            return;
    }
    willChange("isPaused");
    {
        std::lock_guard lock(m_mutex);
        m_paused = false;
        handler = m_resumingHandler;
        children = m_children;
    }
    didChange("isPaused");
    if (handler)
        handler();
    for (const auto& child : children)
        child.progress->resume();
}

void Progress::setPausingHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_mutex);
    m_pausingHandler = std::move(handler);
}

void Progress::setResumingHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_mutex);
    m_resumingHandler = std::move(handler);
}

std::string Progress::localizedDescription() const
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_localizedDescription.empty())
            return m_localizedDescription;
    }
    return std::to_string(std::lround(fractionCompleted() * 100.0)) + "% completed";
}

void Progress::setLocalizedDescription(std::string description)
{
    willChange("localizedDescription");
    {
        std::lock_guard lock(m_mutex);
        m_localizedDescription = std::move(description);
    }
    didChange("localizedDescription");
}

std::string Progress::localizedAdditionalDescription() const
{
    std::lock_guard lock(m_mutex);
    return m_localizedAdditionalDescription;
}

void Progress::setLocalizedAdditionalDescription(std::string description)
{
    willChange("localizedAdditionalDescription");
    {
        std::lock_guard lock(m_mutex);
        m_localizedAdditionalDescription = std::move(description);
    }
    didChange("localizedAdditionalDescription");
}

Value Progress::userInfo() const
{
    std::lock_guard lock(m_mutex);
    return m_userInfo;
}

void Progress::setUserInfoObject(const std::string& key, Value value)
{
    willChange("userInfo");
    {
        std::lock_guard lock(m_mutex);
        if (value.isNull())
            m_userInfo.erase(key);
        else
            m_userInfo.set(key, std::move(value));
    }
    didChange("userInfo");
}

std::any Progress::userInfoItem(const std::string& key) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_userInfoItems.find(key);
    return it == m_userInfoItems.end() ? std::any() : it->second;
}

void Progress::setUserInfoItem(const std::string& key, std::any item)
{
    willChange("userInfo");
    {
        std::lock_guard lock(m_mutex);
        if (item.has_value())
            m_userInfoItems[key] = std::move(item);
        else
            m_userInfoItems.erase(key);
    }
    didChange("userInfo");
}

} // namespace foundation
