#pragma once
// Running blocks on the main thread, or on a queue with a bounded wait. Any thread.

#include "Platform/Dispatch/Queue.h"

class BCNDispatcherUtil {
public:
    // Later on the main thread, also when called there.
    static void performBlockOnMainThread(dispatch::Block block);
    // Submits the block and waits for it at most `timeoutSeconds`; on timeout it still runs later.
    static void dispatchSyncWithTimeout(double timeoutSeconds, const dispatch::QueuePtr& queue, dispatch::Block block);
};
