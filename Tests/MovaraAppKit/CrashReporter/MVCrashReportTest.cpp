#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "MovaraAppKit/CrashReporter/mvcrash_report.pb-c.h"

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
