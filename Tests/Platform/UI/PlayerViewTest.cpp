// The player view draws the player's current frame into a rendered window.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"
#include "Platform/Media/VideoSettings.h"
#include "Platform/UI/PlayerView.h"
#include "Tests/Platform/UI/UITestSupport.h"
#include "Tests/Support/TempDir.h"

using graphics::Rect;
using namespace ui;

namespace {

// Two 64x48 frames of 1/10 s: solid red, then solid blue.
std::filesystem::path writeRedThenBlue(const testsupport::TempDir& dir)
{
    using namespace media;
    const auto path = dir / "redblue.mov";
    auto writer = AssetWriter::assetWriterWithURL(foundation::URL::fileURLWithPath(path.string()), AVFileTypeQuickTimeMovie);
    auto input = AssetWriterInput::assetWriterInputWithMediaType(
        AVMediaTypeVideo, foundation::Value::dictionary({{AVVideoCodecKey, AVVideoCodecTypeH264},
                                                         {AVVideoWidthKey, 64},
                                                         {AVVideoHeightKey, 48}}));
    auto adaptor = AssetWriterInputPixelBufferAdaptor::assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
        input, foundation::Value::dictionary({{kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(PixelFormatType_32BGRA)}}));
    writer->addInput(input);
    EXPECT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(Time::zero());
    for (int i = 0; i < 2; ++i) {
        auto frame = PixelBuffer::create(64, 48, PixelFormatType_32BGRA);
        auto* p = static_cast<uint8_t*>(frame->baseAddress());
        for (size_t row = 0; row < 48; ++row)
            for (size_t col = 0; col < 64; ++col) {
                uint8_t* px = p + row * frame->bytesPerRow() + col * 4;
                px[0] = i == 0 ? 0 : 255; // B
                px[1] = 0;
                px[2] = i == 0 ? 255 : 0; // R
                px[3] = 255;
            }
        EXPECT_TRUE(adaptor->appendPixelBuffer(frame, Time::make(i, 10)));
    }
    input->markAsFinished();
    std::promise<void> done;
    writer->finishWritingWithCompletionHandler([&] { done.set_value(); });
    EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return path;
}

class PlayerViewTest : public uitest::UITest { };

TEST_F(PlayerViewTest, RenderedWindowShowsTheCurrentFrameFittedOverBlack)
{
    testsupport::TempDir dir;
    const auto movie = writeRedThenBlue(dir);
    auto window = makeWindow(200, 100);
    auto view = PlayerView::initWithFrame(Rect::make(0, 0, 200, 100));
    window->setContentView(view);

    auto colourAt = [&](size_t x, size_t y) {
        auto image = window->renderImage();
        EXPECT_TRUE(image);
        const double scale = static_cast<double>(image->width()) / 200.0;
        return image->pixelAt(static_cast<size_t>(x * scale), static_cast<size_t>(y * scale));
    };

    // No player: black.
    EXPECT_LT(colourAt(100, 50).r, 10);

    std::vector<media::PlayerItemStatus> statuses;
    auto token = view->addObserver("player.currentItem.status", foundation::KeyValueObservingOptionNew,
                                   [&](const foundation::KeyValueChange& change) {
                                       if (auto s = change.newAs<media::PlayerItemStatus>())
                                           statuses.push_back(*s);
                                   });
    view->setPlayer(media::Player::playerWithURL(foundation::URL::fileURLWithPath(movie.string())));
    ASSERT_TRUE(runUntil([&] { return !statuses.empty() && statuses.back() != media::PlayerItemStatus::unknown; }));
    EXPECT_EQ(statuses.back(), media::PlayerItemStatus::readyToPlay);

    // 64x48 fitted into 200x100 is 133x100, centred: black bars left and right.
    auto first = colourAt(100, 50);
    EXPECT_GT(first.r, 200);
    EXPECT_LT(first.b, 60);
    EXPECT_LT(colourAt(10, 50).r, 10);
    EXPECT_LT(colourAt(190, 50).r, 10);

    // Playing on the clock brings the second frame.
    dispatch::Clock::setVirtual(true);
    view->player()->play();
    dispatch::Clock::advance(0.15);
    view->player()->pause();
    dispatch::Clock::setVirtual(false);
    auto second = colourAt(100, 50);
    EXPECT_GT(second.b, 200);
    EXPECT_LT(second.r, 60);

    // Filling crops instead: the frame reaches the edges.
    view->setVideoGravity(VideoGravity::resizeAspectFill);
    EXPECT_GT(colourAt(10, 50).b, 200);
    EXPECT_EQ(view->videoRectForFrameSize({64, 48}), Rect::make(0, -25, 200, 150));
}

} // namespace
