#pragma once
// A decoded crash report: the bytes of a stored report file turned into immutable values. The
// decoder checks the header and version, unpacks the message with protobuf-c and builds one value
// per section, refusing a report whose required parts are missing or whose values cannot be
// trusted (a report UUID that is not 16 bytes, an image UUID longer than 32 bytes, an image whose
// address range wraps). Text that is not valid UTF-8 is kept with the bad bytes replaced.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/UUID.h"

class MVCrashReportProcessorInfo {
public:
    enum TypeEncoding : int { Unknown = 0, Mach = 1 };
    MVCrashReportProcessorInfo(TypeEncoding encoding, std::uint64_t type, std::uint64_t subtype)
        : m_encoding(encoding), m_type(type), m_subtype(subtype) { }
    TypeEncoding typeEncoding() const { return m_encoding; }
    std::uint64_t type() const { return m_type; }
    std::uint64_t subtype() const { return m_subtype; }

private:
    TypeEncoding m_encoding;
    std::uint64_t m_type, m_subtype;
};
using MVCrashReportProcessorInfoPtr = std::shared_ptr<const MVCrashReportProcessorInfo>;

class MVCrashReportSystemInfo {
public:
    enum OperatingSystem : int { MacOSX = 0, iPhoneOS = 1, iPhoneSimulator = 2, Unknown = 3, AppleTVOS = 4, Linux = 5 };
    enum Architecture : int { X86_32 = 0, X86_64 = 1, ARMv6 = 2, PPC = 3, PPC64 = 4, ARMv7 = 5, ArchitectureUnknown = 6 };
    MVCrashReportSystemInfo(int os, std::string version, std::optional<std::string> build, int architecture, MVCrashReportProcessorInfoPtr processor, std::optional<foundation::Date> timestamp,
        std::optional<std::string> name = std::nullopt)
        : m_os(os), m_version(std::move(version)), m_build(std::move(build)), m_architecture(architecture), m_processor(std::move(processor)), m_timestamp(timestamp), m_name(std::move(name)) { }
    int operatingSystem() const { return m_os; }
    // The system's own name, when the report gives one.
    const std::optional<std::string>& operatingSystemName() const { return m_name; }
    const std::string& operatingSystemVersion() const { return m_version; }
    const std::optional<std::string>& operatingSystemBuild() const { return m_build; }
    int architecture() const { return m_architecture; }
    const std::optional<foundation::Date>& timestamp() const { return m_timestamp; }
    const MVCrashReportProcessorInfoPtr& processorInfo() const { return m_processor; }

private:
    int m_os;
    std::string m_version;
    std::optional<std::string> m_build;
    int m_architecture;
    MVCrashReportProcessorInfoPtr m_processor;
    std::optional<foundation::Date> m_timestamp;
    std::optional<std::string> m_name;
};

struct MVCrashReportMachineInfo {
    std::optional<std::string> modelName;
    MVCrashReportProcessorInfoPtr processorInfo;
    std::uint64_t processorCount = 0;
    std::uint64_t logicalProcessorCount = 0;
};

struct MVCrashReportApplicationInfo {
    std::string applicationIdentifier;
    std::string applicationVersion;
    std::optional<std::string> applicationMarketingVersion;
};

struct MVCrashReportProcessInfo {
    std::optional<std::string> processName;
    std::uint64_t processID = 0;
    std::optional<std::string> processPath;
    std::optional<foundation::Date> processStartTime;
    std::optional<std::string> parentProcessName;
    std::uint64_t parentProcessID = 0;
    bool native = true;
};

struct MVCrashReportSymbolInfo {
    std::string symbolName;
    std::uint64_t startAddress = 0;
    std::uint64_t endAddress = 0;
};

struct MVCrashReportStackFrameInfo {
    std::uint64_t instructionPointer = 0;
    std::optional<MVCrashReportSymbolInfo> symbolInfo;
};

struct MVCrashReportRegisterInfo {
    std::string registerName;
    std::uint64_t registerValue = 0;
};

struct MVCrashReportThreadInfo {
    long threadNumber = 0;
    std::vector<MVCrashReportStackFrameInfo> stackFrames;
    bool crashed = false;
    std::vector<MVCrashReportRegisterInfo> registers;
};

class MVCrashReportBinaryImageInfo {
public:
    MVCrashReportBinaryImageInfo(MVCrashReportProcessorInfoPtr codeType, std::uint64_t base, std::uint64_t size, std::string name, const std::vector<std::uint8_t>* uuid);
    const MVCrashReportProcessorInfoPtr& codeType() const { return m_codeType; }
    std::uint64_t imageBaseAddress() const { return m_base; }
    std::uint64_t imageSize() const { return m_size; }
    const std::string& imageName() const { return m_name; }
    bool hasImageUUID() const { return m_uuid.has_value(); }
    // Lower-case hexadecimal, two digits a byte, no separators.
    const std::optional<std::string>& imageUUID() const { return m_uuid; }

private:
    MVCrashReportProcessorInfoPtr m_codeType;
    std::uint64_t m_base, m_size;
    std::string m_name;
    std::optional<std::string> m_uuid;
};

struct MVCrashReportExceptionInfo {
    std::string exceptionName;
    std::string exceptionReason;
    std::optional<std::vector<MVCrashReportStackFrameInfo>> stackFrames;
};

struct MVCrashReportSignalInfo {
    std::string name;
    std::string code;
    std::uint64_t address = 0;
};

struct MVCrashReportMachExceptionInfo {
    std::uint64_t type = 0;
    std::vector<std::uint64_t> codes;
};

class MVCrashReport {
public:
    static std::shared_ptr<MVCrashReport> initWithData(const std::vector<std::uint8_t>& data, foundation::ErrorPtr* error);

    // The most the writer ever writes: a larger file is not a report of ours, and is refused
    // before it is read. (A crash log costs far more time and memory than its report's size:
    // this bounds what the next launch spends on a crafted one.)
    static constexpr std::size_t kMaxReportSize = 256 * 1024;
    // Reads a stored report file whole, up to kMaxReportSize; anything else than a regular file
    // of at most that size gives an error (domain MVCrashReporterErrorDomain) and nothing.
    static std::optional<std::vector<std::uint8_t>> readReportFile(const std::string& path, foundation::ErrorPtr* error);

    const MVCrashReportSystemInfo& systemInfo() const { return *m_systemInfo; }
    const std::optional<MVCrashReportMachineInfo>& machineInfo() const { return m_machineInfo; }
    const MVCrashReportApplicationInfo& applicationInfo() const { return m_applicationInfo; }
    const std::optional<MVCrashReportProcessInfo>& processInfo() const { return m_processInfo; }
    const MVCrashReportSignalInfo& signalInfo() const { return m_signalInfo; }
    const std::optional<MVCrashReportMachExceptionInfo>& machExceptionInfo() const { return m_machExceptionInfo; }
    const std::vector<MVCrashReportThreadInfo>& threads() const { return m_threads; }
    const std::vector<MVCrashReportBinaryImageInfo>& images() const { return m_images; }
    const std::optional<MVCrashReportExceptionInfo>& exceptionInfo() const { return m_exceptionInfo; }
    const std::optional<foundation::UUID>& uuidRef() const { return m_uuid; }
    const std::optional<std::vector<std::uint8_t>>& customData() const { return m_customData; }
    bool hasMachineInfo() const { return m_machineInfo.has_value(); }
    bool hasProcessInfo() const { return m_processInfo.has_value(); }
    bool hasExceptionInfo() const { return m_exceptionInfo.has_value(); }
    // The writer left parts out to stay within its output limit.
    bool isTruncated() const { return m_truncated; }

    // The first image whose range holds the address. A search in ranges sorted once when the
    // report is decoded: a report may list a hundred thousand images and as many frames.
    const MVCrashReportBinaryImageInfo* imageForAddress(std::uint64_t address) const;

private:
    MVCrashReport() = default;
    void indexImages();

    // Disjoint address ranges in ascending order, each with the first image (in the report's
    // order) that holds every address of it.
    struct ImageRange {
        std::uint64_t start, end; // end exclusive
        std::size_t image;
    };

    std::shared_ptr<const MVCrashReportSystemInfo> m_systemInfo;
    std::optional<MVCrashReportMachineInfo> m_machineInfo;
    MVCrashReportApplicationInfo m_applicationInfo;
    std::optional<MVCrashReportProcessInfo> m_processInfo;
    MVCrashReportSignalInfo m_signalInfo;
    std::optional<MVCrashReportMachExceptionInfo> m_machExceptionInfo;
    std::vector<MVCrashReportThreadInfo> m_threads;
    std::vector<MVCrashReportBinaryImageInfo> m_images;
    std::vector<ImageRange> m_imageRanges;
    std::optional<MVCrashReportExceptionInfo> m_exceptionInfo;
    std::optional<foundation::UUID> m_uuid;
    std::optional<std::vector<std::uint8_t>> m_customData;
    bool m_truncated = false;

    friend class MVCrashReportDecoder;
};
