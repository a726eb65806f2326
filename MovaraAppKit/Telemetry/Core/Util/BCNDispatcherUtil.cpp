#include "MovaraAppKit/Telemetry/Core/Util/BCNDispatcherUtil.h"

#include "Platform/Dispatch/Semaphore.h"

void BCNDispatcherUtil::performBlockOnMainThread(dispatch::Block block)
{
    dispatch::Queue::main()->async(std::move(block));
}

void BCNDispatcherUtil::dispatchSyncWithTimeout(double timeoutSeconds, const dispatch::QueuePtr& queue, dispatch::Block block)
{
    auto done = dispatch::Semaphore::make(0);
    queue->async([done, block = std::move(block)] {
        block();
        done->signal();
    });
    done->wait(timeoutSeconds);
}
