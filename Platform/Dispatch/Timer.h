#pragma once
// A timer source: fires once or repeatedly on the process clock and runs its event handler on
// its queue. See Source.h for resume/suspend/cancel; a repeating timer whose handler falls
// behind gets one call whose data() counts the firings.

#include <memory>

#include "Platform/Dispatch/Source.h"

namespace dispatch {

class TimerSource;
using TimerSourcePtr = std::shared_ptr<TimerSource>;

class TimerSource : public Source {
public:
    static TimerSourcePtr make(QueuePtr queue);
    ~TimerSource() override;

    // Fires `startAfterSeconds` from now, then every `intervalSeconds` (0 or less: once).
    // Setting again replaces the earlier schedule.
    void setTimer(double startAfterSeconds, double intervalSeconds = 0);

    struct Timing;

protected:
    explicit TimerSource(QueuePtr queue);
    void stopProducing() override;

private:
    void fire(std::uint64_t generation, std::function<void()> whenHandled);
    void arm(double deadline);

    std::unique_ptr<Timing> m_timing;
};

} // namespace dispatch
