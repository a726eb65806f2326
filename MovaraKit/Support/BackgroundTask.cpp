#include "MovaraKit/Support/BackgroundTask.h"

std::shared_ptr<BackgroundTask> BackgroundTask::init(const std::string&, std::function<void()>)
{
    return std::shared_ptr<BackgroundTask>(new BackgroundTask());
}

BackgroundTask::BackgroundTask()
    : m_isExecutingGroup(dispatch::Group::make())
{
    m_isExecutingGroup->enter();
}

BackgroundTask::~BackgroundTask() { invalidate(); }

void BackgroundTask::invalidate()
{
    if (m_isInvalidated)
        return;
    m_isInvalidated = true;
    m_isExecutingGroup->leave();
}
