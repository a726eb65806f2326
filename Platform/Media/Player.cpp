#include "Platform/Media/Player.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Media/VideoSettings.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace media {

struct Player::TimeObserver {
    const Player* owner = nullptr;
    Time interval;
    dispatch::QueuePtr queue;
    TimeObserverBlock block;
    bool removed = false;
    int64_t nextIndex = 0;
};

namespace {

// The play position moves on a grid fine enough for smooth time (about a microsecond) that
// also holds every time of the anchor's timescale and every multiple of 1/600 s, so that
// positions reached by playing compare exactly with trim points and observer boundaries.
int32_t fineTimescale(int32_t anchorTimescale)
{
    int64_t base = std::lcm<int64_t>(anchorTimescale > 0 ? anchorTimescale : 1, 600);
    if (base > 1000000000)
        return anchorTimescale;
    if (base >= 1000000)
        return static_cast<int32_t>(base);
    return static_cast<int32_t>(base * (1000000 / base));
}

// floor(t / interval) for numeric times, exactly.
int64_t floorDiv(const Time& t, const Time& interval)
{
    const __int128 num = static_cast<__int128>(t.value) * interval.timescale;
    const __int128 den = static_cast<__int128>(interval.value) * t.timescale;
    __int128 q = num / den;
    if ((num % den != 0) && ((num < 0) != (den < 0)))
        --q;
    return static_cast<int64_t>(q);
}

bool isMultiple(const Time& t, const Time& interval)
{
    const __int128 num = static_cast<__int128>(t.value) * interval.timescale;
    const __int128 den = static_cast<__int128>(interval.value) * t.timescale;
    return num % den == 0;
}

Time boundaryTime(const Time& interval, int64_t index)
{
    const __int128 value = static_cast<__int128>(interval.value) * index;
    if (value > std::numeric_limits<int64_t>::max() || value < std::numeric_limits<int64_t>::min())
        return Time::positiveInfinity();
    return Time::make(static_cast<int64_t>(value), interval.timescale);
}

} // namespace

std::shared_ptr<Player> Player::init()
{
    return std::shared_ptr<Player>(new Player());
}

std::shared_ptr<Player> Player::playerWithURL(const foundation::URL& url)
{
    return playerWithPlayerItem(PlayerItem::playerItemWithURL(url));
}

std::shared_ptr<Player> Player::playerWithPlayerItem(PlayerItemPtr item)
{
    auto player = init();
    player->replaceCurrentItemWithPlayerItem(std::move(item));
    return player;
}

Player::~Player()
{
    for (auto& observer : m_observers)
        observer->removed = true;
    if (m_item)
        m_item->detachFromPlayer(m_anchorTime);
}

const foundation::KeyTable& Player::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable keys = Observable::observableKeys();
        keys.key("rate", &Player::rate);
        keys.key("currentItem", &Player::currentItem);
        return keys;
    }();
    return table;
}

bool Player::isAdvancing() const
{
    return m_rate != 0.0f && m_item && m_item->status() == PlayerItemStatus::readyToPlay;
}

Time Player::currentTime() const
{
    if (!m_item)
        return Time::zero();
    if (!isAdvancing())
        return m_anchorTime;
    const double elapsed = (dispatch::Clock::now() - m_anchorClock) * static_cast<double>(m_rate);
    const int32_t timescale = fineTimescale(m_anchorTime.timescale);
    const int64_t ticks = std::llround(elapsed * timescale);
    Time time = ticks == 0 ? m_anchorTime : add(m_anchorTime, Time::make(ticks, timescale));
    time = maximum(time, Time::zero());
    const Time duration = m_item->duration();
    if (duration.isNumeric())
        time = minimum(time, duration);
    return time;
}

Time Player::endTimeInDirection() const
{
    if (!m_item)
        return Time::zero();
    const Time duration = m_item->duration();
    if (m_rate < 0.0f) {
        const Time end = m_item->reversePlaybackEndTime();
        if (!end.isNumeric())
            return Time::zero();
        return duration.isNumeric() ? minimum(maximum(end, Time::zero()), duration) : maximum(end, Time::zero());
    }
    const Time end = m_item->forwardPlaybackEndTime();
    if (end.isNumeric() && (!duration.isNumeric() || end < duration))
        return maximum(end, Time::zero());
    return duration;
}

void Player::reanchor()
{
    m_anchorTime = currentTime();
    m_anchorClock = dispatch::Clock::now();
}

void Player::setRate(float rate)
{
    if (!std::isfinite(rate) || rate == m_rate)
        return;
    const bool wasAdvancing = isAdvancing();
    reanchor();
    willChange("rate");
    m_rate = rate;
    didChange("rate");
    reschedule();
    if (wasAdvancing != isAdvancing())
        notifyObservers();
}

void Player::replaceCurrentItemWithPlayerItem(PlayerItemPtr item)
{
    if (item == m_item)
        return;
    if (item) {
        auto other = item->m_player.lock();
        if (other && other.get() != this)
            throw foundation::Exception(foundation::NSInvalidArgumentException,
                                        "An AVPlayerItem cannot be associated with more than one instance of AVPlayer");
    }
    reanchor();
    if (m_item)
        m_item->detachFromPlayer(m_anchorTime);
    willChange("currentItem");
    m_item = std::move(item);
    didChange("currentItem");
    m_anchorClock = dispatch::Clock::now();
    m_anchorTime = Time::zero();
    if (m_item) {
        m_anchorTime = m_item->m_time;
        m_item->attachToPlayer(shared_from_this());
    }
    reschedule();
    notifyObservers();
}

void Player::itemBecameReady(PlayerItem* item)
{
    if (item != m_item.get())
        return;
    m_anchorClock = dispatch::Clock::now();
    const Time duration = m_item->duration();
    if (duration.isNumeric())
        m_anchorTime = minimum(maximum(m_anchorTime, Time::zero()), duration);
    reschedule();
    if (isAdvancing())
        notifyObservers();
}

void Player::seekToTime(const Time& time, SeekCompletion completion)
{
    seekToTime(time, Time::positiveInfinity(), Time::positiveInfinity(), std::move(completion));
}

void Player::seekToTime(const Time& time, const Time& toleranceBefore, const Time& toleranceAfter,
                        SeekCompletion completion)
{
    const uint64_t seekID = ++m_seekID;
    auto complete = [this, seekID, &completion](bool possible) {
        if (!completion)
            return;
        std::weak_ptr<Player> weak = weak_from_this();
        dispatch::Queue::main()->async([weak, seekID, possible, completion = std::move(completion)] {
            auto player = weak.lock();
            completion(possible && player && player->m_seekID == seekID);
        });
    };
    if (!m_item || !time.isNumeric()) {
        complete(false);
        return;
    }
    Time target = maximum(time, Time::zero());
    const Time duration = m_item->duration();
    if (duration.isNumeric())
        target = minimum(target, duration);
    target = snapToFrame(target, toleranceBefore, toleranceAfter);

    const Time previous = currentTime();
    m_anchorTime = target;
    m_anchorClock = dispatch::Clock::now();
    reschedule();
    if (target != previous)
        notifyObservers();
    complete(true);
}

Time Player::snapToFrame(const Time& target, const Time& before, const Time& after) const
{
    const bool exact = before.isNumeric() && after.isNumeric() && before == Time::zero() && after == Time::zero();
    if (exact || !m_item || m_item->status() != PlayerItemStatus::readyToPlay)
        return target;
    const auto tracks = m_item->asset()->tracksWithMediaType(AVMediaTypeVideo);
    if (tracks.empty() || !(tracks.front()->nominalFrameRate() > 0))
        return target;
    const double fps = tracks.front()->nominalFrameRate();
    const double seconds = target.seconds();
    const double lo = before.isNumeric() ? seconds - std::max(0.0, before.seconds()) : -INFINITY;
    const double hi = after.isNumeric() ? seconds + std::max(0.0, after.seconds()) : INFINITY;
    const bool integralRate = std::abs(fps - std::round(fps)) < 1e-6;
    auto frameStart = [&](double index) {
        return integralRate ? Time::make(static_cast<int64_t>(index), static_cast<int32_t>(std::lround(fps)))
                            : Time::makeWithSeconds(index / fps, 600000);
    };
    std::optional<Time> best;
    double bestDistance = INFINITY;
    for (const double index : {std::floor(seconds * fps), std::ceil(seconds * fps)}) {
        const Time candidate = frameStart(index);
        const double at = candidate.seconds();
        if (at < lo || at > hi || candidate < Time::zero())
            continue;
        if (m_item->duration().isNumeric() && candidate > m_item->duration())
            continue;
        if (std::abs(at - seconds) < bestDistance) {
            bestDistance = std::abs(at - seconds);
            best = candidate;
        }
    }
    return best ? *best : target;
}

Player::TimeObserverToken Player::addPeriodicTimeObserverForInterval(const Time& interval, dispatch::QueuePtr queue,
                                                                     TimeObserverBlock block)
{
    if (!interval.isNumeric() || interval <= Time::zero())
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "addPeriodicTimeObserverForInterval: needs a positive, numeric interval");
    auto observer = std::make_shared<TimeObserver>();
    observer->owner = this;
    observer->interval = interval;
    observer->queue = queue ? std::move(queue) : dispatch::Queue::main();
    observer->block = std::move(block);
    m_observers.push_back(observer);
    if (isAdvancing())
        scheduleObserver(observer);
    return observer;
}

void Player::removeTimeObserver(const TimeObserverToken& token)
{
    if (!token)
        return;
    auto observer = std::static_pointer_cast<TimeObserver>(token);
    if (observer->owner != this)
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "An instance of AVPlayer cannot remove a time observer that was added by a "
                                    "different instance of AVPlayer.");
    observer->removed = true;
    std::erase(m_observers, observer);
}

void Player::reschedule()
{
    ++m_generation;
    if (!isAdvancing())
        return;
    const Time end = endTimeInDirection();
    double delay = 0.0;
    if (end.isNumeric()) {
        // Past the end already (a playback end time before the position): stop at once.
        const double toEnd = subtract(end, m_anchorTime).seconds();
        const double remaining = std::max(0.0, m_rate < 0.0f ? -toEnd : toEnd);
        delay = std::isfinite(remaining) ? remaining / std::abs(static_cast<double>(m_rate)) : 0.0;
    }
    if (end.isNumeric()) {
        std::weak_ptr<Player> weak = weak_from_this();
        const uint64_t generation = m_generation;
        dispatch::Queue::main()->asyncAfter(delay, [weak, generation] {
            if (auto player = weak.lock())
                player->endTick(generation);
        });
    }
    for (const auto& observer : m_observers)
        scheduleObserver(observer);
}

void Player::scheduleObserver(const std::shared_ptr<TimeObserver>& observer)
{
    // The next boundary strictly ahead of the present position in the direction of play.
    const Time now = currentTime();
    const int64_t k = floorDiv(now, observer->interval);
    if (m_rate > 0.0f)
        observer->nextIndex = k + 1;
    else
        observer->nextIndex = isMultiple(now, observer->interval) ? k - 1 : k;
    const Time boundary = boundaryTime(observer->interval, observer->nextIndex);
    if (observer->nextIndex < 0 || !boundary.isNumeric())
        return;
    const Time duration = m_item->duration();
    if (duration.isNumeric() && boundary > duration)
        return;
    const double deadline = m_anchorClock
        + subtract(boundary, m_anchorTime).seconds() / static_cast<double>(m_rate);
    const double delay = std::max(0.0, deadline - dispatch::Clock::now());
    std::weak_ptr<Player> weak = weak_from_this();
    std::weak_ptr<TimeObserver> weakObserver = observer;
    const uint64_t generation = m_generation;
    dispatch::Queue::main()->asyncAfter(delay, [weak, weakObserver, generation] {
        auto player = weak.lock();
        auto observer = weakObserver.lock();
        if (player && observer)
            player->observerTick(observer, generation);
    });
}

void Player::observerTick(const std::shared_ptr<TimeObserver>& observer, uint64_t generation)
{
    if (generation != m_generation || observer->removed || !isAdvancing())
        return;
    deliver(observer, currentTime());
    if (generation != m_generation || observer->removed)
        return; // the block changed the timeline, which scheduled everything afresh
    scheduleObserver(observer);
}

void Player::endTick(uint64_t generation)
{
    if (generation != m_generation || !isAdvancing())
        return;
    const Time end = endTimeInDirection();
    // Playback that began at this very end played nothing: it just stops.
    const bool played = m_anchorTime != end;
    PlayerItemPtr item = m_item;
    m_anchorTime = end;
    m_anchorClock = dispatch::Clock::now();
    willChange("rate");
    m_rate = 0.0f;
    didChange("rate");
    reschedule();
    notifyObservers();
    if (played)
        foundation::NotificationCenter::defaultCenter().post(AVPlayerItemDidPlayToEndTimeNotification, item);
}

void Player::notifyObservers()
{
    if (m_observers.empty())
        return;
    const Time time = currentTime();
    std::weak_ptr<Player> weak = weak_from_this();
    for (const auto& observer : m_observers) {
        // Always later, never inside the call that moved the time: observers commonly seek
        // or set the rate in return. On the main queue the block gets the time when it runs,
        // so that a late call never reports (and makes its observer act on) a stale position.
        const bool onMain = observer->queue == dispatch::Queue::main();
        observer->queue->async([observer, time, weak, onMain] {
            if (observer->removed)
                return;
            auto player = onMain ? weak.lock() : nullptr;
            observer->block(player ? player->currentTime() : time);
        });
    }
}

void Player::deliver(const std::shared_ptr<TimeObserver>& observer, const Time& time)
{
    if (observer->queue->isCurrent() && observer->queue->isSerial()) {
        observer->block(time);
        return;
    }
    observer->queue->async([observer, time] {
        if (!observer->removed)
            observer->block(time);
    });
}

} // namespace media
