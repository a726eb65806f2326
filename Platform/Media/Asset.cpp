#include "Platform/Media/Asset.h"

#include "Platform/Dispatch/Queue.h"
#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/MovieBoxes.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace media {

std::shared_ptr<AssetTrack> AssetTrack::make(Description description)
{
    return std::shared_ptr<AssetTrack>(new AssetTrack(std::move(description)));
}

bool AssetTrack::isCompositionTrack() const
{
    return std::any_of(m_d.segments.begin(), m_d.segments.end(), [](const AssetTrackSegment& s) { return s.sourceTrack != nullptr; });
}

struct Asset::State {
    std::mutex mutex;
    std::condition_variable loaded;
    KeyValueStatus status = KeyValueStatus::Unknown;
    foundation::ErrorPtr error;
    bool cancelled = false;
    std::vector<AssetTrackPtr> tracks;
    Time duration = Time::zero();
    std::vector<std::function<void()>> completions;
};

namespace {

OSType codecTypeOf(const AVCodecParameters* par)
{
    const uint32_t tag = par->codec_tag;
    if (tag)
        return (OSType(tag & 0xff) << 24) | (OSType((tag >> 8) & 0xff) << 16) | (OSType((tag >> 16) & 0xff) << 8)
            | OSType(tag >> 24);
    switch (par->codec_id) {
    case AV_CODEC_ID_H264:
        return VideoCodecType_H264;
    case AV_CODEC_ID_HEVC:
        return VideoCodecType_HEVC;
    case AV_CODEC_ID_PRORES:
        return VideoCodecType_AppleProRes422;
    default:
        return 0;
    }
}

Attachments colourExtensions(const AVCodecParameters* par)
{
    Attachments ext;
    if (par->color_primaries == AVCOL_PRI_BT709)
        ext[kCMFormatDescriptionExtension_ColorPrimaries] = std::string("ITU_R_709_2");
    if (par->color_trc == AVCOL_TRC_BT709)
        ext[kCMFormatDescriptionExtension_TransferFunction] = std::string("ITU_R_709_2");
    if (par->color_space == AVCOL_SPC_BT709)
        ext[kCMFormatDescriptionExtension_YCbCrMatrix] = std::string("ITU_R_709_2");
    else if (par->color_space == AVCOL_SPC_SMPTE170M || par->color_space == AVCOL_SPC_BT470BG)
        ext[kCMFormatDescriptionExtension_YCbCrMatrix] = std::string("ITU_R_601_4");
    return ext;
}

Time timeIn(int64_t value, AVRational base)
{
    if (base.num == 1 && base.den > 0)
        return Time::make(value, base.den);
    return Time::makeWithSeconds(static_cast<double>(value) * av_q2d(base), 90000);
}

std::vector<AssetTrackSegment> segmentsFor(const detail::TrackBoxes* boxes, uint32_t movieTimescale,
                                           const Time& mediaDuration)
{
    std::vector<AssetTrackSegment> segments;
    if (boxes && boxes->hasEditList && movieTimescale > 0 && boxes->mediaTimescale > 0 && !boxes->edits.empty()) {
        const auto movieTs = static_cast<int32_t>(std::min<uint32_t>(movieTimescale, MaxTimescale));
        const auto mediaTs = static_cast<int32_t>(std::min<uint32_t>(boxes->mediaTimescale, MaxTimescale));
        Time position = Time::make(0, movieTs);
        for (const auto& edit : boxes->edits) {
            AssetTrackSegment segment;
            const Time length = Time::make(edit.segmentDuration, movieTs);
            segment.timeMapping.target = TimeRange::make(position, length);
            if (edit.mediaTime >= 0) {
                const Time sourceLength = multiplyByFloat64(length.convertScale(mediaTs), edit.rate);
                segment.timeMapping.source = TimeRange::make(Time::make(edit.mediaTime, mediaTs), sourceLength);
            } else {
                segment.timeMapping.source = TimeRange::invalid();
            }
            segments.push_back(segment);
            position = position + length;
        }
        return segments;
    }
    AssetTrackSegment whole;
    whole.timeMapping.source = TimeRange::make(Time::make(0, mediaDuration.timescale > 0 ? mediaDuration.timescale : 1),
                                               mediaDuration);
    whole.timeMapping.target = whole.timeMapping.source;
    segments.push_back(whole);
    return segments;
}

} // namespace

std::shared_ptr<Asset> Asset::assetWithURL(const foundation::URL& url)
{
    std::shared_ptr<Asset> asset(new Asset);
    asset->m_url = url;
    asset->m_state = std::make_shared<State>();
    return asset;
}

std::shared_ptr<Asset> Asset::assetWithTracks(std::vector<AssetTrackPtr> tracks)
{
    std::shared_ptr<Asset> asset(new Asset);
    asset->m_state = std::make_shared<State>();
    Time duration = Time::zero();
    for (const auto& track : tracks)
        if (track && track->timeRange().end() > duration)
            duration = track->timeRange().end();
    asset->m_state->tracks = std::move(tracks);
    asset->m_state->duration = duration;
    asset->m_state->status = KeyValueStatus::Loaded;
    return asset;
}

Asset::~Asset() = default;

static void loadInto(const std::string& path, Asset::State& state);

void Asset::loadNow()
{
    {
        std::unique_lock lock(m_state->mutex);
        if (m_state->status == KeyValueStatus::Loading) {
            m_state->loaded.wait(lock, [&] { return m_state->status != KeyValueStatus::Loading; });
            return;
        }
        if (m_state->status != KeyValueStatus::Unknown)
            return;
        m_state->status = KeyValueStatus::Loading;
    }
    loadInto(m_url.path(), *m_state);
}

static void loadInto(const std::string& path, Asset::State& state)
{
    ff::configureLogging();
    std::vector<AssetTrackPtr> tracks;
    Time duration = Time::zero();
    foundation::ErrorPtr error;

    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileReadNoSuchFileError,
                                        "The movie file does not exist.", foundation::Error::posix(ENOENT, path));
    } else {
        AVFormatContext* raw = nullptr;
        int rc = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr);
        ff::InputContextPtr input(raw);
        if (rc >= 0)
            rc = avformat_find_stream_info(input.get(), nullptr);
        if (rc < 0) {
            error = makeMediaError(AVErrorFileFormatNotRecognized, "The movie could not be opened.",
                                   "The file is not a movie this application can read.", rc);
        } else {
            const auto boxes = detail::readMovieBoxes(path);
            for (unsigned i = 0; i < input->nb_streams; ++i) {
                const AVStream* st = input->streams[i];
                const AVCodecParameters* par = st->codecpar;
                if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
                    continue;
                AssetTrack::Description d;
                d.streamIndex = static_cast<int>(i);
                d.filePath = path;
                d.trackID = st->id > 0 ? st->id : static_cast<int32_t>(i + 1);
                d.codecName = avcodec_get_name(par->codec_id);
                switch (par->codec_type) {
                case AVMEDIA_TYPE_VIDEO:
                    d.mediaType = AVMediaTypeVideo;
                    break;
                case AVMEDIA_TYPE_AUDIO:
                    d.mediaType = AVMediaTypeAudio;
                    break;
                case AVMEDIA_TYPE_SUBTITLE:
                    d.mediaType = "sbtl";
                    break;
                default:
                    d.mediaType = "meta";
                    break;
                }
                if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
                    d.naturalSize = graphics::Size::make(par->width, par->height);
                    size_t size = 0;
                    const uint8_t* side = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
                    if (side && size >= 9 * sizeof(int32_t)) {
                        int32_t m[9];
                        std::memcpy(m, side, sizeof m);
                        d.preferredTransform = graphics::AffineTransform::make(
                            m[0] / 65536.0, m[1] / 65536.0, m[3] / 65536.0, m[4] / 65536.0, m[6] / 65536.0, m[7] / 65536.0);
                    }
                    AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
                    d.nominalFrameRate = rate.den > 0 ? static_cast<float>(av_q2d(rate)) : 0.f;
                    Attachments extensions = colourExtensions(par);
                    // Non-square pixels: the stream's own ratio, else the codec's.
                    AVRational sar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio : par->sample_aspect_ratio;
                    if (sar.num > 0 && sar.den > 0 && sar.num != sar.den) {
                        av_reduce(&sar.num, &sar.den, sar.num, sar.den, 1 << 20);
                        extensions[kCMFormatDescriptionKey_PixelAspectRatioHorizontalSpacing] = int64_t(sar.num);
                        extensions[kCMFormatDescriptionKey_PixelAspectRatioVerticalSpacing] = int64_t(sar.den);
                    }
                    if (auto desc = VideoFormatDescription::create(codecTypeOf(par), par->width, par->height, extensions))
                        d.formatDescriptions.push_back(desc);
                }
                const detail::TrackBoxes* trackBoxes = nullptr;
                if (boxes)
                    for (const auto& t : boxes->tracks)
                        if (t.trackID == d.trackID)
                            trackBoxes = &t;
                Time mediaDuration = st->duration != AV_NOPTS_VALUE ? timeIn(st->duration, st->time_base) : Time::zero();
                if (trackBoxes && trackBoxes->mediaTimescale > 0 && trackBoxes->mediaTimescale <= uint32_t(MaxTimescale))
                    mediaDuration = Time::make(trackBoxes->mediaDuration, static_cast<int32_t>(trackBoxes->mediaTimescale));
                d.segments = segmentsFor(trackBoxes, boxes ? boxes->movieTimescale : 0, mediaDuration);
                Time first = Time::invalid(), last = Time::invalid();
                for (const auto& s : d.segments) {
                    if (s.isEmpty())
                        continue;
                    if (!first.isValid() || s.timeMapping.target.start < first)
                        first = s.timeMapping.target.start;
                    if (!last.isValid() || s.timeMapping.target.end() > last)
                        last = s.timeMapping.target.end();
                }
                d.timeRange = first.isValid() ? TimeRange::fromTimeToTime(first, last) : TimeRange::zero();
                if (d.timeRange.end() > duration)
                    duration = d.timeRange.end();
                tracks.push_back(AssetTrack::make(std::move(d)));
            }
        }
    }

    std::vector<std::function<void()>> completions;
    {
        std::lock_guard lock(state.mutex);
        state.tracks = std::move(tracks);
        state.duration = duration;
        state.error = error;
        state.status = state.cancelled ? KeyValueStatus::Cancelled
            : error                    ? KeyValueStatus::Failed
                                       : KeyValueStatus::Loaded;
        completions.swap(state.completions);
        state.loaded.notify_all();
    }
    for (auto& c : completions)
        if (c)
            c();
}

void Asset::loadValuesAsynchronouslyForKeys(const std::vector<std::string>&, std::function<void()> completion)
{
    std::unique_lock lock(m_state->mutex);
    if (m_state->status == KeyValueStatus::Loading) {
        m_state->completions.push_back(std::move(completion));
        return;
    }
    if (m_state->status != KeyValueStatus::Unknown) {
        lock.unlock();
        dispatch::Queue::global()->async([c = std::move(completion)] {
            if (c)
                c();
        });
        return;
    }
    m_state->status = KeyValueStatus::Loading;
    m_state->completions.push_back(std::move(completion));
    lock.unlock();
    dispatch::Queue::global()->async([state = m_state, path = m_url.path()] { loadInto(path, *state); });
}

KeyValueStatus Asset::statusOfValueForKey(const std::string& key, foundation::ErrorPtr* error) const
{
    if (key != "tracks" && key != "duration" && key != "playable" && key != "readable")
        return KeyValueStatus::Unknown;
    std::lock_guard lock(m_state->mutex);
    if (error)
        *error = m_state->status == KeyValueStatus::Failed ? m_state->error : nullptr;
    return m_state->status;
}

void Asset::cancelLoading()
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->status == KeyValueStatus::Loading)
        m_state->cancelled = true;
}

std::vector<AssetTrackPtr> Asset::tracks()
{
    loadNow();
    std::lock_guard lock(m_state->mutex);
    return m_state->tracks;
}

std::vector<AssetTrackPtr> Asset::tracksWithMediaType(const std::string& mediaType)
{
    std::vector<AssetTrackPtr> result;
    for (auto& t : tracks())
        if (t->mediaType() == mediaType)
            result.push_back(t);
    return result;
}

AssetTrackPtr Asset::trackWithTrackID(int32_t trackID)
{
    for (auto& t : tracks())
        if (t->trackID() == trackID)
            return t;
    return nullptr;
}

Time Asset::duration()
{
    loadNow();
    std::lock_guard lock(m_state->mutex);
    return m_state->duration;
}

} // namespace media
