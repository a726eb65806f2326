#include "Platform/Media/Composition.h"

#include <algorithm>

#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoComposition.h"

namespace media {

namespace {

constexpr int32_t kTimescale = 60000;

Time seconds(double s)
{
    return Time::makeWithSeconds(s, kTimescale);
}

// Where time `t` of the old time line lands once `range` lasts `duration`.
double mapped(double t, double start, double end, double newDuration)
{
    if (t <= start)
        return t;
    if (t >= end)
        return t + newDuration - (end - start);
    return start + (t - start) * newDuration / (end - start);
}

} // namespace

TimeRange MutableCompositionTrack::timeRange() const
{
    Time end = Time::zero();
    for (const auto& segment : m_segments)
        end = maximum(end, segment.timeMapping.target.end());
    return TimeRange::make(Time::zero(), end);
}

bool MutableCompositionTrack::insertTimeRange(const TimeRange& range, const AssetTrackPtr& track, const Time& at,
                                              foundation::ErrorPtr* error)
{
    auto fail = [&](const std::string& description) {
        if (error)
            *error = makeMediaError(AVErrorInvalidSourceMedia, description);
        return false;
    };
    if (!track || track->mediaType() != m_mediaType)
        return fail("The track to insert is missing or of another kind.");
    if (!range.isValid() || range.isEmpty() || !at.isNumeric())
        return fail("The time range to insert is not valid.");
    const TimeRange available = track->timeRange();
    if (compare(range.start, available.start) < 0 || compare(range.end(), available.end()) > 0)
        return fail("The time range to insert lies outside the track.");
    // Segments at or after `at` move on by the inserted duration; one that spans `at` is split.
    std::vector<CompositionTrackSegment> result;
    for (const auto& segment : m_segments) {
        const TimeRange target = segment.timeMapping.target;
        if (compare(target.end(), at) <= 0) {
            result.push_back(segment);
        } else if (compare(target.start, at) >= 0) {
            CompositionTrackSegment moved = segment;
            moved.timeMapping.target.start = target.start + range.duration;
            result.push_back(moved);
        } else {
            const double cut = (at - target.start).seconds(), total = target.duration.seconds();
            const double ratio = segment.isEmpty() || total <= 0 ? 0 : segment.timeMapping.source.duration.seconds() / total;
            CompositionTrackSegment before = segment, after = segment;
            before.timeMapping.target.duration = at - target.start;
            after.timeMapping.target = TimeRange::make(at + range.duration, target.end() - at);
            if (!segment.isEmpty()) {
                before.timeMapping.source.duration = seconds(cut * ratio);
                after.timeMapping.source =
                    TimeRange::make(segment.timeMapping.source.start + seconds(cut * ratio), seconds((total - cut) * ratio));
            }
            result.push_back(before);
            result.push_back(after);
        }
    }
    CompositionTrackSegment inserted;
    inserted.sourceTrack = track;
    inserted.timeMapping = {range, TimeRange::make(at, range.duration)};
    // An insertion past the end leaves an empty edit before it.
    const Time end = timeRange().end();
    if (compare(at, end) > 0)
        result.push_back({nullptr, {TimeRange::invalid(), TimeRange::fromTimeToTime(end, at)}});
    result.push_back(inserted);
    std::stable_sort(result.begin(), result.end(), [](const CompositionTrackSegment& a, const CompositionTrackSegment& b) {
        return compare(a.timeMapping.target.start, b.timeMapping.target.start) < 0;
    });
    m_segments = std::move(result);
    return true;
}

void MutableCompositionTrack::scaleTimeRange(const TimeRange& range, const Time& duration)
{
    if (!range.isValid() || range.isEmpty() || !duration.isNumeric())
        return;
    const double start = range.start.seconds(), end = range.end().seconds(), newDuration = duration.seconds();
    std::vector<CompositionTrackSegment> result;
    for (const auto& segment : m_segments) {
        // Split at the edges of the range, so each piece scales uniformly.
        const double s = segment.timeMapping.target.start.seconds(), e = segment.timeMapping.target.end().seconds();
        std::vector<double> cuts{s};
        for (double edge : {start, end})
            if (edge > s && edge < e)
                cuts.push_back(edge);
        cuts.push_back(e);
        const double ratio = segment.isEmpty() || e <= s ? 0 : segment.timeMapping.source.duration.seconds() / (e - s);
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            CompositionTrackSegment piece = segment;
            const double a = mapped(cuts[i], start, end, newDuration), b = mapped(cuts[i + 1], start, end, newDuration);
            piece.timeMapping.target = TimeRange::make(seconds(a), seconds(b - a));
            if (!segment.isEmpty())
                piece.timeMapping.source = TimeRange::make(
                    segment.timeMapping.source.start + seconds((cuts[i] - s) * ratio), seconds((cuts[i + 1] - cuts[i]) * ratio));
            result.push_back(piece);
        }
    }
    m_segments = std::move(result);
}

MutableCompositionTrackPtr MutableComposition::addMutableTrack(const std::string& mediaType, int32_t preferredTrackID)
{
    int32_t id = preferredTrackID;
    auto taken = [&](int32_t candidate) {
        return std::any_of(m_tracks.begin(), m_tracks.end(), [&](const auto& t) { return t->trackID() == candidate; });
    };
    if (id <= 0 || taken(id)) {
        id = 1;
        while (taken(id))
            ++id;
    }
    auto track = std::make_shared<MutableCompositionTrack>(id, mediaType);
    m_tracks.push_back(track);
    return track;
}

std::vector<MutableCompositionTrackPtr> MutableComposition::tracksWithMediaType(const std::string& mediaType) const
{
    std::vector<MutableCompositionTrackPtr> found;
    for (const auto& track : m_tracks)
        if (track->mediaType() == mediaType)
            found.push_back(track);
    return found;
}

Time MutableComposition::duration() const
{
    Time end = Time::zero();
    for (const auto& track : m_tracks)
        end = maximum(end, track->timeRange().end());
    return end;
}

void MutableComposition::scaleTimeRange(const TimeRange& range, const Time& duration)
{
    for (const auto& track : m_tracks)
        track->scaleTimeRange(range, duration);
}

std::shared_ptr<MutableComposition> MutableComposition::copy() const
{
    auto made = std::make_shared<MutableComposition>();
    for (const auto& track : m_tracks)
        made->m_tracks.push_back(std::make_shared<MutableCompositionTrack>(*track));
    return made;
}

AssetPtr MutableComposition::asset() const
{
    std::vector<AssetTrackPtr> tracks;
    for (const auto& track : m_tracks) {
        AssetTrack::Description d;
        d.trackID = track->trackID();
        d.mediaType = track->mediaType();
        d.preferredTransform = track->preferredTransform();
        d.timeRange = track->timeRange();
        AssetTrackPtr first;
        for (const auto& segment : track->segments()) {
            AssetTrackSegment s;
            s.timeMapping = segment.timeMapping;
            s.sourceTrack = segment.sourceTrack;
            if (segment.isEmpty())
                s.timeMapping.source = TimeRange::invalid();
            else if (!first)
                first = segment.sourceTrack;
            d.segments.push_back(s);
        }
        // The track looks like the media it shows.
        if (first) {
            d.naturalSize = first->naturalSize();
            d.nominalFrameRate = first->nominalFrameRate();
            d.formatDescriptions = first->formatDescriptions();
            d.codecName = first->codecName();
        }
        tracks.push_back(AssetTrack::make(std::move(d)));
    }
    return Asset::assetWithTracks(std::move(tracks));
}

double VideoCompositionLayerInstruction::opacityAtTime(const Time& t) const
{
    double opacity = 1.0;
    Time latestEnd = Time::negativeInfinity();
    for (const auto& ramp : opacityRamps) {
        const TimeRange& r = ramp.timeRange;
        if (!r.start.isNumeric())
            continue;
        if (r.duration.isNumeric() && r.duration.seconds() > 0 && r.containsTime(t))
            return ramp.start + (ramp.end - ramp.start) * (t - r.start).seconds() / r.duration.seconds();
        const Time end = r.duration.isNumeric() ? r.end() : r.start;
        if (compare(end, t) <= 0 && compare(end, latestEnd) >= 0) {
            latestEnd = end;
            opacity = ramp.end;
        }
    }
    return opacity;
}

} // namespace media
