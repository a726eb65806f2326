#include "Platform/Dispatch/TerminationSignals.h"

#include <pthread.h>

#include "Platform/Dispatch/RunLoop.h"

namespace dispatch {

TerminationSignals::TerminationSignals(std::function<void()> onSignal, std::function<void()> onRepeat)
    : m_onSignal(std::move(onSignal))
    , m_onRepeat(std::move(onRepeat))
{
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
    m_thread = std::thread([this] {
        for (;;) {
            int signal = 0;
            if (sigwait(&m_set, &signal) != 0 || m_done.load())
                return;
            if (m_count.fetch_add(1) > 0 && m_onRepeat) {
                m_onRepeat();
                continue;
            }
            RunLoop::main().perform(m_onSignal);
        }
    });
}

TerminationSignals::~TerminationSignals()
{
    m_done.store(true);
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
    pthread_sigmask(SIG_UNBLOCK, &m_set, nullptr);
}

} // namespace dispatch
