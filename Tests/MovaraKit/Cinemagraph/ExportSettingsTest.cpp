// The cinemagraph value's render size, the export settings, the destinations' export presets
// and the export settings controller.
#include "MovaraKit/Cinemagraph/CinemagraphExportSettingsController.h"
#include "MovaraKit/Cinemagraph/MVRCinemagraph.h"
#include "MovaraKit/Cinemagraph/MVRExportPreset.h"
#include "MovaraKit/Cinemagraph/MVRExportSettings.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "MovaraKit/Media/DeviceCapabilities.h"
#include "Platform/Images/UTType.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"
#include "Tests/Support/FilterFixtures.h"
#include "Tests/Support/TempDir.h"

namespace {

// A one-second movie of `width` x `height` at 10 frames a second, tagged with a quarter turn
// when asked.
std::shared_ptr<media::Asset> movie(const testsupport::TempDir& dir, int width, int height, bool quarterTurn = false)
{
    const auto name = "movie-" + std::to_string(width) + "x" + std::to_string(height);
    const auto plain = dir.path() / (name + ".mp4"), path = dir.path() / (name + (quarterTurn ? "-turned.mp4" : ".mp4"));
    EXPECT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=" + std::to_string(width) + "x"
                               + std::to_string(height) + ":rate=10 -t 1 -c:v libx264 -pix_fmt yuv420p '" + plain.string()
                               + "'"));
    // The turn is a tag of the stream, written without encoding again.
    if (quarterTurn) {
        EXPECT_TRUE(movietest::run("ffmpeg -loglevel error -y -i '" + plain.string() + "' -c copy -metadata:s:v:0 rotate=90 '"
                                   + path.string() + "'"));
    }
    return media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string()));
}

MVRCinemagraphPtr cinemagraph(std::shared_ptr<media::Asset> asset, std::optional<media::VideoComposition> composition = {},
                              const MVRFilterGraph* graph = nullptr, graphics::FilterImagePtr still = nullptr,
                              const graphics::AffineTransform& transform = {}, uint64_t loopMode = 0)
{
    auto fresh = MVRFilterGraph::init();
    return MVRCinemagraph::initWithAsset(std::move(asset), std::move(composition), nullptr, std::move(still),
                                         graph ? *graph : *fresh, loopMode, transform);
}

} // namespace

TEST(MVRCinemagraph, RenderSizeFollowsOrientationCropTransformAndScale)
{
    testsupport::TempDir dir;
    auto turned = cinemagraph(movie(dir, 64, 36, true));
    EXPECT_EQ(turned->renderSizeForScale(1), (graphics::Size{36, 64}));
    EXPECT_EQ(turned->renderSizeForScale(0.5), (graphics::Size{18, 32}));
    EXPECT_EQ(turned->renderSizeForScale(2), (graphics::Size{36, 64}));
    EXPECT_EQ(turned->renderSizeForScale(-1), (graphics::Size{36, 64}));

    auto plain = movie(dir, 64, 36);
    // A composition's render size wins over the track's; odd sizes come out even.
    media::VideoComposition composition;
    composition.renderSize = {1001, 601};
    EXPECT_EQ(cinemagraph(plain, composition)->renderSizeForScale(1), (graphics::Size{1002, 602}));
    // A quarter-turn output transform swaps the sides.
    EXPECT_EQ(cinemagraph(plain, {}, nullptr, nullptr, graphics::AffineTransform::makeRotation(M_PI / 2))
                  ->renderSizeForScale(1),
              (graphics::Size{36, 64}));
    // A crop drawn on a still of half the movie's size is the same part of the movie.
    auto graph = MVRFilterGraph::init();
    graph->setCropRect(graphics::Rect::make(4, 2, 16, 10));
    EXPECT_EQ(cinemagraph(plain, {}, graph.get(), filtertest::solid(32, 18, {1, 2, 3, 255}))->renderSizeForScale(1),
              (graphics::Size{32, 20}));
    // Without a still image the crop has nothing to be measured against: it is ignored.
    EXPECT_EQ(cinemagraph(plain, {}, graph.get())->renderSizeForScale(1), (graphics::Size{64, 36}));

    // The value keeps its own graph.
    auto value = cinemagraph(plain, {}, graph.get());
    graph->setCropRect(graphics::Rect::null());
    EXPECT_FALSE(value->filterGraph()->cropRect().isNull());
    EXPECT_EQ(value->copy(), value);
    EXPECT_TRUE(value->isReverseLoopEnabled());
    EXPECT_FALSE(cinemagraph(plain, {}, nullptr, nullptr, {}, 2)->isReverseLoopEnabled());
}

TEST(MVRExportSettings, ScaleConstraint)
{
    struct Case {
        graphics::Size size;
        double scale;
    } cases[] = {{{1920, 1080}, 1.0}, {{5000, 3000}, 0.72}, {{3000, 5000}, 0.72}, {{4096, 2160}, 1.0}, {{4000, 4000}, 0.54}};
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(MVRScaleConstrainingSizeToSize(c.size, {4096, 2160}), c.scale) << c.size.width;
}

TEST(MVRExportSettings, UploadSettingsFitTheLimits)
{
    testsupport::TempDir dir;
    media::VideoComposition large;
    large.renderSize = {5000, 3000};
    auto settings = MVRExportSettings::uploadSettingsForCinemagraph(*cinemagraph(movie(dir, 64, 36), large));
    EXPECT_EQ(settings->type(), DeviceCapabilities::isHEVCEncodingEnabled() ? uint64_t(MVRRenderTypeHEVC) : uint64_t(MVRRenderTypeH264));
    EXPECT_DOUBLE_EQ(settings->scale(), 0.72);
    EXPECT_EQ(settings->repeatCount(), 1u);
    EXPECT_FALSE(settings->frameDuration().isValid());
}

TEST(MVRExportSettings, FileTypesEqualityAndDescriptions)
{
    struct Case {
        uint64_t type;
        const std::string& fileType;
    } cases[] = {{0, media::AVFileTypeMPEG4},          {1, media::AVFileTypeQuickTimeMovie},
                 {2, media::AVFileTypeQuickTimeMovie}, {3, images::kUTTypeGIF},
                 {4, images::kUTTypeFolder},           {5, media::AVFileTypeMPEG4},
                 {9, media::AVFileTypeMPEG4}};
    for (const auto& c : cases)
        EXPECT_EQ(MVRExportSettings::settingsWithType(c.type, 1, 1)->fileType(), c.fileType) << c.type;

    auto a = MVRExportSettings::settingsWithType(4, 0.5, media::Time::make(1, 30), 2, 1, 0.5);
    auto b = MVRExportSettings::settingsWithType(4, 0.5, media::Time::make(1, 30), 2, 1, 0.6);
    EXPECT_FALSE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
    EXPECT_TRUE(MVRExportSettings::settingsWithType(0, 1, 3)->isEqual(*MVRExportSettings::settingsWithType(0, 1, 3)));
    EXPECT_FALSE(MVRExportSettings::settingsWithType(0, 1, 3)->frameDuration().isValid());
    EXPECT_EQ(a->copy(), a);

    EXPECT_NE(a->description().find("type: Image Sequence (JPEG; quality: 0.500000); fileType: public.folder; scale: 0.500000"),
              std::string::npos)
        << a->description();
    EXPECT_NE(MVRExportSettings::settingsWithType(4, 1, 1)->description().find("Image Sequence (INVALID)"), std::string::npos);
    EXPECT_NE(MVRExportSettings::settingsWithType(7, 1, 1)->description().find("type: INVALID"), std::string::npos);
}

TEST(MVRExportPreset, StandardTable)
{
    const auto& presets = MVRExportPreset::standardPresets();
    ASSERT_EQ(presets.size(), 8u);
    EXPECT_EQ(&presets, &MVRExportPreset::standardPresets());
    // Every caller shares the table, so nobody may change it for the others; a caller that
    // wants to adjust a preset edits its own copy.
    static_assert(std::is_const_v<std::remove_reference_t<decltype(*presets[0])>>);
    MVRExportPreset mine = *presets[5];
    mine.maxDuration = 1;
    EXPECT_EQ(presets[5]->maxDuration, 60);
    const std::string identifiers[] = {"default", "facebook", "facebook profile", "facebook ad", "facebook cover video",
                                       "instagram", "twitter", "snapchat"};
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(presets[i]->identifier, identifiers[i]);
    EXPECT_EQ(presets[0]->localizedName, "Default");
    EXPECT_EQ(presets[2]->localizedName, "Facebook Profile Video");

    const auto& instagram = *presets[5];
    struct Scale {
        const MVRExportPreset& preset;
        graphics::Size size;
        double scale;
    } scales[] = {
        {instagram, {3840, 2160}, 0.5},  {instagram, {1080, 1920}, 1.0}, {instagram, {2000, 2000}, 0.54},
        {*presets[0], {9000, 100}, 1.0}, {*presets[1], {9000, 100}, 1.0}, {*presets[3], {9000, 100}, 1.0},
        {*presets[4], {1640, 924}, 0.5},
    };
    for (const auto& s : scales)
        EXPECT_DOUBLE_EQ(s.preset.scaleForSize(s.size), s.scale) << s.preset.identifier << " " << s.size.width;

    struct Repeat {
        const MVRExportPreset& preset;
        double duration;
        uint64_t count;
    } repeats[] = {
        {instagram, 3, 4}, {instagram, 20, 3}, {instagram, 61, 1}, {*presets[4], 4, 22},
        {*presets[0], 2, 1}, {*presets[7], 9.9, 1}, {instagram, 0, 1}, {instagram, -3, 1},
    };
    for (const auto& r : repeats)
        EXPECT_EQ(r.preset.repeatCountFor(r.duration), r.count) << r.preset.identifier << " " << r.duration;
}

TEST(CinemagraphExportSettingsController, KeepsChoicesConsistent)
{
    testsupport::TempDir dir;
    auto asset = movie(dir, 64, 36);
    auto controller = CinemagraphExportSettingsController::initWithCinemagraph(cinemagraph(asset), media::Time::make(3, 1));
    EXPECT_EQ(controller->unscaledRenderSize(), (graphics::Size{64, 36}));

    for (auto [value, stored] : {std::pair{0.05, 0.1}, std::pair{1.5, 1.0}, std::pair{0.5, 0.5}}) {
        controller->setScale(value);
        EXPECT_EQ(controller->scale(), stored);
    }
    controller->setWidth(32);
    EXPECT_EQ(controller->scale(), 0.5);
    EXPECT_EQ(controller->height(), 18);
    controller->setWidth(128);
    EXPECT_EQ(controller->scale(), 1.0);

    int widthChanges = 0;
    auto token = controller->addObserver("width", foundation::KeyValueObservingOptionNew,
                                         [&](const foundation::KeyValueChange&) { ++widthChanges; });
    controller->setRepeatCount(3);
    controller->setFormat(MVRRenderTypeGIF);
    EXPECT_EQ(controller->scale(), 0.25);
    EXPECT_EQ(controller->repeatCount(), 1u);
    EXPECT_GE(widthChanges, 1); // width follows the scale
    controller->setFormat(MVRRenderTypeImageSequence);
    EXPECT_EQ(controller->scale(), 1.0);
    controller->setRepeatCount(2);
    controller->setFormat(MVRRenderTypeH264);
    EXPECT_EQ(controller->repeatCount(), 2u);

    controller->setScale(0.3);
    controller->setNilValueForKey("width");
    EXPECT_EQ(controller->scale(), 1.0);
    EXPECT_THROW(controller->setNilValueForKey("format"), foundation::Exception);

    // Frames of one pass: the chosen rate, else the movie's own (10 a second here).
    EXPECT_EQ(controller->imageSequenceFrameCount(), 30u);
    controller->setFrameDuration(media::Time::make(1, 30));
    EXPECT_EQ(controller->imageSequenceFrameCount(), 90u);
    auto shortOne = CinemagraphExportSettingsController::initWithCinemagraph(cinemagraph(asset),
                                                                             media::Time::makeWithSeconds(0.31, 600));
    shortOne->setFrameDuration(media::Time::make(1, 30));
    EXPECT_EQ(shortOne->imageSequenceFrameCount(), 10u);

    controller->setImageSequenceType(MVRImageSequenceTypeJPEG);
    controller->setImageSequenceCompressionQuality(0.7);
    auto settings = controller->exportSettings();
    EXPECT_TRUE(settings->isEqual(*MVRExportSettings::settingsWithType(0, 1.0, media::Time::make(1, 30), 2, 1, 0.7)));
}

TEST(CinemagraphExportSettingsController, AppliesPresets)
{
    testsupport::TempDir dir;
    media::VideoComposition large;
    large.renderSize = {3840, 2160};
    auto controller = CinemagraphExportSettingsController::initWithCinemagraph(cinemagraph(movie(dir, 64, 36), large),
                                                                               media::Time::make(3, 1));
    controller->setFormat(MVRRenderTypeGIF);
    controller->applyPreset(*MVRExportPreset::standardPresets()[5]); // Instagram
    EXPECT_EQ(controller->format(), uint64_t(MVRRenderTypeH264));
    EXPECT_EQ(controller->frameDuration(), media::Time::make(1, 30));
    EXPECT_EQ(controller->scale(), 0.5);
    EXPECT_EQ(controller->repeatCount(), 4u);

    controller->applyPreset(*MVRExportPreset::standardPresets()[0]);
    EXPECT_EQ(controller->scale(), 1.0);
    EXPECT_FALSE(controller->frameDuration().isValid());
    EXPECT_EQ(controller->repeatCount(), 1u);
}
