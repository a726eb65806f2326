#include "Platform/Media/ExportSession.h"

#include <sys/stat.h>

#include <algorithm>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/PartialFile.h"
#include "Platform/Media/VideoSettings.h"

namespace media {

const std::string AVAssetExportPresetPassthrough = "AVAssetExportPresetPassthrough";

namespace {

struct Input {
    ff::InputContextPtr context;
    AVStream* stream = nullptr;
};

foundation::ErrorPtr openInput(const AssetPtr& asset, Input& input)
{
    ff::configureLogging();
    AVFormatContext* raw = nullptr;
    const std::string path = asset ? asset->URL().path() : std::string();
    int rc = asset ? avformat_open_input(&raw, path.c_str(), nullptr, nullptr) : AVERROR(EINVAL);
    if (rc < 0)
        return makeMediaError(AVErrorFileFailedToParse, "The movie to export could not be opened.", path, rc);
    input.context.reset(raw);
    if ((rc = avformat_find_stream_info(raw, nullptr)) < 0)
        return makeMediaError(AVErrorFileFailedToParse, "The movie to export could not be read.", path, rc);
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(raw->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            input.stream = raw->streams[i];
            break;
        }
    if (!input.stream)
        return makeMediaError(AVErrorInvalidSourceMedia, "The movie to export has no video.", path);
    return nullptr;
}

} // namespace

std::shared_ptr<AssetExportSession> AssetExportSession::init(const std::string& presetName)
{
    if (presetName != AVAssetExportPresetPassthrough)
        return nullptr;
    return std::make_shared<AssetExportSession>();
}

void AssetExportSession::setSegments(std::vector<Segment> segments)
{
    m_segments = std::move(segments);
}

foundation::ErrorPtr AssetExportSession::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

void AssetExportSession::cancelExport()
{
    m_cancelled.store(true);
    Status expected = Status::Unknown;
    m_status.compare_exchange_strong(expected, Status::Cancelled);
    expected = Status::Waiting;
    m_status.compare_exchange_strong(expected, Status::Cancelled);
}

void AssetExportSession::exportAsynchronouslyWithCompletionHandler(std::function<void()> handler)
{
    Status expected = Status::Unknown;
    if (!m_status.compare_exchange_strong(expected, Status::Waiting)) {
        // Cancelled before it began (or a second start): report at once, as the platform does.
        if (m_status.load() == Status::Cancelled || m_status.load() == Status::Unknown)
            finish(Status::Cancelled, nullptr);
        dispatch::Queue::global()->async([handler] {
            if (handler)
                handler();
        });
        return;
    }
    auto self = shared_from_this();
    dispatch::Queue::serial("com.movara.media.AssetExportSession")->async([self, handler] {
        self->run();
        if (handler)
            handler();
    });
}

void AssetExportSession::finish(Status status, foundation::ErrorPtr error)
{
    {
        std::lock_guard lock(m_mutex);
        m_error = std::move(error);
    }
    m_status.store(status);
}

void AssetExportSession::run()
{
    if (m_cancelled.load()) {
        finish(Status::Cancelled, nullptr);
        return;
    }
    m_status.store(Status::Exporting);
    const std::string path = m_outputURL.path();
    // The movie is written into a file of its own beside the output, which takes the output's
    // name only once complete, and only where nothing is: a failed, cancelled or losing export
    // leaves nothing, and never touches what someone else put there meanwhile.
    std::unique_ptr<detail::PartialFile> partial;
    auto fail = [&](foundation::ErrorPtr error) {
        partial.reset();
        finish(Status::Failed, std::move(error));
    };
    auto alreadyThere = [&] {
        return makeMediaError(AVErrorFileAlreadyExists, "The file to export to already exists.", path);
    };
    // A link counts as something there, wherever it leads (or if it leads nowhere).
    if (struct stat there {}; ::lstat(path.c_str(), &there) == 0) {
        finish(Status::Failed, alreadyThere());
        return;
    }
    const char* muxer = m_outputFileType == AVFileTypeQuickTimeMovie ? "mov" : "mp4";
    AVFormatContext* raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, muxer, nullptr);
    if (rc < 0 || !raw) {
        finish(Status::Failed, makeMediaError(AVErrorUnknown, "The movie could not be set up.", path, rc));
        return;
    }
    ff::OutputContextPtr output(raw);
    AVStream* out = nullptr;
    double total = 0;
    std::vector<Input> inputs(m_segments.size());
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (auto error = openInput(m_segments[i].asset, inputs[i])) {
            fail(error);
            return;
        }
        total = std::max(total, m_segments[i].at.seconds() + m_segments[i].asset->duration().seconds());
    }
    // The stream takes the first source's format, turn and all.
    out = avformat_new_stream(raw, nullptr);
    if (!out) {
        fail(makeMediaError(AVErrorOutOfMemory, "The movie could not be set up.", path));
        return;
    }
    if (!inputs.empty()) {
        const AVStream* first = inputs.front().stream;
        avcodec_parameters_copy(out->codecpar, first->codecpar);
        out->codecpar->codec_tag = 0;
        out->time_base = first->time_base;
        size_t size = 0;
        if (const uint8_t* matrix = av_stream_get_side_data(first, AV_PKT_DATA_DISPLAYMATRIX, &size)) {
            if (uint8_t* copy = av_stream_new_side_data(out, AV_PKT_DATA_DISPLAYMATRIX, size))
                std::copy(matrix, matrix + size, copy);
        }
    } else {
        // Nothing to lay out: an empty movie has no stream to write.
        avformat_free_context(output.release());
        finish(Status::Completed, nullptr);
        return;
    }
    for (const auto& item : m_metadata)
        if (auto value = item.fileValue())
            av_dict_set(&raw->metadata, item.fileKey().c_str(), value->c_str(), 0);
    int err = 0;
    partial = detail::PartialFile::create(path, &err);
    if (!partial) {
        fail(detail::fileError(err, path));
        return;
    }
    raw->pb = partial->ioContext();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // A write that failed is told in words (a full disk, say), not as FFmpeg's code.
    auto writeFailed = [&](const char* what, int code) {
        if (partial->failedWrite())
            return detail::fileError(partial->failedWrite(), path);
        return makeMediaError(AVErrorUnknown, what, path, code);
    };
    if ((rc = avformat_write_header(raw, nullptr)) < 0) {
        fail(writeFailed("The movie could not be written.", rc));
        return;
    }
    auto packet = ff::makePacket();
    int64_t lastDts = AV_NOPTS_VALUE;
    for (size_t i = 0; i < inputs.size(); ++i) {
        Input& in = inputs[i];
        const AVRational outBase = out->time_base;
        int64_t offset = av_rescale_q(m_segments[i].at.value, AVRational{1, m_segments[i].at.timescale}, outBase);
        bool firstPacket = true;
        while ((rc = av_read_frame(in.context.get(), packet.get())) >= 0) {
            if (m_cancelled.load()) {
                av_packet_unref(packet.get());
                output.reset();
                partial.reset();
                finish(Status::Cancelled, nullptr);
                return;
            }
            if (packet->stream_index != in.stream->index) {
                av_packet_unref(packet.get());
                continue;
            }
            av_packet_rescale_ts(packet.get(), in.stream->time_base, outBase);
            // A last frame without a duration would end the movie where it begins.
            if (packet->duration <= 0) {
                const AVRational rate = in.stream->avg_frame_rate.num > 0 ? in.stream->avg_frame_rate : in.stream->r_frame_rate;
                if (rate.num > 0 && rate.den > 0)
                    packet->duration = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), outBase));
            }
            if (packet->dts == AV_NOPTS_VALUE)
                packet->dts = packet->pts;
            // Decode times must keep rising across the seams: a source that starts decoding
            // before zero (reordered frames) moves its copy on by those few ticks.
            if (firstPacket && lastDts != AV_NOPTS_VALUE && packet->dts + offset <= lastDts)
                offset = lastDts + 1 - packet->dts;
            firstPacket = false;
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts += offset;
            packet->dts += offset;
            packet->stream_index = out->index;
            packet->pos = -1;
            lastDts = packet->dts;
            if (total > 0 && packet->pts != AV_NOPTS_VALUE)
                m_progress.store(float(std::clamp(double(packet->pts) * av_q2d(outBase) / total, 0.0, 1.0)));
            if ((rc = av_interleaved_write_frame(raw, packet.get())) < 0) {
                fail(writeFailed("The movie could not be written.", rc));
                return;
            }
        }
        if (rc != AVERROR_EOF) {
            fail(makeMediaError(AVErrorDecodeFailed, "The movie to export could not be read to its end.", path, rc));
            return;
        }
    }
    if ((rc = av_write_trailer(raw)) < 0) {
        fail(writeFailed("The movie could not be finished.", rc));
        return;
    }
    output.reset();
    if ((err = partial->flush()) != 0) {
        fail(detail::fileError(err, path));
        return;
    }
    if ((err = partial->commit(path, false)) != 0) {
        fail(err == EEXIST ? alreadyThere() : detail::fileError(err, path));
        return;
    }
    m_progress.store(1.0f);
    finish(Status::Completed, nullptr);
}

} // namespace media
