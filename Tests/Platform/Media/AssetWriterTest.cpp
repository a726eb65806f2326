#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Platform/Media/MovieFixtures.h"
#include "Tests/Support/TempDir.h"

#include "Platform/Dispatch/Queue.h"
#include "Platform/Media/Asset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <sched.h>
#include <thread>


using namespace media;
using mediatest::MovieSpec;

namespace {

struct ContainerCase {
    std::string fileType;
    std::string codec;
    std::string fileName;
    std::string codecName;
    std::string brand;
    std::string pixelFormat;
    std::string profileLevel = {};
};

} // namespace

TEST(AssetWriter, WritesEachCodecAndContainerReadableByFFprobe)
{
    const ContainerCase cases[] = {
        {AVFileTypeQuickTimeMovie, AVVideoCodecTypeH264, "a.mov", "h264", "qt  ", "yuv420p"},
        {AVFileTypeMPEG4, AVVideoCodecTypeH264, "a.mp4", "h264", "mp42", "yuv420p"},
        {AVFileTypeAppleM4V, AVVideoCodecTypeH264, "a.m4v", "h264", "M4V ", "yuv420p"},
        {AVFileTypeMPEG4, AVVideoCodecTypeHEVC, "h.mp4", "hevc", "mp42", "yuv420p"},
        {AVFileTypeMPEG4, AVVideoCodecTypeHEVC, "h10.mp4", "hevc", "mp42", "yuv420p10le", kVTProfileLevel_HEVC_Main10_AutoLevel},
        {AVFileTypeQuickTimeMovie, AVVideoCodecTypeAppleProRes422, "p.mov", "prores", "qt  ", "yuv422p10le"},
        {AVFileTypeQuickTimeMovie, AVVideoCodecTypeAppleProRes4444, "p4.mov", "prores", "qt  ", "yuva444p12le"},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileName);
        MovieSpec recipe;
        recipe.fileType = c.fileType;
        recipe.settings = mediatest::settingsFor(c.codec);
        if (!c.profileLevel.empty())
            recipe.settings.set(AVVideoCompressionPropertiesKey,
                              foundation::Value::dictionary({{AVVideoProfileLevelKey, c.profileLevel}}));
        const auto path = dir / c.fileName;
        auto error = mediatest::writeMovie(path, recipe);
        ASSERT_FALSE(error) << error->localizedDescription() << " " << error->localizedFailureReason().value_or("");
        auto info = mediatest::probe(path);
        ASSERT_TRUE(info.is_object());
        const auto& stream = info["streams"][0];
        EXPECT_EQ(stream["codec_name"], c.codecName);
        EXPECT_EQ(stream["codec_tag_string"], c.codec);
        EXPECT_EQ(stream["pix_fmt"], c.pixelFormat);
        EXPECT_EQ(stream["width"], 64);
        EXPECT_EQ(stream["height"], 48);
        EXPECT_EQ(stream["nb_frames"], "10");
        EXPECT_EQ(stream["color_space"], "bt709");
        EXPECT_EQ(stream["color_primaries"], "bt709");
        EXPECT_EQ(stream["color_transfer"], "bt709");
        EXPECT_EQ(std::stod(stream["start_time"].get<std::string>()), 0.0);
        EXPECT_NEAR(std::stod(stream["duration"].get<std::string>()), 1.0, 1e-6);
        EXPECT_EQ(info["format"]["tags"]["major_brand"], c.brand);
    }
}

namespace {

std::string contents(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> filesIn(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Harness {
    AssetWriterPtr writer;
    AssetWriterInputPtr input;
    AssetWriterInputPixelBufferAdaptorPtr adaptor;

    explicit Harness(const std::filesystem::path& path, const std::string& codec = AVVideoCodecTypeH264,
                     OSType poolFormat = PixelFormatType_32BGRA)
    {
        writer = AssetWriter::assetWriterWithURL(foundation::URL::fileURLWithPath(path.string()), AVFileTypeQuickTimeMovie);
        input = AssetWriterInput::assetWriterInputWithMediaType(AVMediaTypeVideo, mediatest::settingsFor(codec));
        adaptor = AssetWriterInputPixelBufferAdaptor::assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
            input, foundation::Value::dictionary({{kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(poolFormat)}}));
        writer->addInput(input);
    }

    bool append(int index, Time t) { return adaptor->appendPixelBuffer(mediatest::makeFrame(64, 48, PixelFormatType_32BGRA, index), t); }

    // Finishes and waits (bounded) for the handler; returns whether it ran on another thread.
    bool finish()
    {
        std::promise<std::thread::id> done;
        writer->finishWritingWithCompletionHandler([&] { done.set_value(std::this_thread::get_id()); });
        auto future = done.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        return future.get() != std::this_thread::get_id();
    }
};

} // namespace

TEST(AssetWriter, WritesTheTransformAsDisplayMatrixAndTheMetadataItems)
{
    testsupport::TempDir dir;
    MovieSpec recipe;
    recipe.fileType = AVFileTypeQuickTimeMovie;
    recipe.settings = mediatest::settingsFor(AVVideoCodecTypeH264);
    recipe.transform = graphics::AffineTransform::make(0, 1, -1, 0, 48, 0); // shown turned a quarter clockwise
    recipe.metadata = {{AVMetadataCommonKeyDescription, AVMetadataKeySpaceCommon, "Created with Quintor"},
                     {"com.movara.frames", AVMetadataKeySpaceQuickTimeMetadata, 10}};
    const auto path = dir / "r.mov";
    ASSERT_FALSE(mediatest::writeMovie(path, recipe));

    auto info = mediatest::probe(path);
    EXPECT_EQ(info["format"]["tags"]["com.apple.quicktime.description"], "Created with Quintor");
    EXPECT_EQ(info["format"]["tags"]["com.movara.frames"], "10");
    const auto& side = info["streams"][0]["side_data_list"][0];
    EXPECT_EQ(side["side_data_type"], "Display Matrix");
    EXPECT_EQ(side["rotation"], -90);

    auto asset = Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string()));
    auto tracks = asset->tracksWithMediaType(AVMediaTypeVideo);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0]->preferredTransform(), recipe.transform);
}

TEST(AssetWriter, SessionBoundsSetTheMovieTimeline)
{
    testsupport::TempDir dir;
    // The session starts at the first frame's time, 10 s, so the movie still starts at zero.
    MovieSpec late;
    late.fileType = AVFileTypeQuickTimeMovie;
    late.settings = mediatest::settingsFor(AVVideoCodecTypeAppleProRes422);
    late.firstTime = Time::make(10, 1);
    ASSERT_FALSE(mediatest::writeMovie(dir / "late.mov", late));
    auto info = mediatest::probe(dir / "late.mov");
    EXPECT_EQ(std::stod(info["streams"][0]["start_time"].get<std::string>()), 0.0);
    EXPECT_NEAR(std::stod(info["streams"][0]["duration"].get<std::string>()), 1.0, 1e-6);

    // Ending the session at 0.45 s stretches the last frame before it and drops later ones.
    Harness h(dir / "short.mov");
    ASSERT_TRUE(h.writer->startWriting());
    h.writer->startSessionAtSourceTime(Time::zero());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(h.append(i, Time::make(i, 10)));
    EXPECT_THROW(h.writer->endSessionAtSourceTime(Time::make(4, 10)), foundation::Exception);
    h.writer->endSessionAtSourceTime(Time::make(45, 100));
    for (int i = 5; i < 10; ++i)
        ASSERT_TRUE(h.append(i, Time::make(i, 10)));
    h.finish();
    ASSERT_EQ(h.writer->status(), AssetWriter::Status::Completed);
    info = mediatest::probe(dir / "short.mov");
    EXPECT_EQ(info["streams"][0]["nb_frames"], "5");
    EXPECT_NEAR(std::stod(info["streams"][0]["duration"].get<std::string>()), 0.45, 1e-6);
}

TEST(AssetWriter, AFrameExactlyAtTheSessionEndIsLeftOut)
{
    // The session is the half-open range [start, end): a frame shown at the end would start
    // after the movie is over.
    testsupport::TempDir dir;
    Harness h(dir / "trimmed.mov");
    ASSERT_TRUE(h.writer->startWriting());
    h.writer->startSessionAtSourceTime(Time::zero());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(h.append(i, Time::make(i, 10)));
    h.writer->endSessionAtSourceTime(Time::make(5, 10));
    for (int i = 5; i < 8; ++i)
        ASSERT_TRUE(h.append(i, Time::make(i, 10)));
    h.finish();
    ASSERT_EQ(h.writer->status(), AssetWriter::Status::Completed);
    const auto info = mediatest::probe(dir / "trimmed.mov");
    EXPECT_EQ(info["streams"][0]["nb_frames"], "5");
    EXPECT_NEAR(std::stod(info["streams"][0]["duration"].get<std::string>()), 0.5, 1e-6);
}

TEST(AssetWriter, UnwritableDestinationFailsAtStartWithoutLeavingFiles)
{
    testsupport::TempDir dir;
    const auto blocker = dir.write("file", "not a folder");
    // A folder where the movie would go is refused before a frame is encoded, not at the end.
    std::filesystem::create_directory(dir / "folder.mov");
    for (const auto& path : {dir / "missing" / "a.mov", blocker / "a.mov", dir / "folder.mov"}) {
        SCOPED_TRACE(path.string());
        Harness h(path);
        EXPECT_FALSE(h.writer->startWriting());
        EXPECT_EQ(h.writer->status(), AssetWriter::Status::Failed);
        ASSERT_TRUE(h.writer->error());
        EXPECT_EQ(h.writer->error()->domain(), AVFoundationErrorDomain);
        EXPECT_FALSE(h.input->isReadyForMoreMediaData());
        EXPECT_FALSE(h.append(0, Time::zero()));
        EXPECT_TRUE(h.finish());
        EXPECT_EQ(h.writer->status(), AssetWriter::Status::Failed);
    }
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"file", "folder.mov"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "folder.mov"));
}

TEST(AssetWriter, ExistingFileStaysUntilAMovieIsCompleted)
{
    testsupport::TempDir dir;
    const auto path = dir.write("movie.mov", "the user's old movie");
    enum class Ending { Cancel, BackwardsTime, NoFrames, Success };
    for (Ending ending : {Ending::Cancel, Ending::BackwardsTime, Ending::NoFrames, Ending::Success}) {
        SCOPED_TRACE(static_cast<int>(ending));
        Harness h(path);
        ASSERT_TRUE(h.writer->startWriting());
        h.writer->startSessionAtSourceTime(Time::zero());
        if (ending != Ending::NoFrames) {
            ASSERT_TRUE(h.append(0, Time::zero()));
            ASSERT_TRUE(h.append(1, Time::make(1, 10)));
        }
        switch (ending) {
        case Ending::Cancel:
            h.writer->cancelWriting();
            EXPECT_EQ(h.writer->status(), AssetWriter::Status::Cancelled);
            EXPECT_FALSE(h.append(2, Time::make(2, 10)));
            break;
        case Ending::BackwardsTime:
            EXPECT_FALSE(h.append(2, Time::make(1, 20)));
            EXPECT_EQ(h.writer->status(), AssetWriter::Status::Failed);
            EXPECT_TRUE(h.writer->error());
            h.finish();
            EXPECT_EQ(h.writer->status(), AssetWriter::Status::Failed);
            break;
        case Ending::NoFrames:
            h.input->markAsFinished();
            h.finish();
            EXPECT_EQ(h.writer->status(), AssetWriter::Status::Failed);
            EXPECT_TRUE(h.writer->error());
            break;
        case Ending::Success:
            h.input->markAsFinished();
            EXPECT_TRUE(h.finish()) << "the completion handler runs on another thread";
            EXPECT_EQ(h.writer->status(), AssetWriter::Status::Completed);
            EXPECT_FALSE(h.append(2, Time::make(2, 10))) << "appending after finishing fails";
            break;
        }
        if (ending == Ending::Success)
            EXPECT_EQ(mediatest::probe(path)["streams"][0]["nb_frames"], "2");
        else
            EXPECT_EQ(contents(path), "the user's old movie");
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"movie.mov"}) << "no temporary file is left";
    }
}

TEST(AssetWriter, AReplacedFileKeepsItsPermissions)
{
    namespace fs = std::filesystem;
    testsupport::TempDir dir;
    for (const auto mode : {fs::perms::owner_read | fs::perms::owner_write,
                            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read}) {
        SCOPED_TRACE(static_cast<int>(mode));
        const auto path = dir.write("private.mov", "the user's old movie");
        fs::permissions(path, mode);
        Harness h(path);
        ASSERT_TRUE(h.writer->startWriting());
        h.writer->startSessionAtSourceTime(Time::zero());
        ASSERT_TRUE(h.append(0, Time::zero()));
        h.input->markAsFinished();
        ASSERT_TRUE(h.finish());
        ASSERT_EQ(h.writer->status(), AssetWriter::Status::Completed);
        EXPECT_NE(contents(path), "the user's old movie");
        EXPECT_EQ(fs::status(path).permissions(), mode);
    }
}

// The movie takes the destination's name: a link there is replaced, and the file it leads to
// (or the place a dangling one names) is never written. The working file is written only
// through what made it: swapped for a link while the movie is written, it puts nothing in place.
TEST(AssetWriter, AMovieReplacesALinkAndNeverWritesWhereItLeads)
{
    namespace fs = std::filesystem;
    enum class Kind { LinkToAFile, DanglingLink, WorkingFileSwappedForALink };
    for (Kind kind : {Kind::LinkToAFile, Kind::DanglingLink, Kind::WorkingFileSwappedForALink}) {
        SCOPED_TRACE(static_cast<int>(kind));
        testsupport::TempDir dir;
        fs::create_directories(dir / "elsewhere");
        const auto notes = dir.write("elsewhere/notes.txt", "the user's notes");
        const auto path = dir / "movie.mov";
        if (kind == Kind::LinkToAFile)
            fs::create_symlink(notes, path);
        if (kind == Kind::DanglingLink)
            fs::create_symlink(dir / "elsewhere" / "new.mov", path);
        Harness h(path);
        ASSERT_TRUE(h.writer->startWriting());
        if (kind == Kind::WorkingFileSwappedForALink) {
            const auto names = filesIn(dir.path());
            ASSERT_EQ(names.size(), 2u) << testing::PrintToString(names);
            const fs::path working = dir / names.front();
            ASSERT_EQ(names.front().rfind(".movie.mov.", 0), 0u) << names.front();
            fs::remove(working);
            fs::create_symlink(notes, working);
        }
        h.writer->startSessionAtSourceTime(Time::zero());
        ASSERT_TRUE(h.append(0, Time::zero()));
        ASSERT_TRUE(h.append(1, Time::make(1, 10)));
        h.input->markAsFinished();
        h.finish();
        EXPECT_EQ(contents(notes), "the user's notes");
        EXPECT_EQ(filesIn(dir / "elsewhere"), std::vector<std::string>{"notes.txt"});
        if (kind == Kind::WorkingFileSwappedForALink) {
            EXPECT_EQ(h.writer->status(), AssetWriter::Status::Failed);
            EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
            continue;
        }
        ASSERT_EQ(h.writer->status(), AssetWriter::Status::Completed);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_EQ(mediatest::probe(path)["streams"][0]["nb_frames"], "2");
        EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"elsewhere", "movie.mov"}));
    }
}

// Any name the folder holds is written, its working file's name shortened to fit (never in the
// middle of a character); a longer one is refused before a frame is encoded.
TEST(AssetWriter, NamesAsLongAsTheFolderHoldsAreWrittenLongerOnesRefusedAtStart)
{
    testsupport::TempDir dir;
    std::string accented;
    for (int i = 0; i < 125; ++i)
        accented += "\u00E9";
    const struct {
        std::string name;
        bool written;
    } cases[] = {
        {std::string(251, 'a') + ".mov", true},
        {accented + ".mov", true},
        {std::string(252, 'b') + ".mov", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.size());
        const auto path = dir / c.name;
        Harness h(path);
        if (!c.written) {
            EXPECT_FALSE(h.writer->startWriting());
            ASSERT_TRUE(h.writer->error());
            EXPECT_NE(h.writer->error()->localizedFailureReason().value_or("").find("File name too long"), std::string::npos)
                << h.writer->error()->localizedFailureReason().value_or("");
            EXPECT_TRUE(filesIn(dir.path()).empty());
            continue;
        }
        ASSERT_TRUE(h.writer->startWriting()) << h.writer->error()->localizedFailureReason().value_or("");
        const auto working = filesIn(dir.path());
        ASSERT_EQ(working.size(), 1u);
        EXPECT_LE(working.front().size(), 255u);
        EXPECT_EQ(working.front().substr(working.front().size() - 8), ".partial");
        h.writer->startSessionAtSourceTime(Time::zero());
        ASSERT_TRUE(h.append(0, Time::zero()));
        h.input->markAsFinished();
        h.finish();
        ASSERT_EQ(h.writer->status(), AssetWriter::Status::Completed);
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{c.name});
        std::filesystem::remove(path);
    }
}

TEST(AssetWriter, RequestLoopAppendsWhileReadyUntilFinished)
{
    testsupport::TempDir dir;
    const auto path = dir / "loop.mov";
    // Frames drawn in the pool's bi-planar format go to x264 as they are.
    Harness h(path, AVVideoCodecTypeH264, PixelFormatType_420YpCbCr8BiPlanarVideoRange);
    EXPECT_FALSE(h.input->isReadyForMoreMediaData()) << "not ready before writing starts";
    ASSERT_TRUE(h.writer->startWriting());
    h.writer->startSessionAtSourceTime(Time::zero());
    ASSERT_TRUE(h.adaptor->pixelBufferPool());
    EXPECT_EQ(h.adaptor->pixelBufferPool()->pixelFormatType(), PixelFormatType_420YpCbCr8BiPlanarVideoRange);

    constexpr int total = 30;
    auto queue = dispatch::Queue::serial("test.writer.requests");
    std::atomic<int> appended{0};
    std::atomic<bool> calledAfterFinish{false};
    std::atomic<bool> appendFailed{false};
    bool done = false; // touched on the queue only
    std::promise<void> finished;
    h.input->requestMediaDataWhenReadyOnQueue(queue, [&] {
        if (done) {
            calledAfterFinish = true;
            return;
        }
        while (h.input->isReadyForMoreMediaData()) {
            if (appended == total) {
                done = true;
                h.input->markAsFinished();
                h.writer->finishWritingWithCompletionHandler([&] { finished.set_value(); });
                return;
            }
            auto buffer = h.adaptor->pixelBufferPool()->createPixelBuffer();
            auto frame = mediatest::makeFrame(64, 48, PixelFormatType_420YpCbCr8BiPlanarVideoRange, appended);
            std::memcpy(buffer->baseAddressOfPlane(0), frame->baseAddressOfPlane(0),
                        frame->bytesPerRowOfPlane(0) * frame->heightOfPlane(0));
            std::memcpy(buffer->baseAddressOfPlane(1), frame->baseAddressOfPlane(1),
                        frame->bytesPerRowOfPlane(1) * frame->heightOfPlane(1));
            if (!h.adaptor->appendPixelBuffer(buffer, Time::make(appended, 30))) {
                appendFailed = true;
                return;
            }
            ++appended;
        }
    });
    ASSERT_EQ(finished.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(appendFailed);
    EXPECT_FALSE(calledAfterFinish);
    EXPECT_EQ(h.writer->status(), AssetWriter::Status::Completed);
    auto info = mediatest::probe(path);
    EXPECT_EQ(info["streams"][0]["nb_frames"], std::to_string(total));
    EXPECT_NEAR(std::stod(info["streams"][0]["duration"].get<std::string>()), 1.0, 1e-6);
}

TEST(AssetWriter, OutputSettingsAreCheckedWhenTheInputIsMade)
{
    using foundation::Value;
    const Value invalid[] = {
        Value::dictionary({{AVVideoWidthKey, 64}, {AVVideoHeightKey, 48}}),
        Value::dictionary({{AVVideoCodecKey, "jpeg"}, {AVVideoWidthKey, 64}, {AVVideoHeightKey, 48}}),
        Value::dictionary({{AVVideoCodecKey, AVVideoCodecTypeH264}, {AVVideoWidthKey, 0}, {AVVideoHeightKey, 48}}),
        Value::dictionary({{AVVideoCodecKey, AVVideoCodecTypeH264}, {AVVideoWidthKey, "64"}, {AVVideoHeightKey, 48}}),
        Value::dictionary({{AVVideoCodecKey, AVVideoCodecTypeHEVC},
                           {AVVideoWidthKey, 64},
                           {AVVideoHeightKey, 48},
                           {AVVideoCompressionPropertiesKey, Value::dictionary({{AVVideoProfileLevelKey, "H264_High_AutoLevel"}})}}),
        Value::dictionary({{AVVideoCodecKey, AVVideoCodecTypeH264},
                           {AVVideoWidthKey, 64},
                           {AVVideoHeightKey, 48},
                           {AVVideoColorPropertiesKey, Value::dictionary({{AVVideoYCbCrMatrixKey, "ITU_R_999"}})}}),
    };
    for (const auto& settings : invalid)
        EXPECT_THROW(AssetWriterInput::assetWriterInputWithMediaType(AVMediaTypeVideo, settings), foundation::Exception);
    EXPECT_THROW(AssetWriterInput::assetWriterInputWithMediaType(AVMediaTypeAudio, mediatest::settingsFor("avc1")),
                 foundation::Exception);

    // ProRes belongs in QuickTime movies only.
    testsupport::TempDir dir;
    auto mp4 = AssetWriter::assetWriterWithURL(foundation::URL::fileURLWithPath((dir / "p.mp4").string()), AVFileTypeMPEG4);
    auto prores = AssetWriterInput::assetWriterInputWithMediaType(AVMediaTypeVideo,
                                                                  mediatest::settingsFor(AVVideoCodecTypeAppleProRes422));
    EXPECT_FALSE(mp4->canAddInput(prores));
    EXPECT_THROW(mp4->addInput(prores), foundation::Exception);
    foundation::ErrorPtr error;
    EXPECT_FALSE(AssetWriter::assetWriterWithURL(foundation::URL::fileURLWithPath((dir / "x.avi").string()), "public.avi", &error));
    EXPECT_TRUE(error);
}

TEST(AssetWriter, NarrowHEVCMoviesAreWrittenOrRefusedClearly)
{
    // x265 corrupts its heap on pictures up to 48 pixels wide (an optimised build aborts) and
    // refuses pictures under 16 pixels a side.
    const struct {
        int width, height;
        bool tenBit;
        bool written;
    } cases[] = {
        {48, 32, true, true}, {48, 32, false, true}, {32, 64, true, true}, {16, 16, true, true},
        {50, 32, true, true}, {14, 32, true, false}, {64, 8, false, false},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + (c.tenBit ? " 10-bit" : " 8-bit"));
        MovieSpec recipe;
        recipe.fileType = AVFileTypeMPEG4;
        recipe.frames = 4;
        recipe.width = c.width;
        recipe.height = c.height;
        recipe.settings = mediatest::settingsFor(AVVideoCodecTypeHEVC, c.width, c.height);
        if (c.tenBit)
            recipe.settings.set(AVVideoCompressionPropertiesKey,
                                foundation::Value::dictionary({{AVVideoProfileLevelKey, kVTProfileLevel_HEVC_Main10_AutoLevel}}));
        const auto path = dir / "narrow.mp4";
        auto error = mediatest::writeMovie(path, recipe);
        if (!c.written) {
            ASSERT_TRUE(error);
            EXPECT_NE(error->localizedFailureReason().value_or("").find("at least 16 × 16 pixels"), std::string::npos)
                << error->localizedFailureReason().value_or("");
            continue;
        }
        ASSERT_FALSE(error) << error->localizedDescription() << " " << error->localizedFailureReason().value_or("");
        auto info = mediatest::probe(path);
        ASSERT_TRUE(info.is_object());
        EXPECT_EQ(info["streams"][0]["width"], c.width);
        EXPECT_EQ(info["streams"][0]["nb_frames"], "4");
    }
}

TEST(AssetWriter, ScalesSourcesToOddOrDifferentOutputSizes)
{
    struct Case {
        std::string codec;
        int width, height;         // settings
        int encodedW, encodedH;    // what the file holds
    };
    // 4:2:0 codecs need even sizes; ProRes only an even width.
    const Case cases[] = {
        {AVVideoCodecTypeH264, 63, 47, 62, 46},
        {AVVideoCodecTypeHEVC, 32, 32, 32, 32},
        {AVVideoCodecTypeAppleProRes4444, 63, 47, 62, 47},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        MovieSpec recipe;
        recipe.fileType = AVFileTypeQuickTimeMovie;
        recipe.frames = 2;
        recipe.settings = mediatest::settingsFor(c.codec, c.width, c.height);
        recipe.settings.set(AVVideoScalingModeKey, AVVideoScalingModeResizeAspectFill);
        const auto path = dir / (c.codec + ".mov");
        auto error = mediatest::writeMovie(path, recipe);
        ASSERT_FALSE(error) << error->localizedFailureReason().value_or("");
        auto info = mediatest::probe(path);
        EXPECT_EQ(info["streams"][0]["width"], c.encodedW);
        EXPECT_EQ(info["streams"][0]["height"], c.encodedH);
    }
}

TEST(AssetWriter, ClipsShorterThanTheEncodersDelayGetSoundDecodeTimes)
{
    // x265 derives the decode times from its B-frame delay, which it learns from a frame that a
    // one- or two-frame clip never sends: it then hands out whatever its memory held, and the
    // muxer aborts. With two cores its threads leave that memory dirty after an H.264 movie, so
    // the writers run as they would on such a machine.
    cpu_set_t saved;
    ASSERT_EQ(::sched_getaffinity(0, sizeof saved, &saved), 0);
    cpu_set_t two;
    CPU_ZERO(&two);
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu)
        if (CPU_ISSET(cpu, &saved)) {
            CPU_SET(cpu, &two);
            ++taken;
        }
    ASSERT_EQ(::sched_setaffinity(0, sizeof two, &two), 0);
    struct Restore {
        cpu_set_t* set;
        ~Restore() { ::sched_setaffinity(0, sizeof *set, set); }
    } restore{&saved};

    struct Case {
        std::string codec;
        int frames;
    };
    const Case cases[] = {
        {AVVideoCodecTypeH264, 2}, {AVVideoCodecTypeHEVC, 2}, {AVVideoCodecTypeHEVC, 1}, {AVVideoCodecTypeHEVC, 3},
    };
    testsupport::TempDir dir;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec + " " + std::to_string(c.frames) + " frames");
        MovieSpec recipe;
        recipe.fileType = AVFileTypeQuickTimeMovie;
        recipe.frames = c.frames;
        recipe.settings = mediatest::settingsFor(c.codec, 32, 32);
        const auto path = dir / (std::to_string(n++) + ".mov");
        auto error = mediatest::writeMovie(path, recipe);
        ASSERT_FALSE(error) << error->localizedFailureReason().value_or("");
        auto info = mediatest::probe(path, false, true);
        ASSERT_TRUE(info.is_object());
        ASSERT_EQ(info["packets"].size(), static_cast<size_t>(c.frames));
        // Every time lies within the clip (frames 1/10 s apart, decoding at most two frames
        // ahead), and decoding runs forwards.
        double last = -1.0;
        for (const auto& packet : info["packets"]) {
            const double dts = std::stod(packet["dts_time"].get<std::string>());
            const double pts = std::stod(packet["pts_time"].get<std::string>());
            EXPECT_GE(pts, 0.0);
            EXPECT_LT(pts, 0.1 * c.frames);
            EXPECT_GE(dts, -0.25);
            EXPECT_LT(dts, 0.1 * c.frames);
            EXPECT_GT(dts, last);
            last = dts;
        }
    }
}

TEST(AssetWriter, PinsAFewSourceBuffersHoweverManyFramesAreAppended)
{
    // Every source frame the writer keeps is a whole picture (96 MB for a 24-megapixel photo),
    // so a producer faster than the encoder must be held back, not queued behind it.
    testsupport::TempDir dir;
    std::atomic<int> live{0};
    int mostLive = 0;
    {
        Harness h(dir / "pinned.mov");
        ASSERT_TRUE(h.writer->startWriting());
        h.writer->startSessionAtSourceTime(Time::zero());
        for (int i = 0; i < 24; ++i) {
            auto frame = mediatest::makeFrame(64, 48, PixelFormatType_32BGRA, i);
            ++live;
            auto tracked = PixelBuffer::createWithBytes(64, 48, PixelFormatType_32BGRA, frame->baseAddress(),
                                                        frame->bytesPerRow(), [frame, &live] { --live; });
            ASSERT_TRUE(tracked);
            ASSERT_TRUE(h.adaptor->appendPixelBuffer(tracked, Time::make(i, 24)));
            tracked.reset();
            mostLive = std::max(mostLive, live.load());
        }
        h.input->markAsFinished();
        EXPECT_TRUE(h.finish());
        EXPECT_EQ(h.writer->status(), AssetWriter::Status::Completed);
        EXPECT_EQ(live.load(), 0) << "a completed movie keeps none of its frames";
    }
    // One waiting, one being converted, and the first frame until the second gives its duration.
    EXPECT_LE(mostLive, 3);
    EXPECT_EQ(mediatest::probe(dir / "pinned.mov")["streams"][0]["nb_frames"], "24");
}
