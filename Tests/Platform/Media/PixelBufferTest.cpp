#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Media/SampleBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using namespace media;

namespace {

bool aligned64(const void* p) { return reinterpret_cast<uintptr_t>(p) % 64 == 0; }

const OSType k420v = PixelFormatType_420YpCbCr8BiPlanarVideoRange;
const OSType k420f = PixelFormatType_420YpCbCr8BiPlanarFullRange;

} // namespace

TEST(PixelBuffer, FormatCodesAreThePlatforms)
{
    EXPECT_EQ(PixelFormatType_32ARGB, 32u);
    EXPECT_EQ(k420v, 875704438u);
    EXPECT_EQ(k420f, 875704422u);
    EXPECT_EQ(PixelFormatType_32BGRA, 0x42475241u);
    EXPECT_EQ(pixelFormatName(k420v), "420v");
}

TEST(PixelBuffer, PlaneLayoutsHaveAlignedRowsLargeEnoughForThePixels)
{
    struct Case {
        OSType format;
        size_t w, h;
        size_t planeCount;
        std::vector<std::pair<size_t, size_t>> planeSizes; // width, height of each plane
        std::vector<size_t> bytesPerPixel;
    } cases[] = {
        {PixelFormatType_32ARGB, 3, 2, 0, {{3, 2}}, {4}},
        {PixelFormatType_32BGRA, 1920, 1080, 0, {{1920, 1080}}, {4}},
        {k420v, 5, 3, 2, {{5, 3}, {3, 2}}, {1, 2}}, // odd sizes round the chroma plane up
        {k420f, 2, 2, 2, {{2, 2}, {1, 1}}, {1, 2}},
        {PixelFormatType_420YpCbCr8PlanarVideoRange, 5, 3, 3, {{5, 3}, {3, 2}, {3, 2}}, {1, 1, 1}},
        {PixelFormatType_422YpCbCr10PlanarVideoRange, 5, 3, 3, {{5, 3}, {3, 3}, {3, 3}}, {2, 2, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(pixelFormatName(c.format) + " " + std::to_string(c.w) + "x" + std::to_string(c.h));
        auto b = PixelBuffer::create(c.w, c.h, c.format);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->planeCount(), c.planeCount);
        EXPECT_EQ(b->isPlanar(), c.planeCount > 0);
        for (size_t p = 0; p < c.planeSizes.size(); ++p) {
            void* base = c.planeCount ? b->baseAddressOfPlane(p) : b->baseAddress();
            size_t bpr = c.planeCount ? b->bytesPerRowOfPlane(p) : b->bytesPerRow();
            ASSERT_TRUE(base);
            EXPECT_TRUE(aligned64(base));
            EXPECT_EQ(bpr % 64, 0u);
            EXPECT_GE(bpr, c.planeSizes[p].first * c.bytesPerPixel[p]);
            EXPECT_EQ(b->bytesPerPixelOfPlane(p), c.bytesPerPixel[p]);
            if (c.planeCount) {
                EXPECT_EQ(b->widthOfPlane(p), c.planeSizes[p].first);
                EXPECT_EQ(b->heightOfPlane(p), c.planeSizes[p].second);
            }
            // Every byte of the plane is writable (ASan checks the bounds).
            std::memset(base, 0x7f, bpr * c.planeSizes[p].second);
        }
        for (size_t p = 1; p < c.planeCount; ++p) { // planes do not overlap
            auto* before = static_cast<uint8_t*>(b->baseAddressOfPlane(p - 1));
            auto* plane = static_cast<uint8_t*>(b->baseAddressOfPlane(p));
            EXPECT_GE(plane, before + b->bytesPerRowOfPlane(p - 1) * c.planeSizes[p - 1].second);
        }
        EXPECT_EQ(b->baseAddressOfPlane(5), nullptr);
    }
}

TEST(PixelBuffer, CreateRefusesBadSizesAndFormats)
{
    struct Case {
        size_t w, h;
        OSType format;
        PixelBufferReturn expected;
    } cases[] = {
        {0, 10, PixelFormatType_32ARGB, ReturnInvalidSize},
        {10, 0, k420v, ReturnInvalidSize},
        {10, 10, fourCC("abcd"), ReturnInvalidPixelFormat},
        {size_t(1) << 40, 2, PixelFormatType_32ARGB, ReturnInvalidArgument}, // would overflow
    };
    for (const auto& c : cases) {
        PixelBufferReturn rc = ReturnSuccess;
        EXPECT_EQ(PixelBuffer::create(c.w, c.h, c.format, {}, &rc), nullptr);
        EXPECT_EQ(rc, c.expected);
    }
}

TEST(PixelBuffer, WrappedMemoryIsReleasedExactlyOnceAndOnlyWhenWrapped)
{
    std::vector<uint8_t> pixels(4 * 4 * 3);
    int releases = 0;
    {
        auto b = PixelBuffer::createWithBytes(4, 3, PixelFormatType_32ARGB, pixels.data(), 16, [&] { ++releases; });
        ASSERT_TRUE(b);
        EXPECT_EQ(b->baseAddress(), pixels.data());
        EXPECT_EQ(b->bytesPerRow(), 16u); // the caller's row length, unaligned
        auto second = b;                  // more owners, still one release
        b.reset();
        EXPECT_EQ(releases, 0);
    }
    EXPECT_EQ(releases, 1);

    // Refusals leave the memory with the caller.
    PixelBufferReturn rc = ReturnSuccess;
    EXPECT_FALSE(PixelBuffer::createWithBytes(4, 3, PixelFormatType_32ARGB, pixels.data(), 15, [&] { ++releases; },
                                              {}, &rc));
    EXPECT_EQ(rc, ReturnInvalidArgument);
    EXPECT_FALSE(PixelBuffer::createWithBytes(4, 3, k420v, pixels.data(), 16, [&] { ++releases; }));
    EXPECT_FALSE(PixelBuffer::createWithBytes(4, 3, PixelFormatType_32ARGB, nullptr, 16, [&] { ++releases; }));
    EXPECT_FALSE(PixelBuffer::createWithPlanarBytes(4, 2, k420v, {{pixels.data(), 4}}, [&] { ++releases; }));
    EXPECT_EQ(releases, 1);

    auto planar = PixelBuffer::createWithPlanarBytes(4, 2, k420v, {{pixels.data(), 4}, {pixels.data() + 8, 4}},
                                                     [&] { ++releases; });
    ASSERT_TRUE(planar);
    EXPECT_EQ(planar->baseAddressOfPlane(1), pixels.data() + 8);
    planar.reset();
    EXPECT_EQ(releases, 2);
}

TEST(PixelBuffer, LocksNestAndMustBeBalancedWithTheSameFlags)
{
    auto b = PixelBuffer::create(2, 2, PixelFormatType_32BGRA);
    EXPECT_EQ(b->unlockBaseAddress(), ReturnInvalidArgument);
    EXPECT_EQ(b->lockBaseAddress(PixelBufferLockReadOnly), ReturnSuccess);
    EXPECT_EQ(b->unlockBaseAddress(0), ReturnInvalidArgument); // read-only lock needs a read-only unlock
    EXPECT_EQ(b->lockBaseAddress(), ReturnSuccess);
    EXPECT_TRUE(b->isLocked());
    EXPECT_EQ(b->unlockBaseAddress(PixelBufferLockReadOnly), ReturnSuccess);
    EXPECT_TRUE(b->isLocked());
    EXPECT_EQ(b->unlockBaseAddress(), ReturnSuccess);
    EXPECT_FALSE(b->isLocked());
    {
        PixelBufferLock scoped(*b, PixelBufferLockReadOnly);
        EXPECT_TRUE(b->isLocked());
    }
    EXPECT_FALSE(b->isLocked());
}

TEST(PixelBuffer, AttachmentsKeepTheirModeAndOnlyPropagatingOnesAreCopied)
{
    auto src = PixelBuffer::create(2, 2, PixelFormatType_32ARGB);
    auto dst = PixelBuffer::create(2, 2, k420v);
    const std::vector<uint8_t> icc{1, 2, 3};
    src->setAttachment(kCVImageBufferICCProfileKey, icc, AttachmentMode::ShouldPropagate);
    src->setAttachment(kCVImageBufferColorPrimariesKey, kCVImageBufferColorPrimaries_ITU_R_709_2,
                       AttachmentMode::ShouldNotPropagate);
    dst->setAttachment("Mine", int64_t(7), AttachmentMode::ShouldNotPropagate);

    AttachmentMode mode = AttachmentMode::ShouldPropagate;
    ASSERT_TRUE(src->attachment(kCVImageBufferColorPrimariesKey, &mode));
    EXPECT_EQ(mode, AttachmentMode::ShouldNotPropagate);
    EXPECT_EQ(std::get<std::string>(*src->attachment(kCVImageBufferColorPrimariesKey)), "ITU_R_709_2");

    src->propagateAttachments(*dst);
    ASSERT_TRUE(dst->attachment(kCVImageBufferICCProfileKey, &mode));
    EXPECT_EQ(std::get<std::vector<uint8_t>>(*dst->attachment(kCVImageBufferICCProfileKey)), icc);
    EXPECT_EQ(mode, AttachmentMode::ShouldPropagate);
    EXPECT_FALSE(dst->attachment(kCVImageBufferColorPrimariesKey));
    EXPECT_TRUE(dst->attachment("Mine")); // the destination's own stay

    // Attaching a key again in the other mode moves it rather than duplicating it.
    src->setAttachment(kCVImageBufferICCProfileKey, icc, AttachmentMode::ShouldNotPropagate);
    EXPECT_TRUE(src->attachments(AttachmentMode::ShouldPropagate).empty());
    EXPECT_EQ(src->attachments(AttachmentMode::ShouldNotPropagate).size(), 2u);
    src->removeAttachment(kCVImageBufferICCProfileKey);
    EXPECT_FALSE(src->attachment(kCVImageBufferICCProfileKey));
    src->removeAllAttachments();
    EXPECT_TRUE(src->attachments(AttachmentMode::ShouldNotPropagate).empty());
}

TEST(PixelBuffer, ColourSpaceIsDerivedFromAProfileOrPrimariesWithTransferFunction)
{
    struct Case {
        std::vector<std::string> keys;
        bool hasColourSpace;
    } cases[] = {
        {{}, false},
        {{kCVImageBufferYCbCrMatrixKey}, false},
        {{kCVImageBufferColorPrimariesKey}, false},
        {{kCVImageBufferColorPrimariesKey, kCVImageBufferTransferFunctionKey}, true},
        {{kCVImageBufferICCProfileKey}, true},
    };
    for (const auto& c : cases) {
        auto b = PixelBuffer::create(1, 1, PixelFormatType_32ARGB);
        for (const auto& k : c.keys)
            b->setAttachment(k, std::string("ITU_R_709_2"), AttachmentMode::ShouldNotPropagate);
        EXPECT_EQ(b->hasColorSpace(), c.hasColourSpace) << c.keys.size();
    }
}

TEST(PixelBufferPool, ReleasedBuffersAreReusedWithFreshAttachments)
{
    PixelBufferAttributes attrs;
    attrs.propagatedAttachments[kCVImageBufferYCbCrMatrixKey] = kCVImageBufferYCbCrMatrix_ITU_R_709_2;
    auto pool = PixelBufferPool::create({}, 16, 8, k420v, attrs);
    ASSERT_TRUE(pool);
    auto a = pool->createPixelBuffer();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->width(), 16u);
    EXPECT_EQ(a->pixelFormatType(), k420v);
    EXPECT_TRUE(a->attachment(kCVImageBufferYCbCrMatrixKey));
    a->setAttachment("frame", int64_t(1), AttachmentMode::ShouldPropagate);
    void* memory = a->baseAddressOfPlane(0);
    auto b = pool->createPixelBuffer();
    EXPECT_NE(b->baseAddressOfPlane(0), memory); // in use: not handed out twice

    a.reset();
    EXPECT_EQ(pool->freeBufferCount(), 1u);
    auto c = pool->createPixelBuffer();
    EXPECT_EQ(c->baseAddressOfPlane(0), memory);
    EXPECT_FALSE(c->attachment("frame"));
    EXPECT_TRUE(c->attachment(kCVImageBufferYCbCrMatrixKey));
    EXPECT_EQ(pool->freeBufferCount(), 0u);

    EXPECT_FALSE(PixelBufferPool::create({}, 0, 8, k420v));
}

TEST(PixelBufferPool, FlushKeepsTheMinimumAndBuffersMayOutliveThePool)
{
    auto pool = PixelBufferPool::create({.minimumBufferCount = 2}, 4, 4, PixelFormatType_32ARGB);
    std::vector<PixelBufferPtr> held;
    for (int i = 0; i < 4; ++i)
        held.push_back(pool->createPixelBuffer());
    held.resize(1); // three come back
    EXPECT_EQ(pool->freeBufferCount(), 3u);
    pool->flush(); // one in use + one free make the minimum of two
    EXPECT_EQ(pool->freeBufferCount(), 1u);

    pool.reset();
    std::memset(held[0]->baseAddress(), 1, held[0]->bytesPerRow() * 4);
    held.clear(); // returns to no pool: its memory is simply freed
}

TEST(PixelBufferPool, ManyThreadsTakeAndReturnBuffers)
{
    auto pool = PixelBufferPool::create({}, 8, 8, PixelFormatType_32BGRA);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto b = pool->createPixelBuffer();
                if (!b) {
                    ++failures;
                    continue;
                }
                auto* p = static_cast<uint8_t*>(b->baseAddress());
                p[0] = static_cast<uint8_t>(t);
                if (p[0] != t) // nobody else writes a buffer we hold
                    ++failures;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(pool->freeBufferCount(), 4u);
}

TEST(VideoFormatDescription, DescribesAnImageBufferAndItsColourTags)
{
    auto b = PixelBuffer::create(6, 4, PixelFormatType_32ARGB);
    const std::vector<uint8_t> icc{9, 9};
    b->setAttachment(kCVImageBufferICCProfileKey, icc, AttachmentMode::ShouldPropagate);
    b->setAttachment("Unrelated", true, AttachmentMode::ShouldPropagate);
    auto d = VideoFormatDescription::createForImageBuffer(*b);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->mediaType(), fourCC("vide"));
    EXPECT_EQ(d->codecType(), PixelFormatType_32ARGB);
    EXPECT_EQ(d->dimensions().width, 6);
    EXPECT_EQ(d->dimensions().height, 4);
    ASSERT_TRUE(d->extension(kCMFormatDescriptionExtension_ICCProfile));
    EXPECT_FALSE(d->extension("Unrelated"));
    EXPECT_TRUE(d->matchesImageBuffer(*b));

    struct Case {
        const char* name;
        PixelBufferPtr buffer;
    } mismatches[] = {
        {"other size", PixelBuffer::create(6, 5, PixelFormatType_32ARGB)},
        {"other format", PixelBuffer::create(6, 4, PixelFormatType_32BGRA)},
        {"no profile", PixelBuffer::create(6, 4, PixelFormatType_32ARGB)},
    };
    for (const auto& m : mismatches)
        EXPECT_FALSE(d->matchesImageBuffer(*m.buffer)) << m.name;

    auto other = PixelBuffer::create(6, 4, PixelFormatType_32ARGB);
    other->setAttachment(kCVImageBufferICCProfileKey, std::vector<uint8_t>{1}, AttachmentMode::ShouldPropagate);
    EXPECT_FALSE(d->matchesImageBuffer(*other));
    EXPECT_TRUE(d->equals(*VideoFormatDescription::createForImageBuffer(*b)));
    EXPECT_FALSE(VideoFormatDescription::create(VideoCodecType_H264, -1, 4));
}

TEST(SampleBuffer, HoldsAnImageWithTimingAndCopiesTakeNewTiming)
{
    auto b = PixelBuffer::create(4, 4, k420v);
    const SampleTimingInfo timing{Time::invalid(), Time::make(20, 600), Time::invalid()};
    auto s = SampleBuffer::createForImageBuffer(b, timing);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->imageBuffer(), b);
    EXPECT_EQ(s->presentationTimeStamp(), Time::make(20, 600));
    EXPECT_EQ(s->outputPresentationTimeStamp(), Time::make(20, 600));
    EXPECT_FALSE(s->duration().isValid());
    EXPECT_TRUE(s->formatDescription()->matchesImageBuffer(*b));
    s->setSampleAttachment(kCMSampleAttachmentKey_NotSync, true);

    auto copy = s->createCopyWithNewTiming({Time::make(1, 30), Time::make(1, 1), Time::invalid()});
    EXPECT_EQ(copy->imageBuffer(), b);
    EXPECT_EQ(copy->presentationTimeStamp(), Time::make(1, 1));
    EXPECT_EQ(copy->duration(), Time::make(1, 30));
    EXPECT_TRUE(copy->sampleAttachment(kCMSampleAttachmentKey_NotSync));
    EXPECT_EQ(s->presentationTimeStamp(), Time::make(20, 600)); // the original is untouched
}

TEST(SampleBuffer, RefusesAMissingBufferOrAMismatchedDescription)
{
    foundation::ErrorPtr error;
    EXPECT_FALSE(SampleBuffer::createForImageBuffer(nullptr, {}, &error));
    ASSERT_TRUE(error);
    error.reset();
    auto b = PixelBuffer::create(4, 4, PixelFormatType_32ARGB);
    EXPECT_FALSE(SampleBuffer::createForImageBuffer(b, VideoFormatDescription::create(VideoCodecType_H264, 4, 4), {},
                                                    &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), foundation::NSOSStatusErrorDomain);
}
