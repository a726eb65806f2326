#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "MovaraAppKit/CrashReporter/mvcrash_report.pb-c.h"
#include "Tests/MovaraAppKit/CrashReporter/LargeReportFixture.h"
#include "Tests/Support/TempDir.h"

namespace {

// A small valid report, built with the schema's own message types; tests change parts of it
// before packing.
struct ReportFixture {
    Mvcrash__CrashReport report = MVCRASH__CRASH_REPORT__INIT;
    Mvcrash__CrashReport__SystemInfo system = MVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Mvcrash__CrashReport__ApplicationInfo app = MVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Mvcrash__CrashReport__Signal signal = MVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Mvcrash__CrashReport__Signal__MachException mach = MVCRASH__CRASH_REPORT__SIGNAL__MACH_EXCEPTION__INIT;
    Mvcrash__CrashReport__Thread thread = MVCRASH__CRASH_REPORT__THREAD__INIT;
    Mvcrash__CrashReport__Thread* threads[1] = { &thread };
    Mvcrash__CrashReport__Thread__StackFrame frame = MVCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
    Mvcrash__CrashReport__Thread__StackFrame* frames[1] = { &frame };
    Mvcrash__CrashReport__Symbol symbol = MVCRASH__CRASH_REPORT__SYMBOL__INIT;
    Mvcrash__CrashReport__BinaryImage image = MVCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
    Mvcrash__CrashReport__BinaryImage* images[1] = { &image };
    Mvcrash__CrashReport__ReportInfo info = MVCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    Mvcrash__CrashReport__MachineInfo machine = MVCRASH__CRASH_REPORT__MACHINE_INFO__INIT;
    Mvcrash__CrashReport__Processor processor = MVCRASH__CRASH_REPORT__PROCESSOR__INIT;
    std::uint8_t uuid[32] = { 0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x5A, 0x93, 0xFC, 0x0C, 0x24, 0x7A, 0x3E, 0x6E, 0x5F };
    std::vector<std::uint64_t> codes;

    ReportFixture()
    {
        system.os_version = const_cast<char*>("12.0");
        system.architecture = MVCRASH__ARCHITECTURE__X86_64;
        system.timestamp = 1700000000;
        app.identifier = const_cast<char*>("com.movara.test");
        app.version = const_cast<char*>("7");
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("SEGV_MAPERR");
        signal.address = 0x10;
        frame.pc = 0x401010;
        symbol.name = const_cast<char*>("_main");
        symbol.start_address = 0x401000;
        frame.symbol = &symbol;
        thread.crashed = true;
        thread.n_frames = 1;
        thread.frames = frames;
        image.base_address = 0x400000;
        image.size = 0x2000;
        image.name = const_cast<char*>("/usr/bin/test");
        info.has_uuid = true;
        info.uuid = { 16, uuid };
        report.system_info = &system;
        report.application_info = &app;
        report.signal = &signal;
        report.n_threads = 1;
        report.threads = threads;
        report.n_binary_images = 1;
        report.binary_images = images;
        report.report_info = &info;
    }

    std::vector<std::uint8_t> bytes(std::uint8_t version = 1) const
    {
        std::vector<std::uint8_t> out(8 + mvcrash__crash_report__get_packed_size(&report));
        std::memcpy(out.data(), "mvcrash", 7);
        out[7] = version;
        mvcrash__crash_report__pack(&report, out.data() + 8);
        return out;
    }

    std::shared_ptr<MVCrashReport> decode(std::string* message = nullptr, std::uint8_t version = 1) const
    {
        foundation::ErrorPtr error;
        auto decoded = MVCrashReport::initWithData(bytes(version), &error);
        if (message)
            *message = error ? error->localizedDescription() : "";
        if (error) {
            EXPECT_EQ(error->domain(), MVCrashReporterErrorDomain);
            EXPECT_EQ(error->code(), MVCrashReporterErrorCrashReportInvalid);
        }
        return decoded;
    }
};

} // namespace

TEST(MVCrashReport, AValidReportDecodesIntoItsValues)
{
    ReportFixture f;
    auto report = f.decode();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->uuidRef()->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(report->systemInfo().operatingSystemVersion(), "12.0");
    EXPECT_EQ(report->systemInfo().operatingSystem(), MVCrashReportSystemInfo::Unknown);
    ASSERT_TRUE(report->systemInfo().timestamp());
    EXPECT_EQ(report->systemInfo().timestamp()->timeIntervalSince1970(), 1700000000);
    // Without machine info the processor comes from the architecture.
    EXPECT_EQ(report->systemInfo().processorInfo()->type(), 0x1000007u);
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_EQ(report->threads().at(0).stackFrames.at(0).symbolInfo->symbolName, "_main");
    EXPECT_EQ(report->images().at(0).imageName(), "/usr/bin/test");
    EXPECT_FALSE(report->images().at(0).hasImageUUID());
    EXPECT_FALSE(report->isTruncated());
    // The range is half-open.
    EXPECT_NE(report->imageForAddress(0x401FFF), nullptr);
    EXPECT_EQ(report->imageForAddress(0x402000), nullptr);
}

TEST(MVCrashReport, HeadersAndSectionsThatCannotBeTrustedAreRefused)
{
    struct Case {
        const char* what;
        void (*change)(ReportFixture&);
        std::uint8_t version;
        const char* message;
    };
    const Case cases[] = {
        { "version byte 2", [](ReportFixture&) {}, 2, "Could not decode unsupported crash report version: 2" },
        { "a 15-byte report UUID", [](ReportFixture& f) { f.info.uuid.len = 15; }, 1, "Report UUID value is not a standard 16 bytes" },
        { "no thread", [](ReportFixture& f) { f.report.n_threads = 0; }, 1, "Crash report is missing thread state information" },
        { "no image", [](ReportFixture& f) { f.report.n_binary_images = 0; }, 1, "Crash report is missing binary image information" },
        { "an unknown architecture", [](ReportFixture& f) { f.system.architecture = MVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN; }, 1, "Crash report has an unknown architecture" },
        { "an image range that wraps", [](ReportFixture& f) { f.image.base_address = UINT64_MAX - 0x10; }, 1, "Binary image address range passes the end of the address space" },
        { "an image UUID of 33 bytes", [](ReportFixture& f) { f.image.has_uuid = true; f.image.uuid = { 33, f.uuid }; }, 1, "Binary image UUID is longer than 32 bytes" },
        { "256 Mach codes", [](ReportFixture& f) {
              f.codes.assign(256, 1);
              f.mach.n_codes = f.codes.size();
              f.mach.codes = f.codes.data();
              f.signal.mach_exception = &f.mach;
          }, 1, "Crash report includes too many Mach Exception codes" },
    };
    for (const auto& c : cases) {
        ReportFixture f;
        c.change(f);
        std::string message;
        EXPECT_FALSE(f.decode(&message, c.version)) << c.what;
        EXPECT_EQ(message, c.message) << c.what;
    }
}

TEST(MVCrashReport, ShortAndForeignFilesAreRefused)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* message;
    };
    const Case cases[] = {
        { { 'm', 'v', 'c', 'r', 'a', 's', 'h', 1 }, "Could not decode truncated crash log" },
        { {}, "Could not decode truncated crash log" },
        { { 'p', 'l', 'c', 'r', 'a', 's', 'h', 1, 0 }, "Could not decode invalid crash log header" },
        { { 'm', 'v', 'c', 'r', 'a', 's', 'h', 1, 0x0A, 0xFF }, "An unknown error occured decoding the crash report" },
        // A system section and nothing else: the application and signal sections are required.
        { { 'm', 'v', 'c', 'r', 'a', 's', 'h', 1, 0x0A, 0x08, 0x12, 0x02, '1', '2', 0x18, 0x01, 0x20, 0x00 }, "An unknown error occured decoding the crash report" },
    };
    for (const auto& c : cases) {
        foundation::ErrorPtr error;
        EXPECT_FALSE(MVCrashReport::initWithData(c.bytes, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->localizedDescription(), c.message);
    }
}

TEST(MVCrashReport, ValuesAtTheEdgesOfWhatIsAccepted)
{
    ReportFixture f;
    f.codes.assign(255, 7);
    f.mach.type = 1;
    f.mach.n_codes = f.codes.size();
    f.mach.codes = f.codes.data();
    f.signal.mach_exception = &f.mach;
    f.system.timestamp = 0;
    f.image.has_uuid = true;
    f.image.uuid = { 20, f.uuid };
    f.app.identifier = const_cast<char*>("bad \xff\xfe text");
    auto report = f.decode();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->machExceptionInfo()->codes.size(), 255u);
    EXPECT_FALSE(report->systemInfo().timestamp());
    EXPECT_EQ(report->images()[0].imageUUID(), "e621e1f8c36c495a93fc0c247a3e6e5f00000000");
    EXPECT_EQ(report->applicationInfo().applicationIdentifier, "bad \xEF\xBF\xBD\xEF\xBF\xBD text");
}

TEST(MVCrashReport, TimestampsNoCalendarHoldsReadAsUnknown)
{
    const struct {
        int64_t timestamp;
        const char* dateTime;
    } cases[] = {
        { 1700000000, "2023-11-14 22:13:20 +0000" },
        { 253402300799, "9999-12-31 23:59:59 +0000" },
        { 253402300800, "???" },
        { INT64_MAX, "???" },
        { -1, "???" },
        { INT64_MIN, "???" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timestamp);
        ReportFixture f;
        f.system.timestamp = c.timestamp;
        auto report = f.decode();
        ASSERT_TRUE(report);
        const std::string text = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
        EXPECT_NE(text.find(std::string("Date/Time:       ") + c.dateTime + "\n"), std::string::npos) << text;
    }
}

TEST(MVCrashReport, PointerAuthenticationBitsAreClearedOnlyForThatProcessor)
{
    for (const bool arm64e : { true, false }) {
        ReportFixture f;
        f.processor.type = arm64e ? 0x100000C : 0x1000007;
        f.processor.subtype = arm64e ? 2 : 3;
        f.machine.processor = &f.processor;
        f.report.machine_info = &f.machine;
        f.frame.pc = 0x8000001234567ULL;
        auto report = f.decode();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->threads()[0].stackFrames[0].instructionPointer, arm64e ? 0x1234567ULL : 0x8000001234567ULL);
    }
}

TEST(MVCrashReportTextFormatter, HeaderFramesRegistersAndImages)
{
    ReportFixture f;
    Mvcrash__CrashReport__Thread__RegisterValue values[5];
    Mvcrash__CrashReport__Thread__RegisterValue* registers[5];
    const char* names[5] = { "rip", "rbp", "rsp", "rax", "rbx" };
    for (int i = 0; i < 5; ++i) {
        values[i] = MVCRASH__CRASH_REPORT__THREAD__REGISTER_VALUE__INIT;
        values[i].name = const_cast<char*>(names[i]);
        values[i].value = 0x10 * static_cast<std::uint64_t>(i + 1);
        registers[i] = &values[i];
    }
    f.thread.n_registers = 5;
    f.thread.registers = registers;
    // Two images on one base (listed once) and one of size 0.
    Mvcrash__CrashReport__BinaryImage twin = f.image, empty = f.image;
    twin.name = const_cast<char*>("/usr/lib/twin.so");
    empty.base_address = 0x300000;
    empty.size = 0;
    empty.name = const_cast<char*>("/usr/lib/empty.so");
    Mvcrash__CrashReport__BinaryImage* images[3] = { &f.image, &twin, &empty };
    f.report.n_binary_images = 3;
    f.report.binary_images = images;
    f.system.operating_system = MVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__MAC_OS_X;
    f.system.has_operating_system = true;
    auto report = f.decode();
    ASSERT_TRUE(report);
    const std::string text = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
    const char* expectedLines[] = {
        "Incident Identifier: E621E1F8-C36C-495A-93FC-0C247A3E6E5F\n",
        "Process:         ??? [???]\nPath:            ???\n",
        "Parent Process:  ??? [???]\n",
        "Date/Time:       2023-11-14 22:13:20 +0000\n",
        "OS Version:      Mac OS X 12.0 (??\?)\n",
        "Exception Type:  SIGSEGV\nException Codes: SEGV_MAPERR at 0x10\nCrashed Thread:  0\n",
        // On this operating system the symbol loses its leading underscore.
        "0   test                                0x0000000000401010 main + 16\n",
        "Thread 0 crashed with X86-64 Thread State:\n"
        "   rip: 0x0000000000000010    rbp: 0x0000000000000020    rsp: 0x0000000000000030    rax: 0x0000000000000040 \n"
        "   rbx: 0x0000000000000050 \n\n",
        "          0x300000 -           0x300000  empty.so ???  <??\?> /usr/lib/empty.so\n",
        "          0x400000 -           0x401fff  test ???  <??\?> /usr/bin/test\n",
    };
    for (const char* line : expectedLines)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n---\n" << text;
    EXPECT_EQ(text.find("twin.so"), std::string::npos);
}

TEST(MVCrashReportTextFormatter, A32BitImageSetsTheCodeTypeAndPadding)
{
    ReportFixture f;
    f.processor.encoding = MVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    f.processor.has_encoding = true;
    f.processor.type = 7;
    f.processor.subtype = 3;
    f.image.code_type = &f.processor;
    f.frame.symbol = nullptr;
    auto report = f.decode();
    ASSERT_TRUE(report);
    const std::string text = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
    EXPECT_NE(text.find("Code Type:       X86\n"), std::string::npos);
    EXPECT_NE(text.find("0   test                                0x00401010 0x400000 + 4112\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  0x400000 -   0x401fff  test i386  <??\?> /usr/bin/test\n"), std::string::npos) << text;
}

// The image of an address is the first image of the report that holds it, in whatever order the
// report lists them and however they overlap: random layouts, checked at every boundary.
TEST(MVCrashReport, TheImageOfAnAddressIsTheFirstOfTheReportThatHoldsIt)
{
    std::mt19937_64 random(29);
    for (int layout = 0; layout < 20; ++layout) {
        ReportFixture f;
        std::vector<Mvcrash__CrashReport__BinaryImage> images(60, f.image);
        std::vector<Mvcrash__CrashReport__BinaryImage*> pointers;
        for (auto& image : images) {
            image.base_address = random() % 0x8000;
            image.size = random() % 4 == 0 ? 0 : random() % 0x1800;
            pointers.push_back(&image);
        }
        // One that ends on the last address there is, and a twin of another's base.
        images[0].base_address = UINT64_MAX - 0xFF;
        images[0].size = 0xFF;
        images[1].base_address = images[2].base_address;
        f.report.n_binary_images = pointers.size();
        f.report.binary_images = pointers.data();
        auto report = f.decode();
        ASSERT_TRUE(report);
        auto firstHolding = [&](std::uint64_t address) -> const MVCrashReportBinaryImageInfo* {
            for (const auto& image : report->images())
                if (address >= image.imageBaseAddress() && address - image.imageBaseAddress() < image.imageSize())
                    return &image;
            return nullptr;
        };
        std::vector<std::uint64_t> addresses = { 0, UINT64_MAX, UINT64_MAX - 0xFF, UINT64_MAX - 0x100 };
        for (const auto& image : images)
            for (std::uint64_t edge : { image.base_address, image.base_address + image.size })
                for (std::uint64_t delta : { -1LL, 0LL, 1LL })
                    addresses.push_back(edge + static_cast<std::uint64_t>(delta));
        for (int i = 0; i < 200; ++i)
            addresses.push_back(random() % 0xA000);
        for (std::uint64_t address : addresses)
            ASSERT_EQ(report->imageForAddress(address), firstHolding(address)) << "layout " << layout << " address 0x" << std::hex << address;
    }
}

// A report of a hundred thousand images and as many frames: each frame names its own image, as
// a search through every image would, and the log is made in a moment (it took the better part
// of a minute when each frame was looked up in every image).
TEST(MVCrashReportTextFormatter, AReportOfAHundredThousandImagesAndFramesNamesEachFramesImage)
{
    testsupport::LargeReportFixture f;
    const auto bytes = f.bytes();
    EXPECT_GT(bytes.size(), 1000000u);
    foundation::ErrorPtr error;
    auto report = MVCrashReport::initWithData(bytes, &error);
    ASSERT_TRUE(report) << (error ? error->localizedDescription() : "");
    const std::string text = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
    std::string expected = "Thread 0 Crashed:\n";
    char line[256];
    for (std::size_t j = 0; j < f.frameCount; ++j) {
        const std::uint64_t pc = f.frames[j].pc;
        const std::size_t image = f.frameImage[j];
        const std::string name = image == SIZE_MAX ? "???" : "";
        const std::uint64_t base = image == SIZE_MAX ? 0 : f.baseOf(image);
        std::snprintf(line, sizeof line, "%-4zu%-35s 0x%016llx 0x%llx + %lld\n", j, name.c_str(), static_cast<unsigned long long>(pc),
            static_cast<unsigned long long>(base), static_cast<long long>(image == SIZE_MAX ? 0 : pc - base));
        expected += line;
    }
    const auto start = text.find("Thread 0 Crashed:\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_TRUE(text.compare(start, expected.size(), expected) == 0) << "a frame names another image than the one holding it";
    // Every image is listed once, in address order.
    const auto images = text.find("Binary Images:\n");
    ASSERT_NE(images, std::string::npos);
    std::istringstream lines(text.substr(text.find('\n', images) + 1));
    std::size_t listed = 0;
    for (std::string l; std::getline(lines, l); ++listed) {
        if (std::stoull(l.substr(0, 18), nullptr, 16) != f.baseOf(listed)) {
            ADD_FAILURE() << "image line " << listed << ": " << l;
            break;
        }
    }
    EXPECT_EQ(listed, f.imageCount);
}

// A stored report is read only when it is a regular file no larger than any report could be;
// a sparse file of gigabytes, a pipe or a folder in its place give an error at once.
TEST(MVCrashReport, OnlyFilesOfAReportsSizeAreRead)
{
    testsupport::TempDir dir;
    const std::string report = (dir / "report.mvcrash").string();
    const auto bytes = ReportFixture().bytes();
    {
        std::ofstream out(report, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const std::string atLimit = (dir / "limit.mvcrash").string();
    const std::string sparse = (dir / "sparse.mvcrash").string();
    const std::string pipe = (dir / "pipe.mvcrash").string();
    std::ofstream(atLimit).close();
    std::ofstream(sparse).close();
    ASSERT_EQ(::truncate(atLimit.c_str(), MVCrashReport::kMaxReportSize), 0);
    ASSERT_EQ(::truncate(sparse.c_str(), 3LL << 30), 0);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::optional<std::size_t> size; // read, or refused with the message
        const char* message;
        long code;
    };
    const std::string tooLarge = "The crash report is larger than 262144 bytes, more than a crash report ever holds.";
    const Case cases[] = {
        { report, bytes.size(), "", 0 },
        { atLimit, MVCrashReport::kMaxReportSize, "", 0 },
        { sparse, std::nullopt, tooLarge.c_str(), MVCrashReporterErrorCrashReportInvalid },
        { pipe, std::nullopt, "The crash report is not a regular file.", MVCrashReporterErrorCrashReportInvalid },
        { dir.path().string(), std::nullopt, "The crash report is not a regular file.", MVCrashReporterErrorCrashReportInvalid },
        { (dir / "missing").string(), std::nullopt, "The crash report could not be opened.", MVCrashReporterErrorOperatingSystem },
    };
    for (const auto& c : cases) {
        foundation::ErrorPtr error;
        const auto data = MVCrashReport::readReportFile(c.path, &error);
        ASSERT_EQ(data.has_value(), c.size.has_value()) << c.path;
        if (data) {
            EXPECT_EQ(data->size(), *c.size) << c.path;
        } else {
            ASSERT_TRUE(error) << c.path;
            EXPECT_EQ(error->domain(), MVCrashReporterErrorDomain);
            EXPECT_EQ(error->code(), c.code) << c.path;
            EXPECT_EQ(error->localizedDescription(), c.message) << c.path;
        }
    }
}
