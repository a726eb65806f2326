#pragma once
// Plays one PlayerItem on the process clock (dispatch::Clock, virtual in tests): a rate (0
// paused, negative backwards), exact or tolerant seeks, the current time, and periodic time
// observers. Playback advances only while the rate is not 0 and the item is ready; at the
// item's end (its start when backwards) the player pauses and the item posts
// AVPlayerItemDidPlayToEndTimeNotification. Observable keys "rate" and "currentItem" (so
// "currentItem.status" works as a key path).
//
// Threads: main thread only. Observer blocks run on their queues; seek completions on the main
// queue.

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Media/PlayerItem.h"
#include "Platform/Media/Time.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace media {

class Player : public foundation::Observable, public std::enable_shared_from_this<Player> {
public:
    using SeekCompletion = std::function<void(bool finished)>;
    using TimeObserverBlock = std::function<void(const Time& time)>;
    // Identifies a periodic observer for removeTimeObserver; opaque to callers.
    using TimeObserverToken = std::shared_ptr<void>;

    static std::shared_ptr<Player> init();
    static std::shared_ptr<Player> playerWithURL(const foundation::URL& url);
    static std::shared_ptr<Player> playerWithPlayerItem(PlayerItemPtr item);
    ~Player() override;

    PlayerItemPtr currentItem() const { return m_item; }
    // The new item continues from its own current time; the rate is kept.
    void replaceCurrentItemWithPlayerItem(PlayerItemPtr item);

    float rate() const { return m_rate; }
    void setRate(float rate);
    void play() { setRate(1.0f); }
    void pause() { setRate(0.0f); }

    // Zero without an item.
    Time currentTime() const;

    // Moves the play position at once, clamped into the item. The position may land on a frame
    // start within [time - toleranceBefore, time + toleranceAfter] (nearest to `time`); zero
    // tolerances land exactly. The completion gets false when a later seek overtook this one
    // or there is no item. seekToTime(time) allows any tolerance.
    void seekToTime(const Time& time, SeekCompletion completion = {});
    void seekToTime(const Time& time, const Time& toleranceBefore, const Time& toleranceAfter,
                    SeekCompletion completion = {});

    // Calls `block` on `queue` (the main queue when null) each `interval` of the item's
    // timeline while playing, and once whenever the time jumps or playback starts or stops.
    // A non-positive interval throws NSInvalidArgumentException.
    [[nodiscard]] TimeObserverToken addPeriodicTimeObserverForInterval(const Time& interval, dispatch::QueuePtr queue,
                                                                       TimeObserverBlock block);
    // Throws NSInvalidArgumentException for a token of another player; null is ignored.
    void removeTimeObserver(const TimeObserverToken& token);

    const foundation::KeyTable& observableKeys() const override;

    struct TimeObserver;

private:
    friend class PlayerItem;
    Player() = default;

    bool isAdvancing() const;
    // Freezes the position reached so far as the new starting point of the timeline.
    void reanchor();
    // Drops every pending timer and schedules the next ones from the present state.
    void reschedule();
    void scheduleObserver(const std::shared_ptr<TimeObserver>& observer);
    void observerTick(const std::shared_ptr<TimeObserver>& observer, uint64_t generation);
    void endTick(uint64_t generation);
    void notifyObservers();
    void deliver(const std::shared_ptr<TimeObserver>& observer, const Time& time);
    void itemBecameReady(PlayerItem* item);
    Time endTimeInDirection() const;
    Time snapToFrame(const Time& time, const Time& before, const Time& after) const;

    PlayerItemPtr m_item;
    float m_rate = 0.0f;
    Time m_anchorTime = Time::zero();
    double m_anchorClock = 0.0;
    uint64_t m_generation = 0;
    uint64_t m_seekID = 0;
    std::vector<std::shared_ptr<TimeObserver>> m_observers;
};

using PlayerPtr = std::shared_ptr<Player>;

} // namespace media
