#pragma once
// A crash report of the size a hostile or very unlucky process leaves (a hundred thousand images
// and as many frames, about 1.8 MB), packed with the schema's own message types, with the image
// every frame lies in known by construction.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/mvcrash_report.pb-c.h"

namespace testsupport {

struct LargeReportFixture {
    // Small numbers and empty names keep it small: an image is told by its base address.
    static constexpr std::uint64_t kFirstBase = 0x100000;
    static constexpr std::uint64_t kStride = 0x100; // images are 0x7f long: a gap follows each
    static constexpr std::uint64_t kImageSize = 0x7f;

    std::size_t imageCount, frameCount;
    std::vector<Mvcrash__CrashReport__BinaryImage> images;
    std::vector<Mvcrash__CrashReport__BinaryImage*> imagePointers;
    std::vector<Mvcrash__CrashReport__Thread__StackFrame> frames;
    std::vector<Mvcrash__CrashReport__Thread__StackFrame*> framePointers;
    std::vector<std::size_t> frameImage; // the image of each frame, or SIZE_MAX for a gap
    Mvcrash__CrashReport report = MVCRASH__CRASH_REPORT__INIT;
    Mvcrash__CrashReport__SystemInfo system = MVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Mvcrash__CrashReport__ApplicationInfo app = MVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Mvcrash__CrashReport__Signal signal = MVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Mvcrash__CrashReport__Thread thread = MVCRASH__CRASH_REPORT__THREAD__INIT;
    Mvcrash__CrashReport__Thread* threads[1] = { &thread };

    static std::uint64_t baseOf(std::size_t image) { return kFirstBase + image * kStride; }

    // Images in a shuffled order (the report's order is not the address order); frame j lies in
    // image (j * 7919) % imageCount at an offset that varies, except every 1000th frame, which
    // lies in the gap after its image.
    explicit LargeReportFixture(std::size_t imageCount = 100000, std::size_t frameCount = 100000)
        : imageCount(imageCount), frameCount(frameCount), images(imageCount), imagePointers(imageCount),
          frames(frameCount), framePointers(frameCount), frameImage(frameCount)
    {
        for (std::size_t k = 0; k < imageCount; ++k) {
            const std::size_t image = (k * 104729) % imageCount; // 104729 is prime: a permutation
            images[k] = MVCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
            images[k].base_address = baseOf(image);
            images[k].size = kImageSize;
            images[k].name = const_cast<char*>("");
            imagePointers[k] = &images[k];
        }
        for (std::size_t j = 0; j < frameCount; ++j) {
            const std::size_t image = (j * 7919) % imageCount;
            frames[j] = MVCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
            const bool gap = j % 1000 == 999;
            frames[j].pc = baseOf(image) + (gap ? kImageSize + j % 0x80 : j % kImageSize);
            frameImage[j] = gap ? SIZE_MAX : image;
            framePointers[j] = &frames[j];
        }
        system.os_version = const_cast<char*>("12.0");
        system.architecture = MVCRASH__ARCHITECTURE__X86_64;
        system.timestamp = 1700000000;
        app.identifier = const_cast<char*>("com.movara.test");
        app.version = const_cast<char*>("7");
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("SEGV_MAPERR");
        thread.crashed = true;
        thread.n_frames = frameCount;
        thread.frames = framePointers.data();
        report.system_info = &system;
        report.application_info = &app;
        report.signal = &signal;
        report.n_threads = 1;
        report.threads = threads;
        report.n_binary_images = imageCount;
        report.binary_images = imagePointers.data();
    }

    std::vector<std::uint8_t> bytes() const
    {
        std::vector<std::uint8_t> out(8 + mvcrash__crash_report__get_packed_size(&report));
        std::memcpy(out.data(), "mvcrash", 7);
        out[7] = 1;
        mvcrash__crash_report__pack(&report, out.data() + 8);
        return out;
    }
};

} // namespace testsupport
