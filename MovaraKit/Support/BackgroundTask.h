#pragma once
// Marks a stretch of work as running until it is invalidated: a dispatch group is entered when
// the task is made and left exactly once, at invalidate() or, failing that, at destruction.
// The reason and expiration handler are accepted for the callers' sake; this platform never
// suspends applications, so neither is used. One task is invalidated from one thread at a time.

#include <functional>
#include <memory>
#include <string>

#include "Platform/Dispatch/Group.h"

class BackgroundTask {
public:
    static std::shared_ptr<BackgroundTask> init(const std::string& reason, std::function<void()> expirationHandler = {});
    virtual ~BackgroundTask();
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    void invalidate();
    bool isInvalidated() const { return m_isInvalidated; }

protected:
    BackgroundTask();
    const dispatch::GroupPtr& isExecutingGroup() const { return m_isExecutingGroup; }

private:
    dispatch::GroupPtr m_isExecutingGroup;
    bool m_isInvalidated = false;
};
